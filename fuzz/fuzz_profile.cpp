// Fuzzes the booster profile: one flight to orbit with fixed answers on a
// fuzzed "s1.dat".
#include "fuzz/fuzz_support.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace ascent;
  const std::string profile(reinterpret_cast<const char*>(data), size);
  Session S;
  fuzz::prepare(S, "\n36\n18\ny\n-1\n", &profile);
  fuzz::run(S);
  return 0;
}
