// The one way every tool reads its command line.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "io/cli.hpp"
#include "io/fatal_error.hpp"

namespace ascent {
namespace {

// The table of a made-up tool: values, a flag, a list, a repeatable option
// and an alias.
const std::vector<cli::Option> table = {{"--tt"},
                                        {"--iterate", nullptr, cli::Option::flag},
                                        {"-o", "--output"},
                                        {"--merge", nullptr, cli::Option::list},
                                        {"--free", nullptr, cli::Option::value, true},
                                        {"--vehicle", nullptr, cli::Option::value, false, "a file name"}};

// Collects "name=value" for each option of argv, each read as the table says.
std::vector<std::string> walk(std::vector<std::string> words) {
  std::vector<char*> argv;
  static std::string tool = "tool";
  argv.push_back(tool.data());
  for (std::string& w : words) argv.push_back(w.data());
  std::vector<std::string> got;
  for (cli::Args a(static_cast<int>(argv.size()), argv.data(), table); a.next();) {
    std::string v;
    if (a.name() == "--merge") {
      for (const std::string& w : a.values()) v += w + ";";
    } else if (a.name() != "--iterate") {
      v = a.value();
    }
    got.push_back(a.name() + "=" + v);
  }
  return got;
}

// The usage error's message, or "" when the words are taken.
std::string refusal(std::vector<std::string> words) {
  try {
    walk(std::move(words));
  } catch (const FatalError& e) {
    EXPECT_EQ(e.code, exit_usage) << e.message;
    return e.message;
  }
  return "";
}

TEST(CommandLineArgs, ValuesInlineOrNextFlagsAndLists) {
  EXPECT_EQ(walk({"--tt=36", "--iterate", "--output", "x.csv"}),
            (std::vector<std::string>{"--tt=36", "--iterate=", "-o=x.csv"}));
  EXPECT_EQ(walk({"--merge", "a.csv", "b.csv", "-o", "all.csv"}),
            (std::vector<std::string>{"--merge=a.csv;b.csv;", "-o=all.csv"}));
  EXPECT_EQ(walk({"--free", "core.dry_mass=1:2", "--free=core.engines=3:5"}),
            (std::vector<std::string>{"--free=core.dry_mass=1:2", "--free=core.engines=3:5"}));
  EXPECT_EQ(cli::whole_number("--jobs", "12", 1, 1024), 12u);
  for (const char* bad : {"0", "1025", "-1", "1e3", "", "3 ", "99999999999999999999999"}) {
    EXPECT_THROW(cli::whole_number("--jobs", bad, 1, 1024), FatalError) << bad;
  }
}

TEST(CommandLineArgs, ABadCommandLineIsAUsageErrorThatSaysWhy) {
  const std::pair<std::vector<std::string>, std::string> cases[] = {
      {{"--tt"}, "--tt: a value is missing"},
      {{"--vehicle"}, "--vehicle needs a file name"},
      {{"--iterate=yes"}, "--iterate takes no value"},
      {{"--bogus"}, "unknown option '--bogus' (try --help)"},
      {{"--tt=1", "--tt", "2"}, "--tt: given twice: an option is given once"},  // the second would win
      {{"-o", "a.csv", "--output=b.csv"}, "--output: given twice: an option is given once"},  // one option, two spellings
      {{"--iterate", "--iterate"}, "--iterate: given twice: an option is given once"},
  };
  for (const auto& [words, message] : cases) EXPECT_EQ(refusal(words), message) << words.front();
}

}  // namespace
}  // namespace ascent
