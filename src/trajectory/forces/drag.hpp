// Aerodynamic drag: Cd(M) Sref q against the velocity relative to the air;
// a constant coefficient is a law of one point (trajectory/drag.hpp).
#pragma once

namespace ascent::forces {

// N, the drag's magnitude, in the rates' order: Cd(M) * Sref * q.
inline double drag(double Cd, double Sref, double q) { return Cd * Sref * q; }

// The direction of the air-relative velocity, as the steering law has it: a
// law that steers by the air-relative path angle theta has its cosine and
// sine; the vertical-acceleration law the velocity's own ratios vxr / vr and
// vy / vr. The two are the same direction rounded differently, and each
// law's flights keep their own.
struct AirPath {
  bool by_angle;
  double cos_theta, sin_theta;  // by_angle
  double vxr, vy, vr;           // m/s, otherwise
};

// N, the drag's horizontal and vertical components (against the air path).
inline double drag_x(const AirPath& a, double D) { return a.by_angle ? -(D * a.cos_theta) : -(D * a.vxr / a.vr); }
inline double drag_y(const AirPath& a, double D) { return a.by_angle ? -(D * a.sin_theta) : -(D * a.vy / a.vr); }

}  // namespace ascent::forces
