#include "io/number_format.hpp"

#include <charconv>
#include <cmath>
#include <cstdint>
#include <cstring>

namespace ascent {

namespace {

void pad_append(std::string& out, const char* first, const char* last, int w) {
  long len = last - first;
  if (len < w) out.append(static_cast<std::size_t>(w - len), ' ');
  out.append(first, last);
}

}  // namespace

void append_real(std::string& out, double x, int w, int d) {
  if (w <= fast_field_room) {
    char buf[fast_field_room];
    if (char* end = put_real(buf, x, w, d)) {
      out.append(buf, end);
      return;
    }
  }
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
  if (w <= fast_field_room) {
    char buf[fast_field_room];
    if (char* end = put_rounded(buf, x, w)) {
      out.append(buf, end);
      return;
    }
  }
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
