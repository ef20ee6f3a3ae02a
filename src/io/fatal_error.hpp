#pragma once
#include <string>
#include <utility>

#include "io/exit_codes.hpp"

namespace ascent {

// The one failure that stops a run. Thrown where the fault is found and caught
// only at the top, which flushes what was written, reports `message` on
// standard error and exits with `code`.
struct FatalError {
  int code;
  std::string message;
};

// Standard input ran out at a question: the session ends as after a negative
// turn time, with its outputs closed and exit code 0.
struct EndOfInput {};

// Turns the errno of a failed open into the exit code, naming `what`.
[[noreturn]] void throw_open_error(int errnum, const std::string& what, bool for_writing);

}  // namespace ascent
