#!/usr/bin/env bash
# Checks that what `make dist` builds is the same bytes wherever it is built:
# clones the last commit twice, into directories of different names and
# depths, builds in each with its own environment (.venv in the clone, as
# `make dist` makes it), and compares every file.
#
#   tools/release/reproducible.sh [--full]
#
# By default each clone builds the sdist and one wheel per toolchain
# (tools/release/dist.sh --sample: cp311 manylinux and musllinux x86_64, and
# win_amd64), both at once; --full runs `make dist` in each, every wheel,
# one after the other. The Windows module's PE timestamp is read
# from its header and shown, since a linker that dates its output would make
# it differ from one build to the next. The clones and logs lie in
# build/reproducible/ (or $TARVU_REPRODUCIBLE_WORK), at the same paths on every
# run, so zig's cache of its runtimes, which is keyed by path, serves later runs.
set -euo pipefail

source "$(dirname "${BASH_SOURCE[0]}")/../lib.sh"
WORK=${TARVU_REPRODUCIBLE_WORK:-$REPO/build/reproducible}
FULL=0
case ${1:-} in
    --full) FULL=1 ;;
    "") ;;
    *) echo "usage: $0 [--full]" >&2; exit 2 ;;
esac

commit=$(git -C "$REPO" rev-parse HEAD)
SIDES=("$WORK/one/tarvu" "$WORK/second/clone/tarvu")
mkdir -p "$WORK"

# Clones the commit into $1 and builds there, logging to $2.
build_side() {
    local clone=$1 log=$2 start=$SECONDS
    rm -rf "$clone"
    : >"$log"
    step "$log" clone git clone -q --no-checkout "$REPO" "$clone" &&
        step "$log" checkout git -C "$clone" checkout -q --detach "$commit" || return 1
    if ((FULL)); then
        step "$log" "make dist" make -C "$clone" dist || return 1
    else
        # What `make dist` runs, with --sample.
        step "$log" dependencies env -u VENV PYTHON="${PYTHON:-python3}" "$clone/tools/install-deps.sh" --release &&
            step "$log" dist env -C "$clone" PYTHON="$clone/.venv/bin/python" PATH="$clone/.venv/bin:$PATH" \
                tools/release/dist.sh --sample || return 1
    fi
    echo "reproducible: $clone built in $((SECONDS - start))s"
}

# The sample's sides build at once, each with its own log: half the time of
# one after the other. Whole builds take turns: their 3.14 and 3.15 wheels
# use the one root of Debian's development suite, and two copies of pip's
# configuration into it at once can meet (run-in-root.sh).
pids=()
failed=0
for i in "${!SIDES[@]}"; do
    if ((FULL)); then
        build_side "${SIDES[$i]}" "$WORK/side-$((i + 1)).log" || failed=1
    else
        build_side "${SIDES[$i]}" "$WORK/side-$((i + 1)).log" &
        pids+=($!)
    fi
done
for pid in "${pids[@]}"; do wait "$pid" || failed=1; done
((!failed)) || exit 1

one=${SIDES[0]}/dist
two=${SIDES[1]}/dist
if ! diff <(cd "$one" && ls) <(cd "$two" && ls) >/dev/null; then
    echo "reproducible: the two builds made different files:" >&2
    diff <(cd "$one" && ls) <(cd "$two" && ls) >&2
    exit 1
fi
differ=()
count=0
for file in "$one"/*; do
    count=$((count + 1))
    cmp -s "$file" "$two/$(basename "$file")" || differ+=("$(basename "$file")")
done
# The Windows modules' link dates, as their headers give them.
"${PYTHON:-python3}" - "$one"/*win_amd64.whl <<'EOF'
import struct, sys, zipfile
for wheel in sys.argv[1:]:
    with zipfile.ZipFile(wheel) as archive:
        (name,) = [n for n in archive.namelist() if n.endswith(".pyd")]
        image = archive.read(name)
    (pe,) = struct.unpack_from("<I", image, 0x3C)
    (stamp,) = struct.unpack_from("<I", image, pe + 8)
    print(f"reproducible: {name}: PE TimeDateStamp {stamp:#010x}")
EOF
if ((${#differ[@]})); then
    echo "reproducible: $count files compared, ${#differ[@]} failed (differ): ${differ[*]}" >&2
    exit 1
fi
echo "reproducible: $(cd "$one" && ls | tr '\n' ' ')"
echo "reproducible: $count files compared, $count identical, 0 failed"
