#include "study.hpp"

#include <algorithm>
#include <cmath>
#include <utility>

#include "io/exit_codes.hpp"
#include "io/fatal_error.hpp"
#include "io/number_format.hpp"
#include "phases/staged_flight.hpp"
#include "session/flight.hpp"
#include "session/staged_session.hpp"
#include "vehicle/description_file.hpp"
#include "vehicle/vehicle.hpp"

namespace ascent::control {
namespace {

constexpr double deg = 180 / 3.14159265358979323846;

nlohmann::ordered_json orbit_json(const Orbit& o) {
  return {{"mass_kg", o.m}, {"a_km", o.a / 1000}, {"e", o.e}, {"perigee_deg", o.perigee * deg}};
}

nlohmann::ordered_json mass_or_null(const std::optional<double>& m) {
  return m ? nlohmann::ordered_json(*m) : nlohmann::ordered_json(nullptr);
}

nlohmann::ordered_json gap_or_null(const std::optional<double>& m, const char* what, double optimum) {
  return m ? nlohmann::ordered_json(gap_words(what, *m, optimum)) : nlohmann::ordered_json(nullptr);
}

// The guided flight's thrust pitch at every step, the solver's first guess.
class PitchRecorder : public StepObserver {
 public:
  explicit PitchRecorder(std::vector<GuessPoint>& out) : out_(out) {}
  void on_step(const StepRecord& r) override {
    if (r.pad || r.a <= 0) return;
    if (!out_.empty() && r.t <= out_.back().t) return;
    out_.push_back({r.t, (r.beta_deg + r.alpha_deg) / deg});
  }

 private:
  std::vector<GuessPoint>& out_;
};

// Without guidance the core's cut-off radius is free and the start is the
// open-loop programme's flight, off the transfer orbit: from there IPOPT
// found no optimum (its restoration failed), so it is refused.
void refuse_open_loop(const Description& d) {
  if (!closed_loop(d.mission))
    throw FatalError{err_description, d.vehicle.name + ": an open-loop classic description cannot be transcribed yet "
                                                       "(its guided form can: guidance.mode = \"closed-loop\")"};
}

// A classic flight ended on its target circle, within 10 km of each apsis.
bool reached_circle(const Flight& f, double ha) {
  return std::abs(f.record.hp_final - ha) < 10000 && std::abs(f.record.ha_final - ha) < 10000;
}

std::string missed(double tt, double alpha) {
  return "the flight at " + shortest_text(tt) + " s / " + shortest_text(alpha) + " deg missed the target by more than 10 km";
}

// The time of the core's cut-off.
class CutoffRecorder : public EventObserver {
 public:
  explicit CutoffRecorder(double& t) : t_(t) {}
  void on_event(const FlightEvent& e) override {
    if (e.kind == EventKind::core_cutoff) t_ = e.t;
  }

 private:
  double& t_;
};

// The largest dynamic pressure (Pa) and |q sin alpha| (Pa rad) over the optimum's points.
std::pair<double, double> path_extremes(const Study& s) {
  double q = 0, qa = 0;
  for (const Point& pt : s.solution.points) {
    const AirAt<double> w = air_at(s.problem.earth, pt.x[kR], pt.x[kVx], pt.x[kVy]);
    q = std::max(q, w.q);
    qa = std::max(qa, std::abs(q_sin_alpha(s.problem.earth, pt.x[kR], pt.x[kVx], pt.x[kVy], pt.alpha)));
  }
  return {q, qa};
}

nlohmann::ordered_json limit_or_null(double x, double unit) {
  return x > 0 ? nlohmann::ordered_json(x * unit) : nlohmann::ordered_json(nullptr);
}

}  // namespace

Study builtin_study(const std::string& name) {
  if (name != "delta3") throw FatalError{exit_usage, "--problem: unknown problem '" + name + "' (built in: delta3)"};
  Study s;
  s.problem = delta3();
  s.guided_note = "the built-in problem has no guided flight (--vehicle vehicles/delta3_gto.toml flies one)";
  return s;
}

Study vehicle_study(const std::string& path, bool rise, const ClassicAnswers& answers) {
  StagedVehicle v;
  Description d;
  if (!read_any_description(path, v, d)) {
    if (!rise) throw FatalError{exit_usage, "--no-rise: a classic description's vertical rise is part of its problem"};
    refuse_open_loop(d);
    return classic_study(d, read_profile(resolved_profile_path(d)), answers);
  }
  if (const std::vector<StagedProblem> faults = check_staged(v); !faults.empty())
    throw FatalError{err_description, path + ": " + faults.front().key + ": " + faults.front().what};
  return vehicle_study(v, rise);
}

Study vehicle_study(const StagedVehicle& v, bool rise) {
  Study s;
  s.problem = problem_of(v, rise);
  PitchRecorder pitch(s.problem.guess);
  const StagedResult r = fly_staged(v, {&pitch});
  if (r.reached) s.guided = r.mass;
  else s.guided_note = "the guided flight missed the target: " + r.failure;
  return s;
}

Study classic_study(const Description& d, const BoosterProfile& profile, const ClassicAnswers& answers) {
  refuse_open_loop(d);
  Study s;
  s.classic = d;
  s.profile = profile;
  s.objective = "SC_M";
  std::vector<GuessPoint> guess;
  PitchRecorder pitch(guess);
  double t_cut = 0;
  CutoffRecorder cutoff(t_cut);
  FlightOptions o;
  o.step_observers = {&pitch};
  o.event_observers = {&cutoff};
  const Flight f = fly(d, profile, FlightAnswers{answers.tt, answers.alpha, true, false, ""}, o);
  if (!f.ok) throw FatalError{f.exit_code, f.error};
  // Its spacecraft, as the program sizes it, where it reached the target circle.
  if (reached_circle(f, d.mission.target.apogee_altitude)) s.guided = f.record.Msc;
  else s.guided_note = missed(answers.tt, answers.alpha);
  s.problem = problem_of(d, profile, t_cut);
  s.problem.guess = guess;
  if (answers.open_tt > 0) {
    // The same vehicle on its open-loop programme, its spacecraft sized alike.
    Description open = d;
    open.mission.guidance.mode = "open-loop";
    const Flight g = fly(open, profile, FlightAnswers{answers.open_tt, answers.open_alpha, true, false, ""});
    if (!g.ok) throw FatalError{g.exit_code, g.error};
    if (reached_circle(g, d.mission.target.apogee_altitude)) s.open_loop = g.record.Msc;
    else s.open_loop_note = missed(answers.open_tt, answers.open_alpha);
  }
  return s;
}

namespace {

// The cut-off piece of a classic problem: -1 where the optimum cuts at its
// start, 1 at its end (the cut-off belongs to a neighbouring piece), 0 inside.
int cutoff_at_edge(const Problem& p, const Solution& sol) {
  const int ph = p.sizing.cut_phase;
  const Phase& P = p.phases[ph];
  std::size_t k = 0;
  for (int i = 0; i <= ph; ++i) k += 2 * p.phases[i].intervals + 1;
  const double dur = sol.points[k - 1].t - sol.points[k - 1 - 2 * P.intervals].t;
  if (dur < 1e-6) return -1;
  if (dur > P.duration_max - 1e-6) return 1;
  return 0;
}

}  // namespace

void solve_study(Study& s, int mesh) {
  // A classic problem: moved on to the next piece of the core's schedule (or
  // back) while the optimum cuts off at an end of its own.
  double cpu = 0;
  int iterations = 0;
  for (int tries = 0; s.classic && tries < 12; ++tries) {
    Problem p = s.problem;
    for (Phase& ph : p.phases) ph.intervals *= mesh;
    s.solution = solve(p);
    cpu += s.solution.cpu_seconds;
    iterations += s.solution.iterations;
    if (!s.solution.converged || s.solution.points.empty()) break;
    const int edge = cutoff_at_edge(p, s.solution);
    if (edge == 0) {
      // The time and iterations of every solve the cut-off's piece took.
      s.solution.cpu_seconds = cpu;
      s.solution.iterations = iterations;
      s.problem = p;
      s.replay = replay(s.problem, s.solution);
      return;
    }
    const Phase& cut = p.phases[p.sizing.cut_phase];
    double t_start = p.t0;
    for (int i = 0; i < p.sizing.cut_phase; ++i) t_start += p.phases[i].duration_max;
    // The next piece's middle, the steering of this optimum to start from.
    const double t_cut = edge > 0 ? t_start + cut.duration_max + 1e-3 : t_start - 1e-3;
    std::vector<GuessPoint> guess;
    for (const Point& q : s.solution.points)
      if (guess.empty() || q.t > guess.back().t) guess.push_back({q.t, q.alpha});
    s.problem = problem_of(*s.classic, s.profile, t_cut);
    s.problem.guess = guess;
    const Phase& next = s.problem.phases[s.problem.sizing.cut_phase];
    s.problem.sizing.t_cut = t_cut + (edge > 0 ? next.duration_max / 2 : -next.duration_max / 2);
  }
  if (s.classic) throw FatalError{exit_no_orbit, "the solver found no optimum: " + s.solution.status};
  for (Phase& ph : s.problem.phases) ph.intervals *= mesh;
  s.solution = solve(s.problem);
  if (!s.solution.converged || s.solution.points.empty())
    throw FatalError{exit_no_orbit, "the solver found no optimum: " + s.solution.status};
  s.replay = replay(s.problem, s.solution);
}

void set_limits(Study& s, double q_max, double qalpha_max_deg) {
  for (double x : {q_max, qalpha_max_deg})
    if (!(x >= 0) || !std::isfinite(x))
      throw FatalError{exit_usage, "a path limit must be a finite number, 0 or above, not " + shortest_text(x)};
  s.problem.limits.q_max = q_max;
  s.problem.limits.qalpha_max = qalpha_max_deg / deg;
}

nlohmann::ordered_json study_json(const Study& s) {
  const Problem& p = s.problem;
  const double optimum = s.solution.objective;
  nlohmann::ordered_json j;
  j["problem"] = p.name;
  j["objective"] = s.objective;
  j["optimum"] = s.solution.objective;
  j["published"] = p.published > 0 ? nlohmann::ordered_json(p.published) : nlohmann::ordered_json(nullptr);
  j["status"] = s.solution.status;
  j["iterations"] = s.solution.iterations;
  j["orbit"] = orbit_json(s.solution.final);
  j["target"] = {{"a_km", p.target.a / 1000}, {"e", p.target.e}, {"perigee_deg", p.target.perigee * deg}};
  j["replay"] = orbit_json(s.replay.final);
  if (p.sizing.active) {
    // The replay's spacecraft from its own cut-off mass, final mass and
    // largest force on the core's top.
    j["replay"]["SC_M_kg"] = s.replay.objective;
    j["sizing"] = {{"core_propellant_left_kg", s.solution.cut_mass - p.sizing.core_rest},
                   {"largest_top_force_n", s.solution.top_force},
                   {"upper_propellant_burnt_kg", p.sizing.upper_loaded - s.solution.final.m},
                   {"core_cutoff_s", s.solution.cut_time}};
  }
  const auto [q, qa] = path_extremes(s);
  j["path"] = {{"largest_q_pa", q},
               {"largest_q_alpha_pa_deg", qa * deg},
               {"limit_q_pa", limit_or_null(p.limits.q_max, 1)},
               {"limit_q_alpha_pa_deg", limit_or_null(p.limits.qalpha_max, deg)}};
  j["guided"] = mass_or_null(s.guided);
  j["open_loop"] = mass_or_null(s.open_loop);
  j["guided_gap"] = gap_or_null(s.guided, "guided ascent", optimum);
  j["open_loop_gap"] = gap_or_null(s.open_loop, "open-loop optimum", optimum);
  nlohmann::ordered_json steer = nlohmann::ordered_json::array();
  for (const Point& q : s.solution.points) steer.push_back({q.t, q.alpha * deg});
  j["steering"] = steer;
  return j;
}

std::string steering_csv(const Study& s) {
  const double R = s.problem.earth.R;
  std::string t = "t_s,pitch_deg,phase,altitude_km,vx_m_s,vy_m_s,mass_kg\r\n";
  for (const Point& q : s.solution.points) {
    t += shortest_text(q.t) + "," + shortest_text(q.alpha * deg) + "," + std::to_string(q.phase + 1) + "," +
         shortest_text((q.x[kR] - R) / 1000) + "," + shortest_text(q.x[kVx]) + "," + shortest_text(q.x[kVy]) +
         "," + shortest_text(q.x[kM]) + "\r\n";
  }
  return t;
}

std::string study_text(const Study& s, bool with_time) {
  const Problem& p = s.problem;
  const Solution& o = s.solution;
  const Orbit& r = s.replay.final;
  std::string out =
      "Optimal ascent: " + p.name + " (" + o.status + ", " + std::to_string(o.iterations) + " iterations)\n";
  if (p.sizing.active)
    out += "  SC_M       = " + real_text(o.objective, 1, 3) + " kg (core cut off at " + real_text(o.cut_time, 1, 2) +
           " s with " + real_text(o.cut_mass - p.sizing.core_rest, 1, 1) + " kg of propellant left; largest force on its top " +
           real_text(o.top_force, 1, 0) + " N)\n";
  out += "  final mass = " + real_text(o.final.m, 1, 3) + " kg";
  if (p.published > 0)
    out += " (published " + real_text(p.published, 1, 3) + " kg, difference " +
           real_text(o.final.m - p.published, 1, 3) + " kg)";
  out += "\n  orbit      = a " + real_text(o.final.a / 1000, 1, 3) + " km, e " + real_text(o.final.e, 1, 6) +
         ", perigee " + real_text(o.final.perigee * deg, 1, 4) + " deg from the site\n";
  out += "  replay     = a " + real_text(r.a / 1000, 1, 3) + " km, e " + real_text(r.e, 1, 6) + ", perigee " +
         real_text(r.perigee * deg, 1, 4) + " deg, mass " + real_text(r.m, 1, 3) + " kg";
  if (p.sizing.active) out += ", SC_M " + real_text(s.replay.objective, 1, 3) + " kg";
  out += "\n";
  out += "  burn       = " + real_text(o.points.back().t, 1, 2) + " s to injection\n";
  if (s.guided)
    out += "  guided     = " + real_text(*s.guided, 1, 3) + " kg: " + gap_words("guided ascent", *s.guided, o.objective) +
           "\n";
  else
    out += "  guided     = none: " + s.guided_note + "\n";
  if (s.open_loop)
    out += "  open loop  = " + real_text(*s.open_loop, 1, 3) + " kg: " +
           gap_words("open-loop optimum", *s.open_loop, o.objective) + "\n";
  else if (!s.open_loop_note.empty())
    out += "  open loop  = none: " + s.open_loop_note + "\n";
  if (p.limits.q_max > 0 || p.limits.qalpha_max > 0) {
    const auto [q, qa] = path_extremes(s);
    out += "  path       = largest q " + real_text(q, 1, 1) + " Pa";
    if (p.limits.q_max > 0) out += " (limit " + real_text(p.limits.q_max, 1, 1) + ")";
    out += ", largest q alpha " + real_text(qa * deg, 1, 1) + " Pa deg";
    if (p.limits.qalpha_max > 0) out += " (limit " + real_text(p.limits.qalpha_max * deg, 1, 1) + ")";
    out += "\n";
  }
  if (with_time) out += "  solved in " + real_text(o.cpu_seconds, 1, 2) + " s of CPU\n";
  return out;
}

}  // namespace ascent::control
