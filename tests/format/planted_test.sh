#!/usr/bin/env bash
# The format check passes a source laid out as .clang-format says and fails one that is not.
set -euo pipefail
src=$(cd "$(dirname "$0")/../.." && pwd)
work=$(mktemp -d); trap 'rm -rf "$work"' EXIT
cp "$src/.clang-format" "$work/"
printf 'int Add(int a, int b) { return a + b; }\n' > "$work/good.cpp"
printf 'int  Add( int a,int b ){\nreturn a+b;}\n' > "$work/bad.cpp"
bash "$src/scripts/check_format.sh" -- "$work/good.cpp" || { echo "a well laid out file was refused"; exit 1; }
if out=$(bash "$src/scripts/check_format.sh" -- "$work/good.cpp" "$work/bad.cpp" 2>&1); then
  echo "a misformatted file passed: $out"; exit 1
fi
grep -q "bad.cpp" <<<"$out" || { echo "the refusal does not name the file: $out"; exit 1; }
echo "planted misformatting caught"
