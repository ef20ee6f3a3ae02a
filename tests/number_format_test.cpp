#include "io/number_format.hpp"

#include <gtest/gtest.h>

#include <charconv>
#include <cmath>
#include <limits>
#include <random>

namespace ascent {
namespace {

std::string real(double x, int w, int d) { return real_text(x, w, d); }
std::string rounded(double x, int w) {
  std::string s;
  append_rounded(s, x, w);
  return s;
}

TEST(NumberFormat, FixedRealsAreRightJustifiedAndGrowWhenNeeded) {
  EXPECT_EQ(real(40, 6, 3), "40.000");
  EXPECT_EQ(real(5, 6, 3), " 5.000");
  EXPECT_EQ(real(123.4567, 6, 3), "123.457");
  EXPECT_EQ(real(-0.5, 7, 2), "  -0.50");
  EXPECT_EQ(real(1234.4, 1, 0), "1234");
  EXPECT_EQ(real(0.0, 9, 1), "      0.0");
  EXPECT_EQ(real(0.986832971065, 14, 12), "0.986832971065");
}

TEST(NumberFormat, RoundedIntegersTieToEvenAndNeverShowMinusZero) {
  EXPECT_EQ(rounded(408.5, 6), "   408");
  EXPECT_EQ(rounded(409.5, 6), "   410");
  EXPECT_EQ(rounded(-0.3, 10), "         0");
  EXPECT_EQ(rounded(-0.5, 3), "  0");
  EXPECT_EQ(rounded(-2.5, 3), " -2");
  EXPECT_EQ(rounded(283.22518, 6), "   283");
}

TEST(NumberFormat, IntegersAndWidthsOfZeroOrOne) {
  std::string s;
  append_int(s, 42, 5);
  append_int(s, 7, 0);
  append_int(s, -12, 1);
  append_int(s, -12, 4);
  EXPECT_EQ(s, "   427-12 -12");
}

TEST(NumberFormat, RoundingToTheDecimalsAsked) {
  EXPECT_EQ(real(0.0149, 9, 4), "   0.0149");
  EXPECT_EQ(real(2.9999, 7, 2), "   3.00");
  EXPECT_EQ(real(99.96, 5, 1), "100.0");
  EXPECT_EQ(real(2733610, 10, 1), " 2733610.0");
}

TEST(NumberFormat, RoundedIntegersBeyondTheRangeOfLong) {
  EXPECT_EQ(rounded(1e20, 6), "100000000000000000000");
  EXPECT_EQ(rounded(-408.5, 6), "  -408");
  EXPECT_EQ(rounded(0.5, 1), "0");
  EXPECT_EQ(rounded(1.5, 1), "2");
}

TEST(NumberFormat, NotANumberIsWrittenWithoutASign) {
  const double nan = std::numeric_limits<double>::quiet_NaN();
  EXPECT_EQ(real(nan, 6, 1), "   nan");
  EXPECT_EQ(real(-nan, 6, 1), "   nan");
  EXPECT_EQ(real(std::copysign(nan, -1.0), 1, 0), "nan");
  EXPECT_EQ(rounded(std::copysign(nan, -1.0), 8), "     nan");
}

TEST(NumberFormat, AgreesWithTheExactConversionEverywhere) {
  // The exact decimal expansion of the double, rounded, is the reference:
  // std::to_chars computes it. Ties of the exact value go to even, and values
  // a hair either side of a tie must fall on their own side.
  std::mt19937_64 rng(42);
  auto check = [](double x, int d) {
    char buf[400];
    auto end = std::to_chars(buf, buf + sizeof buf, x, std::chars_format::fixed, d).ptr;
    ASSERT_EQ(real(x, 1, d), std::string(buf, end)) << x << " with " << d << " decimals";
  };
  for (int i = 0; i < 200000; ++i) {
    double mag = std::ldexp(1.0, static_cast<int>(rng() % 60) - 20);
    double x = mag * (static_cast<double>(rng() >> 11) * 0x1.0p-53) * ((rng() & 1) ? -1 : 1);
    check(x, static_cast<int>(rng() % 5));
  }
  for (double tie : {0.125, 0.375, 2.5, 3.5, 0.0625, 1234.5, -0.125, -2.5}) {
    for (int d = 0; d <= 4; ++d) {
      check(tie, d);
      check(std::nextafter(tie, 0.0), d);
      check(std::nextafter(tie, 1e9), d);
    }
  }
  for (double x : {0.0, -0.0, -0.001, 0.004999, 0.005, 1e11, 999999.9999999, 1e13 + 0.5}) {
    for (int d = 0; d <= 4; ++d) check(x, d);
  }
}

}  // namespace
}  // namespace ascent
