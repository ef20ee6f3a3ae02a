#include "vehicle/booster_profile.hpp"

#include <filesystem>

#include "io/line_reader.hpp"
#include "io/number_format.hpp"

namespace ascent {

namespace {

// More points than any flight reads: the profile's memory stays bounded
// whatever the file holds.
constexpr std::size_t max_points = 1000000;

// Parses the points of an opened profile, a line at a time.
BoosterProfile parse_profile_lines(LineReader& lines, const std::string& name) {
  BoosterProfile P;
  P.name = name;
  NumberReader numbers{lines};
  try {
    for (;;) {
      if (P.t.size() == max_points) {
        P.end = FatalError{err_read, name + ": line " + std::to_string(lines.line_number() + 1) +
                                         ": the booster profile has more than " + std::to_string(max_points) +
                                         " points"};
        return P;
      }
      double t, F;
      if (!numbers.next(t) || !numbers.next(F)) break;
      numbers.skip_rest_of_line();
      P.t.push_back(t);
      P.F.push_back(F);
    }
  } catch (const FatalError& e) {
    P.end = e;  // a value that is not a number, a line too long, a read error
    return P;
  }
  P.whole = true;
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

}  // namespace

BoosterProfile parse_profile(std::string text, const std::string& name) {
  LineReader lines;
  lines.open_memory(std::move(text), name);
  return parse_profile_lines(lines, name);
}

BoosterProfile read_profile(const std::string& path) {
  LineReader lines;
  try {
    lines.open_file(path);
  } catch (const FatalError& e) {
    if (e.code != err_file_not_found) throw;
    // Say where it was looked for, and where the one that comes with the
    // program is.
    std::error_code ec;
    std::filesystem::path folder = std::filesystem::absolute(path, ec).parent_path().lexically_normal();
    throw FatalError{e.code, path + ": file not found in " + folder.string() + "; the bundled profile is " +
                                 bundled_profile_path() + " (data/s1.dat in the source tree)"};
  }
  return parse_profile_lines(lines, path);
}

std::string bundled_profile_path() {
  // Beside the running program's install tree (PREFIX/bin/tool and
  // PREFIX/share/ascent/s1.dat), wherever that tree was installed; else
  // where the build's install prefix puts it.
  std::error_code ec;
  std::filesystem::path exe = std::filesystem::read_symlink("/proc/self/exe", ec);
  if (!ec) {
    std::filesystem::path beside = exe.parent_path().parent_path() / "share" / "ascent" / "s1.dat";
    if (std::filesystem::is_regular_file(beside, ec)) return beside.string();
  }
  return ASCENT_BUNDLED_PROFILE;
}

}  // namespace ascent
