#pragma once
#include <cmath>
#include <cstdint>
#include <cstring>
#include <string>

namespace ascent {

// Appends x in fixed notation with d decimals, rounded (ties as the binary
// value lies, exactly), right-justified in w characters; a wider number takes
// the room it needs. With d = 0 no decimal point is written.
void append_real(std::string& out, double x, int w, int d);

// Appends the integer n right-justified in w characters (w of 0 or 1 adds no
// blanks).
void append_int(std::string& out, long long n, int w);

// Appends x rounded to the nearest integer, halves to even, written as an
// integer right-justified in w characters. A value that rounds to zero is
// written 0, never -0.
void append_rounded(std::string& out, double x, int w);

// The per-step route of the two above: the same bytes written straight at p,
// for the values whose digits plain integer arithmetic settles (magnitudes
// below 1e12 once scaled by 10^d, d at most 6, not within a thousandth of a
// tie; integers below 2^52; NaN). They return the end of what they wrote, or
// nullptr for the rare rest, which append_real and append_rounded convert
// exactly. p must have room for max(w, fast_field_room) bytes. Defined here,
// so that a line of fields with constant widths and decimals compiles to
// straight-line code (the table and data files write about 60,000 numbers a
// flight).
constexpr int fast_field_room = 24;
[[gnu::always_inline]] inline char* put_real(char* p, double x, int w, int d);
[[gnu::always_inline]] inline char* put_rounded(char* p, double x, int w);

// Convenience for message lines.
std::string real_text(double x, int w, int d);

// The shortest decimal that reads back as exactly x ("4420.8", "1e-05");
// a NaN as "nan", without a sign.
std::string shortest_text(double x);

// x rounded to `digits` significant decimal digits (the double nearest to
// that decimal).
double round_significant(double x, int digits);

namespace number_format_detail {

// "00", "01", ... "99": two digits written at once.
inline constexpr char digit_pairs[] =
    "00010203040506070809101112131415161718192021222324252627282930313233343536373839"
    "40414243444546474849505152535455565758596061626364656667686970717273747576777879"
    "8081828384858687888990919293949596979899";

inline constexpr std::uint64_t pow10[] = {1ULL,
                                          10ULL,
                                          100ULL,
                                          1000ULL,
                                          10000ULL,
                                          100000ULL,
                                          1000000ULL,
                                          10000000ULL,
                                          100000000ULL,
                                          1000000000ULL,
                                          10000000000ULL,
                                          100000000000ULL,
                                          1000000000000ULL,
                                          10000000000000ULL,
                                          100000000000000ULL,
                                          1000000000000000ULL,
                                          10000000000000000ULL,
                                          100000000000000000ULL,
                                          1000000000000000000ULL,
                                          10000000000000000000ULL};

// The number of decimal digits of n (1 for 0): the binary length gives
// log10 to within one, the table settles it. n | 1 has as many digits as n
// (an even n is never one below a power of ten) and 0 | 1 has one.
inline int decimal_digits(std::uint64_t n) {
  n |= 1;
  const int bits = 64 - __builtin_clzll(n);
  const int t = (bits * 1233) >> 12;  // 1233 / 4096 is just above log10(2)
  return t + (n >= pow10[t] ? 1 : 0);
}

// Writes the digits of n so that they end at q (at least one digit) and
// returns where they start. Below 2^32, in 32-bit arithmetic, which divides
// by 100 in fewer instructions.
template <typename U>
char* digits_before_in(char* q, U n) {
  while (n >= 100) {
    const auto r = static_cast<unsigned>(n % 100);
    n /= 100;
    q -= 2;
    std::memcpy(q, digit_pairs + 2 * r, 2);
  }
  if (n >= 10) {
    q -= 2;
    std::memcpy(q, digit_pairs + 2 * n, 2);
  } else {
    *--q = static_cast<char>('0' + n);
  }
  return q;
}

inline char* digits_before(char* q, std::uint64_t n) {
  if (n <= 0xFFFFFFFFu) return digits_before_in(q, static_cast<std::uint32_t>(n));
  return digits_before_in(q, n);
}

// Exactly D digits of n (< 10^D), leading zeros included, ending at q.
template <int D>
char* fixed_digits_before(char* q, std::uint32_t n) {
  for (int k = D; k >= 2; k -= 2) {
    q -= 2;
    std::memcpy(q, digit_pairs + 2 * (n % 100), 2);
    n /= 100;
  }
  if (D % 2 == 1) *--q = static_cast<char>('0' + n);
  return q;
}

// Blanks in front of a number of `len` characters in a field of w that
// starts at p; returns where the number starts.
[[gnu::always_inline]] inline char* blanks(char* p, int w, int len) {
  if (len >= w) return p;
  const int n = w - len;
  std::memset(p, ' ', 16);  // the usual case in one store
  if (n > 16) std::memset(p + 16, ' ', static_cast<std::size_t>(n - 16));
  return p + n;
}

// Fixed notation with D decimals. The scaled magnitude y = |x| 10^D is
// computed with one rounding, at most half a unit in its last place: below
// 1e12 that is under 2^-14, so when y's fraction is a thousandth or more
// from one half, the exact product |x| 10^D rounds to the same integer as y
// does. Closer to a tie, or larger, the exact conversion decides.
template <int D>
[[gnu::always_inline]] inline char* put_fixed(char* p, double x, int w) {
  constexpr double scale = static_cast<double>(pow10[D]);
  constexpr std::uint64_t unit = pow10[D];
  const double y = std::fabs(x) * scale;
  if (!(y < 1e12)) return nullptr;  // too large, infinite or NaN
  // y >= 0: the floor; through a signed integer, which the processor converts
  // to in one instruction.
  auto n = static_cast<std::uint64_t>(static_cast<std::int64_t>(y));
  const double frac = y - static_cast<double>(n);   // exact (Sterbenz, or n = 0)
  if (std::fabs(frac - 0.5) < 1e-3) return nullptr;
  if (frac > 0.5) ++n;
  const std::uint64_t whole = n / unit;
  const bool negative = std::signbit(x);
  const int len = negative + decimal_digits(whole) + (D > 0 ? D + 1 : 0);
  char* end = blanks(p, w, len) + len;
  char* q = end;
  if constexpr (D > 0) {
    q = fixed_digits_before<D>(q, static_cast<std::uint32_t>(n - whole * unit));
    *--q = '.';
  }
  q = digits_before(q, whole);
  if (negative) q[-1] = '-';
  return end;
}

}  // namespace number_format_detail

[[gnu::always_inline]] inline char* put_real(char* p, double x, int w, int d) {
  namespace nf = number_format_detail;
  // A flight flown through the Earth ends in NaN. Processors differ in the
  // sign they give a NaN, so it is written without one: the same bytes on
  // every machine.
  if (std::isnan(x)) {
    char* start = nf::blanks(p, w, 3);
    std::memcpy(start, "nan", 3);
    return start + 3;
  }
  switch (d) {
    case 0: return nf::put_fixed<0>(p, x, w);
    case 1: return nf::put_fixed<1>(p, x, w);
    case 2: return nf::put_fixed<2>(p, x, w);
    case 3: return nf::put_fixed<3>(p, x, w);
    case 4: return nf::put_fixed<4>(p, x, w);
    case 5: return nf::put_fixed<5>(p, x, w);
    case 6: return nf::put_fixed<6>(p, x, w);
    default: return nullptr;
  }
}

[[gnu::always_inline]] inline char* put_rounded(char* p, double x, int w) {
  namespace nf = number_format_detail;
  // Below 2^52 the integer part and the fraction are both exact: the
  // fraction x - trunc(x) loses nothing (Sterbenz, or a zero integer part).
  const double ax = std::fabs(x);
  if (!(ax < 0x1p52)) return nullptr;  // large, infinite or NaN
  auto n = static_cast<std::uint64_t>(static_cast<std::int64_t>(ax));
  const double frac = ax - static_cast<double>(n);
  if (frac > 0.5 || (frac == 0.5 && (n & 1) != 0)) ++n;  // halves to even
  const bool negative = x < 0 && n != 0;                 // never -0
  const int len = negative + nf::decimal_digits(n);
  char* end = nf::blanks(p, w, len) + len;
  char* q = nf::digits_before(end, n);
  if (negative) q[-1] = '-';
  return end;
}

}  // namespace ascent
