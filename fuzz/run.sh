#!/bin/sh
# Builds the fuzz targets with clang in build-fuzz and runs each for
# FUZZ_SECONDS seconds (default 30), two at a time, on a copy of its seed
# corpus. Prints the executions per target; fails when a target crashes,
# leaks, hangs or trips a sanitizer, and names the input that did it.
#
#   fuzz/run.sh                 every target
#   fuzz/run.sh url mime        only those
#
# FUZZ_BUILD_DIR (default build-fuzz) and FUZZ_WORK_DIR (default a fresh
# temporary directory, kept when something failed) override the places.
set -eu
cd "$(dirname "$0")/.."
root=$(pwd)

# One target: run_one NAME WORKDIR. Runs inside a private network namespace
# when one can be had, so that host names the relay-syntax target invents
# never reach a real resolver and loopback ports never clash.
if [ "${1:-}" = "--one" ]; then
  name=$2
  work=$3
  binary="$FUZZ_BUILD_DIR/fuzz/fuzz_$name"
  corpus="$work/$name/corpus"
  mkdir -p "$corpus" "$work/$name/artifacts"
  if [ -d "fuzz/corpus/$name" ]; then cp -R "fuzz/corpus/$name/." "$corpus/"; fi
  set -- "$binary" -max_total_time="$FUZZ_SECONDS" -rss_limit_mb=2048 -timeout=10 \
    -print_final_stats=1 -artifact_prefix="$work/$name/artifacts/" "$corpus"
  status=0
  if unshare -n true 2>/dev/null; then
    unshare -n sh -c 'ip link set lo up 2>/dev/null || true; exec "$@"' fuzz "$@" >"$work/$name/log" 2>&1 || status=$?
  else
    "$@" >"$work/$name/log" 2>&1 || status=$?
  fi
  executions=$(sed -n 's/^stat::number_of_executed_units: *//p' "$work/$name/log" | tail -n 1)
  if [ "$status" -eq 0 ]; then
    printf '%-14s ok      %12s executions\n' "$name" "${executions:-?}"
  else
    printf '%-14s FAILED  %12s executions (exit %s), log %s\n' "$name" "${executions:-?}" "$status" "$work/$name/log"
    grep -E 'ERROR|property violated|runtime error|SUMMARY|Test unit written' "$work/$name/log" | head -n 8 | sed 's/^/    /'
    : >"$work/$name/failed"
  fi
  exit 0
fi

FUZZ_SECONDS=${FUZZ_SECONDS:-30}
FUZZ_BUILD_DIR=${FUZZ_BUILD_DIR:-$root/build-fuzz}
export FUZZ_SECONDS FUZZ_BUILD_DIR

CXX=${FUZZ_CXX:-clang++}
cmake -S . -B "$FUZZ_BUILD_DIR" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_CXX_COMPILER="$CXX" \
  -DZUNDER_FUZZ=ON -DZUNDER_BUILD_BENCH=OFF >/dev/null
cmake --build "$FUZZ_BUILD_DIR" -j 2 --target fuzz_targets

if [ $# -gt 0 ]; then
  targets="$*"
else
  targets=$(for source in fuzz/*.cpp; do basename "$source" .cpp; done)
fi

work=${FUZZ_WORK_DIR:-$(mktemp -d "${TMPDIR:-/tmp}/moatkeep-fuzz.XXXXXX")}
mkdir -p "$work"
echo "fuzzing for $FUZZ_SECONDS s per target, two at a time, in $work"
# Two cores: two targets at once. Each child gets the script as $0, the work
# directory as $1 and, appended by xargs, the target's name as $2.
for name in $targets; do echo "$name"; done |
  xargs -n 1 -P 2 sh -c 'exec "$0" --one "$2" "$1"' "$root/fuzz/run.sh" "$work"

failed=$(find "$work" -mindepth 2 -maxdepth 2 -name failed | wc -l)
if [ "$failed" -ne 0 ]; then
  echo "$failed fuzz target(s) failed; inputs and logs are under $work" >&2
  exit 1
fi
[ -n "${FUZZ_WORK_DIR:-}" ] || rm -rf "$work"
echo "all fuzz targets ran clean"
