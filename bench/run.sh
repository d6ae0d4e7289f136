#!/usr/bin/env bash
# The benchmark: braidlogs against cat (the floor: bytes moved, no merging)
# and against GNU sort -m with CLF date keys (what a user would otherwise
# run), on the same page-cached files, every tool writing into a pipe whose
# reader throws the bytes away.
#
#   bench/run.sh [DATA_DIR]
#
# Environment: RUNS (timed runs per command, default 5), CASES (default
# "k2 k16 k256 k5000 gz"). Needs hyperfine, GNU sort, gzip and python3.
# Data is made once by bench/make_logs.cc into DATA_DIR (default
# bench/data, about 2 GB) and reused.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
data=${1:-$root/bench/data}
runs=${RUNS:-5}
cases=${CASES:-k2 k16 k256 k5000 gz}
build=$root/build-bench
results=$data/results
mkdir -p "$data" "$results"

cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=Release -DBRAIDLOGS_BENCH=ON \
  -DBRAIDLOGS_TESTS=OFF >/dev/null
cmake --build "$build" -j2 >/dev/null
B=$build/braidlogs
D=$build/discard
sortm="LC_ALL=C sort -m -s -t ' ' -k4.9,4.12n -k4.5,4.7M -k4.2,4.3n -k4.14,4.15n -k4.17,4.18n -k4.20,4.21n"

# make NAME K BYTES_PER_FILE: the case's logs, made once.
make_case() {
  local dir=$data/$1
  if [ ! -f "$dir/.made" ]; then
    rm -rf "$dir" && mkdir -p "$dir"
    "$build/make_logs" "$dir" "$2" "$3" 1
    touch "$dir/.made"
  fi
}

# time_case NAME FILES...: checks the outputs agree, then times every tool.
time_case() {
  local name=$1 files=$2 ours=$3 floor=$4 other=$5 check_other=$6
  cd "$data/$name"
  cat $files >/dev/null  # into the page cache
  if [ "$(eval "$ours" | md5sum)" != "$(eval "$check_other" | md5sum)" ]; then
    echo "$name: braidlogs and the other merge differ" >&2
    exit 1
  fi
  hyperfine --shell=bash --style=none --warmup 1 --runs "$runs" \
    --export-json "$results/$name.json" \
    -n braidlogs "$ours | $D" -n floor "$floor | $D" -n other "$other | $D" >/dev/null
  /usr/bin/time -f %M -o "$results/$name.rss" bash -c "$ours" | "$D"
  echo "$name done"
}

for c in $cases; do
  case $c in
    k2)    make_case k2 2 500000000
           time_case k2 "log*.log" "$B log*.log" "cat log*.log" "$sortm log*.log" "$sortm log*.log" ;;
    k16)   make_case k16 16 32000000
           time_case k16 "log*.log" "$B log*.log" "cat log*.log" "$sortm log*.log" "$sortm log*.log" ;;
    k256)  make_case k256 256 2000000
           time_case k256 "log*.log" "$B log*.log" "cat log*.log" "$sortm log*.log" "$sortm log*.log" ;;
    k5000) make_case k5000 5000 4000
           time_case k5000 "log*.log" "$B log*.log" "cat log*.log" "$sortm log*.log" "$sortm log*.log" ;;
    gz)    if [ ! -f "$data/gz/.made" ]; then
             rm -rf "$data/gz" && mkdir -p "$data/gz"
             "$build/make_logs" "$data/gz" 2 200000000 3
             gzip -6 "$data/gz/log0000.log" & gzip -6 "$data/gz/log0001.log"; wait
             touch "$data/gz/.made"
           fi
           time_case gz "log*.log.gz" "$B log0000.log.gz log0001.log.gz" "zcat log*.log.gz" \
             "$B <(zcat log0000.log.gz) <(zcat log0001.log.gz)" \
             "$sortm <(zcat log0000.log.gz) <(zcat log0001.log.gz)" ;;
    *) echo "unknown case $c" >&2; exit 2 ;;
  esac
done

python3 - "$results" $cases <<'PY'
import json, sys
results, cases = sys.argv[1], sys.argv[2:]
print("| case | braidlogs | floor | braidlogs / floor | other | other / braidlogs | braidlogs peak RSS |")
print("| --- | --- | --- | --- | --- | --- | --- |")
for c in cases:
    r = {x["command"]: x for x in json.load(open(f"{results}/{c}.json"))["results"]}
    ours, floor, other = (r[n]["median"] for n in ("braidlogs", "floor", "other"))
    rss = int(open(f"{results}/{c}.rss").read().split()[-1]) / 1024
    print(f"| {c} | {ours:.3f} s | {floor:.3f} s | {ours / floor:.2f} | {other:.3f} s | "
          f"{other / ours:.2f} | {rss:.1f} MiB |")
PY
