#!/usr/bin/env bash
# The plain-text benchmark: braidlogs against the copy floor (the same
# bytes read in the same blocks and written through the same widened pipe,
# with no merging: bench/copy_floor.cc), against cat, and against GNU
# sort -m with CLF date keys (what a user would otherwise run), on the same
# page-cached files, every command writing into a pipe to bench/discard.cc.
# Each case is timed twice: on one core (taskset -c 1 for the writer and the
# reader alike, so that no placement luck enters) and with free placement.
#
#   bench/run.sh [DATA_DIR]
#
# Environment: RUNS (timed runs per command, default 7), CASES (default
# "k2 k16 k256 k5000"), BASELINE (another braidlogs binary to time beside
# this one). Needs hyperfine, GNU sort, taskset, python3. Data is made once
# by bench/make_logs.cc into DATA_DIR (default bench/data, about 2 GB).
set -euo pipefail
. "$(dirname "$0")/setup.sh" "${1:-}"
runs=${RUNS:-7}
cases=${CASES:-k2 k16 k256 k5000}
sortm="LC_ALL=C sort -m -s -t ' ' -k4.9,4.12n -k4.5,4.7M -k4.2,4.3n -k4.14,4.15n -k4.17,4.18n -k4.20,4.21n"

make_case() {  # make_case NAME K BYTES_PER_FILE: the case's logs, made once
  local dir=$data/$1
  if [ ! -f "$dir/.made" ]; then
    rm -rf "$dir" && mkdir -p "$dir"
    "$build/make_logs" "$dir" "$2" "$3" 1
    touch "$dir/.made"
  fi
}

time_case() {  # time_case NAME
  local name=$1
  cd "$data/$name"
  # Into the page cache, before every timed run: on these virtual machines
  # the cache shrinks by itself within minutes, and a run that reads from
  # the disk is not a merge's time.
  local warm="cat log*.log > /dev/null"
  eval "$warm"
  if [ "$($B log*.log | md5sum)" != "$(eval "$sortm log*.log" | md5sum)" ]; then
    echo "$name: braidlogs and sort -m differ" >&2; exit 1
  fi
  # The floor's block size: the fastest of a few, on one core.
  hyperfine -S bash --style=none --runs 3 --prepare "$warm" --export-json "$results/$name.floor.json" \
    -L block 16384,65536,262144,1048576 "taskset -c 1 bash -c \"$F {block} log*.log | $D\"" >/dev/null
  local block
  block=$(python3 -c "import json,sys; r=json.load(open(sys.argv[1]))['results'];
print(min(r, key=lambda x: x['median'])['parameters']['block'])" "$results/$name.floor.json")
  for place in one free; do
    local pre="" post=""
    if [ $place = one ]; then pre='taskset -c 1 bash -c "'; post='"'; fi
    local cmds=(-n braidlogs "$pre$B log*.log | $D$post" -n floor "$pre$F $block log*.log | $D$post"
                -n cat "$pre""cat log*.log | $D$post" -n "sort -m" "$pre$sortm log*.log | $D$post")
    [ -n "${BASELINE:-}" ] && cmds+=(-n baseline "$pre$BASELINE log*.log | $D$post")
    hyperfine -S bash --style=none --warmup 1 --runs "$runs" --prepare "$warm" \
      --export-json "$results/$name.$place.json" "${cmds[@]}" >/dev/null
  done
  echo "$block" > "$results/$name.block"
  /usr/bin/time -f %M -o "$results/$name.rss" "$B" log*.log > /dev/null
  echo "$name done" >&2
}

for c in $cases; do
  case $c in
    k2)    make_case k2 2 500000000 ;;
    k16)   make_case k16 16 32000000 ;;
    k256)  make_case k256 256 2000000 ;;
    k5000) make_case k5000 5000 4000 ;;
    *) echo "unknown case $c" >&2; exit 2 ;;
  esac
  time_case "$c"
done

python3 - "$results" $cases <<'PY'
import json, sys
results, cases = sys.argv[1], sys.argv[2:]
print("| case | placement | braidlogs | floor (block) | braidlogs / floor | cat | sort -m | sort -m / braidlogs | baseline | peak RSS |")
print("| --- | --- | --- | --- | --- | --- | --- | --- | --- | --- |")
for c in cases:
    block = int(open(f"{results}/{c}.block").read()) // 1024
    rss = int(open(f"{results}/{c}.rss").read().split()[-1]) / 1024
    for place in ("one", "free"):
        m = {x["command"]: x["median"] for x in json.load(open(f"{results}/{c}.{place}.json"))["results"]}
        b, f = m["braidlogs"], m["floor"]
        base = f"{m['baseline']:.3f} s" if "baseline" in m else ""
        print(f"| {c} | {place} | {b:.3f} s | {f:.3f} s ({block} KiB) | {b / f:.2f} | {m['cat']:.3f} s | "
              f"{m['sort -m']:.3f} s | {m['sort -m'] / b:.1f} | {base} | {rss:.1f} MiB |")
PY
