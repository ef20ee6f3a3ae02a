#include "report/trajectory_export.hpp"

#include <algorithm>
#include <cctype>
#include <cmath>
#include <cstdio>
#include <nlohmann/json.hpp>

#include "atmosphere/earth.hpp"
#include "earth/ballistic.hpp"
#include "earth/frames.hpp"
#include "phases/booster_phase.hpp"
#include "phases/staged_flight.hpp"
#include "trajectory/model_environment.hpp"

namespace ascent {

std::optional<TrajectoryFormat> trajectory_format(std::string_view path) {
  std::size_t dot = path.rfind('.');
  std::size_t slash = path.find_last_of("/\\");
  if (dot == std::string_view::npos || (slash != std::string_view::npos && dot < slash)) return std::nullopt;
  std::string ext;
  for (char c : path.substr(dot + 1)) ext += static_cast<char>(c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c);
  if (ext == "oem") return TrajectoryFormat::oem;
  if (ext == "czml") return TrajectoryFormat::czml;
  if (ext == "kml") return TrajectoryFormat::kml;
  return std::nullopt;
}

namespace {

// Days from 1970-01-01 to a date of the proleptic Gregorian calendar, and
// back (H. Hinnant's algorithms, the eras of 400 years).
long long days_from_civil(long long y, unsigned m, unsigned d) {
  y -= m <= 2;
  const long long era = (y >= 0 ? y : y - 399) / 400;
  const unsigned yoe = static_cast<unsigned>(y - era * 400);
  const unsigned doy = (153 * (m > 2 ? m - 3 : m + 9) + 2) / 5 + d - 1;
  const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  return era * 146097 + static_cast<long long>(doe) - 719468;
}

void civil_from_days(long long z, long long& y, unsigned& m, unsigned& d) {
  z += 719468;
  const long long era = (z >= 0 ? z : z - 146096) / 146097;
  const unsigned doe = static_cast<unsigned>(z - era * 146097);
  const unsigned yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
  const unsigned doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
  const unsigned mp = (5 * doy + 2) / 153;
  d = doy - (153 * mp + 2) / 5 + 1;
  m = mp < 10 ? mp + 3 : mp - 9;
  y = static_cast<long long>(yoe) + era * 400 + (m <= 2);
}

bool leap(long long y) { return (y % 4 == 0 && y % 100 != 0) || y % 400 == 0; }

// The instant `t` seconds after the epoch, to the microsecond:
// 2027-01-01T00:02:31.250000 (with `z`, a Z after it).
std::string instant_text(const Epoch& e, double t, bool z) {
  long long us = std::llround((e.second + t) * 1e6);
  long long day = e.day + us / 86400000000LL;
  us %= 86400000000LL;
  long long y;
  unsigned mo, d;
  civil_from_days(day, y, mo, d);
  const long long s = us / 1000000;
  char buf[64];
  std::snprintf(buf, sizeof buf, "%04lld-%02u-%02uT%02lld:%02lld:%02lld.%06lld%s", y, mo, d, s / 3600, s / 60 % 60,
                s % 60, us % 1000000, z ? "Z" : "");
  return buf;
}

struct Vec {
  double x, y, z;
};
Vec operator*(double a, const Vec& v) { return {a * v.x, a * v.y, a * v.z}; }
Vec operator+(const Vec& a, const Vec& b) { return {a.x + b.x, a.y + b.y, a.z + b.z}; }

// The flight's plane on the globe. The model's horizontal inertial speed v_x
// carries the vehicle round the Earth's centre at v_x/r radians a second, and
// its ground range r_0 lags that arc by v_rot t (dr_0/dt = v_x R_e/r - v_rot),
// so the inertial arc from the site is (r_0 + v_rot t)/R_e. The plane holds
// the launch site at the epoch and leaves it at the azimuth whose great circle
// has the target inclination over the equator of date: the plane of the
// orbit, fixed in EME2000 from then on.
struct Globe {
  Vec site;     // unit vector to the launch site at the epoch, EME2000
  Vec ahead;    // unit vector along the plane, a quarter turn ahead of the site
  double Re;    // m, the model's radius
  double vrot;  // m/s, the rotation credit of the model
  double lift;  // m, the model's sphere above the site on the ellipsoid
  Epoch epoch;
  double dut1;  // s, UT1 - UTC
  // EME2000 to the intermediate frame of date (precession-nutation and the
  // bias) every `node` seconds from the epoch, over the flight and a node more.
  std::vector<Mat3> to_intermediate;
};

// The precession-nutation (a series of some 1300 terms) turns the sky by
// under 1e-11 rad a second and bends that turn slowly (the fastest term
// of note has a period of 13.7 days): evaluated every ten minutes and taken
// linearly between, it is within 1e-12 rad, 10 micrometres in orbit. The
// Earth's rotation angle is taken at each instant.
constexpr double node = 600;  // s

Vec vec(const Vec3& x) { return {x[0], x[1], x[2]}; }
Vec3 vec3(const Vec& x) { return {x.x, x.y, x.z}; }

// EME2000 to the Earth-fixed frame t seconds after the epoch.
Mat3 eme2000_to_earth(const Globe& g, double t) {
  const double k = std::clamp(std::floor(t / node), 0.0, static_cast<double>(g.to_intermediate.size() - 2));
  const double u = t / node - k;
  const Mat3& a = g.to_intermediate[static_cast<std::size_t>(k)];
  const Mat3& b = g.to_intermediate[static_cast<std::size_t>(k) + 1];
  Mat3 q;
  for (int i = 0; i < 3; ++i) {
    for (int j = 0; j < 3; ++j) q[i][j] = a[i][j] + u * (b[i][j] - a[i][j]);
  }
  return times(earth_rotation(time_scales(g.epoch.day, g.epoch.second + t, g.dut1)), q);
}

// The plane at the epoch; the frames' matrices to `t_end` s after it.
Globe place(const Placement& where, const Epoch& e, double t_end) {
  Globe g;
  g.epoch = e;
  g.dut1 = where.dut1;
  const Mat3 bias_back = transposed(frame_bias());
  for (double t = 0; g.to_intermediate.size() < 2 || t < t_end + node; t += node) {
    g.to_intermediate.push_back(
        times(celestial_to_intermediate(time_scales(e.day, e.second + t, g.dut1)), bias_back));
  }
  g.Re = where.Re;
  g.vrot = where.vrot;
  const double lon = where.longitude * pi / 180;
  const Vec3 pad = wgs84_cartesian({where.latitude * pi / 180, lon, 0});
  const double rs = std::sqrt(pad[0] * pad[0] + pad[1] * pad[1] + pad[2] * pad[2]);
  g.lift = g.Re - rs;
  // The plane holds the Earth's centre, so its inclination is set at the
  // site's geocentric latitude: sin A = cos i / cos phi_c, north-east, or
  // north-west for a retrograde orbit.
  const double lat = std::asin(pad[2] / rs);
  const double x = std::cos(lat) / std::cos(where.inclination * pi / 180);
  const double az = x > 0 ? plane_azimuth(x) : -plane_azimuth(-x);
  const Vec up{std::cos(lat) * std::cos(lon), std::cos(lat) * std::sin(lon), std::sin(lat)};
  const Vec east{-std::sin(lon), std::cos(lon), 0};
  const Vec north{-std::sin(lat) * std::cos(lon), -std::sin(lat) * std::sin(lon), std::cos(lat)};
  const Mat3 to_eme2000 = transposed(eme2000_to_earth(g, 0));
  g.site = vec(times(to_eme2000, vec3(up)));
  g.ahead = vec(times(to_eme2000, vec3(std::cos(az) * north + std::sin(az) * east)));
  return g;
}

double end_of(const TrajectoryRecorder& rec) { return rec.points().empty() ? 0 : rec.points().back().t; }

struct State {
  Vec r, v;  // m, m/s
};

// The model's sphere (radius R_e) stands `lift` above the ellipsoid at the
// site. The radius is lowered by that much on the ground, by a share w(h)
// that falls smoothly (w = 1 - 3x^2 + 2x^3, x = h / 100 km) to nothing at the
// edge of space: the pad is the site, and from 100 km on the states are the
// model's own (its orbit's radius, speed and energy). The velocity is the
// time derivative of the positions throughout: the vertical speed scaled by
// 1 - lift w'(h), the horizontal one by the radius's ratio to the model's.
State inertial(const Globe& g, const TrajectoryRecorder::Point& p) {
  const double arc = (p.r0 + g.vrot * p.t) / g.Re;
  const Vec up = std::cos(arc) * g.site + std::sin(arc) * g.ahead;
  const Vec forward = -std::sin(arc) * g.site + std::cos(arc) * g.ahead;
  const double x = std::clamp(p.h0 / h_edge_of_space, 0.0, 1.0);
  const double w = 1 - x * x * (3 - 2 * x);
  const double dw = -6 * x * (1 - x) / h_edge_of_space;  // 1/m
  const double r = g.Re + p.h0 - g.lift * w;
  return {r * up, (p.vx * r / (g.Re + p.h0)) * forward + (p.vy * (1 - g.lift * dw)) * up};
}

// Geodetic longitude and latitude (degrees) and height above the WGS 84
// ellipsoid at time t, the state turned with the Earth.
struct Geo {
  double lon, lat, alt;
};

Geo in_degrees(const Geodetic& q) {
  return {q.lon * 180 / pi, q.lat * 180 / pi, std::nearbyint(q.h * 1000) / 1000 + 0.0};  // mm; no -0.0 on the pad
}

Geo geographic_at(const Globe& g, const TrajectoryRecorder::Point& p) {
  return in_degrees(wgs84_geodetic(times(eme2000_to_earth(g, p.t), vec3(inertial(g, p).r))));
}

// Earth-fixed cartesian of a place on the WGS 84 ellipsoid, the frame
// Cesium draws in.
Vec wgs84(const Geo& q) { return vec(wgs84_cartesian({q.lat * pi / 180, q.lon * pi / 180, q.alt})); }

// What the writers ask of a flight, whatever model flew it: each exported
// line's time, its state in EME2000 and its geodetic place, the flight's
// events and how it fell from each of its lines.
class Track {
 public:
  virtual ~Track() = default;
  virtual std::size_t size() const = 0;
  virtual double time(std::size_t i) const = 0;                 // s
  virtual double altitude(std::size_t i) const = 0;             // m, as the flight reckons it
  virtual State eme2000(std::size_t i) const = 0;
  virtual Geo geographic(std::size_t i) const = 0;
  virtual ImpactPoint fall(std::size_t i, const std::string& part, double beta) const = 0;
  virtual const std::vector<TrajectoryRecorder::Mark>& marks() const = 0;
  virtual bool cut_short() const = 0;
  virtual double cut_at() const = 0;  // s
  virtual double dut1() const = 0;    // s
  // The OEM's first comment lines: how the flight was flown and placed.
  virtual const char* flown() const = 0;
};

constexpr std::size_t none = static_cast<std::size_t>(-1);

// The recorded line at or before time t (events come after their step), or
// none.
std::size_t line_at(const Track& k, double t) {
  std::size_t lo = 0, hi = k.size();  // the first line after t lies in [lo, hi]
  while (lo < hi) {
    const std::size_t mid = lo + (hi - lo) / 2;
    if (t < k.time(mid)) {
      hi = mid;
    } else {
      lo = mid + 1;
    }
  }
  return lo == 0 ? none : lo - 1;
}

// A name on one line of printable characters (a KVN value, an XML text).
std::string one_line(const std::string& s) {
  std::string out;
  for (char c : s) out += static_cast<unsigned char>(c) < 0x20 || c == 0x7f ? ' ' : c;
  return out.empty() ? "vehicle" : out;
}

std::string xml_escaped(const std::string& s) {
  std::string out;
  for (char c : one_line(s)) {
    switch (c) {
      case '&': out += "&amp;"; break;
      case '<': out += "&lt;"; break;
      case '>': out += "&gt;"; break;
      case '"': out += "&quot;"; break;
      case '\'': out += "&apos;"; break;
      default: out += c;
    }
  }
  return out;
}

std::string fixed_text(const char* format, double x) {
  char buf[64];
  std::snprintf(buf, sizeof buf, format, x);
  return buf;
}

double millimetres(double x) { return std::nearbyint(x * 1000) / 1000; }

// The parts' falls and the instantaneous impact points, on WGS 84 with J2.
// A release state's Earth-fixed position and its inertial velocity in the
// Earth-fixed axes of the instant start a fall whose inertial frame is that
// instant's Earth-fixed one: over the minutes of a fall the Earth turns about
// its axis alone (precession and nutation move it by centimetres).
constexpr double iip_every = 10;  // s, flight time between instantaneous impact points

// The fall of a part released at flight time t in the state x of a frame
// of ballistic.hpp (x.t the Earth's turn since that frame was Earth-fixed),
// through `wind`.
ImpactPoint fall_of(const Spheroid& e, const WindProfile& wind, const InertialState& x, double t,
                    const std::string& part, double beta) {
  ImpactPoint out{part, t, 0, 0, 0, 0, 0, 0, {0, 0, 0}, beta};
  Geodetic q;
  Vec3 v_ned;
  ground_of(e, x, q, v_ned);
  out.lat0 = q.lat * 180 / pi;
  out.lon0 = q.lon * 180 / pi;
  out.alt0 = q.h;
  for (int i = 0; i < 3; ++i) out.v_ned[i] = v_ned[static_cast<std::size_t>(i)];
  out.lat = out.lon = std::nan("");
  // In a vacuum a conic whose perigee clears the ellipsoid never comes
  // down; through the air one whose perigee stays above 120 km does not come
  // down within days. Below, a part is followed for three of its orbits, by
  // when the air has brought down any part of the ascent.
  const double r = std::sqrt(x.r[0] * x.r[0] + x.r[1] * x.r[1] + x.r[2] * x.r[2]);
  const double v2 = x.v[0] * x.v[0] + x.v[1] * x.v[1] + x.v[2] * x.v[2];
  const double a = 1 / (2 / r - v2 / e.mu);
  const Vec3 hv = {x.r[1] * x.v[2] - x.r[2] * x.v[1], x.r[2] * x.v[0] - x.r[0] * x.v[2], x.r[0] * x.v[1] - x.r[1] * x.v[0]};
  const double h2 = hv[0] * hv[0] + hv[1] * hv[1] + hv[2] * hv[2];
  const double ecc = std::sqrt(std::max(0.0, 1 - h2 / (e.mu * a)));
  if (!(a > 0) || a * (1 - ecc) > e.a + (beta > 0 ? 120e3 : 0.0)) {
    out.fall = HUGE_VAL;  // in orbit: never
    return out;
  }
  const double orbits = beta > 0 ? 3 : 1;
  const double period = 2 * pi * std::sqrt(a * a * a / e.mu);  // s
  const Impact i = impact_point(e, FallingBody{beta}, wind, x, beta > 0 ? 0.5 : 1.0, orbits * period);
  if (!i.reached) {
    out.fall = std::nan("");  // on the ground already, or still aloft after an orbit
    return out;
  }
  out.fall = i.t;
  out.lat = i.where.lat * 180 / pi;
  out.lon = i.where.lon * 180 / pi;
  return out;
}

// The planar flight's line placed on the globe: its release state's
// Earth-fixed position and its inertial velocity in the Earth-fixed axes of
// the instant start a fall whose inertial frame is that instant's
// Earth-fixed one, in still air (the planar flight knows no wind).
ImpactPoint fall_from(const Globe& g, const TrajectoryRecorder::Point& p, const std::string& part, double beta) {
  const State s = inertial(g, p);
  const Mat3 m = eme2000_to_earth(g, p.t);
  const InertialState x{0.0, times(m, vec3(s.r)), times(m, vec3(s.v))};
  return fall_of(wgs84_earth(), WindProfile{}, x, p.t, part, beta);
}

Impacts impacts_on(const Track& k, const std::vector<Release>& parts, bool instantaneous = true) {
  Impacts out;
  for (const Release& r : parts) {
    const std::size_t i = line_at(k, r.t);
    if (i != none) out.parts.push_back(k.fall(i, r.part, r.beta));
  }
  if (!instantaneous) return out;
  // The first recorded state at or after each multiple of iip_every, until
  // the flight would no longer come down.
  double next = 0;
  for (std::size_t n = 0; n < k.size(); ++n) {
    const double t = k.time(n);
    if (t < next) continue;
    next = (std::floor(t / iip_every) + 1) * iip_every;
    ImpactPoint i = k.fall(n, "", 0.0);
    if (std::isinf(i.fall)) break;
    if (!std::isnan(i.fall)) out.instantaneous.push_back(i);
  }
  return out;
}

// The times of the first and last lines (the epoch for none).
double first_time(const Track& k) { return k.size() == 0 ? 0 : k.time(0); }
double last_time(const Track& k) { return k.size() == 0 ? 0 : k.time(k.size() - 1); }

std::string oem_text(const Track& k, const Placement& d, const Epoch& e) {
  const std::string start = instant_text(e, first_time(k), false);
  const std::string stop = instant_text(e, last_time(k), false);
  std::string id;
  for (char c : one_line(d.name)) id += std::isalnum(static_cast<unsigned char>(c)) ? c : '-';
  std::string out = std::string("CCSDS_OEM_VERS = 2.0\n") + k.flown() +
                    "COMMENT EME2000 from the GCRS by the IAU 2006 frame bias; IAU 2006/2000A\n"
                    "COMMENT precession-nutation; UT1 = UTC + DUT1, DUT1 = " + fixed_text("%.6f", k.dut1()) + " s;\n"
                    "COMMENT no polar motion.\n" +
                    (k.cut_short() ? "COMMENT The flight's state is no place after T+" + fixed_text("%.2f", k.cut_at()) +
                                           " s: the states end there.\n"
                                     : std::string()) +
                    "CREATION_DATE = " + instant_text(e, 0, false) + "\n" +
                    "ORIGINATOR = ascent\n\n"
                    "META_START\n"
                    "OBJECT_NAME = " + one_line(d.name) + "\n" +
                    "OBJECT_ID = " + id + "\n" +
                    "CENTER_NAME = EARTH\n"
                    "REF_FRAME = EME2000\n"
                    "TIME_SYSTEM = UTC\n"
                    "START_TIME = " + start + "\n" +
                    "STOP_TIME = " + stop + "\n" +
                    // The cubic through two neighbouring states, their
                    // positions and velocities: local, so that it does not
                    // ring across the steps where the thrust stops.
                    "INTERPOLATION = HERMITE\n"
                    "INTERPOLATION_DEGREE = 3\n"
                    "META_STOP\n\n";
  for (std::size_t i = 0; i < k.size(); ++i) {
    const State s = k.eme2000(i);
    out += instant_text(e, k.time(i), false);
    for (double x : {s.r.x, s.r.y, s.r.z}) out += fixed_text(" %.6f", x / 1000);
    for (double x : {s.v.x, s.v.y, s.v.z}) out += fixed_text(" %.9f", x / 1000);
    out += "\n";
  }
  return out;
}

std::string czml_text(const Track& k, const Placement& d, const Epoch& e, const Impacts& impacts) {
  using json = nlohmann::ordered_json;
  const std::string start = instant_text(e, first_time(k), true);
  const std::string stop = instant_text(e, last_time(k), true);
  const std::string name = one_line(d.name);
  json doc = json::array();
  doc.push_back({{"id", "document"},
                 {"name", name},
                 {"version", "1.0"},
                 {"clock",
                  {{"interval", start + "/" + stop},
                   {"currentTime", start},
                   {"multiplier", 10},
                   {"range", "LOOP_STOP"},
                   {"step", "SYSTEM_CLOCK_MULTIPLIER"}}}});
  json samples = json::array();
  for (std::size_t i = 0; i < k.size(); ++i) {
    const Vec x = wgs84(k.geographic(i));
    samples.insert(samples.end(), {std::nearbyint(k.time(i) * 1e6) / 1e6, millimetres(x.x), millimetres(x.y), millimetres(x.z)});
  }
  const json yellow = {{"rgba", {255, 220, 0, 255}}};
  doc.push_back({{"id", "flight"},
                 {"name", name},
                 {"availability", start + "/" + stop},
                 {"position",
                  {{"epoch", instant_text(e, 0, true)},
                   {"referenceFrame", "FIXED"},
                   {"interpolationAlgorithm", "LAGRANGE"},
                   {"interpolationDegree", 1},
                   {"cartesian", samples}}},
                 {"path",
                  {{"material", {{"solidColor", {{"color", yellow}}}}},
                   {"width", 2},
                   {"leadTime", 0},
                   {"resolution", 1}}},
                 {"point", {{"pixelSize", 8}, {"color", yellow}}},
                 {"label", {{"text", name}, {"pixelOffset", {{"cartesian2", {12, 0}}}}, {"horizontalOrigin", "LEFT"}}}});
  int n = 0;
  for (const auto& m : k.marks()) {
    const std::size_t i = line_at(k, m.t);
    if (i == none) continue;
    const Vec x = wgs84(k.geographic(i));
    doc.push_back({{"id", "event-" + std::to_string(++n)},
                   {"name", m.label},
                   // HTML: an engine's name is text, never markup.
                   {"description", xml_escaped(m.label) + " at T+" + fixed_text("%.2f", m.t) + " s, altitude " +
                                       fixed_text("%.1f", k.altitude(i) / 1000) + " km"},
                   {"availability", instant_text(e, k.time(i), true) + "/" + stop},
                   {"position", {{"cartesian", {millimetres(x.x), millimetres(x.y), millimetres(x.z)}}}},
                   {"point", {{"pixelSize", 6}, {"color", {{"rgba", {255, 255, 255, 255}}}}}},
                   {"label",
                    {{"text", m.label},
                     {"font", "12pt sans-serif"},
                     {"pixelOffset", {{"cartesian2", {10, -10}}}},
                     {"horizontalOrigin", "LEFT"}}}});
  }
  // Where the parts come down, and the instantaneous impact point's track on
  // the ground.
  const json red = {{"rgba", {255, 80, 60, 255}}};
  n = 0;
  for (const ImpactPoint& p : impacts.parts) {
    if (!std::isfinite(p.fall)) continue;
    const Vec x = wgs84({p.lon, p.lat, 0});
    doc.push_back({{"id", "impact-" + std::to_string(++n)},
                   {"name", p.part + " impact"},
                   {"description", p.part + " released at T+" + fixed_text("%.2f", p.t) + " s, down " +
                                       fixed_text("%.0f", p.fall) + " s later"},
                   {"position", {{"cartesian", {millimetres(x.x), millimetres(x.y), millimetres(x.z)}}}},
                   {"point", {{"pixelSize", 8}, {"color", red}}},
                   {"label",
                    {{"text", p.part + " impact"},
                     {"font", "12pt sans-serif"},
                     {"pixelOffset", {{"cartesian2", {10, -10}}}},
                     {"horizontalOrigin", "LEFT"}}}});
  }
  if (impacts.instantaneous.size() > 1) {
    json ground = json::array();
    for (const ImpactPoint& p : impacts.instantaneous) ground.insert(ground.end(), {p.lon, p.lat, 0.0});
    doc.push_back({{"id", "instantaneous-impact-point"},
                   {"name", "instantaneous impact point"},
                   {"polyline",
                    {{"positions", {{"cartographicDegrees", ground}}},
                     {"clampToGround", true},
                     {"width", 2},
                     {"material", {{"solidColor", {{"color", red}}}}}}}});
  }
  return doc.dump(-1, ' ', false, json::error_handler_t::replace) + "\n";
}

std::string kml_text(const Track& k, const Placement& d, const Epoch& e, const Impacts& impacts) {
  const std::string name = xml_escaped(d.name);
  std::string out =
      "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
      "<kml xmlns=\"http://www.opengis.net/kml/2.2\" xmlns:gx=\"http://www.google.com/kml/ext/2.2\">\n"
      "<Document>\n"
      "<name>" + name + "</name>\n" +
      "<Style id=\"track\"><LineStyle><color>ff00dcff</color><width>3</width></LineStyle></Style>\n"
      "<Placemark>\n"
      "<name>" + name + "</name>\n" +
      "<styleUrl>#track</styleUrl>\n"
      "<gx:Track>\n"
      "<altitudeMode>absolute</altitudeMode>\n";
  for (std::size_t i = 0; i < k.size(); ++i) out += "<when>" + instant_text(e, k.time(i), true) + "</when>\n";
  for (std::size_t i = 0; i < k.size(); ++i) {
    const Geo q = k.geographic(i);
    out += "<gx:coord>" + fixed_text("%.7f", q.lon) + fixed_text(" %.7f", q.lat) + fixed_text(" %.1f", q.alt) +
           "</gx:coord>\n";
  }
  out += "</gx:Track>\n</Placemark>\n<Folder>\n<name>Events</name>\n";
  for (const auto& m : k.marks()) {
    const std::size_t i = line_at(k, m.t);
    if (i == none) continue;
    const Geo q = k.geographic(i);
    out += "<Placemark><name>" + xml_escaped(m.label) + "</name><TimeStamp><when>" + instant_text(e, k.time(i), true) +
           "</when></TimeStamp><Point><altitudeMode>absolute</altitudeMode><coordinates>" +
           fixed_text("%.7f", q.lon) + fixed_text(",%.7f", q.lat) + fixed_text(",%.1f", q.alt) +
           "</coordinates></Point></Placemark>\n";
  }
  out += "</Folder>\n<Folder>\n<name>Impact points</name>\n";
  for (const ImpactPoint& p : impacts.parts) {
    if (!std::isfinite(p.fall)) continue;
    out += "<Placemark><name>" + p.part + " impact</name><description>released at T+" + fixed_text("%.2f", p.t) +
           " s, down " + fixed_text("%.0f", p.fall) + " s later</description><Point><coordinates>" +
           fixed_text("%.7f", p.lon) + fixed_text(",%.7f", p.lat) + ",0</coordinates></Point></Placemark>\n";
  }
  if (impacts.instantaneous.size() > 1) {
    out += "<Placemark><name>instantaneous impact point</name><LineString><tessellate>1</tessellate><coordinates>";
    for (const ImpactPoint& p : impacts.instantaneous) {
      out += fixed_text("%.7f", p.lon) + fixed_text(",%.7f", p.lat) + ",0 ";
    }
    out += "</coordinates></LineString></Placemark>\n";
  }
  return out + "</Folder>\n</Document>\n</kml>\n";
}

// The planar flight's recorded lines, its plane placed on the globe.
class PlanarTrack final : public Track {
 public:
  PlanarTrack(const TrajectoryRecorder& rec, const Placement& where, const Epoch& e)
      : rec_(rec), g_(place(where, e, end_of(rec))) {}
  std::size_t size() const override { return rec_.points().size(); }
  double time(std::size_t i) const override { return rec_.points()[i].t; }
  double altitude(std::size_t i) const override { return rec_.points()[i].h0; }
  State eme2000(std::size_t i) const override { return inertial(g_, rec_.points()[i]); }
  Geo geographic(std::size_t i) const override { return geographic_at(g_, rec_.points()[i]); }
  ImpactPoint fall(std::size_t i, const std::string& part, double beta) const override {
    return fall_from(g_, rec_.points()[i], part, beta);
  }
  const std::vector<TrajectoryRecorder::Mark>& marks() const override { return rec_.marks(); }
  bool cut_short() const override { return rec_.cut_short(); }
  double cut_at() const override { return rec_.cut_at(); }
  double dut1() const override { return g_.dut1; }
  const char* flown() const override {
    return "COMMENT Launch trajectory flown by ascent in the plane of the target orbit,\n"
           "COMMENT placed through the launch site (WGS 84) at the epoch.\n";
  }

 private:
  const TrajectoryRecorder& rec_;
  Globe g_;
};

// The 3-D flight's states. Its inertial frame is the Earth-fixed one at
// lift-off, which the Greenwich apparent sidereal angle theta0 turns into the
// true equator and equinox of the epoch; the IAU 2006/2000A
// bias-precession-nutation of the epoch turns that back into the GCRS, and
// the frame bias on to EME2000: one matrix for the whole flight, the frame
// being inertial. Its Earth-fixed places are the flight's own, the frame
// turned at the model's rotation rate: the ground it flew over, the pad at
// lift-off, where its parts fell. The real Earth turns faster by 1.5e-12
// rad/s and its axis moves by about 1e-11 rad/s: the two part by centimetres
// over the hour of a transfer-orbit ascent.
class Track3d final : public Track {
 public:
  Track3d(const Path3d& p, const Epoch& e) : p_(p) {
    const double c = std::cos(p.world.theta0), s = std::sin(p.world.theta0);
    const Mat3 to_true_of_date = {{{c, -s, 0.0}, {s, c, 0.0}, {0.0, 0.0, 1.0}}};
    const Mat3 to_gcrs = transposed(true_of_date(time_scales(e.day, e.second, p.dut1)));
    to_eme2000_ = times(frame_bias(), times(to_gcrs, to_true_of_date));
  }
  std::size_t size() const override { return p_.states.size(); }
  double time(std::size_t i) const override { return p_.states[i].t; }
  double altitude(std::size_t i) const override { return wgs84_geodetic(fixed(i)).h; }
  State eme2000(std::size_t i) const override {
    return {vec(times(to_eme2000_, p_.states[i].r)), vec(times(to_eme2000_, p_.states[i].v))};
  }
  Geo geographic(std::size_t i) const override { return in_degrees(wgs84_geodetic(fixed(i))); }
  ImpactPoint fall(std::size_t i, const std::string& part, double beta) const override {
    const InertialState& x = p_.states[i];
    return fall_of(p_.world.earth, p_.world.wind, x, x.t, part, beta);
  }
  const std::vector<TrajectoryRecorder::Mark>& marks() const override { return p_.marks; }
  bool cut_short() const override { return p_.cut_short; }
  double cut_at() const override { return p_.cut_at; }
  double dut1() const override { return p_.dut1; }
  const char* flown() const override {
    return "COMMENT Launch trajectory flown by ascent in 3-D over WGS 84 with J2 from the\n"
           "COMMENT launch site, in the true equator and equinox of the epoch.\n";
  }

 private:
  Vec3 fixed(std::size_t i) const { return times(rotation_to_fixed(p_.world.earth, p_.states[i].t), p_.states[i].r); }
  const Path3d& p_;
  Mat3 to_eme2000_;
};

}  // namespace

std::string parse_epoch(std::string_view text, Epoch& out) {
  const std::string form = "'" + std::string(text) + "' is not a UTC time YYYY-MM-DDThh:mm:ss[.ffffff]";
  auto digits = [&](std::size_t at, std::size_t n, int& v) {
    if (at + n > text.size()) return false;
    v = 0;
    for (std::size_t i = at; i < at + n; ++i) {
      if (text[i] < '0' || text[i] > '9') return false;
      v = v * 10 + (text[i] - '0');
    }
    return true;
  };
  int y, mo, d, h, mi, s;
  if (!digits(0, 4, y) || !digits(5, 2, mo) || !digits(8, 2, d) || !digits(11, 2, h) || !digits(14, 2, mi) ||
      !digits(17, 2, s) || text[4] != '-' || text[7] != '-' || text[10] != 'T' || text[13] != ':' ||
      text[16] != ':') {
    return form;
  }
  std::size_t at = 19;
  double fraction = 0;
  if (at < text.size() && text[at] == '.') {
    double scale = 0.1;
    std::size_t n = 0;
    while (++at < text.size() && text[at] >= '0' && text[at] <= '9') {
      fraction += (text[at] - '0') * scale;
      scale /= 10;
      ++n;
    }
    if (n == 0 || n > 6) return form;
  }
  if (at < text.size() && text[at] == 'Z') ++at;
  if (at != text.size()) return form;
  static const int month_days[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  if (y < 1900 || y > 2100) return "epoch '" + std::string(text) + "': the year must be from 1900 to 2100";
  // A leap second is a real UTC time, but the days here are all of 86400 s.
  if (h == 23 && mi == 59 && s == 60) {
    return "epoch '" + std::string(text) + "': leap seconds (23:59:60) are not supported: give 23:59:59.999999 "
           "or the next day's 00:00:00";
  }
  if (mo < 1 || mo > 12 || d < 1 || d > month_days[mo - 1] + (mo == 2 && leap(y)) || h > 23 || mi > 59 || s > 59) {
    return "epoch '" + std::string(text) + "': no such date or time of day";
  }
  out.day = days_from_civil(y, static_cast<unsigned>(mo), static_cast<unsigned>(d));
  out.second = h * 3600.0 + mi * 60.0 + s + fraction;
  return {};
}

std::string epoch_text(const Epoch& epoch) { return instant_text(epoch, 0, false); }

std::string epoch_warning(const Epoch& epoch) {
  const TimeScales t = time_scales(epoch.day, epoch.second, 0);
  if (!t.dubious) return {};
  return "warning: epoch " + instant_text(epoch, 0, false) +
         " is outside the years ERFA's leap-second table vouches for: TT - UTC taken as " +
         fixed_text("%.3f", t.tt_utc) + " s (a second off moves the exported states by under 1 mm)";
}

void TrajectoryRecorder::on_step(const StepRecord& r) {
  // A flight that falls through the ground or is flung off to infinity ends
  // in states that are no numbers, or faster than light, at times that may be
  // no numbers either: they are no place on the globe and no instant. The
  // path ends at the last state that is one.
  if (!(std::isfinite(r.t) && std::fabs(r.t) < max_time && std::isfinite(r.h0) && std::isfinite(r.r0) &&
        std::hypot(r.vx, r.vy) < speed_of_light)) {
    if (!cut_short_) cut_at_ = points_.empty() ? 0 : points_.back().t;
    cut_short_ = true;
    return;
  }
  if (cut_short_) return;  // nothing after the first such state is the flight's
  // A step back: the lines from its time on are flown again.
  while (!points_.empty() && points_.back().t >= r.t) points_.pop_back();
  while (!marks_.empty() && marks_.back().t > r.t) marks_.pop_back();
  points_.push_back({r.t, r.h0, r.r0, r.vx, r.vy});
}

void TrajectoryRecorder::on_event(const FlightEvent& e) {
  std::string label;
  switch (e.kind) {
    case EventKind::pass_start:
      points_.clear();
      marks_.clear();
      cut_short_ = false;
      return;
    case EventKind::pitch_over: label = "pitch-over"; break;
    case EventKind::end_turn: label = "gravity turn"; break;
    case EventKind::booster_separation: label = "booster separation"; break;
    case EventKind::fairing_jettison: label = "fairing jettison"; break;
    case EventKind::acceleration_limit: label = "acceleration limit"; break;
    case EventKind::engine_cutoff: label = "engine cutoff " + std::to_string(static_cast<int>(e.value)); break;
    case EventKind::core_cutoff: label = "core cutoff"; break;
    case EventKind::core_separation: label = "core separation"; break;
    case EventKind::upper_ignition: label = e.name + " ignition"; break;
    case EventKind::upper_cutoff: label = e.name + " cutoff"; break;
    default: return;
  }
  if (cut_short_ || !std::isfinite(e.t)) return;  // an event the path no longer reaches
  marks_.push_back({e.t, std::move(label)});
}

Placement placement_of(const Description& d) {
  const Target& target = d.mission.target;
  const Environment env = make_environment(d);
  return {d.vehicle.name, target.latitude, target.longitude, target.inclination, d.mission.model.dut1, env.Re,
          launch_site_vrot(target, env)};
}

Placement placement_of(const StagedVehicle& v) {
  const StagedMission& m = v.mission;
  const Environment env = make_environment(v.earth, v.atmosphere);
  return {v.name, m.latitude, m.longitude, m.inclination, v.dut1, env.Re, staged_vrot(m, env)};
}

std::vector<Release> releases_of(const TrajectoryRecorder& rec, const ImpactModel& m) {
  std::vector<Release> out;
  for (const auto& mark : rec.marks()) {
    if (mark.label == "booster separation") out.push_back({mark.t, "boosters", m.booster_beta});
    if (mark.label == "core separation") out.push_back({mark.t, "core stage", m.core_beta});
    if (mark.label == "fairing jettison") out.push_back({mark.t, "fairing", m.fairing_beta});
  }
  return out;
}

Impacts impact_points(const TrajectoryRecorder& rec, const Placement& where, const std::vector<Release>& parts,
                      const Epoch& epoch) {
  return impacts_on(PlanarTrack(rec, where, epoch), parts);
}

Impacts impact_points(const TrajectoryRecorder& rec, const Description& d, const Epoch& epoch) {
  return impact_points(rec, placement_of(d), releases_of(rec, d.mission.impact), epoch);
}

std::vector<ImpactPoint> part_impact_points(const TrajectoryRecorder& rec, const Description& d, const Epoch& epoch) {
  return part_impact_points(rec, placement_of(d), releases_of(rec, d.mission.impact), epoch);
}

std::vector<ImpactPoint> part_impact_points(const TrajectoryRecorder& rec, const Placement& where,
                                            const std::vector<Release>& parts, const Epoch& epoch) {
  return impacts_on(PlanarTrack(rec, where, epoch), parts, false).parts;
}

namespace {

std::string text_of(TrajectoryFormat f, const Track& k, const Placement& where, const Impacts& impacts,
                    const Epoch& epoch) {
  switch (f) {
    case TrajectoryFormat::oem: return oem_text(k, where, epoch);
    case TrajectoryFormat::czml: return czml_text(k, where, epoch, impacts);
    case TrajectoryFormat::kml: return kml_text(k, where, epoch, impacts);
  }
  return {};
}

}  // namespace

std::string trajectory_text(TrajectoryFormat f, const TrajectoryRecorder& rec, const Placement& where,
                            const Impacts& impacts, const Epoch& epoch) {
  return text_of(f, PlanarTrack(rec, where, epoch), where, impacts, epoch);
}

std::string trajectory_text(TrajectoryFormat f, const TrajectoryRecorder& rec, const Description& d,
                            const Epoch& epoch) {
  const Placement where = placement_of(d);
  const PlanarTrack k(rec, where, epoch);
  // The OEM holds no impact points: their falls are not flown for it.
  const Impacts impacts = f == TrajectoryFormat::oem ? Impacts{} : impacts_on(k, releases_of(rec, d.mission.impact));
  return text_of(f, k, where, impacts, epoch);
}

void Path3d::on_step(const InertialState& s) {
  // As TrajectoryRecorder::on_step: the path ends at the last state that is
  // a place and an instant.
  const bool place = std::isfinite(s.r[0]) && std::isfinite(s.r[1]) && std::isfinite(s.r[2]);
  if (!(std::isfinite(s.t) && std::fabs(s.t) < TrajectoryRecorder::max_time && place &&
        std::hypot(s.v[0], s.v[1], s.v[2]) < TrajectoryRecorder::speed_of_light)) {
    if (!cut_short) cut_at = states.empty() ? 0 : states.back().t;
    cut_short = true;
    return;
  }
  if (cut_short) return;
  while (!states.empty() && states.back().t >= s.t) states.pop_back();
  states.push_back(s);
}

Impacts impact_points(const Path3d& p, const std::vector<Release>& parts, const Epoch& epoch) {
  return impacts_on(Track3d(p, epoch), parts);
}

std::string trajectory_text(TrajectoryFormat f, const Path3d& p, const Impacts& impacts, const Epoch& epoch) {
  Placement where;
  where.name = p.name;
  return text_of(f, Track3d(p, epoch), where, impacts, epoch);
}

}  // namespace ascent
