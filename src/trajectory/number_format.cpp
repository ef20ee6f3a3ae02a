#include "trajectory/number_format.hpp"

#include <charconv>
#include <cmath>

namespace ascent {

namespace {

void pad_append(std::string& out, const char* first, const char* last, int w) {
  long len = last - first;
  if (len < w) out.append(static_cast<std::size_t>(w - len), ' ');
  out.append(first, last);
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

}  // namespace ascent
