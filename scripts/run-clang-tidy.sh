#!/bin/sh
# Runs clang-tidy, with the checks of .clang-tidy, over every source of the
# library and the application; any finding fails the run.
#
#   scripts/run-clang-tidy.sh [BUILD-DIR]    (default: build-tidy)
#
# The build directory is configured here when it has no compile commands
# yet; nothing is compiled.
set -eu
cd "$(dirname "$0")/.."
dir=${1:-build-tidy}
tidy=$(command -v clang-tidy || command -v clang-tidy-14 || true)
if [ -z "$tidy" ]; then
  echo "run-clang-tidy: clang-tidy is not installed (scripts/install-deps.sh lint)" >&2
  exit 1
fi
if [ ! -f "$dir/compile_commands.json" ]; then
  cmake -S . -B "$dir" -G Ninja -DZUNDER_BUILD_BENCH=OFF >/dev/null
fi
sources=$(find zunder/src zunder/unix moatkeep -name '*.cpp' | sort)
# One process per source, as many at a time as there are cores; xargs
# exits non-zero when any of them reports a finding. The count of warnings
# suppressed in system headers that clang-tidy prints for each is left out.
output=$(mktemp)
trap 'rm -f "$output"' EXIT
status=0
# shellcheck disable=SC2086
printf '%s\n' $sources | xargs -P "$(nproc)" -n 1 "$tidy" -p "$dir" --quiet >"$output" 2>&1 || status=$?
grep -v '^[0-9]* warnings\? generated\.$' "$output" || true
if [ "$status" -ne 0 ]; then
  echo "run-clang-tidy: findings above" >&2
  exit 1
fi
echo "run-clang-tidy: no findings in $(echo "$sources" | wc -l) sources"
