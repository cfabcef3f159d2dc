#!/usr/bin/env bash
# Fails when a C or C++ source differs from what clang-format makes of it (.clang-format).
#   check_format.sh            every tracked source
#   check_format.sh REV        the sources changed since REV (those still present)
#   check_format.sh -- FILE... the files named
set -euo pipefail
cd "$(dirname "$0")/.."
cf=${CLANG_FORMAT:-clang-format}
files=()
if [ "${1:-}" = "--" ]; then
  shift; files=("$@")
elif [ $# -gt 0 ]; then
  mapfile -t files < <(git diff --name-only --diff-filter=d "$1" -- '*.cpp' '*.h' '*.c')
else
  mapfile -t files < <(git ls-files '*.cpp' '*.h' '*.c')
fi
if [ ${#files[@]} -eq 0 ]; then echo "format check: no sources to check"; exit 0; fi
if ! "$cf" --dry-run --Werror "${files[@]}"; then
  echo "format check: the files above differ from clang-format's layout (fix: $cf -i FILE)" >&2
  exit 1
fi
echo "format check: ${#files[@]} file(s) as clang-format lays them out"
