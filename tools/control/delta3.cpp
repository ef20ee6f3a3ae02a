// The Delta III transfer-orbit ascent from its published data: nine solid
// boosters (six lit on the pad, three at 75.2 s), the first stage burning
// 261 s, the second up to 700 s, into a 24,361 km orbit of eccentricity
// 0.7308. The published problem is three-dimensional; here it is flown in the
// plane of the target, due east from 28.5 deg into the 28.5 deg orbit, whose
// northernmost point is the launch site's direction at lift-off.
#include <cmath>

#include "control.hpp"

namespace ascent::control {

Problem delta3() {
  constexpr double deg = 3.14159265358979323846 / 180;
  Problem p;
  p.name = "delta3";
  p.earth.mu = 3.986012e14;
  p.earth.R = 6378145;
  p.earth.vrot = 7.29211585e-5 * p.earth.R * std::cos(28.5 * deg);
  p.earth.rho0 = 1.225;
  p.earth.H = 7200;
  p.earth.p0 = 101325;  // no nozzle exit area is given: no back-pressure loss
  // Each element: gross, propellant, thrust, burn time (kg, kg, N, s).
  struct Element {
    double gross, propellant, F, burn;
    double dry() const { return gross - propellant; }
    double mdot() const { return propellant / burn; }
  };
  const Element booster{19290, 17010, 628500, 75.2}, first{104380, 95550, 1083100, 261},
      second{19300, 16820, 110094, 700};
  const double payload = 4164;
  p.m0 = 9 * booster.gross + first.gross + second.gross + payload;
  const double S = 4 * 3.14159265358979323846, Cd = 0.5;
  auto burning = [&](int boosters, const Element& core) {
    return Propulsion{boosters * booster.F + core.F, boosters * booster.mdot() + core.mdot(), 0.0, S, Cd};
  };
  // The lightest each phase may be: everything aboard that is no propellant.
  const double dry_all = 9 * booster.dry() + first.dry() + second.dry() + payload;
  p.phases = {
      {"six boosters and the first stage", burning(6, first), 75.2, 75.2, dry_all, 6 * booster.dry(), 8},
      {"three boosters and the first stage", burning(3, first), 75.2, 75.2, dry_all - 6 * booster.dry(),
       3 * booster.dry(), 8},
      {"the first stage", burning(0, first), 110.6, 110.6, dry_all - 9 * booster.dry(), first.dry(), 10},
      {"the second stage", burning(0, second), 0, second.burn, second.dry() + payload, 0, 30},
  };
  p.target = {24361140, 0.7308, (130.5 - 90) * deg};
  p.published = 7529.712;  // kg, Betts's optimum, which other solvers reproduce within 0.04 kg
  return p;
}

}  // namespace ascent::control
