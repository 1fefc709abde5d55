#!/usr/bin/env bash
# Style: clang-format clean, no trailing whitespace, a final newline.
set -euo pipefail
cd "$(dirname "$0")/.."
files=$(git ls-files -- '*.h' '*.cpp' '*.c' | grep -v '^tests/data/' || true)
status=0
if [ -n "$files" ]; then
  if ! clang-format --dry-run --Werror $files; then status=1; fi
fi
# Text files only: seed corpora and media are data.
for f in $(git ls-files | grep -E '(\.(h|hpp|c|cpp|cmake|txt|md|py|sh|json|clang-format|gitignore)$|^\.ci/run$)' | grep -v '^fuzz/corpus/'); do
  [ -f "$f" ] || continue
  if grep -n -I ' $' "$f" >/dev/null 2>&1; then echo "trailing whitespace: $f"; status=1; fi
  if [ -s "$f" ] && [ -n "$(tail -c1 "$f")" ]; then echo "no final newline: $f"; status=1; fi
done
exit $status
