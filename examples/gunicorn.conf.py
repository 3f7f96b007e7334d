# gunicorn settings for an application instrumented with zelnor_client.
#
# With prometheus_client's multiprocess mode this file would set PROMETHEUS_MULTIPROC_DIR, wipe
# that directory before start, and define a child_exit hook calling mark_process_dead(). None of
# that is needed: workers that end (recycled, crashed, killed) are noticed by zelnor-exporter,
# their counters keep what they counted, and nothing piles up in the directory.
#
# Set ZELNOR_METRICS_DIR in gunicorn's environment and in zelnor-exporter's, to the same directory
# (unset, both use /tmp/metrics_collector, which every user of the machine shares). Start
# zelnor-exporter first: without a consumer, each thread's rings hold 999 records of a kind.
bind = "127.0.0.1:8000"
workers = 4
# Metrics defined at import are declared once in the master and again by each worker.
preload_app = True
# Workers may be recycled freely.
max_requests = 1000
max_requests_jitter = 100
