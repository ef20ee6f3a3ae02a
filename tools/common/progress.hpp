// The progress line of the tools on standard error, for long work on a
// terminal: a bar, the count, the rate and the time left.
#pragma once
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <string>

namespace ascent {

// Shown once the work has run a second, and only to a terminal; `note` adds
// a word of the tool's own (the best flight so far, say).
class ProgressBar {
 public:
  explicit ProgressBar(std::size_t total)
      : total_(total), enabled_(isatty(fileno(stderr)) != 0), start_(clock::now()) {}

  void update(std::size_t done, const std::string& note = {}) {
    if (!enabled_) return;
    double elapsed = std::chrono::duration<double>(clock::now() - start_).count();
    if (!shown_ && (elapsed < 1.0 || done >= total_)) return;
    shown_ = true;
    double rate = elapsed > 0 ? static_cast<double>(done) / elapsed : 0;
    constexpr int width = 30;
    int filled = total_ > 0 ? static_cast<int>(width * done / total_) : width;
    std::string bar(static_cast<std::size_t>(filled), '#');
    bar.append(static_cast<std::size_t>(width - filled), '.');
    char left[32] = "--:--";
    if (rate > 0) {
      long s = static_cast<long>(static_cast<double>(total_ - done) / rate + 0.5);
      std::snprintf(left, sizeof left, "%ld:%02ld", s / 60, s % 60);
    }
    std::fprintf(stderr, "\r[%s] %zu/%zu flights  %.0f flights/s  %s left %s", bar.c_str(), done,
                 total_, rate, left, note.c_str());
    std::fflush(stderr);
  }

  void finish() {
    // The tool has drawn the bar for the last flight already.
    if (shown_) std::fputs("\r\n", stderr);
  }

 private:
  using clock = std::chrono::steady_clock;
  std::size_t total_;
  bool enabled_;
  bool shown_ = false;
  clock::time_point start_;
};

}  // namespace ascent
