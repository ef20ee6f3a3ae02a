#!/usr/bin/env bash
# Every file two builds of ascent write, compared byte for byte: each bundled
# vehicle under each integrator and event setting, file, console and iterate
# sessions, --utf8, --json and --trajectory, and the sessions of the fuzz
# corpus. A change to how numbers are written must leave them all equal.
#
#   bench/compare_outputs.sh OLD_BUILD NEW_BUILD [SOURCE_DIR]
#
# Prints one line per difference and a count; exits 1 when anything differs.
set -u
old=$(cd "$1" && pwd)
new=$(cd "$2" && pwd)
src=$(cd "${3:-$(dirname "$0")/..}" && pwd)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

# The vehicles: the built-in one as printed, and each bundled description,
# each as given and with sub-steps, the adaptive integrator, located events
# and both; a description names its booster profile beside itself.
mkdir -p "$work/vehicles"
"$new/ascent" --print-vehicle > "$work/vehicles/builtin.toml"
cp "$src"/vehicles/*.toml "$src"/vehicles/*.dat "$work/vehicles/"
cp "$src/data/s1.dat" "$work/vehicles/"
vehicles=("")
for v in builtin orvalon5 orvalon5_guided tarvos3 tarvos3_guided; do
  base="$work/vehicles/$v.toml"
  vehicles+=("$base")
  for variant in "substeps = 4" 'integrator = "adaptive"' 'events = "located"' \
                 $'integrator = "adaptive"\nevents = "located"'; do
    f="$work/vehicles/$v-$(printf '%s' "$variant" | tr -dc 'a-z0-9' | cut -c1-24).toml"
    { cat "$base"; printf '\n[numerics]\n%s\n' "$variant"; } > "$f"
    vehicles+=("$f")
  done
done

answers=(
  'out.txt\n36\n18\ny\n-1\n' 'out.txt\n40\n18\ny\n-1\n' 'out.txt\n40\n4.5\nn\n-1\n'
  'out.txt\n36\n18\ny\n20\n25\nn\n20\n0\ny\n-1\n' 'out\n10\n5\n\n-1\n' 'out\n10\n-5\ny\n-1\n'
  'out\n2\n90\ny\n-1\n' 'out\n130\n2\ny\n-1\n' 'out\n1e6\n18\ny\n-1\n' 'out\n80\n3\ny\n-1\n'
  '\n36\n18\ny\n-1\n' '\n10\n3\ny\n-1\n' '\n60\n14\ny\n-1\n' '\n2\n45\nn\n-1\n' '\n20\n13\nn\n-1\n'
  'i\n20\n25\ny\n-1\n' 'i\n5\n3\ny\n-1\n' 'i\n90\n18\ny\n-1\n' 'i\n10\n3\ny\n-1\n'
)
options=("" "--utf8" "--json flight.json" "--trajectory flight.oem" "--trajectory flight.czml" \
         "--utf8 --trajectory flight.kml --json flight.json")

runs=0
differ=0
# Runs one session with both builds in fresh folders and compares every file
# written, standard output and the exit code.
compare() {  # answers-file profile-file vehicle options...
  local ans=$1 profile=$2 vehicle=$3
  shift 3
  local args=("$@")
  [ -n "$vehicle" ] && args=(--vehicle "$vehicle" "${args[@]}")
  for which in old new; do
    local dir="$work/run/$which"
    rm -rf "$dir" && mkdir -p "$dir"
    cp "$profile" "$dir/s1.dat"
    local bin=$old
    [ "$which" = new ] && bin=$new
    (cd "$dir" && "$bin/ascent" "${args[@]}" < "$ans" > stdout.bin 2> stderr.bin; echo $? > status)
  done
  runs=$((runs + 1))
  if ! diff -r -q "$work/run/old" "$work/run/new" > /dev/null; then
    differ=$((differ + 1))
    echo "DIFFERS: ${vehicle:-built-in} ${args[*]} answers $(od -c "$ans" | head -2 | tr -s ' ' | tr '\n' ' ')"
    diff -r -q "$work/run/old" "$work/run/new" | head -5
  fi
}

for v in "${vehicles[@]}"; do
  for a in "${answers[@]}"; do
    printf "$a" > "$work/answers"
    for o in "${options[@]}"; do
      # shellcheck disable=SC2086
      compare "$work/answers" "$src/data/s1.dat" "$v" $o
    done
  done
done

# The fuzz corpus: the answers before the first NUL, the profile after it;
# flown under each integrator and event setting of the built-in vehicle.
for c in "$src"/fuzz/corpus/session/*; do
  python3 - "$c" "$work/answers" "$work/profile" <<'PY'
import sys
data = open(sys.argv[1], "rb").read()
answers, _, profile = data.partition(b"\0")
open(sys.argv[2], "wb").write(answers)
open(sys.argv[3], "wb").write(profile if _ else b"")
PY
  [ -s "$work/profile" ] || cp "$src/data/s1.dat" "$work/profile"
  for v in "" "$work"/vehicles/builtin*.toml; do
    compare "$work/answers" "$work/profile" "$v"
    compare "$work/answers" "$work/profile" "$v" --utf8 --json flight.json
  done
done

echo "$runs sessions compared, $differ differ"
[ "$differ" -eq 0 ]
