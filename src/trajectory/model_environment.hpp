// The environment a description asks for: its [earth] and [atmosphere].
#pragma once
#include "atmosphere/environment.hpp"
#include "vehicle/vehicle.hpp"

namespace ascent {

// Every quantity derived here is derived so that the built-in values come
// out bit for bit: mu / Re^2 is gs, 2 pi / (2 pi / sidereal_day) is
// sidereal_day.
Environment make_environment(const Description& d);
Environment make_environment(const EarthModel& earth, const AirModel& air);

}  // namespace ascent
