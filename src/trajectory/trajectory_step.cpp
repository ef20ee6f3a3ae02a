#include "trajectory/trajectory_step.hpp"

#include <cmath>
#include <type_traits>

#include "trajectory/dynamics.hpp"
#include "trajectory/integrators/dormand_prince.hpp"
#include "trajectory/integrators/rk4.hpp"
#include "trajectory/steering/registry.hpp"

namespace ascent {

namespace {

constexpr double guard = 1e-6;  // m/s, smallest air-relative horizontal speed with a path angle
constexpr double deg = 180.0 / pi;  // degrees per radian

// Whether the rates under a segment are smooth within a step: the
// adaptive integrator's classic step with its embedded estimate sees no jump
// inside a step, and the pitch programme flies through one (the drag
// coefficient's at Mach 1).
bool smooth_rates(const Segment& g) { return g.mode != Steering::pitch_program; }

// One step of s.dt by the integrator the flight asks for.
template <class Law>
void integrate(FlightState& s, const Law& law, StepExtension* ext) {
  auto f = [&](const StateVector& y) { return derivatives(s, law, y); };
  // A step of no finite length (a search gone astray) is left to the
  // classic step, which carries the non-finite values on for the phases'
  // guards to see.
  if (s.tolerance > 0 && std::isfinite(s.dt)) {
    integrate_adaptive(s, s.dt, s, s.law_init, smooth_rates(s), s.tolerance, s.pair, f, ext);
    return;
  }
  if (!ext) return rk4_substeps(s, s.dt, s.substeps, f);
  *ext = StepExtension{};
  ext->t0 = s.t;
  ext->y0 = vector_of(s);
  rk4_substeps(s, s.dt, s.substeps, f, &ext->k0);
  ext->has_k0 = true;
  ext->t1 = s.t;
  ext->y1 = vector_of(s);
}

}  // namespace

double path_angle(double vy, double vxr) { return vxr < guard ? pi / 2 : std::atan(vy / vxr); }

const SteeringLaw& steering_law(Steering mode) {
  const SteeringLaw* law = nullptr;
  steering::with_law(mode, [&](const auto& l) {
    static const std::decay_t<decltype(l)> one;
    law = &one;
  });
  return *law;
}

double drag_coefficient(double mach) { return drag_coefficient(builtin_drag_table(), mach); }

namespace {

// Evaluation of the state a step (or a closed-form arc) has reached: speed,
// angles, loads, the record to the observers, the osculating orbit.
template <class Law>
void evaluate_with(FlightState& s, const Law& law, const StepObservers& observers,
                   const StepExtension* ext = nullptr) {
  const Environment& e = *s.env;
  const double r = e.Re + s.h0;
  const double m = s.m0 + s.Me;
  s.vi = std::sqrt(s.vx * s.vx + s.vy * s.vy);
  const double beta = std::atan(s.vy / s.vx);
  double vxr, vr = 0, q, F = 0, CdQ;
  if (!law.in_air()) {
    vxr = s.vx - r * s.vrot / e.Re;
    q = 0;
    s.a = s.Fvac / m;
    CdQ = 0;
  } else {
    Air w = air_at(s, s.vx, s.h0, s.vy, s.Fvac, r);
    vxr = w.vxr;
    vr = w.vr;
    q = w.q;
    F = w.F;
    s.a = F / m;
    CdQ = w.CdQ;
  }
  const double theta = path_angle(s.vy, vxr);
  s.q = q;

  // Axial load at each station: drag on the area above it plus the inertia of
  // the mass above it under thrust acceleration.
  for (int i = 1; i <= s.nst; ++i) {
    if (s.Mst[i] < m) {
      double Fst = CdQ * s.Sst[i] + s.a * s.Mst[i];
      if (Fst > s.Fst_max[i]) {
        s.Fst_max[i] = Fst;
        s.t_Fst_max[i] = s.t;
      }
    }
  }
  const double D = s.Sref * CdQ;
  law.update_alpha(s, StateView{F, m, r, D, vr, beta, theta});

  if (!observers.empty()) {
    StepRecord r{s.t, s.a, s.vi, s.h0, s.r0, s.alpha * deg, beta * deg, theta * deg, q, m, s.vx, s.vy};
    r.extension = ext;
    for (StepObserver* o : observers) o->on_step(r);
  }

  // Osculating orbit (vis-viva for the semi-major axis; the angular momentum
  // from the horizontal inertial velocity).
  const double sma = 1 / (2 / r - s.vi * s.vi / e.mu);
  const double e2 = 1 - (s.vx * r) * (s.vx * r) / (e.mu * sma);
  // On an orbit that is circular to rounding, e^2 is the difference of two
  // nearly equal numbers and may come out a hair below zero: that orbit is a
  // circle, not one that dips to the Earth's centre.
  const double ecc = e2 >= 0 ? std::sqrt(e2) : 0;
  s.hp = (1 - ecc) * sma - e.Re;
  s.ha = (1 + ecc) * sma - e.Re;
}

}  // namespace

void trajectory_step(FlightState& s, const StepObservers& observers) {
  steering::with_law(s.mode, [&](const auto& law) {
    integrate(s, law, nullptr);
    evaluate_with(s, law, observers);
  });
}

void trajectory_step(FlightState& s, const StepObservers& observers, StepExtension& ext) {
  steering::with_law(s.mode, [&](const auto& law) {
    integrate(s, law, &ext);
    evaluate_with(s, law, observers, &ext);
  });
}

void complete_extension(const FlightState& s, StepExtension& ext) {
  if (ext.complete()) return;
  // On a copy: the rates' look-ups of the air are kept in the state they
  // are computed on.
  FlightState x = s;
  steering::with_law(x.mode, [&](const auto& law) {
    if (!ext.has_k0) ext.k0 = derivatives(x, law, ext.y0);
    if (!ext.has_k1) ext.k1 = derivatives(x, law, ext.y1);
  });
  ext.has_k0 = ext.has_k1 = true;
}

FlightState state_on(const FlightState& s, const StepExtension& ext, double t) {
  FlightState x = s;
  assign(x, ext.at(t));
  x.t = t;
  evaluate_state(x, StepObservers{});
  return x;
}

void evaluate_state(FlightState& s, const StepObservers& observers, const StepExtension* ext) {
  steering::with_law(s.mode, [&](const auto& law) { evaluate_with(s, law, observers, ext); });
}

double coast_step_adaptive(FlightState& s, double tolerance, const StepObservers& observers) {
  const steering::PitchProgram law;
  const double taken = pair_free_step(s, s.dt, tolerance, s.env->Re, [&](const StateVector& y) { return derivatives(s, law, y); });
  if (taken != 0) evaluate_with(s, law, observers);
  return taken;
}

}  // namespace ascent
