#include "phases/booster_phase.hpp"

#include <cerrno>
#include <cmath>
#include <cstdio>

#include "atmosphere/atmosphere.hpp"
#include "phases/phase_support.hpp"
#include "io/fatal_error.hpp"

namespace ascent {

namespace {

// Vehicle at ignition.
constexpr double M_above_core = 106794.0;   // kg, third stage, payload and fairing (station 3)
constexpr double M_core = 1074908.0;        // kg, core stage with its propellant
constexpr double M_boosters = 1554007.6;    // kg, both boosters with their propellant
constexpr double m0_ignition = 2324105.2;   // kg, propellant of the core and both boosters
constexpr double Mp_booster = 680388.6;     // kg, propellant of one booster
constexpr double F_core = 9282548.16;       // N, vacuum thrust of the core engines
constexpr double c_core = 4420.8;           // m/s, effective exhaust speed of the core engines
constexpr double c_booster = 2756.6;        // m/s, effective exhaust speed of a booster
constexpr double d2_core = 70.68437476;     // m^2, square of the core diameter
constexpr double S_above_core = 2.073;      // m^2, added for the vehicle above station 2
constexpr double d2_booster = 27.96611689;  // m^2, square of a booster diameter
constexpr double S_booster_corr = -0.038;   // m^2, correction of each booster's cross-section
constexpr double d2_booster_exit = 15.01407504;    // m^2, square of a booster nozzle exit diameter
constexpr double Ae_core = 16.673713298791018;     // m^2, nozzle exit area of the core engines
constexpr double P0 = 101325.0;                    // Pa, sea-level pressure

// Launch site and target orbit.
constexpr double latitude = 28.45;            // degrees
constexpr double inclination = 51.6;          // degrees
constexpr double sidereal_day = 86164.09;     // s
constexpr double v_orbit = 7669.334970678074; // m/s, circular speed at 398.6 km

// Flight plan.
constexpr double h_pitch_over = 110.0;        // m, end of the vertical rise
constexpr double refine = 10;                 // refinement factor of the search for h_pitch
constexpr double pitch_rate = 1.3 * pi / 180; // rad/s
constexpr double t_pitch = 0.986832971065;    // s, pitch-over duration and profile spacing
constexpr double dt_profile_max = 0.986833971065;  // s, longest interval without a warning
constexpr double t_separation = 130.2;        // s

// The booster thrust profile, read one interval at a time.
struct Profile {
  LineReader lines;
  NumberReader numbers{lines};
  double t_prev = 0, F_prev = 0;  // s, N: start of the current interval
  double t_cur = 0, F_cur = 0;    // s, N: its end; the profile is read up to here
  double Mb_used = 0;             // kg, propellant one booster burnt up to t_cur
};

void open_profile(Session& S, Profile& P) {
  if (S.profile_text != nullptr) {
    P.lines.open_memory(*S.profile_text, S.profile_path);
    return;
  }
  open_profile_file(S, P.lines);
}

// Reads the next point (time, thrust of one booster) and drops the rest of its line.
void read_point(Session& S, Profile& P) {
  double t, F;
  if (!P.numbers.next(t) || !P.numbers.next(F)) {
    if (P.lines.line_number() == 0) {
      throw FatalError{err_read, S.profile_path + ": unexpected end of file: the booster profile is empty"};
    }
    throw FatalError{err_read, S.profile_path + ": line " + std::to_string(P.lines.line_number()) +
                                   ": unexpected end of file: the booster profile ends at t = " +
                                   real_text(P.t_cur, 1, 3) + " s, before the flight needs its next point"};
  }
  P.numbers.skip_rest_of_line();
  P.t_cur = t;
  P.F_cur = F;
}

// Moves on to the next profile interval: thrust and mass flow carry on from
// where they are with the interval's rates.
void next_profile_point(Session& S, Profile& P) {
  FlightState& s = S.fs;
  P.t_prev = P.t_cur;
  P.F_prev = P.F_cur;
  read_point(S, P);
  s.dt = P.t_cur - P.t_prev;
  if (s.dt > dt_profile_max) {
    S.main->line("Error! Booster time increments must be at most " + real_text(t_pitch, 14, 12) +
                 " seconds");
  }
  s.Fdot = 2 * (P.F_cur - P.F_prev) / s.dt;
  s.mddot = -s.Fdot / c_booster;
  P.Mb_used = P.Mb_used + 0.5 * (P.F_prev + P.F_cur) * s.dt / c_booster;
}

// Flies tleft seconds along the profile and ends exactly at the requested
// time; leaves in dt the rest of the current interval.
void advance_on_profile(Session& S, Profile& P) {
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
void rise_to_altitude(Session& S) {
  FlightState& s = S.fs;
  long n = 0;
  do {
    step(S);
    s.tleft = s.tleft - s.dt;
  } while (!(s.h0 > S.h_pitch) && std::isfinite(s.h0) && ++n < max_search_steps);
  s.dt = -s.dt;
  step(S);
  s.tleft = s.tleft - s.dt;
}

void write_pad_line(Session& S, double a_column) {
  const FlightState& s = S.fs;
  write_table_line(*S.main, s.t, a_column, s.vrot, s.h0, s.r0, 90.0, 0.0, 90.0, 0.0, s.Me + s.m0);
}

// The launch site's rotation credited to the flight: the target orbital speed
// less the speed still to be gained once the surface velocity is counted.
double launch_site_vrot() {
  double phi = latitude * pi / 180;
  double incl = inclination * pi / 180;
  double ve = 2 * pi * Re * std::cos(phi) / sidereal_day;
  double x = std::cos(phi) / std::cos(incl);
  double azimuth = std::atan(1 / std::sqrt(x * x - 1));
  double delta = pi / 2 - azimuth;
  double vo = v_orbit;
  return vo - std::sqrt(ve * ve + vo * vo - 2 * ve * vo * std::cos(delta));
}

void ignition(Session& S, double& P0Ae) {
  FlightState& s = S.fs;
  s.nst = 3;
  s.Mst[3] = M_above_core;
  s.Mst[2] = s.Mst[3] + M_core;
  s.Mst[1] = s.Mst[2] + M_boosters;
  S.M_lo = s.Mst[1];
  s.Sst[3] = pi * d2_core / 4;
  s.Sst[2] = pi * d2_core / 4 + S_above_core;
  s.Sst[1] = 2 * (pi * d2_booster / 4 + S_booster_corr) + s.Sst[2];
  for (int i = 1; i <= s.nst; ++i) {
    s.Fst_max[i] = gs * s.Mst[i];
    s.t_Fst_max[i] = 0;
  }
  s.Sref = s.Sst[1];
  s.Ae = 2 * pi * d2_booster_exit / 4 + Ae_core;
  P0Ae = P0 * s.Ae;
  s.m0 = m0_ignition;
  s.Me = s.Mst[1] - s.m0;
  s.t = 0;
  s.vrot = launch_site_vrot();
  s.vx = s.vrot;
  s.h0 = 0;
  s.vy = 0;
  s.r0 = 0;
  s.kick = 0;
  s.mddot = 0;
  s.Fdot = 0;
  s.dV = 0;
  s.Fvac = F_core;
  s.mdot = -s.Fvac / c_core;  // only the core burns yet
}

}  // namespace

void booster_phase(Session& S) {
  FlightState& s = S.fs;
  Profile P;
  open_profile(S, P);
  double P0Ae;
  ignition(S, P0Ae);
  write_pad_line(S, gs);

  // First profile interval: the boosters' thrust rises linearly from zero.
  read_point(S, P);
  s.dt = P.t_cur;
  s.Fdot = 2 * P.F_cur / s.dt;
  s.mddot = -s.Fdot / c_booster;
  P.Mb_used = 0.5 * P.F_cur * s.dt / c_booster;

  // Liftoff: sea-level thrust equals the weight, both changing with time.
  double A = -gs * s.mddot / 2;
  double B = s.Fdot - gs * s.mdot;
  double C = s.Fvac - P0Ae - gs * (s.m0 + s.Me);
  double t_lo = (std::sqrt(B * B - 4 * A * C) - B) / (2 * A);
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

  // Vertical rise to h_pitch: whole intervals, one back, then tenths and
  // hundredths of the interval.
  do {
    next_profile_point(S, P);
    step(S);
  } while (!(s.h0 > h_pitch_over));
  s.dt = -s.dt;
  step(S);
  s.tleft = -s.dt;
  s.dt = -s.dt / refine;
  S.h_pitch = h_pitch_over;
  rise_to_altitude(S);
  s.dt = -s.dt / refine;
  rise_to_altitude(S);

  // Pitch-over.
  S.main->line("Pitch over!");
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
  S.main->line("End turn.");
  s.kick_rate = 0;
  s.dt = t_pitch - s.dt;
  step(S);

  // Gravity turn to separation.
  s.tleft = t_separation - s.t;
  advance_on_profile(S, P);
  P.Mb_used = P.Mb_used - s.dt * (P.F_cur - s.dt * (P.F_cur - P.F_prev) / (2 * (P.t_cur - P.t_prev))) / c_booster;
  double Mb_resid = Mp_booster - P.Mb_used;
  s.m0 = s.m0 - 2 * Mb_resid;
  S.main->line("Booster seperation! Residual booster propellant = " + real_text(Mb_resid, 1, 0) + " kg.");
}

}  // namespace ascent
