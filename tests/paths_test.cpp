// Whether two names denote one file: what keeps every output of the session
// and of the tools from overwriting an input or another output.
#include "io/paths.hpp"

#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <string>

#include "test_support.hpp"

namespace ascent {
namespace {

namespace fs = std::filesystem;

TEST(SameFile, NamesOfOneFileAndOfTwo) {
  const fs::path dir = fs::temp_directory_path() / ("ascent_paths_test_" + std::to_string(::getpid()));
  fs::remove_all(dir);
  fs::create_directories(dir / "sub");
  test::write_file(dir / "a.csv", "a");
  test::write_file(dir / "b.csv", "b");
  fs::create_symlink(dir / "a.csv", dir / "link.csv");
  fs::create_symlink(dir / "sub", dir / "sublink");
  fs::create_symlink("missing.csv", dir / "dangling.csv");
  fs::create_hard_link(dir / "a.csv", dir / "hard.csv");
  const fs::path before = fs::current_path();
  fs::current_path(dir);
  const std::string abs = dir.string() + "/";

  struct Case {
    const char* a;
    std::string b;
    bool same;
  };
  const Case cases[] = {
      {"a.csv", "a.csv", true},                // the same name
      {"a.csv", abs + "a.csv", true},          // relative and absolute
      {"a.csv", "sub/../a.csv", true},         // through ".."
      {"a.csv", "link.csv", true},             // a symbolic link to it
      {"a.csv", "hard.csv", true},             // a hard link: another name, one inode
      {"a.csv", "b.csv", false},               // two files
      {"new.csv", "./new.csv", true},          // not yet written, two spellings
      {"new.csv", abs + "new.csv", true},
      {"sub/new.csv", "sublink/new.csv", true},  // not yet written, through a linked folder
      {"new.csv", "other.csv", false},         // two files not yet written
      {"dangling.csv", "missing.csv", true},   // a dangling link and the file it would create
      {"dangling.csv", "sub/../missing.csv", true},
      {"dangling.csv", "new.csv", false},
      {"new.csv", "a.csv", false},             // one there, one not
      {"sub/a.csv", "a.csv", false},           // one name in two folders
      {"", "", false},                         // no name is no file
      {"", "a.csv", false},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(same_file(c.a, c.b), c.same) << "'" << c.a << "' and '" << c.b << "'";
    EXPECT_EQ(same_file(c.b, c.a), c.same) << "'" << c.b << "' and '" << c.a << "'";
  }

  fs::current_path(before);
  fs::remove_all(dir);
}

}  // namespace
}  // namespace ascent
