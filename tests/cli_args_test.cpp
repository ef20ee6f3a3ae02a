// The one way every tool reads its command line.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "io/cli.hpp"
#include "io/fatal_error.hpp"

namespace ascent {
namespace {

// Collects "name=value" for each option of argv, values read as `kind`
// says: v a value, f a flag, m a list.
std::vector<std::string> walk(std::vector<std::string> words, const std::string& kinds) {
  std::vector<char*> argv;
  static std::string tool = "tool";
  argv.push_back(tool.data());
  for (std::string& w : words) argv.push_back(w.data());
  std::vector<std::string> got;
  std::size_t k = 0;
  for (cli::Args a(static_cast<int>(argv.size()), argv.data()); a.next(); ++k) {
    std::string v;
    if (kinds.at(k) == 'v') v = a.value();
    if (kinds.at(k) == 'f') a.no_value();
    if (kinds.at(k) == 'm') {
      for (const std::string& w : a.values()) v += w + ";";
    }
    got.push_back(a.name() + "=" + v);
  }
  return got;
}

int usage_code(std::vector<std::string> words, const std::string& kinds) {
  try {
    walk(std::move(words), kinds);
  } catch (const FatalError& e) {
    return e.code;
  }
  return 0;
}

TEST(CommandLineArgs, ValuesInlineOrNextFlagsAndLists) {
  EXPECT_EQ(walk({"--tt=36", "--alpha", "18", "--iterate", "-o", "x.csv"}, "vvfv"),
            (std::vector<std::string>{"--tt=36", "--alpha=18", "--iterate=", "-o=x.csv"}));
  EXPECT_EQ(walk({"--merge", "a.csv", "b.csv", "-o", "all.csv"}, "mv"),
            (std::vector<std::string>{"--merge=a.csv;b.csv;", "-o=all.csv"}));
  EXPECT_EQ(walk({"--free", "core.dry_mass=1:2"}, "v"), (std::vector<std::string>{"--free=core.dry_mass=1:2"}));
  EXPECT_EQ(usage_code({"--tt"}, "v"), exit_usage);               // the value is missing
  EXPECT_EQ(usage_code({"--iterate=yes"}, "f"), exit_usage);      // a flag takes none
  EXPECT_EQ(cli::whole_number("--jobs", "12", 1, 1024), 12u);
  for (const char* bad : {"0", "1025", "-1", "1e3", "", "3 ", "99999999999999999999999"}) {
    EXPECT_THROW(cli::whole_number("--jobs", bad, 1, 1024), FatalError) << bad;
  }
}

}  // namespace
}  // namespace ascent
