#pragma once

namespace ascent {

// The Earth of the simulation: a sphere with inverse-square gravity.
constexpr double Re = 6378165.0;      // m, radius of the reference sphere; altitudes are above it
constexpr double mu = 3.986005e14;    // m^3/s^2, gravitational parameter
constexpr double gs = 9.798200881516824;  // m/s^2, surface gravity mu/Re^2 on the reference sphere
constexpr double sidereal_day = 86164.09;  // s, one turn of the Earth against the stars
constexpr double P0 = 101325.0;       // Pa, sea-level pressure of the standard atmosphere
constexpr double h_edge_of_space = 100000.0;  // m, where space begins (the Karman line)
constexpr double pi = 3.14159265358979323846;  // the double nearest to pi

// WGS 84's defining semi-major axis and flattening: the ellipsoid places on
// the globe (impact points, exports) are geodetic on.
constexpr double wgs84_a = 6378137.0;  // m
constexpr double wgs84_f = 1.0 / 298.257223563;

}  // namespace ascent
