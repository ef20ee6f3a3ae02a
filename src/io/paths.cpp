#include "io/paths.hpp"

#include <sys/stat.h>

#include <filesystem>
#include <system_error>

namespace ascent {

namespace {

// The path a name resolves to with every existing link followed, or an
// empty path when it cannot be resolved (a folder without permission).
std::filesystem::path resolved(const std::string& name) {
  namespace fs = std::filesystem;
  std::error_code ec;
  fs::path p = fs::absolute(link_end(name), ec);
  if (ec) return {};
  p = fs::weakly_canonical(p, ec);
  return ec ? fs::path() : p;
}

}  // namespace

std::string link_end(const std::string& name) {
  namespace fs = std::filesystem;
  fs::path p = name;
  for (int hops = 0; hops < 40; ++hops) {
    std::error_code ec;
    if (!fs::is_symlink(fs::symlink_status(p, ec))) break;
    fs::path target = fs::read_symlink(p, ec);
    if (ec) break;
    p = target.is_absolute() ? target : p.parent_path() / target;
  }
  return p.string();
}

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
  // Otherwise by the paths with every link resolved, a dangling one to the
  // file it would create.
  const fs::path pa = resolved(a), pb = resolved(b);
  return !pa.empty() && pa == pb;
}

bool is_file_of_descriptor(const std::string& name, int fd) {
  struct stat named, open;
  if (name.empty() || stat(name.c_str(), &named) != 0 || fstat(fd, &open) != 0) return false;
  return S_ISREG(open.st_mode) && open.st_dev == named.st_dev && open.st_ino == named.st_ino;
}

}  // namespace ascent
