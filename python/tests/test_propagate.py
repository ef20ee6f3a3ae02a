"""ascent.propagate: a ballistic flight over the rotating Earth, against published check-cases, a
Kepler fall and a fall integrated here on other equations."""

import math

import numpy as np
import pytest

import ascent

FT = 0.3048  # m
MU = 3.986004418e14  # m^3/s^2, WGS 84
OMEGA = 7.292115e-5  # rad/s
R_ROUND = 6371007.1809  # m, the check-cases' sphere (WGS 84's authalic radius)

# NASA/TM-2015-218675 (flight-simulation check-cases, Vol. I and II), cases 5 to 10: a sphere of
# 1 slug, 0.1963495 ft^2, C_D 0.1, 30 s from latitude 0, longitude 0. Initial altitude (ft) and
# V_NED (ft/s), wind as (h ft, east ft/s) points, and the published end state (SIM 5): altitude (ft),
# latitude and longitude (deg), V_NED (ft/s). Tolerances are the spread between the publication's
# simulators: 0.6 ft of altitude (cases 5 to 8), 5 ft (9 and 10), 0.07 ft/s.
WEST_20 = [(0.0, 20.0)]
SHEAR = [(0.0, -20.0), (40000.0, 100.0)]  # (0.003 h - 20) ft/s from the west
CASES = [
    (5, "round", 30000, (0, 0, 0), None, 16276.38553, 0.0, 5.346997709e-5, (0, 1.843897957, 864.4800352), 0.6),
    (6, "wgs84", 30000, (0, 0, 0), None, 16284.44475, 0.0, 5.337981987e-5, (0, 1.842930477, 864.0107594), 0.6),
    (7, "wgs84", 30000, (0, 0, 0), WEST_20, 16285.16222, 0.0, 1.285418332e-4, (0, 4.708379684, 863.9668306), 0.6),
    (8, "wgs84", 30000, (0, 0, 0), SHEAR, 16290.99886, 0.0, 2.73579961e-4, (0, 8.731009259, 863.6941069), 0.6),
    (9, "wgs84", 0, (0, 1000, -1000), None, 10160.97931, 0.0, 0.06164781332, (0, 610.7459749, 181.7485866), 5),
    (10, "wgs84", 0, (1000, 0, -1000), None, 10114.79509, 0.06213558892, -7.847582758e-5,
     (611.5350065, -1.063770485, 184.4468395), 5),
]


@pytest.mark.parametrize("case", CASES, ids=[f"case{c[0]}" for c in CASES])
def test_published_check_cases(case):
    _, earth, h0, v0, wind, h1, lat1, lon1, v1, tol_ft = case
    wind_m = None if wind is None else [(h * FT, e * FT, 0.0) for h, e in wind]
    tr = ascent.propagate(0.0, 0.0, h0 * FT, [v * FT for v in v0], 14.5939029, 0.1963495 * FT * FT, 0.1, 30.0,
                          earth=earth, wind=wind_m)
    assert tr.t[-1] == pytest.approx(30.0)
    assert tr.alt_m[-1] / FT == pytest.approx(h1, abs=tol_ft)
    # Places to a foot of ground (1 ft is 2.74e-6 deg at the equator).
    assert tr.lat_deg[-1] == pytest.approx(lat1, abs=2.74e-6)
    assert tr.lon_deg[-1] == pytest.approx(lon1, abs=2.74e-6)
    np.testing.assert_allclose(tr.v_ned[-1] / FT, v1, atol=0.07)


def kepler_fall(r0, v0, R):
    """Where and when an equatorial conic from (r0, v0) (inertial, m and m/s, in the equator's
    plane) meets the sphere of radius R on its way down: inertial angle travelled (positive
    eastward) and time. A westward conic is the mirror image of an eastward one."""
    if r0[0] * v0[1] - r0[1] * v0[0] < 0:
        angle, tof = kepler_fall((r0[0], -r0[1]), (v0[0], -v0[1]), R)
        return -angle, tof
    r = math.hypot(*r0)
    h = r0[0] * v0[1] - r0[1] * v0[0]
    energy = 0.5 * (v0[0] ** 2 + v0[1] ** 2) - MU / r
    a = -MU / (2 * energy)
    e = math.sqrt(1 - h * h / (MU * a))
    def anomalies(rr, descending):
        nu = math.acos((h * h / (MU * rr) - 1) / e)
        nu = 2 * math.pi - nu if descending else nu
        E = 2 * math.atan2(math.sqrt(1 - e) * math.sin(nu / 2), math.sqrt(1 + e) * math.cos(nu / 2))
        return nu, E - e * math.sin(E)
    rising = r0[0] * v0[0] + r0[1] * v0[1] > 0
    nu0, M0 = anomalies(r, not rising)
    nu1, M1 = anomalies(R, True)
    M1 += 2 * math.pi if M1 < M0 else 0
    return nu1 - nu0 if nu1 > nu0 else nu1 - nu0 + 2 * math.pi, (M1 - M0) * math.sqrt(a ** 3 / MU)


@pytest.mark.parametrize("v_ned", [(0, 2000, -1000), (0, -3000, -500), (0, 5000, 0)])
def test_vacuum_fall_lands_where_kepler_says(v_ned):
    # A round Earth with no drag (C_D 0): the fall is a conic in the inertial frame, which turns
    # under it; released over the equator with no north speed it stays in the equator's plane.
    h0 = 120e3
    r = R_ROUND + h0
    tr = ascent.propagate(0.0, 0.0, h0, v_ned, 1000.0, 1.0, 0.0, 5000.0, earth="round", step_s=1.0)
    angle, tof = kepler_fall((r, 0.0), (-v_ned[2], v_ned[1] + OMEGA * r), R_ROUND)
    lon_kepler = math.degrees(angle - OMEGA * tof)
    lon_kepler = (lon_kepler + 180) % 360 - 180
    assert tr.alt_m[-1] == pytest.approx(0.0, abs=1.0)
    assert tr.t[-1] == pytest.approx(tof, rel=1e-4)
    # Range to 0.1 % (analytic impact points are published to 1 %).
    assert abs(tr.lon_deg[-1] - lon_kepler) <= 1e-3 * abs(lon_kepler)
    assert np.all(tr.lat_deg == 0.0)


def standard_density(z):
    """US Standard Atmosphere 1976 below 86 km, from its layers (geometric altitude z in m)."""
    H = 6356766.0 * z / (6356766.0 + z)
    layers = [(0, 288.15, -0.0065, 101325.0), (11000, 216.65, 0, 22632.06), (20000, 216.65, 0.001, 5474.889),
              (32000, 228.65, 0.0028, 868.0187), (47000, 270.65, 0, 110.9063), (51000, 270.65, -0.0028, 66.93887),
              (71000, 214.65, -0.002, 3.956420)]
    hb, tb, lb, pb = [layer for layer in layers if layer[0] <= max(H, 0)][-1]
    gmr = 0.034163195
    T = tb + lb * (H - hb)
    p = pb * math.exp(-gmr * (H - hb) / tb) if lb == 0 else pb * (tb / T) ** (gmr / lb)
    return p * 0.0034836764 / T


def test_fall_through_the_air_against_a_rotating_frame_integration():
    # The same fall integrated in the Earth-fixed frame (Coriolis and centrifugal terms, the
    # air still in that frame, wind from the west at 30 m/s), with SciPy's adaptive integrator.
    from scipy.integrate import solve_ivp

    beta = 500.0 / (1.2 * 2.0)  # kg/m^2
    lat0 = math.radians(30.0)
    h0, v_ned = 60e3, (300.0, 1500.0, -200.0)
    w = np.array([0.0, 0.0, OMEGA])

    def ned(lat, lon):
        sl, cl, so, co = math.sin(lat), math.cos(lat), math.sin(lon), math.cos(lon)
        return np.array([[-sl * co, -sl * so, cl], [-so, co, 0], [-cl * co, -cl * so, -sl]])

    def rates(_, y):
        x, v = y[:3], y[3:]
        r = np.linalg.norm(x)
        lat, lon = math.asin(x[2] / r), math.atan2(x[1], x[0])
        v_air = v - ned(lat, lon).T @ np.array([0.0, 30.0, 0.0])
        drag = -0.5 * standard_density(r - R_ROUND) * np.linalg.norm(v_air) * v_air / beta
        return np.concatenate([v, -MU * x / r ** 3 - 2 * np.cross(w, v) - np.cross(w, np.cross(w, x)) + drag])

    ground = lambda _, y: np.linalg.norm(y[:3]) - R_ROUND
    ground.terminal, ground.direction = True, -1
    x0 = (R_ROUND + h0) * np.array([math.cos(lat0), 0.0, math.sin(lat0)])
    sol = solve_ivp(rates, (0, 3000), np.concatenate([x0, ned(lat0, 0).T @ np.array(v_ned)]), method="DOP853",
                    rtol=1e-11, atol=1e-6, events=ground)
    xe = sol.y_events[0][0][:3]
    tr = ascent.propagate(30.0, 0.0, h0, v_ned, 500.0, 2.0, 1.2, 3000.0, earth="round", wind=[(0.0, 30.0, 0.0)],
                          step_s=0.05)
    lat, lon = math.radians(tr.lat_deg[-1]), math.radians(tr.lon_deg[-1])
    x = R_ROUND * np.array([math.cos(lat) * math.cos(lon), math.cos(lat) * math.sin(lon), math.sin(lat)])
    assert tr.t[-1] == pytest.approx(sol.t_events[0][0], abs=0.01)
    assert np.linalg.norm(x - xe) < 5.0  # m, over a range of some 100 km
    assert np.linalg.norm(xe - x0 * R_ROUND / (R_ROUND + h0)) > 5e4


@pytest.mark.parametrize("change, message", [
    ({"lat_deg": 91}, "lat_deg"), ({"v_ned": [1, 2]}, "v_ned"), ({"mass_kg": 0}, "mass_kg"),
    ({"cd": -1}, "cd"), ({"duration_s": float("nan")}, "duration_s"), ({"earth": "flat"}, "earth"),
    ({"wind": [(100, 1, 0), (50, 1, 0)]}, "increase"), ({"wind": [(0, 1)]}, "wind"),
])
def test_bad_arguments_are_named(change, message):
    args = dict(lat_deg=0, lon_deg=0, alt_m=1000, v_ned=[0, 0, 0], mass_kg=1, area_m2=1, cd=1, duration_s=1)
    args.update(change)
    with pytest.raises(ValueError, match=message):
        ascent.propagate(**args)
