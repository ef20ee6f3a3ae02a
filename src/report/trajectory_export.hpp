// The flight's path for other tools: `ascent --trajectory FILE` and Python's
// Flight.export write the last flight of the session as a CCSDS orbit
// ephemeris (.oem, KVN, EME2000), a Cesium document (.czml, Earth-fixed) or a
// Google Earth track (.kml, geodetic). The planar flight is computed in a
// plane; here that plane is placed on the globe: through the launch site
// (target.latitude, target.longitude, on WGS 84) at the epoch, at the azimuth
// of the target inclination, through ERFA's time scales and Earth orientation
// (earth/frames.hpp). A 3-D flight is on the globe already (Path3d below).
// docs/model.md gives the frames and what they leave out.
#pragma once
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "phases/flight_3d.hpp"
#include "phases/flight_events.hpp"
#include "trajectory/step_record.hpp"
#include "vehicle/staged.hpp"
#include "vehicle/vehicle.hpp"

namespace ascent {

enum class TrajectoryFormat { oem, czml, kml };

// The format a file's extension names (.oem, .czml, .kml, in any case), or
// nothing.
std::optional<TrajectoryFormat> trajectory_format(std::string_view path);

// A UTC instant: whole days since 1970-01-01 and seconds into the day.
struct Epoch {
  long long day = 0;
  double second = 0;
};

constexpr const char* default_epoch = "2027-01-01T00:00:00";

// Reads YYYY-MM-DDThh:mm:ss with up to six decimals of the second and an
// optional Z (years 1900 to 2100, no leap second). Empty on success,
// otherwise what is wrong with the text.
std::string parse_epoch(std::string_view text, Epoch& out);
// The epoch as parse_epoch reads it, to the microsecond:
// 2027-01-01T00:00:00.000000. Two spellings of one instant give one text.
std::string epoch_text(const Epoch& epoch);

// A line for standard error when ERFA's leap-second table does not vouch for
// TT - UTC at the epoch (before 1960, or years past the table's release),
// otherwise empty. The export goes on: TT only dates the precession and
// nutation, which move a second's error by under a millimetre.
std::string epoch_warning(const Epoch& epoch);

// Follows a flight and keeps what an export needs: the table's lines in
// time order and the events that happen at a place. Steps back to a
// threshold replace the lines they go back over, as the table's later lines
// do; a new booster-and-core pass (a series, or the session's next flight)
// starts the record afresh, so that it holds the last flight as flown.
class TrajectoryRecorder final : public StepObserver, public EventObserver {
 public:
  struct Point {
    double t, h0, r0, vx, vy;  // s, m, m, m/s, m/s: as in StepRecord
  };
  struct Mark {
    double t;           // s, time of the step the event came after
    std::string label;  // "booster separation", "engine cutoff 3"
  };

  void on_step(const StepRecord& r) override;
  void on_event(const FlightEvent& e) override;

  // An event of a flight that tells its events apart from its steps (the
  // staged flight's, by stage), after the steps that lead to it.
  void add_mark(double t, std::string label) { marks_.push_back({t, std::move(label)}); }

  const std::vector<Point>& points() const { return points_; }
  const std::vector<Mark>& marks() const { return marks_; }
  // The flight reached states that are no place or instant (not finite,
  // faster than light, or at a time beyond max_time): the points end at the
  // last one before, at time cut_at().
  bool cut_short() const { return cut_short_; }
  double cut_at() const { return cut_at_; }

  // s: a flight time beyond which no state is exported (some three centuries:
  // every date stays a four-digit year).
  static constexpr double max_time = 1e10;
  static constexpr double speed_of_light = 299792458;  // m/s

 private:
  std::vector<Point> points_;
  std::vector<Mark> marks_;
  bool cut_short_ = false;
  double cut_at_ = 0;  // s
};

// Where the flight's dropped parts come down, and its instantaneous impact
// point (where it would come down were the thrust cut then, in a vacuum),
// geodetic on WGS 84. Each release state is placed on the globe as the
// exports place it and falls on the 3-D point-mass equations over the
// rotating Earth with J2 (earth/ballistic.hpp): the parts through the air with
// the ballistic coefficients of [impact], the instantaneous point without it.
struct ImpactPoint {
  std::string part;     // "boosters", "core stage", "fairing"; empty for the instantaneous point
  double t;             // s, flight time of the release
  double lat, lon;      // deg, geodetic place of the impact
  double fall;          // s, time from the release to the impact
  double lat0, lon0;    // deg, geodetic place of the release
  double alt0;          // m, above the ellipsoid
  double v_ned[3];      // m/s, north, east and down speeds over the ground at the release
  double beta;          // kg/m^2, the ballistic coefficient of the fall (0: none)
};
struct Impacts {
  std::vector<ImpactPoint> parts;
  // Every 10 s from lift-off while the flight would fall back to the ground.
  std::vector<ImpactPoint> instantaneous;
};

// What places a flight's plane on the globe: the vehicle's name, the launch
// site, the target's inclination, UT1 - UTC, and the model's sphere and the
// rotation credit its ground range is reckoned with.
struct Placement {
  std::string name;
  double latitude = 0, longitude = 0;  // deg, geodetic, east
  double inclination = 0;              // deg
  double dut1 = 0;                     // s
  double Re = 0;                       // m
  double vrot = 0;                     // m/s
};
Placement placement_of(const Description& d);
Placement placement_of(const StagedVehicle& v);

// A part that leaves the stack: when, what it is, and how the air takes it.
struct Release {
  double t;          // s, flight time of the event that drops it
  std::string part;  // "boosters", "first stage", ...
  double beta;       // kg/m^2
};
// The classic flight's parts, from its recorded events: the boosters, the
// core stage and the fairing, with the ballistic coefficients of [impact].
std::vector<Release> releases_of(const TrajectoryRecorder& rec, const ImpactModel& m);

Impacts impact_points(const TrajectoryRecorder& rec, const Description& d, const Epoch& epoch);
Impacts impact_points(const TrajectoryRecorder& rec, const Placement& where, const std::vector<Release>& parts,
                      const Epoch& epoch);
// The dropped parts alone, as impact_points gives them, without the cost of
// the instantaneous points (the dispersion study's footprints).
std::vector<ImpactPoint> part_impact_points(const TrajectoryRecorder& rec, const Description& d, const Epoch& epoch);
std::vector<ImpactPoint> part_impact_points(const TrajectoryRecorder& rec, const Placement& where,
                                            const std::vector<Release>& parts, const Epoch& epoch);

// The file's text: the recorded flight of the vehicle `d` placed on the globe
// with its first line at `epoch`.
std::string trajectory_text(TrajectoryFormat f, const TrajectoryRecorder& rec, const Description& d,
                            const Epoch& epoch);
// The same for any flight placed by `where`, the parts' falls given.
std::string trajectory_text(TrajectoryFormat f, const TrajectoryRecorder& rec, const Placement& where,
                            const Impacts& impacts, const Epoch& epoch);

// A flight flown in three dimensions ([model] dynamics = "3d"), as the
// exports take it: its states step by step in its inertial frame (the
// Earth-fixed one at lift-off, flight_3d.hpp), its events by name, and the
// world it flew over (its Earth, winds and theta0). Its OEM is that frame
// turned to EME2000 through the true equator and equinox of the epoch; its
// Earth-fixed places and its parts' falls are the flight's own.
struct Path3d {
  std::string name;
  World3d world;
  double dut1 = 0;  // s, UT1 - UTC at the launch
  std::vector<InertialState> states;
  std::vector<TrajectoryRecorder::Mark> marks;
  bool cut_short = false;  // as TrajectoryRecorder's
  double cut_at = 0;       // s
  // A step's state (a Step3dObserver's); a step back replaces the states it
  // goes back over.
  void on_step(const InertialState& s);
};
// `epoch` is the one the flight was launched at (its world's theta0).
Impacts impact_points(const Path3d& p, const std::vector<Release>& parts, const Epoch& epoch);
std::string trajectory_text(TrajectoryFormat f, const Path3d& p, const Impacts& impacts, const Epoch& epoch);

}  // namespace ascent
