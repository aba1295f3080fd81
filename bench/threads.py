"""How tarvu's throughput scales with threads on a free-threaded interpreter.

Two workloads, each run by one thread and then by two threads at once:

  parse    TileLabel(text) over a fixed list of spellings;
  compare  TileLabel.Tumor == 16, against the shared class attribute.

Every thread makes the same number of calls (enough for about --seconds of
work). Per workload, each the median over --repeats rounds:

  ns/call   one thread's wall time per call, its Python loop included;

  speedup   two-thread throughput over one-thread throughput, wall clock
            (calls per second from a common start to the last thread's end);
            2.0 on two idle cores.
  CPU-time  2 x (CPU ns per call, one thread) / (CPU ns per call, two
  scaling   threads), from time.thread_time() in each worker: what two
            threads would reach if each had a core of its own. Cache lines
            that every thread writes make each call cost more CPU time, so
            this shows contention however many cores the machine grants.

  parallel  CPU seconds of the two threads over the wall seconds of their run:
            how much of the time they actually ran at once (2.0: all of it).
            Contention can only show while they do; on a busy machine they
            take turns, and every figure here says little.

A virtual machine often does not give a process two full cores, which lowers
the wall-clock speedup of anything. So each round also runs, in the same
process and interleaved with tarvu's runs, references that face the same
machine at the same moment:

  python  a pure-Python loop, `i == 16` over a range, which shares nothing
          between threads: what the interpreter itself reaches right then;
  floor   the same workload on the plain C control module (bench/floor, built
          for this interpreter), when the interpreter lock is forced off
          (PYTHON_GIL=0; importing it would otherwise turn the lock on).

The two "relative" columns divide each implementation's speedup and CPU-time
scaling by the python loop's in the same round (1.0: it scales as well as the
interpreter's own loop). CPU time is not proof against a busy machine either:
other work on the host lowers the CPU-time scaling of the Python loop too,
which these ratios take out. --require R (1.7, the goal for two cores) judges
tarvu on both workloads: both relative figures must reach R / 2 of the loop's
(0.85). It exits 1 if one falls short, and 2 without judging when tarvu's two
threads ran in parallel less than MIN_PARALLEL of the time, since then nothing
here shows contention.

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
MIN_PARALLEL = 1.6


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
    """(wall seconds, CPU seconds) of `threads` threads each making `calls` calls."""
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
    return time.perf_counter() - began, sum(cpu)


def calls_for(run, seconds):
    """Calls that keep one thread busy for about `seconds`."""
    run(10_000)  # warm up: specialisation, first allocations
    wall, _ = timed(run, 1, 100_000)
    return max(60_000, int(100_000 * seconds / wall))


def measure(run, calls, rounds):
    """Per round: (wall speedup, CPU-time scaling, parallel, ns per call of one thread)."""
    wall1, cpu1 = timed(run, 1, calls)
    wall2, cpu2 = timed(run, 2, calls)
    # 2 x (CPU per call, one thread) / (CPU per call, two threads), the two having made 2 x calls.
    rounds.append((2 * wall1 / wall2, 4 * cpu1 / cpu2, cpu2 / wall2, 1e9 * wall1 / calls))


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--seconds", type=float, default=0.2, help="one thread's work per run")
    parser.add_argument("--repeats", type=int, default=7)
    parser.add_argument("--require", type=float, default=None,
                        help="exit 1 if tarvu's speedup or CPU-time scaling is below R / 2 of the Python loop's")
    args = parser.parse_args()

    gil = getattr(sys, "_is_gil_enabled", lambda: True)()
    floor = load_floor()
    print(f"{sys.version.split()[0]} {'GIL enabled' if gil else 'free-threaded, GIL disabled'}, "
          f"{os.cpu_count()} cores, load average before: {os.getloadavg()[0]:.2f}")
    print(f"{'':17} {'ns/call':>8} {'speedup':>8} {'CPU-time':>9} {'parallel':>9} {'relative':>9} {'rel. CPU':>9}")
    verdicts = []
    for name, workload in WORKLOADS.items():
        runs = {"tarvu": workload(tarvu), "python": python_loop}
        if floor is not None:
            runs["floor"] = workload(floor)
        calls = {impl: calls_for(run, args.seconds) for impl, run in runs.items()}
        rounds = {impl: [] for impl in runs}
        for _ in range(args.repeats):
            for impl, run in runs.items():
                measure(run, calls[impl], rounds[impl])
        reference = rounds["python"]
        for impl, found in rounds.items():
            speedup, scaling, parallel, ns = (statistics.median(column) for column in zip(*found))
            relative, relative_cpu = (statistics.median(f[i] / r[i] for f, r in zip(found, reference)) for i in (0, 1))
            print(f"{name:8} {impl:8} {ns:8.1f} {speedup:7.2f}x {scaling:8.2f}x {parallel:9.2f} "
                  f"{relative:9.2f} {relative_cpu:9.2f}")
            if impl == "tarvu":
                verdicts.append((name, parallel, relative, relative_cpu))
    print(f"load average after: {os.getloadavg()[0]:.2f}")
    if gil:
        print("note: the interpreter lock is enabled, so threads cannot run in parallel")
    if args.require is None:
        return 0
    status = 0
    for name, parallel, relative, relative_cpu in verdicts:
        if parallel < MIN_PARALLEL:
            print(f"{name}: not judged, the two threads ran in parallel {parallel:.2f} of 2 (needs {MIN_PARALLEL})")
            status = max(status, 2)
        elif min(relative, relative_cpu) < args.require / 2:
            print(f"{name}: below --require {args.require}: relative {relative:.2f}, CPU {relative_cpu:.2f}")
            status = 1
    return status


if __name__ == "__main__":
    sys.exit(main())
