// The shortest turn time ascent flies. The session answers a shorter one with
// an error and asks again; the study tools and Python refuse it among their
// arguments rather than fly nothing. Defined here, in the layer every program
// of the project includes, so that each of them reads this one value.
#pragma once

namespace ascent {

constexpr double min_turn_time = 1.0;  // s

}  // namespace ascent
