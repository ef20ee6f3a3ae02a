#include "trajectory/number_format.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>

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

}  // namespace
}  // namespace ascent
