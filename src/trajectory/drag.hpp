// The vehicle's drag law ready for the step: its points with the differences
// between neighbours taken once.
#pragma once
#include <vector>

#include "vehicle/vehicle.hpp"

namespace ascent {

struct DragTable {
  std::vector<double> mach;   // Mach numbers of the points, ascending
  std::vector<double> cd;     // drag coefficient at each
  std::vector<double> drop;   // cd[i-1] - cd[i]: fall of the coefficient over segment i
  std::vector<double> width;  // mach[i] - mach[i-1]: width of segment i
};

// The differences are those of the decimals the law is written in (taken to
// 12 significant digits): 0.8 - 0.69 is the 0.11 its author meant, not the
// binary difference of the two doubles.
DragTable make_drag_table(const DragLaw& law);

// The built-in vehicle's table.
const DragTable& builtin_drag_table();

// Straight lines between the points; at a point shared by two segments the
// lower one holds, so a jump takes effect just above its Mach number.
// Constant below the first point and above the last.
double drag_coefficient(const DragTable& d, double mach);

}  // namespace ascent
