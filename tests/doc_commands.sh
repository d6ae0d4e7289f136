#!/usr/bin/env bash
# Runs every command shown in the man page's EXAMPLES and in the README's
# recipes, in a scratch folder laid out the way those commands expect (as
# a log rotation leaves it: empty access.log files, a single-log host), with
# the built braidlogs first on PATH and a stand-in for ssh that runs the
# remote command against a local folder named for the host. A command
# passes when it exits 0 with nothing on standard error (braidlogs says
# something on every failure, also inside a pipeline), and writes something
# unless it writes into a file; the per-hour count must print counts of
# hours.
#
#   tests/doc_commands.sh BRAIDLOGS MAN_PAGE README
set -euo pipefail
bin=$(readlink -f "$1") man=$(readlink -f "$2") readme=$(readlink -f "$3")
src=$(cd "$(dirname "$0")/.." && pwd)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cd "$work"
mkdir -p tools
ln -s "$bin" tools/braidlogs
cat > tools/ssh <<'SSH'
#!/usr/bin/env bash
# ssh HOST COMMAND...: COMMAND run here, with /var/log under ./HOST.
host=$1; shift
cmd="$*"
exec bash -c "${cmd//\/var\/log/$PWD/$host/var/log}"
SSH
chmod +x tools/ssh
export PATH="$work/tools:$PATH"

# Three servers' logs from examples/, in the places the commands name, as
# a rotation leaves them: some access.log files empty, one host (web3)
# with a single log under nginx/.
i=0
for f in "$src"/examples/*.log; do
  i=$((i + 1))
  mkdir -p web$i/var/log/nginx
  cp "$f" web$i/access.log
  cp "$f" web$i/var/log/access.log
  cp "$f" web$i/var/log/access.log.1
  cp "$f" web$i/var/log/nginx/access.log
  [ $i = 3 ] || cp "$f" web$i/var/log/nginx/access.log.1
done
: > web1/var/log/nginx/access.log
gzip -c web2/access.log > web1/var/log/nginx/access.log.2.gz
for d in a b; do
  mkdir -p $d
  cp web1/access.log $d/access.log.2 && gzip $d/access.log.2
  cp web2/access.log $d/access.log.1
  cp web3/access.log $d/access.log
done
: > a/access.log
cp web1/access.log access.log

# The commands: EXAMPLES blocks of the man page (roff escapes undone), then
# the ```sh blocks of the README's "Recipes" section.
awk '/^\.SH EXAMPLES/{on=1; next} /^\.SH/{on=0} on && /^\.EX/{blk=1; next}
     on && /^\.EE/{blk=0; print "\036"; next} on && blk' "$man" |
  sed -e 's/\\e/\\/g' -e 's/\\-/-/g' > commands
awk '/^## /{on=($0 ~ /^## Recipes/)} on && /^```sh/{blk=1; next}
     on && blk && /^```/{blk=0; print "\036"; next} on && blk' "$readme" >> commands

fail=0 ran=0
while IFS= read -r -d $'\036' cmd; do
  cmd=${cmd#$'\n'}
  [ -n "${cmd//[$'\n' ]/}" ] || continue
  ran=$((ran + 1))
  if ! bash -c "$cmd" > out 2> err || [ -s err ]; then
    echo "FAILED: $cmd"; cat err; fail=1; continue
  fi
  if [ ! -s out ] && [[ $cmd != *" > "* ]]; then
    echo "FAILED (no output): $cmd"; fail=1; continue
  fi
  if [[ $cmd == *"uniq -c"* ]] && grep -vqE '^ *[0-9]+ [0-9]{2}/[A-Z][a-z]{2}/[0-9]{4}:[0-9]{2}$' out; then
    echo "FAILED (not counts per hour): $cmd"; head -3 out; fail=1
  fi
done < commands
echo "$ran commands run"
[ "$ran" -gt 0 ] && exit $fail
