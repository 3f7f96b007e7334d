"""zelnor-run: starts a program with zelnor_client's switch installed in every Python process.

    zelnor-run gunicorn app:app --workers 8

puts zelnor_client's boot directory first on PYTHONPATH and runs the program in its place. Its
``sitecustomize`` installs the switch as the interpreter starts, before the program imports
anything, and then runs the ``sitecustomize`` that would have run without it, if any. The
environment carries it to every Python process the program starts, forked or executed.
"""

import os
import shutil
import sys
from pathlib import Path

BOOT = Path(__file__).resolve().parent / "_boot"
USAGE = "usage: zelnor-run PROGRAM [ARGUMENT...]"


def environment(base: dict[str, str]) -> dict[str, str]:
    """`base` with the boot directory first on PYTHONPATH (once)."""
    paths = [p for p in base.get("PYTHONPATH", "").split(os.pathsep) if p and p != str(BOOT)]
    return {**base, "PYTHONPATH": os.pathsep.join([str(BOOT), *paths])}


def main(argv: list[str] | None = None) -> int:
    args = sys.argv[1:] if argv is None else argv
    if not args or args[0] in ("-h", "--help"):
        print(USAGE, file=sys.stdout if args else sys.stderr)
        return 0 if args else 2
    program = shutil.which(args[0])
    if program is None:
        print(f"zelnor-run: {args[0]}: command not found", file=sys.stderr)
        return 127
    os.execve(program, args, environment(dict(os.environ)))


if __name__ == "__main__":
    sys.exit(main())
