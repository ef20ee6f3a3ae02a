// Fuzzes the description reader: any text is either refused with the
// description exit code and a "FILE:LINE:COLUMN: key: what" line, or read;
// what is read must write back to a text that reads to the same bits.
#include <cstdint>
#include <cstring>
#include <string>

#include "io/fatal_error.hpp"
#include "vehicle/description_file.hpp"
#include "vehicle/keys.hpp"

using namespace ascent;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string text(reinterpret_cast<const char*>(data), size);
  Description d;
  try {
    d = parse_description(text, "v.toml");
  } catch (const FatalError& e) {
    // One line, starting with the file name, with the description's code.
    if (e.code != err_description || e.message.rfind("v.toml:", 0) != 0) __builtin_trap();
    if (e.message.find_first_of("\r\n") != std::string::npos) __builtin_trap();
    return 0;
  }
  try {
    if (first_difference(parse_description(write_description(d), "again.toml"), d) != nullptr) __builtin_trap();
  } catch (const FatalError&) {
    __builtin_trap();  // what was read must be writable and readable again
  }
  return 0;
}
