#include "study_front.hpp"

#include <algorithm>
#include <filesystem>
#include <system_error>
#include <thread>

#include "io/fatal_error.hpp"
#include "io/number_format.hpp"
#include "io/paths.hpp"
#include "io/turn_time.hpp"

namespace ascent::study {

namespace fs = std::filesystem;

std::vector<cli::Option> option_table(std::vector<cli::Option> own) {
  std::vector<cli::Option> t = {
      {"--tt"},
      {"--alpha"},
      {"--vehicle"},
      {"--profile"},
      {"-o", "--output"},
      {"--jobs", "-j"},
      {"--help", "-h", cli::Option::flag},
      {"--version", nullptr, cli::Option::flag},
  };
  t.insert(t.end(), own.begin(), own.end());
  return t;
}

bool take_shared(cli::Args& a, SharedOptions& o) {
  const std::string& name = a.name();
  if (name == "--tt") {
    o.tt = a.value();
    o.tt_given = true;
  } else if (name == "--alpha") {
    o.alpha = a.value();
    o.alpha_given = true;
  } else if (name == "--vehicle") {
    o.vehicle = a.value();
  } else if (name == "--profile") {
    o.profile = a.value();
  } else if (name == "-o") {
    o.output = a.value();
  } else if (name == "--jobs") {
    o.jobs = static_cast<unsigned>(cli::whole_number(name, a.value(), 1, 1024));
  } else if (name == "--help") {
    o.help = true;
  } else if (name == "--version") {
    o.version = true;
  } else {
    return false;
  }
  return true;
}

unsigned jobs_or_cores(unsigned jobs) { return jobs != 0 ? jobs : std::max(1u, std::thread::hardware_concurrency()); }

bool answer_help_or_version(bool help, bool version, const char* tool, const char* usage) {
  if (help) {
    cli::print_text(usage);
  } else if (version) {
    cli::print_text(std::string(tool) + " " + cli::version() + "\n");
  }
  return help || version;
}

std::string turn_time_refusal(double tt) {
  if (tt >= min_turn_time) return {};
  return "--tt: ascent refuses turn times below " + shortest_text(min_turn_time) + " s, got " + shortest_text(tt);
}

namespace {

bool one_place(const std::string& a, const std::string& b) {
  std::error_code ea, eb;
  return fs::absolute(a, ea).lexically_normal() == fs::absolute(b, eb).lexically_normal() && !ea && !eb;
}

}  // namespace

void check_files(const std::vector<std::string>& outputs, const std::vector<std::string>& inputs) {
  for (std::size_t i = 0; i < outputs.size(); ++i) {
    const std::string& out = outputs[i];
    if (out.empty()) continue;
    for (const std::string& in : inputs) {
      if (in.empty()) continue;
      // same_file follows links, a dangling one to the file it would create.
      if (out == in || same_file(out, in)) {
        throw FatalError{err_access_denied, out + ": refused: it would overwrite the input " + in};
      }
    }
    for (std::size_t j = i + 1; j < outputs.size(); ++j) {
      const std::string& other = outputs[j];
      if (other.empty()) continue;
      if (out == other || one_place(out, other)) throw FatalError{exit_usage, out + ": named for two outputs"};
      if (same_file(out, other)) {
        throw FatalError{err_access_denied, out + " and " + other +
                                                ": refused: one file through a link, one output would be lost"};
      }
    }
  }
}

void remove_stale_partial(const char* tool, const std::string& output, const std::string& what) {
  if (output.empty()) return;
  const std::string partial = output + ".partial";
  std::error_code ec;
  if (fs::is_regular_file(fs::symlink_status(partial, ec)) && fs::remove(partial, ec)) {
    cli::report(tool, "removed " + partial + ", the rows of an earlier " + what + " that was stopped");
  }
}

}  // namespace ascent::study
