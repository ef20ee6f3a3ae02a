#include "io/number_format.hpp"

#include <gtest/gtest.h>

#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <limits>
#include <random>
#include <vector>

#include "report/step_table.hpp"
#include "test_support.hpp"

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


// printf's fixed conversion is the independent side: the C library expands the
// binary double exactly and rounds its decimals, exact ties to even. NaN is
// this program's own rule: "nan" without a sign, on every machine.
std::string printf_fixed(double x, int w, int d) {
  char buf[512];
  if (std::isnan(x)) {
    std::snprintf(buf, sizeof buf, "%*s", w, "nan");
  } else {
    std::snprintf(buf, sizeof buf, "%*.*f", w, d, x);
  }
  return buf;
}

// The whole-number columns: printf's "%.0f" (halves to even), with the one
// difference the table has always made: no "-0".
std::string printf_rounded(double x, int w) {
  char digits[512];
  std::snprintf(digits, sizeof digits, "%.0f", x);
  std::string s = std::isnan(x) ? "nan" : std::string(digits) == "-0" ? "0" : digits;
  char buf[600];
  std::snprintf(buf, sizeof buf, "%*s", w, s.c_str());
  return buf;
}

// Where a decimal conversion goes wrong: ties of every decimal place (the
// decimal ones, a hair off in binary, and the binary-exact ones), carries
// through nines, powers of ten, the edges of the integer routes, the smallest
// and largest doubles, both zeros, the infinities and NaN, each both ways and
// with its neighbours one unit in the last place away.
std::vector<double> hard_values() {
  std::vector<double> base = {0.0, 0.5, 1.5, 2.5, 0.125, 0.375, 0.625, 2.675, 1.005, 1.015, 1.025, 0.045,
                              1234.5, 130.125, 9.9995, 99.995, 999.9995, 0.99999995, 9.95, 0.0005, 0.00005,
                              9999999.95, 99999.9999995, 2733610.05, 408.5, 409.5, 0x1p52, 0x1p52 - 0.5, 0x1p53,
                              0x1p63, 9e18, 1.8e19, 5e-324, 2.2250738585072014e-308, 1e-300, 1e300,
                              std::numeric_limits<double>::max(), std::numeric_limits<double>::infinity(),
                              std::numeric_limits<double>::quiet_NaN()};
  for (int e = -20; e <= 22; ++e) base.push_back(std::pow(10.0, e));
  for (int d = 0; d <= 6; ++d) {
    const double unit = std::pow(10.0, -d);
    base.push_back(1e12 * unit);  // where the fixed route hands over
    for (double k : {0.0, 1.0, 7.0, 12.0, 99.0, 123.0, 9999.0, 123456.0, 999999.0, 12345678.0, 99999999999.0}) {
      base.push_back((k + 0.5) * unit);
      base.push_back((k + 0.4995) * unit);
      base.push_back((k + 0.5005) * unit);
    }
  }
  std::vector<double> all;
  for (double b : base) {
    for (double x : {b, -b}) {
      all.push_back(x);
      all.push_back(std::nextafter(x, -std::numeric_limits<double>::infinity()));
      all.push_back(std::nextafter(x, std::numeric_limits<double>::infinity()));
    }
  }
  return all;
}

TEST(NumberFormat, AgreesWithPrintfOnHardValuesAndRandomDoubles) {
  int fast = 0;
  auto check = [&fast](double x, int w, int d) {
    const std::string want = printf_fixed(x, w, d);
    ASSERT_EQ(real(x, w, d), want) << std::hexfloat << x << " in " << w << "." << d;
    char buf[64];
    if (char* end = put_real(buf, x, w, d)) {  // the per-step route, where it answers
      ++fast;
      ASSERT_EQ(std::string(buf, end), want) << std::hexfloat << x << " in " << w << "." << d;
    }
  };
  auto check_rounded = [](double x, int w) {
    const std::string want = printf_rounded(x, w);
    ASSERT_EQ(rounded(x, w), want) << std::hexfloat << x << " in " << w;
    char buf[64];
    if (char* end = put_rounded(buf, x, w)) {
      ASSERT_EQ(std::string(buf, end), want) << std::hexfloat << x << " in " << w;
    }
  };
  for (double x : hard_values()) {
    for (int d : {0, 1, 2, 3, 4, 5, 6, 7, 12}) {
      for (int w : {1, 7, 10}) check(x, w, d);
    }
    for (int w : {1, 6, 10}) check_rounded(x, w);
  }
  std::mt19937_64 rng(20261210);
  for (int i = 0; i < 120000; ++i) {
    double x;
    switch (i % 3) {
      case 0: {  // any bit pattern: every exponent, subnormals, NaNs
        const std::uint64_t bits = rng();
        std::memcpy(&x, &bits, sizeof x);
        break;
      }
      case 1:  // the magnitudes of a flight's columns
        x = std::ldexp(static_cast<double>(rng() >> 11) * 0x1.0p-53, static_cast<int>(rng() % 64) - 24);
        break;
      default: {  // a few units in the last place from a decimal tie
        const int d = static_cast<int>(rng() % 7);
        const double tie = (static_cast<double>(rng() % 100000000) + 0.5) * std::pow(10.0, -d);
        x = tie;
        for (int k = static_cast<int>(rng() % 9) - 4; k != 0; k += k > 0 ? -1 : 1) x = std::nextafter(x, k * 1e300);
        break;
      }
    }
    if (rng() & 1) x = -x;
    check(x, 1 + static_cast<int>(rng() % 12), static_cast<int>(rng() % 7));
    check_rounded(x, 1 + static_cast<int>(rng() % 12));
  }
  EXPECT_GT(fast, 80000);  // the per-step route answered for most of them
}

TEST(NumberFormat, TableAndDataLinesAreTheirColumnsAsPrintfWritesThem) {
  // Whole lines, where one column the fast route cannot settle sends the
  // line down the exact route: the bytes must not tell which route it took.
  std::mt19937_64 rng(7);
  const std::vector<double> hard = hard_values();
  auto value = [&](double scale) {
    if (rng() % 8 == 0) return hard[rng() % hard.size()];
    return (static_cast<double>(rng() >> 11) * 0x1.0p-53 - 0.25) * scale;
  };
  for (int i = 0; i < 20000; ++i) {
    StepRecord r;
    r.t = value(1e4), r.a = value(60), r.vi = value(1e4), r.h0 = value(1e6), r.r0 = value(1e7);
    r.alpha_deg = value(90), r.beta_deg = value(180), r.theta_deg = value(180), r.q = value(5e4), r.m = value(3e6);
    test::MemoryOutputs o;
    write_table_line(o.main, r);
    write_data_lines(DataFiles{&o.speed, &o.height, &o.accel, &o.dynpres}, r);
    const std::string t = printf_fixed(r.t, 7, 2);
    ASSERT_EQ(test::bytes(o.main), t + printf_fixed(r.a, 6, 1) + printf_rounded(r.vi, 6) +
                                       printf_rounded(r.h0, 8) + printf_rounded(r.r0, 10) +
                                       printf_fixed(r.alpha_deg, 7, 2) + printf_fixed(r.beta_deg, 7, 2) +
                                       printf_fixed(r.theta_deg, 7, 2) + printf_fixed(r.q, 9, 1) +
                                       printf_fixed(r.m, 10, 1) + "\r\n");
    ASSERT_EQ(test::bytes(o.speed), t + printf_fixed(r.vi / 1000, 6, 3) + "\r\n");
    ASSERT_EQ(test::bytes(o.height), t + printf_fixed(r.h0 / 1000, 9, 3) + "\r\n");
    ASSERT_EQ(test::bytes(o.accel), t + printf_fixed(r.a, 8, 3) + "\r\n");
    ASSERT_EQ(test::bytes(o.dynpres), t + printf_fixed(r.q / 1000, 9, 4) + "\r\n");
  }
}

}  // namespace
}  // namespace ascent
