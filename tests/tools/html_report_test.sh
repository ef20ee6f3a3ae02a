#!/usr/bin/env bash
# ascent-plot --html in a real browser: a session of three flights, a sweep,
# an optimisation over the sweep, a dispersion study with its tornado and the
# session's ground track with a study's impact footprints are
# flown by the built tools and written as reports, each must stay under 5 MB,
# then headless Chromium opens each one (html_report_browser.py: no request
# but the file, no console error, every plot area drawn).
#
# html_report_test.sh PYTHON ASCENT ASCENT_SWEEP ASCENT_OPTIMIZE ASCENT_MC ASCENT_PLOT SOURCE_DIR
# Exit status 77 (skipped) when Chromium is not installed.
set -euo pipefail
python=$1 ascent=$2 sweep=$3 optimize=$4 mc=$5 plot=$6 src=$7

command -v "${CHROMIUM:-chromium}" >/dev/null 2>&1 || { echo "chromium not installed: skipped"; exit 77; }

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cd "$work"
cp "$src/data/s1.dat" .

printf 'out.txt\n30\n18\ny\n36\n18\ny\n42\n20\ny\n-1\n' | "$ascent" --json out.json >/dev/null
"$plot" -d . -j out.json --html flights.html >/dev/null
# The vehicle the session's JSON names names the page.
grep -q '<title>Orvalon 5 session: 3 flights</title>' flights.html || { echo "flights.html: no vehicle in the title" >&2; exit 1; }
"$sweep" --tt 30:42:2 --alpha 16:20:1 -o sweep.csv >/dev/null
"$plot" --sweep sweep.csv --html sweep.html >/dev/null
"$optimize" --max-flights 40 -o opt.csv >/dev/null || [ $? -eq 4 ]
"$plot" --opt opt.csv --sweep sweep.csv --html opt.html >/dev/null
"$mc" --dispersions "$src/vehicles/dispersions.toml" --runs 300 -o runs.csv \
      --sensitivity sens.csv >/dev/null
"$plot" --mc runs.csv --sensitivity sens.csv --html mc.html >/dev/null
"$mc" --dispersions "$src/vehicles/dispersions.toml" --runs 100 --impacts impacts.csv >/dev/null
"$plot" --track out.json --impacts impacts.csv --html track.html >/dev/null

for f in flights.html sweep.html opt.html mc.html track.html; do
  size=$(stat -c %s "$f")
  if [ "$size" -ge 5000000 ]; then
    echo "$f: $size bytes, over 5 MB" >&2
    exit 1
  fi
done

# The number of plots each page holds: the flights' four panels are one plot;
# the study has its histograms, its orbits and its tornado; the map is one.
exec "$python" "$src/tests/tools/html_report_browser.py" \
  flights.html 1 sweep.html 1 opt.html 1 mc.html 3 track.html 1
