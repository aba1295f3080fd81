"""Times tarvu against the cost floor of its protocol and against plain Python.

Four implementations of the same three vocabularies run side by side in one
process, interleaved, on the same statements:

  tarvu   the built module (PYTHONPATH=build, as `make bench` sets it);
  floor   bench/floor/floor.c, the least work any C extension offering this
          protocol must do, making every str afresh; built here into <build>/bench/;
  peer    bench/peer_enum.py, stdlib IntEnum classes written the plain way;
  shared  the same floor.c built as the plain C class is usually written,
          message strs and to_string()/repr() texts made once and shared.

Each statement is timed in timeit's compiled loop, many loops per sample and
many samples; the minimum per call is kept and the cost of an empty loop is
taken off. The table gives ns per operation and the ratios tarvu/floor,
tarvu/shared and peer/tarvu against the goals the project set for them. Run it
with Debian's optimised /usr/bin/python3.11 first (`make bench` does): users'
interpreters are built with PGO and LTO, which makes the interpreter's share
of a call cheaper and tarvu's share weigh more.

    python bench/run.py                 # one full measurement (~15 s)
    python bench/run.py --runs 5        # five, reporting medians
    python bench/run.py --quick         # smoke run, a few seconds
    python bench/run.py --json out.json
    python bench/run.py --chart out.png # also draw the table (matplotlib)
    python bench/run.py --module other/tarvu.cpython-311-x86_64-linux-gnu.so

Every run first names the module file, the interpreter and the compilers that
built the module and the floor, so tables from different builds can be told apart.
"""

import argparse
import importlib.util
import json
import os
import platform
import random
import statistics
import subprocess
import sys
import sysconfig
import tempfile
import timeit
from pathlib import Path

BENCH_DIR = Path(__file__).resolve().parent
REPO = BENCH_DIR.parent
IMPLEMENTATIONS = ("tarvu", "floor", "peer", "shared")

# Goals the project set per kind of row: tarvu over the shared floor, the plain
# C class. Construction skips the argument tuple and type_call that the
# floor's tp_new pays for, so it must be well below it; `int` and `==` may
# differ by the bench's noise, and so may the class attribute, which runs none
# of tarvu's code. to_string() and repr() must make a fresh str on every call,
# so they are held against the floor that does too.
TARVU_GOALS = {"parse": ("shared", 0.8), "parse_keyword": ("shared", 0.8), "bulk": ("shared", 0.8),
               "parse_fail": ("shared", 1.0), "from_int": ("shared", 1.0), "from_int_fail": ("shared", 1.0),
               "list": ("shared", 1.0), "class_attribute": ("shared", 1.1), "text_form": ("floor", 1.1),
               "int": ("shared", 1.05), "eq": ("shared", 1.05), "eq_member": ("shared", 1.1)}
PEER_OVER_TARVU_MIN = {"parse": 10.0, "parse_keyword": 10.0, "parse_fail": 10.0, "bulk": 10.0,
                       "from_int": 3.0, "from_int_fail": 3.0}
MEMBER_SIZE_GOAL = 32
IMPORT_MS_GOAL = 1.0

FAIL = "try:\n    {}\nexcept RuntimeError:\n    pass"

# (key, row label, statement, kind). Statements see TL, ST (the classes),
# m (TileLabel.Tumor) and m2 (a second instance equal to m).
OPERATIONS = [
    ("parse_short", "TileLabel('Bone')", "TL('Bone')", "parse"),
    ("parse_long", "TileLabel('Mucosa Large Intestine')", "TL('Mucosa Large Intestine')", "parse"),
    ("parse_stain", "Stain('H&E')", "ST('H&E')", "parse"),
    ("parse_keyword", "TileLabel(s='Tumor')", "TL(s='Tumor')", "parse_keyword"),
    ("parse_fail", "TileLabel('Tumour'), caught", FAIL.format("TL('Tumour')"), "parse_fail"),
    ("from_int", "TileLabel.from_int(16)", "TL.from_int(16)", "from_int"),
    ("from_int_fail", "TileLabel.from_int(6), caught", FAIL.format("TL.from_int(6)"),
     "from_int_fail"),
    ("class_attribute", "TileLabel.Tumor", "TL.Tumor", "class_attribute"),
    ("list", "TileLabel.list()", "TL.list()", "list"),
    ("to_string", "m.to_string()", "m.to_string()", "text_form"),
    ("repr", "repr(m)", "repr(m)", "text_form"),
    ("int", "int(m)", "int(m)", "int"),
    ("eq_int", "m == 16", "m == 16", "eq"),
    ("eq_member", "m == m2", "m == m2", "eq_member"),
    ("eq_str", "m == 'Tumor'", "m == 'Tumor'", "eq"),
]
SETUP = "TL = _module.TileLabel; ST = _module.Stain; m = TL.Tumor; m2 = TL('tumor')"

BULK_KEY = "bulk"
BULK_LABEL = "bulk: 100k label texts, per text"
BULK_COUNT = 100_000
BULK_SEED = 20240607
# The job is timed in chunks, each sample short enough to dodge most preemption on
# a busy machine; the per-chunk minima are summed.
BULK_CHUNKS = 20
BULK_STMT = "for t in texts:\n    try:\n        TL(t)\n    except RuntimeError:\n        pass"
BULK_EMPTY = "for t in texts:\n    try:\n        t\n    except RuntimeError:\n        pass"
BULK_SETUP = "TL = _module.TileLabel; texts = _texts"

# How often each tile class turns up in an annotation export: tumour, stroma and
# background dominate, rare classes trail off.
TILE_WEIGHTS = {
    "Tumor": 20, "ConnectiveTissue": 12, "Empty": 10, "Necrosis": 6, "FattyTissue": 6,
    "Blood": 4, "Epithelium": 4, "Mucosa": 4, "Other": 3, "Unlabeled": 3, "Lymphatic": 3,
    "BloodVessel": 3, "TumorInvasive": 3, "MuscleSmooth": 2, "Artefact": 2, "Unknown": 2,
    "TumorPartial": 2, "MucosaLargeIntestine": 2, "EpitheliumSquamous": 2, "Muscle": 1,
    "MuscleStriated": 1, "MucosaStomach": 1, "MucosaSmallIntestine": 1, "EpitheliumGland": 1,
    "NonExisting": 1, "Cns": 1, "Bone": 1, "Bonemarrow": 1,
}
# Spellings seen in public data sets that name no member.
INVALID_TEXTS = [
    "Tumour", "Tumor: Positive", "01_TUMOR", "TUM", "invasive tumor", "Tumor-associated stroma",
    "connective-tissue", "adipose tissue", "ADIPOSE", "fat", "vessel", "necrosis_or_debris",
    "lymphatics", "smooth muscle", "normal colon mucosa", "squamous epithelium", "bone-marrow",
    "Artifact", "unlabelled", "non-existing", "Region*", "Stroma", "_0", "Tumör",
    "\ufeffTumor", "Tumor\n", "Tumor\t", "Tumor\xa0", "",
]
INVALID_SHARE = 0.05


def split_words(name):
    words, start = [], 0
    for i in range(1, len(name)):
        if name[i].isupper() and name[i - 1].islower():
            words.append(name[start:i])
            start = i
    words.append(name[start:])
    return words


def spellings(name):
    words = split_words(name)
    forms = [
        name, name.lower(), name.upper(),
        " ".join(words), " ".join(words).lower(), " ".join(w.capitalize() for w in words),
        "_".join(words).lower(), "_".join(words).upper(),
        " ".join(words) + " ", " " + name,
    ]
    return forms


def label_texts(count=BULK_COUNT, seed=BULK_SEED):
    """A fixed mix of valid spellings in case and spacing variants, ~5% invalid."""
    rng = random.Random(seed)
    names = list(TILE_WEIGHTS)
    weights = [TILE_WEIGHTS[n] for n in names]
    forms = {n: spellings(n) for n in names}
    # Plain and lower-case spellings are the common ones in exports.
    form_weights = [30, 25, 8, 12, 10, 5, 6, 1, 2, 1]
    texts = []
    for _ in range(count):
        if rng.random() < INVALID_SHARE:
            text = rng.choice(INVALID_TEXTS)
        else:
            name = rng.choices(names, weights)[0]
            text = rng.choices(forms[name], form_weights)[0]
        # A fresh object per text, as when read from a file.
        texts.append(text.encode().decode())
    return texts


# --- building and importing ------------------------------------------------------------

def build_dir(args):
    return Path(args.build_dir or os.environ.get("TARVU_BUILD") or REPO / "build").resolve()


def build_floor(out_dir, shared=False):
    """Compiles floor.c into out_dir unless an up-to-date build is there: the floor
    that makes its strs afresh, or with `shared` the one that shares them
    (tarvu_floor_shared)."""
    source = BENCH_DIR / "floor" / "floor.c"
    name = "tarvu_floor_shared" if shared else "tarvu_floor"
    target = out_dir / (name + sysconfig.get_config_var("EXT_SUFFIX"))
    if target.exists() and target.stat().st_mtime >= source.stat().st_mtime:
        return target
    out_dir.mkdir(parents=True, exist_ok=True)
    compiler = os.environ.get("CC", "cc").split()
    include = sysconfig.get_paths()["include"]
    partial = target.with_suffix(".tmp")
    command = compiler + ["-O3", "-DNDEBUG", "-fPIC", "-shared", "-Wall", "-Wextra", "-Werror",
                          "-I" + include, str(source), "-o", str(partial)]
    if shared:
        command.append("-DFLOOR_SHARED_STRS")
    print("building the floor:", " ".join(command), file=sys.stderr)
    with open(out_dir / "floor-compiler.txt", "w") as f:
        f.write(compiler_of(compiler))
    subprocess.run(command, check=True)
    partial.replace(target)
    return target


def compiler_of(command):
    """The first line a compiler prints for --version, e.g. 'gcc (Debian 12.2.0-14) 12.2.0'."""
    try:
        out = subprocess.run(command + ["--version"], capture_output=True, text=True).stdout
    except OSError:
        return " ".join(command) + " (cannot run)"
    return (out.splitlines() or ["unknown"])[0]


def built_by(path):
    """The compiler recorded in a shared object's .comment section."""
    try:
        out = subprocess.run(["readelf", "-p", ".comment", str(path)],
                             capture_output=True, text=True).stdout
    except OSError:
        return "unknown (readelf is missing)"
    found = [line.split("]", 1)[1].strip() for line in out.splitlines() if "]" in line]
    return "; ".join(dict.fromkeys(found)) or "unknown"


def import_implementations(floor_dir, tarvu_dir, tarvu_file=None):
    sys.path.insert(0, str(floor_dir))
    sys.path.insert(0, str(BENCH_DIR))
    import peer_enum
    import tarvu_floor
    import tarvu_floor_shared
    modules = {"floor": tarvu_floor, "peer": peer_enum, "shared": tarvu_floor_shared}
    if tarvu_file is not None:
        # Exactly this file, whatever else is on the path.
        spec = importlib.util.spec_from_file_location("tarvu", tarvu_file)
        tarvu = importlib.util.module_from_spec(spec)
        spec.loader.exec_module(tarvu)
        sys.modules["tarvu"] = tarvu
        modules["tarvu"] = tarvu
        return modules
    try:
        import tarvu
    except ImportError:
        # make bench puts the build directory on PYTHONPATH; a direct run may not.
        sys.path.append(str(tarvu_dir))
        try:
            import tarvu
        except ImportError as error:
            print(f"warning: tarvu cannot be imported ({error}); its columns stay empty",
                  file=sys.stderr)
            return modules
    modules["tarvu"] = tarvu
    return modules


def check_same_work(modules, texts):
    """The implementations must agree on what they parse, or the timings compare
    different work."""
    outcomes = {}
    for name, module in modules.items():
        parsed = []
        for text in texts:
            try:
                parsed.append(int(module.TileLabel(text)))
            except RuntimeError:
                parsed.append(None)
        outcomes[name] = parsed
    reference = outcomes["floor"]
    for name, parsed in outcomes.items():
        if parsed != reference:
            bad = next(i for i, (a, b) in enumerate(zip(parsed, reference)) if a != b)
            raise SystemExit(f"{name} parses {texts[bad]!r} as {parsed[bad]}, "
                             f"the floor as {reference[bad]}")
    for name, module in modules.items():
        for statement in ("ST('H&E')", "TL('Mucosa Large Intestine')", "TL.from_int(16)"):
            eval(statement, {"TL": module.TileLabel, "ST": module.Stain})
    return reference.count(None)


# --- timing ------------------------------------------------------------------------------

def timer(statement, setup, module, extra=None):
    namespace = {"_module": module}
    namespace.update(extra or {})
    return timeit.Timer(statement, setup, globals=namespace)


def calibrate(t, target):
    """Loop count that makes one sample last about `target` seconds."""
    number = 1
    while True:
        elapsed = t.timeit(number)
        if elapsed >= target / 5 or number >= 1 << 30:
            return max(1, int(number * target / max(elapsed, 1e-9)))
        number *= 10


def measure_once(modules, texts, repeats, target):
    """One full measurement: {key: {implementation: net ns}} and the empty-loop ns."""
    names = [n for n in IMPLEMENTATIONS if n in modules]
    timers, numbers = {}, {}
    for key, _, statement, _ in OPERATIONS:
        for name in names:
            t = timer(statement, SETUP, modules[name])
            timers[key, name] = t
            numbers[key, name] = calibrate(t, target)
    empty = timer("pass", SETUP, modules["floor"])
    empty_number = calibrate(empty, target)
    size = -(-len(texts) // BULK_CHUNKS)
    chunks = [texts[i:i + size] for i in range(0, len(texts), size)]
    for name in names:
        for i, chunk in enumerate(chunks):
            extra = {"_texts": chunk}
            timers[(BULK_KEY, i), name] = timer(BULK_STMT, BULK_SETUP, modules[name], extra)
            timers[("empty", i), name] = timer(BULK_EMPTY, BULK_SETUP, modules[name], extra)

    best = {}
    empty_best = float("inf")

    def sample(key, name, number):
        seconds = timers[key, name].timeit(number) / number
        best[key, name] = min(best.get((key, name), float("inf")), seconds)

    for repeat in range(repeats):
        # Rotate who goes first so that no implementation always runs on a warm or a cold cache.
        order = names[repeat % len(names):] + names[:repeat % len(names)]
        for key, _, _, _ in OPERATIONS:
            for name in order:
                sample(key, name, numbers[key, name])
            empty_best = min(empty_best, empty.timeit(empty_number) / empty_number)
        for i in range(len(chunks)):
            for name in order:
                sample((BULK_KEY, i), name, 1)
                sample(("empty", i), name, 1)

    result = {}
    for key, _, _, _ in OPERATIONS:
        result[key] = {n: (best[key, n] - empty_best) * 1e9 for n in names}
    result[BULK_KEY] = {
        n: sum(best[(BULK_KEY, i), n] - best[("empty", i), n] for i in range(len(chunks)))
        * 1e9 / len(texts) for n in names}
    return result, empty_best * 1e9


def import_times(module_dir, module_name, processes):
    """Median self time, in ms, of importing a module in fresh interpreters."""
    env = dict(os.environ)
    env["PYTHONPATH"] = str(module_dir)
    samples = []
    for _ in range(processes):
        done = subprocess.run([sys.executable, "-X", "importtime", "-c", f"import {module_name}"],
                              env=env, capture_output=True, text=True, check=True)
        for line in done.stderr.splitlines():
            fields = [f.strip() for f in line.split("|")]
            if len(fields) == 3 and fields[2] == module_name:
                samples.append(int(fields[0].split(":")[-1]) / 1000)
    return statistics.median(samples) if samples else None


# --- report ------------------------------------------------------------------------------

def ratio(numerator, denominator):
    if numerator is None or denominator is None or denominator <= 0:
        return None
    return numerator / denominator


def assess(kind, tarvu_over, peer_over_tarvu):
    """Goal verdicts for one row: a list of (text, met or None when unmeasured).
    tarvu_over maps each floor to tarvu's ratio over it."""
    verdicts = []
    reference, limit = TARVU_GOALS[kind]
    measured = tarvu_over[reference]
    met = None if measured is None else measured <= limit
    verdicts.append((f"t/{reference[0]}<={limit:g}", met))
    if kind in PEER_OVER_TARVU_MIN:
        floor = PEER_OVER_TARVU_MIN[kind]
        met = None if peer_over_tarvu is None else peer_over_tarvu >= floor
        verdicts.append((f"p/t>={floor:g}", met))
    return verdicts


def format_number(value, digits=1):
    return "n/a" if value is None else f"{value:.{digits}f}"


def verdict_text(verdicts):
    marks = {True: "ok", False: "MISSED", None: "n/a"}
    return ", ".join(f"{goal} {marks[met]}" for goal, met in verdicts)


def machine_description():
    """CPU model, core count and load: the table is only comparable on the same machine."""
    model = platform.processor() or platform.machine()
    try:
        for line in Path("/proc/cpuinfo").read_text().splitlines():
            if line.startswith("model name"):
                model = line.split(":", 1)[1].strip()
                break
    except OSError:
        pass
    load = ", ".join(f"{x:.2f}" for x in os.getloadavg())
    return f"{model}, {os.cpu_count()} cores, {platform.system()} {platform.release()}, load {load}"


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--quick", action="store_true", help="short smoke run (a few seconds)")
    parser.add_argument("--runs", type=int, default=1, help="repeat the measurement, report medians")
    parser.add_argument("--json", metavar="PATH", help="also write the results as JSON")
    parser.add_argument("--chart", metavar="PATH", type=Path,
                        help="also draw ns per operation as a PNG (needs matplotlib)")
    parser.add_argument("--build-dir", help="tarvu's build directory (default: build)")
    parser.add_argument("--module", metavar="PATH", type=Path,
                        help="time this tarvu module file instead of the one on the path")
    args = parser.parse_args()
    if args.module is not None and not args.module.is_file():
        parser.error(f"--module {args.module}: no such file")

    repeats, target, processes = (3, 0.002, 3) if args.quick else (20, 0.005, 7)
    out_dir = build_dir(args)
    floor_path = build_floor(out_dir / "bench")
    build_floor(out_dir / "bench", shared=True)
    modules = import_implementations(floor_path.parent, out_dir, args.module)
    timed = {
        "tarvu module": str(Path(modules["tarvu"].__file__).resolve()) if "tarvu" in modules else None,
        "tarvu built by": built_by(modules["tarvu"].__file__) if "tarvu" in modules else None,
        "floor built by": (floor_path.parent / "floor-compiler.txt").read_text()
        if (floor_path.parent / "floor-compiler.txt").exists() else built_by(floor_path),
        "interpreter": f"{sys.executable} (CPython {platform.python_version()}"
                       + (f", {os.path.realpath(sys.executable)})"
                          if os.path.realpath(sys.executable) != sys.executable else ")"),
    }
    timed["machine"] = machine_description()
    for what, value in timed.items():
        print(f"{what + ':':<16}{value or 'n/a'}")
    texts = label_texts()
    invalid = check_same_work(modules, texts)

    runs, empties = [], []
    for run in range(args.runs):
        print(f"run {run + 1}/{args.runs} ...", file=sys.stderr)
        result, empty_ns = measure_once(modules, texts, repeats, target)
        runs.append(result)
        empties.append(empty_ns)

    rows = [(key, label, kind) for key, label, _, kind in OPERATIONS]
    rows.append((BULK_KEY, BULK_LABEL, "bulk"))
    table = []
    for key, label, kind in rows:
        ns = {n: (statistics.median(r[key][n] for r in runs) if n in modules else None)
              for n in IMPLEMENTATIONS}
        tarvu_over = {floor: ratio(ns["tarvu"], ns[floor]) for floor in ("floor", "shared")}
        p_t = ratio(ns["peer"], ns["tarvu"])
        table.append({"key": key, "operation": label, "kind": kind, "ns": ns,
                      "tarvu_over_floor": tarvu_over["floor"], "tarvu_over_shared": tarvu_over["shared"],
                      "peer_over_tarvu": p_t, "goals": assess(kind, tarvu_over, p_t),
                      "per_run_ns": [r[key] for r in runs]})

    sizes = {n: sys.getsizeof(modules[n].TileLabel.Tumor) for n in IMPLEMENTATIONS if n in modules}
    imports = {}
    with tempfile.TemporaryDirectory() as tmp:
        for name, module in modules.items():
            where = Path(module.__file__)
            if name == "tarvu" and where.name != "tarvu" + sysconfig.get_config_var("EXT_SUFFIX"):
                # A file under another name is imported through a link named as the import expects.
                link = Path(tmp) / ("tarvu" + sysconfig.get_config_var("EXT_SUFFIX"))
                link.symlink_to(where.resolve())
                where = link
            imports[name] = import_times(where.parent, module.__name__, processes)

    header = (f"{'operation':<38}{'tarvu ns':>10}{'floor ns':>10}{'peer ns':>10}{'shared ns':>11}"
              f"{'tarvu/floor':>13}{'tarvu/shared':>14}{'peer/tarvu':>12}  goals")
    print(f"\nCPython {platform.python_version()}, {args.runs} run(s) of {repeats} samples, "
          f"median of per-run minima, net of an empty loop "
          f"({statistics.median(empties):.1f} ns); {len(texts)} bulk texts, {invalid} invalid")
    print(header)
    print("-" * len(header))
    for row in table:
        ns = row["ns"]
        print(f"{row['operation']:<38}{format_number(ns['tarvu']):>10}"
              f"{format_number(ns['floor']):>10}{format_number(ns['peer']):>10}"
              f"{format_number(ns['shared']):>11}"
              f"{format_number(row['tarvu_over_floor'], 2):>13}"
              f"{format_number(row['tarvu_over_shared'], 2):>14}"
              f"{format_number(row['peer_over_tarvu'], 1):>12}  {verdict_text(row['goals'])}")
    size_met = None if "tarvu" not in sizes else sizes["tarvu"] == MEMBER_SIZE_GOAL
    import_met = None if imports.get("tarvu") is None else imports["tarvu"] <= IMPORT_MS_GOAL
    print()
    print("sys.getsizeof(TileLabel.Tumor): " +
          ", ".join(f"{n} {sizes.get(n, 'n/a')}" for n in IMPLEMENTATIONS) +
          f"  (goal tarvu == {MEMBER_SIZE_GOAL}: {verdict_text([('', size_met)]).strip()})")
    print(f"import self time, median of {processes} fresh processes (-X importtime): " +
          ", ".join(f"{n} {format_number(imports.get(n), 3)} ms" for n in IMPLEMENTATIONS) +
          f"  (goal tarvu <= {IMPORT_MS_GOAL:g} ms: {verdict_text([('', import_met)]).strip()})")

    all_verdicts = [met for row in table for _, met in row["goals"]] + [size_met, import_met]
    missed = sum(1 for met in all_verdicts if met is False)
    unmeasured = sum(1 for met in all_verdicts if met is None)
    print(f"goals: {len(all_verdicts) - missed - unmeasured} met, {missed} missed, "
          f"{unmeasured} not measured")

    if args.json:
        document = {
            "python": platform.python_version(),
            "timed": timed,
            "machine": platform.machine(),
            "load_average": os.getloadavg(),
            "runs": args.runs, "quick": args.quick, "samples_per_run": repeats,
            "sample_seconds": target,
            "empty_loop_ns": empties,
            "bulk": {"texts": len(texts), "invalid": invalid, "seed": BULK_SEED},
            "operations": [dict(row, goals=[{"goal": g, "met": m} for g, m in row["goals"]])
                           for row in table],
            "sizeof_member": sizes,
            "import_self_ms": imports,
            "goals": {"met": len(all_verdicts) - missed - unmeasured, "missed": missed,
                      "not_measured": unmeasured},
        }
        Path(args.json).write_text(json.dumps(document, indent=2) + "\n")
    if args.chart:
        try:
            import chart
            chart.draw([(row["operation"], row["ns"]) for row in table],
                       f"CPython {platform.python_version()}, median of {args.runs} run(s)", args.chart)
            print(f"chart: {args.chart}")
        except ImportError as error:
            print(f"no chart: {error} (tools/install-deps.sh --bench installs matplotlib)",
                  file=sys.stderr)
    # A missing module is a failed run, not a quiet row of n/a.
    return 0 if "tarvu" in modules else 1


if __name__ == "__main__":
    sys.exit(main())
