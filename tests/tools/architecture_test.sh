#!/usr/bin/env bash
# docs/architecture.md stays true to the tree: every folder and file it names
# in backquotes (a path under src/, tools/, python/, docs/, bench/ or fuzz/)
# exists; every quoted include of the C++ code runs from a layer of the page's
# table to itself or to a layer its "may include" cell names, each of those
# below it in the table; and no include of the channels or the line reader
# runs from the step or the phases, as the page says. The include check is
# then run on a copy of the tree with one include planted upward, and must
# refuse it: a checker that cannot fail holds nothing.
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

# check_includes TREE: the include graph of TREE's C++ code against the layer
# table of TREE/docs/architecture.md; prints each include outside the table
# and fails when there is one.
check_includes() {
  local tree=$1 bad=0
  local -a layers=()
  local -A allowed=() rank=()
  # The table's rows: | `folder` | what | may include |, lowest layer first.
  # A name without a slash in the last cell is a folder of src/.
  local row folder cell token n=0
  while IFS= read -r row; do
    folder=$(printf '%s\n' "$row" | cut -d'|' -f2 | grep -o '`[^`]*`' | head -1 | tr -d '`')
    folder=${folder%/}
    case $folder in src/* | tools/* | python) ;; *) continue ;; esac
    case $folder in python/*) continue ;; esac  # the Python package: no C++ includes
    cell=$(printf '%s\n' "$row" | awk -F'|' '{print $(NF-1)}')
    local names=" "
    for token in $(printf '%s\n' "$cell" | grep -o '`[^`]*`' | tr -d '`'); do
      token=${token%/}
      case $token in */*) ;; *) token=src/$token ;; esac
      if [ -z "${rank[$token]:-}" ]; then
        echo "FAIL: the table lets $folder include $token, which is not a layer below it"
        bad=1
      fi
      names+="$token "
    done
    layers+=("$folder")
    allowed[$folder]=$names
    rank[$folder]=$((n += 1))
  done < <(sed -n '/^## Layers/,/^## /p' "$tree/docs/architecture.md" | grep '^| `')
  [ "${#layers[@]}" -ge 8 ] || { echo "FAIL: the layer table has too few C++ layers"; return 1; }

  # The layer of a path: the longest folder of the table that holds it.
  layer_of() {
    local p=$1 best="" l
    for l in "${layers[@]}"; do
      case $p in "$l" | "$l"/*) [ "${#l}" -gt "${#best}" ] && best=$l ;; esac
    done
    printf '%s' "$best"
  }

  local file rel from inc target to line
  while IFS= read -r file; do
    rel=${file#"$tree"/}
    from=$(layer_of "$rel")
    if [ -z "$from" ]; then
      echo "FAIL: $rel is in no layer of the table"
      bad=1
      continue
    fi
    while IFS= read -r line; do
      inc=${line#*\"}
      inc=${inc%%\"*}
      # Found as the build finds it: from src/, beside the file, or in a
      # tool's folder.
      target=""
      for cand in "$tree/src/$inc" "$(dirname "$file")/$inc" "$tree"/tools/*/"$inc" "$tree/python/src/$inc"; do
        if [ -f "$cand" ]; then target=${cand#"$tree"/}; break; fi
      done
      if [ -z "$target" ]; then
        echo "FAIL: $rel includes \"$inc\", which is not in the tree"
        bad=1
        continue
      fi
      to=$(layer_of "$target")
      if [ "$to" != "$from" ] && [[ ${allowed[$from]} != *" $to "* ]]; then
        echo "FAIL: $rel ($from) includes $target ($to), which its layer may not include"
        bad=1
      fi
    done < <(grep -E '^[[:space:]]*#[[:space:]]*include[[:space:]]*"' "$file")
  done < <(find "$tree/src" "$tree/tools" "$tree/python/src" -type f \( -name '*.cpp' -o -name '*.hpp' -o -name '*.h' \) | sort)
  return "$bad"
}

if check_includes "$src"; then
  echo "ok:   every include runs down the layer table"
else
  failures=$((failures + 1))
fi

# The same check on a copy with an upward include planted: the step asking
# for the session. It must be refused.
copy=$(mktemp -d)
trap 'rm -rf "$copy"' EXIT
mkdir -p "$copy/docs" "$copy/python"
cp -R "$src/src" "$src/tools" "$copy/"
cp -R "$src/python/src" "$copy/python/"
cp "$page" "$copy/docs/"
victim=$(find "$copy/src/trajectory" -name '*.cpp' | sort | head -1)
printf '#include "session/session.hpp"\n' >> "$victim"
if planted=$(check_includes "$copy"); then
  echo "FAIL: the include check passes a tree where ${victim#"$copy"/} includes the session"
  failures=$((failures + 1))
elif ! printf '%s\n' "$planted" | grep -q "${victim#"$copy"/} (src/trajectory) includes src/session/session.hpp"; then
  echo "FAIL: the include check refused the planted include without naming it: $planted"
  failures=$((failures + 1))
else
  echo "ok:   a planted upward include is refused"
fi

# No reader parses the main output: the questions the session asks (its
# quoted prompts that end in "? "), the anchors such a reader would need, are
# in no file of the tools, the module or the Python package, by their words
# (before a unit's parenthesis, which a pattern would escape). Checked on the
# tree, then on a copy of the package with one question planted.
questions=$(grep -oE '"[^"]*\? "' "$src/src/session/session.cpp" | sed -E 's/^"([A-Za-z ]*[A-Za-z]).*/\1/' | sort -u)
[ "$(printf '%s\n' "$questions" | grep -c .)" -ge 3 ] || { echo "FAIL: the session's questions were not found"; exit 1; }
readers_holding() {  # DIR...: the files that hold a question
  local q
  while IFS= read -r q; do grep -rlF --include='*.py' --include='*.cpp' --include='*.hpp' -- "$q" "$@"; done \
    <<<"$questions"
}
held=$(readers_holding "$src/tools" "$src/python/src" "$src/python/ascent")
if [ -n "$held" ]; then
  echo "FAIL: these files hold a question of the session, as a reader of the main output would: $held"
  failures=$((failures + 1))
fi
mkdir -p "$copy/package" && cp -R "$src/python/ascent/plot" "$copy/package/"
printf '_Q = "%s"\n' "$(printf '%s\n' "$questions" | head -1)" >>"$copy/package/plot/data.py"
if [ "$(readers_holding "$copy/package" | sort -u)" = "$copy/package/plot/data.py" ]; then
  echo "ok:   no reader holds the session's questions (a planted one is found)"
else
  echo "FAIL: a question planted in a copy of the package is not found"
  failures=$((failures + 1))
fi

[ "$failures" -eq 0 ] || exit 1
echo "all paths exist and every include runs down the layers"
