#include "io/cli.hpp"

#include <csignal>

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "io/exit_codes.hpp"
#include "io/fatal_error.hpp"
#include "io/interrupt.hpp"

#ifndef ASCENT_VERSION
#error "ASCENT_VERSION is set by the build from the project's version"
#endif

namespace ascent::cli {

const char* version() { return ASCENT_VERSION; }

bool Args::next() {
  if (++i_ >= argc_) return false;
  typed_ = argv_[i_];
  inline_value_.clear();
  has_inline_ = false;
  std::size_t eq = typed_.find('=');
  if (typed_.rfind("--", 0) == 0 && eq != std::string::npos) {
    inline_value_ = typed_.substr(eq + 1);
    typed_.resize(eq);
    has_inline_ = true;
  }
  option_ = nullptr;
  for (const Option& o : table_) {
    if (typed_ == o.name || (o.alias != nullptr && typed_ == o.alias)) option_ = &o;
  }
  if (option_ == nullptr) throw FatalError{exit_usage, "unknown option '" + typed_ + "' (try --help)"};
  for (const Option* o : seen_) {
    if (o == option_ && !o->repeatable) {
      throw FatalError{exit_usage, typed_ + ": given twice: an option is given once"};
    }
  }
  seen_.push_back(option_);
  name_ = option_->name;
  if (option_->takes == Option::flag) no_value();
  return true;
}

std::string Args::value() {
  if (has_inline_) return inline_value_;
  if (i_ + 1 >= argc_) {
    if (option_ != nullptr && option_->value_name != nullptr) {
      throw FatalError{exit_usage, typed_ + " needs " + option_->value_name};
    }
    throw FatalError{exit_usage, typed_ + ": a value is missing"};
  }
  return argv_[++i_];
}

std::vector<std::string> Args::values() {
  std::vector<std::string> v;
  if (has_inline_) v.push_back(inline_value_);
  while (i_ + 1 < argc_ && argv_[i_ + 1][0] != '-') v.push_back(argv_[++i_]);
  return v;
}

void Args::no_value() const {
  if (has_inline_) throw FatalError{exit_usage, typed_ + " takes no value"};
}

unsigned long long whole_number(const std::string& option, const std::string& text, unsigned long long min,
                                unsigned long long max) {
  bool digits = !text.empty() && text.size() <= 20;
  for (char c : text) digits = digits && c >= '0' && c <= '9';
  errno = 0;
  unsigned long long n = digits ? std::strtoull(text.c_str(), nullptr, 10) : 0;
  if (!digits || errno != 0 || n < min || n > max) {
    throw FatalError{exit_usage, option + ": '" + text + "' is not a whole number from " + std::to_string(min) +
                                     " to " + std::to_string(max)};
  }
  return n;
}

void ensure_standard_streams() {
  for (int fd = 0; fd <= 2; ++fd) {
    if (fcntl(fd, F_GETFD) != -1 || errno != EBADF) continue;
    // open() takes the lowest free descriptor: this one.
    int got = open("/dev/null", fd == 0 ? O_RDONLY : O_WRONLY);
    if (got != fd) {
      if (got >= 0) close(got);
      _exit(err_access_denied);  // nowhere to report it
    }
  }
}

void print_text(const std::string& text) {
  std::string crlf;
  crlf.reserve(text.size() + text.size() / 40);
  for (char c : text) {
    if (c == '\n') crlf += '\r';
    crlf += c;
  }
  if (std::fwrite(crlf.data(), 1, crlf.size(), stdout) != crlf.size() || std::fflush(stdout) != 0) {
    throw FatalError{err_write, "standard output: write error"};
  }
}

bool answer_help_or_version(int argc, char** argv, const char* tool, const char* usage) {
  if (argc != 2) return false;
  if (std::strcmp(argv[1], "--help") == 0 || std::strcmp(argv[1], "-h") == 0) {
    print_text(usage);
    return true;
  }
  if (std::strcmp(argv[1], "--version") == 0) {
    print_text(std::string(tool) + " " + version() + "\n");
    return true;
  }
  return false;
}

void report(const char* tool, const std::string& message) {
  std::fprintf(stderr, "%s: %s\r\n", tool, message.c_str());
}

int run_tool(const char* tool, int argc, char** argv, int (*run)(int, char**)) {
  ensure_standard_streams();
  std::signal(SIGPIPE, SIG_IGN);
  std::signal(SIGXFSZ, SIG_IGN);
  install_interrupt_handlers();
  try {
    return run(argc, argv);
  } catch (const Interrupted& e) {
    report(tool, std::string("stopped by ") + signal_name(e.signal) + " before the first flight");
    return exit_signal(e.signal);
  } catch (const FatalError& e) {
    report(tool, e.message);
    return e.code;
  } catch (const std::exception& e) {
    report(tool, std::string("internal error: ") + e.what());
    return exit_internal;
  }
}

}  // namespace ascent::cli
