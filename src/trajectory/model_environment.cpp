#include "trajectory/model_environment.hpp"

#include <cmath>
#include <limits>

namespace ascent {

Environment make_environment(const Description& d) { return make_environment(d.mission.earth, d.mission.atmosphere); }

Environment make_environment(const EarthModel& earth, const AirModel& air) {
  Environment e;
  e.mu = earth.mu;
  e.Re = earth.radius;
  e.gs = earth.mu / (earth.radius * earth.radius);
  // An Earth that does not turn takes forever to turn once.
  e.sidereal_day = earth.rotation_rate > 0 ? 2 * pi / earth.rotation_rate : std::numeric_limits<double>::infinity();
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
