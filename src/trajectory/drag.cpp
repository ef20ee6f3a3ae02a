#include "trajectory/drag.hpp"

#include "io/number_format.hpp"

namespace ascent {

DragTable make_drag_table(const DragLaw& law) {
  // One coefficient for every Mach number: a law of one point, constant on
  // both sides of it.
  if (law.coefficient > 0) return DragTable{{0.0}, {law.coefficient}, {0.0}, {0.0}};
  DragTable d{law.mach, law.cd, {}, {}};
  d.drop.assign(d.mach.size(), 0.0);
  d.width.assign(d.mach.size(), 0.0);
  for (std::size_t i = 1; i < d.mach.size(); ++i) {
    d.drop[i] = round_significant(d.cd[i - 1] - d.cd[i], 12);
    d.width[i] = round_significant(d.mach[i] - d.mach[i - 1], 12);
  }
  return d;
}

const DragTable& builtin_drag_table() {
  static const DragTable d = make_drag_table(builtin_description().vehicle.drag);
  return d;
}

double drag_coefficient(const DragTable& d, double mach) {
  const std::size_t n = d.mach.size();
  if (mach <= d.mach[0]) return d.cd[0];
  // Most look-ups are above the last point (the air thins faster than the
  // vehicle slows): no segment to look for.
  if (mach > d.mach[n - 1]) return d.cd[n - 1];
  for (std::size_t i = 1; i < n; ++i) {
    if (mach <= d.mach[i]) {
      // At a point the law is the table's value itself, not the end of a
      // line through it that rounding leaves a bit off.
      if (mach == d.mach[i]) return d.cd[i];
      return d.cd[i - 1] - d.drop[i] * (mach - d.mach[i - 1]) / d.width[i];
    }
  }
  return d.cd[n - 1];  // above the last point (and a Mach number that is not one)
}

}  // namespace ascent
