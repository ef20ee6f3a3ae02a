#include "session/flight.hpp"

#include "io/interrupt.hpp"

#include <exception>
#include <limits>

namespace ascent {

Flight fly(const Description& d, const BoosterProfile& profile, const FlightAnswers& answers,
           const FlightOptions& options) {
  constexpr long long no_limit = std::numeric_limits<long long>::max();
  Flight f;
  Session S;
  S.desc = &d;
  S.profile = &profile;
  S.profile_path = profile.name;
  S.fs.rho_scale = options.air_density_scale;
  FlightAnswers given = answers;
  S.given = &given;
  switch (options.outputs) {
    case FlightOutputs::none:
      // Standard output (discarded) for the reports; the step still tracks
      // the extremes that file mode reports.
      given.output.clear();
      S.stdout_ch.open_discard();
      S.file_sink = FileSink::discard;
      S.track_flight_extremes = true;
      break;
    case FlightOutputs::memory:
      given.output = options.output_name;
      S.stdout_ch.open_memory();
      S.file_sink = FileSink::memory;
      break;
    case FlightOutputs::files:
      given.output = options.output_name;
      S.stdout_ch.open_discard();
      S.file_sink = FileSink::disk;
      break;
  }
  // The budget counts the steps; it is never exhausted.
  S.out.step_budget = no_limit;
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
    f.exit_code = 1;
    f.error = std::string("internal error: ") + e.what();
    salvage_outputs(S);
  }
  f.record = S.record;
  f.Pqmax = S.fs.Pqmax;
  f.t_Pqmax = S.fs.t_Pqmax;
  f.amax = S.fs.amax;
  f.t_amax = S.fs.t_amax;
  f.steps = no_limit - S.out.step_budget;
  if (options.outputs == FlightOutputs::memory) {
    f.main_text = answers.iterate ? S.stdout_ch.contents() : S.file_ch.contents();
    f.speed = S.speedfile.contents();
    f.height = S.heightfile.contents();
    f.accel = S.accelfile.contents();
    f.dynpres = S.dynpresfile.contents();
    f.constants = S.const_text;
  }
  return f;
}

}  // namespace ascent
