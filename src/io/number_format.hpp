#pragma once
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

// Convenience for message lines.
std::string real_text(double x, int w, int d);

// The shortest decimal that reads back as exactly x ("4420.8", "1e-05");
// a NaN as "nan", without a sign.
std::string shortest_text(double x);

// x rounded to `digits` significant decimal digits (the double nearest to
// that decimal).
double round_significant(double x, int digits);

}  // namespace ascent
