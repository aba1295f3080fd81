"""How tarvu's throughput scales with threads on a free-threaded interpreter.

Two workloads, each run by one thread and then by two threads at once:

  parse    TileLabel(text) over a fixed list of spellings;
  compare  TileLabel.Tumor == 16, against the shared class attribute.

Every thread makes the same number of calls (enough for about --seconds of
work). Two figures per workload, each the median over --repeats rounds:

  speedup   two-thread throughput over one-thread throughput, wall clock
            (calls per second from a common start to the last thread's end);
            2.0 on two idle cores.
  CPU-time  2 x (CPU ns per call, one thread) / (CPU ns per call, two
  scaling   threads), from time.thread_time() in each worker: what two
            threads would reach if each had a core of its own. Cache lines
            that every thread writes make each call cost more CPU time, so
            this shows contention however many cores the machine grants.

A virtual machine often does not give a process two full cores, which lowers
the wall-clock speedup of anything. So each round also runs, in the same
process and interleaved with tarvu's runs, references that face the same
machine at the same moment:

  python  a pure-Python loop, `i == 16` over a range, which shares nothing
          between threads: what the interpreter itself reaches right then;
  floor   the same workload on the plain C control module (bench/floor, built
          for this interpreter), when the interpreter lock is forced off
          (PYTHON_GIL=0; importing it would otherwise turn the lock on).

"relative" is tarvu's speedup over the python reference's speedup in the same
round (1.0: tarvu scales as well as the interpreter's own loop). --require R
judges tarvu's CPU-time scaling on both workloads against R (the issue's goal
of 1.7x on two cores), and its relative speedup against R / 2; it exits 1 if
either falls short.

    PYTHON_GIL=0 PYTHONPATH=build-ft python3.13t bench/threads.py [--require 1.7]
"""

import argparse
import os
import statistics
import sys
import threading
import time
from pathlib import Path

import tarvu

TEXTS = ("Bone", "Tumor", "mucosa large intestine", "LYMPHATIC", "Blood Vessel", "fatty_tissue")


def parse(module):
    def run(calls):
        # Each thread parses strs of its own, as a loader thread parses what it read.
        # Iterating strs that all threads share would time the interpreter's
        # contended reference counts on them, not the module.
        cls, texts = module.TileLabel, tuple("".join(list(text)) for text in TEXTS)
        for _ in range(calls // len(texts)):
            for text in texts:
                cls(text)
    return run


def compare(module):
    def run(calls):
        cls = module.TileLabel
        for _ in range(calls):
            cls.Tumor == 16  # noqa: B015 - the comparison is what is timed
    return run


def python_loop(calls):
    for i in range(calls):
        i == 16  # noqa: B015


WORKLOADS = {"parse": parse, "compare": compare}


def load_floor():
    """The control module, or None when importing it would turn the interpreter lock on."""
    if getattr(sys.flags, "gil", None) != 0:
        return None
    sys.path.insert(0, str(Path(__file__).parent))
    from run import build_floor

    build_floor(Path(tarvu.__file__).parent / "bench")
    sys.path.insert(0, str(Path(tarvu.__file__).parent / "bench"))
    import tarvu_floor

    return tarvu_floor


def timed(run, threads, calls):
    """(wall seconds, CPU ns per call) of `threads` threads each making `calls` calls."""
    start = threading.Barrier(threads + 1)
    cpu = []

    def worker():
        start.wait()
        began = time.thread_time()
        run(calls)
        cpu.append(time.thread_time() - began)

    workers = [threading.Thread(target=worker) for _ in range(threads)]
    for w in workers:
        w.start()
    start.wait()
    began = time.perf_counter()
    for w in workers:
        w.join()
    return time.perf_counter() - began, 1e9 * sum(cpu) / (threads * calls)


def calls_for(run, seconds):
    """Calls that keep one thread busy for about `seconds`."""
    run(10_000)  # warm up: specialisation, first allocations
    wall, _ = timed(run, 1, 100_000)
    return max(60_000, int(100_000 * seconds / wall))


def measure(run, calls, rounds):
    """Per round: (wall speedup, CPU-time scaling, ns per call of one thread)."""
    wall1, cpu1 = timed(run, 1, calls)
    wall2, cpu2 = timed(run, 2, calls)
    rounds.append((2 * wall1 / wall2, 2 * cpu1 / cpu2, 1e9 * wall1 / calls))


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--seconds", type=float, default=0.2, help="one thread's work per run")
    parser.add_argument("--repeats", type=int, default=7)
    parser.add_argument("--require", type=float, default=None,
                        help="exit 1 if tarvu's CPU-time scaling is below this or its relative speedup below half of it")
    args = parser.parse_args()

    gil = getattr(sys, "_is_gil_enabled", lambda: True)()
    floor = load_floor()
    print(f"{sys.version.split()[0]} {'GIL enabled' if gil else 'free-threaded, GIL disabled'}, "
          f"{os.cpu_count()} cores, load average before: {os.getloadavg()[0]:.2f}")
    print(f"{'':17} {'ns/call':>8} {'speedup':>8} {'CPU-time':>9} {'relative':>9}")
    failed = False
    for name, workload in WORKLOADS.items():
        runs = {"tarvu": workload(tarvu), "python": python_loop}
        if floor is not None:
            runs["floor"] = workload(floor)
        calls = {impl: calls_for(run, args.seconds) for impl, run in runs.items()}
        rounds = {impl: [] for impl in runs}
        for _ in range(args.repeats):
            for impl, run in runs.items():
                measure(run, calls[impl], rounds[impl])
        reference = [speedup for speedup, _, _ in rounds["python"]]
        for impl, found in rounds.items():
            speedup, scaling, ns = (statistics.median(column) for column in zip(*found))
            relative = statistics.median(s / r for (s, _, _), r in zip(found, reference))
            print(f"{name:8} {impl:8} {ns:8.1f} {speedup:7.2f}x {scaling:8.2f}x {relative:9.2f}")
            if impl == "tarvu" and args.require is not None:
                failed |= scaling < args.require or relative < args.require / 2
    print(f"load average after: {os.getloadavg()[0]:.2f}")
    if gil:
        print("note: the interpreter lock is enabled, so threads cannot run in parallel")
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
