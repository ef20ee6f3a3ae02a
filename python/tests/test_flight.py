"""One flight from Python against the ascent program flown with the same answers."""

import pickle
import re
import subprocess
import sys

import numpy as np
import pytest

import ascent
from conftest import SOURCE_DIR, run_ascent, table_lines

# Turn time, angle limit, transfer: the README's best flight, the runner-up, a flight without the
# third stage.
ANSWERS = [(36.0, 18.0, True), (44.0, 19.0, True), (36.0, 18.0, False)]

# Half the last digit written in each table column (t, a, vi, h0, r0, alpha, beta, theta, Pq, m),
# with room for the binary value of a decimal.
HALF_DIGIT = np.array([0.005, 0.05, 0.5, 0.5, 0.5, 0.005, 0.005, 0.005, 0.05, 0.05]) * (1 + 1e-9)


def report_number(text, pattern):
    m = re.search(pattern.encode(), text)
    assert m, f"the output has no {pattern}"
    return float(m.group(1))


@pytest.mark.parametrize("tt,alpha,transfer", ANSWERS)
def test_flight_equals_the_program_in_file_mode(workdir, tt, alpha, transfer):
    cli = run_ascent(workdir, f"out.txt\n{tt}\n{alpha}\n{'y' if transfer else 'n'}\n-1\n")
    assert cli.returncode == 0, cli.stderr
    flight = ascent.fly(tt, alpha, transfer=transfer, output=True)

    out = (workdir / "out.txt").read_bytes()
    assert flight.output == out
    for name, data in flight.files.items():
        assert data == (workdir / name).read_bytes(), name

    # The table: one entry per line the program wrote, each within the rounding of its column.
    lines = np.array(table_lines(out))
    assert list(flight.table) == ["t", "a", "vi", "h0", "r0", "alpha", "beta", "theta", "Pq", "m"]
    assert all(len(column) == len(lines) for column in flight.table.values())
    ours = np.column_stack([flight.table[c] for c in ascent.TABLE_COLUMNS])
    finite = np.isfinite(lines)
    assert np.array_equal(finite, np.isfinite(ours))
    assert np.all(np.abs(ours - lines)[finite] <= np.broadcast_to(HALF_DIGIT, lines.shape)[finite])
    # Every step writes a line, and each booster pass two more on the pad: at ignition (t = 0)
    # and at liftoff, both standing vertical with no dynamic pressure.
    on_pad = (lines[:, 5] == 90) & (lines[:, 6] == 0) & (lines[:, 8] == 0)
    assert np.count_nonzero(on_pad) == 2 * np.count_nonzero(lines[:, 0] == 0)
    assert flight.steps == len(lines) - np.count_nonzero(on_pad)

    # The summary against the report and the constants file, at the digits they are written with.
    s = flight.summary
    consts = (workdir / "const_n.pas").read_bytes()
    assert s["SC_M"] == report_number(consts, r"SC_M\s+=\s+(-?\d+);")
    assert s["S3_Mi"] == report_number(consts, r"S3_Mi\s+=\s+(-?\d+);")
    assert s["S3_Mp"] == report_number(consts, r"S3_Mp\s+=\s+(-?\d+);")
    assert s["S3_Ms"] == report_number(consts, r"S3_Ms\s+=\s+(-?\d+);")
    assert s["S3_Mt"] == report_number(out, r"S3_Mt\s+=\s+(-?\d+);")
    assert round(s["tt_recommended"], 4) == report_number(out, r"Recommended tt = ([-\d.]+) s")
    assert round(s["max_q_Pa"]) == report_number(out, r"Maximum dynamic pressure = (\d+) Pa")
    if transfer:
        assert s["core_propellant_left_kg"] == report_number(out, r"Remaining propellant = (-?\d+) kg")
        finals = re.findall(rb"Perigee = +([-\d.]+) km, Apogee = +([-\d.]+) km", out)[-1]
        assert f"{s['hp_final_km']:.1f}" == finals[0].decode()
        assert f"{s['ha_final_km']:.1f}" == finals[1].decode()
    assert s["tt"] == tt and s["alpha"] == alpha and s["status"] == "ok"


def test_a_falling_flight_equals_the_program_to_its_nan(workdir):
    # A 3 degree limit cannot turn the vehicle up: it falls and its numbers end as nan.
    cli = run_ascent(workdir, "out.txt\n40\n3\ny\n-1\n")
    assert cli.returncode == 0, cli.stderr
    flight = ascent.fly(40, 3, output=True)
    assert flight.output == (workdir / "out.txt").read_bytes()
    assert np.isnan(flight.summary["SC_M"]) and not flight.summary["reached"]
    assert np.isnan(flight.table["h0"][-1])
    # One booster pass: its steps and two lines on the pad.
    assert len(flight.table["t"]) == flight.steps + 2


def test_iterate_mode_equals_the_program_on_the_console(workdir):
    cli = run_ascent(workdir, "i\n20\n25\ny\n-1\n")
    assert cli.returncode == 0, cli.stderr
    flight = ascent.fly(20, 25, iterate=True, output=True, events=True)
    assert flight.output == cli.stdout
    # The series settles on a turn time its last pass recommends to 5e-05 s (the README: 19.807 s).
    assert abs(flight.summary["tt"] - flight.summary["tt_recommended"]) <= 5e-05
    assert f"{flight.summary['tt']:.3f}" == report_number(cli.stdout, r"Turn Time = ([\d.]+) s").__format__(".3f")
    assert flight.summary["SC_M"] == report_number(cli.stdout, r"SC_M\s+=\s+(-?\d+);")
    # Five passes, each announcing its recommendation.
    assert sum(text.startswith("Recommended tt") for _, text in flight.events) == 5


def test_events_carry_the_time_of_the_line_before_them(workdir):
    run_ascent(workdir, "out.txt\n36\n18\ny\n-1\n")
    flight = ascent.fly(36, 18, events=True)
    # The events read independently from the program's output: a message line, with the t
    # column of the last table line written before it.
    expected = []
    last_t = None
    for line in (workdir / "out.txt").read_bytes().split(b"\r\n"):
        row = table_lines(line)
        if row:
            last_t = row[0][0]
        elif last_t is not None and line.strip() and not line.startswith((b"Turn time", b"Maximum angle")):
            expected.append((last_t, line.decode("latin-1")))
    assert [text for _, text in flight.events] == [text for _, text in expected]
    assert all(abs(t - t_text) <= 0.005 * (1 + 1e-9) for (t, _), (t_text, _) in zip(flight.events, expected))
    names = dict((text, t) for t, text in flight.events)
    assert names["PLF Jettison!"] == 330.0  # the fairing's jettison time
    assert flight.output is None  # not asked for


def test_a_flight_without_events_or_output_keeps_neither(workdir):
    flight = ascent.fly(36, 18)
    assert flight.events is None and flight.output is None and flight.files is None
    assert flight.summary == ascent.fly(36, 18, output=True, events=True).summary


def test_faults_raise_the_program_message_and_code(workdir):
    cli = run_ascent(workdir, "out.txt\n1e6\n18\ny\n-1\n")
    with pytest.raises(ascent.AscentError) as e:
        ascent.fly(1e6, 18)
    assert e.value.code == cli.returncode == 100
    assert cli.stderr.decode().strip() == f"ascent: {e.value.message}"

    (workdir / "s1.dat").unlink()
    cli = run_ascent(workdir, "out.txt\n36\n18\ny\n-1\n")
    with pytest.raises(ascent.AscentError) as e:
        ascent.fly(36, 18)
    assert e.value.code == cli.returncode == 2
    assert cli.stderr.decode().strip() == f"ascent: {e.value.message}"
    # An error survives the trip to another process with its code.
    copy = pickle.loads(pickle.dumps(e.value))
    assert (copy.code, copy.message) == (2, e.value.message)


def test_vehicle_faults_name_the_key(workdir):
    v = ascent.Vehicle()
    with pytest.raises(ascent.VehicleError) as e:
        v.with_values({"core.exhuast_speed": 4450.0})
    assert e.value.code == 65 and "core.exhuast_speed" in e.value.message
    with pytest.raises(ValueError, match=r"core\.exhaust_speed: must be positive, got -4420\.8"):
        v.with_values({"core.exhaust_speed": -4420.8})
    with pytest.raises(ascent.VehicleError, match="boosters.count"):
        v.with_values({"boosters.count": 2.5})
    with pytest.raises(ascent.VehicleError, match="core.throttle_minimum"):
        v.with_values({"core.throttle_minimum": 1.2})  # above the throttle at entry
    with pytest.raises(ascent.VehicleError, match="must be a number"):
        v.with_values({"core.exhaust_speed": "fast"})
    with pytest.raises(ascent.VehicleError, match="must be a number"):
        v.with_values({"core.engines": True})
    assert v == ascent.Vehicle()  # a refused change leaves the vehicle as it was


def test_the_module_is_the_program_s_version(workdir):
    cli = run_ascent(workdir, "", "--version")
    assert ascent.__version__ in cli.stdout.decode()


def test_vehicle_reads_as_a_dict_and_changes_into_a_new_one(workdir):
    v = ascent.Vehicle()
    d = dict(v)
    assert d == v.to_dict() and len(d) == len(v) > 40
    # The description's quantities as an engineer writes them down.
    assert d["core.exhaust_speed"] == 4420.8
    assert d["fairing.mass"] == 9707.0
    assert d["upper.thrust"] == 26689.0
    assert d["core.engines"] == 4 and isinstance(d["core.engines"], int)
    w = v.with_values({"core.exhaust_speed": np.float64(4450.0), "core.engines": np.int64(4)})
    assert w["core.exhaust_speed"] == 4450.0 and v["core.exhaust_speed"] == 4420.8
    assert pickle.loads(pickle.dumps(w)) == w != v


def test_a_changed_quantity_changes_the_flight_as_physics_says(workdir):
    base = ascent.fly(36, 18).summary
    # A faster exhaust burns less propellant for the same impulse: more core propellant left.
    faster = ascent.fly(36, 18, vehicle={"core.exhaust_speed": 4450.0}).summary
    assert faster["core_propellant_left_kg"] > base["core_propellant_left_kg"]
    # A stronger upper stage: the same burn in less time, the same SC_M sizing laws, a flight
    # that still ends near the target orbit.
    stronger = ascent.fly(36, 18, vehicle=ascent.Vehicle().with_values({"upper.thrust": 2 * 26689.0}), events=True)
    ignition = [t for t, text in stronger.events if text.endswith("ignition!")][0]
    cutoff = [t for t, text in stronger.events if text.endswith("cutoff!") and "AJ10" in text][0]
    base_events = ascent.fly(36, 18, events=True).events
    base_burn = [t for t, x in base_events if x.endswith("cutoff!") and "AJ10" in x][0] - \
        [t for t, x in base_events if x.endswith("ignition!")][0]
    assert cutoff - ignition < base_burn


def test_the_step_table_is_the_flight_physics(workdir):
    table = ascent.fly(36, 18).table
    # The mass only falls while the vehicle burns (time steps back in searches: compare in
    # time order only where time advances).
    forward = np.diff(table["t"]) > 0
    assert np.all(np.diff(table["m"])[forward] <= 0)
    # At liftoff the vehicle stands on the pad: no altitude, no range, vertical.
    assert table["t"][0] == 0 and table["h0"][0] == 0 and table["r0"][0] == 0 and table["theta"][0] == 90


def test_bad_answers_are_refused_before_flying(workdir):
    with pytest.raises(ValueError):
        ascent.fly(0.5, 18)
    with pytest.raises(ValueError):
        ascent.fly("abc", 18)
    with pytest.raises(ValueError):
        ascent.fly(float("nan"), 18)


def test_a_vehicle_file_flies_as_the_program_flies_it(workdir):
    printed = run_ascent(workdir, "", "--print-vehicle")
    assert printed.returncode == 0, printed.stderr
    (workdir / "built_in.toml").write_bytes(printed.stdout)
    assert ascent.Vehicle.from_file(workdir / "built_in.toml") == ascent.Vehicle()
    assert ascent.Vehicle().to_toml().encode() == printed.stdout

    # A changed quantity, and a profile named beside the description in a folder of its own.
    (workdir / "design").mkdir()
    (workdir / "design" / "boosters.dat").write_bytes((workdir / "s1.dat").read_bytes())
    text = printed.stdout.decode().replace("exhaust_speed = 4420.8", "exhaust_speed = 4450")
    text = text.replace('# profile = "s1.dat"', 'profile = "boosters.dat"')
    (workdir / "design" / "v.toml").write_text(text)
    (workdir / "s1.dat").unlink()  # only the named profile may be read
    cli = run_ascent(workdir, "out.txt\n36\n18\ny\n-1\n", "--vehicle", "design/v.toml")
    assert cli.returncode == 0, cli.stderr
    v = ascent.Vehicle.from_file("design/v.toml")
    assert v["core.exhaust_speed"] == 4450.0
    flight = ascent.fly(36, 18, vehicle=v, output=True)
    assert flight.output == (workdir / "out.txt").read_bytes()


def test_a_bad_vehicle_file_is_refused_as_the_program_refuses_it(workdir):
    printed = run_ascent(workdir, "", "--print-vehicle").stdout.decode()
    (workdir / "bad.toml").write_text(printed.replace("mass = 9707", "mass = -9707"))
    cli = run_ascent(workdir, "out.txt\n36\n18\ny\n-1\n", "--vehicle", "bad.toml")
    with pytest.raises(ascent.VehicleError) as e:
        ascent.Vehicle.from_file("bad.toml")
    assert e.value.code == cli.returncode == 65
    assert cli.stderr.decode().strip() == f"ascent: {e.value.message}"
    assert e.value.message.startswith("bad.toml:") and "fairing.mass" in e.value.message


def test_a_bundled_vehicle_flies_its_own_profile(workdir):
    # Tarvos 3 names its booster profile beside its description: no s1.dat is read.
    (workdir / "s1.dat").unlink()
    toml = SOURCE_DIR / "vehicles" / "tarvos3.toml"
    cli = run_ascent(workdir, "out.txt\n40\n18\ny\n-1\n", "--vehicle", str(toml))
    assert cli.returncode == 0, cli.stderr
    v = ascent.Vehicle.from_file(toml)
    assert v.profile_path == str(SOURCE_DIR / "vehicles" / "tarvos3_boosters.dat")
    flight = ascent.fly(40, 18, vehicle=toml, output=True)
    assert flight.output == (workdir / "out.txt").read_bytes()
    assert flight.summary["SC_M"] == report_number(flight.output, r"SC_M\s+=\s+(-?\d+);")
    # Its events name its own upper-stage engine (read here from the file
    # itself), at the times of the program's own lines, and carry their values.
    import tomllib
    engine = tomllib.loads(toml.read_text())["upper"]["engine"]
    events = ascent.fly(40, 18, vehicle=toml, events=True).events
    upper = [e for e in events if e.kind in ("upper_ignition", "upper_cutoff")]
    assert [(e.kind, e.values["engine"], e.text) for e in upper] == [
        ("upper_ignition", engine, f"{engine} ignition!"), ("upper_cutoff", engine, f"{engine} cutoff!")]
    lines = flight.output.decode("latin-1").split("\r\n")
    for e in upper:
        before = lines[:lines.index(e.text)]
        last_table = [l for l in before if re.match(r"^ *-?\d+\.\d\d ", l)][-1]
        assert abs(e.t - float(last_table.split()[0])) <= 0.005 * (1 + 1e-9)
    summary = [e for e in events if e.kind == "summary"][0]
    assert summary.values["SC_M"] == flight.summary["SC_M"]


def test_a_guided_vehicle_flies_as_the_program_flies_it(workdir):
    # Closed-loop guidance through the same entry point: the program's bytes,
    # and the guidance's own lines among the events at their places.
    toml = SOURCE_DIR / "vehicles" / "orvalon5_guided.toml"
    cli = run_ascent(workdir, "out.txt\n36\n18\ny\n-1\n", "--vehicle", str(toml))
    assert cli.returncode == 0, cli.stderr
    flight = ascent.fly(36, 18, vehicle=toml, output=True, events=True)
    assert flight.output == (workdir / "out.txt").read_bytes()
    lines = flight.output.decode("latin-1").split("\r\n")
    guided = [e for e in flight.events if e.kind.startswith("guidance_")]
    assert [(e.kind, e.values["stage"]) for e in guided] == [
        ("guidance_takeover", "core"), ("guidance_converged", "core"),
        ("guidance_takeover", "upper"), ("guidance_converged", "upper")]
    assert all(e.text in lines for e in guided)


def test_a_profile_changed_between_flights_is_flown_as_it_now_reads(workdir):
    # The module keeps the profile it parsed last; a file whose bytes changed must be read anew,
    # as the program reads it.
    ascent.fly(36, 18)
    lines = (workdir / "s1.dat").read_text().splitlines()
    scaled = [f"{t} {float(f) * 0.98:.1f}" for t, f in (line.split() for line in lines)]
    (workdir / "s1.dat").write_text("\n".join(scaled) + "\n")
    cli = run_ascent(workdir, "out.txt\n36\n18\ny\n-1\n")
    assert cli.returncode == 0, cli.stderr
    assert ascent.fly(36, 18, output=True).output == (workdir / "out.txt").read_bytes()


def test_import_leaves_numpy_and_pandas_to_the_calls_that_need_them():
    # `import ascent` costs the extension alone; NumPy and pandas come with the first arrays and frames.
    code = "import sys, ascent; print(sorted(m for m in ('numpy', 'pandas') if m in sys.modules))"
    run = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=60)
    assert run.returncode == 0, run.stderr
    assert run.stdout.strip() == "[]"


# A staged description flown from Python against `ascent --vehicle FILE --json`: the same events,
# final orbit and masses, to the bit (JSON carries every digit of a double).
@pytest.mark.parametrize("name", ["corvane_leo.toml", "corvane_gto.toml", "delta3_gto.toml"])
def test_staged_flight_equals_the_program(workdir, name):
    import json
    path = SOURCE_DIR / "vehicles" / name
    cli = run_ascent(workdir, "", "--vehicle", str(path), "--json", "f.json")
    assert cli.returncode == 0, cli.stderr
    want = json.loads((workdir / "f.json").read_text())
    flight = ascent.fly(vehicle=path)
    assert flight.reached == want["reached"]
    assert flight.events == [(e["t"], e["event"], e["altitude"], e["speed"], e["mass"]) for e in want["events"]]
    for key in ("perigee_altitude", "apogee_altitude", "perigee_angle"):
        assert flight.final_orbit[key] == want["final_orbit"][key], key
    assert (flight.mass, flight.liftoff_mass) == (want["masses"]["final"], want["masses"]["liftoff"])
    # The table ends on the final mass (a cut-off located within its last step, to rounding);
    # the same text given as text flies the same flight.
    assert flight.table["m"][-1] == pytest.approx(flight.mass, rel=1e-12)
    again = ascent.fly(vehicle=path.read_text())
    assert (again.events, again.mass, again.steps) == (flight.events, flight.mass, flight.steps)
