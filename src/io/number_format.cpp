#include "io/number_format.hpp"

#include <charconv>
#include <cstdint>
#include <cmath>

namespace ascent {

namespace {

void pad_append(std::string& out, const char* first, const char* last, int w) {
  long len = last - first;
  if (len < w) out.append(static_cast<std::size_t>(w - len), ' ');
  out.append(first, last);
}

// Fixed notation by integer arithmetic, for the common case: a magnitude
// below 1e12 once scaled, and a scaled value not near a tie, where the one
// rounding of the scaling cannot change which integer is nearest. Gives the
// same digits as the exact conversion; false leaves the rare rest to it.
bool fast_fixed(std::string& out, double x, int w, int d) {
  static constexpr double pow10[] = {1, 1e1, 1e2, 1e3, 1e4, 1e5, 1e6};
  if (d < 0 || d > 6) return false;
  const double y = std::fabs(x) * pow10[d];
  if (!(y < 1e12)) return false;  // too large, infinite or NaN
  const double below = std::floor(y);
  if (std::fabs(y - below - 0.5) < 1e-3) return false;
  auto n = static_cast<std::uint64_t>(y - below < 0.5 ? below : below + 1);
  char digits[24];
  int len = static_cast<int>(std::to_chars(digits, digits + sizeof digits, n).ptr - digits);
  char buf[40];
  char* p = buf;
  if (std::signbit(x)) *p++ = '-';
  if (len <= d) {  // below one: a zero, then the leading zeros of the fraction
    *p++ = '0';
    *p++ = '.';
    for (int i = len; i < d; ++i) *p++ = '0';
    for (int i = 0; i < len; ++i) *p++ = digits[i];
  } else {
    for (int i = 0; i < len - d; ++i) *p++ = digits[i];
    if (d > 0) {
      *p++ = '.';
      for (int i = len - d; i < len; ++i) *p++ = digits[i];
    }
  }
  pad_append(out, buf, p, w);
  return true;
}

}  // namespace

void append_real(std::string& out, double x, int w, int d) {
  // A flight flown through the Earth ends in NaN. Processors differ in the
  // sign they give a NaN, so it is written without one: the same bytes on
  // every machine.
  if (std::isnan(x)) {
    static constexpr char text[] = "nan";
    pad_append(out, text, text + 3, w);
    return;
  }
  if (fast_fixed(out, x, w, d)) return;
  // Large enough for the fixed form of any double with up to 20 decimals.
  char buf[400];
  auto res = std::to_chars(buf, buf + sizeof buf, x, std::chars_format::fixed, d);
  pad_append(out, buf, res.ptr, w);
}

void append_int(std::string& out, long long n, int w) {
  char buf[24];
  auto res = std::to_chars(buf, buf + sizeof buf, n);
  pad_append(out, buf, res.ptr, w);
}

void append_rounded(std::string& out, double x, int w) {
  double r = std::nearbyint(x);  // the default rounding mode: halves to even
  if (r == 0.0) r = 0.0;         // -0 written as 0
  if (std::isfinite(r) && std::fabs(r) < 9.0e18) {
    append_int(out, static_cast<long long>(r), w);
  } else {
    append_real(out, r, w, 0);  // far outside any flight; still written whole
  }
}

std::string real_text(double x, int w, int d) {
  std::string s;
  append_real(s, x, w, d);
  return s;
}

std::string shortest_text(double x) {
  if (std::isnan(x)) return "nan";
  char buf[64];
  auto res = std::to_chars(buf, buf + sizeof buf, x);
  return std::string(buf, res.ptr);
}

double round_significant(double x, int digits) {
  char buf[64];
  auto res = std::to_chars(buf, buf + sizeof buf, x, std::chars_format::general, digits);
  double y = x;
  std::from_chars(buf, res.ptr, y);
  return y;
}

}  // namespace ascent
