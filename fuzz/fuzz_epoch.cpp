// Fuzzes the reader of --epoch: any bytes are either refused with a message
// or give a day of the years it takes and a time within that day.
#include <cstdint>
#include <string_view>

#include "report/trajectory_export.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace ascent;
  Epoch e;
  const std::string why = parse_epoch(std::string_view(reinterpret_cast<const char*>(data), size), e);
  // 1900-01-01 and 2100-12-31 in days from 1970-01-01.
  if (why.empty() && (e.day < -25567 || e.day > 47846 || !(e.second >= 0 && e.second < 86400))) __builtin_trap();
  return 0;
}
