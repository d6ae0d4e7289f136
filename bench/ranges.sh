#!/usr/bin/env bash
# The merge in ranges against the merge line by line, in one build
# (bench/in_ranges.cc: braidlogs with the number of ranges given), on the
# same page-cached files, every command writing into a pipe to
# bench/discard.cc; medians of RUNS (7).
#
#   bench/ranges.sh [DATA_DIR]
#
# Plain cases (k2 k16 k256 k5000, as bench/run.sh makes them): line by line
# and in 2 ranges with free placement, line by line on one core, braidlogs
# as it chooses, and the copy floor on one core (64 KiB blocks). Farm cases
# (gz zst, as bench/farm.sh makes them): the same, and the two-core limit:
# the format's tool decoding every file on one core (one process for all
# of them) plus the line-by-line merge of the decompressed files on one
# core, over two cores. Both include `discard`'s reading, so the limit is
# a little high.
#
# Environment: RUNS, CASES (default "k2 k16 k256 k5000 gz zst"). Needs
# hyperfine, taskset, python3, igzip (isal) and zstd.
set -euo pipefail
. "$(dirname "$0")/setup.sh" "${1:-}"
runs=${RUNS:-7}
cases=${CASES:-k2 k16 k256 k5000 gz zst}
R=$build/in_ranges
farm=$data/farm-16-30-1000000

time_cmds() {  # time_cmds NAME WARM (-n name cmd)...
  local name=$1 warm=$2
  shift 2
  eval "$warm"
  hyperfine -S bash --style=none --warmup 1 --runs "$runs" --prepare "$warm" \
    --export-json "$data/results/ranges.$name.json" "$@" >/dev/null
  echo "$name done" >&2
}

for c in $cases; do
  case $c in
    k2|k16|k256|k5000)
      [ -f "$data/$c/.made" ] || { echo "make $c first: bench/run.sh (CASES=$c)" >&2; exit 2; }
      cd "$data/$c"
      if [ "$($R 1 log*.log 2>/dev/null | md5sum)" != "$($R 2 log*.log 2>/dev/null | md5sum)" ]; then
        echo "$c: the two merges differ" >&2; exit 1
      fi
      time_cmds "$c" "cat log*.log > /dev/null" \
        -n "line by line" "$R 1 log*.log 2>/dev/null | $D" \
        -n "2 ranges" "$R 2 log*.log 2>/dev/null | $D" \
        -n "braidlogs" "$B log*.log | $D" \
        -n "line by line, one core" "taskset -c 1 bash -c '$R 1 log*.log 2>/dev/null | $D'" \
        -n "floor, one core" "taskset -c 1 bash -c '$F 65536 log*.log | $D'"
      ;;
    gz|zst)
      [ -d "$farm" ] || { echo "make the farm first: bench/farm.sh" >&2; exit 2; }
      cd "$farm"
      files="web*/access.log.{30..1}.$c"
      plain="web*/access.log.{30..1}"
      tool="igzip -dc"
      [ "$c" = zst ] && tool="zstd -dcq"
      if [ "$(eval "$R 1 $files" 2>/dev/null | md5sum)" != "$(eval "$R 2 $files" 2>/dev/null | md5sum)" ]; then
        echo "$c: the two merges differ" >&2; exit 1
      fi
      time_cmds "$c" "cat web*/* > /dev/null" \
        -n "line by line" "$R 1 $files 2>/dev/null | $D" \
        -n "2 ranges" "$R 2 $files 2>/dev/null | $D" \
        -n "braidlogs" "$B $files | $D" \
        -n "tool, one core" "taskset -c 1 bash -c '$tool $files | $D'" \
        -n "plain line by line, one core" "taskset -c 1 bash -c '$R 1 $plain 2>/dev/null | $D'"
      ;;
    *) echo "unknown case $c" >&2; exit 2 ;;
  esac
done

python3 - "$data/results" $cases <<'PY'
import json, sys
results, cases = sys.argv[1], sys.argv[2:]
# (For the farms the one-core column is the merge of the decompressed files.)
print("| case | line by line | 2 ranges | braidlogs | line by line, one core | ranges / line by line | reference | ranges / reference |")
print("| --- | --- | --- | --- | --- | --- | --- | --- |")
for c in cases:
    r = {x["command"]: x["median"] for x in json.load(open(f"{results}/ranges.{c}.json"))["results"]}
    if c.startswith("k"):
        ref, what = r["floor, one core"], "floor, one core"
    else:
        ref, what = (r["tool, one core"] + r["plain line by line, one core"]) / 2, "two-core limit"
    print(f"| {c} | {r['line by line']:.3f} s | {r['2 ranges']:.3f} s | {r['braidlogs']:.3f} s | "
          f"{r.get('line by line, one core', r.get('plain line by line, one core')):.3f} s | "
          f"{r['2 ranges'] / r['line by line']:.2f} | "
          f"{ref:.3f} s ({what}) | {r['2 ranges'] / ref:.2f} |")
PY
