#!/usr/bin/env bash
# Compressed merges against the formats' own decompressors, on the same
# page-cached files, every command writing into a pipe to bench/discard.
#
#   bench/compressed.sh [DATA_DIR]
#
# Environment: RUNS (default 7), CASES (default "bz2-2 bz2-16 xz-16 zst-16
# gz-2 many-gz many-zst"), BASELINE (another braidlogs binary to time
# beside this one, for before-and-after figures). Each case is timed twice:
# with free placement, and with everything on one core (taskset -c 0).
# Needs hyperfine, gzip, bzip2, xz, zstd, igzip (package isal) and
# /usr/bin/time. Data: made once by bench/make_logs.cc, about 1.5 GB.
set -euo pipefail
. "$(dirname "$0")/setup.sh" "${1:-}"
runs=${RUNS:-7}
cases=${CASES:-bz2-2 bz2-16 xz-16 zst-16 gz-2 many-gz many-zst}

# make DIR K BYTES SEED COMPRESS...: K logs of BYTES, each compressed by
# every command given (suffix from the command's first word).
make_set() {
  local dir=$data/$1; shift
  if [ ! -f "$dir/.made" ]; then
    rm -rf "$dir" && mkdir -p "$dir"
    "$build/make_logs" "$dir" "$1" "$2" "$3"
    touch "$dir/.made"
  fi
}
compressed() {  # compressed DIR EXT COMMAND: each log compressed once
  local dir=$data/$1 ext=$2; shift 2
  for f in "$dir"/log*.log; do [ -f "$f.$ext" ] || "$@" < "$f" > "$f.$ext"; done
}

time_case() {  # time_case NAME DIR GLOB TOOL [TOOL2]
  local name=$1 dir=$data/$2 glob=$3 tool=$4 tool2=${5:-}
  cd "$dir"
  # Into the page cache, before every timed run too (see run.sh).
  local warm="cat $glob > /dev/null"
  eval "$warm"
  # The merge of the compressed logs is the merge of their plain texts.
  if [ "$($B $glob | md5sum)" != "$($B log*.log | md5sum)" ]; then
    echo "$name: merging the compressed logs differs from merging the plain ones" >&2; exit 1
  fi
  for place in free one; do
    local pre=""
    [ $place = one ] && pre="taskset -c 0"
    local cmds=(-n braidlogs "$pre $B $glob | $D" -n tool "$pre $tool $glob | $D")
    [ -n "$tool2" ] && cmds+=(-n tool2 "$pre $tool2 $glob | $D")
    [ -n "${BASELINE:-}" ] && cmds+=(-n baseline "$pre $BASELINE $glob | $D")
    hyperfine -S bash --style=none --warmup 1 --runs "$runs" --prepare "$warm" \
      --export-json "$results/$name.$place.json" "${cmds[@]}" >/dev/null
  done
  rm -f "$results/$name.base.rss"
  /usr/bin/time -f %M -o "$results/$name.rss" $B $glob > /dev/null
  [ -n "${BASELINE:-}" ] && /usr/bin/time -f %M -o "$results/$name.base.rss" $BASELINE $glob > /dev/null
  echo "$name done" >&2
}

for c in $cases; do
  case $c in
    bz2-2)  make_set two 2 200000000 3; compressed two bz2 bzip2 -9
            time_case $c two "log*.log.bz2" bzcat ;;
    gz-2)   make_set two 2 200000000 3; compressed two gz gzip -6
            time_case $c two "log*.log.gz" "igzip -dc" zcat ;;
    bz2-16) make_set sixteen 16 25000000 5; compressed sixteen bz2 bzip2 -9
            time_case $c sixteen "log*.log.bz2" bzcat ;;
    xz-16)  make_set sixteen 16 25000000 5; compressed sixteen xz xz -6 -T2
            time_case $c sixteen "log*.log.xz" xzcat ;;
    zst-16) make_set sixteen 16 25000000 5; compressed sixteen zst zstd -q -3
            time_case $c sixteen "log*.log.zst" zstdcat ;;
    many-gz)  make_set thousand 1000 1000000 7; compressed thousand gz gzip -6
              time_case $c thousand "log*.log.gz" zcat ;;
    many-zst) make_set thousand 1000 1000000 7; compressed thousand zst zstd -q -3
              time_case $c thousand "log*.log.zst" zstdcat ;;
    *) echo "unknown case $c" >&2; exit 2 ;;
  esac
done

python3 - "$results" $cases <<'PY'
import json, os, sys
results, cases = sys.argv[1], sys.argv[2:]
def med(c, place):
    r = json.load(open(f"{results}/{c}.{place}.json"))["results"]
    return {x["command"]: x["median"] for x in r}
print("| case | placement | braidlogs | tool | braidlogs / tool | tool2 | braidlogs / tool2 | baseline | peak RSS (baseline) |")
print("| --- | --- | --- | --- | --- | --- | --- | --- | --- |")
for c in cases:
    rss = int(open(f"{results}/{c}.rss").read().split()[-1]) / 1024
    base = f"{results}/{c}.base.rss"
    brss = f" ({int(open(base).read().split()[-1]) / 1024:.0f} MiB)" if os.path.exists(base) else ""
    for place in ("free", "one"):
        m = med(c, place)
        b, t = m["braidlogs"], m["tool"]
        t2 = f"{m['tool2']:.3f} s | {b / m['tool2']:.2f}" if "tool2" in m else " | "
        bl = f"{m['baseline']:.3f} s" if "baseline" in m else ""
        print(f"| {c} | {place} | {b:.3f} s | {t:.3f} s | {b / t:.2f} | {t2} | {bl} | {rss:.0f} MiB{brss} |")
PY
