// The booster thrust profile the benchmarks fly: data/s1.dat of the source
// tree, the profile the user guide documents, as its text, read once.
#pragma once
#include <fstream>
#include <sstream>
#include <string>

inline const std::string& source_profile_text() {
  static const std::string text = [] {
    std::ifstream f(std::string(ASCENT_SOURCE_DIR) + "/data/s1.dat", std::ios::binary);
    std::ostringstream ss;
    ss << f.rdbuf();
    return ss.str();
  }();
  return text;
}
