#pragma once
// Shared set-up of the fuzz targets: a session that lives entirely in memory
// and cannot run for ever.
#include <cstdint>
#include <string>

#include "io/fatal_error.hpp"
#include "session/session.hpp"

namespace ascent::fuzz {

// Steps one fuzzed run may take: a few full flights' worth.
constexpr long long step_budget = 60000;

inline void prepare(Session& S, std::string answers, const std::string* profile) {
  S.input.open_memory(std::move(answers), "answers");
  S.report.stdout_ch.open_memory();
  S.report.file_sink = FileSink::memory;
  S.flight.profile_text = profile;
  S.guard.budget = step_budget;
}

// A fatal error must carry one of the documented exit codes.
inline void check_code(const FatalError& e) {
  switch (e.code) {
    case err_file_not_found:
    case err_path_not_found:
    case err_access_denied:
    case err_read:
    case err_write:
    case err_number:
    case err_description:  // a profile too weak to lift the vehicle off
      return;
    default:
      __builtin_trap();
  }
}

// Runs the session; a fault must stop it with a documented code, and the
// step budget may cut it short.
inline void run(Session& S) {
  try {
    run_session(S);
  } catch (const FatalError& e) {
    check_code(e);
  } catch (const StepBudgetExhausted&) {
  }
}

}  // namespace ascent::fuzz
