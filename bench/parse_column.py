"""What parsing a column of label texts costs, by the way the loop is written.

A column of --texts texts (1,000,000), --rejected of which (0.15) name no
member, is parsed by each program below. Every text is a str object of its
own, as a CSV reader makes them, so no program finds its hash already
computed; the column is copied afresh before every run for the same reason.

  bare loop    `for text in texts: len(text)`: the Python loop alone, the unit
               of the table;
  memo         a dict whose __missing__ parses a new text once and stores the
               member, or None for a text that names no member, read through
               `list(map(memo.__getitem__, texts))` (the recipe's first step);
  memo+report  the recipe's whole parse_column: the memo, then the rows of
               each rejected text;
  plain loop   `TileLabel(text)` per text in a for loop, with try/except;
  plain+report the same loop, also noting the row of each rejected text;
  normalising  a pure-Python dict from normalised spelling to member, and the
  dict         parse rule (spaces and underscores out, ASCII case folded)
               written in Python per text, without the module.

Two columns: "repeating" draws from a few dozen spellings, as exports do;
"distinct" makes every text a spelling of its own (random case, spaces and
underscores), where a memo only adds a dict entry per text. Each figure is the
best of --repeats runs of the process's CPU time, which other jobs on a shared
machine disturb less than the wall clock does, the programs interleaved so that
they meet the same machine; the multiple is over the bare loop of the same
column.

    PYTHONPATH=build python3 bench/parse_column.py [--texts N] [--repeats R]
"""

import argparse
import os
import platform
import random
import sys
import time
from collections import defaultdict
from itertools import compress

from tarvu import TileLabel

# Spellings as exports hold them: names in several cases and with spaces, and
# the texts an alias table would have to map (British spelling, codes, blanks).
ACCEPTED = ("Tumor", "tumor", "TUMOR", "Necrosis", "necrosis", "connective tissue", "Connective Tissue",
            "fatty tissue", "fatty_tissue", "Empty", "empty", "Blood Vessel", "blood_vessel", "Blood",
            "Lymphatic", "Mucosa", "muscle smooth", "Bone", "bone marrow", "Artefact", "Other",
            "Unlabeled", "tumor invasive", "Epithelium")
REJECTED = ("Tumour", "tumour", "TUM", "", "Tumor: Positive", "Artifact", "bone-marrow", "smooth muscle",
            "n/a", "Stroma")


def respell(name, rng):
    """The name in random case, with spaces and underscores strewn in: the same member."""
    letters = [c.upper() if rng.random() < 0.5 else c.lower() for c in name]
    return "".join(c + rng.choice(("", "", "", " ", "_")) for c in letters)


def make_column(texts, rejected, distinct, seed=1):
    """`texts` label texts, a share `rejected` of which name no member."""
    rng = random.Random(seed)
    if not distinct:
        return [rng.choice(REJECTED if rng.random() < rejected else ACCEPTED) for _ in range(texts)]
    names = [label.to_string() for label in TileLabel.list()]
    seen = set()
    column = []
    while len(column) < texts:
        text = respell(rng.choice(REJECTED[:3]) if rng.random() < rejected else rng.choice(names), rng)
        if text not in seen:
            seen.add(text)
            column.append(text)
    return column


def fresh(column):
    """A copy whose strs are new objects with no hash computed yet."""
    return [text.encode().decode() for text in column]


class ParsedTexts(dict):
    """Text -> member, or None where the text names no member; each text parsed once."""

    def __init__(self, cls):
        super().__init__()
        self.cls = cls

    def __missing__(self, text):
        try:
            label = self.cls(text)
        except RuntimeError:
            label = None
        self[text] = label
        return label


def parse_column(texts, cls):
    """Members (None where the text names no member), and the rows of each rejected text."""
    parsed = ParsedTexts(cls)
    labels = list(map(parsed.__getitem__, texts))
    rejected_texts = {text for text, label in parsed.items() if label is None}
    rejected = defaultdict(list)
    for row, text in compress(enumerate(texts, start=1), map(rejected_texts.__contains__, texts)):
        rejected[text].append(row)
    return labels, rejected


def bare_loop(texts):
    for text in texts:
        len(text)


def memo(texts):
    return list(map(ParsedTexts(TileLabel).__getitem__, texts))


def memo_report(texts):
    return parse_column(texts, TileLabel)[0]


def plain_loop(texts):
    labels = []
    for text in texts:
        try:
            labels.append(TileLabel(text))
        except RuntimeError:
            labels.append(None)
    return labels


NORMALISED = {label.to_string().lower(): getattr(TileLabel, label.to_string()) for label in TileLabel.list()}


def plain_report(texts):
    labels = []
    rejected = defaultdict(list)
    for row, text in enumerate(texts, start=1):
        try:
            labels.append(TileLabel(text))
        except RuntimeError:
            labels.append(None)
            rejected[text].append(row)
    return labels


def normalising_dict(texts):
    labels = []
    for text in texts:
        key = text.replace(" ", "").replace("_", "").lower() if text.isascii() else None
        labels.append(NORMALISED.get(key))
    return labels


PROGRAMS = {"bare loop": bare_loop, "memo": memo, "memo+report": memo_report,
            "plain loop": plain_loop, "plain+report": plain_report, "normalising dict": normalising_dict}


def values(labels):
    return [None if label is None else int(label) for label in labels]


def measure(column, repeats):
    """Best seconds per program over `repeats` interleaved rounds."""
    expected = values(plain_loop(column))
    for name, program in PROGRAMS.items():
        if program is not bare_loop:
            assert values(program(fresh(column))) == expected, name
    best = dict.fromkeys(PROGRAMS, float("inf"))
    for _ in range(repeats):
        for name, program in PROGRAMS.items():
            texts = fresh(column)
            began = time.process_time()
            program(texts)
            best[name] = min(best[name], time.process_time() - began)
    return best


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--texts", type=int, default=1_000_000)
    parser.add_argument("--rejected", type=float, default=0.15)
    parser.add_argument("--repeats", type=int, default=7)
    options = parser.parse_args()
    print("{} {} ({}), {:,} texts, {:.0%} naming no member, best of {} (CPU time); load average {:.2f}".format(
        platform.python_implementation(), platform.python_version(), sys.executable, options.texts,
        options.rejected, options.repeats, os.getloadavg()[0]))
    for shape in ("repeating", "distinct"):
        column = make_column(options.texts, options.rejected, shape == "distinct")
        best = measure(column, options.repeats)
        print("\n{} column ({:,} distinct texts)".format(shape, len(set(column))))
        for name, seconds in best.items():
            print("  {:<18}{:>8.3f} s{:>8.2f}".format(name, seconds, seconds / best["bare loop"]))
    print("\nload average at the end {:.2f}".format(os.getloadavg()[0]))


if __name__ == "__main__":
    main()
