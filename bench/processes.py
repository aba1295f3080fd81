"""When worker processes pay for themselves: one process against a pool, by column size.

The job is a new user's chunked one: normalise each text (strip it, hyphens to
spaces, a small alias table), parse it with TileLabel and count the rows per
member value, and the rejected ones. The column (15% of it naming no member
even after the aliases) is cut into --chunks chunks before the clock starts,
and the job runs three ways:

  one process  the chunks one after another, in this process;
  pool         a ProcessPoolExecutor of --workers processes made for the job:
               starting it, sending the chunks, gathering the counts and
               shutting it down are all timed, as a script that makes its pool
               pays for all of them;
  warm pool    the same pool started beforehand, as in a program that keeps
               one for many jobs: only sending and gathering are timed.

Each size runs --repeats rounds, the three interleaved; the figures are the
median and the best wall-clock seconds. Wall time is what a pool shortens, so
other work on the machine moves it: the load average is printed beside every
size. The crossover is the smallest size at which the pool's median beats one
process's, there and at every larger size.

    PYTHONPATH=build python3 bench/processes.py [--sizes 10000,100000,500000,2000000]
"""

import argparse
import multiprocessing
import os
import platform
import statistics
import sys
import time
from collections import Counter
from concurrent.futures import ProcessPoolExecutor
from pathlib import Path

from tarvu import TileLabel

sys.path.insert(0, str(Path(__file__).parent))
from parse_column import make_column  # noqa: E402

ALIASES = {"tumour": "Tumor", "artifact": "Artefact", "smooth muscle": "MuscleSmooth"}


def count_chunk(texts):
    """Rows per member value, and the rejected rows, of one chunk."""
    counts = Counter()
    rejected = 0
    for text in texts:
        text = text.strip().replace("-", " ")
        text = ALIASES.get(text.lower(), text)
        try:
            counts[int(TileLabel(text))] += 1
        except RuntimeError:
            rejected += 1
    return counts, rejected


def add(results):
    total = Counter()
    rejected = 0
    for counts, chunk_rejected in results:
        total.update(counts)
        rejected += chunk_rejected
    return total, rejected


def timed(job):
    began = time.perf_counter()
    result = job()
    return time.perf_counter() - began, result


def measure(chunks, workers, repeats):
    """Seconds per round of each way of running the job, checked to agree."""
    seconds = {"one process": [], "pool": [], "warm pool": []}
    with ProcessPoolExecutor(workers) as warm:
        warm.submit(count_chunk, []).result()  # every worker started and tarvu imported
        for _ in range(repeats):
            one, expected = timed(lambda: add(map(count_chunk, chunks)))

            def fresh_pool():
                with ProcessPoolExecutor(workers) as pool:
                    return add(pool.map(count_chunk, chunks))

            runs = [("one process", one, expected), ("pool", *timed(fresh_pool)),
                    ("warm pool", *timed(lambda: add(warm.map(count_chunk, chunks))))]
            for way, spent, result in runs:
                assert result == expected, way
                seconds[way].append(spent)
    return seconds


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--sizes", default="10000,100000,500000,2000000")
    parser.add_argument("--workers", type=int, default=2)
    parser.add_argument("--chunks", type=int, default=8)
    parser.add_argument("--repeats", type=int, default=5)
    options = parser.parse_args()
    print("{} {} ({}), {} CPUs, start method {}, {} workers, {} chunks, {} rounds".format(
        platform.python_implementation(), platform.python_version(), sys.executable, os.cpu_count(),
        multiprocessing.get_start_method(), options.workers, options.chunks, options.repeats))
    print("{:>10}  {:>17}{:>17}{:>17}{:>11}{:>7}".format(
        "texts", "one process", "pool", "warm pool", "pool/one", "load"))
    crossover = None
    for size in sorted(map(int, options.sizes.split(","))):
        column = make_column(size, 0.15, distinct=False)
        step = -(-size // options.chunks)
        chunks = [column[start:start + step] for start in range(0, size, step)]
        seconds = measure(chunks, options.workers, options.repeats)
        median = {way: statistics.median(spent) for way, spent in seconds.items()}
        cells = ["{:>8.3f} ({:.3f})".format(median[way], min(spent)) for way, spent in seconds.items()]
        ratio = median["pool"] / median["one process"]
        print("{:>10,}  {}{:>11.2f}{:>7.2f}".format(size, "".join(cells), ratio, os.getloadavg()[0]))
        # A pool that wins at one size and loses at a larger one won by noise.
        crossover = (crossover or size) if ratio < 1 else None
    print("seconds: median (best); pool/one by the medians")
    print("crossover: " + ("{:,} texts".format(crossover) if crossover else "none: one process won at the largest size"))


if __name__ == "__main__":
    main()
