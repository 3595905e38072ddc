#!/bin/sh
# Checks C++ sources against .clang-format; prints what it would change and
# fails when anything is off.
#
#   scripts/check-format.sh          every C++ file of the repository
#   scripts/check-format.sh BASE     only the files changed since the commit
#                                    BASE (and those changed but uncommitted)
#
# To put a file right: clang-format -i FILE.
set -eu
cd "$(dirname "$0")/.."
format=$(command -v clang-format || command -v clang-format-14 || true)
if [ -z "$format" ]; then
  echo "check-format: clang-format is not installed (scripts/install-deps.sh lint)" >&2
  exit 1
fi
if [ $# -gt 0 ]; then
  files=$( (git diff --name-only --diff-filter=d "$1" -- '*.cpp' '*.h'; git diff --name-only --diff-filter=d -- '*.cpp' '*.h') | sort -u)
else
  files=$(git ls-files '*.cpp' '*.h')
fi
off=0
for file in $files; do
  if ! "$format" --dry-run -Werror "$file" >/dev/null 2>&1; then
    echo "check-format: $file is not formatted; its differences:" >&2
    "$format" "$file" | diff -u "$file" - >&2 || true
    off=$((off + 1))
  fi
done
if [ "$off" -ne 0 ]; then
  echo "check-format: $off file(s) to put right with clang-format -i" >&2
  exit 1
fi
echo "check-format: $(echo "$files" | grep -c . || true) file(s) formatted as .clang-format says"
