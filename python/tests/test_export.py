"""Flight.export against ascent --trajectory, and the KML and CZML read as XML and JSON."""

import json
import math
import xml.etree.ElementTree as ET

import pytest

import ascent
from conftest import PROFILE, run_ascent

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
    assert max(c[2] for c in coords) == pytest.approx(max(flight.table["h0"]), abs=0.05)
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
    events = packets[2:]
    assert events and all(p["id"].startswith("event-") and p["label"]["text"] for p in events)
    assert all(len(p["position"]["cartesian"]) == 3 for p in events)


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
