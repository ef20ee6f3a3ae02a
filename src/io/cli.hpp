#pragma once
#include <string>

namespace ascent::cli {

// The one exit code of every tool for a command line it cannot use (an
// unknown option, a missing or bad value): the conventional EX_USAGE.
constexpr int exit_usage = 64;

// The program's version, as the build system numbers it.
const char* version();

// If fd 0, 1 or 2 is closed, opens /dev/null on it, so that a file opened
// later can never receive the descriptor of a standard stream (an output file
// would then get the error messages meant for standard error).
void ensure_standard_streams();

// Writes `text` to standard output with each LF as CR LF, like every other
// line the tools write; a failed write is exit 101.
void print_text(const std::string& text);

// The answer to --help or --version when it is the only argument: prints
// `usage` or "TOOL VERSION" and returns true. Anything else: false.
bool answer_help_or_version(int argc, char** argv, const char* tool, const char* usage);

// Reports a fault on standard error in the one style of every tool:
// "TOOL: message", a line ended by CR LF.
void report(const char* tool, const std::string& message);

}  // namespace ascent::cli
