"""Flight.export against ascent --trajectory, the KML and CZML read as XML and JSON, and the
OEM's EME2000 states against ERFA's reduction (pyerfa) of the Earth-fixed ones, for the planar
and the 3-D flight."""

import json
import math
import warnings
import xml.etree.ElementTree as ET

import erfa
import numpy as np
import pytest

import ascent
from conftest import PROFILE, SOURCE_DIR, run_ascent
from test_propagate import ground_distance, kepler_impact, release_state

KML = "{http://www.opengis.net/kml/2.2}"
GX = "{http://www.google.com/kml/ext/2.2}"


@pytest.fixture(scope="module")
def flight():
    return ascent.fly(36, 18, profile=PROFILE)


def test_export_writes_the_programs_bytes(workdir, flight):
    for name in ("f.oem", "f.czml", "f.kml"):
        cli = run_ascent(workdir, "out.txt\n36\n18\ny\n-1\n", "--trajectory", "cli" + name[1:],
                         "--epoch", "2027-05-01T08:00:00")
        assert cli.returncode == 0, cli.stderr
        flight.export(workdir / name, epoch="2027-05-01T08:00:00")
        assert (workdir / name).read_bytes() == (workdir / ("cli" + name[1:])).read_bytes(), name


def test_kml_is_a_track_from_the_pad(workdir, flight):
    flight.export(workdir / "f.kml")
    doc = ET.parse(workdir / "f.kml").getroot()
    track = doc.find(f"{KML}Document/{KML}Placemark/{GX}Track")
    when = track.findall(f"{KML}when")
    coords = [tuple(map(float, c.text.split())) for c in track.findall(f"{GX}coord")]
    assert len(when) == len(coords) > 100
    assert when[0].text == "2027-01-01T00:00:00.000000Z"
    # The pad: the built-in site (28.45 N, 80.6 W) on the ground.
    assert coords[0] == pytest.approx((-80.6, 28.45, 0.0), abs=1e-7)
    # Heights above the ellipsoid: the model's sphere is up to 21.4 km above it (at the poles).
    assert 0 < max(c[2] for c in coords) - max(flight.table["h0"]) < 21400
    names = [p.findtext(f"{KML}name") for p in doc.iter(f"{KML}Placemark")][1:]
    assert {"booster separation", "core separation", "AJ10-190 cutoff"} <= set(names)


def test_czml_packets(workdir, flight):
    flight.export(workdir / "f.czml")
    packets = json.loads((workdir / "f.czml").read_text())
    assert packets[0]["id"] == "document" and packets[0]["version"] == "1.0"
    position = packets[1]["position"]
    assert position["referenceFrame"] == "FIXED"
    samples = position["cartesian"]
    assert len(samples) % 4 == 0
    times = samples[0::4]
    assert all(b > a for a, b in zip(times, times[1:]))
    assert times[-1] == pytest.approx(flight.table["t"][-1], abs=1e-6)  # to the microsecond
    # The pad on the WGS 84 ellipsoid at geodetic latitude 28.45: its geocentric radius.
    a, b, lat = 6378137.0, 6356752.314245, math.radians(28.45)
    c, s = math.cos(lat), math.sin(lat)
    radius = math.sqrt(((a * a * c) ** 2 + (b * b * s) ** 2) / ((a * c) ** 2 + (b * s) ** 2))
    assert math.dist((0, 0, 0), samples[1:4]) == pytest.approx(radius, abs=0.01)
    events = [p for p in packets[2:] if p["id"].startswith("event-")]
    assert events and all(p["label"]["text"] for p in events)
    assert all(len(p["position"]["cartesian"]) == 3 for p in events)
    # After the events: where the boosters and the fairing come down, on the ellipsoid, and the
    # instantaneous impact point's line on the ground.
    impacts = packets[2 + len(events):]
    assert [p["id"] for p in impacts] == ["impact-1", "impact-2", "instantaneous-impact-point"]
    for p in impacts[:2]:
        x, y, z = p["position"]["cartesian"]
        assert (x * x + y * y) / (a * a) + z * z / (b * b) == pytest.approx(1.0, abs=1e-9)


@pytest.mark.parametrize("name,epoch,code", [("f.txt", "2027-01-01T00:00:00", 64),
                                             ("f.oem", "2027-01-32T00:00:00", 64),
                                             ("no/such/folder/f.oem", "2027-01-01T00:00:00", 3),
                                             # A NUL would end the name early: f.oem, written as KML.
                                             ("f.oem\0.kml", "2027-01-01T00:00:00", 64)])
def test_export_errors(workdir, flight, name, epoch, code):
    with pytest.raises(ascent.AscentError) as e:
        flight.export(workdir / name, epoch=epoch)
    assert e.value.code == code
    assert not (workdir / "f.oem").exists()


def read_oem(path):
    """The data lines of an OEM: UTC texts, positions (m) and velocities (m/s)."""
    text = path.read_text()
    lines = [line.split() for line in text[text.index("META_STOP"):].splitlines()[1:] if line.strip()]
    return [f[0] for f in lines], np.array([[float(x) * 1000 for x in f[1:]] for f in lines])


def utc_dates(texts):
    """ERFA's two-part quasi-Julian dates of UTC texts YYYY-MM-DDThh:mm:ss.ffffff[Z]."""
    fields = list(zip(*[(t[:4], t[5:7], t[8:10], t[11:13], t[14:16], t[17:].rstrip("Z")) for t in texts]))
    return erfa.dtf2d("UTC", *(np.array(f, int) for f in fields[:5]), np.array(fields[5], float))


def gcrs_to_terrestrial(texts, dut1):
    """The equinox-based route (the exports take the CIO-based one): the IAU 2006/2000A
    bias-precession-nutation matrix and Greenwich apparent sidereal time, no polar motion."""
    utc1, utc2 = utc_dates(texts)
    tt1, tt2 = erfa.taitt(*erfa.utctai(utc1, utc2))
    ut11, ut12 = erfa.utcut1(utc1, utc2, dut1)
    rnpb = erfa.pnm06a(tt1, tt2)
    return erfa.c2teqx(rnpb, erfa.gst06(ut11, ut12, tt1, tt2, rnpb), np.eye(3)), rnpb


def earth_fixed_tracks(folder):
    """The Earth-fixed track of f.czml (cartesian, m) and of f.kml (geodetic, turned cartesian by
    ERFA), as Cesium and Google Earth draw them, and the KML's UTC texts."""
    samples = np.array(json.loads((folder / "f.czml").read_text())[1]["position"]["cartesian"]).reshape(-1, 4)
    track = ET.parse(folder / "f.kml").getroot().find(f"{KML}Document/{KML}Placemark/{GX}Track")
    coords = np.array([c.text.split() for c in track.findall(f"{GX}coord")], float)
    kml = erfa.gd2gc(1, np.radians(coords[:, 0]), np.radians(coords[:, 1]), coords[:, 2])
    return samples[:, 1:], kml, [w.text.rstrip("Z") for w in track.findall(f"{KML}when")]


# GCRS to EME2000: the IAU 2000 frame bias angles, turned into a matrix as ERFA's bp00 does.
_dpsi, _deps, _dra = erfa.bi00()
BIAS = erfa.rx(-_deps, erfa.ry(_dpsi * math.sin(math.radians(84381.448 / 3600)), erfa.rz(_dra, np.eye(3))))


@pytest.mark.parametrize("vehicle,epoch,dut1", [
    (None, "2027-01-01T00:00:00", 0.0),
    ({"model.dut1": -0.45}, "2024-03-20T03:06:00", -0.45),
    ({"target.latitude": 5.2, "target.longitude": -52.8, "target.inclination": 6.0, "model.dut1": 0.3},
     "2016-12-31T23:40:00.5", 0.3),
])
def test_oem_is_erfas_reduction_of_the_earth_fixed_track(workdir, vehicle, epoch, dut1):
    f = ascent.fly(36, 18, vehicle=vehicle, profile=PROFILE)
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")  # ERFA's doubt about leap seconds in 2027: under 1 mm here
        for name in ("f.oem", "f.czml", "f.kml"):
            f.export(workdir / name, epoch=epoch)
        times, states = read_oem(workdir / "f.oem")
        c2t, rnpb = gcrs_to_terrestrial(times, dut1)
    r, v = states[:, :3], states[:, 3:]
    czml, kml, kml_times = earth_fixed_tracks(workdir)
    assert kml_times == times
    assert len(czml) == len(times)
    for fixed, tolerance in ((czml, 0.01), (kml, 0.1)):
        eme = np.einsum("ij,njk,nk->ni", BIAS, np.transpose(c2t, (0, 2, 1)), fixed)
        assert np.abs(eme - r).max() < 1.0
        assert np.linalg.norm(eme - r, axis=1).max() < tolerance + 0.002  # the file's rounding
    # The pad: the first state, back on the ground, is the site.
    lon, lat, h = erfa.gc2gd(1, c2t[0] @ BIAS.T @ r[0])
    site = ascent.Vehicle().with_values(vehicle or {})
    assert math.degrees(lat) == pytest.approx(site["target.latitude"], abs=1e-8)
    assert math.degrees(lon) == pytest.approx(site["target.longitude"], abs=1e-8)
    assert h == pytest.approx(0, abs=0.01)
    # The plane of the orbit over the true equator of date has the target inclination.
    n = rnpb[0] @ BIAS.T @ np.cross(r[-1], v[-1])
    assert math.degrees(math.acos(n[2] / np.linalg.norm(n))) == pytest.approx(site["target.inclination"], abs=1e-6)


def corvane(folder, site, dut1, dynamics):
    """Corvane 2 flown from `site` (lines of [mission]), UT1 - UTC = dut1, in "3d" or "planar"."""
    text = (SOURCE_DIR / "vehicles" / "corvane_leo.toml").read_text().replace("latitude = 28.5\n", site)
    path = folder / f"c_{dynamics}.toml"
    path.write_text(text + f'\n[model]\ndynamics = "{dynamics}"\ndut1 = {dut1}\n')
    return path


@pytest.mark.parametrize("site,epoch,dut1", [
    ("latitude = 28.5\nlongitude = -80.6\nsite_altitude = 3\n", "2027-03-01T12:00:00", 0.0),
    ("latitude = 45.9\nlongitude = 63.3\nsite_altitude = 90\n", "2024-06-30T23:50:00.5", -0.35),
], ids=["28.5N-2027", "45.9N-2024"])
def test_3d_oem_is_erfas_reduction_of_the_flights_earth(workdir, site, epoch, dut1):
    # The 3-D flight's OEM turns its inertial frame to EME2000 through the equinox-based chain
    # (the sidereal angle and the true equator of date); here its own Earth-fixed track comes back
    # through the CIO-based one (Earth rotation angle and the CIP's X, Y), each instant's own. The
    # flight's Earth turns at WGS 84's rate about the axis of the epoch: the real one turns faster
    # by 1.5e-12 rad/s and its axis moves by under 1e-11 rad/s, centimetres in the flight's hour.
    vehicle = corvane(workdir, site, dut1, "3d")
    for name in ("f.oem", "f.czml", "f.kml"):
        done = run_ascent(workdir, "", "--vehicle", str(vehicle), "--trajectory", name, "--epoch", epoch,
                          "--json", "f.json")
        assert done.returncode == 0, done.stderr
    done = run_ascent(workdir, "", "--vehicle", str(corvane(workdir, site, dut1, "planar")), "--json", "p.json")
    assert done.returncode == 0, done.stderr
    flight = json.loads((workdir / "f.json").read_text())
    assert flight["reached"]
    times, states = read_oem(workdir / "f.oem")
    r, v = states[:, :3], states[:, 3:]
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")  # ERFA's doubt about leap seconds in 2027: under 1 mm here
        utc1, utc2 = utc_dates(times)
        tt1, tt2 = erfa.taitt(*erfa.utctai(utc1, utc2))
        c2t = erfa.c2t06a(tt1, tt2, *erfa.utcut1(utc1, utc2, dut1), 0.0, 0.0)
    czml, kml, kml_times = earth_fixed_tracks(workdir)
    assert kml_times == times and len(czml) == len(times) > 1000
    drift = 1e-11 * ((utc1 - utc1[0]) + (utc2 - utc2[0])) * 86400 * np.linalg.norm(r, axis=1)
    for fixed, tolerance in ((czml, 0.01), (kml, 0.1)):  # the files' millimetres and decimetres
        miss = np.linalg.norm(np.einsum("ij,njk,nk->ni", BIAS, np.transpose(c2t, (0, 2, 1)), fixed) - r, axis=1)
        assert miss.max() < 1.0
        assert np.all(miss < tolerance + drift)
    # The pad: the first state, back on the ground by ERFA, is the site (1e-7 deg is 1 cm).
    lon, lat, h = erfa.gc2gd(1, c2t[0] @ BIAS.T @ r[0])
    want = dict(line.split(" = ") for line in site.splitlines())
    assert (math.degrees(lat), math.degrees(lon)) == pytest.approx(
        (float(want["latitude"]), float(want["longitude"])), abs=1e-7)
    assert h == pytest.approx(float(want["site_altitude"]), abs=0.01)
    # The orbit's plane over the true equator and equinox of the epoch: the flight's own.
    n = erfa.pnm06a(tt1[0], tt2[0]) @ BIAS.T @ np.cross(r[-1], v[-1])
    orbit = flight["final_orbit"]
    assert math.degrees(math.acos(n[2] / np.linalg.norm(n))) == pytest.approx(
        orbit["inclination_osculating_deg"], abs=1e-6)
    assert math.degrees(math.atan2(n[0], -n[1])) % 360 == pytest.approx(orbit["node_osculating_deg"], abs=1e-6)
    # Where the flight would come down, every 10 s, against a vacuum Kepler fall from the released
    # state (1 % of the range); a fall for each part the flight dropped.
    iip = flight["instantaneous_impact_points"]
    assert len(iip) > 10
    for p in iip:
        lat, lon, tof = kepler_impact(*release_state(p["release"]))
        rng = ground_distance(p["release"]["lat_deg"], p["release"]["lon_deg"], lat, lon)
        assert ground_distance(p["impact_lat_deg"], p["impact_lon_deg"], lat, lon) <= 0.01 * rng + 50
    dropped = [(s["t"], s["what"].split(": ")[0]) for s in flight["separations"]]
    assert [(p["t"], p["part"]) for p in flight["impact_points"]] == dropped
    assert [part for _, part in dropped] == ["first stage", "fairing"]
    # Its lines in the air: the largest dynamic pressure is the planar flight's (a sphere without
    # J2, the Earth's turn credited along the plane) within 2 %.
    q3, qp = (max(json.loads((workdir / f).read_text())["path"]["dynamic_pressure"]) for f in ("f.json", "p.json"))
    assert q3 == pytest.approx(qp, rel=0.02)
