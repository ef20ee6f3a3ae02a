#!/usr/bin/env bash
# The install tree: `cmake --install BUILD --prefix P` puts ascent and
# ascent-plot in P/bin and the bundled booster profile in P/share/ascent, and
# both commands work from there. Given a python3 and the package folder under
# the prefix, the Python module is imported from there and flies as ascent.
#
# Usage: install_test.sh CMAKE BUILD_DIR SOURCE_DIR [PYTHON PACKAGE_DIR]
set -u
export LC_ALL=C

[ $# -eq 3 ] || [ $# -eq 5 ] || { echo "usage: $0 CMAKE BUILD_DIR SOURCE_DIR [PYTHON PACKAGE_DIR]" >&2; exit 1; }
cmake=$1 build=$(realpath "$2") src=$(realpath "$3")
python=${4:-} package_dir=${5:-}
work=$(mktemp -d "${TMPDIR:-/tmp}/install_test.XXXXXX") || exit 1
trap 'rm -rf "$work"' EXIT
prefix=$work/prefix

failures=0
check() { # description command...
  local what=$1; shift
  if "$@"; then printf 'ok:   %s\n' "$what"; else printf 'FAIL: %s\n' "$what"; failures=$((failures + 1)); fi
}

"$cmake" --install "$build" --prefix "$prefix" >"$work/install.log" 2>&1
check "cmake --install exits 0" test $? -eq 0 || cat "$work/install.log"

check "bin/ascent is installed and executable" test -x "$prefix/bin/ascent"
check "share/ascent/s1.dat is the bundled profile" cmp -s "$src/data/s1.dat" "$prefix/share/ascent/s1.dat"
# ascent-plot is the Python package ascent.plot: installed with the module.
if [ -n "$python" ]; then
  check "bin/ascent-plot is installed and executable" test -x "$prefix/bin/ascent-plot"
  check "the package ascent.plot is installed beside the module" \
    test -f "$prefix/$package_dir/ascent/plot/cli.py" -a -f "$prefix/$package_dir/ascent/plot/data.py"
fi
[ "$failures" -eq 0 ] || exit 1

# Both commands from the PATH, in a fresh working directory with the
# installed profile: a file-mode session, then its picture.
export PATH="$prefix/bin:$PATH"
run=$work/run
mkdir -p "$run" && cp "$prefix/share/ascent/s1.dat" "$run/"
(cd "$run" && printf 'out.txt\n40\n3\ny\n-1\n' | ascent --json out.json >/dev/null)
check "the installed ascent flies a session (exit 0)" test $? -eq 0
check "the session wrote its four data files" \
  test -s "$run/speed.dat" -a -s "$run/height.dat" -a -s "$run/accel.dat" -a -s "$run/dynpres.dat"
# The study tools in a folder with no profile fly the one the install bundles,
# and say so.
empty=$work/empty
mkdir -p "$empty"
(cd "$empty" && ascent-sweep --tt 36 --alpha 18 >"$work/sweep.csv" 2>"$work/sweep.err")
check "the installed ascent-sweep flies the bundled profile in an empty folder" test $? -eq 0
check "and names it on standard error" grep -q "flying the bundled profile $prefix/share/ascent/s1.dat" "$work/sweep.err"
check "its flight reaches the orbit as ascent's does" grep -q ',yes,ok' "$work/sweep.csv"
if [ -n "$python" ]; then
  # From another folder than the build's, with no PYTHONPATH: the launcher finds its package.
  (cd "$run" && env -u PYTHONPATH ascent-plot --help >/dev/null)
  check "the installed ascent-plot answers --help" test $? -eq 0
  (cd "$run" && env -u PYTHONPATH ascent-plot -d . -j out.json --list >"$work/list.txt" 2>/dev/null)
  check "the installed ascent-plot reads the session" grep -qx 'flights: 1' "$work/list.txt"
  (cd "$run" && env -u PYTHONPATH ascent-plot -d . -j out.json >/dev/null 2>&1)
  check "the installed ascent-plot draws flight.png" test -s "$run/flight.png"
fi

# The study commands of the user guide (docs/studies.md), as printed, from ~/flights of an installation
# in ~/.local (here a home of the test's own); the commands of the sharding
# example need the shell's $K and shards of their own.
home=$work/home
mkdir -p "$home/flights" && ln -s "$prefix" "$home/.local" && cp "$prefix/share/ascent/s1.dat" "$home/flights/"
awk '/^    (ascent|ascent-sweep|ascent-optimize|ascent-mc|ascent-plot)( |$)/ || c {
       line = c ? line " " $0 : $0; c = /\\$/
       if (c) { sub(/\\$/, "", line); next }
       if (line !~ /shard/) print line
       line = "" }' "$src/docs/studies.md" >"$work/readme_commands"
check "the user guide prints the study commands" test "$(wc -l <"$work/readme_commands")" -ge 8
while IFS= read -r command; do
  # ascent-plot runs on the Python module, which a build without it (the
  # sanitizers' build) does not install.
  case $command in "    ascent-plot"*) [ -n "$python" ] || continue ;; esac
  (cd "$home/flights" && HOME=$home bash -c "$command" >"$work/command.out" 2>&1)
  check "as printed in docs/studies.md: ${command#    }" test $? -eq 0 || tail -n 3 "$work/command.out"
done <"$work/readme_commands"

if [ -n "$python" ]; then
  site=$prefix/$package_dir
  check "the Python package is installed under $package_dir" test -f "$site/ascent/__init__.py"
  # The installed module, not the build tree's, flies the session above again.
  (cd "$run" && PYTHONPATH=$site "$python" -c '
import sys, ascent
assert ascent.__file__.startswith(sys.argv[1]), ascent.__file__
f = ascent.fly(40, 3, output=True)
sys.exit(0 if f.output == open("out.txt", "rb").read() else 1)' "$site")
  check "the installed Python module flies as the installed ascent" test $? -eq 0
fi

[ "$failures" -eq 0 ] || { echo "$failures check(s) failed"; exit 1; }
echo "all checks passed"
