// Fuzzes the staged vehicle reader: any text is either refused with the
// description exit code and one "FILE:LINE:COLUMN: key: what" line, or read
// into a vehicle that can fly (nothing check_staged refuses).
#include <cstdint>
#include <string>

#include "io/fatal_error.hpp"
#include "vehicle/staged_file.hpp"

using namespace ascent;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string text(reinterpret_cast<const char*>(data), size);
  try {
    const StagedVehicle v = parse_staged(text, "v.toml");
    if (!check_staged(v).empty()) __builtin_trap();
  } catch (const FatalError& e) {
    if (e.code != err_description || e.message.rfind("v.toml:", 0) != 0) __builtin_trap();
    if (e.message.find_first_of("\r\n") != std::string::npos) __builtin_trap();
  }
  return 0;
}
