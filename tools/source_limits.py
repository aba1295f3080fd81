"""The two limits on src/ that lint checks beside format and tidy.

- Bare reference-count calls: outside the owned-reference handle and the
  reference pool, at most BARE_COUNT_MAX, each with a comment saying why on its
  line or on one of the COMMENT_REACH lines above it. Everywhere else a count
  changes through the handle, whose release path is the one place that chooses
  between releasing now and deferring.
- Conditional compilation: at most CONDITIONAL_MAX #if blocks (#if, #ifdef,
  #ifndef) in at most CONDITIONAL_FILES_MAX files; a difference that both builds
  can compile is an `if constexpr`.

Comments and string literals are blanked before counting, so a call or a
directive that is only mentioned does not count. Run from the repository root:
`python3 tools/source_limits.py`; prints what breaks a limit, and every line
it counted, then exits 1.
"""

import re
import subprocess
import sys

BARE_COUNT_MAX = 3
COMMENT_REACH = 1
CONDITIONAL_MAX = 15
CONDITIONAL_FILES_MAX = 5
# The handle and the pool make every other count change.
COUNT_OWNERS = {"src/boundary/owned.h", "src/boundary/reference_pool.h", "src/boundary/reference_pool.cpp"}

BARE_COUNT = re.compile(r"\b(?:Py_X?INCREF|Py_X?DECREF|Py_CLEAR|Py_X?NewRef|Py_X?SETREF|Py_IncRef|Py_DecRef)\s*\(")
CONDITIONAL = re.compile(r"^[ \t]*#[ \t]*(?:if|ifdef|ifndef)\b", re.MULTILINE)
# A comment, or a literal: raw string, string, character.
LEXEME = re.compile(r'//[^\n]*|/\*.*?\*/|R"([^(\s]*)\(.*?\)\1"|"(?:\\.|[^"\\\n])*"|\'(?:\\.|[^\'\\\n])*\'', re.DOTALL)


def scan(text):
    """`text` with every comment and literal turned into spaces (lines kept),
    and the numbers of the lines that carry a comment."""
    commented = set()

    def spaces(match):
        if match.group(0)[0] == "/":
            first = line_of(text, match.start())
            commented.update(range(first, first + match.group(0).count("\n") + 1))
        return re.sub(r"[^\n]", " ", match.group(0))

    return LEXEME.sub(spaces, text), commented


def line_of(text, offset):
    return text.count("\n", 0, offset) + 1


def bare_counts(text):
    """(line, whether a comment says why) for each bare count call in one file."""
    code, commented = scan(text)
    found = []
    for match in BARE_COUNT.finditer(code):
        number = line_of(code, match.start())
        found.append((number, any(n in commented for n in range(number - COMMENT_REACH, number + 1))))
    return found


def conditionals(text):
    """Line numbers of the #if blocks in one file."""
    code, _ = scan(text)
    return [line_of(code, match.start()) for match in CONDITIONAL.finditer(code)]


def main():
    files = subprocess.run(["git", "ls-files", "src/*.h", "src/*.cpp"], capture_output=True, text=True,
                           check=True).stdout.split()
    texts = {path: open(path, encoding="utf-8").read() for path in files}
    status = 0

    def show(path, number):
        return f"  {path}:{number}: {texts[path].splitlines()[number - 1].strip()}"

    counts = [(path, number, commented) for path in files if path not in COUNT_OWNERS
              for number, commented in bare_counts(texts[path])]
    if len(counts) > BARE_COUNT_MAX:
        print(f"lint: {len(counts)} bare reference-count calls outside the handle and the pool "
              f"(limit {BARE_COUNT_MAX}); use the owned handle (owned.h):")
        print("\n".join(show(path, number) for path, number, _ in counts))
        status = 1
    uncommented = [(path, number) for path, number, commented in counts if not commented]
    if uncommented:
        print(f"lint: bare reference-count calls without a comment saying why (on the line or the "
              f"{COMMENT_REACH} above):")
        print("\n".join(show(path, number) for path, number in uncommented))
        status = 1

    blocks = [(path, number) for path in files for number in conditionals(texts[path])]
    block_files = sorted({path for path, _ in blocks})
    if len(blocks) > CONDITIONAL_MAX or len(block_files) > CONDITIONAL_FILES_MAX:
        print(f"lint: {len(blocks)} #if blocks in {len(block_files)} files under src/ (limit {CONDITIONAL_MAX} "
              f"in {CONDITIONAL_FILES_MAX}); prefer if constexpr where both builds compile the code:")
        print("\n".join(show(path, number) for path, number in blocks))
        status = 1
    return status


if __name__ == "__main__":
    sys.exit(main())
