// Runs the built ascent binary in a fresh scratch directory with scripted
// answers and hands back what it wrote. POSIX only, like the tests that use it.
#pragma once
#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <regex>
#include <sstream>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "../test_support.hpp"

// The shared helpers, as every end-to-end test calls them.
using ascent::test::bundled_profile;
using ascent::test::count;
using ascent::test::csv_fields;
using ascent::test::read_file;
using ascent::test::write_file;

namespace e2e {

struct RunResult {
  std::string out;         // standard output, bytes
  std::string err;         // standard error, bytes
  int exit_code = -1;      // valid when the program exited by itself
  bool signaled = false;   // died by a signal (the timeout's kill included)
  bool timed_out = false;  // still running after the time limit: killed
};

// A program started by start_program and not yet waited for.
struct Child {
  pid_t pid = -1;
  int stdin_fd = -1;  // write end of its standard input, when kept open
  std::string in, out, err;
  bool stdout_full = false;
};

// A temporary directory holding the program's working directory ("work")
// and, beside it, the files that carry its standard streams. Removed with
// everything in it when the object goes.
class Scratch {
 public:
  Scratch() {
    std::string templ = (std::filesystem::temp_directory_path() / "ascent-e2e-XXXXXX").string();
    if (mkdtemp(templ.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
    root_ = templ;
    std::filesystem::create_directory(dir());
  }
  ~Scratch() {
    std::error_code ec;
    std::filesystem::remove_all(root_, ec);
  }
  Scratch(const Scratch&) = delete;
  Scratch& operator=(const Scratch&) = delete;

  // The program's working directory.
  std::filesystem::path dir() const { return root_ / "work"; }

  void write(const std::string& name, const std::string& bytes) const { write_file(dir() / name, bytes); }
  bool exists(const std::string& name) const { return std::filesystem::exists(dir() / name); }
  std::string read(const std::string& name) const { return ascent::test::read_file(dir() / name); }

  // Runs the program with `input` on standard input; standard output goes
  // to /dev/full when `stdout_full` is set. Killed after `timeout_s` seconds.
  RunResult run(const std::string& input, bool stdout_full = false, int timeout_s = 20) const;
  // The same with options and a set-up run in the child before the program.
  RunResult run_with(const std::vector<std::string>& args, const std::string& input,
                     const std::function<void()>& child_setup = {}, int timeout_s = 20) const;
  // Starts the program on a pipe that stays open for more answers.
  Child start(const std::string& input, const std::vector<std::string>& args = {}) const;
  // Where run() keeps the program's standard streams (.out, .err).
  std::filesystem::path io_base() const { return root_ / "std"; }

 private:
  std::filesystem::path root_;
};

inline void feed(Child& c, const std::string& text);

// Starts `program` with `args` in the directory `wd`, `input` on standard
// input, its standard streams kept in files named `io_base` plus .in, .out and
// .err (removed by wait_program). With `keep_stdin_open` standard input is a
// pipe holding `input`, which stays open for feed(). Standard output goes to
// /dev/full when `stdout_full` is set. `child_setup` runs in the child just
// before the program is started (limits, descriptors).
inline Child start_program(const std::string& program, const std::vector<std::string>& args,
                           const std::filesystem::path& wd, const std::filesystem::path& io_base,
                           const std::string& input, bool stdout_full = false,
                           bool keep_stdin_open = false,
                           const std::function<void()>& child_setup = {}) {
  Child c;
  c.in = io_base.string() + ".in";
  c.err = io_base.string() + ".err";
  c.out = stdout_full ? std::string("/dev/full") : io_base.string() + ".out";
  c.stdout_full = stdout_full;
  int pipe_fds[2] = {-1, -1};
  if (keep_stdin_open) {
    if (pipe(pipe_fds) != 0) throw std::runtime_error("pipe failed");
  } else {
    std::ofstream f(c.in, std::ios::binary | std::ios::trunc);
    f << input;
  }
  std::vector<char*> argv;
  argv.push_back(const_cast<char*>(program.c_str()));
  for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
  argv.push_back(nullptr);
  const std::string wd_s = wd.string();
  pid_t pid = fork();
  if (pid < 0) throw std::runtime_error("fork failed");
  if (pid == 0) {
    int fi = keep_stdin_open ? pipe_fds[0] : open(c.in.c_str(), O_RDONLY);
    if (keep_stdin_open) close(pipe_fds[1]);
    int fo = open(c.out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    int fe = open(c.err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (fi < 0 || fo < 0 || fe < 0 || chdir(wd_s.c_str()) != 0 || dup2(fi, 0) < 0 ||
        dup2(fo, 1) < 0 || dup2(fe, 2) < 0)
      _exit(127);
    if (child_setup) child_setup();
    execv(program.c_str(), argv.data());
    _exit(127);
  }
  c.pid = pid;
  if (keep_stdin_open) {
    close(pipe_fds[0]);
    c.stdin_fd = pipe_fds[1];
    feed(c, input);
  }
  return c;
}

// Writes more answers to a child started with keep_stdin_open.
inline void feed(Child& c, const std::string& text) {
  std::size_t done = 0;
  while (done < text.size()) {
    ssize_t n = write(c.stdin_fd, text.data() + done, text.size() - done);
    if (n <= 0) throw std::runtime_error("cannot feed the program");
    done += static_cast<std::size_t>(n);
  }
}

// Waits until the file at `path` holds `needle` at least `times` times;
// false after `timeout_s` seconds.
inline bool wait_for_text(const std::filesystem::path& path, const std::string& needle,
                          int times = 1, int timeout_s = 20) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(timeout_s);
  while (std::chrono::steady_clock::now() < deadline) {
    std::ifstream f(path, std::ios::binary);
    std::string text((std::istreambuf_iterator<char>(f)), std::istreambuf_iterator<char>());
    int n = 0;
    for (std::size_t p = text.find(needle); p != std::string::npos; p = text.find(needle, p + 1)) ++n;
    if (n >= times) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  return false;
}

// Waits until the process `pid` has installed its handler for `sig` (Linux:
// SigCgt of /proc/PID/status); false after `timeout_s` seconds. A signal sent
// at a moment the test cannot see in the program's output may otherwise come
// before the handler, on a loaded machine, and end the program by the
// default action.
inline bool wait_for_handler(pid_t pid, int sig, int timeout_s = 20) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(timeout_s);
  const std::string status = "/proc/" + std::to_string(pid) + "/status";
  while (std::chrono::steady_clock::now() < deadline) {
    std::ifstream f(status);
    for (std::string line; std::getline(f, line);) {
      if (line.rfind("SigCgt:", 0) == 0 && (std::stoull(line.substr(7), nullptr, 16) >> (sig - 1) & 1) != 0) {
        return true;
      }
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  return false;
}

// Waits for the child (killed after `timeout_s` seconds) and collects what
// it wrote.
inline RunResult wait_program(Child& c, int timeout_s = 20) {
  RunResult r;
  int status = 0;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(timeout_s);
  while (waitpid(c.pid, &status, WNOHANG) == 0) {
    if (std::chrono::steady_clock::now() > deadline) {
      kill(c.pid, SIGKILL);
      waitpid(c.pid, &status, 0);
      r.timed_out = true;
      break;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  if (c.stdin_fd >= 0) close(c.stdin_fd);
  c.stdin_fd = -1;
  if (WIFEXITED(status)) r.exit_code = WEXITSTATUS(status);
  r.signaled = WIFSIGNALED(status);
  auto take = [](const std::string& path) {
    std::ifstream f(path, std::ios::binary);
    std::string bytes((std::istreambuf_iterator<char>(f)), std::istreambuf_iterator<char>());
    std::remove(path.c_str());
    return bytes;
  };
  if (!c.stdout_full) r.out = take(c.out);
  r.err = take(c.err);
  std::remove(c.in.c_str());
  return r;
}

// Runs `program` with `args` in the directory `wd`, `input` on standard
// input, its standard streams kept in files named `io_base` plus .in, .out and
// .err (removed afterwards). Standard output goes to /dev/full when
// `stdout_full` is set. Killed after `timeout_s` seconds.
inline RunResult run_program(const std::string& program, const std::vector<std::string>& args,
                             const std::filesystem::path& wd, const std::filesystem::path& io_base,
                             const std::string& input, bool stdout_full = false, int timeout_s = 20,
                             const std::function<void()>& child_setup = {}) {
  Child c = start_program(program, args, wd, io_base, input, stdout_full, false, child_setup);
  return wait_program(c, timeout_s);
}

// Runs `program` in `wd` with its standard input on a terminal (a pseudo
// terminal that the test types `input` into) and its standard output and
// error in files as run_program keeps them.
inline RunResult run_on_terminal(const std::string& program, const std::vector<std::string>& args,
                                 const std::filesystem::path& wd,
                                 const std::filesystem::path& io_base, const std::string& input,
                                 int timeout_s = 20) {
  int master = posix_openpt(O_RDWR | O_NOCTTY);
  if (master < 0 || grantpt(master) != 0 || unlockpt(master) != 0)
    throw std::runtime_error("no pseudo terminal");
  const std::string slave = ptsname(master);
  auto setup = [&slave] {
    setsid();
    int fd = open(slave.c_str(), O_RDWR);
    if (fd < 0 || dup2(fd, 0) < 0) _exit(126);
  };
  Child c = start_program(program, args, wd, io_base, "", false, false, setup);
  // Typed a line at a time; what the terminal echoes is read and dropped.
  std::size_t pos = 0;
  while (pos < input.size()) {
    std::size_t end = input.find('\n', pos);
    end = end == std::string::npos ? input.size() : end + 1;
    if (write(master, input.data() + pos, end - pos) < 0) break;
    pos = end;
  }
  RunResult r;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(timeout_s);
  int status = 0;
  fcntl(master, F_SETFL, O_NONBLOCK);
  char buf[4096];
  while (waitpid(c.pid, &status, WNOHANG) == 0) {
    while (read(master, buf, sizeof buf) > 0) {
    }
    if (std::chrono::steady_clock::now() > deadline) {
      kill(c.pid, SIGKILL);
      waitpid(c.pid, &status, 0);
      r.timed_out = true;
      break;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  close(master);
  if (WIFEXITED(status)) r.exit_code = WEXITSTATUS(status);
  r.signaled = WIFSIGNALED(status);
  auto take = [](const std::string& path) {
    std::ifstream f(path, std::ios::binary);
    std::string bytes((std::istreambuf_iterator<char>(f)), std::istreambuf_iterator<char>());
    std::remove(path.c_str());
    return bytes;
  };
  r.out = take(c.out);
  r.err = take(c.err);
  std::remove(c.in.c_str());
  return r;
}

// With ASCENT_E2E_VEHICLE naming a description, every session run without
// options flies that description: the suite run so with the printed built-in
// vehicle shows that a vehicle read from a file flies exactly as built in.
inline std::vector<std::string> default_options() {
  const char* v = std::getenv("ASCENT_E2E_VEHICLE");
  if (v == nullptr || *v == '\0') return {};
  return {"--vehicle", v};
}

inline RunResult Scratch::run(const std::string& input, bool stdout_full, int timeout_s) const {
  return run_program(ASCENT_BINARY, default_options(), dir(), root_ / "std", input, stdout_full, timeout_s);
}

inline RunResult Scratch::run_with(const std::vector<std::string>& args, const std::string& input,
                                   const std::function<void()>& child_setup, int timeout_s) const {
  return run_program(ASCENT_BINARY, args.empty() ? default_options() : args, dir(), root_ / "std", input, false,
                     timeout_s, child_setup);
}

inline Child Scratch::start(const std::string& input, const std::vector<std::string>& args) const {
  return start_program(ASCENT_BINARY, args.empty() ? default_options() : args, dir(), root_ / "std", input, false,
                       true);
}

}  // namespace e2e

// ---------------------------------------------------------------------------
// Reading what it wrote.

namespace e2e {

// Splits text at LF; each line keeps whatever precedes the LF (its CR too).
inline std::vector<std::string> lines_of(const std::string& text) {
  std::vector<std::string> v;
  std::size_t pos = 0;
  while (pos < text.size()) {
    std::size_t end = text.find('\n', pos);
    if (end == std::string::npos) end = text.size();
    v.push_back(text.substr(pos, end - pos));
    pos = end + 1;
  }
  return v;
}

// The same, for text whose every line must end in CR LF: the CR is dropped.
inline std::vector<std::string> crlf_lines(const std::string& text) {
  std::vector<std::string> v = lines_of(text);
  for (std::string& l : v)
    if (!l.empty() && l.back() == '\r') l.pop_back();
  return v;
}

// True when every line ends in CR LF: no bare LF, no stray CR, nothing after
// the last line end.
inline bool all_crlf(const std::string& text) {
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '\n' && (i == 0 || text[i - 1] != '\r')) return false;
    if (text[i] == '\r' && (i + 1 == text.size() || text[i + 1] != '\n')) return false;
  }
  return text.empty() || text.back() == '\n';
}

// A line of the step table: ten fixed-width numeric fields.
inline bool is_table_line(const std::string& l) {
  static const std::regex re(
      R"( *-?\d+\.\d\d *-?\d+\.\d *-?\d+ *-?\d+ *-?\d+ *-?\d+\.\d\d *-?\d+\.\d\d *-?\d+\.\d\d *-?\d+\.\d *-?\d+\.\d)");
  return std::regex_match(l, re);
}

// Field i (0-based) of a table line, as a number.
inline double field(const std::string& l, int i) {
  std::istringstream s(l);
  double x = 0;
  for (int k = 0; k <= i; ++k) s >> x;
  return x;
}

constexpr double t_pitch = 0.986832971065;  // s, spacing of the profile points

// A booster profile with points k*t_pitch, k = 1..n, on the straight line
// F = F0 - slope*t of one booster's vacuum thrust.
inline std::string linear_profile(int n = 150, double F0 = 18e6, double slope = 6e4) {
  std::string text;
  char buf[80];
  for (int k = 1; k <= n; ++k) {
    double t = k * t_pitch;
    std::snprintf(buf, sizeof buf, "%.12f %.3f\n", t, F0 - slope * t);
    text += buf;
  }
  return text;
}

}  // namespace e2e
