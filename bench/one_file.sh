#!/usr/bin/env bash
# One big archive on every core: a 200 MB log compressed by each format's
# tool (bzip2 -9, xz -6 -T2, pzstd -p2, bgzip, gzip -6), merged with a
# 1 MB plain log (`braidlogs big.log.X small.log`), against the format's
# tool on one core and its parallel decoder on both, on the same
# page-cached files, every command writing into a pipe to bench/discard.
#
#   bench/one_file.sh [DATA_DIR]
#
# Environment: RUNS (default 7), FORMATS (default "bz2 xz pzst bgzf gz"),
# BASELINE (another braidlogs binary to time beside this one). Needs
# hyperfine, bzip2, lbzip2, xz, zstd (pzstd), tabix (bgzip), igzip
# (package isal), taskset and /usr/bin/time.
set -euo pipefail
. "$(dirname "$0")/setup.sh" "${1:-}"
runs=${RUNS:-7}
formats=${FORMATS:-bz2 xz pzst bgzf gz}
dir=$data/one-file
if [ ! -f "$dir/.made" ]; then
  rm -rf "$dir" && mkdir -p "$dir"
  "$build/make_logs" "$dir" 2 200000000 13
  mv "$dir/log0000.log" "$dir/big.log"
  head -c 1000000 "$dir/log0001.log" | sed '$d' > "$dir/small.log"
  rm "$dir/log0001.log"
  touch "$dir/.made"
fi
cd "$dir"

for fmt in $formats; do
  case $fmt in
    bz2)  ext=bz2 pack="bzip2 -9" tool="bzip2 -dc" par="lbzip2 -dc -n2" ;;
    xz)   ext=xz pack="xz -6 -T2" tool="xz -dc -T1" par="xz -dc -T2" ;;
    pzst) ext=pzst pack="pzstd -q -p2 -c" tool="zstd -q -dc" par="pzstd -q -dc -p2" ;;
    bgzf) ext=bgzf pack="bgzip -c" tool="gzip -dc" par="bgzip -dc -@2" ;;
    gz)   ext=gz pack="gzip -6" tool="igzip -dc" par="" ;;
    *) echo "unknown format $fmt" >&2; exit 2 ;;
  esac
  [ -f "big.log.$ext" ] || $pack < big.log > "big.log.$ext"
  warm="cat big.log.$ext small.log big.log > /dev/null"
  eval "$warm"
  if [ "$($B "big.log.$ext" small.log | md5sum)" != "$($B big.log small.log | md5sum)" ]; then
    echo "$fmt: merging the compressed log differs from merging the plain one" >&2; exit 1
  fi
  cmds=(-n braidlogs "$B big.log.$ext small.log | $D"
        -n "tool, one core" "taskset -c 0 $tool big.log.$ext | $D"
        -n "plain, one core" "taskset -c 0 bash -c \"$B big.log small.log | $D\"")
  [ -n "$par" ] && cmds+=(-n "parallel tool" "$par big.log.$ext | $D")
  [ -n "${BASELINE:-}" ] && cmds+=(-n baseline "$BASELINE big.log.$ext small.log | $D")
  hyperfine -S bash --style=none --warmup 1 --runs "$runs" --prepare "$warm" \
    --export-json "$results/one.$fmt.json" "${cmds[@]}" >/dev/null
  /usr/bin/time -f %M -o "$results/one.$fmt.rss" $B "big.log.$ext" small.log > /dev/null
  echo "$fmt done" >&2
done

python3 - "$results" $formats <<'PY'
import json, sys
results, formats = sys.argv[1], sys.argv[2:]
print("One 200 MB archive with a 1 MB log, medians (s)")
print("| format | braidlogs | tool, one core | braidlogs / tool | parallel tool | braidlogs / parallel | plain, one core | baseline | peak RSS |")
print("| --- | --- | --- | --- | --- | --- | --- | --- | --- |")
for f in formats:
    m = {x["command"]: x["median"] for x in json.load(open(f"{results}/one.{f}.json"))["results"]}
    rss = int(open(f"{results}/one.{f}.rss").read().split()[-1]) / 1024
    b, t = m["braidlogs"], m["tool, one core"]
    par = f"{m['parallel tool']:.2f} | {b / m['parallel tool']:.2f}" if "parallel tool" in m else "| "
    bl = f"{m['baseline']:.2f}" if "baseline" in m else ""
    print(f"| {f} | {b:.2f} | {t:.2f} | {b / t:.2f} | {par} | {m['plain, one core']:.2f} | {bl} | {rss:.0f} MiB |")
PY
