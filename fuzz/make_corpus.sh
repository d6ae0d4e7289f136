#!/usr/bin/env bash
# Writes a small seed corpus for each fuzz target into DIR/<target>/.
#   fuzz/make_corpus.sh DIR
set -euo pipefail
dir=$1
mkdir -p "$dir"/{line_key,reader,merge,decoder}_fuzz

line='83.149.9.216 - - [17/May/2015:10:05:03 +0000] "GET /presentations/ HTTP/1.1" 200 203023 "-" "Mozilla/5.0"'
printf '%s\n' "$line" > "$dir/line_key_fuzz/typical"
printf '[31/Dec/1999:23:59:59 \n' > "$dir/line_key_fuzz/bare"
printf 'x [ 5/Feb/-200:+1:-1:99]' > "$dir/line_key_fuzz/odd"
printf '[00/Jan/1990:00:00:00' > "$dir/line_key_fuzz/short"

log() {  # log HOST FIRST_SECOND COUNT
  for ((i = $2; i < $2 + $3; i++)); do
    printf '%s - - [01/Mar/2024:00:%02d:%02d +0000] "GET /%d HTTP/1.1" 200 %d\n' "$1" $((i / 60 % 60)) $((i % 60)) "$i" "$i"
  done
}
# reader: two bytes of read and block sizes, then the text.
{ printf '\x07\x03'; log a 0 20; printf 'no newline at the end'; } > "$dir/reader_fuzz/log"
{ printf '\xc5\x00'; printf 'a\0b\n\n\nlong %0300d\n' 0; } > "$dir/reader_fuzz/odd"
# merge: k, four cut lengths, five block sizes, five chunk sizes... then text.
{ printf '\x02\x80\x80\x80\x80\x05\x09\x11\x21\x41\x07'; log a 0 10; log b 5 10; log c 2 10; } > "$dir/merge_fuzz/three"
{ printf '\x00\xff\x00\x00\x00\x01\x01\x01\x01\x01\x01'; log a 0 5; printf 'tail'; } > "$dir/merge_fuzz/two"
# decoder: mode (0 raw, 1 gzip, 2 bzip2, 3 xz, 4 zstd), chunk, change, place.
for mode in 1 2 3 4; do
  { printf "\\x0$mode\\x10\\x00\\x80"; log a 0 30; } > "$dir/decoder_fuzz/format$mode"
  { printf "\\x0$mode\\x10\\x02\\x80"; log a 0 30; } > "$dir/decoder_fuzz/cut$mode"
done
# Raw files as the formats' own tools write them, with their common options.
log a 0 40 > "$dir/sample"
raw() {  # raw NAME COMMAND...: mode 0, the command's output on the sample
  { printf '\x00\x05\x00\x00'; "${@:2}" < "$dir/sample"; } > "$dir/decoder_fuzz/raw-$1"
}
raw gzip1 gzip -1 -c; raw gzip9n gzip -9 -n -c
raw bzip2-1 bzip2 -1 -c; raw bzip2-9 bzip2 -9 -c
raw xz0 xz -0 -c; raw xz6 xz -6 -c; raw xz9e xz -9e -c; raw xzT2 xz -T2 --block-size=1024 -c
raw zstd1 zstd -q -1 -c; raw zstd19 zstd -q -19 -c; raw zstdlong zstd -q --long=27 -c
raw zstdT2 zstd -q -T2 -c; raw pzstd pzstd -q -p 2 -c
{ printf '\x00\x05\x00\x00'; gzip -c < "$dir/sample"; gzip -c < /dev/null; printf 'tail'; } > "$dir/decoder_fuzz/raw-gzip-members-tail"
{ printf '\x00\x05\x00\x00'; xz -c < "$dir/sample"; printf '\0\0\0\0'; xz -c < /dev/null; } > "$dir/decoder_fuzz/raw-xz-padding"
rm "$dir/sample"
