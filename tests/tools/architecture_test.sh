#!/usr/bin/env bash
# docs/architecture.md stays true to the tree: every folder and file it names
# in backquotes (a path under src/, tools/, python/, docs/, bench/ or fuzz/)
# exists, and no include of the channels or the line reader runs from the
# step or the phases, as the page says.
#
# Usage: architecture_test.sh SOURCE_DIR
set -u
src=${1:?usage: $0 SOURCE_DIR}
page=$src/docs/architecture.md
failures=0
[ -s "$page" ] || { echo "FAIL: $page is missing"; exit 1; }
paths=$(grep -o '`[^`]*`' "$page" | tr -d '`' | grep -E '^(src|tools|python|docs|bench|fuzz)/[A-Za-z0-9_./-]*$' | sort -u)
[ "$(printf '%s\n' "$paths" | grep -c .)" -ge 10 ] || { echo "FAIL: the page names too few paths"; exit 1; }
for p in $paths; do
  if [ -e "$src/$p" ]; then echo "ok:   $p"; else echo "FAIL: $p is named but does not exist"; failures=$((failures + 1)); fi
done
if grep -rlE '#include "io/(channel|line_reader)\.hpp"' "$src/src/trajectory" "$src/src/phases"; then
  echo "FAIL: the files above include the channels or the line reader"
  failures=$((failures + 1))
fi
[ "$failures" -eq 0 ] || exit 1
echo "all paths exist"
