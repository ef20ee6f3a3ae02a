#include "atmosphere/environment.hpp"

#include "vehicle/vehicle.hpp"

namespace ascent {

const Environment& builtin_environment() {
  static const Environment e{};
  return e;
}

Environment make_environment(const Description& d) {
  const EarthModel& earth = d.mission.earth;
  const AirModel& air = d.mission.atmosphere;
  Environment e;
  e.mu = earth.mu;
  e.Re = earth.radius;
  e.gs = earth.mu / (earth.radius * earth.radius);
  e.sidereal_day = 2 * pi / earth.rotation_rate;
  if (air.model == "exponential") {
    e.exponential = true;
    e.rho0 = air.density;
    e.scale_height = air.scale_height;
    // An ideal diatomic gas at one temperature: a^2 = gamma p / rho.
    e.a_s = std::sqrt(1.4 * P0 / air.density);
  }
  return e;
}

}  // namespace ascent
