#!/usr/bin/env bash
# A farm's rotated logs: S servers, each with D daily files that follow one
# another in time, every file compressed from itself as a log rotator does
# (gzip -6, bzip2 -9, xz -6, zstd -3), named server by server as
# `web*/access.log.*` names them. Times, in one run, on the same
# page-cached files:
#   braidlogs over all the files (free placement);
#   the shell recipe, one decompressor pipe per server into braidlogs;
#   the format's own tool over all the files, on one core and on both
#     (xargs -P2; for gzip igzip -dc, the decoder braidlogs uses);
#   braidlogs over the decompressed files, on one core;
# and reports braidlogs's peak RSS and the most decoders alive at once.
#
#   bench/farm.sh [DATA_DIR]
#
# Environment: RUNS (default 5), SERVERS (16), DAYS (30), BYTES (bytes of
# text a file, 1000000), FORMATS (default "gz bz2 xz zst"), BASELINE
# (another braidlogs binary to time beside this one). Needs hyperfine,
# gzip, bzip2, xz, zstd, igzip (package isal), taskset and /usr/bin/time.
set -euo pipefail
. "$(dirname "$0")/setup.sh" "${1:-}"
runs=${RUNS:-5} servers=${SERVERS:-16} days=${DAYS:-30} bytes=${BYTES:-1000000}
formats=${FORMATS:-gz bz2 xz zst}
farm=$data/farm-$servers-$days-$bytes

# Each server's log, made once and cut into its days by lines, oldest
# first: web03/access.log.30 ... web03/access.log.1.
if [ ! -f "$farm/.made" ]; then
  rm -rf "$farm" && mkdir -p "$farm/whole"
  "$build/make_logs" "$farm/whole" "$servers" $((bytes * days)) 11
  for ((s = 0; s < servers; ++s)); do
    web=$(printf '%s/web%02d' "$farm" "$s")
    mkdir -p "$web"
    split -n l/"$days" -d -a 3 "$farm/whole/$(printf 'log%04d.log' "$s")" "$web/day"
    for ((d = 0; d < days; ++d)); do
      mv "$web/$(printf 'day%03d' "$d")" "$web/access.log.$((days - d))"
    done
  done
  rm -rf "$farm/whole"
  touch "$farm/.made"
fi
cd "$farm"
# Oldest first within each server, as a user would name them.
plain=$(for web in web*; do for ((d = days; d >= 1; --d)); do echo "$web/access.log.$d"; done; done)

for fmt in $formats; do
  case $fmt in
    gz)  pack="gzip -6" tool="gzip -dc" fast="igzip -dc" ;;
    bz2) pack="bzip2 -9" tool="bzip2 -dc" fast="" ;;
    xz)  pack="xz -6" tool="xz -dc" fast="" ;;
    zst) pack="zstd -q -3" tool="zstd -q -dc" fast="" ;;
    *) echo "unknown format $fmt" >&2; exit 2 ;;
  esac
  tool=${fast:-$tool}
  # shellcheck disable=SC2086
  echo "$plain" | xargs -P2 -I{} sh -c "[ -f {}.$fmt ] || $pack < {} > {}.$fmt"
  files=$(echo "$plain" | sed "s/\$/.$fmt/" | tr '\n' ' ')
  recipe="$B"
  for web in web*; do recipe+=" <(cat $(echo "$files" | tr ' ' '\n' | grep "^$web/" | tr '\n' ' ') | $tool)"; done
  half=$(( (servers * days + 1) / 2 ))
  warm="cat $files > /dev/null"
  eval "$warm"
  if [ "$(eval "$B $files" | md5sum)" != "$(eval "$B $(echo $plain)" | md5sum)" ]; then
    echo "$fmt: merging the compressed farm differs from merging the plain one" >&2; exit 1
  fi
  cmds=(-n braidlogs "$B $files | $D"
        -n recipe "$recipe | $D"
        -n "tool, one core" "taskset -c 0 $tool $files > /dev/null"
        -n "tool, two cores" "echo $files | tr ' ' '\n' | xargs -P2 -n $half $tool > /dev/null"
        -n "plain, one core" "taskset -c 0 bash -c \"$B $(echo $plain) | $D\""
        -n "first byte" "$B $files | head -c1 > /dev/null")
  [ -n "${BASELINE:-}" ] && cmds+=(-n baseline "$BASELINE $files | $D"
                                   -n "first byte, baseline" "$BASELINE $files | head -c1 > /dev/null")
  hyperfine -S bash --style=none --runs "$runs" --prepare "$warm" \
    --export-json "$results/farm.$fmt.json" "${cmds[@]}" >/dev/null
  eval "/usr/bin/time -f %M -o $results/farm.$fmt.rss $build/farm_peak $files" \
    > /dev/null 2> "$results/farm.$fmt.peak"
  rm -f "$results/farm.$fmt.base.rss"
  [ -n "${BASELINE:-}" ] &&
    eval "/usr/bin/time -f %M -o $results/farm.$fmt.base.rss $BASELINE $files" > /dev/null
  echo "$fmt done" >&2
done

python3 - "$results" "$servers x $days" $formats <<'PY'
import json, os, re, sys
results, shape, formats = sys.argv[1], sys.argv[2], sys.argv[3:]
print(f"Farm of {shape} files, medians (s); target: braidlogs <= 1.2 x max(tool on two cores, plain on one core)")
print("two-core limit: (tool, one core + plain, one core) / 2, decoding and merging spread over both cores")
print("first byte: until braidlogs's first output (through head -c1), and its ratio to the tool on two cores")
print("| format | braidlogs | recipe | tool, one core | tool, two cores | plain, one core | braidlogs / target | / two-core limit | first byte (baseline) | / tool, two cores | baseline | peak RSS (baseline) | decoders at once |")
print("| --- | --- | --- | --- | --- | --- | --- | --- | --- | --- | --- | --- | --- |")
for f in formats:
    m = {x["command"]: x["median"] for x in json.load(open(f"{results}/farm.{f}.json"))["results"]}
    rss = int(open(f"{results}/farm.{f}.rss").read().split()[-1]) / 1024
    base = f"{results}/farm.{f}.base.rss"
    brss = f" ({int(open(base).read().split()[-1]) / 1024:.0f} MiB)" if os.path.exists(base) else ""
    peak = re.search(r"decoders alive at once: (\d+)", open(f"{results}/farm.{f}.peak").read()).group(1)
    target = max(m["tool, two cores"], m["plain, one core"])
    limit = (m["tool, one core"] + m["plain, one core"]) / 2
    bl = f"{m['baseline']:.2f}" if "baseline" in m else ""
    fbl = f" ({m['first byte, baseline']:.2f})" if "baseline" in m else ""
    print(f"| {f} | {m['braidlogs']:.2f} | {m['recipe']:.2f} | {m['tool, one core']:.2f} | "
          f"{m['tool, two cores']:.2f} | {m['plain, one core']:.2f} | {m['braidlogs'] / target:.2f} | "
          f"{m['braidlogs'] / limit:.2f} | {m['first byte']:.2f}{fbl} | "
          f"{m['first byte'] / m['tool, two cores']:.2f} | "
          f"{bl} | {rss:.0f} MiB{brss} | {peak} |")
PY
