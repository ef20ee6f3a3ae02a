#!/usr/bin/env bash
# The plot tool (tools/plot, installed as ascent-plot) on a real file-mode
# session and on small hand-made sessions whose flights and events are known.
#
# Usage: plot_test.sh ASCENT PLOT_TOOL PROFILE [VERSION [ASCENT_MC]]
# (VERSION: the project's version, which --version must give; ASCENT_MC: the
# dispersion study, whose sensitivities are drawn)
# Exit 0 when every check passes, 1 on a failure, 77 (skipped) when gnuplot is
# not installed: the checks that need no drawing run first all the same.
set -u
export LC_ALL=C

if [ $# -lt 3 ] || [ $# -gt 5 ]; then echo "usage: $0 ASCENT PLOT_TOOL PROFILE [VERSION [ASCENT_MC]]" >&2; exit 1; fi
ascent=$(realpath "$1") plot=$(realpath "$2") profile=$(realpath "$3") version=${4:-} ascent_mc=${5:+$(realpath "$5")}
work=$(mktemp -d "${TMPDIR:-/tmp}/plot_test.XXXXXX") || exit 1
trap 'rm -rf "$work"' EXIT

failures=0
fail() { printf 'FAIL: %s\n' "$1"; failures=$((failures + 1)); }
pass() { printf 'ok:   %s\n' "$1"; }
check() { # description command...
  local what=$1; shift
  if "$@"; then pass "$what"; else fail "$what"; fi
}

# Width and height from the PNG's IHDR chunk (bytes 16 to 23, big-endian),
# after checking the eight-byte PNG signature.
png_size() {
  local sig
  sig=$(od -An -tu1 -N8 "$1" | tr -s ' ' | sed 's/^ //;s/ $//')
  [ "$sig" = "137 80 78 71 13 10 26 10" ] || { echo "not-a-png"; return; }
  od -An -tu1 -j16 -N8 "$1" | awk '{ printf "%dx%d", (($1 * 256 + $2) * 256 + $3) * 256 + $4, (($5 * 256 + $6) * 256 + $7) * 256 + $8 }'
}

# A line of a data file: t in 7 characters with 2 decimals, then the value.
data_line() { printf '%7.2f%9.3f\r\n' "$1" "$2"; }

# ------------------------------------------------------------------ a real session
real=$work/real
mkdir -p "$real" && cp "$profile" "$real/s1.dat"
(cd "$real" && printf 'out.txt\n40\n3\ny\n-1\n' | "$ascent" >/dev/null)
check "ascent ran the session (exit 0)" test $? -eq 0
for f in speed height accel dynpres; do
  check "session wrote $f.dat" test -s "$real/$f.dat"
done
[ "$failures" -eq 0 ] || { echo "no session to draw: stopping here"; exit 1; }

# ------------------------------------------------------------------ flights and events
# Flight 1 steps back once by a search (7.92 -> 6.93) and once by a trim of
# more than 5 s (14.00 -> 8.60); flight 2 starts again at 0.99 s. The points a
# step back leaves behind are dropped: flight 1 keeps 0.99 to 5.94 (6 points),
# 6.93, 7.03, 7.13, 7.23, 8.50, 8.60, 9.60 and 650.55, 14 in all. Each flight
# ends on the time of its last table line in main.txt, as ascent's do.
hand=$work/hand
mkdir -p "$hand"
times1='0.99 1.98 2.97 3.96 4.95 5.94 6.93 7.92 6.93 7.03 7.13 7.23 8.50 10.00 12.00 14.00 8.60 9.60 650.55'
times2='0.99 1.98 2.97 3.50 481.00'
for f in speed height accel dynpres; do
  for t in $times1 $times2; do data_line "$t" 1.5; done >"$hand/$f.dat"
done
{
  printf '\r\n   t      a     vi     h0\r\n  sec\r\n------\r\n'
  printf 'Turn time (s)? 40.000\r\n'
  printf '   0.00   9.8   283       0\r\n'
  printf '   7.12  16.1   286     110\r\n'
  printf 'Pitch over!\r\n'
  printf '   7.89  16.2   286     139\r\n'
  printf '  47.90  18.0   700    9000\r\n'
  printf 'End turn.\r\n'
  printf ' 130.20   8.4  2059   34728\r\n'
  printf 'Booster seperation! Residual booster propellant = 2722 kg.\r\n'
  printf 'Maximum angle of attack (degrees)?  3.000\r\n'
  printf ' 330.00   0.0   465   21531\r\n'
  printf 'PLF Jettison!\r\n'
  printf ' 445.47  39.2  4510  238743\r\n'
  printf 'Maximum acceleration reached!\r\n'
  printf ' 470.10  39.2  5510  238743\r\n'
  printf 'Engine 1 cutoff!\r\n'
  printf ' 475.20  39.2  5910  238743\r\n'
  printf 'Engine 2 cutoff!\r\n'
  printf ' 480.00  29.2  6010  238743\r\n'
  printf ' 470.00  29.2  5810  238743\r\n'
  printf 'Core Engine Cutoff!\r\n'
  printf ' 470.76   0.0  5810  238743\r\n'
  printf 'Core Separation! Vacuum and zero gravity delta-V = 8010.2 m/s\r\n'
  printf 'Perigee = -100.0 km, Apogee = 398.6 km, Average Altitude = 149.3\xb1249.3 km\r\n'
  printf '\r\nRecommended tt = 38.5000 s\r\n\r\n'
  printf ' 600.00   0.0  7300  390000\r\n'
  printf 'Perigee = 200.0 km, Apogee = 398.6 km, Average Altitude = 299.3\xb199.3 km\r\n'
  printf 'AJ10-190 ignition!\r\n'
  printf ' 650.55   3.0  7600  398000\r\n'
  printf 'AJ10-190 cutoff!\r\n'
  printf 'Vacuum and zero gravity delta-V = 300.0 m/s\r\n'
  printf 'Turn time (s)?  0.500\r\n'
  printf 'Error! Turn time must be greater than one second.\r\n'
  printf 'Turn time (s)? 45.500\r\n'
  printf '   0.00   9.8   283       0\r\n'
  printf '   7.10  16.1   286     110\r\n'
  printf 'Pitch over!\r\n'
  printf ' 130.20   8.4  2059   34728\r\n'
  printf 'Booster seperation! Residual booster propellant = 2700 kg.\r\n'
  printf 'Maximum angle of attack (degrees)?  2.500\r\n'
  printf ' 481.00   0.0  5810  238743\r\n'
  printf 'Core Separation! Vacuum and zero gravity delta-V = 8010.2 m/s\r\n'
  printf 'AJ10-190 cutoff!\r\n'
  printf 'Turn time (s)? -1.000\r\n'
} >"$hand/main.txt"

cat >"$work/expected_list.txt" <<'EOF'
flights: 2
flight 1: turn time 40 s, angle limit 3°; 14 points from 0.99 s to 650.55 s
flight 2: turn time 45.5 s, angle limit 2.5°; 5 points from 0.99 s to 481.00 s
events: 12
flight 1      7.12 s  pitch-over
flight 1    130.20 s  booster separation
flight 1    330.00 s  fairing jettison
flight 1    445.47 s  maximum acceleration
flight 1    470.10 s  engine 1 cut-off
flight 1    475.20 s  engine 2 cut-off
flight 1    470.00 s  core cut-off
flight 1    600.00 s  AJ10-190 ignition
flight 1    650.55 s  AJ10-190 cut-off
flight 2      7.10 s  pitch-over
flight 2    130.20 s  booster separation
flight 2    481.00 s  AJ10-190 cut-off
EOF
"$plot" -d "$hand" -m main.txt --list >"$work/list.txt" 2>"$work/list.err"
check "--list on the hand-made session exits 0" test $? -eq 0
if cmp -s "$work/expected_list.txt" "$work/list.txt"; then
  pass "flights cut where time falls back to the pad, searches dropped, events timed by the table line before"
else
  fail "flights and events of the hand-made session"; diff "$work/expected_list.txt" "$work/list.txt"
fi

# The real session: one flight, and as many events as the main output has
# event messages (counted here with grep, independently of the tool).
"$plot" -d "$real" -m out.txt --list >"$work/real_list.txt" 2>"$work/real_list.err"
check "--list on the real session exits 0" test $? -eq 0
check "the real session is one flight" grep -qx 'flights: 1' "$work/real_list.txt"
check "the real flight carries its turn time and angle limit" \
  grep -q '^flight 1: turn time 40 s, angle limit 3°' "$work/real_list.txt"
messages=$(grep -a -c -E $'^(Pitch over!|Booster seperation!|PLF Jettison!|Maximum acceleration reached!|Engine [0-9]+ cutoff!|Core Engine Cutoff!|AJ10-190 ignition!|AJ10-190 cutoff!)' "$real/out.txt")
# A message after a table line whose time is not a finite number cannot be
# placed; the tool must say so rather than drop it silently.
listed=$(sed -n 's/^events: //p' "$work/real_list.txt")
untimed=$(grep -c 'has no table line with a time before it' "$work/real_list.err")
check "every event message of the real session is found ($messages: $listed listed, $untimed untimed)" \
  test "$((listed + untimed))" -eq "$messages"

# A vehicle whose upper stage has an engine of another name: its ignition and
# cut-off are found under that name, the one its description gives.
tarvos=$(dirname "$(dirname "$profile")")/vehicles/tarvos3.toml
engine=$(sed -n 's/^engine = "\(.*\)"$/\1/p' "$tarvos")
mkdir -p "$work/tarvos"
(cd "$work/tarvos" && printf 'out.txt\n40\n18\ny\n-1\n' | "$ascent" --vehicle "$tarvos" >/dev/null 2>&1)
"$plot" -d "$work/tarvos" -m "$work/tarvos/out.txt" --list >"$work/tarvos_list.txt" 2>&1
check "the second vehicle's upper-stage events carry its engine's name ($engine)" \
  test -n "$engine" -a "$(grep -c -E "s  $engine (ignition|cut-off)\$" "$work/tarvos_list.txt")" -eq 2

# ------------------------------------------------------------------ bad input
bad=$work/bad
refused() { # description expected-stderr-pattern command...
  local what=$1 pattern=$2; shift 2
  "$@" >"$work/out.txt" 2>"$work/err.txt"
  local rc=$?
  if [ "$rc" -ne 0 ] && grep -q -- "$pattern" "$work/err.txt"; then
    pass "$what (exit $rc)"
  else
    fail "$what: exit $rc, stderr: $(cat "$work/err.txt")"
  fi
}
reset_bad() { rm -rf "$bad"; mkdir -p "$bad"; cp "$real"/*.dat "$real/out.txt" "$bad/"; }

reset_bad; rm "$bad/height.dat"
refused "a missing data file is refused" "height.dat: no such file" "$plot" -d "$bad" -o "$bad/x.png"
check "no picture after a missing data file" test ! -e "$bad/x.png"
reset_bad; : >"$bad/accel.dat"
refused "an empty data file is refused" "accel.dat: the file is empty" "$plot" -d "$bad" -o "$bad/x.png"
check "no picture after an empty data file" test ! -e "$bad/x.png"
reset_bad; printf 'no numbers here\r\n' >"$bad/dynpres.dat"
refused "a data file without a data line is refused" "dynpres.dat: no line" "$plot" -d "$bad" -o "$bad/x.png"
reset_bad
refused "a missing main output file is refused" "nothere.txt: no such file" "$plot" -d "$bad" -m nothere.txt
# The main output of one flight beside the data files of another (ascent at
# turn time 36 s and at 20 s, each in its own folder) would mark the events of
# one on the curves of the other: refused in one line naming both files, the
# input's exit code; each main output with its own data files is drawn below.
for tt in 36 20; do
  mkdir -p "$work/tt$tt" && cp "$profile" "$work/tt$tt/s1.dat"
  (cd "$work/tt$tt" && printf 'out.txt\n%s\n18\ny\n-1\n' "$tt" | "$ascent" >/dev/null)
done
"$plot" -d "$work/tt20" -m "$work/tt36/out.txt" -o "$work/mixed.png" >"$work/out.txt" 2>"$work/err.txt"
rc=$?
check "a main output at 36 s beside data files at 20 s is refused (exit $rc), one line naming both" \
  test "$rc" -eq 1 -a "$(wc -l <"$work/err.txt")" -eq 1 -a "$(grep -c 'tt36/out.txt.*tt20/speed.dat' "$work/err.txt")" -eq 1
check "no picture of the mixed session" test ! -e "$work/mixed.png"
"$plot" -d "$work/tt36" -m "$work/tt20/out.txt" --list >/dev/null 2>&1
check "and the other way round (exit $?)" test $? -eq 1
refused "a missing directory is refused" "no such directory" "$plot" -d "$work/none"
"$plot" --frobnicate >/dev/null 2>&1
check "an unknown option is a usage error (exit 64)" test $? -eq 64
"$plot" -d "$bad" --svg -o "$bad/x.png" >/dev/null 2>&1
check "--svg with a .png name is a usage error (exit 64)" test $? -eq 64
"$plot" --size 12 >/dev/null 2>&1
check "a malformed --size is a usage error (exit 64)" test $? -eq 64
"$plot" --help >"$work/help.txt" 2>&1
check "--help exits 0 and names the options" grep -q -- '--sweep FILE' "$work/help.txt"

# Sweep CSVs by hand: SC_M = 5000 - 3 (tt - 41)^2 - 50 (alpha - 3.5)^2 on a
# grid, largest at tt = 41 s, alpha = 3.5 deg; two rows missed their targets,
# one of them with a larger number in SC_M that must not count as best.
{
  printf 'tt,alpha,tt_recommended,SC_M,reached,status\r\n'
  for tt in 38 39 40 41 42 43 44; do
    for al in 2 2.5 3 3.5 4 4.5 5; do
      awk -v t="$tt" -v a="$al" 'BEGIN { printf "%s,%s,%s,%.0f,yes,ok\r\n", t, a, t, 5000 - 3 * (t - 41)^2 - 50 * (a - 3.5)^2 }'
    done
  done
  printf '45,2,45,9999,no,ok\r\n'
  printf '45,2.5,,,no,"error 100: s1.dat: unexpected end, line 12"\r\n'
} >"$work/grid.csv"
{
  printf 'tt,alpha,SC_M,reached\n'
  for tt in 30 32 34 36 38 40; do printf '%s,3,%s,yes\n' "$tt" $((4000 + 10 * tt)); done
} >"$work/line.csv"
printf 'tt,alpha,S3_Mt\n40,3,100\n' >"$work/nosc.csv"
refused "a sweep CSV without an SC_M column is refused" "SC_M" "$plot" --sweep "$work/nosc.csv"
refused "a missing sweep CSV is refused" "no such file" "$plot" --sweep "$work/none.csv"

# ------------------------------------------------------------------ conventions
if [ -n "$version" ]; then
  "$plot" --version >"$work/version.txt" 2>&1
  check "--version exits 0 and says ascent-plot $version (the project's version)" \
    test "$?" -eq 0 -a "$(cat "$work/version.txt")" = "ascent-plot $version"
fi
usage64() { # description args...
  local what=$1; shift
  "$plot" "$@" >"$work/out.txt" 2>"$work/err.txt"
  local rc=$?
  if [ "$rc" -eq 64 ] && [ -s "$work/err.txt" ]; then pass "$what (exit 64)"
  else fail "$what: exit $rc, stderr: $(cat "$work/err.txt")"; fi
}
usage64 "a picture named for another format is a usage error" -d "$real" -o "$work/x.jpg"
usage64 "a bad --target is a usage error" --mc "$work/grid.csv" --target 39x
usage64 "a zero --tolerance is a usage error" --mc "$work/grid.csv" --tolerance 0
usage64 "--sensitivity without --mc is a usage error" -d "$real" --sensitivity "$work/grid.csv"
usage64 "--mc with --opt is a usage error" --mc "$work/grid.csv" --opt "$work/grid.csv"

# ------------------------------------------------------------------ names that must stay names
# awk takes an operand like tt=36 for an assignment, and gnuplot runs what a
# backquote or a line starting with ! holds: a session folder called tt=36
# with a main output run=1.txt is read like any other, a line break in a
# name or a title is refused before anything is read, and no command hidden
# in a name is ever run (the file x never appears).
odd=$work/odd
mkdir -p "$odd/tt=36"
cp "$hand"/*.dat "$odd/tt=36/" && cp "$hand/main.txt" "$odd/tt=36/run=1.txt"
(cd "$odd" && "$plot" -d tt=36 -m run=1.txt --list) </dev/null >"$work/odd_list.txt" 2>&1
if cmp -s "$work/expected_list.txt" "$work/odd_list.txt"; then
  pass "a folder tt=36 and a main output run=1.txt are files, not awk assignments"
else
  fail "folder tt=36, main output run=1.txt"; diff "$work/expected_list.txt" "$work/odd_list.txt"
fi
cp "$work/grid.csv" "$odd/tt=36.csv"
cp "$work/grid.csv" "$odd/tt=36"
# shellcheck disable=SC2016
for t in $'flight\n!touch x' $'flight\r!touch x'; do
  (cd "$odd" && "$plot" -d tt=36 -t "$t" --list) </dev/null >"$work/out.txt" 2>"$work/err.txt"
  check "a title with a line break (CR or LF) is refused (exit 64)" \
    test "$?" -eq 64 -a "$(grep -c 'line break' "$work/err.txt")" -eq 1
done
mkdir -p "$odd/"$'d\n!touch x'
(cd "$odd" && "$plot" -d $'d\n!touch x' --list) </dev/null >/dev/null 2>&1
check "a folder name with a line break is refused (exit 64)" test $? -eq 64
(cd "$odd" && "$plot" --sweep $'s\n!touch x.csv') </dev/null >/dev/null 2>&1
check "a CSV name with a line break is refused (exit 64)" test $? -eq 64

# ------------------------------------------------------------------ an optimisation
# Six flights in evaluation order; flight 4 has the largest SC_M but missed,
# so the best is flight 5 (96741 kg at 33.8 s, 17.6 deg). The free key
# plan.acceleration_limit follows the status column.
opt_head='tt,alpha,tt_recommended,hp_core_km,ha_core_km,core_propellant_left_kg,s3_propellant_used_kg,hp_final_km,ha_final_km,S3_Mi,S3_Mp,S3_Ms,SC_M,S3_Mt,max_q_Pa,max_accel_ms2,reached,status,plan.acceleration_limit'
{
  printf '%s\r\n' "$opt_head"
  printf '40,18,38.5,100,398,4000,2600,393.9,399.0,1229,2640,1158,96500,101687,39298,39.23,yes,ok,39.23\r\n'
  printf '20,5,21,-6378,-6378,114580,nan,nan,nan,2291,nan,nan,nan,211667,176919,39.23,no,ok,39.5\r\n'
  printf '36,18,36.1,102,398.6,4600,2640,393.9,399.0,1229,2640,1158,96660,101687,39298,39.23,yes,ok,39.3\r\n'
  printf '45,18,44,90,398,5000,2500,227.9,398.0,1229,2640,1158,97000,101687,39298,39.23,no,ok,39.4\r\n'
  printf '33.8,17.6,33.9,101,398.6,4650,2640,388.8,399.1,1229,2640,1158,96741,101687,39298,39.23,yes,ok,39.1\r\n'
  printf '34,17.7,34.1,101,398.6,4640,2640,389.1,399.0,1229,2640,1158,96730,101687,39298,39.23,yes,"ok",39.2\r\n'
} >"$work/opt.csv"
cat >"$work/expected_opt.txt" <<'EOF'
flights: 6 (4 reached the target, 2 missed)
best: flight 5: SC_M 96741 kg at turn time 33.8 s, angle limit 17.6°
best orbit: perigee 388.8 km, apogee 399.1 km
best core propellant left: 4650 kg
best free keys: plan.acceleration_limit = 39.1
turn time 20 to 45 s, angle limit 5 to 18°
EOF
cp "$work/opt.csv" "$odd/run=1.csv"
(cd "$odd" && "$plot" --opt run=1.csv --list) </dev/null >"$work/opt_list.txt" 2>&1
if cmp -s "$work/expected_opt.txt" "$work/opt_list.txt"; then
  pass "--opt --list: counts, the best reached flight (not the larger miss), its orbit and free key"
else
  fail "--opt --list"; diff "$work/expected_opt.txt" "$work/opt_list.txt"
fi
{ printf '%s\n' "$opt_head"; printf '20,5,21,-6378,-6378,114580,nan,nan,nan,2291,nan,nan,nan,211667,176919,39.23,no,ok,39.5\n'; } >"$work/opt_none.csv"
"$plot" --opt "$work/opt_none.csv" --list >"$work/out.txt" 2>&1
check "--opt with no flight on target says so" grep -qx 'best: none (no flight reached the target)' "$work/out.txt"
printf 'tt,alpha,SC_M\n40,3,100\n' >"$work/opt_bad.csv"
refused "an optimisation CSV without a reached column is refused" "reached" "$plot" --opt "$work/opt_bad.csv" --list

# ------------------------------------------------------------------ a Monte Carlo study
# Six runs, hand-computed: SC_M of runs 1-5 (96600, 96700, 96500, 96800,
# 96400) has mean 96600 and standard deviation sqrt(100000 / 4) = 158.1;
# perigees 395, 392, 398.6, 380, 389: mean 390.92, sum of squares 199.728,
# sd sqrt(49.932) = 7.07; apogees 401, 405, 398.6, 402, 408: mean 402.92, sd
# sqrt(53.328 / 4) = 3.65. In the box 398.6 +- 10: runs 1, 2, 3 and 5; in
# 395 +- 5 only run 3. Run 6 failed: no numbers, counted as a run.
{
  printf 'run,core.exhaust_speed,profile.thrust_scale,air.density_scale,reached,SC_M,hp_final_km,ha_final_km,core_propellant_left_kg,max_q_Pa,max_accel_ms2,status\r\n'
  printf '1,4420.8,1.01,0.98,yes,96600,395,401,4600,39000,39.23,ok\r\n'
  printf '2,4415.1,0.99,1.02,yes,96700,392,405,4700,38800,39.23,ok\r\n'
  printf '3,4425.0,1.00,1.00,yes,96500,398.6,398.6,4500,39100,39.23,ok\r\n'
  printf '4,4401.2,0.97,1.05,no,96800,380,402,4800,38000,39.23,ok\r\n'
  printf '5,4430.9,1.03,0.95,yes,96400,389,408,4400,40000,39.23,ok\r\n'
  printf '6,4380.0,0.95,1.10,no,nan,nan,nan,-200,41000,39.23,"error 100: s1.dat: unexpected end, line 12"\r\n'
} >"$work/runs.csv"
# Sensitivities from a nominal 96600 kg, in the order of ascent-mc's table (a
# flight that stopped first, then the largest swing of SC_M): the changes low
# / high are stopped / -100 (fairing.jettison_time), +100 / -500 of a flight
# that missed the orbit (core.dry_mass), -300 / +250, -100 / +80, +40 / -60.
# Kept in that order, not ranked again by the largest change.
cat >"$work/sens.csv" <<'EOF'
key,low,high,SC_M_low,SC_M_high,hp_final_km_low,hp_final_km_high,ha_final_km_low,ha_final_km_high,reached_low,reached_high
nominal,,,96600,96600,398,398,400,400,yes,yes
fairing.jettison_time,80,580,,96500,,397,,400,no,yes
core.dry_mass,5500,5700,96700,96100,398,370,401,399,yes,no
core.exhaust_speed,4400,4440,96300,96850,396,399,400,401,yes,yes
profile.thrust_scale,0.97,1.03,96500,96680,397,398,399,400,yes,yes
air.density_scale,0.9,1.1,96640,96540,398,397,400,400,yes,yes
EOF
cat >"$work/expected_mc.txt" <<'EOF'
runs: 6 (4 reached the target, 2 missed)
dispersed: core.exhaust_speed, profile.thrust_scale, air.density_scale
SC_M (kg): 5 values, mean 96600.0, standard deviation 158.1, min 96400, max 96800
final perigee (km): 5 values, mean 390.9, standard deviation 7.1, min 380, max 398.6
final apogee (km): 5 values, mean 402.9, standard deviation 3.7, min 398.6, max 408
in the target box (398.6 ± 10 km): 4 of 6
sensitivity of SC_M to each quantity at its low / high value (kg, from the nominal 96600 kg):
  fairing.jettison_time: stopped / -100
  core.dry_mass: +100 / miss (-500)
  core.exhaust_speed: -300 / +250
  profile.thrust_scale: -100 / +80
  air.density_scale: +40 / -60
EOF
cp "$work/runs.csv" "$odd/run=1.txt"
(cd "$odd" && "$plot" --mc run=1.txt --sensitivity "$work/sens.csv" --list) </dev/null >"$work/mc_list.txt" 2>&1
if cmp -s "$work/expected_mc.txt" "$work/mc_list.txt"; then
  pass "--mc --list: counts, mean, spread and extremes, the target box, the sensitivities in the table's order, a miss and a stop said"
else
  fail "--mc --list"; diff "$work/expected_mc.txt" "$work/mc_list.txt"
fi
"$plot" --mc "$work/runs.csv" --target 395 --tolerance 5 --list >"$work/out.txt" 2>&1
check "--target and --tolerance move the box (one run in 395 ± 5 km)" \
  grep -qx 'in the target box (395 ± 5 km): 1 of 6' "$work/out.txt"
# A study whose first line names its target (another vehicle's, 395 km):
# the box is drawn there without --target.
{ printf '# ascent-mc study: seed=1 runs=6 shard=1/1 target_apogee_altitude_m=395000\r\n'; cat "$work/runs.csv"; } \
  >"$work/runs395.csv"
"$plot" --mc "$work/runs395.csv" --tolerance 5 --list >"$work/out.txt" 2>&1
check "the study's own target places the box (one run in 395 ± 5 km)" \
  grep -qx 'in the target box (395 ± 5 km): 1 of 6' "$work/out.txt"
# 300 runs, one of which fell back (perigee -6000 km): the axes span the
# middle 99 % (rank 2 to 299 of the sorted perigees), the wild run counted.
{
  echo 'run,reached,SC_M,hp_final_km,ha_final_km,core_propellant_left_kg,max_q_Pa,max_accel_ms2,status'
  for i in $(seq 1 300); do
    if [ "$i" = 150 ]; then hp=-6000; else hp=$((390 + i % 10)); fi
    echo "$i,yes,$((96000 + i)),$hp,401,4000,39000,39.23,ok"
  done
} >"$work/wild.csv"
"$plot" --mc "$work/wild.csv" --list >"$work/out.txt" 2>&1
check "a run far off is left out of the drawn range and counted" \
  grep -qx '  1 of them outside the drawn range 390 to 399' "$work/out.txt"

# Columns are found by name: the same runs with the columns in another order
# give the same summary.
head -n 6 "$work/runs.csv" | tr -d '\r' | awk -F, -v OFS=, '{ print $6, $1, $8, $5, $7, $2, $3, $4, $9, $10, $11 }' >"$work/runs_perm.csv"
printf 'nan,6,nan,no,nan,4380.0,0.95,1.10,-200,41000,39.23\n' >>"$work/runs_perm.csv"
"$plot" --mc "$work/runs_perm.csv" --list >"$work/out.txt" 2>&1
sed '/^dispersed/d' "$work/out.txt" >"$work/perm_list.txt"
head -n 6 "$work/expected_mc.txt" | sed '/^dispersed/d' >"$work/expected_perm.txt"
if cmp -s "$work/expected_perm.txt" "$work/perm_list.txt"; then
  pass "--mc finds its columns by name, whatever their order"
else
  fail "--mc with the columns in another order"; diff "$work/expected_perm.txt" "$work/perm_list.txt"
fi
sed '/^nominal/d' "$work/sens.csv" >"$work/sens_nonom.csv"
refused "a sensitivities CSV without its nominal row is refused" "nominal" \
  "$plot" --mc "$work/runs.csv" --sensitivity "$work/sens_nonom.csv" --list
sed '1s/SC_M/mass/' "$work/runs.csv" >"$work/runs_nosc.csv"
refused "a runs CSV without an SC_M column is refused" "SC_M" "$plot" --mc "$work/runs_nosc.csv" --list

# The sensitivities of a real study: the fairing jettisoned at 80 s, before
# the boosters separate, is a vehicle refused (the flight stops); a core stage
# 0.5 % heavier ends on an orbit of 374.8 x 408.4 km, out of the 10 km the
# target allows; boosters 1.5 % weaker fall back. Those ends carry no payload
# to the orbit: the CSV says so in reached_low and reached_high (its last two
# columns), and the tool lists them as stopped or miss, in the CSV's order.
if [ -n "$ascent_mc" ]; then
  study=$work/study
  mkdir -p "$study" && cp "$profile" "$study/s1.dat"
  cat >"$study/d.toml" <<'EOF'
[[dispersion]]
key = "fairing.jettison_time"
distribution = "uniform"
half_width = 250
relative = false
[[dispersion]]
key = "profile.thrust_scale"
distribution = "normal"
three_sigma = 0.015
[[dispersion]]
key = "core.dry_mass"
distribution = "normal"
three_sigma = 0.005
relative = true
[[dispersion]]
key = "upper.thrust"
distribution = "normal"
three_sigma = 0.01
relative = true
EOF
  (cd "$study" && "$ascent_mc" --runs 4 --tt 36 --alpha 18 --dispersions d.toml -o runs.csv --sensitivity sens.csv >/dev/null)
  check "ascent-mc flew the study and its sensitivities (exit $?)" test -s "$study/sens.csv"
  check "the sensitivities CSV ends each row with reached_low,reached_high" \
    grep -q ',reached_low,reached_high.$' "$study/sens.csv"
  # What the list must say of each end, read from the CSV by column name: no
  # SC_M stopped, reached no a miss, else the change from the nominal. An
  # end whose orbit lies out of 398.6 +- 10 km can never count as reached.
  tr -d '\r' <"$study/sens.csv" | awk -F, '
    NR == 1 { for (i = 1; i <= NF; i++) c[$i] = i; next }
    $1 == "nominal" { nom = $(c["SC_M_low"]); next }
    function end_of(sc, r, hp, ha) {
      if (hp != "" && (hp < 388.6 || hp > 408.6 || ha < 388.6 || ha > 408.6) && r != "no") out = 1
      if (sc == "") return "stopped"
      if (r == "no") return sc ~ /^-?[0-9]+$/ ? sprintf("miss (%+d)", sc - nom) : "miss"
      return sprintf("%+d", sc - nom)
    }
    { printf "  %s: %s / %s\n", $1, end_of($(c["SC_M_low"]), $(c["reached_low"]), $(c["hp_final_km_low"]), $(c["ha_final_km_low"])),
        end_of($(c["SC_M_high"]), $(c["reached_high"]), $(c["hp_final_km_high"]), $(c["ha_final_km_high"])) }
    END { if (out) print "an orbit out of the target box counted as reached" }' >"$work/study_expected.txt"
  "$plot" --mc "$study/runs.csv" --sensitivity "$study/sens.csv" --list 2>&1 | sed '1,/^sensitivity of SC_M/d' >"$work/study_list.txt"
  if cmp -s "$work/study_expected.txt" "$work/study_list.txt"; then
    pass "a real study's sensitivities: listed in the CSV's order, its stop and misses said"
  else
    fail "a real study's sensitivities"; diff "$work/study_expected.txt" "$work/study_list.txt"
  fi
  check "the real study has a stopped end and a miss inside the CSV's own orbit columns" \
    test "$(grep -c -e 'stopped' -e 'miss (' "$work/study_list.txt")" -ge 2
fi

# ------------------------------------------------------------------ pictures
if ! command -v gnuplot >/dev/null 2>&1; then
  echo "gnuplot is not installed: the drawing checks are skipped"
  [ "$failures" -eq 0 ] || exit 1
  exit 77
fi

"$plot" -d "$real" -m out.txt >"$work/draw.txt" 2>"$work/draw.err"
check "drawing the real session exits 0" test $? -eq 0
check "default picture is DIR/flight.png" test -s "$real/flight.png"
size=$(png_size "$real/flight.png")
check "default PNG is 1000x1200 pixels (got $size)" test "$size" = 1000x1200

"$plot" -d "$real" -m "$real/out.txt" -o "$work/small.png" --size 640x800 >/dev/null 2>&1
size=$(png_size "$work/small.png")
check "--size 640x800 gives a 640x800 PNG (got $size)" test "$size" = 640x800

# A picture named by a link is written through the link, which stays a link.
ln -s small.png "$work/linked.png"
"$plot" -d "$real" -m "$real/out.txt" -o "$work/linked.png" --size 700x900 >/dev/null 2>&1
check "a picture named by a link leaves the link in place" test -L "$work/linked.png"
size=$(png_size "$work/small.png")
check "the link's target holds the new picture (got $size)" test "$size" = 700x900

"$plot" -d "$real" -m out.txt --svg >/dev/null 2>&1
check "--svg writes DIR/flight.svg" test -s "$real/flight.svg"
check "the SVG is 1000x1200" grep -q 'width="1000" height="1200"' "$real/flight.svg"
for text in 'inertial speed (km/s)' 'altitude (km)' 'thrust acceleration (m/s²)' 'dynamic pressure (kPa)' \
            'time (s)' 'pitch-over' 'booster separation' 'fairing jettison'; do
  check "the SVG shows '$text'" grep -qF "$text" "$real/flight.svg"
done
"$plot" -d "$real" -o "$work/named.svg" >/dev/null 2>&1
check "an output name ending in .svg gives SVG" grep -q '<svg' "$work/named.svg"

for tt in 36 20; do
  "$plot" -d "$work/tt$tt" -m out.txt -o "$work/tt$tt.png" >/dev/null 2>&1
  check "the session at $tt s is drawn from its own main output and data files" test "$(png_size "$work/tt$tt.png")" = 1000x1200
done
"$plot" -d "$hand" -m main.txt -o "$work/hand.png" >"$work/hand.txt" 2>&1
check "the hand-made session draws as 2 flights with 12 events" \
  grep -q 'wrote .*hand.png (2 flights, 12 events)' "$work/hand.txt"

# A long coast without thrust is drawn compressed: thrust from 0.5 to 100.5 s,
# none from 101.5 to 900.5 s (a coast of 799 s, 80% of the flight), thrust
# again to 1000.5 s. The band names the coast's length, and the time axis
# keeps its real tic labels on both sides (300 and 800 fall inside the band).
coast=$work/coast
mkdir -p "$coast"
for f in speed height dynpres; do
  for ((i = 0; i <= 1000; i++)); do data_line "$i.5" 2; done >"$coast/$f.dat"
done
for ((i = 0; i <= 1000; i++)); do
  if [ "$i" -le 100 ] || [ "$i" -gt 900 ]; then data_line "$i.5" 10; else data_line "$i.5" 0; fi
done >"$coast/accel.dat"
"$plot" -d "$coast" --svg >/dev/null 2>&1
check "a long coast is drawn compressed, named with its length" grep -q '799 s' "$coast/flight.svg"
check "the compressed axis keeps the real times after the coast" grep -q '>1000<' "$coast/flight.svg"
if grep -q '>300<' "$coast/flight.svg"; then fail "no tic inside the compressed coast"; else pass "no tic inside the compressed coast"; fi
"$plot" -d "$coast" --svg --no-compress -o "$work/full.svg" >/dev/null 2>&1
if grep -q 'compressed' "$work/full.svg"; then fail "--no-compress draws the coast at full length"
else pass "--no-compress draws the coast at full length"; fi
check "--no-compress keeps every tic" grep -q '>300<' "$work/full.svg"

"$plot" --sweep "$work/grid.csv" >"$work/sweep.txt" 2>&1
check "a grid sweep draws next to its CSV" test -s "$work/grid.png"
check "the grid sweep's best point is tt 41 s, alpha 3.5 deg, 5000 kg" \
  grep -q 'best SC_M 5000 kg at tt 41 s, alpha 3.5 deg' "$work/sweep.txt"
size=$(png_size "$work/grid.png")
check "the sweep PNG is 1000x700 (got $size)" test "$size" = 1000x700
"$plot" --sweep "$work/line.csv" --svg >"$work/line.txt" 2>&1
check "a one-parameter sweep draws its curve as SVG" grep -q '<svg' "$work/line.svg"
check "the curve's best point is its last, tt 40 s" grep -q 'best SC_M 4400 kg at tt 40 s, alpha 3 deg' "$work/line.txt"


# ------------------------------------------------------------------ nothing in a name is run
# A folder, a CSV name, an output name and a title holding a backquoted
# command, a quote, or a leading | (gnuplot's pipe to a command): the
# pictures are drawn, the title appears as typed, and x never appears.
inj=$work/inj
mkdir -p "$inj"
# shellcheck disable=SC2016
bq='`touch x`'
mkdir -p "$inj/d$bq"
cp "$real"/*.dat "$real/out.txt" "$inj/d$bq/"
(cd "$inj" && "$plot" -d "d$bq" -m out.txt -t "it's $bq" --svg) </dev/null >/dev/null 2>&1
check "a session in a folder named with a backquoted command is drawn (exit $?)" test -s "$inj/d$bq/flight.svg"
check "the title is drawn exactly as typed, backquotes and quote included" grep -qF "it's $bq" "$inj/d$bq/flight.svg"
cp "$work/grid.csv" "$inj/s$bq.csv"
(cd "$inj" && "$plot" --sweep "s$bq.csv" -t "$bq") </dev/null >/dev/null 2>&1
check "a sweep CSV named with a backquoted command is drawn next to it" test -s "$inj/s$bq.png"
(cd "$inj" && "$plot" --sweep "s$bq.csv" -o '|touch x.png') </dev/null >/dev/null 2>&1
check "an output name starting with | is a file" test -s "$inj/|touch x.png"
cp "$work/opt.csv" "$inj/o$bq.csv"; cp "$work/runs.csv" "$inj/r$bq.csv"
(cd "$inj" && "$plot" --opt "o$bq.csv" --sweep "s$bq.csv" -t "$bq" && "$plot" --mc "r$bq.csv" -t "$bq") </dev/null >/dev/null 2>&1
check "an optimisation and a Monte Carlo study named with backquotes are drawn" \
  test -s "$inj/o$bq.png" -a -s "$inj/r$bq.png"
(cd "$inj" && "$plot" -d "d$bq" -t $'flight\n!touch x') </dev/null >/dev/null 2>&1
leaked=$(find "$work" -name x | wc -l)
check "no command from a name or a title was run (files named x: $leaked)" test "$leaked" -eq 0

# ------------------------------------------------------------------ the picture never replaces an input
# An output that names an input (or links to one) is refused and the input
# is left as it was; an old picture stays whole until the new one is made.
safe=$work/safe
mkdir -p "$safe" && cp "$real"/*.dat "$real/out.txt" "$safe/"
cp "$safe/speed.dat" "$work/speed.orig"; cp "$safe/out.txt" "$work/out.orig"
ln -s speed.dat "$safe/link.png"
for o in "$safe/speed.dat" "$safe/out.txt" "$safe/link.png" "$safe/../safe/height.dat"; do
  "$plot" -d "$safe" -m out.txt -o "$o" >/dev/null 2>"$work/err.txt"
  rc=$?
  check "an output $(basename "$o") that is an input is refused (exit $rc)" \
    test "$rc" -eq 64 -a "$(grep -cE 'would replace the input|must end in .png or .svg' "$work/err.txt")" -eq 1
done
check "the refused runs left the data file as it was" cmp -s "$work/speed.orig" "$safe/speed.dat"
check "the refused runs left the link a link" test -L "$safe/link.png"
cmp -s "$work/out.orig" "$safe/out.txt"; check "the main output is untouched" test $? -eq 0
cp "$work/grid.csv" "$safe/grid.csv"
"$plot" --sweep "$safe/grid.csv" -o "$safe/grid.csv" >/dev/null 2>&1
check "a sweep picture over its CSV is refused (exit 64)" test $? -eq 64
cp "$work/runs.csv" "$safe/runs.csv"; cp "$work/sens.csv" "$safe/sens.csv"
"$plot" --mc "$safe/runs.csv" --sensitivity "$safe/sens.csv" -o "$safe/sens.csv" >/dev/null 2>&1
check "a Monte Carlo picture over its sensitivities is refused (exit 64)" test $? -eq 64
"$plot" --opt "$work/opt.csv" --sweep "$safe/grid.csv" -o "$safe/grid.csv" >/dev/null 2>&1
check "an optimisation picture over the sweep it is drawn on is refused (exit 64)" test $? -eq 64
check "the CSVs are untouched" cmp -s "$work/grid.csv" "$safe/grid.csv"
# gnuplot failing (a stand-in that draws nothing) leaves the old picture and
# no temporary file; a real gnuplot replaces it.
mkdir -p "$work/fakebin"
printf '#!/bin/sh\necho "gnuplot: drawing failed" >&2\nexit 1\n' >"$work/fakebin/gnuplot"
chmod +x "$work/fakebin/gnuplot"
printf 'old picture\n' >"$safe/old.png"
PATH="$work/fakebin:$PATH" "$plot" -d "$safe" -o "$safe/old.png" >/dev/null 2>&1
rc=$?
check "a failed drawing exits 3 and keeps the old picture" \
  test "$rc" -eq 3 -a "$(cat "$safe/old.png")" = 'old picture'
check "a failed drawing leaves no temporary file" test "$(find "$safe" -name '.old.png.*' | wc -l)" -eq 0
"$plot" -d "$safe" -o "$safe/old.png" >/dev/null 2>&1
check "a drawing that succeeds replaces the old picture" test "$(png_size "$safe/old.png")" = 1000x1200

# ------------------------------------------------------------------ several flights
# Text positions in an SVG: "x y rotated text" per text element.
svg_texts() {
  awk '/<g transform="translate\(/ { s = $0; sub(/.*translate\(/, "", s); split(s, xy, /[,)]/); rot = ($0 ~ /rotate\(/) }
       /<text>/ { t = $0; sub(/.*<text>/, "", t); sub(/<\/text>.*/, "", t); print xy[1], xy[2], rot, t }' <"$1"
}
"$plot" -d "$hand" -m main.txt -o "$work/hand.svg" >/dev/null 2>&1
svg_texts "$work/hand.svg" >"$work/hand_texts.txt"
# The events the two flights share at the same time have one label; where
# they part, each flight's event has its own, with the flight's number.
for label in 'AJ10-190 cut-off (1)' 'AJ10-190 cut-off (2)' 'core cut-off (1)' 'booster separation'; do
  check "the two-flight picture labels '$label'" grep -q " 1 $label\$" "$work/hand_texts.txt"
done
# The legend lies above the event labels, out of the panels where the
# curves are (SVG y grows downwards; a rotated label's anchor is its foot).
legend_y=$(awk '$3 == 0 && $4 == "flight" { if (m == "" || $2 > m) m = $2 } END { print m }' "$work/hand_texts.txt")
labels_y=$(awk '$3 == 1 { if (m == "" || $2 < m) m = $2 } END { print m }' "$work/hand_texts.txt")
check "both flights are in the legend" test "$(grep -c ' 0 flight [12]: turn time' "$work/hand_texts.txt")" -eq 2
check "the legend ($legend_y) is above the event labels ($labels_y), off the curves" \
  awk -v l="$legend_y" -v e="$labels_y" 'BEGIN { exit !(l != "" && e != "" && l + 0 < e - 100) }'

# A flight whose numbers overflow (ascent writes them on, 7e11 km/s and
# more) is drawn up to there: the values out of any flight's reach are
# skipped with a warning, and the speed axis keeps its scale of km/s.
wild=$work/wild
mkdir -p "$wild" && cp "$hand"/*.dat "$wild/"
printf ' 426.47702003234151.329\r\n' >>"$wild/speed.dat"
"$plot" -d "$wild" --svg >/dev/null 2>"$work/wild.err"
check "an overflowing value is skipped with a warning" grep -q 'speed.dat: skipped 1 value(s) beyond 100' "$work/wild.err"
if svg_texts "$wild/flight.svg" | grep -Eq ' 0 +[-0-9.]+e\+'; then fail "the speed axis keeps its scale"
else pass "the speed axis keeps its scale (no tic in powers of ten)"; fi

# An iterate sweep: one converged turn time per angle limit; the limits below
# 16.5 degrees missed (no SC_M). No mark stands for them on the mass axis.
{
  printf 'tt,alpha,SC_M,reached\n'
  for al in 15 15.5 16; do printf '24.8,%s,nan,no\n' "$al"; done
  printf '13.9,16.5,91328,yes\n14.6,17,91463,yes\n15.2,17.5,91576,yes\n19.2,21,91878,yes\n19.8,22.5,91866,yes\n'
} >"$work/iter.csv"
"$plot" --sweep "$work/iter.csv" --svg >"$work/iter.txt" 2>&1
check "an iterate sweep draws its curve" grep -q 'best SC_M 91878 kg at tt 19.2 s, alpha 21 deg' "$work/iter.txt"
check "its misses are named in the legend as the target missed" grep -q 'missed the target orbit' "$work/iter.svg"
if grep -q '>×<' "$work/iter.svg"; then fail "no cross stands for a miss at a mass it does not have"
else pass "no cross stands for a miss at a mass it does not have"; fi

# ------------------------------------------------------------------ optimisation and Monte Carlo pictures
"$plot" --opt "$work/opt.csv" >"$work/out.txt" 2>&1
check "an optimisation draws next to its CSV, 1000x700" test "$(png_size "$work/opt.png")" = 1000x700
"$plot" --opt "$work/opt.csv" --sweep "$work/grid.csv" --svg -o "$work/opt_grid.svg" >/dev/null 2>&1
check "an optimisation over a sweep's heat map names both" \
  grep -q 'best (ringed): flight 5, SC_M = 96741 kg' "$work/opt_grid.svg"
"$plot" --mc "$work/runs.csv" >/dev/null 2>&1
check "a Monte Carlo study draws next to its CSV, 1000x900" test "$(png_size "$work/runs.png")" = 1000x900
"$plot" --mc "$work/runs.csv" --sensitivity "$work/sens.csv" --svg -o "$work/mc.svg" >/dev/null 2>&1
svg_texts "$work/mc.svg" >"$work/mc_texts.txt"
# The tornado's rows, top to bottom, in the order of the CSV; the ends that
# stopped or missed the orbit are marked, not drawn as a change of payload.
order=$(awk '$4 ~ /^(core|profile|air|fairing)\./ { print $2, $4 }' "$work/mc_texts.txt" | sort -g | awk '{ printf "%s ", $2 }')
check "the tornado keeps the CSV's order (got: $order)" \
  test "$order" = 'fairing.jettison_time core.dry_mass core.exhaust_speed profile.thrust_scale air.density_scale '
check "the tornado marks the stopped low end and the missed high end" \
  test "$(grep -c -e ' stopped (low)$' -e ' miss (high)$' "$work/mc_texts.txt")" -eq 2
if [ -n "$ascent_mc" ]; then
  # Every end of the real study that did not reach the orbit is marked; the
  # boosters' fall back (-123206 kg) draws no bar, so the axis stays near the
  # changes of the ends that reached it.
  "$plot" --mc "$study/runs.csv" --sensitivity "$study/sens.csv" -o "$work/study.svg" >/dev/null 2>&1
  svg_texts "$work/study.svg" >"$work/study_texts.txt"
  ends=$(tr -d '\r' <"$study/sens.csv" | awk -F, 'NR > 1 && $1 != "nominal" { n += ($(NF - 1) == "no") + ($NF == "no") } END { print n }')
  marks=$(grep -c -E ' (stopped|miss) \((low|high)\)$' "$work/study_texts.txt")
  check "the real tornado marks each of the $ends ends that did not reach the orbit (got $marks)" test "$marks" = "$ends"
  check "no bar of a miss stretches the tornado's axis" test "$(grep -c -E ' -[0-9]{5,}$' "$work/study_texts.txt")" -eq 0
fi
[ "$failures" -eq 0 ] || { echo "$failures check(s) failed"; exit 1; }
echo "all checks passed"
