#include "session/flight.hpp"

#include "io/interrupt.hpp"

#include <exception>

namespace ascent {

Flight fly(const Description& d, const BoosterProfile& profile, const FlightAnswers& answers,
           const FlightOptions& options) {
  Flight f;
  Session S;
  S.flight.desc = &d;
  S.flight.profile = &profile;
  S.flight.profile_path = profile.name;
  S.flight.fs.rho_scale = options.air_density_scale;
  FlightAnswers given = answers;
  S.given = &given;
  PassExtremes extremes;
  // The guard first: a step it stops reaches no one else.
  S.flight.step_observers = {&S.guard};
  S.flight.event_observers.clear();
  switch (options.outputs) {
    case FlightOutputs::none:
      // No report: nothing is formatted. Standard output (the prompts) is
      // discarded.
      given.output.clear();
      S.report.stdout_ch.open_discard();
      S.report.file_sink = FileSink::discard;
      break;
    case FlightOutputs::memory:
      given.output = options.output_name;
      S.report.stdout_ch.open_memory();
      S.report.file_sink = FileSink::memory;
      break;
    case FlightOutputs::files:
      given.output = options.output_name;
      S.report.stdout_ch.open_discard();
      S.report.file_sink = FileSink::disk;
      break;
  }
  if (options.outputs != FlightOutputs::none) {
    S.flight.step_observers.push_back(&S.report);
    S.flight.event_observers.push_back(&S.report);
  }
  S.flight.step_observers.push_back(&extremes);
  S.flight.event_observers.push_back(&extremes);
  for (StepObserver* o : options.step_observers) S.flight.step_observers.push_back(o);
  for (EventObserver* o : options.event_observers) S.flight.event_observers.push_back(o);
  try {
    run_session(S);
    f.ok = true;
  } catch (const Interrupted&) {
    f.interrupted = true;
    salvage_outputs(S);
  } catch (const FatalError& e) {
    f.exit_code = e.code;
    f.error = e.message;
    salvage_outputs(S);
  } catch (const std::exception& e) {
    f.exit_code = exit_internal;
    f.error = std::string("internal error: ") + e.what();
    salvage_outputs(S);
  }
  f.record = S.flight.record;
  f.Pqmax = extremes.x.Pqmax;
  f.t_Pqmax = extremes.x.t_Pqmax;
  f.amax = extremes.x.amax;
  f.t_amax = extremes.x.t_amax;
  f.steps = S.guard.steps;
  if (options.outputs == FlightOutputs::memory) {
    TextReport& R = S.report;
    f.main_text = answers.iterate ? R.stdout_ch.contents() : R.file_ch.contents();
    f.speed = R.speedfile.contents();
    f.height = R.heightfile.contents();
    f.accel = R.accelfile.contents();
    f.dynpres = R.dynpresfile.contents();
    f.constants = R.const_text;
  }
  return f;
}

}  // namespace ascent
