// Fuzzes a whole session: the bytes before the first NUL are the answers,
// the bytes after it the booster profile. Inputs of odd length fly under the
// adaptive integrator (its sub-steps, its long steps read off the continuous
// extension, its coast), the others on the fixed steps; those whose length
// leaves 2 or 3 divided by 4 locate their thresholds by root-finding.
#include <algorithm>

#include "fuzz/fuzz_support.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace ascent;
  const char* begin = reinterpret_cast<const char*>(data);
  const char* end = begin + size;
  const char* split = std::find(begin, end, '\0');
  std::string answers(begin, split);
  const std::string profile(split == end ? split : split + 1, end);
  static const Description variants[4] = {builtin_description(), [] {
    Description d = builtin_description();
    d.mission.numerics.integrator = "adaptive";
    return d;
  }(), [] {
    Description d = builtin_description();
    d.mission.numerics.events = "located";
    return d;
  }(), [] {
    Description d = builtin_description();
    d.mission.numerics.integrator = "adaptive";
    d.mission.numerics.events = "located";
    return d;
  }()};
  Session S;
  fuzz::prepare(S, std::move(answers), &profile);
  S.flight.desc = &variants[size % 4];
  fuzz::run(S);
  return 0;
}
