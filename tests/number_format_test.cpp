#include "trajectory/number_format.hpp"

#include <gtest/gtest.h>

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

}  // namespace
}  // namespace ascent
