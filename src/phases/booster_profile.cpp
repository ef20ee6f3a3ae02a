#include "phases/booster_profile.hpp"

#include <cerrno>
#include <cstdio>

#include "io/line_reader.hpp"
#include "io/number_format.hpp"

namespace ascent {

BoosterProfile parse_profile(std::string text, const std::string& name) {
  BoosterProfile P;
  P.name = name;
  LineReader lines;
  lines.open_memory(std::move(text), name);
  NumberReader numbers{lines};
  try {
    for (;;) {
      double t, F;
      if (!numbers.next(t) || !numbers.next(F)) break;
      numbers.skip_rest_of_line();
      P.t.push_back(t);
      P.F.push_back(F);
    }
  } catch (const FatalError& e) {
    P.end = e;  // a value that is not a number
    return P;
  }
  if (lines.line_number() == 0) {
    P.end = FatalError{err_read, name + ": unexpected end of file: the booster profile is empty"};
  } else {
    double t_last = P.t.empty() ? 0.0 : P.t.back();
    P.end = FatalError{err_read, name + ": line " + std::to_string(lines.line_number()) +
                                     ": unexpected end of file: the booster profile ends at t = " +
                                     real_text(t_last, 1, 3) + " s, before the flight needs its next point"};
  }
  return P;
}

BoosterProfile read_profile(const std::string& path) {
  errno = 0;
  std::FILE* f = std::fopen(path.c_str(), "rb");
  if (f == nullptr) throw_open_error(errno, path, false);
  std::string text;
  char buf[8192];
  std::size_t n;
  while ((n = std::fread(buf, 1, sizeof buf, f)) > 0) text.append(buf, n);
  bool failed = std::ferror(f) != 0;
  if (std::fclose(f) != 0 || failed) throw FatalError{err_read, path + ": read error"};
  return parse_profile(std::move(text), path);
}

}  // namespace ascent
