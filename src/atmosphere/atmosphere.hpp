#pragma once
#include <array>

#include "atmosphere/earth.hpp"

namespace ascent {

// Builds the layer and spline tables. Safe to call any number of times; the
// tables are also built on first use, so `atmosphere` is correct either way.
void atmosphere_init();

// Ambient pressure p (Pa), density rho (kg/m^3) and speed of sound a_s (m/s)
// at altitude h (m) above the reference sphere.
void atmosphere(double h, double& p, double& rho, double& a_s);

// The same look-up for a caller with no use for the pressure (no nozzle to
// load with back-pressure): above 86 km the pressure has a spline and an
// exponential of its own, which are skipped there, and p is set to 0 instead;
// the answer is true then. Below 86 km the density is computed from the
// pressure, which is set as `atmosphere` sets it, and so it is where the
// altitude is not a number; the answer is false. rho and a_s are always
// `atmosphere`'s.
bool atmosphere_without_pressure(double h, double& p, double& rho, double& a_s);

// --- The model's tables, exposed for inspection. ---

// U.S. Standard Atmosphere 1976 constants, as stored (not recomputed).
constexpr double g0 = 9.80665;                       // m/s^2, standard gravity
constexpr double Rstd = 6356766.0;                   // m, the standard's effective Earth radius
constexpr double hydrostatic_k = 0.034163194736310366;  // K/m, g0*M0/R*
constexpr double density_k = 0.0034836763559737898;     // kg*K/J, M0/R*
constexpr double sound_k = 401.87430086589054;          // m^2/(s^2*K), gamma*R*/M0
constexpr double Z_switch = 86000.0;     // m, standard geometric altitude where the splines take over
constexpr double Z_clamp = 1000000.0;    // m, top of the tabulated upper atmosphere

constexpr int n_layers = 8;
constexpr int n_knots = 16;

// Natural cubic spline on one interval k: S(Z) = a + b*s + c*s^2 + d*s^3 with
// s = Z - Zk[k].
struct SplineSet {
  std::array<double, n_knots> a{}, b{}, c{}, d{};
};

struct AtmosphereTables {
  std::array<double, n_layers> Tb{};  // K, base temperature of each layer
  std::array<double, n_layers> Pb{};  // Pa, base pressure of each layer
  SplineSet lnP;                      // ln(Pa) over standard geometric altitude
  SplineSet lnrho;                    // ln(kg/m^3) over standard geometric altitude
  double a_s_upper = 0;               // m/s, speed of sound above 86 km
};

const AtmosphereTables& atmosphere_tables();

// Layer bases (geopotential m) and lapse rates (K/m) of the standard.
constexpr std::array<double, n_layers> Hb = {0, 11000, 20000, 32000, 47000, 51000, 71000, 84852};
constexpr std::array<double, n_layers> Lb = {-0.0065, 0, 0.001, 0.0028, 0, -0.0028, -0.002, 0};

// Knots of the upper atmosphere: standard geometric altitude (m), pressure (Pa)
// and density (kg/m^3) tabulated by the U.S. Standard Atmosphere 1976.
constexpr std::array<double, n_knots> Zk = {86000,  100000, 115000, 130000, 150000, 175000,
                                            200000, 250000, 300000, 400000, 500000, 600000,
                                            700000, 800000, 900000, 1000000};
constexpr std::array<double, n_knots> Pk = {0.37338,    0.032011,   0.0040096,  0.0012505,
                                            0.00045422, 0.00017936, 8.4736e-05, 2.4767e-05,
                                            8.7704e-06, 1.4518e-06, 3.0236e-07, 8.213e-08,
                                            3.1908e-08, 1.7036e-08, 1.0873e-08, 7.5138e-09};
constexpr std::array<double, n_knots> rhok = {6.958e-06, 5.604e-07, 4.289e-08, 8.152e-09,
                                              2.076e-09, 6.339e-10, 2.541e-10, 6.073e-11,
                                              1.916e-11, 2.803e-12, 5.215e-13, 1.137e-13,
                                              3.07e-14,  1.136e-14, 5.759e-15, 3.561e-15};

// Natural cubic spline (second derivative 0 at both ends) through the knots x
// and the values s.a; writes s.b, s.c and s.d.
void natural_spline(const std::array<double, n_knots>& x, SplineSet& s);

void upper_atmosphere_init(AtmosphereTables& tables);
void upper_atmosphere(const AtmosphereTables& tables, double Z, double& p, double& rho, double& a_s);
void upper_density(const AtmosphereTables& tables, double Z, double& rho, double& a_s);

}  // namespace ascent
