from zelnor_exporter.cli import main

raise SystemExit(main())
