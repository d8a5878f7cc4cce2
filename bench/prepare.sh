# Sourced by the reading and analysis benchmarks: installs what is missing, builds viz256-run in
# Release mode (build-bench/), and sets `folder` to $1, else $VIZ256_BENCH_DIR, else a new
# temporary folder that goes when the script ends.
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
if [ -x scripts/install-deps.sh ]; then
  scripts/install-deps.sh >/dev/null
fi
cmake -S . -B build-bench -DCMAKE_BUILD_TYPE=Release -DVIZ256_TESTS=OFF -DVIZ256_BENCH=ON >/dev/null
cmake --build build-bench -j2 --target viz256-run >/dev/null
folder=${1:-${VIZ256_BENCH_DIR:-}}
tmp_made=""
if [ -z "$folder" ]; then
  folder=$(mktemp -d "${TMPDIR:-/tmp}/viz256-bench.XXXXXX")
  tmp_made=$folder
fi
trap '[ -n "$tmp_made" ] && rm -rf "$tmp_made"' EXIT
