"""How tarvu's throughput scales with threads on a free-threaded interpreter.

Two workloads, each run by one thread and then by two threads at once:

  parse    TileLabel(text) over a fixed list of spellings;
  compare  TileLabel.Tumor == 16, against the shared class attribute.

Every thread makes the same number of calls; throughput is calls per second
over the wall time from a common start to the last thread's end. Each figure
is the median of --repeats runs, so one disturbed run does not decide it. The
speedup is two-thread throughput over one-thread throughput; on two idle cores
the ideal is 2.0.

    PYTHON_GIL=0 PYTHONPATH=build-ft python3.13t bench/threads.py
    ... bench/threads.py --calls 500000 --repeats 7 --require 1.7

The load average is printed with the figures: other work on the machine takes
cores away from the second thread, and the speedup with them. For the same
reason the run ends with a reference: two processes running a plain Python
loop side by side, which share nothing, against one. That is the speedup the
machine offered at the time; tarvu's figures are meaningful next to it.
"""

import argparse
import os
import statistics
import subprocess
import sys
import threading
import time

import tarvu

TEXTS = ("Bone", "Tumor", "mucosa large intestine", "LYMPHATIC", "Blood Vessel", "fatty_tissue")


def parse(calls):
    # Each thread parses strs of its own, as a loader thread parses what it read.
    # Iterating strs that all threads share would time the interpreter's
    # contended reference counts on them, not the module.
    cls, texts = tarvu.TileLabel, tuple("".join(list(text)) for text in TEXTS)
    for i in range(calls // len(texts)):
        for text in texts:
            cls(text)


def compare(calls):
    cls = tarvu.TileLabel
    for _ in range(calls):
        cls.Tumor == 16  # noqa: B015 - the comparison is what is timed


WORKLOADS = {"parse": parse, "compare": compare}

REFERENCE_LOOP = "import time\nt = time.perf_counter()\nfor i in range(3_000_000): i == 16\nprint(time.perf_counter() - t)"


def process_speedup():
    """Throughput of two processes running REFERENCE_LOOP at once over that of one."""
    def run(count):
        procs = [subprocess.Popen([sys.executable, "-c", REFERENCE_LOOP], stdout=subprocess.PIPE, text=True)
                 for _ in range(count)]
        return count / max(float(p.communicate()[0]) for p in procs)
    return statistics.median(run(2) / run(1) for _ in range(3))


def throughput(workload, threads, calls):
    """Calls per second with `threads` threads each making `calls` calls."""
    start = threading.Barrier(threads + 1)

    def run():
        start.wait()
        workload(calls)

    workers = [threading.Thread(target=run) for _ in range(threads)]
    for worker in workers:
        worker.start()
    start.wait()
    began = time.perf_counter()
    for worker in workers:
        worker.join()
    return threads * calls / (time.perf_counter() - began)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--calls", type=int, default=300_000, help="calls per thread per run")
    parser.add_argument("--repeats", type=int, default=5)
    parser.add_argument("--require", type=float, default=None,
                        help="exit 1 if a speedup is below this (only meaningful on a quiet machine)")
    args = parser.parse_args()

    gil = getattr(sys, "_is_gil_enabled", lambda: True)()
    print(f"{sys.version.split()[0]} {'GIL enabled' if gil else 'free-threaded, GIL disabled'}, "
          f"{os.cpu_count()} cores, load average before: {os.getloadavg()[0]:.2f}")
    failed = False
    for name, workload in WORKLOADS.items():
        workload(10_000)  # warm up: specialisation, first allocations
        rates = {1: [], 2: []}
        for _ in range(args.repeats):
            for threads in rates:
                rates[threads].append(throughput(workload, threads, args.calls))
        one, two = statistics.median(rates[1]), statistics.median(rates[2])
        speedup = two / one
        print(f"{name:8} 1 thread {one / 1e6:6.2f} M calls/s ({1e9 / one:5.1f} ns/call)   "
              f"2 threads {two / 1e6:6.2f} M calls/s   speedup {speedup:.2f}x")
        if args.require is not None and speedup < args.require:
            failed = True
    print(f"reference  two processes sharing nothing: speedup {process_speedup():.2f}x")
    print(f"load average after: {os.getloadavg()[0]:.2f}")
    if gil:
        print("note: the interpreter lock is enabled, so threads cannot run in parallel")
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
