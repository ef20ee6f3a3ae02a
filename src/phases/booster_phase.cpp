#include "phases/booster_phase.hpp"

#include <cerrno>
#include <cmath>
#include <cstdio>

#include "atmosphere/atmosphere.hpp"
#include "vehicle/booster_profile.hpp"
#include "phases/phase_support.hpp"
#include "io/fatal_error.hpp"
#include "io/number_format.hpp"

namespace ascent {

namespace {

// The booster thrust profile, read one interval at a time.
struct Profile {
  const BoosterProfile* points = nullptr;
  std::size_t next = 0;           // index of the next point to read
  double t_prev = 0, F_prev = 0;  // s, N: start of the current interval
  double t_cur = 0, F_cur = 0;    // s, N: its end; the profile is read up to here
  double Mb_used = 0;             // kg, propellant one booster burnt up to t_cur
};

// The session's shared profile, or the file (or text) read afresh for this
// flight, as a session of the program does before each flight.
const BoosterProfile& open_profile(FlightContext& S, BoosterProfile& own) {
  if (S.profile != nullptr) return *S.profile;
  if (S.profile_text != nullptr) {
    own = parse_profile(*S.profile_text, S.profile_path);
  } else {
    own = read_profile(S.profile_path);
  }
  return own;
}

// Reads the next point (time, thrust of one booster).
void read_point(Profile& P) {
  if (P.next >= P.points->t.size()) throw P.points->end;
  P.t_cur = P.points->t[P.next];
  P.F_cur = P.points->F[P.next];
  ++P.next;
}

// Moves on to the next profile interval: thrust and mass flow carry on from
// where they are with the interval's rates.
void next_profile_point(FlightContext& S, Profile& P) {
  FlightState& s = S.fs;
  P.t_prev = P.t_cur;
  P.F_prev = P.F_cur;
  read_point(P);
  const double t_pitch = S.desc->mission.plan.pitch_time;
  const double c_booster = S.desc->vehicle.boosters.exhaust_speed;
  s.dt = P.t_cur - P.t_prev;
  if (s.dt > t_pitch + profile_spacing_slack) {
    announce(S, EventKind::profile_spacing, t_pitch);
  }
  s.Fdot = S.desc->vehicle.boosters.count * (P.F_cur - P.F_prev) / s.dt;  // all boosters
  s.mddot = -s.Fdot / c_booster;
  P.Mb_used = P.Mb_used + 0.5 * (P.F_prev + P.F_cur) * s.dt / c_booster;
}

// Flies tleft seconds along the profile and ends exactly at the requested
// time; leaves in dt the rest of the current interval.
void advance_on_profile(FlightContext& S, Profile& P) {
  FlightState& s = S.fs;
  next_profile_point(S, P);
  s.tleft = s.tleft - s.dt;
  while (s.tleft > 0) {
    step(S);
    next_profile_point(S, P);
    s.tleft = s.tleft - s.dt;
  }
  double L = s.dt;
  s.dt = s.dt + s.tleft;
  step(S);
  s.dt = L - s.dt;
}

// Steps with dt until the altitude passes h_pitch, then one step back.
void rise_to_altitude(FlightContext& S) {
  FlightState& s = S.fs;
  step_past_and_back(
      S,
      [&] {
        step(S);
        s.tleft = s.tleft - s.dt;
      },
      [&] { return s.h0 > S.h_pitch || !std::isfinite(s.h0); });
  s.tleft = s.tleft - s.dt;
}

void write_pad_line(FlightContext& S, double a_column) {
  const FlightState& s = S.fs;
  StepRecord r{s.t, a_column, s.vrot, s.h0, s.r0, 90.0, 0.0, 90.0, 0.0, s.Me + s.m0, s.vx, s.vy};
  r.pad = true;
  for (StepObserver* o : S.step_observers) o->on_step(r);
}

}  // namespace

double launch_azimuth(const Target& target) {
  double phi = target.latitude * pi / 180;
  double incl = target.inclination * pi / 180;
  double x = std::cos(phi) / std::cos(incl);
  return plane_azimuth(x);
}

double launch_site_vrot(const Target& target, const Environment& e) {
  double phi = target.latitude * pi / 180;
  double ve = surface_speed(e, phi);
  double azimuth = launch_azimuth(target);
  double delta = pi / 2 - azimuth;
  double vo = circular_speed(e, target.apogee_altitude);
  return vo - std::sqrt(ve * ve + vo * vo - 2 * ve * vo * std::cos(delta));
}

namespace {

void ignition(FlightContext& S, double& P0Ae) {
  FlightState& s = S.fs;
  const Vehicle& v = S.desc->vehicle;
  const Boosters& b = v.boosters;
  s.nst = 3;
  s.Mst[3] = v.upper.stack_mass;
  s.Mst[2] = s.Mst[3] + (v.core.dry_mass + v.core.propellant_mass);
  s.Mst[1] = s.Mst[2] + b.count * b.mass;
  S.M_lo = s.Mst[1];
  s.Sst[3] = circle_area(v.core.diameter);
  s.Sst[2] = circle_area(v.core.diameter) + v.core.area_above;
  s.Sst[1] = b.count * (circle_area(b.diameter) + b.area_correction) + s.Sst[2];
  for (int i = 1; i <= s.nst; ++i) {
    s.Fst_max[i] = s.env->gs * s.Mst[i];
    s.t_Fst_max[i] = 0;
  }
  s.Sref = drag_area(S, s.Sst[1]);
  s.Ae = b.count * circle_area(b.nozzle_exit_diameter) + core_exit_area(v.core);
  P0Ae = P0 * s.Ae;
  s.m0 = v.core.propellant_mass + b.count * b.propellant_mass;
  s.Me = s.Mst[1] - s.m0;
  s.t = 0;
  s.substeps = S.desc->mission.numerics.substeps;
  const Numerics& numerics = S.desc->mission.numerics;
  s.tolerance = numerics.integrator == "adaptive" ? numerics.tolerance : 0;
  s.pair.clear();
  s.vrot = launch_site_vrot(S.desc->mission.target, *s.env);
  s.vx = s.vrot;
  s.h0 = 0;
  s.vy = 0;
  s.r0 = 0;
  s.kick = 0;
  s.mddot = 0;
  s.Fdot = 0;
  s.dV = 0;
  s.Fvac = core_thrust(v.core, v.core.throttle_entry);
  s.mdot = -s.Fvac / v.core.exhaust_speed;  // only the core burns yet
}

}  // namespace

void booster_phase(FlightContext& S) {
  announce(S, EventKind::pass_start);
  FlightState& s = S.fs;
  const Vehicle& v = S.desc->vehicle;
  const FlightPlan& plan = S.desc->mission.plan;
  const double c_booster = v.boosters.exhaust_speed;
  const double t_pitch = plan.pitch_time;
  const double pitch_rate = plan.pitch_rate * pi / 180;  // rad/s
  BoosterProfile own;
  Profile P;
  P.points = &open_profile(S, own);
  double P0Ae;
  ignition(S, P0Ae);
  write_pad_line(S, S.fs.env->gs);

  // First profile interval: the boosters' thrust rises linearly from zero.
  read_point(P);
  s.dt = P.t_cur;
  s.Fdot = v.boosters.count * P.F_cur / s.dt;  // all boosters
  s.mddot = -s.Fdot / c_booster;
  P.Mb_used = 0.5 * P.F_cur * s.dt / c_booster;

  // Liftoff: sea-level thrust equals the weight, both changing with time.
  const double gs = s.env->gs;
  double A = -gs * s.mddot / 2;
  double B = s.Fdot - gs * s.mdot;
  double C = s.Fvac - P0Ae - gs * (s.m0 + s.Me);
  double t_lo = (std::sqrt(B * B - 4 * A * C) - B) / (2 * A);
  // The model lifts off while the boosters' thrust rises over the profile's
  // first interval. A vehicle still heavier than its thrust at the end of it
  // would be flown from a time outside the interval, through the ground.
  const double t1 = P.t_cur;
  const double thrust = s.Fvac + s.Fdot * t1 - P0Ae;
  const double weight = s.env->gs * (s.m0 + s.Me + s.mdot * t1 + s.mddot * t1 * t1 / 2);
  if (!(t_lo <= t1) && thrust < weight) {
    throw FatalError{err_description, "the vehicle cannot lift off: at t = " + real_text(t1, 1, 3) +
                                          " s, the end of the booster profile's first interval, its thrust (" +
                                          real_text(thrust, 1, 0) + " N) is below its weight (" +
                                          real_text(weight, 1, 0) + " N)"};
  }
  s.t = t_lo;
  s.m0 = s.m0 + s.mdot * t_lo + s.mddot * t_lo * t_lo / 2;
  s.Fvac = s.Fvac + s.Fdot * t_lo;
  s.mdot = s.mdot + s.mddot * t_lo;
  write_pad_line(S, (s.Fvac - P0Ae) / (s.Me + s.m0));

  s.dt = P.t_cur - s.t;
  s.kick_rate = 0;
  s.mode = Steering::pitch_program;
  s.follow_air = true;
  step(S);
  S.F_lo = s.Fvac - P0Ae;
  S.a_lo = S.F_lo / (s.m0 + s.Me);

  if (located_events(S)) {
    // Vertical rise to h_pitch, located in the interval that passes it;
    // what is left of the interval is the pitch-over's first part.
    S.h_pitch = plan.pitch_over_altitude;
    const auto above = event([&](const FlightState& x) { return x.h0 - plan.pitch_over_altitude; });
    long n = 0;
    do {
      next_profile_point(S, P);
    } while (!step_until(S, above) && ++n < max_search_steps);
    s.tleft = (P.t_cur - P.t_prev) - s.dt;
  } else {
    // Vertical rise to h_pitch: whole intervals, one back, then tenths and
    // hundredths of the interval.
    step_past_and_back(
        S,
        [&] {
          next_profile_point(S, P);
          step(S);
        },
        [&] { return s.h0 > plan.pitch_over_altitude; });
    s.tleft = -s.dt;
    s.dt = -s.dt / search_refinement;
    S.h_pitch = plan.pitch_over_altitude;
    rise_to_altitude(S);
    s.dt = -s.dt / search_refinement;
    rise_to_altitude(S);
  }

  // Pitch-over.
  announce(S, EventKind::pitch_over);
  s.kick_rate = -pitch_rate;
  s.dt = s.tleft;
  step(S);
  s.tleft = t_pitch - s.dt;
  next_profile_point(S, P);
  s.dt = s.tleft;
  step(S);
  s.kick_rate = 0;
  s.dt = t_pitch - s.dt;
  step(S);

  // Turn hold.
  s.tleft = S.tt - s.dt;
  advance_on_profile(S, P);

  // Pitch-back.
  s.kick_rate = pitch_rate;
  step(S);
  s.tleft = t_pitch - s.dt;
  next_profile_point(S, P);
  s.dt = s.tleft;
  step(S);
  s.kick = 0;
  announce(S, EventKind::end_turn);
  s.kick_rate = 0;
  s.dt = t_pitch - s.dt;
  step(S);

  // Gravity turn to separation.
  s.tleft = v.boosters.separation_time - s.t;
  advance_on_profile(S, P);
  P.Mb_used = P.Mb_used - s.dt * (P.F_cur - s.dt * (P.F_cur - P.F_prev) / (2 * (P.t_cur - P.t_prev))) / c_booster;
  double Mb_resid = v.boosters.propellant_mass - P.Mb_used;
  s.m0 = s.m0 - v.boosters.count * Mb_resid;
  announce(S, EventKind::booster_separation, Mb_resid);
}

}  // namespace ascent
