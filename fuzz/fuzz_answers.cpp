// Fuzzes the reader of numeric answers: any bytes either give numbers, end
// cleanly, or stop with the invalid-number code; never a crash or a hang.
#include <cmath>

#include "fuzz/fuzz_support.hpp"
#include "io/line_reader.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace ascent;
  LineReader lines;
  lines.open_memory(std::string(reinterpret_cast<const char*>(data), size), "answers");
  NumberReader numbers(lines);
  try {
    double x;
    while (numbers.next(x)) {
      if (!std::isfinite(x)) __builtin_trap();
      numbers.skip_rest_of_line();
    }
  } catch (const FatalError& e) {
    if (e.code != err_number) __builtin_trap();
  }
  return 0;
}
