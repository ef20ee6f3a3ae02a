#include "phases/flight_3d.hpp"

#include <algorithm>
#include <cmath>
#include <limits>

#include "atmosphere/atmosphere.hpp"
#include "io/number_format.hpp"
#include "phases/stage_burner.hpp"
#include "trajectory/drag.hpp"
#include "trajectory/forces/thrust.hpp"
#include "trajectory/guidance.hpp"
#include "trajectory/model_environment.hpp"

namespace ascent {

namespace {

constexpr double inf = std::numeric_limits<double>::infinity();
constexpr double cycle_slack = 1e-9;  // s, an event this close is due
constexpr int max_bisections = 60;    // halvings of the step that passes a cut-off or the apogee
constexpr int first_passes = 8;       // the guidance's first solution, from no guess
constexpr double deg = 180 / pi;
constexpr double ground_margin = 1;   // m below the ellipsoid a step may end before the flight has struck the ground
// The largest yaw the plane's steering asks of the thrust: a plane far off
// is turned into over several cycles, not by thrust across the velocity.
constexpr double max_sin_yaw = 0.5;

struct Crashed {};

double dot(const Vec3& a, const Vec3& b) { return a[0] * b[0] + a[1] * b[1] + a[2] * b[2]; }
Vec3 cross(const Vec3& a, const Vec3& b) {
  return {a[1] * b[2] - a[2] * b[1], a[2] * b[0] - a[0] * b[2], a[0] * b[1] - a[1] * b[0]};
}
Vec3 unit(const Vec3& a) {
  const double n = std::sqrt(dot(a, a));
  return {a[0] / n, a[1] / n, a[2] / n};
}
Vec3 comb(double p, const Vec3& a, double q, const Vec3& b) {
  return {p * a[0] + q * b[0], p * a[1] + q * b[1], p * a[2] + q * b[2]};
}

// The normal of the plane of inclination i and ascending node `node` (from
// the frame's x axis).
Vec3 plane_of(double i, double node) { return {std::sin(i) * std::sin(node), -std::sin(i) * std::cos(node), std::cos(i)}; }

// The normal of the plane of inclination i through the inertial position r,
// on the pass going north (or south): the node lies the plane's longitude
// swept from the node to r behind r's longitude. Where r lies beyond the
// latitudes the plane reaches, the plane is the one whose highest (lowest)
// point is under r.
Vec3 plane_through(const Vec3& r, double i, bool north) {
  if (std::sin(i) == 0) return {0, 0, std::cos(i)};  // the equator: every node is its node
  const double lat = std::asin(r[2] / std::sqrt(dot(r, r)));
  const double lon = std::atan2(r[1], r[0]);
  const double s = std::clamp(std::sin(lat) / std::sin(i), -1.0, 1.0);
  const double u = north ? std::asin(s) : pi - std::asin(s);  // argument of latitude
  return plane_of(i, lon - std::atan2(std::cos(i) * std::sin(u), std::cos(u)));
}

using staging::Burner;
using staging::stage_throttle;

// How the thrust is pointed during a step.
enum class Aim {
  up,        // along the local vertical (the rise off the pad)
  kicked,    // the velocity over the ground, turned by `kick` toward the launch azimuth
  ground,    // along the velocity over the ground (the gravity turn)
  guided,    // the guidance's pitch in the target plane, yawed out of it
  prograde,  // along the inertial velocity
};

struct Flight {
  const StagedVehicle& v;
  const World3d& w;
  const Step3dObserver* observer;  // none for a trial step
  Environment env;
  DragTable drag;
  // What a flight records. A trial step's copy starts with no events or
  // drops (none is read from it): copying them at every step cost a fifth
  // of a three-stage flight.
  struct Record : Flight3dResult {
    Record() = default;
    Record(const Record&) : Flight3dResult() {}
    Record& operator=(const Record&) = delete;
  } out;
  InertialState s{0, {0, 0, 0}, {0, 0, 0}};
  double mass = 0;
  std::size_t stage = 0;
  Burner engines;
  std::vector<Burner> groups;
  std::vector<bool> group_on;
  double t_ignition = 0;
  bool fairing_on = true;
  // Steering
  Aim aim = Aim::up;
  double azimuth = 0;    // rad, over the ground, of the programme's plane
  double kick = 0, kick_rate = 0;  // rad, rad/s
  GuidanceSolution g;    // pitch in the target plane
  Vec3 normal{0, 0, 1};  // the target plane's
  double sin_yaw = 0;    // of the thrust out of the target plane, toward the normal
  bool yaw_held = false;  // set for the last seconds to the cut-off
  double across = 0;      // m/s^2, the thrust's acceleration asked across the plane

  Flight(const StagedVehicle& veh, const World3d& world, const Step3dObserver& obs)
      : v(veh), w(world), observer(&obs) {}

  Flight trial() const {
    static const Step3dObserver none;
    Flight t = *this;
    t.observer = &none;
    t.trial_copy = true;
    return t;
  }

  double altitude() const { return geodetic_of(w.earth, s.r).h; }

  void event(const std::string& what) {
    out.events.push_back({s.t, what, altitude(), std::sqrt(dot(s.v, s.v)), mass});
  }

  // The last cross-section and the stage and groups it is of: the decimal
  // rounding of circle_area is dear, and the stack changes only at a drop.
  mutable double S_kept = -1;
  mutable std::size_t S_stage = 0;
  mutable std::vector<bool> S_groups;

  double reference_area() const {
    if (v.drag.reference_area > 0) return v.drag.reference_area;
    if (S_kept >= 0 && S_stage == stage && S_groups == group_on) return S_kept;
    S_stage = stage;
    S_groups = group_on;
    S_kept = cross_section();
    return S_kept;
  }

  double cross_section() const {
    double d = 0;
    for (std::size_t i = stage; i < v.stages.size(); ++i) d = std::max(d, v.stages[i].diameter);
    double S = circle_area(d);
    for (std::size_t j = 0; j < groups.size(); ++j) {
      if (group_on[j]) S += v.stages[0].boosters[j].count * circle_area(v.stages[0].boosters[j].diameter);
    }
    return S;
  }

  // The thrust's direction at time t in the state (r, v) with the local
  // axes ned (rows north, east, down). The programme turns along the path
  // over the ground, the planar flight's path against its still air: along
  // the path against a wind, a kick of a fraction of a degree at 40 m/s is
  // undone by a breath of wind (measured: 0.5 m/s from the west topples the
  // bundled Corvane 2's 0.625 deg kick). The wind acts through the drag.
  Vec3 direction(double t, const Vec3& r, const Vec3& vel, const Mat3& ned) const {
    const Vec3 up = {-ned[2][0], -ned[2][1], -ned[2][2]};
    switch (aim) {
      case Aim::up:
        return up;
      case Aim::kicked:
      case Aim::ground: {
        const Vec3 v_ground = comb(1, vel, -1, cross(Vec3{0, 0, w.earth.omega}, r));
        const double speed = std::sqrt(dot(v_ground, v_ground));
        const Vec3 a = speed > 0 ? comb(1 / speed, v_ground, 0, v_ground) : up;
        if (aim == Aim::ground) return a;
        const Vec3 h = comb(std::cos(azimuth), ned[0], std::sin(azimuth), ned[1]);
        const Vec3 across = unit(comb(1, h, -dot(h, a), a));  // the azimuth's horizontal, square to a
        const double k = kick + kick_rate * (t - s.t);
        return comb(std::cos(k), a, std::sin(k), across);
      }
      case Aim::guided: {
        const Vec3 rh = unit(r);
        const Vec3 ahead = unit(cross(normal, rh));
        const double p = guided_pitch(g, t);
        const double cy = std::sqrt(1 - sin_yaw * sin_yaw);
        const Vec3 in_plane = comb(std::cos(p), ahead, std::sin(p), rh);
        return comb(cy, in_plane, sin_yaw, normal);
      }
      case Aim::prograde:
        return unit(vel);
    }
    return up;
  }

  // One RK4 step of dt over position and velocity, the mass falling at the
  // burners' flow; the burners' propellant follows.
  void step(double dt) {
    const double t0 = s.t;
    // A thrust profile is a straight line through the step (the steps end
    // at its points): its thrust and flow rise at Fdot and fdot.
    double Fvac = 0, flow = 0, Ae = 0, Fdot = 0, fdot = 0;
    auto add = [&](const Burner& b) {
      if (!b.lit) return;
      Fvac += b.thrust(t0);
      flow += b.flow(t0);
      Ae += b.area;
      if (b.profile) {
        const double rate = (b.thrust(t0 + dt) - b.thrust(t0)) / dt;
        Fdot += rate;
        fdot += rate / b.c;
      }
    };
    add(engines);
    for (const Burner& b : groups) add(b);
    const double S = reference_area(), m0 = mass;
    const Spheroid& e = w.earth;
    auto rates = [&](double tau, const Vec3& r, const Vec3& vel, Vec3& dr, Vec3& dv) {
      dr = vel;
      dv = gravitation(e, r);
      const Geodetic gd = geodetic_of(e, r);  // its longitude inertial: the local axes in the inertial frame
      double p = 0, rho = 0, a_s = 1;
      if (gd.h < Z_clamp) {
        if (env.exponential) {
          exponential_air(env, gd.h, p, rho, a_s);
        } else {
          standard_air(gd.h, p, rho, a_s);
        }
      }
      const Mat3 ned = ned_axes(gd.lat, gd.lon);
      const Vec3 v_air = air_velocity(e, w.wind, gd.h, ned, r, vel);
      const double m = fdot == 0 ? m0 - flow * tau : m0 - (flow + fdot * tau / 2) * tau;
      const double F_tau = Fdot == 0 ? Fvac : Fvac + Fdot * tau;
      if (F_tau > 0) {
        const double F = forces::thrust(F_tau, p, Ae);
        const Vec3 u = direction(t0 + tau, r, vel, ned);
        for (int k = 0; k < 3; ++k) dv[k] += F / m * u[k];
      }
      if (rho > 0) {
        const double speed = std::sqrt(dot(v_air, v_air));
        const double D = 0.5 * rho * speed * drag_coefficient(drag, speed / a_s) * S / m;
        for (int k = 0; k < 3; ++k) dv[k] -= D * v_air[k];
      }
    };
    Vec3 r1, v1, r2, v2, r3, v3, r4, v4;
    rates(0, s.r, s.v, r1, v1);
    rates(dt / 2, comb(1, s.r, dt / 2, r1), comb(1, s.v, dt / 2, v1), r2, v2);
    rates(dt / 2, comb(1, s.r, dt / 2, r2), comb(1, s.v, dt / 2, v2), r3, v3);
    rates(dt, comb(1, s.r, dt, r3), comb(1, s.v, dt, v3), r4, v4);
    for (int k = 0; k < 3; ++k) {
      s.r[k] += dt * (r1[k] + 2 * (r2[k] + r3[k]) + r4[k]) / 6;
      s.v[k] += dt * (v1[k] + 2 * (v2[k] + v3[k]) + v4[k]) / 6;
    }
    s.t += dt;
    kick += kick_rate * dt;
    ++out.steps;
    auto burn = [dt, t0](Burner& b) {
      if (!b.lit) return;
      const double burnt = b.profile ? (b.thrust(t0) + b.thrust(t0 + dt)) / 2 / b.c * dt : b.flow() * dt;
      b.left = std::max(0.0, b.left - burnt);
    };
    burn(engines);
    for (Burner& b : groups) burn(b);
    mass = fdot == 0 ? m0 - flow * dt : m0 - (flow + fdot * dt / 2) * dt;
    if (!(altitude() >= -ground_margin)) throw Crashed{};
    note_top_load();
    if (*observer) (*observer)(s, mass);
  }

  double top_area = -1;  // m^2, the first stage's top; worked out once (circle_area is dear)
  bool trial_copy = false;  // records nothing: the flight notes the step if it takes it over

  // The axial load on the first stage's top, what sizes the adaptor there:
  // the drag on the top's cross-section and the thrust acceleration of the
  // mass above (the stages above, the fairing while carried).
  void note_top_load() {
    if (trial_copy || stage != 0 || !engines.lit || v.stages.size() < 2) return;
    double above = v.adaptor_mass + v.payload_mass + (fairing_on ? v.fairing_mass : 0);
    for (std::size_t k = 1; k < v.stages.size(); ++k) {
      above += v.stages[k].dry_mass + v.stages[k].propellant_mass;
      for (const BoosterGroup& g : v.stages[k].boosters) above += g.count * g.mass;
    }
    const Geodetic gd = geodetic_of(w.earth, s.r);
    double p = 0, rho = 0, a_s = 1;
    if (gd.h < Z_clamp) {
      if (env.exponential) {
        exponential_air(env, gd.h, p, rho, a_s);
      } else {
        standard_air(gd.h, p, rho, a_s);
      }
    }
    double Fvac = engines.thrust(s.t), Ae = engines.area;
    for (const Burner& b : groups) {
      if (!b.lit) continue;
      Fvac += b.thrust(s.t);
      Ae += b.area;
    }
    const double a = forces::thrust(Fvac, p, Ae) / mass;
    double drag = 0;
    if (rho > 0) {
      const Vec3 u = air_velocity(w.earth, w.wind, gd.h, ned_axes(gd.lat, gd.lon), s.r, s.v);
      const double speed = std::sqrt(dot(u, u));
      if (top_area < 0) top_area = circle_area(v.stages[1].diameter > 0 ? v.stages[1].diameter : v.stages[0].diameter);
      drag = 0.5 * rho * speed * speed * drag_coefficient(this->drag, speed / a_s) * top_area;
    }
    if (drag + a * above > out.top_load) {
      out.top_load = drag + a * above;
      out.top_load_acceleration = a;
    }
  }

  // The step a trial copy of this flight took from its state, as step()
  // would take it again: the same state, burners and mass, seen by the
  // observer.
  void take_step_of(const Flight& t) {
    s = t.s;
    kick = t.kick;
    engines = t.engines;
    groups = t.groups;
    mass = t.mass;
    ++out.steps;
    note_top_load();
    if (*observer) (*observer)(s, mass);
  }

  void drop(const std::string& what, double leaves) {
    const double before = mass;
    mass -= leaves;
    out.drops.push_back({what, s.t, before, mass, leaves});
    event(what);
  }

  double next_dry() const {
    double t = inf;
    if (engines.lit) t = std::min(t, engines.dry_in(s.t));
    for (const Burner& b : groups) {
      if (b.lit) t = std::min(t, b.dry_in(s.t));
    }
    return t;
  }

  // s, the next point of a thrust profile burning, from now.
  double next_point() const {
    double t = engines.next_point(s.t);
    for (const Burner& b : groups) t = std::min(t, b.next_point(s.t));
    return t;
  }

  // m/s^2, the vacuum thrust acceleration now.
  double thrust_acceleration() const {
    double F = engines.lit ? engines.thrust(s.t) : 0;
    for (const Burner& b : groups) F += b.lit ? b.thrust(s.t) : 0;
    return F / mass;
  }
};

// The stage's engines, lit now (or only made ready: a last stage carried to
// the transfer orbit lights at the apogee).
void light_stage(Flight& f, bool lit = true) {
  const StagedStage& z = f.v.stages[f.stage];
  f.engines = Burner{z.name, stage_thrust(z), z.exhaust_speed, z.engines * z.exit_area, z.propellant_mass, 1, true};
  if (z.profile) {
    f.engines.F = full_burn_propellant(z) * z.exhaust_speed / full_burn_time(z);
    f.engines.profile = z.profile.get();
    f.engines.units = z.engines;
    f.engines.t_on = f.s.t;
  }
  if (!z.throttle_levels.empty()) f.engines.throttle = z.throttle_levels.front();
  f.t_ignition = f.s.t;
  f.engines.lit = lit;
  if (lit) f.event(z.name + ": ignition");
}

double next_event(const Flight& f) {
  const StagedStage& z = f.v.stages[f.stage];
  const double t = f.s.t, tb = t - f.t_ignition;
  double next = std::min(f.next_dry(), f.next_point());
  if (f.engines.lit) {
    for (double tk : z.throttle_times) {
      if (tk > tb + cycle_slack) next = std::min(next, tk - tb);
    }
    if (z.burn_end == BurnEnd::time && z.burn_time > tb + cycle_slack) next = std::min(next, z.burn_time - tb);
  }
  if (f.stage == 0) {
    for (std::size_t j = 0; j < f.groups.size(); ++j) {
      const BoosterGroup& g = z.boosters[j];
      if (!f.group_on[j]) continue;
      if (!f.groups[j].lit && g.ignition_time > t + cycle_slack) next = std::min(next, g.ignition_time - t);
      if (g.jettison_time >= 0 && g.jettison_time > t + cycle_slack) next = std::min(next, g.jettison_time - t);
    }
  }
  if (f.fairing_on && f.v.fairing_jettison_time > t + cycle_slack) next = std::min(next, f.v.fairing_jettison_time - t);
  return next;
}

void time_events(Flight& f) {
  const StagedVehicle& v = f.v;
  const double t = f.s.t;
  if (f.stage == 0) {
    const StagedStage& z = v.stages[0];
    for (std::size_t j = 0; j < f.groups.size(); ++j) {
      const BoosterGroup& g = z.boosters[j];
      Burner& b = f.groups[j];
      const std::string name = "booster group " + std::to_string(j + 1);
      if (!f.group_on[j]) continue;
      if (!b.lit && !b.out && b.left > 0 && g.ignition_time <= t + cycle_slack) {
        b.lit = true;
        b.t_on = g.ignition_time;
        f.event(name + ": ignition");
      }
      if (b.lit && b.spent(t)) {
        b.lit = false;
        b.out = true;
        // A thrust profile may end with propellant left: it leaves at the jettison.
        if (!b.profile) b.left = 0;
        f.event(name + ": burn-out");
      }
      const bool dry = b.out || (!b.lit && b.left == 0);
      const bool jettison = g.jettison_time >= 0 ? g.jettison_time <= t + cycle_slack : dry;
      if (jettison) {
        f.group_on[j] = false;
        b.lit = false;
        f.drop(name + ": jettison", g.count * (g.mass - g.propellant_mass) + b.left);
      }
    }
  }
  if (f.fairing_on && v.fairing_jettison_time <= t + cycle_slack) {
    f.fairing_on = false;
    f.drop("fairing: jettison", v.fairing_mass);
  }
  f.engines.throttle = stage_throttle(v.stages[f.stage], t - f.t_ignition);
}

// The cut-off the guidance aims at: the perigee of the target orbit (direct
// injection) or of the transfer orbit to its apogee (coast), with the
// altitudes above the equatorial radius.
CutoffTarget cutoff_target(const Flight& f) {
  const StagedMission& m = f.v.mission;
  const double mu = f.w.earth.mu, Re = f.w.earth.a;
  const TargetApsides target = target_apsides(m, Re);
  const double ra = Re + target.ha;
  // The last stage carried to the transfer orbit is guided onto the target
  // orbit itself, from the burn about its apogee.
  const bool onto_target = m.injection == Injection::direct || f.stage > guided_stage(f.v);
  const double rp = Re + (onto_target ? target.hp : m.transfer_perigee);
  if (m.injection == Injection::transfer && !onto_target && m.transfer_cutoff > m.transfer_perigee) {
    return transfer_cutoff_point(rp, ra, Re + m.transfer_cutoff, mu);
  }
  return CutoffTarget{rp, std::sqrt(mu * (2 / rp - 2 / (rp + ra))), 0.0, mu};
}

// The stages still to burn as the guidance sees them (as the planar flight
// sees them: each stage above at full thrust from the mass the separation
// below leaves it, the fairing shed at its time).
std::vector<StageBurn> stages_to_burn(const Flight& f) {
  const StagedVehicle& v = f.v;
  std::vector<StageBurn> out;
  double m = f.mass, t = f.s.t;
  bool fairing = f.fairing_on;
  const std::size_t last = std::max(guided_stage(v), f.stage);
  for (std::size_t k = f.stage; k <= last; ++k) {
    const StagedStage& z = v.stages[k];
    const bool burning = k == f.stage && f.engines.lit;
    // A thrust profile as its mean flow over what is left of its burn.
    const double flow = burning ? f.engines.mean_flow(t)
                        : z.profile ? full_burn_propellant(z) / full_burn_time(z)
                                    : stage_thrust(z) / z.exhaust_speed;
    const double left = burning ? f.engines.left : z.propellant_mass;
    // kg, what the burn can burn: a profile may end with propellant left.
    const double usable = !z.profile ? left : burning ? std::min(left, flow * f.engines.dry_left(t)) : full_burn_propellant(z);
    StageBurn b;
    b.thrust = ThrustModel{z.exhaust_speed, m / flow, inf};
    b.burn = usable / flow;
    if (burning && z.burn_end == BurnEnd::time) b.burn = std::min(b.burn, z.burn_time - (t - f.t_ignition));
    if (fairing && v.fairing_jettison_time > t) {
      b.thrust.t_drop = v.fairing_jettison_time - t;
      b.thrust.tau_drop = v.fairing_mass / flow;
    }
    if (k == last) {
      b.burn = inf;
      b.thrust.L_max = z.exhaust_speed * std::log(m / (m - usable));
    } else {
      b.coast = z.separation_delay;
      const double t_sep = t + b.burn + b.coast;
      if (fairing && v.fairing_jettison_time <= t_sep) {
        fairing = false;
        m -= v.fairing_mass;
      }
      m -= z.dry_mass + left;
      t = t_sep;
    }
    out.push_back(b);
  }
  return out;
}

// The target plane at this moment: the asked one, or with any node the
// plane of the inclination through the vehicle on the pass it flies. A last
// stage carried to the transfer orbit keeps the plane the stage below
// left it in: J2 has turned its node over the coast (0.17 deg over half a
// low orbit at 51.6 deg), and turning it back is no task for a stage that
// only circularises.
Vec3 target_normal(const Flight& f) {
  const double i = f.v.mission.inclination / deg;
  if (!std::isnan(f.w.node) && f.stage <= guided_stage(f.v)) return plane_of(i, f.w.node - f.w.theta0);
  return plane_through(f.s.r, i, f.s.v[2] >= 0 || f.s.t == 0);
}

// The yaw that brings the vehicle into the target plane at cut-off, set
// again before every step from the offset z and its rate dz across the
// plane. Across the plane the motion is a double integrator: an
// acceleration A + B tau nulls both at the time to go T with
// A = -(6 z / T^2 + 4 dz / T). With any node the plane is chosen through
// the vehicle (z = 0 at each solution) and only dz is to null, evenly over
// T: A = -dz / T. Within the hold time of the cut-off, where 1 / T grows
// faster than the prediction of T sharpens, the acceleration is set once to
// null the rate alone and held (the offset left is dz T / 2 of the small dz
// there); the yaw that gives it shrinks as the stage grows lighter.
void set_yaw(Flight& f) {
  const double T = f.g.tgo - (f.s.t - f.g.t0);
  const bool hold = T < f.v.plan.hold_time;
  if (!hold || !f.yaw_held) {
    const double z = dot(f.s.r, f.normal), dz = dot(f.s.v, f.normal);
    f.across = std::isnan(f.w.node) || hold ? -dz / T : -(6 * z / (T * T) + 4 * dz / T);
    f.yaw_held = hold;
  }
  f.sin_yaw = std::clamp(f.across / f.thrust_acceleration(), -max_sin_yaw, max_sin_yaw);
}

// Solves the pitch in the target plane: the planar guidance from the
// radius and the velocity's components along the plane and up.
void solve_steering(Flight& f, const GuidanceSolution* guess, int passes) {
  f.normal = target_normal(f);
  const Vec3 rh = unit(f.s.r);
  const Vec3 ahead = unit(cross(f.normal, rh));
  const CutoffTarget target = cutoff_target(f);
  const std::vector<StageBurn> stages = stages_to_burn(f);
  f.g = solve_guidance(f.s.t, std::sqrt(dot(f.s.r, f.s.r)), dot(f.s.v, ahead), dot(f.s.v, rh), target, stages, guess,
                       passes);
}

// The ground azimuth the programme flies: the target plane's direction at
// the site, less the Earth's turning under it at the speed of the orbit.
double launch_azimuth(const Flight& f) {
  const Vec3 n = target_normal(f);
  const Geodetic gd = geodetic_of(f.w.earth, f.s.r);
  const Mat3 ned = ned_axes(gd.lat, gd.lon);
  const Vec3 d = cross(n, unit(f.s.r));
  const double Ai = std::atan2(dot(d, ned[1]), dot(d, ned[0]));
  const CutoffTarget c = cutoff_target(f);
  const double v_turn = f.w.earth.omega * std::hypot(f.s.r[0], f.s.r[1]);
  return std::atan2(c.v * std::sin(Ai) - v_turn, c.v * std::cos(Ai));
}

OrbitElements elements_of(const Flight& f) { return osculating_elements(f.w.earth.mu, f.s.r, f.s.v); }

// The elements with the node a right ascension.
OrbitElements right_ascension(const Flight& f, OrbitElements o) {
  o.raan = std::fmod(o.raan + f.w.theta0, 2 * pi);
  if (o.raan < 0) o.raan += 2 * pi;
  return o;
}

// s, where within the step of dt from f that reaches the point `reached`
// marks (a cut-off, the apogee) that point lies: the step halved on copies
// of the flight until the interval is far below a nanosecond.
template <class Reached>
double located_within(const Flight& f, double dt, Reached&& reached) {
  double lo = 0, hi = dt;
  for (int i = 0; i < max_bisections; ++i) {
    const double mid = (lo + hi) / 2;
    Flight t2 = f.trial();
    t2.step(mid);
    (reached(t2) ? hi : lo) = mid;
  }
  return hi;
}

// The stack held on the pad until its rising thrust lifts it: the burners
// burn in place, the pad turns with the Earth.
void hold_on_pad(Flight& f) {
  const std::vector<Burner*> lit = staging::lit_burners(f.engines, f.groups);
  const std::vector<const Burner*> seen(lit.begin(), lit.end());
  const Vec3 g = gravitation(f.w.earth, f.s.r);
  double p = 0, rho = 0, a_s = 1;
  if (f.env.exponential) {
    exponential_air(f.env, f.w.site.h, p, rho, a_s);
  } else {
    standard_air(f.w.site.h, p, rho, a_s);
  }
  const double t_lo = staging::lift_off_time(seen, f.mass, std::sqrt(dot(g, g)),
                                             [p](double F, double Ae) { return forces::thrust(F, p, Ae); });
  if (t_lo == 0) return;
  f.mass -= staging::burn_in_place(lit, t_lo);
  f.s = inertial_of(f.w.earth, t_lo, f.w.site, {0, 0, 0});
  f.event("lift-off");
}

void fly_lower_stage(Flight& f) {
  const StagedPlan& p = f.v.plan;
  const StagedStage& z = f.v.stages[f.stage];
  light_stage(f);
  time_events(f);
  if (f.stage == 0) hold_on_pad(f);
  enum { rise, over, back, turn, guided } phase = f.stage == 0 ? rise : turn;
  if (phase == turn && f.aim != Aim::guided) f.aim = Aim::ground;
  double phase_end = inf;
  double t_solved = -inf;
  // The stage that carries the last to the transfer orbit is cut off there,
  // where its apogee reaches the target's; its steering is held for the
  // last seconds as the last stage's is.
  const bool cut_by_target = f.stage == guided_stage(f.v);
  const double ra_cut = f.w.earth.a + target_apsides(f.v.mission, f.w.earth.a).ha;
  auto on_transfer = [&](const Flight& x) { return elements_of(x).ra >= ra_cut; };
  bool holding = false, cut = false;
  for (;;) {
    const double tb = f.s.t - f.t_ignition;
    const bool burnt_out = f.engines.spent(f.s.t);
    const bool timed_out = z.burn_end == BurnEnd::time && tb + cycle_slack >= z.burn_time;
    if (burnt_out || timed_out) break;
    const bool groups_gone = std::none_of(f.group_on.begin(), f.group_on.end(), [](bool on) { return on; });
    if (phase == turn && p.guidance_takeover > 0 && f.s.t + cycle_slack >= p.guidance_takeover && groups_gone) {
      phase = guided;
      solve_steering(f, nullptr, first_passes);
      t_solved = f.s.t;
      f.aim = Aim::guided;
      f.event("guidance takeover");
    } else if (phase == guided && !holding && f.s.t - t_solved >= p.guidance_cycle - cycle_slack) {
      const GuidanceSolution prev = f.g;
      solve_steering(f, &prev, 1);
      t_solved = f.s.t;
    }
    if (cut_by_target && phase == guided && f.g.tgo < p.hold_time) holding = true;
    if (phase == rise && f.altitude() >= p.pitch_over_altitude + f.w.site.h) {
      phase = over;
      f.aim = Aim::kicked;
      f.kick = 0;
      f.kick_rate = p.pitch_rate / deg;
      phase_end = f.s.t + p.pitch_time;
      f.event("pitch-over");
    } else if (phase == over && f.s.t + cycle_slack >= phase_end) {
      phase = back;
      f.kick_rate = -p.pitch_rate / deg;
      phase_end = f.s.t + p.pitch_time;
    } else if (phase == back && f.s.t + cycle_slack >= phase_end) {
      phase = turn;
      f.aim = Aim::ground;
      f.kick = f.kick_rate = 0;
    }
    double dt = std::min(p.step, next_event(f));
    if (phase == over || phase == back) dt = std::min(dt, phase_end - f.s.t);
    if (phase == guided) set_yaw(f);
    if (cut_by_target && phase >= turn) {
      Flight trial = f.trial();
      trial.step(dt);
      if (on_transfer(trial)) {
        f.step(located_within(f, dt, on_transfer));
        cut = true;
        break;
      }
      f.take_step_of(trial);
    } else {
      f.step(dt);
    }
    time_events(f);
  }
  f.engines.lit = false;
  f.event(z.name + (z.burn_end == BurnEnd::time || cut ? ": cut-off" : ": burn-out"));
  if (cut_by_target) f.out.at_cutoff = right_ascension(f, elements_of(f));
  double left = z.separation_delay;
  while (left > cycle_slack) {
    const double dt = std::min({p.step, left, next_event(f)});
    f.step(dt);
    left -= dt;
    time_events(f);
  }
  double leaves = z.dry_mass + f.engines.left;
  for (std::size_t j = 0; j < f.groups.size(); ++j) {
    if (!f.group_on[j]) continue;
    const BoosterGroup& g = z.boosters[j];
    leaves += g.count * (g.mass - g.propellant_mass) + f.groups[j].left;
    f.group_on[j] = false;
    f.groups[j].lit = false;
  }
  f.drop(z.name + ": separation", leaves);
  ++f.stage;
}


// Steps of dt until `reached` says the state is where the burn or coast
// ends, located within the step that passes it by halving; false when the
// propellant (a burn) runs out first.
template <class Reached>
bool until(Flight& f, bool burning, Reached&& reached, double dt_max, bool guided) {
  const StagedPlan& p = f.v.plan;
  bool holding = false;
  double t_solved = f.s.t;
  for (;;) {
    if (guided) {
      if (!holding && f.s.t - t_solved >= p.guidance_cycle - cycle_slack) {
        const GuidanceSolution prev = f.g;
        solve_steering(f, &prev, 1);
        t_solved = f.s.t;
      }
      if (f.g.tgo < p.hold_time) holding = true;
      set_yaw(f);
    }
    double dt = std::min(dt_max, next_event(f));
    const double dry = burning ? f.next_dry() : inf;
    const bool last = dry <= dt;
    dt = std::min(dt, dry);
    Flight trial = f.trial();
    trial.step(dt);
    if (reached(trial)) {
      f.step(located_within(f, dt, reached));
      return true;
    }
    f.take_step_of(trial);
    time_events(f);
    if (last) return false;
  }
}

// Ends the last stage's burn, on its target (ok) or with its propellant
// gone before `what`: false and the failure said in the latter case.
bool end_burn(Flight& f, const StagedStage& z, bool ok, const char* what) {
  f.engines.lit = false;
  f.event(z.name + (ok ? ": cut-off" : ": burn-out before the target"));
  if (!ok) f.out.failure = z.name + " ran out of propellant before " + what;
  return ok;
}

// The last stage's coast to the apogee along the velocity, and its burn
// there until the orbit has the target's energy (semi-major axis a).
template <class Sma>
void circularise(Flight& f, double a, Sma&& sma) {
  const StagedStage& z = f.v.stages[f.stage];
  const double t_cut = f.s.t;
  f.aim = Aim::prograde;
  until(f, false, [](const Flight& x) { return dot(x.s.r, x.s.v) <= 0; }, f.v.plan.coast_step, false);
  f.event("apogee");
  // A thrust profile takes up again where the cut-off left it.
  if (f.engines.profile) f.engines.t_on += f.s.t - t_cut;
  f.engines.lit = true;
  f.event(z.name + ": ignition at apogee");
  const bool ok = until(f, true, [&](const Flight& x) { return sma(x) >= a; }, f.v.plan.step, false);
  f.out.reached = end_burn(f, z, ok, "circularising");
}

// The last stage carried to the transfer orbit: it coasts along the
// velocity, lights half its burn before the apogee (a long burn of a small
// stage spans a good part of the orbit, and a burn along the velocity
// from the apogee on would leave it eccentric) and is guided onto the
// target orbit, cut off on its energy (semi-major axis a).
template <class Sma>
void apogee_burn(Flight& f, double a, Sma&& sma) {
  const StagedStage& z = f.v.stages[f.stage];
  light_stage(f, false);
  const double mu = f.w.earth.mu;
  const double r = std::sqrt(dot(f.s.r, f.s.r)), v2 = dot(f.s.v, f.s.v);
  const double a_transfer = 1 / (2 / r - v2 / mu);
  const double h = std::sqrt(dot(cross(f.s.r, f.s.v), cross(f.s.r, f.s.v)));
  const double ra = a_transfer * (1 + std::sqrt(std::max(0.0, 1 - h * h / (mu * a_transfer))));
  const double dv = std::sqrt(mu * (2 / ra - 1 / a)) - h / ra;  // to the target's energy at the apogee
  const double T = staging::burn_time_for(dv, f.mass, f.engines.mean_flow(f.s.t), z.exhaust_speed);
  const double t_coast = f.s.t;
  f.aim = Aim::prograde;
  until(
      f, false,
      [&](const Flight& x) {
        return staging::time_to_apogee(mu, std::sqrt(dot(x.s.r, x.s.r)), dot(x.s.v, x.s.v), dot(x.s.r, x.s.v)) <= T / 2;
      },
      f.v.plan.coast_step, false);
  if (f.engines.profile) f.engines.t_on += f.s.t - t_coast;
  f.t_ignition = f.s.t;
  f.engines.lit = true;
  f.event(z.name + ": ignition before apogee");
  solve_steering(f, nullptr, first_passes);
  f.aim = Aim::guided;
  const bool ok = until(f, true, [&](const Flight& x) { return sma(x) >= a; }, f.v.plan.step, true);
  f.out.reached = end_burn(f, z, ok, "the target orbit");
}

void fly_last_stage(Flight& f) {
  const StagedMission& m = f.v.mission;
  const StagedStage& z = f.v.stages[f.stage];
  const double Re = f.w.earth.a, mu = f.w.earth.mu;
  const TargetApsides target = target_apsides(m, Re);
  const double a_target = Re + (target.hp + target.ha) / 2;
  auto sma = [mu](const Flight& x) { return 1 / (2 / std::sqrt(dot(x.s.r, x.s.r)) - dot(x.s.v, x.s.v) / mu); };
  if (m.injection == Injection::transfer) {
    apogee_burn(f, a_target, sma);
    return;
  }
  light_stage(f);
  solve_steering(f, f.aim == Aim::guided ? &f.g : nullptr, first_passes);
  f.aim = Aim::guided;
  bool ok;
  if (m.injection == Injection::direct) {
    ok = until(f, true, [&](const Flight& x) { return sma(x) >= a_target; }, f.v.plan.step, true);
  } else {
    ok = until(f, true, [&](const Flight& x) { return elements_of(x).ra >= Re + target.ha; }, f.v.plan.step, true);
  }
  const bool cut = end_burn(f, z, ok, "the target orbit");
  f.out.at_cutoff = right_ascension(f, elements_of(f));
  if (!cut) return;
  if (m.injection == Injection::coast) {
    circularise(f, a_target, sma);
    return;
  }
  f.out.reached = true;
}

}  // namespace

World3d world_of(const StagedVehicle& v, double theta0) {
  World3d w;
  const StagedMission& m = v.mission;
  w.site = {m.latitude / deg, m.longitude / deg, m.site_altitude};
  w.theta0 = theta0;
  if (m.node >= 0) w.node = m.node / deg;
  w.wind.h = v.wind.altitude;
  w.wind.east = v.wind.east;
  w.wind.north = v.wind.north;
  return w;
}

Flight3dResult fly_3d(const StagedVehicle& v, const World3d& w, const Step3dObserver& observer) {
  atmosphere_init();
  Flight f(v, w, observer);
  f.env = make_environment(v.earth, v.atmosphere);
  f.drag = make_drag_table(v.drag);
  f.s = inertial_of(w.earth, 0.0, w.site, {0, 0, 0});
  f.mass = liftoff_mass(v);
  f.out.liftoff_mass = f.mass;
  f.fairing_on = v.fairing_mass > 0 || v.fairing_jettison_time > 0;
  for (const BoosterGroup& g : v.stages[0].boosters) {
    f.groups.push_back(staging::booster_burner(g));
    f.group_on.push_back(true);
  }
  f.azimuth = launch_azimuth(f);
  try {
    while (f.stage + 1 < v.stages.size()) fly_lower_stage(f);
    fly_last_stage(f);
  } catch (const Crashed&) {
    f.event("ground");
    f.out.reached = false;
    f.out.failure = "the vehicle struck the ground";
  }
  Flight3dResult& out = f.out;
  out.final = f.s;
  out.mass = f.mass;
  out.osculating = right_ascension(f, elements_of(f));
  out.hp = out.osculating.rp - w.earth.a;
  out.ha = out.osculating.ra - w.earth.a;
  // The cut-offs judge the orbit by its size alone; a plane the yaw could
  // not turn far enough is no arrival. J2 swings the osculating inclination
  // of a low orbit by under 0.05 deg, the guidance leaves it within 0.01.
  const double i_miss = std::fabs(out.osculating.i * deg - v.mission.inclination);
  if (out.reached && i_miss > inclination_tolerance_deg) {
    out.reached = false;
    out.failure = "the orbit's inclination (" + real_text(out.osculating.i * deg, 1, 3) + " deg) is " +
                  real_text(i_miss, 1, 3) + " deg from the target's";
  }
  return out;
}

}  // namespace ascent
