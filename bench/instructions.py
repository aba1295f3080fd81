"""Instructions per operation for tarvu and the floor, counted by callgrind.

Wall-clock timings on a shared machine move with the load; instruction counts
do not. For each operation of run.py this runs the statement N times in a fresh
interpreter under `valgrind --tool=callgrind` and takes off an empty loop of the
same length, giving instructions (Ir) per call and its ratio to two floors: the
one that makes its message and text-form strs afresh (floor) and the plain C
class that makes them once and shares them (shared, floor.c built with
FLOOR_SHARED_STRS). tarvu's goals (IR_OVER_SHARED_MAX) are set against the
shared one; to_string() and repr() must return fresh strs, which the goals
for those two allow for.
Instructions are not time (cache misses and branch mispredictions are not
counted) but they show where tarvu does more work than it must.

tarvu is built once per C++ compiler (g++ and clang++ by default, each in
<build>/bench/<compiler>/ with the project's Release settings), so that the
table also shows whether both compilers inline the hot path alike: clang/g++
above 1.05 on any operation is flagged. `--prebuilt NAME=DIR` adds a column for
a module built elsewhere, such as the one a wheel installs (unpack the wheel
into DIR): above 1.1 of the first compiler's build is flagged.

    python bench/instructions.py [--loops N] [--only KEY,...] [--compilers g++,clang++] [--prebuilt wheel=DIR]

Run it with the interpreter to measure on: Debian's optimised /usr/bin/python3.11
first (PGO and LTO, as users' interpreters are built), pyenv's builds second.
Needs valgrind, cmake and both compilers (tools/install-deps.sh installs them).
"""

import argparse
import os
import platform
import re
import subprocess
import sys
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
    # str hashes are salted per process, which moves dict probing and so the
    # count from one run to the next; a fixed seed makes a count repeatable.
    env = {**os.environ, "PYTHONHASHSEED": os.environ.get("PYTHONHASHSEED", "0")}
    done = subprocess.run(["valgrind", "--tool=callgrind", f"--callgrind-out-file={out}",
                           sys.executable, "-c", script],
                          capture_output=True, text=True, env=env)
    if done.returncode != 0:
        raise SystemExit(f"valgrind failed for {module}: {done.stderr[-2000:]}")
    match = re.search(r"Collected : (\d+)", done.stderr)
    out.unlink(missing_ok=True)
    return int(match.group(1))


COMPILER_GAP_MAX = 1.05
# A wheel's module is built by another toolchain (zig's clang, a static libc++),
# for the oldest CPU and C library it supports; it may cost this much more.
PREBUILT_GAP_MAX = 1.10
# Goals: tarvu's Ir per call over the shared floor's, under an optimised
# interpreter, by operation (the class attribute runs none of tarvu's code).
IR_OVER_SHARED_MAX = {
    "parse_short": 0.72, "parse_long": 0.70, "parse_stain": 0.72, "parse_keyword": 0.52,
    "parse_fail": 1.0, "from_int": 0.95, "from_int_fail": 1.0, "list": 0.75,
    "to_string": 2.5, "repr": 1.95, "int": 1.0, "eq_int": 0.95, "eq_member": 1.05, "eq_str": 1.0,
}


def build_with(compiler, out_dir, cmake_args=()):
    """Builds the module with `compiler` into out_dir/<compiler>; returns that folder."""
    target = out_dir / compiler.replace("+", "x")
    configure = ["cmake", "-S", str(run.REPO), "-B", str(target), f"-DCMAKE_CXX_COMPILER={compiler}",
                 f"-DPython_EXECUTABLE={sys.executable}", "-DCMAKE_BUILD_TYPE=Release", *cmake_args]
    for command in (configure, ["cmake", "--build", str(target), "-j2", "--target", "tarvu"]):
        done = subprocess.run(command, capture_output=True, text=True)
        if done.returncode != 0:
            raise SystemExit(f"building with {compiler} failed:\n{done.stdout[-3000:]}{done.stderr[-3000:]}")
    return target


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--loops", type=int, default=20_000)
    parser.add_argument("--only", help="comma-separated operation keys (see run.py)")
    parser.add_argument("--compilers", default="g++,clang++",
                        help="comma-separated C++ compilers to build tarvu with (the first is the reference)")
    parser.add_argument("--build-dir", help="tarvu's build directory (default: build)")
    parser.add_argument("--cmake-arg", action="append", default=[], metavar="ARG",
                        help="passed to cmake when configuring tarvu's builds (repeatable), to weigh a build "
                             "setting; a setting stays in the build folder's cache until changed again")
    parser.add_argument("--prebuilt", action="append", default=[], metavar="NAME=DIR",
                        help="also count the tarvu module found in DIR (e.g. an unpacked wheel), "
                             "as the column NAME (repeatable)")
    args = parser.parse_args()
    compilers = args.compilers.split(",")
    prebuilt = {}
    for item in args.prebuilt:
        name, _, directory = item.partition("=")
        if not name or not directory or not Path(directory).is_dir():
            parser.error(f"--prebuilt wants NAME=DIR with an existing DIR, not {item!r}")
        if name in prebuilt or name in compilers or name in ("floor", "shared"):
            parser.error(f"--prebuilt {item!r}: the column {name!r} is taken")
        prebuilt[name] = ("tarvu", [Path(directory).resolve()])

    out_dir = run.build_dir(args)
    floor_path = run.build_floor(out_dir / "bench")
    shared_path = run.build_floor(out_dir / "bench", shared=True)
    implementations = {}
    for compiler in compilers:
        print(f"building tarvu with {compiler} ...", file=sys.stderr, flush=True)
        implementations[compiler] = ("tarvu", [build_with(compiler, out_dir / "bench", args.cmake_arg)])
    implementations.update(prebuilt)
    implementations["floor"] = ("tarvu_floor", [floor_path.parent])
    implementations["shared"] = ("tarvu_floor_shared", [shared_path.parent])
    wanted = set(args.only.split(",")) if args.only else None
    operations = [op for op in run.OPERATIONS if wanted is None or op[0] in wanted]

    reference = compilers[0]
    columns = compilers + list(prebuilt)
    header = f"{'operation':<38}" + "".join(f"{c + ' Ir':>12}" for c in columns)
    header += f"{'floor Ir':>10}{'shared Ir':>11}"
    header += "".join(f"{c + '/floor':>14}{c + '/shared':>15}" for c in columns)
    header += "".join(f"{c + '/' + reference:>16}" for c in columns[1:])
    header += "  goal (" + reference + "/shared)"
    print(f"CPython {platform.python_version()} ({sys.executable}), {args.loops} loops, Ir per call "
          f"net of an empty loop")
    print(header)
    flagged = []
    missed = []
    with tempfile.TemporaryDirectory() as workdir:
        empty = {name: instructions(module, dirs, "pass", args.loops, workdir)
                 for name, (module, dirs) in implementations.items()}
        for key, label, statement, _ in operations:
            per_call = {}
            for name, (module, dirs) in implementations.items():
                total = instructions(module, dirs, statement, args.loops, workdir)
                per_call[name] = (total - empty[name]) / args.loops
            line = f"{label:<38}" + "".join(f"{per_call[c]:>12.0f}" for c in columns)
            line += f"{per_call['floor']:>10.0f}{per_call['shared']:>11.0f}"
            line += "".join(f"{per_call[c] / per_call['floor']:>14.2f}{per_call[c] / per_call['shared']:>15.2f}"
                            for c in columns)
            for column in columns[1:]:
                gap = per_call[column] / per_call[reference]
                line += f"{gap:>16.2f}"
                if gap > (PREBUILT_GAP_MAX if column in prebuilt else COMPILER_GAP_MAX):
                    flagged.append(f"{label} ({column} {gap:.2f}x)")
            if key in IR_OVER_SHARED_MAX:
                goal = IR_OVER_SHARED_MAX[key]
                met = per_call[reference] / per_call["shared"] <= goal
                line += f"  <={goal:g} {'ok' if met else 'MISSED'}"
                if not met:
                    missed.append(label)
            print(line, flush=True)
    if len(columns) > 1:
        print(f"over {COMPILER_GAP_MAX:g}x (a compiler) or {PREBUILT_GAP_MAX:g}x (a prebuilt module) of "
              f"{reference}: " + (", ".join(flagged) or "none"))
    print("goals missed: " + (", ".join(missed) or "none"))
    return 1 if flagged else 0


if __name__ == "__main__":
    sys.exit(main())
