"""Normalise the stain, diagnosis and tile-label texts of a tile-annotation export.

    python examples/normalise_labels.py INPUT.csv --out OUTPUT.csv

INPUT.csv needs the columns slide_id, stain, diagnosis, tile_x, tile_y and
tile_label (other columns are ignored; a spreadsheet's byte-order mark is
fine). Every label text goes through a small alias table and then through
tarvu.Stain, tarvu.Diagnosis or tarvu.TileLabel. The program prints

- the texts the alias table rewrote,
- how many rows each member got, in the vocabulary's declaration order,
- the texts tarvu rejected, with the exception message and the rows,
- a check that labels parsed in worker processes come back unchanged,

and writes every row whose three texts all parsed to OUTPUT.csv, with each
label's member value (int(member)) and name (member.to_string()). Rows are
numbered from 1 at the first row after the header; OUTPUT.csv keeps that
number in its "row" column so that rows can be traced back.

Rejected texts are data, not a failure: the exit status is 0 all the same.
It is 1, with one line on stderr, when the input cannot be read (no such file,
not UTF-8, broken CSV, missing columns) or the output cannot be written.

Why an alias table: tarvu accepts exactly one spelling per member, up to ASCII
case, spaces and underscores (and "&" for stains). It does not guess, so the
British "Tumour", the American "artifact", the word order "smooth muscle", a
hyphen, or a byte-order mark or carriage return stuck to a value are refused.
Mapping such spellings is the caller's decision, made once, here, in the open.
"""

from __future__ import annotations

import argparse
import csv
import pickle
import sys
import textwrap
from collections import Counter
from concurrent.futures import ProcessPoolExecutor
from concurrent.futures.process import BrokenProcessPool
from dataclasses import dataclass, field
from pathlib import Path
from typing import Dict, List, Optional, Sequence, Tuple, Type, Union

try:
    import tarvu
except ImportError as exc:
    sys.exit(
        f"normalise_labels: error: cannot import tarvu ({exc}); build it with"
        " 'make build' and put the build directory on PYTHONPATH"
    )

Label = Union[tarvu.Stain, tarvu.Diagnosis, tarvu.TileLabel]
Vocabulary = Union[Type[tarvu.Stain], Type[tarvu.Diagnosis], Type[tarvu.TileLabel]]

# The label columns of the export, each with the vocabulary that parses it.
LABEL_COLUMNS: Tuple[Tuple[str, Vocabulary], ...] = (
    ("stain", tarvu.Stain),
    ("diagnosis", tarvu.Diagnosis),
    ("tile_label", tarvu.TileLabel),
)
PASSED_THROUGH = ("slide_id", "tile_x", "tile_y")
REQUIRED_COLUMNS = PASSED_THROUGH + tuple(column for column, _ in LABEL_COLUMNS)

# Spellings our exports use for a member that tarvu rightly refuses. Keys are
# looked up in lower case, with underscores and runs of whitespace turned into
# one space; values are texts tarvu accepts. Texts not listed pass unchanged.
ALIASES: Dict[str, Dict[str, str]] = {
    "stain": {},
    "diagnosis": {},
    "tile_label": {
        "tumour": "Tumor",
        "artifact": "Artefact",
        "smooth muscle": "MuscleSmooth",
        "striated muscle": "MuscleStriated",
    },
}

WORKERS = 2
CHUNK_ROWS = 500


class Failure(Exception):
    """A failure of the run itself, reported in one line on stderr."""


@dataclass
class Row:
    number: int  # 1 for the first row after the header
    texts: Dict[str, str]  # the required columns, as read


@dataclass
class ColumnReport:
    """What happened to the texts of one label column."""

    counts: Counter[int] = field(default_factory=Counter)  # by member value
    # (text as read, text after the alias table) -> rows, for texts it changed
    rewritten: Dict[Tuple[str, str], List[int]] = field(default_factory=dict)
    # (text as read, text after the alias table, message) -> rows
    rejected: Dict[Tuple[str, str, str], List[int]] = field(default_factory=dict)


def apply_aliases(column: str, text: str) -> str:
    """Repair the spellings listed above; everything else is left to tarvu."""
    # A BOM and a line end are remnants of copy and paste, a hyphen our
    # exporters' word separator; none of them is ever part of a label.
    repaired = text.lstrip("\ufeff").rstrip("\r\n").replace("-", " ")
    key = " ".join(repaired.replace("_", " ").split()).lower()
    return ALIASES[column].get(key, repaired)


def read_rows(path: Path) -> List[Row]:
    line = 0
    try:
        # utf-8-sig drops the byte-order mark that spreadsheets put in front of
        # the first header name.
        with open(path, encoding="utf-8-sig", newline="") as source:
            reader = csv.reader(source)
            header = [name.strip() for name in next(reader, [])]
            if not header:
                raise Failure(f"{path}: no header line")
            missing = [name for name in REQUIRED_COLUMNS if name not in header]
            if missing:
                raise Failure(f"{path}: missing column(s) {', '.join(missing)}")
            position = {name: header.index(name) for name in REQUIRED_COLUMNS}
            rows: List[Row] = []
            for record in reader:
                line = reader.line_num
                if not record:  # a blank line, as at the end of some exports
                    continue
                if len(record) != len(header):
                    raise Failure(
                        f"{path} line {line}: {len(record)} fields, the header has {len(header)}"
                    )
                texts = {name: record[index] for name, index in position.items()}
                rows.append(Row(len(rows) + 1, texts))
    except OSError as exc:
        raise Failure(f"cannot read {path}: {exc.strerror or exc}") from None
    except UnicodeDecodeError as exc:
        raise Failure(f"{path}: not UTF-8 text ({exc.reason})") from None
    except csv.Error as exc:
        raise Failure(f"{path} line {line + 1}: {exc}") from None
    return rows


def parse_rows(rows: Sequence[Row]) -> Tuple[List[List[Optional[Label]]], List[ColumnReport]]:
    """Parse every label text in this process; None marks a rejected text."""
    labels: List[List[Optional[Label]]] = [[] for _ in rows]
    reports = [ColumnReport() for _ in LABEL_COLUMNS]
    for (column, vocabulary), report in zip(LABEL_COLUMNS, reports):
        for row, row_labels in zip(rows, labels):
            text = row.texts[column]
            repaired = apply_aliases(column, text)
            if repaired != text:
                report.rewritten.setdefault((text, repaired), []).append(row.number)
            try:
                label = vocabulary(repaired)
            except RuntimeError as exc:
                key = (text, repaired, str(exc))
                report.rejected.setdefault(key, []).append(row.number)
                row_labels.append(None)
            else:
                # Members are unhashable, so they are counted by member value.
                report.counts[int(label)] += 1
                row_labels.append(label)
    return labels, reports


def parse_chunk(chunk: Sequence[Sequence[str]]) -> List[Tuple[Optional[int], ...]]:
    """Worker side: parse label texts and send back member values.

    Members cannot be pickled, so they cannot leave a process; their member
    values can, and from_int turns them back into members on the other side.
    """
    values: List[Tuple[Optional[int], ...]] = []
    for texts in chunk:
        row_values: List[Optional[int]] = []
        for (column, vocabulary), text in zip(LABEL_COLUMNS, texts):
            try:
                row_values.append(int(vocabulary(apply_aliases(column, text))))
            except RuntimeError:
                row_values.append(None)
        values.append(tuple(row_values))
    return values


def check_across_processes(rows: Sequence[Row], labels: Sequence[Sequence[Optional[Label]]]) -> str:
    """Parse again in worker processes and compare with the labels parsed here."""
    texts = [[row.texts[column] for column, _ in LABEL_COLUMNS] for row in rows]
    chunks = [texts[start : start + CHUNK_ROWS] for start in range(0, len(texts), CHUNK_ROWS)]
    try:
        with ProcessPoolExecutor(max_workers=WORKERS) as pool:
            values = [row for chunk in pool.map(parse_chunk, chunks) for row in chunk]
    except (BrokenProcessPool, OSError) as exc:
        raise Failure(f"worker processes failed: {exc}") from None
    if len(values) != len(rows):
        raise Failure(f"worker processes returned {len(values)} rows for {len(rows)}")

    compared = 0
    for row, row_values, row_labels in zip(rows, values, labels):
        for (column, vocabulary), value, label in zip(LABEL_COLUMNS, row_values, row_labels):
            if value is None or label is None:
                agree = value is None and label is None
            else:
                back = vocabulary.from_int(value)
                agree = back == label and back.to_string() == label.to_string()
            if not agree:
                raise Failure(
                    f"row {row.number} {column}: a worker process parsed {row.texts[column]!r}"
                    f" to {value!r}, this process to {label!r}"
                )
            compared += 1

    try:
        pickle.dumps(tarvu.TileLabel.Tumor)
        pickling = "members pickle"
    except TypeError:
        pickling = "members do not pickle"
    return (
        f"Worker check: {WORKERS} processes sent back int(member) for {compared} texts"
        f" ({pickling}); from_int agrees with this process on every one."
    )


def write_output(
    path: Path, rows: Sequence[Row], labels: Sequence[Sequence[Optional[Label]]]
) -> int:
    """Write the rows whose three texts all parsed; return how many."""
    header = ["row", *PASSED_THROUGH]
    for column, _ in LABEL_COLUMNS:
        header += [f"{column}_value", column]
    written = 0
    try:
        path.parent.mkdir(parents=True, exist_ok=True)
        with open(path, "w", encoding="utf-8", newline="") as target:
            writer = csv.writer(target, lineterminator="\n")
            writer.writerow(header)
            for row, row_labels in zip(rows, labels):
                cells = [str(row.number), *(row.texts[column] for column in PASSED_THROUGH)]
                for label in row_labels:
                    if label is None:
                        break
                    cells += [str(int(label)), label.to_string()]
                else:
                    writer.writerow(cells)
                    written += 1
    except OSError as exc:
        raise Failure(f"cannot write {path}: {exc.strerror or exc}") from None
    return written


def row_ranges(numbers: Sequence[int]) -> str:
    """1, 2, 3, 7 -> "1-3, 7"."""
    parts: List[str] = []
    start = previous = numbers[0]
    for number in [*numbers[1:], -1]:
        if number != previous + 1:
            parts.append(str(start) if start == previous else f"{start}-{previous}")
            start = number
        previous = number
    return ", ".join(parts)


def plural(count: int, noun: str) -> str:
    return f"{count} {noun}" if count == 1 else f"{count} {noun}s"


def print_report(
    path: Path, rows: Sequence[Row], reports: Sequence[ColumnReport], out: Path, written: int
) -> None:
    slides = len({row.texts["slide_id"] for row in rows})
    print(f"Read {plural(len(rows), 'row')} ({plural(slides, 'slide')}) from {path}.")

    print("\nTexts the alias table rewrote before parsing:")
    print(f"  {'column':<11} {'text as read':<18} {'parsed as':<18} {'rows':>5}")
    for (column, _), report in zip(LABEL_COLUMNS, reports):
        for (text, repaired), numbers in report.rewritten.items():
            print(f"  {column:<11} {text!r:<18} {repaired!r:<18} {len(numbers):>5}")

    print("\nRows per member, in declaration order:")
    for (column, vocabulary), report in zip(LABEL_COLUMNS, reports):
        print(f"  {column}")
        for member in vocabulary.list():
            value = int(member)
            print(f"    {value:>3}  {member.to_string():<22} {report.counts[value]:>5}")
        rejected = sum(len(numbers) for numbers in report.rejected.values())
        print(f"         {'(rejected)':<22} {rejected:>5}")
        print(f"         {'(total)':<22} {sum(report.counts.values()) + rejected:>5}")

    print("\nRejected texts (message of the exception, then the rows):")
    for (column, _), report in zip(LABEL_COLUMNS, reports):
        for (text, repaired, message), numbers in report.rejected.items():
            shown = f"{text!r}" if text == repaired else f"{text!r} (as {repaired!r})"
            print(f"  {column:<11} {shown:<18} {message}")
            listing = f"{plural(len(numbers), 'row')}: {row_ranges(numbers)}"
            print(
                textwrap.fill(
                    listing,
                    width=88,
                    initial_indent=" " * 14,
                    subsequent_indent=" " * 16,
                    break_on_hyphens=False,
                )
            )

    left_out = len(rows) - written
    print(
        f"\nWrote {written} of {plural(len(rows), 'row')} to {out};"
        f" {plural(left_out, 'row')} with a rejected text left out."
    )


def main(argv: Optional[Sequence[str]] = None) -> int:
    parser = argparse.ArgumentParser(
        description="Normalise the label texts of a tile-annotation export with tarvu."
    )
    parser.add_argument("input", type=Path, help="the tile-annotation CSV to read")
    parser.add_argument("--out", type=Path, required=True, help="the normalised CSV to write")
    args = parser.parse_args(argv)
    try:
        rows = read_rows(args.input)
        labels, reports = parse_rows(rows)
        across = check_across_processes(rows, labels)
        written = write_output(args.out, rows, labels)
    except Failure as exc:
        print(f"normalise_labels: error: {exc}", file=sys.stderr)
        return 1
    print_report(args.input, rows, reports, args.out, written)
    print(across)
    return 0


if __name__ == "__main__":
    sys.exit(main())
