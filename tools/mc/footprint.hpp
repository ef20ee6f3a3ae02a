// Where the dispersed runs' dropped parts come down: every run's impact
// point of each part, and each part's footprint, the ellipse that holds the
// spread of its points.
#pragma once
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "report/trajectory_export.hpp"

namespace ascent::mc {

// The impacts file's first line: the study's line (ending CR LF) with the
// epoch the points are placed at, which a merge holds its shards to.
std::string impacts_study_line(const std::string& study_line, const Epoch& epoch);
// The impacts file's header row, ending CR LF.
std::string impacts_header();
// One row per part the run's flight released, in the order released, each
// ending CR LF. A part that does not come down (in orbit, or still up after
// three of its orbits) has no place: its columns are empty and its status
// says why.
std::string impacts_rows(std::uint64_t run, const std::vector<ImpactPoint>& parts);

// One part's footprint over the runs, at three standard deviations.
//
// The centre is the mean latitude and the mean longitude of the points (the
// longitudes taken within half a turn of the first point's). Around it the
// points are seen in the plane tangent to the ellipsoid there, east and
// north; the covariance is that of those plane coordinates (divided by
// n - 1). The plane is a projection, not the ground: over a footprint a few
// hundred kilometres across the two differ by the Earth's curvature, some
// d^2 / (2 R) out of the plane, a few parts in ten thousand of the axes.
// The ellipse's semi-axes are three times the square roots of the
// covariance's eigenvalues; three standard deviations along each axis hold
// 1 - exp(-9/2) = 98.9 % of normally scattered points in two dimensions.
struct Footprint {
  std::string part;
  std::size_t released = 0;  // runs that released the part
  std::size_t down = 0;      // of them, the points that came down: the ellipse's
  double lat = 0, lon = 0;   // deg, the centre
  double cov_ee = 0, cov_en = 0, cov_nn = 0;  // m^2, east and north
  double semi_major = 0, semi_minor = 0;      // m, at 3 sigma
  double azimuth = 0;  // deg, the major axis from north towards east, 0 to 180
};

// Accumulates the footprints run by run, in one pass and flat in the number
// of runs: the plane coordinates are linear in the Earth-fixed position, so
// their covariance is the position's own (running sums in run order, as the
// summary keeps its spreads) turned into the plane at the end.
class FootprintBuilder {
 public:
  void add(const std::vector<ImpactPoint>& parts);
  // One data row of an impacts file (without its CR LF), as impacts_rows
  // writes it: its numbers read back are the numbers written, to the bit,
  // so merged shards give the footprints of one study. Returns what is
  // wrong with the row, or empty.
  std::string add_row(const std::string& line);
  std::vector<Footprint> finish() const;

 private:
  struct Part {
    std::string name;
    std::size_t released = 0, n = 0;
    double lon_ref = 0;             // deg, the first point's longitude
    double mean_lat = 0, mean_dlon = 0;  // deg
    double mean[3] = {0, 0, 0};     // m, Earth-fixed
    double m2[3][3] = {};           // m^2, sums of the products of the deviations
  };
  std::vector<Part> parts_;  // in the order first released
};

// The footprints as the study's JSON holds them, a JSON array's text.
std::string footprints_json(const std::vector<Footprint>& f);
// Lines for the summary printed at the end.
std::string footprints_text(const std::vector<Footprint>& f);

}  // namespace ascent::mc
