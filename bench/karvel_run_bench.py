"""karvel-run answering the trivial back-end (bench/trivial_answer.c): 100 runs, each a whole
karvel-run process (loading the extension, writing the exchange file, starting the program, waiting
for its answer, printing the reply), timed from its start to its end. Prints the median and whether
it is under the 10 ms that lets a back-end's author run it in a loop.

usage: karvel_run_bench.py BUILD_DIR   (a build with KARVEL_BENCH on: make bench)"""
import os
import statistics
import subprocess
import sys
import time

RUNS = 100
GOAL_MS = 10.0


def main():
    build = sys.argv[1] if len(sys.argv) > 1 else "build-bench"
    tool = os.path.join(build, "bin", "karvel-run")
    program = os.path.join(build, "bin", "bench-backends", "trivial_answer")
    for path in (tool, program):
        if not os.access(path, os.X_OK):
            print("karvel_run_bench: %s is not built" % path)
            return 1
    command = [tool, "--timeout", "5", program, "name=value"]
    # The first run loads the files into the page cache; it is not counted.
    first = subprocess.run(command, stdout=subprocess.PIPE, stderr=subprocess.PIPE)
    if first.returncode != 0 or b"trivial" not in first.stdout:
        print("karvel_run_bench: karvel-run did not answer: %r" % first.stderr)
        return 1
    times = []
    for _ in range(RUNS):
        started = time.perf_counter()
        subprocess.run(command, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, check=True)
        times.append((time.perf_counter() - started) * 1000.0)
    median = statistics.median(times)
    print("karvel-run, trivial program: median %.2f ms of %d runs (fastest %.2f, slowest %.2f): %s %.0f ms"
          % (median, RUNS, min(times), max(times), "under" if median < GOAL_MS else "NOT under", GOAL_MS))
    return 0


if __name__ == "__main__":
    sys.exit(main())
