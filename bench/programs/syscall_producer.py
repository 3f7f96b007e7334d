"""Records CALLS counter records in batches, pausing between them for a consumer to drain: under
strace, the pauses are the only system calls the recording itself should add.

    python syscall_producer.py CALLS
"""

import sys
import threading
import time

import zelnor_core


def run(calls):
    zelnor_core.inc_counter("syscalls", 0)
    done = 0
    while done < calls:
        for i in range(min(900, calls - done)):
            zelnor_core.inc_counter("syscalls", i)
        done += 900
        time.sleep(0.003)


thread = threading.Thread(target=run, args=(int(sys.argv[1]),))
thread.start()
thread.join()
