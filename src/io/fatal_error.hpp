#pragma once
#include <string>
#include <utility>

namespace ascent {

// Exit codes of a run that had to stop: the input/output error numbers that
// users' scripts test for.
constexpr int err_file_not_found = 2;
constexpr int err_path_not_found = 3;
constexpr int err_access_denied = 5;
constexpr int err_read = 100;   // read error or unexpected end of a data file
constexpr int err_write = 101;
constexpr int err_number = 106; // a reply or a data value that is not a number
constexpr int err_description = 65;  // a vehicle description that cannot be flown (the data-format-error code)

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
