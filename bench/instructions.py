"""Instructions per operation for tarvu and the floor, counted by callgrind.

Wall-clock timings on a shared machine move with the load; instruction counts
do not. For each operation of run.py this runs the statement N times in a fresh
interpreter under `valgrind --tool=callgrind` and takes off an empty loop of the
same length, giving instructions (Ir) per call and the ratio tarvu/floor.
Instructions are not time (cache misses and branch mispredictions are not
counted) but they show where tarvu does more work than it must.

    PYTHONPATH=build python bench/instructions.py [--loops N] [--only KEY,...]

Needs valgrind (Debian package `valgrind`) and a floor built by run.py.
"""

import argparse
import os
import re
import subprocess
import sys
import sysconfig
import tempfile
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))
import run  # noqa: E402  (the operations and the floor build live there)

CHILD = """
import sys
sys.path[:0] = {paths!r}
import {module} as _module
def _loop(_n):
    {setup}
    for _ in range(_n):
{statement}
_loop({loops})
"""


def instructions(module, module_dirs, statement, loops, workdir):
    """Total Ir of one fresh interpreter running `statement` `loops` times."""
    body = "\n".join("        " + line for line in statement.splitlines())
    script = CHILD.format(paths=[str(d) for d in module_dirs], module=module,
                          setup=run.SETUP, statement=body, loops=loops)
    out = Path(workdir) / "callgrind.out"
    done = subprocess.run(["valgrind", "--tool=callgrind", f"--callgrind-out-file={out}",
                           sys.executable, "-c", script],
                          capture_output=True, text=True)
    if done.returncode != 0:
        raise SystemExit(f"valgrind failed for {module}: {done.stderr[-2000:]}")
    match = re.search(r"Collected : (\d+)", done.stderr)
    out.unlink(missing_ok=True)
    return int(match.group(1))


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--loops", type=int, default=20_000)
    parser.add_argument("--only", help="comma-separated operation keys (see run.py)")
    parser.add_argument("--build-dir", help="tarvu's build directory (default: build)")
    args = parser.parse_args()

    out_dir = run.build_dir(args)
    floor_path = run.build_floor(out_dir / "bench")
    tarvu_dirs = [Path(p) for p in os.environ.get("PYTHONPATH", "").split(os.pathsep) if p]
    tarvu_dirs.append(out_dir)
    implementations = {"tarvu": ("tarvu", tarvu_dirs), "floor": ("tarvu_floor", [floor_path.parent])}
    wanted = set(args.only.split(",")) if args.only else None
    operations = [op for op in run.OPERATIONS if wanted is None or op[0] in wanted]

    print(f"CPython {sysconfig.get_python_version()}, {args.loops} loops, Ir per call "
          f"net of an empty loop")
    print(f"{'operation':<38}{'tarvu Ir':>10}{'floor Ir':>10}{'tarvu/floor':>13}")
    with tempfile.TemporaryDirectory() as workdir:
        empty = {name: instructions(module, dirs, "pass", args.loops, workdir)
                 for name, (module, dirs) in implementations.items()}
        for key, label, statement, _ in operations:
            per_call = {}
            for name, (module, dirs) in implementations.items():
                total = instructions(module, dirs, statement, args.loops, workdir)
                per_call[name] = (total - empty[name]) / args.loops
            print(f"{label:<38}{per_call['tarvu']:>10.0f}{per_call['floor']:>10.0f}"
                  f"{per_call['tarvu'] / per_call['floor']:>13.2f}", flush=True)


if __name__ == "__main__":
    main()
