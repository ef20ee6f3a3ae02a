#include "footprint.hpp"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <limits>

#include <nlohmann/json.hpp>

#include "atmosphere/earth.hpp"
#include "io/line_reader.hpp"
#include "sweep_lib.hpp"

namespace ascent::mc {

namespace {

constexpr double deg = pi / 180;

// The Earth-fixed place of a point on the ellipsoid, m.
void on_ellipsoid(double lat_deg, double lon_deg, double out[3]) {
  const double e2 = wgs84_f * (2 - wgs84_f);
  const double s = std::sin(lat_deg * deg), c = std::cos(lat_deg * deg);
  const double N = wgs84_a / std::sqrt(1 - e2 * s * s);  // prime vertical radius
  out[0] = N * c * std::cos(lon_deg * deg);
  out[1] = N * c * std::sin(lon_deg * deg);
  out[2] = N * (1 - e2) * s;
}

// A longitude's difference from a reference, within half a turn.
double within_half_turn(double dlon) {
  dlon = std::fmod(dlon, 360.0);
  if (dlon > 180) dlon -= 360;
  if (dlon <= -180) dlon += 360;
  return dlon;
}

const char* status_of(const ImpactPoint& p) {
  if (std::isinf(p.fall)) return "in orbit";
  if (std::isnan(p.fall)) return "still up";
  return "down";
}

}  // namespace

std::string impacts_study_line(const std::string& study_line, const Epoch& epoch) {
  return study_line.substr(0, study_line.size() - 2) + " epoch=" + epoch_text(epoch) + "\r\n";
}

std::string impacts_header() {
  return "run,part,release_t_s,release_alt_m,impact_lat_deg,impact_lon_deg,fall_s,ballistic_coefficient_kg_m2,"
         "status\r\n";
}

std::string impacts_rows(std::uint64_t run, const std::vector<ImpactPoint>& parts) {
  std::string out;
  for (const ImpactPoint& p : parts) {
    const bool down = std::isfinite(p.fall);
    out += std::to_string(run) + ',' + sweep::text_field(p.part) + ',' + sweep::exact(p.t) + ',' +
           sweep::exact(p.alt0) + ',' + (down ? sweep::exact(p.lat) : "") + ',' + (down ? sweep::exact(p.lon) : "") +
           ',' + (down ? sweep::exact(p.fall) : "") + ',' + sweep::exact(p.beta) + ',' + status_of(p) + "\r\n";
  }
  return out;
}

void FootprintBuilder::add(const std::vector<ImpactPoint>& parts) {
  for (const ImpactPoint& p : parts) {
    Part* q = nullptr;
    for (Part& k : parts_)
      if (k.name == p.part) q = &k;
    if (q == nullptr) {
      parts_.push_back(Part{});
      q = &parts_.back();
      q->name = p.part;
    }
    ++q->released;
    if (!std::isfinite(p.fall)) continue;
    if (q->n == 0) q->lon_ref = p.lon;
    ++q->n;
    const double n = static_cast<double>(q->n);
    q->mean_lat += (p.lat - q->mean_lat) / n;
    q->mean_dlon += (within_half_turn(p.lon - q->lon_ref) - q->mean_dlon) / n;
    // Welford's update of the mean and of the sums of products, in three
    // dimensions.
    double x[3], d[3];
    on_ellipsoid(p.lat, p.lon, x);
    for (int i = 0; i < 3; ++i) {
      d[i] = x[i] - q->mean[i];
      q->mean[i] += d[i] / n;
    }
    for (int i = 0; i < 3; ++i)
      for (int j = 0; j < 3; ++j) q->m2[i][j] += d[i] * (x[j] - q->mean[j]);
  }
}

std::string FootprintBuilder::add_row(const std::string& line) {
  const std::vector<std::string> f = sweep::csv_fields(line);
  if (f.size() != 9) return std::to_string(f.size()) + " fields where an impacts row has 9";
  ImpactPoint p{};
  p.part = f[1];
  const std::string& status = f[8];
  if (status == "down") {
    for (int i : {4, 5, 6}) {
      double x = 0;
      if (!parse_real(f[static_cast<std::size_t>(i)], x) || !std::isfinite(x)) {
        return "'" + f[static_cast<std::size_t>(i)] + "' is not a number";
      }
    }
    p.lat = std::strtod(f[4].c_str(), nullptr);
    p.lon = std::strtod(f[5].c_str(), nullptr);
    p.fall = std::strtod(f[6].c_str(), nullptr);
  } else if (status == "in orbit") {
    p.fall = std::numeric_limits<double>::infinity();
  } else if (status == "still up") {
    p.fall = std::numeric_limits<double>::quiet_NaN();
  } else {
    return "status '" + status + "' is none of down, in orbit, still up";
  }
  add({p});
  return {};
}

std::vector<Footprint> FootprintBuilder::finish() const {
  std::vector<Footprint> out;
  const double nan = std::nan("");
  for (const Part& q : parts_) {
    Footprint f;
    f.part = q.name;
    f.released = q.released;
    f.down = q.n;
    f.lat = q.n ? q.mean_lat : nan;
    f.lon = q.n ? q.lon_ref + within_half_turn(q.mean_dlon) : nan;
    if (q.n && f.lon > 180) f.lon -= 360;
    if (q.n && f.lon <= -180) f.lon += 360;
    f.cov_ee = f.cov_en = f.cov_nn = f.semi_major = f.semi_minor = f.azimuth = nan;
    if (q.n >= 2) {
      // The east and north unit vectors of the plane at the centre.
      const double sf = std::sin(f.lat * deg), cf = std::cos(f.lat * deg);
      const double sl = std::sin(f.lon * deg), cl = std::cos(f.lon * deg);
      const double E[3] = {-sl, cl, 0}, N[3] = {-sf * cl, -sf * sl, cf};
      auto quad = [&q](const double* u, const double* v) {
        double s = 0;
        for (int i = 0; i < 3; ++i)
          for (int j = 0; j < 3; ++j) s += u[i] * q.m2[i][j] * v[j];
        return s / static_cast<double>(q.n - 1);
      };
      f.cov_ee = quad(E, E);
      f.cov_en = quad(E, N);
      f.cov_nn = quad(N, N);
      // The eigenvalues of the symmetric 2 x 2 matrix, and the direction
      // of the larger one's axis.
      const double mid = (f.cov_ee + f.cov_nn) / 2;
      const double r = std::hypot((f.cov_ee - f.cov_nn) / 2, f.cov_en);
      f.semi_major = 3 * std::sqrt(mid + r);
      f.semi_minor = 3 * std::sqrt(std::max(0.0, mid - r));
      const double from_east = 0.5 * std::atan2(2 * f.cov_en, f.cov_ee - f.cov_nn) / deg;
      f.azimuth = std::fmod(90 - from_east + 180, 180.0);
    }
    out.push_back(f);
  }
  return out;
}

std::string footprints_json(const std::vector<Footprint>& fs) {
  nlohmann::ordered_json a = nlohmann::ordered_json::array();
  for (const Footprint& f : fs) {
    a.push_back({{"part", f.part},
                 {"released", f.released},
                 {"down", f.down},
                 {"mean_lat_deg", f.lat},
                 {"mean_lon_deg", f.lon},
                 {"covariance_en_m2", {{f.cov_ee, f.cov_en}, {f.cov_en, f.cov_nn}}},
                 {"semi_major_3sigma_m", f.semi_major},
                 {"semi_minor_3sigma_m", f.semi_minor},
                 {"major_axis_azimuth_deg", f.azimuth}});
  }
  return a.dump(2);
}

std::string footprints_text(const std::vector<Footprint>& fs) {
  std::string out;
  char line[256];
  for (const Footprint& f : fs) {
    if (f.down < 2) {
      std::snprintf(line, sizeof line, "Impact footprint, %s: %zu of %zu runs came down: no ellipse\n",
                    f.part.c_str(), f.down, f.released);
    } else {
      std::snprintf(line, sizeof line,
                    "Impact footprint, %s: %zu of %zu runs down about %.4f, %.4f deg; 3-sigma ellipse "
                    "%.1f x %.1f km, major axis at %.1f deg\n",
                    f.part.c_str(), f.down, f.released, f.lat, f.lon, f.semi_major / 1000, f.semi_minor / 1000,
                    f.azimuth);
    }
    out += line;
  }
  return out;
}

}  // namespace ascent::mc
