// Fuzzes the reader of the impacts rows a merge of ascent-mc's shards reads
// back: any line is either refused with a reason or taken, and the
// footprints of what was taken hold no more points down than released and
// a major semi-axis no shorter than the minor, without a crash.
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "footprint.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string text(reinterpret_cast<const char*>(data), size);
  ascent::mc::FootprintBuilder fb;
  std::size_t begin = 0;
  while (begin < text.size()) {
    std::size_t end = text.find('\n', begin);
    if (end == std::string::npos) end = text.size();
    std::string line = text.substr(begin, end - begin);
    if (!line.empty() && line.back() == '\r') line.pop_back();
    const std::string why = fb.add_row(line);
    (void)why;
    begin = end + 1;
  }
  for (const ascent::mc::Footprint& f : fb.finish()) {
    if (f.down > f.released) std::abort();
    if (f.down >= 2 && std::isfinite(f.semi_minor) && !(f.semi_major >= f.semi_minor)) std::abort();
  }
  return 0;
}
