#include "io/line_reader.hpp"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <filesystem>

#include "io/fatal_error.hpp"
#include "io/interrupt.hpp"

namespace ascent {

namespace {

[[noreturn]] void refuse_long_line(const std::string& name, long line_no) {
  throw FatalError{err_number, name + ": line " + std::to_string(line_no) + ": longer than " +
                                   std::to_string(LineReader::max_line) + " bytes"};
}

}  // namespace

void LineReader::open_file(const std::string& path) {
  std::FILE* f = nullptr;
  try {
    f = open_regular_file(path, max_profile_file);
  } catch (const FatalError& e) {
    // A folder given for a data file is a read error, as it always was.
    if (e.code != err_access_denied || !std::filesystem::is_directory(path)) throw;
    throw FatalError{err_read, path + ": read error"};
  }
  if (owned_ != nullptr) std::fclose(owned_);
  owned_ = f;
  file_ = f;
  name_ = path;
  line_no_ = 0;
}

// Waits for input with the stop signals blocked but for the wait itself:
// ppoll lets them in and returns at the one that came, so a signal that
// arrives after the last check and before the wait ends the wait instead of
// being noticed only at the next answer, which may never come. Then reads
// what is there, which does not block.
bool LineReader::fill() {
  if (fd_ended_) return false;
  if (pos_ > 0) {
    text_.erase(0, pos_);
    pos_ = 0;
  }
  sigset_t stop, before;
  sigemptyset(&stop);
  for (int sig : {SIGINT, SIGTERM, SIGHUP}) sigaddset(&stop, sig);
  for (;;) {
    pthread_sigmask(SIG_BLOCK, &stop, &before);
    if (interrupt_signal != 0) {
      pthread_sigmask(SIG_SETMASK, &before, nullptr);
      check_interrupt();
    }
    pollfd p{fd_, POLLIN, 0};
    const int ready = ppoll(&p, 1, nullptr, &before);
    const int poll_errno = errno;
    pthread_sigmask(SIG_SETMASK, &before, nullptr);
    check_interrupt();
    if (ready < 0) {
      if (poll_errno == EINTR) continue;  // another signal, handled elsewhere
      throw FatalError{err_read, name_ + ": read error"};
    }
    char buf[4096];
    const ssize_t n = read(fd_, buf, sizeof buf);
    if (n < 0) {
      if (errno == EINTR) continue;
      throw FatalError{err_read, name_ + ": read error"};
    }
    if (n == 0) {
      fd_ended_ = true;
      return false;
    }
    text_.append(buf, static_cast<std::size_t>(n));
    return true;
  }
}

bool LineReader::next_line(std::string& line) {
  line.clear();
  if (fd_ >= 0) {
    // A line at a time from what has arrived, reading more until its end.
    check_interrupt();
    std::size_t end;
    while ((end = text_.find('\n', pos_)) == std::string::npos) {
      // One byte more than the longest line: room for the CR of a CR LF.
      if (text_.size() - pos_ > max_line + 1) refuse_long_line(name_, line_no_ + 1);
      if (!fill()) break;
    }
    check_interrupt();
    if (pos_ >= text_.size()) return false;
    const std::size_t stop = end == std::string::npos ? text_.size() : end;
    if (stop - pos_ > max_line + 1) refuse_long_line(name_, line_no_ + 1);
    line.assign(text_, pos_, stop - pos_);
    pos_ = end == std::string::npos ? text_.size() : end + 1;
  } else if (file_ == nullptr) {
    if (pos_ >= text_.size()) return false;
    std::size_t end = text_.find('\n', pos_);
    if ((end == std::string::npos ? text_.size() : end) - pos_ > max_line + 1) {
      refuse_long_line(name_, line_no_ + 1);
    }
    if (end == std::string::npos) {
      line.assign(text_, pos_, std::string::npos);
      pos_ = text_.size();
    } else {
      line.assign(text_, pos_, end - pos_);
      pos_ = end + 1;
    }
  } else {
    int c;
    bool any = false;
    check_interrupt();
    while ((c = std::getc(file_)) != EOF) {
      any = true;
      if (c == '\n') break;
      // One byte more than the longest line: room for the CR of a CR LF.
      if (line.size() > max_line) refuse_long_line(name_, line_no_ + 1);
      line.push_back(static_cast<char>(c));
    }
    // A signal that asked the run to stop ends the read that waited for it.
    check_interrupt();
    if (std::ferror(file_)) throw FatalError{err_read, name_ + ": read error"};
    if (!any) return false;
  }
  if (!line.empty() && line.back() == '\r') line.pop_back();
  if (line.size() > max_line) refuse_long_line(name_, line_no_ + 1);
  ++line_no_;
  return true;
}

// The C white-space characters.
static bool is_blank(char c) {
  return c == ' ' || c == '\t' || c == '\r' || c == '\n' || c == '\v' || c == '\f';
}
static bool is_digit(char c) { return c >= '0' && c <= '9'; }

bool parse_real(const std::string& text, double& x) {
  std::size_t i = 0, n = text.size();
  if (i < n && (text[i] == '+' || text[i] == '-')) ++i;
  std::size_t int_digits = 0, frac_digits = 0;
  while (i < n && is_digit(text[i])) ++i, ++int_digits;
  if (i < n && text[i] == '.') {
    ++i;
    while (i < n && is_digit(text[i])) ++i, ++frac_digits;
  }
  if (int_digits + frac_digits == 0) return false;
  if (i < n && (text[i] == 'e' || text[i] == 'E')) {
    ++i;
    if (i < n && (text[i] == '+' || text[i] == '-')) ++i;
    std::size_t exp_digits = 0;
    while (i < n && is_digit(text[i])) ++i, ++exp_digits;
    if (exp_digits == 0) return false;
  }
  if (i != n) return false;
  // The text is now known to be a plain decimal number, which strtod reads
  // correctly rounded in the C locale the program runs in.
  errno = 0;
  double v = std::strtod(text.c_str(), nullptr);
  if (!std::isfinite(v)) return false;
  x = v;
  return true;
}

bool NumberReader::next(double& x) {
  typo_ = false;
  for (;;) {
    if (!have_line_) {
      if (!in_.next_line(line_)) return false;
      pos_ = 0;
      have_line_ = true;
    }
    while (pos_ < line_.size() && is_blank(line_[pos_])) ++pos_;
    if (pos_ < line_.size()) break;
    have_line_ = false;
  }
  std::size_t start = pos_;
  while (pos_ < line_.size() && !is_blank(line_[pos_])) ++pos_;
  std::string token = line_.substr(start, pos_ - start);
  if (!parse_real(token, x)) {
    if (token.size() > 40) token = token.substr(0, 40) + "...";
    // The report goes to a terminal: show no control bytes from the input.
    for (char& c : token)
      if (static_cast<unsigned char>(c) < 0x20 || c == 0x7f) c = '?';
    typo_ = true;
    throw FatalError{err_number, in_.name() + ": line " + std::to_string(in_.line_number()) +
                                     ": not a number: '" + token + "'"};
  }
  return true;
}

namespace {

[[noreturn]] void refuse_too_large(const std::string& path, std::uintmax_t max_bytes) {
  throw FatalError{err_read, path + ": larger than " + std::to_string(max_bytes >> 20) + " MiB, refused"};
}

}  // namespace

std::FILE* open_regular_file(const std::string& path, std::uintmax_t max_bytes) {
  // Opened without waiting: a FIFO with no writer must not block the open.
  errno = 0;
  int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) throw_open_error(errno, path, false);
  struct stat st;
  if (fstat(fd, &st) != 0) {
    ::close(fd);
    throw FatalError{err_read, path + ": read error"};
  }
  if (S_ISDIR(st.st_mode)) {
    ::close(fd);
    throw_open_error(EISDIR, path, false);
  }
  if (!S_ISREG(st.st_mode)) {
    ::close(fd);
    throw FatalError{err_read, path + ": not a regular file (a device, a pipe or a socket), refused"};
  }
  if (static_cast<std::uintmax_t>(st.st_size) > max_bytes) {
    ::close(fd);
    refuse_too_large(path, max_bytes);
  }
  int flags = fcntl(fd, F_GETFL);
  std::FILE* f = flags < 0 || fcntl(fd, F_SETFL, flags & ~O_NONBLOCK) != 0 ? nullptr : fdopen(fd, "rb");
  if (f == nullptr) {
    ::close(fd);
    throw FatalError{err_read, path + ": cannot open"};
  }
  return f;
}

std::string read_whole_file(const std::string& path) {
  std::FILE* f = open_regular_file(path, max_text_file);
  std::string text;
  char buf[8192];
  std::size_t n;
  errno = 0;
  while ((n = std::fread(buf, 1, sizeof buf, f)) > 0) {
    text.append(buf, n);
    if (text.size() > max_text_file) {  // grew while read
      std::fclose(f);
      refuse_too_large(path, max_text_file);
    }
  }
  int read_errno = std::ferror(f) != 0 ? (errno != 0 ? errno : EIO) : 0;
  bool close_failed = std::fclose(f) != 0;
  if (read_errno == EISDIR) throw_open_error(EISDIR, path, false);
  if (read_errno != 0 || close_failed) throw FatalError{err_read, path + ": read error"};
  return text;
}

}  // namespace ascent
