"""A 3-D flight ([model] dynamics = "3d") from Python against `ascent` itself, and the plane change
a target node asks at lift-off against spherical trigonometry on pyerfa's own reduction of the
site (test_window's): Napier's rules give the two nodes of the target's inclination whose planes
hold the site, and two planes of one inclination i whose nodes are dW apart meet at an angle of
cos(angle) = cos^2 i + sin^2 i cos dW."""

import json
import math
import subprocess
import warnings

import pytest

import ascent
from conftest import SOURCE_DIR, program
from test_window import site_ra_dec

EPOCH = "2026-03-01T12:00:00"
LAT, LON, INC = 28.5, -80.6, 51.6


def description(node):
    text = (SOURCE_DIR / "vehicles" / "corvane_leo.toml").read_text()
    mission = f"latitude = {LAT}\nlongitude = {LON}\n" + ("" if node is None else f"node = {node}\n")
    return text.replace(f"latitude = {LAT}\n", mission) + '\n[model]\ndynamics = "3d"\n'


def plane_change_by_hand(node, utc):
    """deg: the angle from the plane (INC, node) to the nearer plane of INC through the site."""
    ra, dec = site_ra_dec(LAT, LON, utc, False)
    i = math.radians(INC)
    u = math.asin(math.sin(dec) / math.sin(i))  # the site's argument of latitude on the ascending pass
    nodes = [ra - math.atan2(math.cos(i) * math.sin(u), c) for c in (math.cos(u), -math.cos(u))]
    cosines = [math.cos(i) ** 2 + math.sin(i) ** 2 * math.cos(math.radians(node) - w) for w in nodes]
    return math.degrees(math.acos(max(cosines))), math.degrees(nodes[0]) % 360


ASCENDING = plane_change_by_hand(0.0, EPOCH)[1]  # the node of the plane the site lies in at EPOCH


@pytest.mark.parametrize("node", [None, round((ASCENDING + 1.5) % 360, 3), round((ASCENDING + 125) % 360, 3)])
def test_the_module_flies_in_3d_as_ascent_and_warns_of_a_far_node(tmp_path, node):
    (tmp_path / "v.toml").write_text(description(node))
    run = subprocess.run([program("ASCENT_BINARY"), "--vehicle", "v.toml", "--json", "v.json", "--epoch", EPOCH],
                         cwd=tmp_path, capture_output=True, text=True, timeout=120)
    assert run.returncode == 0, run.stderr  # a warning leaves the exit code as it was
    tool = json.loads((tmp_path / "v.json").read_text())
    with warnings.catch_warnings(record=True) as said:
        warnings.simplefilter("always")
        f = ascent.fly(vehicle=str(tmp_path / "v.toml"), epoch=EPOCH)
    # The same numbers to the bit: the elements osculating and mean, the events, the masses.
    assert isinstance(f, ascent.Flight3d) and f.json == tool
    assert f.mass == tool["masses"]["final"] and f.final_orbit["inclination_mean_deg"] > 0
    assert ["ascent: " + str(w.message) for w in said] == run.stderr.splitlines()
    if node is None:
        assert f.plane_change_to_node_deg is None and run.stderr == ""
        return
    angle, _ = plane_change_by_hand(node, EPOCH)
    assert f.plane_change_to_node_deg == pytest.approx(angle, abs=1e-6)
    assert (run.stderr != "") == (angle > 3)
    if angle > 3:
        line = run.stderr.strip()
        assert f"plane change of {angle:.2f} deg" in line and "(ascending)" in line and "(descending)" in line
        # At each launch time it names, the site lies in the target plane.
        for when in line.split("passes under it at ")[1].replace(" and ", " ").split()[::2]:
            assert plane_change_by_hand(node, when)[0] < 1e-5


def test_an_epoch_is_for_a_3d_flight_alone():
    planar = (SOURCE_DIR / "vehicles" / "corvane_leo.toml").read_text()
    with pytest.raises(ValueError, match="only a 3-D one"):
        ascent.fly(vehicle=planar, epoch=EPOCH)
    with pytest.raises(ascent.AscentError, match="epoch"):
        ascent.fly(vehicle=description(None), epoch="2026-02-30T00:00:00")
