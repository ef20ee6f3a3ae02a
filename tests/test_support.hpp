// What the tests share: files read and written whole, the bundled profile,
// counting and splitting what a program wrote, memory channels.
#pragma once
#include <cmath>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <numbers>
#include <stdexcept>
#include <string>
#include <vector>

#include "atmosphere/earth.hpp"
#include "io/channel.hpp"
#include "report/text_report.hpp"

namespace ascent::test {

// Every byte of a file; empty when there is none (a comparison with what
// was expected then shows it).
// Radius at time t after perigee on the ellipse (a, e), from Kepler's
// equation M = E - e sin E solved by bisection (the left side grows with E).
inline double radius_by_bisection(double a, double e, double t, double gm = mu) {
  const double M = std::sqrt(gm / (a * a * a)) * t;
  double lo = 0, hi = 2 * std::numbers::pi + 1;
  for (int i = 0; i < 200; ++i) {
    const double mid = (lo + hi) / 2;
    (mid - e * std::sin(mid) < M ? lo : hi) = mid;
  }
  return a * (1 - e * std::cos(lo));
}

inline std::string read_file(const std::filesystem::path& p) {
  std::ifstream f(p, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(f), std::istreambuf_iterator<char>());
}

inline void write_file(const std::filesystem::path& p, const std::string& bytes) {
  std::ofstream f(p, std::ios::binary | std::ios::trunc);
  f << bytes;
  if (!f) throw std::runtime_error("cannot write " + p.string());
}

// The bundled booster profile, data/s1.dat of the source tree.
inline std::string bundled_profile() {
  return read_file(std::filesystem::path(ASCENT_SOURCE_DIR) / "data" / "s1.dat");
}

// A flight of a bundled vehicle: its description and booster profile in the
// source tree, and the answers.
struct BundledFlight {
  const char* description;
  const char* profile;
  double tt, alpha;
};

// The README's session of each bundled vehicle.
inline constexpr BundledFlight readme_flights[] = {{"/vehicles/orvalon5.toml", "/data/s1.dat", 36, 18},
                                                   {"/vehicles/tarvos3.toml", "/vehicles/tarvos3_boosters.dat", 40, 18}};

// The fields of one CSV record as a reader of the tools' files takes them:
// commas outside double quotes separate, a doubled quote inside is one.
inline std::vector<std::string> csv_fields(const std::string& line) {
  std::vector<std::string> f(1);
  bool quoted = false;
  for (std::size_t i = 0; i < line.size(); ++i) {
    char c = line[i];
    if (quoted && c == '"' && i + 1 < line.size() && line[i + 1] == '"') {
      f.back() += '"';
      ++i;
    } else if (c == '"') {
      quoted = !quoted;
    } else if (c == ',' && !quoted) {
      f.emplace_back();
    } else {
      f.back() += c;
    }
  }
  return f;
}

// How often `what` occurs in `text`.
inline std::size_t count(const std::string& text, const std::string& what) {
  std::size_t n = 0;
  for (std::size_t p = text.find(what); p != std::string::npos; p = text.find(what, p + 1)) ++n;
  return n;
}

// Flushes a memory channel and returns every byte written to it.
inline std::string bytes(Channel& c) {
  c.flush();
  return c.contents();
}

// The lines of `text`, each of which must end with CR LF (a missing or bare
// line end leaves a piece with a stray byte or an unfinished tail, which the
// caller's comparison then shows).
inline std::vector<std::string> lines(const std::string& text) {
  std::vector<std::string> out;
  std::size_t pos = 0;
  while (pos < text.size()) {
    std::size_t end = text.find("\r\n", pos);
    if (end == std::string::npos) {
      out.push_back(text.substr(pos) + "<no CR LF>");
      break;
    }
    out.push_back(text.substr(pos, end - pos));
    pos = end + 2;
  }
  return out;
}

// The text report of a step, its main output and four data files in memory;
// `out` hands the steps to it. Not a file's report unless set so.
struct MemoryOutputs {
  TextReport report;
  Channel& main = report.file_ch;
  Channel& speed = report.speedfile;
  Channel& height = report.heightfile;
  Channel& accel = report.accelfile;
  Channel& dynpres = report.dynpresfile;
  StepObservers out{&report};
  MemoryOutputs() {
    for (Channel* c : {&main, &speed, &height, &accel, &dynpres}) c->open_memory();
    report.main = &main;
    report.style.tofile = false;
  }
};

}  // namespace ascent::test
