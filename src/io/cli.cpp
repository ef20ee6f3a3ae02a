#include "io/cli.hpp"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "io/fatal_error.hpp"

#ifndef ASCENT_VERSION
#error "ASCENT_VERSION is set by the build from the project's version"
#endif

namespace ascent::cli {

const char* version() { return ASCENT_VERSION; }

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

}  // namespace ascent::cli
