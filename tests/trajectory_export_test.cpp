// The exported orbit ephemeris, read back as text by a reader of its own:
// from the edge of space on every state lies at the table's altitude and
// speed, every velocity is the rate of the positions, the orbit it ends on
// has the target inclination over the true equator of date (ERFA's IAU
// 2006/2000A matrix), and the pad turns with the Earth rotation angle.
// python/tests/test_export.py holds the states to an independent reduction.
#include <erfa.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <sstream>
#include <string>
#include <vector>

#include "report/table_recorder.hpp"
#include "report/trajectory_export.hpp"
#include "session/flight.hpp"
#include "session/staged_session.hpp"
#include "vehicle/description_file.hpp"
#include "vehicle/staged_file.hpp"
#include "test_support.hpp"

namespace ascent {
namespace {

constexpr double radius = 6378165.0;  // m, the model's sphere (docs/model.md)
constexpr double deg = 180 / 3.14159265358979323846;

struct OemState {
  double t;        // s after the epoch's midnight
  double r[3], v[3];  // m, m/s
};

struct Oem {
  std::string version, frame, start, stop;
  std::vector<OemState> states;
};

// A KVN reader: KEY = VALUE lines up to META_STOP, then data lines
// "YYYY-MM-DDThh:mm:ss.ffffff x y z vx vy vz" in km and km/s.
Oem read_oem(const std::string& text) {
  Oem o;
  std::istringstream in(text);
  std::string line;
  bool data = false;
  while (std::getline(in, line)) {
    if (line.empty() || line.rfind("COMMENT", 0) == 0) continue;
    if (line == "META_STOP") {
      data = true;
    } else if (!data) {
      std::size_t eq = line.find(" = ");
      if (eq == std::string::npos) continue;
      std::string key = line.substr(0, eq), value = line.substr(eq + 3);
      if (key == "CCSDS_OEM_VERS") o.version = value;
      if (key == "REF_FRAME") o.frame = value;
      if (key == "START_TIME") o.start = value;
      if (key == "STOP_TIME") o.stop = value;
    } else {
      OemState s{};
      std::istringstream f(line);
      std::string epoch;
      f >> epoch;
      s.t = std::stod(epoch.substr(11, 2)) * 3600 + std::stod(epoch.substr(14, 2)) * 60 + std::stod(epoch.substr(17));
      for (double& x : s.r) f >> x, x *= 1000;
      for (double& x : s.v) f >> x, x *= 1000;
      EXPECT_FALSE(f.fail()) << line;
      o.states.push_back(s);
    }
  }
  return o;
}

double norm(const double* a) { return std::sqrt(a[0] * a[0] + a[1] * a[1] + a[2] * a[2]); }

struct Flown {
  std::vector<double> table;  // ten columns a line: t a vi h0 r0 ...
  Oem oem;
};

Oem export_oem(const TrajectoryRecorder& rec, const Description& d, const char* epoch) {
  Epoch e;
  EXPECT_EQ(parse_epoch(epoch, e), "");
  return read_oem(trajectory_text(TrajectoryFormat::oem, rec, d, e));
}

Flown fly_and_export(const Description& d, const BoosterProfile& p, double tt, double alpha, const char* epoch,
                     TrajectoryRecorder& rec) {
  FlightAnswers a;
  a.tt = tt;
  a.alpha = alpha;
  Flown f;
  TableRecorder table(f.table);
  FlightOptions o;
  o.step_observers = {&table, &rec};
  o.event_observers = {&rec};
  Flight flight = fly(d, p, a, o);
  EXPECT_TRUE(flight.ok) << flight.error;
  f.oem = export_oem(rec, d, epoch);
  return f;
}

TEST(TrajectoryExport, FromSpaceOnEveryStateIsTheTablesAndTheOrbitHasTheTargetInclination) {
  const std::string src = ASCENT_SOURCE_DIR;
  for (const test::BundledFlight& c : test::readme_flights) {
    SCOPED_TRACE(c.description);
    const Description d = read_description(src + c.description);
    TrajectoryRecorder rec;
    const Flown f = fly_and_export(d, read_profile(src + c.profile), c.tt, c.alpha, "2027-01-01T00:00:00", rec);
    EXPECT_EQ(f.oem.version, "2.0");
    EXPECT_EQ(f.oem.frame, "EME2000");
    EXPECT_EQ(f.oem.start, "2027-01-01T00:00:00.000000");
    ASSERT_GT(f.oem.states.size(), 100u);
    std::size_t row = 0, in_space = 0;
    const std::size_t rows = f.table.size() / 10;
    for (std::size_t i = 0; i < f.oem.states.size(); ++i) {
      const OemState& s = f.oem.states[i];
      if (i > 0) {
        const OemState& b = f.oem.states[i - 1];
        ASSERT_GT(s.t, b.t);
        // The velocity is the rate of the positions (the trapezoid rule over
        // a step; shorter steps leave the millimetres of the file to noise).
        if (s.t - b.t > 0.1) {
          double gap = 0;
          for (int k = 0; k < 3; ++k) {
            gap = std::max(gap, std::fabs((s.r[k] - b.r[k]) / (s.t - b.t) - (s.v[k] + b.v[k]) / 2));
          }
          EXPECT_LT(gap, 0.5) << "t = " << s.t;
        }
      }
      // The table line of that time; after a step back, the last of them.
      while (row < rows && f.table[row * 10] < s.t - 5e-7) ++row;
      std::size_t last = row;
      for (std::size_t k = row; k < rows; ++k) {
        if (std::fabs(f.table[k * 10] - s.t) < 5e-7) last = k;
      }
      ASSERT_LT(last, rows);
      ASSERT_NEAR(f.table[last * 10], s.t, 5e-7);
      if (f.table[last * 10 + 3] < 100000) continue;  // below, the pad's ellipsoid fades into the sphere
      ++in_space;
      EXPECT_NEAR(norm(s.r) - radius, f.table[last * 10 + 3], 1.0) << "t = " << s.t;
      EXPECT_NEAR(norm(s.v), f.table[last * 10 + 2], 0.01) << "t = " << s.t;
    }
    EXPECT_GT(in_space, f.oem.states.size() / 2);
    EXPECT_NEAR(f.oem.states.back().t, f.table[(rows - 1) * 10], 5e-7);
    // The angular momentum of the last state: the orbit's plane, turned from
    // EME2000 to the true equator and equinox of the epoch (TT = UTC +
    // 69.184 s: 37 leap seconds and TT - TAI).
    const OemState& s = f.oem.states.back();
    const double h[3] = {s.r[1] * s.v[2] - s.r[2] * s.v[1], s.r[2] * s.v[0] - s.r[0] * s.v[2],
                         s.r[0] * s.v[1] - s.r[1] * s.v[0]};
    double rb[3][3], rp[3][3], rbp[3][3], rnpb[3][3];
    eraBp06(2451545, 0, rb, rp, rbp);
    eraPnm06a(2461406.5, 69.184 / 86400, rnpb);
    double z = 0;  // the z of (rnpb rb^T) h
    for (int k = 0; k < 3; ++k) z += (rnpb[2][0] * rb[k][0] + rnpb[2][1] * rb[k][1] + rnpb[2][2] * rb[k][2]) * h[k];
    EXPECT_NEAR(std::acos(z / norm(h)) * deg, d.mission.target.inclination, 1e-6);
  }
}

TEST(TrajectoryExport, ThePadTurnsWithTheEarthRotationAngle) {
  // At 2000-01-01 12:00 UT1 (UTC, DUT1 = 0) the Earth rotation angle is
  // 2 pi 0.7790572732640 (IERS Conventions 2010, 5.4.2): the pad's right
  // ascension is that plus its longitude, its declination its geocentric
  // latitude on WGS 84 (tan phi_c = (1 - f)^2 tan phi), both to the few
  // arcseconds by which the pole of date stands off the GCRS's (nutation,
  // frame bias). One turn of that angle later the pad is back to within the
  // precession of a day; a DUT1 of 0.5 s turns it 0.5 s of the angle's rate
  // further east.
  Description d = builtin_description();
  d.mission.target.longitude = -80.6;
  TrajectoryRecorder rec;
  const Oem a = fly_and_export(d, read_profile(std::string(ASCENT_SOURCE_DIR).append("/data/s1.dat")), 36, 18,
                               "2000-01-01T12:00:00Z", rec)
                    .oem;
  const Oem b = export_oem(rec, d, "2000-01-02T11:56:04.090538Z");  // 86400 / 1.00273781191135448 s later
  d.mission.model.dut1 = 0.5;
  const Oem c = export_oem(rec, d, "2000-01-01T12:00:00Z");
  ASSERT_FALSE(a.states.empty());
  auto ra = [](const Oem& o) { return std::atan2(o.states.front().r[1], o.states.front().r[0]) * deg; };
  const double f = 1 / 298.257223563;
  const double lat_c = std::atan((1 - f) * (1 - f) * std::tan(28.45 / deg)) * deg;
  EXPECT_NEAR(std::remainder(ra(a) - (360 * 0.7790572732640 - 80.6), 360), 0, 0.005);
  EXPECT_NEAR(std::asin(a.states.front().r[2] / norm(a.states.front().r)) * deg, lat_c, 0.005);
  EXPECT_NEAR(std::remainder(ra(b) - ra(a), 360), 0, 1e-4);
  EXPECT_NEAR(std::remainder(ra(c) - ra(a), 360), 0.5 * 7.292115146706979e-5 * deg, 1e-6);
}

// A staged flight exported: its last state's osculating apsides, from the
// position and velocity by vis-viva and the angular momentum, are the ones
// the flight reports; every event is a placemark under its own name; each
// dropped part falls from the altitude of its event.
TEST(TrajectoryExport, AStagedFlightEndsOnItsReportedOrbitWithItsEventsNamed) {
  const std::string src = ASCENT_SOURCE_DIR;
  for (const char* file : {"/vehicles/corvane_leo.toml", "/vehicles/delta3_gto.toml"}) {
    SCOPED_TRACE(file);
    const StagedVehicle v = parse_staged(test::read_file(src + file), file);
    const StagedFlown f = fly_staged_recorded(v);
    ASSERT_TRUE(f.result.reached) << f.result.failure;
    Epoch e;
    ASSERT_EQ(parse_epoch(default_epoch, e), "");
    const Placement where = placement_of(v);
    const Impacts impacts = impact_points(f.path, where, f.releases, e);
    const Oem oem = read_oem(trajectory_text(TrajectoryFormat::oem, f.path, where, impacts, e));
    ASSERT_FALSE(oem.states.empty());
    const OemState& s = oem.states.back();
    const double r = norm(s.r), v2 = norm(s.v) * norm(s.v), mu = v.earth.mu;
    const double h[3] = {s.r[1] * s.v[2] - s.r[2] * s.v[1], s.r[2] * s.v[0] - s.r[0] * s.v[2],
                         s.r[0] * s.v[1] - s.r[1] * s.v[0]};
    const double a = 1 / (2 / r - v2 / mu), ecc = std::sqrt(1 - norm(h) * norm(h) / (mu * a));
    EXPECT_NEAR(a * (1 - ecc) - v.earth.radius, f.result.hp, 1.0);
    EXPECT_NEAR(a * (1 + ecc) - v.earth.radius, f.result.ha, 1.0);
    const std::string kml = trajectory_text(TrajectoryFormat::kml, f.path, where, impacts, e);
    for (const StagedEvent& ev : f.result.events) {
      EXPECT_NE(kml.find("<Placemark><name>" + ev.name + "</name>"), std::string::npos) << ev.name;
    }
    ASSERT_EQ(impacts.parts.size(), f.result.drops.size());
    for (std::size_t i = 0; i < impacts.parts.size(); ++i) {
      const StagedDrop& d = f.result.drops[i];
      EXPECT_EQ(d.what.rfind(impacts.parts[i].part + ": ", 0), 0u) << d.what;
      EXPECT_DOUBLE_EQ(impacts.parts[i].t, d.t);
      // Above the ellipsoid rather than the model's sphere: apart by less
      // than the sphere stands above the site (some 5 km at 28.5 deg).
      const auto ev = std::find_if(f.result.events.begin(), f.result.events.end(),
                                   [&](const StagedEvent& x) { return x.name == d.what; });
      ASSERT_NE(ev, f.result.events.end());
      EXPECT_NEAR(impacts.parts[i].alt0, ev->h, 6000.0) << d.what;
    }
    EXPECT_FALSE(impacts.instantaneous.empty());
  }
}

TEST(TrajectoryExport, EpochsAndNamesAreCheckedBeforeAnythingIsWritten) {
  // Days from 1970-01-01 by hand: 30 years with 7 leap days to 2000, then
  // 27 with 7 (2000 ... 2024) to 2027; 2024-02-29 is day 59 of a leap year.
  struct Good {
    const char* text;
    long long day;
    double second;
  };
  const Good good[] = {{"2000-01-01T12:00:00", 10957, 43200},
                       {"2027-01-01T00:00:00", 20819, 0},
                       {"2024-02-29T23:59:59.25Z", 19782, 86399.25}};
  for (const Good& g : good) {
    Epoch e;
    EXPECT_EQ(parse_epoch(g.text, e), "") << g.text;
    EXPECT_EQ(e.day, g.day) << g.text;
    EXPECT_DOUBLE_EQ(e.second, g.second) << g.text;
  }
  for (const char* bad : {"2027-01-01", "2027-01-01 00:00:00", "2027-13-01T00:00:00", "2023-02-29T00:00:00",
                          "2027-01-01T24:00:00", "2027-01-01T00:60:00", "2027-01-01T00:00:60", "2027-01-01T00:00:00.",
                          "2027-01-01T00:00:00.1234567", "1899-12-31T00:00:00", "2027-01-01T00:00:00+01:00", ""}) {
    Epoch e;
    EXPECT_NE(parse_epoch(bad, e), "") << bad;
  }
  // ERFA's leap-second table vouches for TAI - UTC from 1960 to some
  // years past its release: before and far after, the export warns.
  const std::pair<const char*, bool> warns[] = {
      {"1950-06-01T00:00:00", true}, {"2015-06-01T00:00:00", false}, {"2099-06-01T00:00:00", true}};
  for (const auto& [text, warned] : warns) {
    Epoch e;
    ASSERT_EQ(parse_epoch(text, e), "");
    const std::string w = epoch_warning(e);
    EXPECT_EQ(!w.empty(), warned) << text;
    if (warned) {
      EXPECT_NE(w.find(std::string(text) + ".000000"), std::string::npos) << w;
    }
  }
  EXPECT_EQ(trajectory_format("a/b.OEM"), TrajectoryFormat::oem);
  EXPECT_EQ(trajectory_format("flight.czml"), TrajectoryFormat::czml);
  EXPECT_EQ(trajectory_format("flight.kml"), TrajectoryFormat::kml);
  for (const char* bad : {"flight.txt", "flight", "dir.kml/flight", "flight.oem.bak"}) {
    EXPECT_FALSE(trajectory_format(bad).has_value()) << bad;
  }
}

}  // namespace
}  // namespace ascent
