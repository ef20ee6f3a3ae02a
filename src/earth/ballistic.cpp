#include "earth/ballistic.hpp"

#include <erfa.h>

#include <cmath>
#include <stdexcept>
#include <string>

#include "atmosphere/atmosphere.hpp"

namespace ascent {

Spheroid wgs84_earth() {
  // a and 1/f define the ellipsoid; GM and the rotation rate are WGS 84's
  // defining constants; J2 = -sqrt(5) C20 with EGM 96's normalised C20.
  return {6378137.0, 1.0 / 298.257223563, 3.986004418e14, 1.08262998905e-3, 7.292115e-5};
}

Spheroid round_earth(double R) { return {R, 0.0, 3.986004418e14, 0.0, 7.292115e-5}; }

Vec3 gravitation(const Spheroid& e, const Vec3& r) {
  const double r2 = r[0] * r[0] + r[1] * r[1] + r[2] * r[2];
  const double rn = std::sqrt(r2);
  const double k = -e.mu / (r2 * rn);
  Vec3 g = {k * r[0], k * r[1], k * r[2]};
  if (e.J2 != 0.0) {
    // The gradient of -mu J2 a^2 P2(sin phi) / r^3, phi geocentric latitude.
    const double z2 = r[2] * r[2] / r2;
    const double c = -1.5 * e.J2 * e.mu * e.a * e.a / (r2 * r2 * rn);
    g[0] += c * r[0] * (1 - 5 * z2);
    g[1] += c * r[1] * (1 - 5 * z2);
    g[2] += c * r[2] * (3 - 5 * z2);
  }
  return g;
}

Vec3 cartesian_of(const Spheroid& e, const Geodetic& g) {
  double x[3];
  if (eraGd2gce(e.a, e.f, g.lon, g.lat, g.h, x) != 0) {
    throw std::invalid_argument("latitude " + std::to_string(g.lat) + " rad is off the ellipsoid");
  }
  return {x[0], x[1], x[2]};
}

Geodetic geodetic_of(const Spheroid& e, const Vec3& r) {
  double x[3] = {r[0], r[1], r[2]};
  Geodetic g{0, 0, 0};
  // Refused only at the centre of the Earth, which no fall reaches.
  if (eraGc2gde(e.a, e.f, x, &g.lon, &g.lat, &g.h) != 0) {
    throw std::domain_error("position at the centre of the Earth has no geodetic place");
  }
  return g;
}

Mat3 ned_axes(double lat, double lon) {
  const double sl = std::sin(lat), cl = std::cos(lat), so = std::sin(lon), co = std::cos(lon);
  return {{{-sl * co, -sl * so, cl}, {-so, co, 0.0}, {-cl * co, -cl * so, -sl}}};
}

std::string WindProfile::fault() const {
  if (h.size() != east.size() || h.size() != north.size()) return "altitudes and speeds differ in number";
  for (std::size_t i = 0; i < h.size(); ++i) {
    if (!std::isfinite(h[i]) || !std::isfinite(east[i]) || !std::isfinite(north[i])) {
      return "point " + std::to_string(i + 1) + " is not a number";
    }
    if (i > 0 && !(h[i] > h[i - 1])) {
      return "altitudes must increase (point " + std::to_string(i + 1) + " at " + std::to_string(h[i]) + " m)";
    }
  }
  return "";
}

void WindProfile::at(double alt, double& v_east, double& v_north) const {
  v_east = v_north = 0.0;
  if (h.empty()) return;
  if (alt <= h.front() || h.size() == 1) {
    v_east = east.front();
    v_north = north.front();
    return;
  }
  if (alt >= h.back()) {
    v_east = east.back();
    v_north = north.back();
    return;
  }
  std::size_t i = 1;
  while (h[i] < alt) ++i;
  const double w = (alt - h[i - 1]) / (h[i] - h[i - 1]);
  v_east = east[i - 1] + w * (east[i] - east[i - 1]);
  v_north = north[i - 1] + w * (north[i] - north[i - 1]);
}

// The atmosphere reads altitudes over the planar model's sphere and turns
// them into geopotential with that sphere's gravity; here z is the
// standard's own geometric altitude (height above the ellipsoid), so it is
// passed as the altitude over that sphere with the geopotential the
// standard gives z.
void standard_air(double z, double& p, double& rho, double& a_s) {
  const double H = Rstd * z / (Rstd + z);  // m, geopotential altitude of the standard
  const double k = (gs / g0) * Re;
  const double h = H * Re / (k - H);
  atmosphere(h, p, rho, a_s);
}

namespace {

double density_at(double z) {
  double p, rho, a_s;
  standard_air(z, p, rho, a_s);
  return rho;
}

Vec3 cross(const Vec3& a, const Vec3& b) {
  return {a[1] * b[2] - a[2] * b[1], a[2] * b[0] - a[0] * b[2], a[0] * b[1] - a[1] * b[0]};
}

}  // namespace

Mat3 rotation_to_fixed(const Spheroid& e, double t) {
  const double c = std::cos(e.omega * t), s = std::sin(e.omega * t);
  return {{{c, s, 0.0}, {-s, c, 0.0}, {0.0, 0.0, 1.0}}};
}

Vec3 air_velocity(const Spheroid& e, const WindProfile& wind, double h, const Mat3& ned, const Vec3& r,
                  const Vec3& v) {
  const Vec3 w = {0.0, 0.0, e.omega};
  const Vec3 v_turn = cross(w, r);
  double ve = 0, vn = 0;
  wind.at(h, ve, vn);
  Vec3 v_air;
  for (int i = 0; i < 3; ++i) v_air[i] = v[i] - v_turn[i] - (vn * ned[0][i] + ve * ned[1][i]);
  return v_air;
}

void ballistic_rates(const Spheroid& e, const FallingBody& b, const WindProfile& wind, const Vec3& r,
                     const Vec3& v, Vec3& dr, Vec3& dv) {
  dr = v;
  dv = gravitation(e, r);
  if (b.beta <= 0.0) return;
  // The air turns with the Earth (omega x r) and blows along the local north
  // and east. The Earth turns about z alone, so the place's latitude and
  // height read from the inertial r are its geodetic ones, and its inertial
  // longitude gives the local axes in the inertial frame directly.
  const Geodetic g = geodetic_of(e, r);
  if (g.h > Z_clamp) return;  // above the tabulated atmosphere the air is taken as gone
  const double rho = density_at(g.h);
  const Mat3 ned = ned_axes(g.lat, g.lon);  // north, east, down in the frame of r
  const Vec3 v_air = air_velocity(e, wind, g.h, ned, r, v);
  const double speed = std::sqrt(v_air[0] * v_air[0] + v_air[1] * v_air[1] + v_air[2] * v_air[2]);
  const double k = -0.5 * rho * speed / b.beta;
  for (int i = 0; i < 3; ++i) dv[i] += k * v_air[i];
}

InertialState inertial_of(const Spheroid& e, double t, const Geodetic& g, const Vec3& v_ned) {
  const Vec3 x = cartesian_of(e, g);
  const Mat3 ned = ned_axes(g.lat, g.lon);
  const Vec3 w = {0.0, 0.0, e.omega};
  const Vec3 turn = cross(w, x);
  Vec3 v_fixed;
  for (int i = 0; i < 3; ++i) v_fixed[i] = ned[0][i] * v_ned[0] + ned[1][i] * v_ned[1] + ned[2][i] * v_ned[2];
  const Mat3 to_inertial = transposed(rotation_to_fixed(e, t));
  Vec3 v;
  for (int i = 0; i < 3; ++i) v[i] = v_fixed[i] + turn[i];
  return {t, times(to_inertial, x), times(to_inertial, v)};
}

void ground_of(const Spheroid& e, const InertialState& s, Geodetic& g, Vec3& v_ned) {
  const Mat3 R = rotation_to_fixed(e, s.t);
  const Vec3 x = times(R, s.r);
  const Vec3 w = {0.0, 0.0, e.omega};
  const Vec3 turn = cross(w, s.r);
  Vec3 v_rel;
  for (int i = 0; i < 3; ++i) v_rel[i] = s.v[i] - turn[i];
  g = geodetic_of(e, x);
  v_ned = times(ned_axes(g.lat, g.lon), times(R, v_rel));
}

namespace {

InertialState rk4(const Spheroid& e, const FallingBody& b, const WindProfile& wind, const InertialState& s,
                  double h) {
  auto f = [&](const Vec3& r, const Vec3& v, Vec3& dr, Vec3& dv) { ballistic_rates(e, b, wind, r, v, dr, dv); };
  auto step = [](const Vec3& x, const Vec3& k, double w) {
    return Vec3{x[0] + w * k[0], x[1] + w * k[1], x[2] + w * k[2]};
  };
  Vec3 r1, v1, r2, v2, r3, v3, r4, v4;
  f(s.r, s.v, r1, v1);
  f(step(s.r, r1, h / 2), step(s.v, v1, h / 2), r2, v2);
  f(step(s.r, r2, h / 2), step(s.v, v2, h / 2), r3, v3);
  f(step(s.r, r3, h), step(s.v, v3, h), r4, v4);
  InertialState n{s.t + h, s.r, s.v};
  for (int i = 0; i < 3; ++i) {
    n.r[i] += h * (r1[i] + 2 * (r2[i] + r3[i]) + r4[i]) / 6;
    n.v[i] += h * (v1[i] + 2 * (v2[i] + v3[i]) + v4[i]) / 6;
  }
  return n;
}

double altitude(const Spheroid& e, const InertialState& s) { return geodetic_of(e, s.r).h; }

}  // namespace

std::vector<InertialState> fly_ballistic(const Spheroid& e, const FallingBody& b, const WindProfile& wind,
                                         const InertialState& s0, double duration, double dt,
                                         bool stop_at_ground, double dt_high) {
  if (!(dt > 0.0) || !(duration >= 0.0)) throw std::invalid_argument("step and duration must be positive");
  std::vector<InertialState> out{s0};
  const double t_end = s0.t + duration;
  double h_prev = altitude(e, s0);
  while (out.back().t < t_end) {
    const InertialState& s = out.back();
    const double h = dt_high > dt && h_prev > high_air ? dt_high : dt;
    double t_next = s.t + h;
    if (t_next > t_end - 1e-9 * dt) t_next = t_end;  // no sliver of a step left by rounding
    InertialState next = rk4(e, b, wind, s, t_next - s.t);
    next.t = t_next;
    const double h_next = altitude(e, next);
    if (stop_at_ground && h_prev > 0.0 && h_next <= 0.0) {
      // The ground lies inside this step: bisect the step's length.
      double lo = 0.0, hi = t_next - s.t;
      for (int k = 0; k < 60 && hi - lo > 1e-6; ++k) {
        const double mid = 0.5 * (lo + hi);
        (altitude(e, rk4(e, b, wind, s, mid)) > 0.0 ? lo : hi) = mid;
      }
      out.push_back(rk4(e, b, wind, s, hi));
      return out;
    }
    out.push_back(next);
    h_prev = h_next;
  }
  return out;
}

Impact impact_point(const Spheroid& e, const FallingBody& b, const WindProfile& wind, const InertialState& s,
                    double dt, double max_s) {
  const std::vector<InertialState> path = fly_ballistic(e, b, wind, s, max_s, dt, true, high_step);
  const InertialState& last = path.back();
  Impact out;
  out.where = geodetic_of(e, times(rotation_to_fixed(e, last.t), last.r));
  out.t = last.t - s.t;
  out.reached = out.where.h <= 1e-3 && out.t < max_s;
  return out;
}

}  // namespace ascent
