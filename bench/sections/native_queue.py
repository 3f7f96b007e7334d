"""The native queue alone: enqueue and dequeueMulti per record, in one process."""

import json
import subprocess

from common import program, section_main


def measure():
    completed = subprocess.run(
        [program("zelnor_queue_bench")], capture_output=True, text=True, check=True
    )
    return json.loads(completed.stdout)


if __name__ == "__main__":
    section_main(measure)
