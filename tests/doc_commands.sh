#!/usr/bin/env bash
# Runs every command shown in the man pages' EXAMPLES and in the README's
# recipes (braidcat's man page shows the same commands as the README),
# each in a fresh copy of a folder laid out the way those commands expect
# (as a log rotation leaves it: an empty access.log, a single-log host),
# with the built braidcat and braidlogs first on PATH and a stand-in for ssh
# that runs the remote command against a local folder named for the host.
# A command passes when it exits 0 with nothing on standard error (both
# commands say something on every failure, also inside a pipeline), and
# writes something unless it writes into a file; the per-hour count must
# print counts of hours, and a site.log must hold every line.
#
#   tests/doc_commands.sh BRAIDLOGS BRAIDCAT BRAIDCAT_MAN_PAGE BRAIDLOGS_MAN_PAGE README
set -euo pipefail
bin=$(readlink -f "$1") cat_bin=$(readlink -f "$2") man=$(readlink -f "$3")
strict_man=$(readlink -f "$4") readme=$(readlink -f "$5")
src=$(cd "$(dirname "$0")/.." && pwd)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cd "$work"
mkdir -p tools
ln -s "$bin" tools/braidlogs
ln -s "$cat_bin" tools/braidcat
cat > tools/ssh <<'SSH'
#!/usr/bin/env bash
# ssh HOST COMMAND...: COMMAND run here, with /var/log under ./HOST.
host=$1; shift
cmd="$*"
exec bash -c "${cmd//\/var\/log/$PWD/$host/var/log}"
SSH
chmod +x tools/ssh
export PATH="$work/tools:$PATH"

# A farm as rotation leaves it, from the three servers' logs in examples/:
# web1 with access.log, access.log.1 and access.log.2.gz; web2 the same
# but its access.log just rotated (empty); web3 a host with a single log.
# The same files lie under each host's /var/log/nginx for ssh.
mkdir farm
cd farm
ex=("$src"/examples/*.log)
for i in 1 2 3; do
  mkdir -p web$i/var/log/nginx
  cp "${ex[$((i - 1))]}" web$i/access.log
  if [ $i != 3 ]; then
    cp "${ex[$((i % 3))]}" web$i/access.log.1
    gzip -c "${ex[$(((i + 1) % 3))]}" > web$i/access.log.2.gz
  fi
done
: > web2/access.log
for i in 1 2 3; do cp web$i/access.log* web$i/var/log/nginx/; done
cd ..
lines=$(for f in farm/web*/access.log*; do gzip -dcf "$f"; done | wc -l)

# The commands: the EXAMPLES blocks of a man page (roff escapes undone)
# and the ```sh blocks of the README's farm and "Recipes" sections, which
# must be braidcat's examples, in the same order; then braidlogs's own.
examples() {
  awk '/^\.SH EXAMPLES/{on=1; next} /^\.SH/{on=0} on && /^\.EX/{blk=1; next}
       on && /^\.EE/{blk=0; print "\036"; next} on && blk' "$1" |
    sed -e 's/\\e/\\/g' -e 's/\\-/-/g'
}
examples "$man" > man-commands
awk '/^## /{on=($0 ~ /^## (Recipes|A farm)/)} on && /^```sh/{blk=1; next}
     on && blk && /^```/{blk=0; print "\036"; next} on && blk' "$readme" > commands
if ! cmp -s man-commands commands; then
  echo "FAILED: braidcat's man page examples are not the README's recipes"
  diff man-commands commands || true
  exit 1
fi
examples "$strict_man" >> commands

fail=0 ran=0
while IFS= read -r -d $'\036' cmd; do
  cmd=${cmd#$'\n'}
  [ -n "${cmd//[$'\n' ]/}" ] || continue
  ran=$((ran + 1))
  rm -rf run && cp -r farm run
  if ! (cd run && bash -c "$cmd" > ../out 2> ../err) || [ -s err ]; then
    echo "FAILED: $cmd"; cat err; fail=1; continue
  fi
  if [ ! -s out ] && [[ $cmd != *" > "* ]]; then
    echo "FAILED (no output): $cmd"; fail=1; continue
  fi
  if [[ $cmd == *"uniq -c"* ]] && grep -vqE '^ *[0-9]+ [0-9]{2}/[A-Z][a-z]{2}/[0-9]{4}:[0-9]{2}$' out; then
    echo "FAILED (not counts per hour): $cmd"; head -3 out; fail=1
  fi
  if [ -f run/site.log ] && [ "$(wc -l < run/site.log)" -ne "$lines" ]; then
    echo "FAILED (not every line): $cmd"; fail=1
  fi
done < commands
echo "$ran commands run"
[ "$ran" -gt 0 ] && exit $fail
