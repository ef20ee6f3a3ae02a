#pragma once
#include <string>
#include <vector>
#include <utility>

#include "io/exit_codes.hpp"

namespace ascent::cli {

// The program's version, as the build system numbers it.
const char* version();

// If fd 0, 1 or 2 is closed, opens /dev/null on it, so that a file opened
// later can never receive the descriptor of a standard stream (an output file
// would then get the error messages meant for standard error).
void ensure_standard_streams();

// The one front of the study tools: standard streams ensured, a closed
// output pipe and a file-size limit made write errors (101) instead of
// deaths by SIGPIPE and SIGXFSZ, SIGINT, SIGTERM and SIGHUP stopping the
// run at the next flight; then `run`, with every fault reported in one line
// "TOOL: message" and its exit code (a signal noticed outside a flight:
// 128 + N; any other exception, an allocation failure included: 1).
int run_tool(const char* tool, int argc, char** argv, int (*run)(int, char**));

// Writes `text` to standard output with each LF as CR LF, like every other
// line the tools write; a failed write is exit 101.
void print_text(const std::string& text);

// The answer to --help or --version when it is the only argument: prints
// `usage` or "TOOL VERSION" and returns true. Anything else: false.
bool answer_help_or_version(int argc, char** argv, const char* tool, const char* usage);

// One option in a program's table of options.
struct Option {
  enum Takes { flag, value, list };
  const char* name;             // "--jobs"
  const char* alias = nullptr;  // "-j": the same option under another spelling
  Takes takes = value;
  bool repeatable = false;      // each one adds (--free); any other option is given once
  const char* value_name = nullptr;  // for "--vehicle needs a file name"; nullptr: "--tt: a value is missing"
};

// Walks a command line the one way every tool reads it: options as
// "--name value" or "--name=value", flags without a value, "-o FILE", each
// one of the program's table. An option not in the table, one given twice
// (under either spelling), a missing value or a value given to a flag is a
// usage error (exit_usage), so that a script's second --json never silently
// wins over its first.
class Args {
 public:
  Args(int argc, char** argv, std::vector<Option> table) : argc_(argc), argv_(argv), table_(std::move(table)) {}
  // Moves to the next option; false at the end.
  bool next();
  // The option's name as the table spells it (an alias is read as its name).
  const std::string& name() const { return name_; }
  // The option's value: after '=' or the next word.
  std::string value();
  // For a flag: refuses a value given after '='.
  void no_value() const;
  // The words after the option up to the next one (a list of files).
  std::vector<std::string> values();

 private:
  int argc_;
  char** argv_;
  std::vector<Option> table_;
  std::vector<const Option*> seen_;
  const Option* option_ = nullptr;
  int i_ = 0;
  std::string name_, typed_, inline_value_;
  bool has_inline_ = false;
};

// A whole number from min to max, written in digits only.
unsigned long long whole_number(const std::string& option, const std::string& text, unsigned long long min,
                                unsigned long long max);

// Reports a fault on standard error in the one style of every tool:
// "TOOL: message", a line ended by CR LF.
void report(const char* tool, const std::string& message);

}  // namespace ascent::cli
