# Shared start of the benchmark scripts, sourced by them: the data folder
# (an absolute path, since the cases cd into their folders), its results
# folder, and a Release build of the tool and the benchmark's helpers.
#   . bench/setup.sh DATA_DIR   sets root, data, results, build, B, D, F
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
data=${1:-$root/bench/data}
mkdir -p "$data"
data=$(cd "$data" && pwd)
results=$data/results
mkdir -p "$results"
build=$root/build-bench
cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=Release -DBRAIDLOGS_TESTS=OFF >/dev/null
cmake --build "$build" -j2 >/dev/null
B=$build/braidlogs D=$build/discard F=$build/copy_floor
