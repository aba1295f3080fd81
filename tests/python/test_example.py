"""The example program, run as a user runs it, on the data it ships with."""

import csv
import os
import re
import subprocess
import sys
from pathlib import Path

import pytest

import tarvu
from conftest import UNDER_WINE

ROOT = Path(__file__).resolve().parents[2]
EXAMPLE = ROOT / "examples" / "normalise_labels.py"
DATA = ROOT / "examples" / "data" / "tile_annotations.csv"
GENERATOR = ROOT / "examples" / "data" / "make_tile_annotations.py"
VOCABULARIES = {"stain": tarvu.Stain, "diagnosis": tarvu.Diagnosis, "tile_label": tarvu.TileLabel}


def run(*args, **env):
    """Run a Python script in a fresh interpreter that imports this tarvu."""
    environment = dict(os.environ, **env)
    paths = [str(Path(tarvu.__file__).parent), environment.get("PYTHONPATH", "")]
    environment["PYTHONPATH"] = os.pathsep.join(paths)
    return subprocess.run(
        [sys.executable, *map(str, args)],
        capture_output=True,
        text=True,
        env=environment,
        cwd=ROOT,
        timeout=60,
    )


@pytest.fixture(scope="module")
def example(tmp_path_factory):
    if UNDER_WINE:
        pytest.skip("the example's worker processes (ProcessPoolExecutor) hang under Wine, whatever the module")
    out = tmp_path_factory.mktemp("example") / "normalised.csv"
    result = run(EXAMPLE, DATA, "--out", out)
    assert (result.returncode, result.stderr) == (0, "")
    return result.stdout, out


@pytest.fixture(scope="module")
def input_rows():
    with open(DATA, encoding="utf-8-sig", newline="") as source:
        return list(csv.DictReader(source))


def section(report, title):
    """The lines of the report section whose heading starts with title."""
    block = next(part for part in report.split("\n\n") if part.startswith(title))
    return block.splitlines()[1:]


def expand(listing):
    """ "3 rows: 5-6, 9" -> {5, 6, 9}."""
    numbers = set()
    for part in listing.split(":", 1)[1].split(","):
        first, _, last = part.strip().partition("-")
        numbers.update(range(int(first), int(last or first) + 1))
    return numbers


def split_entry(line):
    """'  column  'text'  rest' -> (column, repr of the text, rest)."""
    column, rest = line.split(maxsplit=1)
    text = re.match(r"('(?:[^'\\]|\\.)*'|\"(?:[^\"\\]|\\.)*\")", rest).group(1)
    return column, text, rest[len(text) :].strip()


def rejected(report):
    """{(column, repr of the text): (message, row numbers)} from the report."""
    entries = {}
    lines = section(report, "Rejected texts")
    for index, line in enumerate(lines):
        if not line.startswith("  " * 7):
            column, text, message = split_entry(line)
            listing = []
            for more in lines[index + 1 :]:
                if not more.startswith("  " * 7):
                    break
                listing.append(more.strip())
            entries[(column, text)] = (message, expand(" ".join(listing)))
    return entries


def test_member_counts_add_up_to_the_rows_read(example, input_rows):
    report, _ = example
    tables = {}
    for line in section(report, "Rows per member"):
        if re.fullmatch(r"  \w+", line):
            table = tables[line.strip()] = {}
        else:
            *_, name, count = line.split()
            table[name] = int(count)
    assert list(tables) == list(VOCABULARIES)
    for column, vocabulary in VOCABULARIES.items():
        table = tables[column]
        total, rejected_count = table.pop("(total)"), table.pop("(rejected)")
        assert list(table) == [member.to_string() for member in vocabulary.list()]
        assert sum(table.values()) + rejected_count == total == len(input_rows)


@pytest.mark.parametrize(
    "column, text",
    [
        ("stain", ""),
        ("diagnosis", "n/a"),
        ("diagnosis", "DLBCL, NOS"),
        ("tile_label", ""),
        ("tile_label", "TUM"),
        ("tile_label", "Tumor: Positive"),
    ],
)
def test_rejected_text_is_listed_with_its_message_and_rows(example, input_rows, column, text):
    with pytest.raises(RuntimeError) as raised:
        VOCABULARIES[column](text)
    message, numbers = rejected(example[0])[(column, repr(text))]
    assert message == str(raised.value) == "Matching variant not found"
    assert numbers == {n for n, row in enumerate(input_rows, 1) if row[column] == text}


@pytest.mark.parametrize(
    "column, text",
    [
        ("stain", "CD-20"),
        ("tile_label", "Tumour"),
        ("tile_label", "artifact"),
        ("tile_label", "smooth muscle"),
        ("tile_label", "bone-marrow"),
        ("tile_label", "non-existing"),
        ("tile_label", "\ufeffTumor"),
        ("tile_label", "Necrosis\r"),
    ],
)
def test_alias_table_repairs_what_tarvu_refuses(example, input_rows, column, text):
    report, _ = example
    assert any(row[column] == text for row in input_rows)
    with pytest.raises(RuntimeError):
        VOCABULARIES[column](text)
    rewritten = [split_entry(line)[:2] for line in section(report, "Texts the alias table")[1:]]
    assert (column, repr(text)) in rewritten
    assert (column, repr(text)) not in rejected(report)


def test_output_holds_every_accepted_row_as_values_that_round_trip(example, input_rows):
    report, out = example
    with open(out, encoding="utf-8", newline="") as source:
        written = list(csv.DictReader(source))
    left_out = set().union(*(numbers for _, numbers in rejected(report).values()))
    numbers = [int(row["row"]) for row in written]
    assert sorted(left_out.union(numbers)) == list(range(1, len(input_rows) + 1))
    assert left_out.isdisjoint(numbers)
    assert f"Wrote {len(written)} of {len(input_rows)} rows to {out};" in report
    for number, row in zip(numbers, written):
        source_row = input_rows[number - 1]
        assert [row[c] for c in ("slide_id", "tile_x", "tile_y")] == [
            source_row[c] for c in ("slide_id", "tile_x", "tile_y")
        ]
        for column, vocabulary in VOCABULARIES.items():
            member = vocabulary.from_int(int(row[f"{column}_value"]))
            assert member.to_string() == row[column]
            assert vocabulary(row[column]) == member


def test_worker_processes_agree_and_report_is_reproducible(example, input_rows, tmp_path):
    report, out = example
    texts = 3 * len(input_rows)
    assert re.search(
        rf"^Worker check: 2 processes sent back int\(member\) for {texts} texts"
        r" \(members do not pickle\); .*agrees",
        report,
        re.MULTILINE,
    )
    again = run(EXAMPLE, DATA, "--out", tmp_path / "again.csv", PYTHONHASHSEED="0")
    assert again.returncode == 0
    assert again.stdout.replace(str(tmp_path / "again.csv"), str(out)) == report
    assert (tmp_path / "again.csv").read_bytes() == out.read_bytes()


@pytest.mark.parametrize(
    "content, expected",
    [
        (None, "No such file or directory"),
        (b"slide_id,stain,diagnosis,tile_x,tile_y\nS1,HE,FL,0,0\n", "missing column(s) tile_label"),
        (
            b"slide_id,stain,diagnosis,tile_x,tile_y,tile_label\nS1,HE,FL,0,0,Tum\xf6r\n",
            "not UTF-8 text",
        ),
        (
            b"slide_id,stain,diagnosis,tile_x,tile_y,tile_label\nS1,HE,FL,0,0\n",
            "line 2: 5 fields, the header has 6",
        ),
    ],
    ids=["missing-file", "missing-column", "not-utf8", "short-row"],
)
def test_unusable_input_fails_with_one_clear_line(tmp_path, content, expected):
    source, out = tmp_path / "export.csv", tmp_path / "out.csv"
    if content is not None:
        source.write_bytes(content)
    result = run(EXAMPLE, source, "--out", out)
    assert result.returncode == 1
    assert result.stdout == ""
    assert result.stderr.startswith("normalise_labels: error: ")
    assert expected in result.stderr and str(source) in result.stderr
    assert result.stderr.count("\n") == 1 and "Traceback" not in result.stderr
    assert not out.exists()


def test_generator_reproduces_the_shipped_data(tmp_path):
    result = run(GENERATOR, "--out", tmp_path / "regenerated.csv")
    assert result.returncode == 0, result.stderr
    assert (tmp_path / "regenerated.csv").read_bytes() == DATA.read_bytes()


@pytest.mark.parametrize("page, marker, whole", [
    ("docs/usage.md", "`make example` prints:", True),
    ("README.md", "It begins\nand ends", False),
])
def test_the_docs_show_what_the_example_prints(example, page, marker, whole):
    # The user's guide shows the whole output; the README parts of it, cut
    # where a line reads [...].
    stdout, out = example
    text = (ROOT / page).read_text(encoding="utf-8")
    shown = re.search(re.escape(marker) + r".*?```text\n(.*?)```", text, re.S).group(1)
    printed = stdout.replace(str(DATA), "examples/data/tile_annotations.csv").replace(str(out), "build/normalised.csv")
    parts = shown.split("[...]\n")
    assert all(part in printed for part in parts)
    assert printed.startswith(parts[0]) and printed.endswith(parts[-1])
    assert (shown == printed) == whole
