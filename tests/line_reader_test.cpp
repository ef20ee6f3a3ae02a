#include "io/line_reader.hpp"

#include <gtest/gtest.h>

#include <cstdio>
#include <vector>

#include "io/fatal_error.hpp"

namespace ascent {
namespace {

// Every line, up to a bound that a reader which never reports the end hits.
std::vector<std::string> all_lines(LineReader& r) {
  std::vector<std::string> out;
  std::string line;
  while (out.size() < 100 && r.next_line(line)) out.push_back(line);
  return out;
}

// The same text read from memory and from a real stream must give the same
// lines.
std::vector<std::string> lines_of(const std::string& text) {
  LineReader mem;
  mem.open_memory(text, "memory");
  std::vector<std::string> from_memory = all_lines(mem);

  std::FILE* f = std::tmpfile();
  std::fwrite(text.data(), 1, text.size(), f);
  std::rewind(f);
  LineReader file;
  file.open_stream(f, "tmp");
  std::vector<std::string> from_file = all_lines(file);
  std::fclose(f);
  EXPECT_EQ(from_memory, from_file) << "memory and stream differ";
  EXPECT_EQ(mem.line_number(), static_cast<long>(from_memory.size()));
  return from_memory;
}

using Lines = std::vector<std::string>;

TEST(LineReader, EitherLineEndAndAnUnfinishedLastLine) {
  EXPECT_EQ(lines_of("a\r\nb\nc"), (Lines{"a", "b", "c"}));
  EXPECT_EQ(lines_of("one\n"), (Lines{"one"}));
  EXPECT_EQ(lines_of("\r\n\n x \r\n"), (Lines{"", "", " x "}));
  EXPECT_EQ(lines_of("in\rside\r\n"), (Lines{"in\rside"}));  // only the CR before LF is a line end
  EXPECT_EQ(lines_of(""), Lines{});
}

bool parses(const std::string& text, double expected) {
  double x = -999;
  return parse_real(text, x) && x == expected;
}

TEST(ParseReal, PlainDecimalNumbers) {
  EXPECT_TRUE(parses("5", 5));
  EXPECT_TRUE(parses("+5", 5));
  EXPECT_TRUE(parses("5.", 5));
  EXPECT_TRUE(parses(".5", 0.5));
  EXPECT_TRUE(parses("5.e3", 5000));
  EXPECT_TRUE(parses("-1e-2", -0.01));
  EXPECT_TRUE(parses("1.25E+2", 125));
  EXPECT_TRUE(parses("0.986832971065", 0.986832971065));
}

TEST(ParseReal, AnythingElseIsRejected) {
  for (const char* bad : {"", "+", "-", ".", "-.", "e5", "abc", "40abc", "1.2.3", "5e", "5e+",
                          "0x10", "nan", "inf", "-inf", "1e999", "1,5", "5 "}) {
    double x = 0;
    EXPECT_FALSE(parse_real(bad, x)) << "'" << bad << "'";
  }
}

TEST(NumberReader, SkipsBlanksAndEmptyLinesUntilTheEnd) {
  LineReader in;
  in.open_memory("  \r\n\t 40  -2.5\r\n\r\n\n 7 junk\r\n-1", "answers");
  NumberReader r(in);
  double x = 0;
  ASSERT_TRUE(r.next(x));
  EXPECT_EQ(x, 40);
  ASSERT_TRUE(r.next(x));
  EXPECT_EQ(x, -2.5);
  ASSERT_TRUE(r.next(x));
  EXPECT_EQ(x, 7);
  r.skip_rest_of_line();  // the rest of an answer's line is not read
  ASSERT_TRUE(r.next(x));
  EXPECT_EQ(x, -1);
  EXPECT_FALSE(r.next(x));
  EXPECT_FALSE(r.next(x));
}

TEST(NumberReader, BadTokenStopsWithCode106NamingFileLineAndToken) {
  LineReader in;
  in.open_memory("0.0 1\r\n0.98 1.0x\r\n", "s1.dat");
  NumberReader r(in);
  double x = 0;
  for (int i = 0; i < 3; ++i) ASSERT_TRUE(r.next(x));
  try {
    r.next(x);
    ADD_FAILURE() << "no error for 1.0x";
  } catch (const FatalError& e) {
    EXPECT_EQ(e.code, err_number);
    EXPECT_NE(e.message.find("s1.dat"), std::string::npos) << e.message;
    EXPECT_NE(e.message.find("line 2"), std::string::npos) << e.message;
    EXPECT_NE(e.message.find("'1.0x'"), std::string::npos) << e.message;
  }
}

}  // namespace
}  // namespace ascent
