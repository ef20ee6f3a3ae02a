"""ascent-plot (the package ascent.plot, run as the command) on real sessions, saved and new
flights, and hand-made files whose flights, events and best points are known independently."""

import csv
import math
import os
import re
import resource
import shutil
import signal
import struct
import subprocess
import sys
import time
import tomllib

import pytest

from conftest import PROFILE, SOURCE_DIR, program, run_ascent


def plot(*args, cwd=None):
    return subprocess.run([program("ASCENT_PLOT"), *map(str, args)], cwd=cwd, capture_output=True, text=True,
                          timeout=300)


def session(folder, tt, alpha, json=True):
    """A file-mode session of ascent in `folder` (with the bundled profile), and its JSON."""
    folder.mkdir(exist_ok=True)
    shutil.copy(PROFILE, folder / "s1.dat")
    r = run_ascent(folder, f"out.txt\n{tt}\n{alpha}\ny\n-1\n", *(["--json", "out.json"] if json else []))
    assert r.returncode == 0, r.stderr
    return folder


# The messages of the main output that the picture marks, and the label each becomes; the
# engine's name is the vehicle's own.
MESSAGES = [(r"Pitch over!", "pitch-over"), (r"Booster seperation!.*", "booster separation"),
            (r"PLF Jettison!", "fairing jettison"), (r"Maximum acceleration reached!", "maximum acceleration"),
            (r"Engine (\d+) cutoff!", "engine {} cut-off"), (r"Core Engine Cutoff!", "core cut-off"),
            (r"(\S+) ignition!", "{} ignition"), (r"(\S+) cutoff!", "{} cut-off")]


def events_of_text(out):
    """(time, label) of every marked message, timed by the table line before it: read from the
    text the program wrote, not through the module."""
    found, t = [], None
    for line in out.decode("latin-1").split("\r\n"):
        fields = line.split()
        if len(fields) == 10 and re.fullmatch(r"-?\d+\.\d\d", fields[0]):
            t = float(fields[0])
            continue
        for pattern, label in MESSAGES:
            m = re.fullmatch(pattern, line)
            if m:
                found.append((t, label.format(*m.groups())))
                break
    return found


# What a terminal takes for an order rather than text.
CONTROL = re.compile("[\x00-\x1f\x7f-\x9f\u202a-\u202e]")


def listed_events(stdout):
    return [(float(m.group(1)), m.group(2)) for m in re.finditer(r"^flight \d+ +(\S+) s  (.+)$", stdout, re.M)]


def test_session_events_are_those_the_main_output_announces(tmp_path):
    s = session(tmp_path / "s", 36, 18)
    r = plot("-d", s, "-j", s / "out.json", "--list")
    assert r.returncode == 0, r.stderr
    expected = events_of_text((s / "out.txt").read_bytes())
    assert len(expected) >= 7
    assert sorted(listed_events(r.stdout)) == sorted(expected)
    assert "flight 1: turn time 36 s, angle limit 18°" in r.stdout


def test_saved_and_new_flights_overlaid(tmp_path):
    a, b = session(tmp_path / "a", 36, 18), session(tmp_path / "b", 44, 19)
    # A saved flight moved away from its data files is flown again through the module: the same
    # points as the program's data files give.
    lone = tmp_path / "lone"
    lone.mkdir()
    shutil.copy(b / "out.json", lone / "out.json")
    shutil.copy(PROFILE, lone / "s1.dat")
    tarvos = SOURCE_DIR / "vehicles" / "tarvos3.toml"
    r = plot("--json", a / "out.json", "--json", lone / "out.json", "--fly", f"{tarvos}:36:18", "--list")
    assert r.returncode == 0, r.stderr
    flights = re.findall(r"^(.*); (\d+ points from \S+ s to (\S+) s)$", r.stdout, re.M)
    assert len(flights) == 3
    last = [x for x in (a / "speed.dat").read_bytes().split(b"\r\n") if x.strip()][-1]
    assert flights[0][2] == last.split()[0].decode()
    from_files = plot("--json", b / "out.json", "--list")
    assert flights[1][1] in from_files.stdout
    upper = tomllib.loads(tarvos.read_text())["upper"]["engine"]
    labels = [label for _, label in listed_events(r.stdout)]
    assert f"{upper} ignition" in labels and f"{upper} cut-off" in labels
    assert labels.count("AJ10-190 ignition") == 2 and "Tarvos 3: turn time 36 s, angle limit 18°" in r.stdout
    pic = plot("--json", a / "out.json", "--fly", f"{tarvos}:36:18", "-o", tmp_path / "both.png")
    assert pic.returncode == 0, pic.stderr
    assert png_size(tmp_path / "both.png") == (1000, 1200)


def test_flights_cut_where_time_falls_back_to_the_pad(tmp_path):
    # Flight 1 steps back once by a search (7.92 -> 6.93) and once by a trim of more than 5 s
    # (14.00 -> 8.60); flight 2 starts again at 0.99 s. Flight 1 keeps 0.99 to 5.94 (6 points),
    # 6.93, 7.03, 7.13, 7.23, 8.50, 8.60, 9.60 and 650.55: 14 points; flight 2 all 5 of its own.
    times = ("0.99 1.98 2.97 3.96 4.95 5.94 6.93 7.92 6.93 7.03 7.13 7.23 8.50 10.00 12.00 14.00 8.60 9.60 "
             "650.55 0.99 1.98 2.97 3.50 481.00").split()
    for name in ("speed", "height", "accel", "dynpres"):
        (tmp_path / f"{name}.dat").write_bytes(b"".join(b"%7.2f%9.3f\r\n" % (float(t), 1.5) for t in times))
    r = plot("-d", tmp_path, "--list")
    assert r.returncode == 0, r.stderr
    assert r.stdout.splitlines()[:3] == ["flights: 2", "flight 1; 14 points from 0.99 s to 650.55 s",
                                         "flight 2; 5 points from 0.99 s to 481.00 s"]


def test_a_json_of_another_run_is_refused(tmp_path):
    a, b = session(tmp_path / "a", 36, 18), session(tmp_path / "b", 20, 18)
    r = plot("-d", a, "-j", b / "out.json", "-o", tmp_path / "x.png")
    assert r.returncode == 1 and len(r.stderr.splitlines()) == 1, r.stderr
    assert str(a / "speed.dat") in r.stderr and "not of the same run" in r.stderr
    assert not (tmp_path / "x.png").exists()


def sweep_csv(path):
    """SC_M = 5000 - 3 (tt - 41)^2 - 50 (alpha - 3.5)^2 on a grid; two rows missed, one of them
    with a larger number in SC_M that must not count."""
    rows = ["tt,alpha,SC_M,reached"]
    for tt in (39, 40, 41, 42, 43):
        for al in (2.5, 3, 3.5, 4, 4.5):
            sc = 5000 - 3 * (tt - 41) ** 2 - 50 * (al - 3.5) ** 2
            missed = (tt, al) in ((42, 3.5), (40, 4))
            rows.append(f"{tt},{al},{sc + 100 if missed else sc:g},{'no' if missed else 'yes'}")
    path.write_text("\n".join(rows) + "\n")
    return path


def best_of(path):
    with open(path) as f:
        rows = [r for r in csv.DictReader(f) if r["reached"] == "yes" and r["SC_M"] != "nan"]
    b = max(rows, key=lambda r: float(r["SC_M"]))
    return float(b["SC_M"]), float(b["tt"]), float(b["alpha"])


def test_best_point_of_a_sweep(tmp_path):
    hand = sweep_csv(tmp_path / "hand.csv")
    real = tmp_path / "real.csv"
    shutil.copy(PROFILE, tmp_path / "s1.dat")
    r = subprocess.run([program("ASCENT_SWEEP_BINARY"), "--tt", "30:44:2", "--alpha", "16:20:1", "-o", real],
                       cwd=tmp_path, capture_output=True, timeout=300)
    assert r.returncode == 0, r.stderr
    assert best_of(hand) == (5000, 41, 3.5)  # the formula's peak
    for f in (hand, real):
        r = plot("--sweep", f)
        assert r.returncode == 0, r.stderr
        sc, tt, al = map(float, re.search(r"best SC_M (\S+) kg at tt (\S+) s, alpha (\S+) deg", r.stdout).groups())
        assert (sc, tt, al) == best_of(f)
        assert png_size(f.with_suffix(".png")) == (1000, 700)


OPT_HEAD = ("tt,alpha,tt_recommended,hp_core_km,ha_core_km,core_propellant_left_kg,s3_propellant_used_kg,"
            "hp_final_km,ha_final_km,S3_Mi,S3_Mp,S3_Ms,SC_M,S3_Mt,max_q_Pa,max_accel_ms2,reached,status,"
            "plan.acceleration_limit")
OPT_ROWS = ["40,18,38.5,100,398,4000,2600,393.9,399.0,1229,2640,1158,96500,101687,39298,39.23,yes,ok,39.23",
            "20,5,21,-6378,-6378,114580,nan,nan,nan,2291,nan,nan,nan,211667,176919,39.23,no,ok,39.5",
            "36,18,36.1,102,398.6,4600,2640,393.9,399.0,1229,2640,1158,96660,101687,39298,39.23,yes,ok,39.3",
            "45,18,44,90,398,5000,2500,227.9,398.0,1229,2640,1158,97000,101687,39298,39.23,no,ok,39.4",
            "33.8,17.6,33.9,101,398.6,4650,2640,388.8,399.1,1229,2640,1158,96741,101687,39298,39.23,yes,ok,39.1",
            '34,17.7,34.1,101,398.6,4640,2640,389.1,399.0,1229,2640,1158,96730,101687,39298,39.23,yes,"ok",39.2']
RUNS = ["run,core.exhaust_speed,profile.thrust_scale,air.density_scale,reached,SC_M,hp_final_km,ha_final_km,"
        "core_propellant_left_kg,max_q_Pa,max_accel_ms2,status",
        "1,4420.8,1.01,0.98,yes,96600,395,401,4600,39000,39.23,ok",
        "2,4415.1,0.99,1.02,yes,96700,392,405,4700,38800,39.23,ok",
        "3,4425.0,1.00,1.00,yes,96500,398.6,398.6,4500,39100,39.23,ok",
        "4,4401.2,0.97,1.05,no,96800,380,402,4800,38000,39.23,ok",
        "5,4430.9,1.03,0.95,yes,96400,389,408,4400,40000,39.23,ok",
        '6,4380.0,0.95,1.10,no,nan,nan,nan,-200,41000,39.23,"error 100: s1.dat: unexpected end, line 12"']
SENS = ["key,low,high,SC_M_low,SC_M_high,hp_final_km_low,hp_final_km_high,ha_final_km_low,ha_final_km_high,"
        "reached_low,reached_high",
        "nominal,,,96600,96600,398,398,400,400,yes,yes",
        "fairing.jettison_time,80,580,,96500,,397,,400,no,yes",
        "core.dry_mass,5500,5700,96700,96100,398,370,401,399,yes,no",
        "core.exhaust_speed,4400,4440,96300,96850,396,399,400,401,yes,yes"]


def test_summaries_of_an_optimisation_and_a_dispersion_study(tmp_path):
    (tmp_path / "opt.csv").write_text("\r\n".join([OPT_HEAD, *OPT_ROWS]) + "\r\n")
    (tmp_path / "runs.csv").write_text("\r\n".join(RUNS) + "\r\n")
    (tmp_path / "sens.csv").write_text("\n".join(SENS) + "\n")
    ctl = [OPT_HEAD.replace("plan.acceleration_limit", "plan.\x1b[2Jlimit"), *OPT_ROWS]
    ctl[5] = ctl[5].replace(",39.1", ",39.1\x07\u202e")
    (tmp_path / "ctl.csv").write_text("\n".join(ctl) + "\n")
    # Flight 4 has the largest SC_M but missed: the best is flight 5. SC_M of runs 1-5 has mean
    # 96600 and standard deviation sqrt(100000 / 4) = 158.1; perigees 395, 392, 398.6, 380, 389:
    # mean 390.92, sd sqrt(199.728 / 4) = 7.07; apogees: mean 402.92, sd sqrt(53.328 / 4) = 3.65.
    # In the box 398.6 ± 10: runs 1, 2, 3 and 5; in 395 ± 5 only run 3.
    cases = [
        (["--opt", "opt.csv"], ["flights: 6 (4 reached the target, 2 missed)",
                                "best: flight 5: SC_M 96741 kg at turn time 33.8 s, angle limit 17.6°",
                                "best orbit: perigee 388.8 km, apogee 399.1 km", "best core propellant left: 4650 kg",
                                "best free keys: plan.acceleration_limit = 39.1"]),
        (["--mc", "runs.csv", "--sensitivity", "sens.csv"],
         ["runs: 6 (4 reached the target, 2 missed)",
          "SC_M (kg): 5 values, mean 96600.0, standard deviation 158.1, min 96400, max 96800",
          "final perigee (km): 5 values, mean 390.9, standard deviation 7.1, min 380, max 398.6",
          "final apogee (km): 5 values, mean 402.9, standard deviation 3.7, min 398.6, max 408",
          "in the target box (398.6 ± 10 km): 4 of 6", "  fairing.jettison_time: stopped / -100",
          "  core.dry_mass: +100 / miss (-500)", "  core.exhaust_speed: -300 / +250"]),
        (["--mc", "runs.csv", "--target", "395", "--tolerance", "5"], ["in the target box (395 ± 5 km): 1 of 6"]),
        (["--opt", "ctl.csv"], ["best free keys: plan.\\x1b[2Jlimit = 39.1\\x07\\u202e"]),
    ]
    for args, lines in cases:
        r = plot(*args, "--list", cwd=tmp_path)
        assert r.returncode == 0 and not CONTROL.search(r.stdout.replace("\n", "")), r.stderr
        for line in lines:
            assert line in r.stdout.splitlines(), (args, line, r.stdout)


IMPACTS_HEAD = ("run,part,release_t_s,release_alt_m,impact_lat_deg,impact_lon_deg,fall_s,ballistic_coefficient_kg_m2,"
                "status\n")


def png_size(path):
    data = open(path, "rb").read(24)
    assert data[:8] == b"\x89PNG\r\n\x1a\n"
    return struct.unpack(">II", data[16:24])


@pytest.fixture(scope="module")
def studies(tmp_path_factory):
    d = tmp_path_factory.mktemp("studies")
    shutil.copy(PROFILE, d / "s1.dat")
    session(d, 36, 18)
    sweep_csv(d / "grid.csv")
    (d / "curve.csv").write_text("tt,alpha,SC_M,reached\n" + "".join(
        f"36,{a},{1000 - (a - 18) ** 2:g},{'no' if a == 20 else 'yes'}\n" for a in range(10, 26)))
    (d / "opt.csv").write_text("\n".join([OPT_HEAD, *OPT_ROWS]) + "\n")
    (d / "runs.csv").write_text("\n".join(RUNS) + "\n")
    (d / "sens.csv").write_text("\n".join(SENS) + "\n")
    (d / "link.png").symlink_to("speed.dat")
    # Three runs' boosters down, one fairing in orbit, a core stage down once: no ellipse of one point.
    (d / "impacts.csv").write_text("# ascent-mc study: runs=3\n" + IMPACTS_HEAD + "".join(
        f"{r},boosters,130,50000,{31.4 + 0.01 * r},{-78.4 + 0.02 * r * r},300,3700,down\n" for r in (1, 2, 3)) +
        "1,fairing,200,120000,,,,50,in orbit\n2,core stage,457,140000,33.7,-42.8,600,1700,down\n")
    for f in ("tarvos3.toml", "tarvos3_boosters.dat"):
        shutil.copy(SOURCE_DIR / "vehicles" / f, d / f)
    # Text that is TeX to matplotlib, and control characters bound for the terminal.
    (d / "tex.csv").write_text("\n".join([SENS[0], SENS[1], SENS[2].replace("fairing.jettison_time", "$\\frac$"),
                                          *SENS[3:]]) + "\n")
    (d / "ctl.csv").write_text("tt,\x1b[2Jalpha\n1,2\n")
    (d / "cut.csv").write_text("\n".join([*RUNS[:3], RUNS[3][:RUNS[3].index(",398.6") + 1], *RUNS[4:]]) + "\n")
    # A link where the tool's own default name goes: replaced by the picture, never written through.
    (d / "victim.txt").write_text("victim\n")
    (d / "flight.png").symlink_to("victim.txt")
    return d


@pytest.mark.parametrize("args,out,check", [
    (["-j", "out.json"], "flight.png", (1000, 1200)),
    (["-j", "out.json", "--size", "800x900"], "f.png", (800, 900)),
    (["-j", "out.json", "--no-compress"], "f.svg", b"<svg"),
    (["-d", ".", "-j", "out.json"], "f.pdf", b"%PDF"),
    (["--sweep", "grid.csv"], "grid.png", (1000, 700)),
    (["--sweep", "curve.csv"], "c.svg", b"<svg"),
    (["--opt", "opt.csv", "--sweep", "grid.csv"], "opt.png", (1000, 700)),
    (["--mc", "runs.csv"], "runs.png", (1000, 900)),
    (["--mc", "runs.csv", "--sensitivity", "sens.csv"], "m.png", (1000, 1250)),
    # Names and titles drawn as written, never as TeX.
    (["-j", "out.json", "-t", "$\\frac$ for $5"], "t.png", (1000, 1200)),
    (["--mc", "runs.csv", "--sensitivity", "tex.csv", "-t", "$x^$"], "tex.pdf", b"%PDF"),
    (["--track", "out.json", "--impacts", "impacts.csv"], "track.png", (1000, 800)),
    (["--impacts", "impacts.csv"], "i.svg", b"<svg"),
    (["--fly", "36:18", "--impacts", "impacts.csv"], "fly.png", (1000, 800)),
])
def test_pictures_in_each_format(studies, args, out, check):
    target = studies / out
    if target.exists() and out != "flight.png":
        target.unlink()
    r = plot(*args, *(["-o", out] if out not in ("flight.png", "grid.png", "runs.png") else []), cwd=studies)
    assert r.returncode == 0, r.stderr
    assert (studies / "victim.txt").read_text() == "victim\n" and not target.is_symlink()
    if isinstance(check, tuple):
        assert png_size(target) == check
    else:
        assert check in target.read_bytes()[:400]


def test_a_flight_flown_anew_has_the_track_its_saved_flight_has(studies):
    # The session's JSON (36 s, 18°, the default epoch) against the same answers flown through
    # the module: the same parts down at the same places, listed alike.
    saved = plot("--track", "out.json", "--list", cwd=studies)
    flown = plot("--fly", "36:18", "--impacts", "impacts.csv", "--list", cwd=studies)
    assert saved.returncode == 0 and flown.returncode == 0, (saved.stderr, flown.stderr)
    assert "boosters: released at T+130.20 s, down at" in saved.stdout
    assert flown.stdout.startswith(saved.stdout)


def test_an_epoch_places_a_flown_track_as_ascent_places_it(studies, monkeypatch):
    # The tool's session at another epoch against the same answers flown by ascent-plot at it: the
    # same track point for point, to the bit; at the default epoch the points differ (the Earth
    # has turned under the frames), and the track starts by the site (28.45 N, 80.6 W).
    from ascent.plot import data as D
    epoch = "2026-06-01T03:00:00"
    r = run_ascent(studies, "e.txt\n36\n18\ny\n-1\n", "--json", "e.json", "--epoch", epoch)
    assert r.returncode == 0, r.stderr
    monkeypatch.chdir(studies)
    saved, flown = D.load_track(["e.json"], None, ["36:18"], epoch).tracks
    default = D.load_track((), None, ["36:18"]).tracks[0]
    for key in ("lat", "lon", "iip_lat", "iip_lon"):
        assert getattr(saved, key).tolist() == getattr(flown, key).tolist()
        assert getattr(default, key).tolist() != getattr(flown, key).tolist()
    assert [(p.part, p.release, p.impact) for p in saved.parts] == [(p.part, p.release, p.impact) for p in flown.parts]
    north_km, east_km = (flown.lat[0] - 28.45) * 111.2, (flown.lon[0] + 80.6) * 111.2 * math.cos(math.radians(28.45))
    assert math.hypot(north_km, east_km) < 5  # its first point 10.9 s after lift-off, 0.3 km up
    listed = plot("--fly", "36:18", "--impacts", "impacts.csv", "--epoch", epoch, "--list", cwd=studies)
    assert listed.returncode == 0, listed.stderr


@pytest.mark.parametrize("args,code,message", [
    (["--bogus"], 64, "unknown option: --bogus"),
    (["--track", "out.json", "--epoch", "2027-01-01T00:00:00"], 64, "--epoch launches the flights of --fly"),
    (["--fly", "36:18", "--impacts", "impacts.csv", "--epoch", "2027-13-01T00:00:00"], 64,
     "--epoch: epoch '2027-13-01T00:00:00'"),
    (["--svg", "-o", "x.png"], 64, "--svg conflicts"),
    (["-o", "x.gif"], 64, "must end in .png, .svg or .pdf"),
    (["--size", "20x20"], 64, "out of range"),
    (["--size", "big"], 64, "bad --size"),
    (["-o", "link.png"], 64, "would replace the input"),
    # The vehicles and profiles flights are flown with are inputs too.
    (["--fly", "36:18", "--html", "s1.dat"], 64, "would replace the input ./s1.dat"),
    (["--fly", "tarvos3.toml:36:18", "--html", "tarvos3.toml"], 64, "would replace the input tarvos3.toml"),
    (["--fly", "tarvos3.toml:36:18", "-o", "x.svg", "--html", "tarvos3_boosters.dat"], 64,
     "would replace the input"),
    (["-d", ".", "-j", "out.json", "--html", "out.json"], 64, "would replace the input"),
    # The main output is not read: the session's JSON is named instead.
    (["-m", "out.txt", "--html", "flight.html"], 64, "`ascent --json FILE`"),
    (["--fly", "v.toml:36"], 64, "bad --fly"),
    (["--sweep", "grid.csv", "--list"], 64, "--list does not go with --sweep alone"),
    (["--mc", "runs.csv", "--tolerance", "-1"], 64, "must be positive"),
    (["-d", "nowhere"], 1, "nowhere: no such directory"),
    (["--sweep", "sens.csv"], 1, "needs the columns tt, alpha and SC_M"),
    (["--fly", "missing.toml:36:18"], 1, "missing.toml"),
    (["--sweep", "ctl.csv"], 1, "(it reads: tt,\\x1b[2Jalpha)"),
    (["--mc", "cut.csv"], 1, "cut.csv: line 4: 7 fields where the header has 12: the row is cut short"),
    (["--control", "sens.csv", "--mc", "runs.csv"], 64, "--control goes with --fly alone"),
    (["--control", "sens.csv"], 1, "sens.csv: the header has no column t_s"),
    (["--control", "out.json"], 1, "out.json: not a file of ascent-control --json"),
    (["--track", "out.json", "--mc", "runs.csv"], 64, "go with each other and --fly alone"),
    (["--impacts", "runs.csv"], 1, "runs.csv: the header has no column part"),
    (["--track", "runs.csv"], 1, "runs.csv: not a flight file of ascent --json"),
])
def test_refusals(studies, args, code, message):
    before = {f: f.read_bytes() for f in studies.iterdir() if f.is_file()}
    r = plot(*args, cwd=studies)
    assert r.returncode == code and message in r.stderr, (r.returncode, r.stderr)
    assert r.stderr.startswith("ascent-plot: ") and not CONTROL.search(r.stderr.replace("\n", ""))
    assert {f: f.read_bytes() for f in studies.iterdir() if f.is_file()} == before


def test_missing_or_empty_data_file(tmp_path):
    s = session(tmp_path / "s", 36, 18, json=False)
    for damage in (os.remove, lambda p: open(p, "w").close()):
        damage(s / "height.dat")
        r = plot("-d", s, "-o", s / "x.png")
        assert r.returncode == 1 and "height.dat" in r.stderr and not (s / "x.png").exists()


def test_help_and_version():
    r = plot("--help")
    assert r.returncode == 0 and "--fly V:TT:ALPHA" in r.stdout and "--json FILE" in r.stdout
    assert plot("--version").stdout == f"ascent-plot {os.environ['ASCENT_VERSION']}\n"


def test_readers_fail_only_with_their_own_error(studies, tmp_path):
    """Seeded random damage to each kind of input: a reader either reads it or refuses it with
    PlotError (one line, exit 1), never with another exception."""
    import random

    from ascent.plot import data as D

    shutil.copy(studies / "s1.dat", tmp_path / "s1.dat")
    for name in ("speed", "height", "accel", "dynpres"):
        shutil.copy(studies / f"{name}.dat", tmp_path / f"{name}.dat")
    readers = [("grid.csv", D.load_sweep), ("opt.csv", D.load_opt), ("runs.csv", D.load_mc),
               ("sens.csv", lambda p: D.load_mc(studies / "runs.csv", p)),
               ("speed.dat", lambda p: D.read_series(p, 100.0)),
               ("out.json", lambda p: D.load_session(tmp_path, json_path=p))]
    rng = random.Random(20261210)
    for name, read in readers:
        original = (studies / name).read_bytes()
        for _ in range(60):
            b = bytearray(original[:rng.randrange(1, len(original) + 1)] if rng.random() < 0.2 else original)
            for _ in range(rng.randrange(1, 6)):
                i = rng.randrange(len(b))
                b[i:i + rng.randrange(0, 4)] = bytes(rng.choice(b'0123456789.,-+e"{}[]:nax\r\n ') for _ in
                                                     range(rng.randrange(0, 4)))
            damaged = tmp_path / ("x_" + name)
            damaged.write_bytes(bytes(b))
            try:
                read(damaged)
            except D.PlotError as e:
                assert "\n" not in e.message and e.code == 1


def test_coast_compression_and_shared_event_labels():
    import numpy as np

    from ascent.plot import data as D

    def flight(burns, end, events=()):
        t = np.arange(0.0, end + 1)
        accel = np.where(np.any([(t >= a) & (t <= b) for a, b in burns], axis=0), 10.0, 0.0)
        return D.FlightData("f", t, t, t, accel, t, [D.EventMark(x, label, "k") for x, label in events])

    # No thrust from 100 to 1000 s, between two burns, to 1100 s. The margin kept at full scale each side
    # is max(1100 / 100, 5) = 11 s, so the band runs from 111 to 989 s (878 s of 1100: over 40 %).
    # The rest spans 222 s: tics every 20 s (222 / 20 <= 12), the axis to 20 (1100 // 20 + 1) = 1120 s,
    # and the band is drawn 0.11 (111 + 1120 - 989) / 878 times as fast.
    one = flight([(0, 99), (1001, 1100)], 1100, [(6.7, "pitch-over"), (1000, "ignition")])
    ax = D.time_axis([one])
    k = 0.11 * 242 / 878
    assert (ax.a, ax.b, ax.xmax, ax.step, ax.coast) == (111, 989, 1120, 20, 900)
    assert ax.k == pytest.approx(k) and ax.umax == pytest.approx(111 + 878 * k + 131)
    assert not D.time_axis([one], compress=False).compressed
    # A second flight under thrust through the coast keeps it at full length; one that coasts
    # through it too, and shares the pitch-over within a label's width, does not.
    assert not D.time_axis([one, flight([(0, 600)], 1100)]).compressed
    two = flight([(0, 120), (950, 1050)], 1050, [(6.75, "pitch-over"), (950, "ignition")])
    assert D.time_axis([one, two]).compressed
    # One line at t = 1e9 s: the axis to 1.1e9 s with a major tic every 1e8 s (1e9 / 1e8 = 10 parts,
    # at most 12) and four minor ones between: 56 tics, not one every 10,000 s.
    far = D.FlightData("f", np.array([0.0, 1.0, 1e9]), *[np.ones(3)] * 4)
    assert (D.time_axis([far]).step, len(D.time_axis([far]).ticks())) == (1e8, 56)
    groups = [(label, who) for _, label, who in D.group_events([one, two], gap=10)]
    assert groups == [("pitch-over", [1, 2]), ("ignition", [2]), ("ignition", [1])]


@pytest.mark.parametrize("stop,code", [("SIGTERM", 143), ("SIGHUP", 129), ("file size", 1)])
def test_a_drawing_stopped_leaves_the_old_picture(studies, tmp_path, stop, code):
    """A signal while the picture is drawn is the signal's status; a picture that cannot be
    written (a file-size limit: a full disk fails alike) is exit 1, said of the picture."""
    out = tmp_path / "big.png"
    out.write_bytes(b"old")
    args = [program("ASCENT_PLOT"), "-j", studies / "out.json", "--size", "6000x6000", "-o", out]
    limit = (lambda: resource.setrlimit(resource.RLIMIT_FSIZE, (20000, 20000))) if stop == "file size" else None
    # On a loaded machine a signal can arrive only once the picture is whole and renamed: that run
    # tells nothing of a drawing stopped, and is flown again (a few times at most).
    for _ in range(5):
        p = subprocess.Popen(args, stderr=subprocess.PIPE, text=True, preexec_fn=limit)
        if stop != "file size":
            # The drawing starts once its temporary file is made beside the picture.
            while not [f for f in tmp_path.iterdir() if f.name.startswith(".big.png.")] and p.poll() is None:
                time.sleep(0.005)
            p.send_signal(getattr(signal, stop))
        err = p.communicate(timeout=300)[1]
        if p.returncode != 0 or stop == "file size":
            break
        out.write_bytes(b"old")
    assert p.returncode == code, err
    assert len(err.splitlines()) == 1 and ("signal" in err if code > 1 else f"cannot write {out}: " in err)
    assert out.read_bytes() == b"old" and [f.name for f in tmp_path.iterdir()] == ["big.png"]


def test_a_study_costs_a_few_bytes_a_run(tmp_path):
    """200,000 runs: their rows would take a few hundred megabytes; their numbers take a few."""
    runs = tmp_path / "runs.csv"
    with open(runs, "w") as f:
        f.write(RUNS[0] + "\n")
        for k in range(200000):
            f.write(f"{k + 1},4420.8,1.01,0.98,yes,{96000 + k % 1000},{390 + k % 17},{400 + k % 13},"
                    "4600,39000,39.23,ok\n")
    peak = subprocess.run([sys.executable, "-c", "import resource, subprocess, sys; subprocess.run(sys.argv[1:], "
                           "check=True, stdout=subprocess.DEVNULL); "
                           "print(resource.getrusage(resource.RUSAGE_CHILDREN).ru_maxrss)",
                           program("ASCENT_PLOT"), "--mc", runs, "--list"], capture_output=True, text=True, timeout=300)
    assert peak.returncode == 0, peak.stderr
    assert int(peak.stdout) < 150000  # KB: Python, NumPy and the reader, not 200,000 rows


def test_a_missing_profile_names_one_that_is_there(tmp_path):
    r = plot("--fly", "36:18", "--list", cwd=tmp_path)
    assert r.returncode == 1 and len(r.stderr.splitlines()) == 1, r.stderr
    named = r.stderr.split("the bundled profile is ", 1)[1].strip()
    assert open(named, "rb").read() == PROFILE.read_bytes()


def test_a_staged_flight_is_drawn_from_its_json_with_its_events_by_name(tmp_path):
    """The flight of a staged vehicle from `ascent --json`: the events are the ones ascent's own
    report lists, at its times and under its names; the curves run from lift-off to the flight's
    last event; the picture has a fifth panel, the mass, and so has the page."""
    r = run_ascent(tmp_path, "", "--vehicle", SOURCE_DIR / "vehicles" / "corvane_leo.toml", "--json", "s.json")
    assert r.returncode == 0, r.stderr
    report = [re.fullmatch(r" *(\d+\.\d\d) +\S+ +\S+ +\S+  (.+)", line) for line in r.stdout.decode().split("\n")]
    events = [(m.group(1), m.group(2)) for m in report if m]
    assert ("200.00", "fairing: jettison") in events and len(events) > 8
    listed = plot("--json", tmp_path / "s.json", "--list")
    assert listed.returncode == 0, listed.stderr
    found = [re.fullmatch(r"flight 1 +(\S+) s  (.+)", line) for line in listed.stdout.splitlines()]
    assert [(m.group(1), m.group(2)) for m in found if m] == events
    assert re.search(r"points from 0\.\d\d s to %s s" % re.escape(events[-1][0]), listed.stdout), listed.stdout
    drawn = plot("--json", tmp_path / "s.json", "-o", tmp_path / "s.png")
    assert drawn.returncode == 0, drawn.stderr
    assert png_size(tmp_path / "s.png") == (1000, 1200)
    paged = plot("--json", tmp_path / "s.json", "--html", tmp_path / "s.html")
    assert paged.returncode == 0, paged.stderr
    page = (tmp_path / "s.html").read_text()
    assert "mass (t)" in page and "second stage: ignition at apogee" in page


@pytest.mark.parametrize("dynamics", ["planar", "3d"])
def test_a_staged_flights_ground_track_is_its_json(tmp_path, dynamics):
    """A staged vehicle's `ascent --json`, planar or 3-D, on the track map: each part it dropped
    listed as released and come down where the file says, none added or left out."""
    import json
    text = (SOURCE_DIR / "vehicles" / "corvane_leo.toml").read_text()
    (tmp_path / "v.toml").write_text(text + ('\n[model]\ndynamics = "3d"\n' if dynamics == "3d" else ""))
    r = run_ascent(tmp_path, "", "--vehicle", "v.toml", "--json", "s.json")
    assert r.returncode == 0, r.stderr
    parts = json.loads((tmp_path / "s.json").read_text())["impact_points"]
    listed = plot("--track", tmp_path / "s.json", "--list")
    assert listed.returncode == 0, listed.stderr
    lines = [line.strip() for line in listed.stdout.splitlines() if line.startswith("  ")]
    assert lines == ["%s: released at T+%.2f s, down at %.4f, %.4f deg after %.1f s"
                     % (p["part"], p["t"], p["impact_lat_deg"], p["impact_lon_deg"], p["fall_s"]) for p in parts]
    assert len(parts) >= 2
