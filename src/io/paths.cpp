#include "io/paths.hpp"

#include <filesystem>
#include <system_error>

namespace ascent {

bool same_file(const std::string& a, const std::string& b) {
  namespace fs = std::filesystem;
  if (a.empty() || b.empty()) return false;
  if (a == b) return true;  // whether or not a path to it can be resolved
  // Existing files: by device and inode, which also sees hard links.
  std::error_code ec1, ec2;
  if (fs::exists(a, ec1) && fs::exists(b, ec2)) {
    std::error_code ec;
    if (fs::equivalent(a, b, ec)) return true;
  }
  // Otherwise by the paths with every existing link resolved; a name that
  // cannot be resolved (a folder without permission) matches nothing.
  std::error_code ec;
  fs::path pa = fs::weakly_canonical(fs::absolute(a, ec), ec);
  fs::path pb = fs::weakly_canonical(fs::absolute(b, ec), ec);
  return !pa.empty() && pa == pb;
}

}  // namespace ascent
