#!/bin/bash
# Checks that every C and C++ source under version control is formatted as the repository's
# .clang-format says; prints the offending places and exits non-zero otherwise.
#   scripts/check-format.sh [FILE...]   (default: every tracked *.c, *.cpp and *.h)
set -euo pipefail
cd "$(dirname "$0")/.."
command -v clang-format >/dev/null || { echo "check-format.sh needs clang-format (apt-get install clang-format)" >&2; exit 1; }
if (($#)); then
    files=("$@")
else
    mapfile -t files < <(git ls-files '*.c' '*.cpp' '*.h')
fi
clang-format --style=file --dry-run --Werror "${files[@]}"
echo "format: ${#files[@]} files as .clang-format says"
