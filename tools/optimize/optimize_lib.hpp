// The engine of ascent-optimize: the largest spacecraft mass the vehicle puts
// on its target orbit, over the turn time, the angle limit and any numeric
// quantities of the description set free. Whole flights are flown through the
// flight entry point; the search itself is NLopt's.
#pragma once
#include <cstddef>
#include <functional>
#include <string>
#include <vector>

#include "sweep_lib.hpp"
#include "vehicle/keys.hpp"

namespace ascent::optimize {

// A closed interval of one design variable.
struct Bounds {
  double low = 0;
  double high = 0;
};

// A quantity of the description made a design variable.
struct FreeKey {
  const Key* key = nullptr;  // a real or count key of the key table
  Bounds bounds;             // in the key's unit; a count takes whole values only
  std::string name;          // a staged vehicle's key (stage.2.propellant_mass), its key being none
};

// How the local searches treat the orbit and propellant conditions.
enum class Method {
  cobyla,         // COBYLA, the conditions as inequality constraints
  sbplx_penalty,  // Subplex on the mass less a penalty per km of miss
  bobyqa_penalty, // BOBYQA on the same penalised mass
};

struct OptimizeProblem {
  const Description* desc = &builtin_description();  // the vehicle and mission, shared read-only
  // A staged vehicle instead: no turn time or angle limit (its programme
  // and guidance are in its description), free keys of any stage, and the
  // mass to maximise is the final mass on the target orbit (both apsides of
  // its target within the tolerance). The start grid then runs over the
  // first two free keys.
  const study::StagedDescription* staged = nullptr;
  const BoosterProfile* profile = nullptr;           // parsed once, shared read-only
  Bounds tt{1, 90};       // s, turn time
  Bounds alpha{0, 30};    // degrees, maximum angle of attack
  std::vector<FreeKey> free;
  double tolerance = 10000;      // m, allowed miss of the target altitude by perigee and apogee
  std::size_t max_flights = 300; // flights flown at most, starts and local searches together
  Method method = Method::cobyla;
  // How the search spends its flights (chosen by measurement, see the
  // README): the start grid's points per axis over tt and alpha (the free
  // keys start at the description's values, brought into their bounds);
  // local searches from that many of the best starts, each flying at most
  // search_flights; then rounds of polish_searches searches, each round's
  // first step polish_shrink times the one before, until max_flights.
  unsigned grid_tt = 7;
  unsigned grid_alpha = 6;
  unsigned local_searches = 4;
  std::size_t search_flights = 30;
  unsigned polish_searches = 2;
  double polish_shrink = 0.5;
  double start_penalty = 0.1;  // t per km of miss, in the order of the starts
};

// One flight flown, as asked.
struct Evaluation {
  std::vector<double> free_values;  // the free keys' values flown, in the order given
  // tt and alpha are in here. A staged flight's is read as a classic one's
  // record: Msc its final mass, hp_final and ha_final its apsides, m0_core
  // its last stage's propellant left; ok: the reader took the vehicle.
  sweep::FlightResult flight;
  StagedResult staged;              // a staged vehicle's flight
  bool feasible = false;            // reached the target within the tolerance, no core propellant borrowed
};

struct OptimizeResult {
  std::vector<Evaluation> evaluations;  // every flight, in the order fixed by the method (not by timing)
  long best = -1;                       // index of the best feasible flight; -1: none reached the target
  bool interrupted = false;             // a signal (io/interrupt.hpp) stopped the search early
  // The search ended by itself (the polishing found no new point, or its
  // steps grew too small) with flights of the budget left; false: the budget
  // ran out, or a signal stopped it.
  bool converged = false;
  std::size_t flights() const { return evaluations.size(); }
};

// A free key's name, as the options and the outputs write it.
std::string free_name(const FreeKey& f);

// What a problem's bounds, keys and tolerance get wrong, or empty.
std::string check_problem(const OptimizeProblem& p);

// Called from the calling thread about ten times a second: flights flown so
// far, the flights planned at most, and the best SC_M so far (0: none).
using Progress = std::function<void(std::size_t done, std::size_t planned, double best_sc_m)>;

// Runs the search on `jobs` threads. The result, evaluation order included,
// is the same whatever `jobs` is. The problem must pass check_problem. A
// SIGINT, SIGTERM or SIGHUP (with the handlers installed) ends it early
// with the flights completed.
OptimizeResult optimize(const OptimizeProblem& p, unsigned jobs, const Progress& progress = {});

// The description flown at free values `v` (counts rounded to whole values),
// or an error message naming the key at fault when the combination is not a
// valid description.
std::string description_at(const OptimizeProblem& p, const std::vector<double>& v, Description& out);

// The flight met the problem's conditions: final perigee and apogee within
// the tolerance of the target apogee altitude, core propellant left >= 0, a
// spacecraft to carry.
bool feasible(const OptimizeProblem& p, const sweep::FlightResult& f);

// The CSV of the evaluations: ascent-sweep's columns, then one per free key
// named by the key; `reached` follows the problem's tolerance.
std::string csv_header(const OptimizeProblem& p);
std::string csv_row(const OptimizeProblem& p, const Evaluation& e);

}  // namespace ascent::optimize
