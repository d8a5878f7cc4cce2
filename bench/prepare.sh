# Sourced by the benchmark scripts: installs what is missing, builds in Release mode
# (build-bench/) the targets the script names in `bench_targets` (default viz256-run), and sets
# `folder` to the absolute path of $1, else $VIZ256_BENCH_DIR, else a new temporary folder
# (`tmp_made`) that goes when the script ends. A script with a trap of its own removes
# "$tmp_made" itself. `bench_build` is the build tree the binaries come from.
#
# Smoke mode (VIZ256_BENCH_SMOKE=BUILD_DIR, as the test suite runs every script): nothing is
# installed or built, the binaries are those of BUILD_DIR, and `smoke` is 1: each script then
# measures a second or two of data once, to show that it still runs, not to give figures.
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
smoke=0
if [ -n "${VIZ256_BENCH_SMOKE:-}" ]; then
  smoke=1
  bench_build=$(cd "$VIZ256_BENCH_SMOKE" && pwd)
else
  if [ -x scripts/install-deps.sh ]; then
    scripts/install-deps.sh >/dev/null
  fi
  bench_build=$root/build-bench
  cmake -S . -B build-bench -DCMAKE_BUILD_TYPE=Release -DVIZ256_TESTS=OFF -DVIZ256_BENCH=ON >/dev/null
  cmake --build build-bench -j2 --target ${bench_targets:-viz256-run} >/dev/null
fi
folder=${1:-${VIZ256_BENCH_DIR:-}}
tmp_made=""
if [ -z "$folder" ]; then
  folder=$(mktemp -d "${TMPDIR:-/tmp}/viz256-bench.XXXXXX")
  tmp_made=$folder
fi
mkdir -p "$folder"
folder=$(cd "$folder" && pwd)
trap '[ -n "$tmp_made" ] && rm -rf "$tmp_made"' EXIT
