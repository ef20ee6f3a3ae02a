// Fuzzes the dispersions reader of ascent-mc: any text is either refused
// with a "FILE:LINE:COLUMN: key: what" message at a real line, or read; what
// is read keeps both ends of every spread inside the key's range, and a few
// runs drawn from it make vehicles without a crash.
#include <cstdint>
#include <cstdlib>
#include <string>

#include "mc_lib.hpp"

namespace {

using namespace ascent;
using namespace ascent::mc;

[[noreturn]] void fail() { std::abort(); }

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string text(reinterpret_cast<const char*>(data), size);
  std::vector<Dispersion> v;
  try {
    v = parse_dispersions(text, "d.toml", builtin_description());
  } catch (const DispersionError& e) {
    if (e.line < 1 || e.column < 1 || e.key.empty() || e.what.empty()) fail();
    if (e.message().rfind("d.toml:", 0) != 0) fail();
    return 0;
  }
  for (const Dispersion& d : v) {
    if (d.target != DispersedKind::key) continue;
    for (double x : {-1.0, 1.0}) {
      double end = dispersed_value(d, d.distribution == Distribution::normal ? 3 * x : x);
      if (!check_range(*d.key, end).empty()) fail();
    }
  }
  BoosterProfile profile;
  profile.t = {1, 2};
  profile.F = {1, 1};
  McProblem p;
  p.profile = &profile;
  p.dispersions = v;
  for (std::uint64_t run = 1; run <= 3; ++run) {
    std::vector<double> values = draw_values(p, run);
    if (values.size() != v.size()) fail();
    (void)apply_values(p, values);
  }
  return 0;
}
