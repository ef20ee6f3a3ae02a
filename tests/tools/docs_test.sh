#!/usr/bin/env bash
# The README and the pages of docs/ stay true: every relative link reaches a
# file that exists (and a heading of it, for a #fragment), and the figures they
# quote for the default session are those of the program: its steps and, where
# strace can trace it, its write calls.
#
# Usage: docs_test.sh SOURCE_DIR ASCENT_BINARY
set -u
src=$(cd "${1:?usage: $0 SOURCE_DIR ASCENT_BINARY}" && pwd)
ascent=$(realpath "${2:?usage: $0 SOURCE_DIR ASCENT_BINARY}")
failures=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }

# GitHub's anchor of a heading: lower case, punctuation dropped but for - and
# _, each space a hyphen.
slug() { tr 'A-Z' 'a-z' <<<"$1" | sed -e 's/[^a-z0-9 _-]//g' -e 's/ /-/g'; }
declare -A anchor_cache
read_anchors() {
  [ -n "${anchor_cache[$1]+x}" ] ||
    anchor_cache[$1]=$(grep -E '^#{1,6} ' "$1" | sed -E 's/^#+ //' | while IFS= read -r h; do slug "$h"; done)
}

pages=("$src/README.md" "$src"/docs/*.md)
links=0
for page in "${pages[@]}"; do
  dir=$(dirname "$page")
  # Links outside code: the fenced blocks and indented commands are skipped.
  while IFS= read -r target; do
    case $target in http://* | https://* | mailto:*) continue ;; esac
    links=$((links + 1))
    file=${target%%#*} fragment=
    [ "$file" != "$target" ] && fragment=${target#*#}
    if [ -z "$file" ]; then path=$page; else path=$dir/$file; fi
    if [ ! -e "$path" ]; then
      fail "${page#"$src"/}: link to $target: no such file"
    elif [ -n "$fragment" ] && read_anchors "$path" && ! grep -qxF -- "$fragment" <<<"${anchor_cache[$path]}"; then
      fail "${page#"$src"/}: link to $target: no such heading"
    fi
  done < <(awk '/^```/ { fenced = !fenced; next } !fenced && !/^    /' "$page" |
           grep -oE '\]\([^) ]+\)' | sed -E 's/^\]\((.*)\)$/\1/')
done
[ "$links" -ge 30 ] || fail "only $links links found: the pages are not where they were"
echo "links: $links checked"

# The default session of the quick start, flown in a scratch folder.
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cp "$src/data/s1.dat" "$work/" && printf 'out.txt\n36\n18\ny\n-1\n' >"$work/answers"
(cd "$work" && "$ascent" <answers >/dev/null) || fail "the default session did not run"
steps=$(wc -l <"$work/speed.dat")
grep -qF "a whole file-mode flight ($steps steps)" "$src/docs/speed.md" ||
  fail "docs/speed.md does not give the default flight's $steps steps"
grep -qF "(\`-d . -j out.json\`, $steps steps)" "$src/docs/pictures.md" ||
  fail "docs/pictures.md does not give the default flight's $steps steps"
echo "steps of the default flight: $steps"
if (cd "$work" && strace -f -o "$work/trace" -e trace=write "$ascent" <answers >/dev/null) 2>/dev/null; then
  writes=$(grep -c 'write(' "$work/trace")
  grep -qF "file mode $writes for" "$src/docs/speed.md" ||
    fail "docs/speed.md does not give the file-mode session's $writes write calls"
  echo "write calls of the file-mode session: $writes"
else
  echo "skipped: the write calls (strace cannot trace here)"
fi
[ "$failures" -eq 0 ] || exit 1
echo "the pages hold"
