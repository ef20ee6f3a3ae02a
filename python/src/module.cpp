// The C++ half of the Python module `ascent`: vehicles, booster profiles, one
// flight and a sweep, each a thin layer over the flight entry point and the
// sweep library. The Python half (python/ascent/__init__.py) shapes the
// results into a Flight, dicts and frames; everything numeric happens here,
// so the numbers are the C++ core's.
#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "io/channel.hpp"
#include "io/cli.hpp"
#include "io/fatal_error.hpp"
#include "io/line_reader.hpp"
#include "io/number_format.hpp"
#include "io/turn_time.hpp"
#include "vehicle/booster_profile.hpp"
#include "session/flight.hpp"
#include "sweep_lib.hpp"
#ifdef HAVE_ASCENT_OPTIMIZE_LIB
#include "optimize_lib.hpp"
#endif
#ifdef HAVE_ASCENT_MC_LIB
#include "mc_lib.hpp"
#endif
#include "report/event_values.hpp"
#include "report/table_recorder.hpp"
#include "report/trajectory_export.hpp"
#include "report/text_report.hpp"
#include "vehicle/description_file.hpp"
#include "vehicle/keys.hpp"
#include "session/session_3d.hpp"
#include "session/staged_session.hpp"
#include "vehicle/staged_file.hpp"
#include "vehicle/vehicle.hpp"
#include "earth/ballistic.hpp"

namespace py = pybind11;
using namespace ascent;

namespace {

// A long study runs without the GIL, where Python cannot act on Ctrl-C. The
// study's progress callback, called on this thread about ten times a second,
// asks Python whether a signal came: its handler raises (KeyboardInterrupt
// for SIGINT), the workers stop after the flights in hand, and the raised
// exception reaches the caller once the GIL is back.
struct PythonSignal {};

std::function<void(std::size_t)> python_signals() {
  return [](std::size_t) {
    py::gil_scoped_acquire gil;
    if (PyErr_CheckSignals() != 0) throw PythonSignal{};
  };
}

// The columns of the step table, in the order of its lines.
constexpr int table_columns = 10;

// A vehicle shared read-only by the flights that use it; with_values makes a
// new one, so a PyVehicle never changes once made.
struct PyVehicle {
  std::shared_ptr<const Description> d;
};

// A booster profile parsed once, with the text it came from so that it can
// travel to another process (a Dask worker) and be parsed there alike.
struct PyProfile {
  std::string text;
  std::string name;
  std::shared_ptr<const BoosterProfile> parsed;
};

PyProfile make_profile(std::string text, const std::string& name) {
  PyProfile p;
  p.parsed = std::make_shared<const BoosterProfile>(parse_profile(text, name));
  p.text = std::move(text);
  p.name = name;
  return p;
}

// A file name as the system will take it. A NUL ends a name early
// ("x.txt\0.oem" would write x.txt), so a name holding one is refused, as
// Python's own open() refuses it.
const std::string& file_name(const std::string& path) {
  if (path.find('\0') != std::string::npos) {
    throw FatalError{exit_usage, py::repr(py::str(path)).cast<std::string>() + ": a file name cannot hold a NUL character"};
  }
  return path;
}

// Reads a profile file, every open and read checked as ascent checks them.
PyProfile read_profile_file(const std::string& path) {
  file_name(path);
  std::string text;
  try {
    text = read_whole_file(path);
  } catch (const FatalError& e) {
    // A missing profile is reported in the words of the core's own reader.
    if (e.code == err_file_not_found) read_profile(path);
    throw;
  }
  return make_profile(std::move(text), path);
}

[[noreturn]] void vehicle_error(const std::string& message) { throw FatalError{err_description, message}; }

// The Python value of one key.
py::object key_object(const Description& d, const Key& k) {
  const Description& m = d;
  switch (k.kind) {
    case KeyKind::real: return py::float_(k.real(m));
    case KeyKind::count: return py::int_(k.count(m));
    case KeyKind::text: return py::str(k.text(m));
    case KeyKind::list: return py::cast(k.list(m));
  }
  return py::none();
}

// A Python number (NumPy's scalars included), not a truth value.
bool is_number(py::handle x) {
  return !py::isinstance<py::bool_>(x) && !py::isinstance<py::str>(x) && PyNumber_Check(x.ptr()) == 1 &&
         !py::isinstance<py::sequence>(x);
}

// Sets one key from a Python value, refusing what the description reader
// would refuse for it.
void set_key(Description& d, const Key& k, py::handle value) {
  const std::string name = k.name;
  switch (k.kind) {
    case KeyKind::real:
    case KeyKind::count: {
      if (!is_number(value)) vehicle_error(name + ": must be a number, got " + py::repr(value).cast<std::string>());
      std::string why = set_key_value(d, k, py::reinterpret_borrow<py::object>(value).cast<double>());
      if (!why.empty()) vehicle_error(name + ": " + why);
      return;
    }
    case KeyKind::text:
      if (!py::isinstance<py::str>(value)) vehicle_error(name + ": must be a string");
      k.text(d) = value.cast<std::string>();
      return;
    case KeyKind::list: {
      if (py::isinstance<py::str>(value) || !py::isinstance<py::sequence>(value)) {
        vehicle_error(name + ": must be a list of numbers");
      }
      std::vector<double> v;
      for (py::handle x : value) {
        if (!is_number(x)) vehicle_error(name + ": must be a list of numbers");
        double xv = py::reinterpret_borrow<py::object>(x).cast<double>();
        std::string why = check_range(k, xv);
        if (!why.empty()) vehicle_error(name + ": " + why);
        v.push_back(xv);
      }
      k.list(d) = std::move(v);
      return;
    }
  }
}

const Key& key_named(const std::string& name) {
  const Key* k = find_key(name);
  if (k == nullptr) vehicle_error(name + ": unknown key");
  return *k;
}

PyVehicle with_values(const PyVehicle& v, const py::dict& values) {
  auto d = std::make_shared<Description>(*v.d);
  for (auto [name, value] : values) {
    if (!py::isinstance<py::str>(name)) vehicle_error("a key must be a string, got " + py::repr(name).cast<std::string>());
    set_key(*d, key_named(name.cast<std::string>()), value);
  }
  // Values that are each in range may still not fit together.
  std::vector<Problem> problems = check_description(*d);
  if (!problems.empty()) vehicle_error(problems.front().key + ": " + problems.front().what);
  return PyVehicle{std::move(d)};
}

py::dict vehicle_dict(const PyVehicle& v) {
  py::dict out;
  for (const Key& k : description_keys()) out[k.name] = key_object(*v.d, k);
  return out;
}

py::list key_names() {
  py::list out;
  for (const Key& k : description_keys()) out.append(k.name);
  return out;
}

// A dict describing every key: unit, meaning, kind and range.
py::dict key_table() {
  py::dict out;
  for (const Key& k : description_keys()) {
    static const char* kinds[] = {"real", "count", "text", "list"};
    py::dict e;
    e["kind"] = kinds[static_cast<int>(k.kind)];
    e["unit"] = k.unit;
    e["meaning"] = k.meaning;
    e["min"] = k.min;
    e["max"] = k.max;
    e["min_excluded"] = k.min_excluded;
    e["optional"] = k.optional;
    out[k.name] = e;
  }
  return out;
}

// The sweep's CSV columns, in order.
const std::vector<std::string>& csv_names() { return summary_columns(); }

// A table's columns, filled row by row with values, never with the text a
// tool writes: `reached` as booleans, `status` as text, every other column
// as doubles, each the value the tool's digits for it read back as.
class Columns {
 public:
  explicit Columns(std::vector<std::string> names) : names_(std::move(names)), numbers_(names_.size()) {}
  // One row: the number columns' values in column order, reached, status.
  void add(const std::vector<double>& numbers, bool reached, const std::string& status) {
    std::size_t k = 0;
    for (std::size_t c = 0; c < names_.size(); ++c) {
      if (names_[c] == "reached" || names_[c] == "status") continue;
      numbers_[c].push_back(numbers.at(k++));
    }
    reached_.push_back(reached ? 1 : 0);
    status_.append(py::str(status));
  }
  py::dict dict() const {
    const std::size_t n = reached_.size();
    py::dict out;
    for (std::size_t c = 0; c < names_.size(); ++c) {
      py::str name(names_[c]);
      if (names_[c] == "reached") {
        py::array_t<bool> a(static_cast<py::ssize_t>(n));
        for (std::size_t r = 0; r < n; ++r) a.mutable_at(r) = reached_[r] != 0;
        out[name] = a;
      } else if (names_[c] == "status") {
        out[name] = n > 0 ? py::array(status_) : py::array(py::dtype("<U1"), 0);
      } else {
        out[name] = py::array_t<double>(static_cast<py::ssize_t>(n), numbers_[c].data());
      }
    }
    return out;
  }

 private:
  std::vector<std::string> names_;
  std::vector<std::vector<double>> numbers_;
  std::vector<char> reached_;
  py::list status_;
};

// A sweep row's number columns as values: whole-kilogram columns rounded
// halves to even as their digits read back, the others exactly, a NaN as the
// "nan" of the row reads back (without a sign); a flight that stopped has NaN
// after its answers.
std::vector<double> row_numbers(const sweep::FlightResult& f, bool iterate) {
  std::vector<double> out;
  for (const SummaryNumber& x : summary_numbers(f.tt, f.alpha, iterate, f.ok, f.record, f.Pqmax, f.amax)) {
    out.push_back(std::isnan(x.value) ? std::nan("") : x.whole ? std::nearbyint(x.value) : x.value);
  }
  return out;
}

// A sweep row's status: ok, or the error that stopped its flight.
std::string row_status(const sweep::FlightResult& f) {
  return f.ok ? std::string("ok") : "error " + std::to_string(f.exit_code) + ": " + f.error;
}

// The columns of a sweep's results, each as ascent-sweep writes it.
py::dict result_columns(const sweep::Plan& plan, const std::vector<sweep::FlightResult>& results) {
  Columns table(csv_names());
  const double target = plan.desc->mission.target.apogee_altitude;
  for (const sweep::FlightResult& f : results) {
    table.add(row_numbers(f, plan.iterate), f.ok && sweep::reached_targets(f.record, target), row_status(f));
  }
  return table.dict();
}

// The flight's events as they are announced: each line the report writes
// for them (a file's report: the summary states the extremes) with the time
// of the step before it, the kind of event and the numbers it carries.
class EventRecorder final : public StepObserver, public EventObserver {
 public:
  py::list events;

  void on_step(const StepRecord& r) override { extremes_.see(r); }
  void on_event(const FlightEvent& e) override {
    lines_.clear();
    event_lines(e, ReportStyle{}, extremes_, lines_);
    if (lines_.empty()) return;
    py::gil_scoped_acquire locked;
    py::dict values;
    for (const auto& [name, v] : event_values(e, extremes_)) {
      std::visit([&, n = name](const auto& x) { values[n] = x; }, v);
    }
    py::str kind = event_kind_name(e.kind);
    for (const std::string& l : lines_) {
      if (l.empty()) continue;
      // The report's signs are single bytes of ISO 8859-1.
      py::str text = py::reinterpret_steal<py::str>(
          PyUnicode_Decode(l.data(), static_cast<py::ssize_t>(l.size()), "latin-1", "replace"));
      events.append(py::make_tuple(e.t, text, kind, values));
    }
  }

 private:
  Extremes extremes_;
  std::vector<std::string> lines_;
};

py::bytes as_bytes(const std::string& s) { return py::bytes(s.data(), s.size()); }

// One flight with the answers given, flown with the GIL released so that
// other Python threads run meanwhile; a fault raises the program's message
// and exit code.
Flight fly_unlocked(double tt, double alpha, bool transfer, bool iterate, const PyVehicle& vehicle,
                    const PyProfile& profile, const FlightOptions& options) {
  FlightAnswers answers;
  answers.tt = tt;
  answers.alpha = alpha;
  answers.transfer = transfer;
  answers.iterate = iterate;
  Flight flight;
  {
    py::gil_scoped_release unlocked;
    flight = fly(*vehicle.d, *profile.parsed, answers, options);
  }
  if (!flight.ok) throw FatalError{flight.exit_code, flight.error};
  return flight;
}

// The step table by columns, each array contiguous, filled in one pass.
py::list table_arrays(const std::vector<double>& rows) {
  const std::size_t n = rows.size() / table_columns;
  py::list columns;
  double* column[table_columns];
  for (int c = 0; c < table_columns; ++c) {
    py::array_t<double> a(static_cast<py::ssize_t>(n));
    column[c] = a.mutable_data();
    columns.append(a);
  }
  const double* v = rows.data();
  for (std::size_t i = 0; i < n; ++i) {
    for (int c = 0; c < table_columns; ++c) column[c][i] = *v++;
  }
  return columns;
}

// The UTC text of an epoch read as `--epoch` reads it; a bad one raises
// the program's usage error.
Epoch epoch_arg(const std::string& text) {
  Epoch epoch;
  if (std::string why = parse_epoch(text, epoch); !why.empty()) throw FatalError{exit_usage, "epoch: " + why};
  return epoch;
}

// A staged description flown in 3-D, launched at the epoch (none: the
// default one, of which ERFA's doubt goes unsaid) as `ascent --vehicle FILE
// --epoch TIME` launches it: the text of its `--json` file, and the warnings
// the program would print before it flies.
py::dict fly_3d_of(const StagedVehicle& v, const std::optional<std::string>& epoch_text) {
  const Epoch epoch = epoch_arg(epoch_text.value_or(default_epoch));
  py::list warnings;
  if (std::string w = epoch_warning(epoch); epoch_text && !w.empty()) warnings.append(w);
  const std::optional<double> change = node_plane_change(v, epoch, v.dut1);
  if (std::string w = node_warning(v, epoch, v.dut1, change); !w.empty()) warnings.append(w);
  Flown3d f;
  Impacts impacts;
  {
    py::gil_scoped_release unlocked;
    f = fly_3d_recorded(v, epoch);
    impacts = impact_points(f.path, f.releases, epoch);
  }
  py::dict out;
  out["dynamics"] = "3d";
  out["json"] = report_3d_json(v, f.result, change, &impacts, &f.lines);
  out["warnings"] = warnings;
  return out;
}

// A staged description's flight (`ascent --vehicle FILE` with [[stage]]
// tables): its events by stage, final orbit, masses and burns, and the step
// table's ten columns as for a classic flight. `text` is the description,
// `name` what its refusals call it.
py::dict fly_staged_text(const std::string& text, const std::string& name, const std::optional<std::string>& epoch) {
  const StagedVehicle v = parse_staged(text, name);
  if (v.dynamics == "3d") return fly_3d_of(v, epoch);
  if (epoch) {
    throw py::value_error("epoch: a planar flight is not launched at a time: only a 3-D one ([model] dynamics = \"3d\")");
  }
  std::vector<double> rows;
  TableRecorder table(rows);
  StagedResult r;
  {
    py::gil_scoped_release unlocked;
    r = fly_staged(v, {&table});
  }
  py::list events;
  for (const StagedEvent& e : r.events) events.append(py::make_tuple(e.t, e.name, e.h, e.v, e.m));
  py::list burns;
  for (const StagedBurn& b : r.burns) {
    py::dict d;
    d["stage"] = b.stage;
    d["t0"] = b.t0;
    d["t1"] = b.t1;
    d["m0"] = b.m0;
    d["m1"] = b.m1;
    d["dv"] = b.dv;
    burns.append(d);
  }
  const TargetApsides target = target_apsides(v.mission, v.earth.radius);
  const double a = (r.hp + r.ha) / 2 + v.earth.radius;
  py::dict orbit;
  orbit["perigee_altitude"] = r.hp;
  orbit["apogee_altitude"] = r.ha;
  orbit["semi_major_axis"] = a;
  orbit["eccentricity"] = (r.ha - r.hp) / (2 * a);
  orbit["perigee_angle"] = r.perigee_angle;
  py::dict out;
  out["vehicle"] = v.name;
  out["reached"] = r.reached;
  out["failure"] = r.failure;
  out["events"] = events;
  out["burns"] = burns;
  out["final_orbit"] = orbit;
  out["target"] = py::make_tuple(target.hp, target.ha);
  out["mass"] = r.mass;
  out["liftoff_mass"] = r.liftoff_mass;
  out["payload_mass"] = v.payload_mass;
  out["t"] = r.t;
  out["steps"] = r.steps;
  out["columns"] = table_arrays(rows);
  return out;
}

// One flight. Returns the step table's ten columns as arrays, the summary row
// (as the sweep writes it), the number of steps, and on request the main
// output, the data files and the events.
py::dict fly_one(double tt, double alpha, bool transfer, bool iterate, const PyVehicle& vehicle,
                 const PyProfile& profile, bool output, bool events) {
  // The rows land in a buffer each thread keeps: its memory is reused, not
  // handed back to the system and faulted in again by every flight.
  thread_local std::vector<double> buffer;
  std::vector<double>* rows = &buffer;
  rows->clear();
  FlightOptions options;
  TableRecorder table(*rows);
  options.step_observers.push_back(&table);
  options.outputs = output ? FlightOutputs::memory : FlightOutputs::none;
  EventRecorder recorder;
  if (events) {
    options.step_observers.push_back(&recorder);
    options.event_observers.push_back(&recorder);
  }
  const Flight flight = fly_unlocked(tt, alpha, transfer, iterate, vehicle, profile, options);

  sweep::Plan plan;
  plan.transfer = transfer;
  plan.iterate = iterate;
  plan.desc = vehicle.d.get();
  plan.profile = profile.parsed.get();
  // The summary from the flight's record, valued as the sweep's row reads
  // back: kilogram columns whole (halves to even), the others exactly.
  const sweep::FlightResult result = sweep::flight_result(flight, tt, alpha);
  const std::vector<double> numbers = row_numbers(result, plan.iterate);
  py::dict summary;
  std::size_t k = 0;
  for (const std::string& name : csv_names()) {
    if (name == "reached") {
      summary[py::str(name)] = py::bool_(sweep::reached_targets(result.record, plan.desc->mission.target.apogee_altitude));
    } else if (name == "status") {
      summary[py::str(name)] = py::str("ok");
    } else {
      summary[py::str(name)] = py::float_(numbers.at(k++));
    }
  }

  py::dict out;
  if (events) out["events"] = recorder.events;
  out["columns"] = table_arrays(*rows);
  out["summary"] = summary;
  out["steps"] = flight.steps;
  if (output) {
    out["output"] = as_bytes(flight.main_text);
    py::dict files;
    files["speed.dat"] = as_bytes(flight.speed);
    files["height.dat"] = as_bytes(flight.height);
    files["accel.dat"] = as_bytes(flight.accel);
    files["dynpres.dat"] = as_bytes(flight.dynpres);
    files["const_n.pas"] = as_bytes(flight.constants);
    out["files"] = files;
  }
  return out;
}

// A flight flown again (the same answers give the same flight) with a
// trajectory recorder, for its path or its impact points at the epoch it
// returns.
Epoch fly_recorded(TrajectoryRecorder& recorder, const std::string& epoch_text, double tt, double alpha, bool transfer,
                   bool iterate, const PyVehicle& vehicle, const PyProfile& profile) {
  const Epoch epoch = epoch_arg(epoch_text);
  FlightOptions options;
  options.step_observers.push_back(&recorder);
  options.event_observers.push_back(&recorder);
  fly_unlocked(tt, alpha, transfer, iterate, vehicle, profile, options);
  return epoch;
}

// Writes a flight's path as `ascent --trajectory` does: the flight is flown
// again (the same answers give the same flight) with a trajectory recorder.
// Returns the warning `ascent` would print about the epoch, or nothing.
std::string export_flight(const std::string& path, const std::string& epoch_text, double tt, double alpha, bool transfer,
                   bool iterate, const PyVehicle& vehicle, const PyProfile& profile) {
  const std::optional<TrajectoryFormat> format = trajectory_format(file_name(path));
  if (!format) throw FatalError{exit_usage, path + ": the name must end in .oem, .czml or .kml"};
  TrajectoryRecorder recorder;
  const Epoch epoch = fly_recorded(recorder, epoch_text, tt, alpha, transfer, iterate, vehicle, profile);
  Channel file;
  file.open_file_replacing(path);
  file.put(trajectory_text(*format, recorder, *vehicle.d, epoch));
  file.close();
  return epoch_warning(epoch);
}

// Where a flight's dropped parts come down and its instantaneous impact
// points, as `ascent --json` holds them (a number that is none, None): the
// flight flown again with a trajectory recorder and placed at the epoch.
py::dict impact_points_of(const std::string& epoch_text, double tt, double alpha, bool transfer, bool iterate,
                          const PyVehicle& vehicle, const PyProfile& profile) {
  TrajectoryRecorder recorder;
  const Epoch epoch = fly_recorded(recorder, epoch_text, tt, alpha, transfer, iterate, vehicle, profile);
  const Impacts impacts = impact_points(recorder, *vehicle.d, epoch);
  auto number = [](double x) { return std::isfinite(x) ? py::object(py::float_(x)) : py::object(py::none()); };
  auto of = [&](const std::vector<ImpactPoint>& points) {
    py::list out;
    for (const ImpactPoint& p : points) {
      py::dict d;
      if (!p.part.empty()) d["part"] = p.part;
      d["t"] = p.t;
      d["impact_lat_deg"] = number(p.lat);
      d["impact_lon_deg"] = number(p.lon);
      d["fall_s"] = number(p.fall);
      if (!p.part.empty()) d["ballistic_coefficient"] = p.beta;
      py::dict release;
      release["lat_deg"] = p.lat0;
      release["lon_deg"] = p.lon0;
      release["alt_m"] = p.alt0;
      py::list v_ned;
      for (double v : p.v_ned) v_ned.append(v);
      release["v_ned"] = v_ned;
      d["release"] = release;
      out.append(d);
    }
    return out;
  };
  py::dict out;
  out["impact_points"] = of(impacts.parts);
  out["instantaneous_impact_points"] = of(impacts.instantaneous);
  return out;
}

// The points of a range "FIRST:LAST:STEP" or "VALUE", as ascent-sweep reads it.
std::vector<double> range_points(const std::string& option, const std::string& text) {
  sweep::Range r;
  std::string error = sweep::parse_range(text, r);
  if (!error.empty()) throw py::value_error(option + ": " + error);
  return sweep::range_values(r);
}

// A grid of flights on `jobs` threads, the GIL released; the columns of
// ascent-sweep's CSV.
py::dict sweep_grid(std::vector<double> tt, std::vector<double> alpha, bool transfer, bool iterate,
                    const PyVehicle& vehicle, const PyProfile& profile, unsigned jobs) {
  sweep::Plan plan;
  plan.tt = std::move(tt);
  plan.alpha = std::move(alpha);
  plan.transfer = transfer;
  plan.iterate = iterate;
  plan.desc = vehicle.d.get();
  plan.profile = profile.parsed.get();
  std::vector<sweep::FlightResult> results;
  if (plan.size() > 0) {
    try {
      py::gil_scoped_release unlocked;
      results = sweep::run_sweep(plan, jobs, python_signals());
    } catch (const PythonSignal&) {
      throw py::error_already_set();
    }
  }
  return result_columns(plan, results);
}

// The flight with which ascent-sweep checks a profile before a grid: the
// shortest one, the shortest turn ascent flies, without the transfer. Raises what stops it.
void probe_profile(double alpha, const PyVehicle& vehicle, const PyProfile& profile) {
  sweep::Plan probe;
  probe.transfer = false;
  probe.desc = vehicle.d.get();
  probe.profile = profile.parsed.get();
  sweep::FlightResult p;
  {
    py::gil_scoped_release unlocked;
    p = sweep::fly(probe, min_turn_time, alpha);
  }
  if (!p.ok) throw FatalError{p.exit_code, p.error + " (the profile cannot carry even a " + shortest_text(min_turn_time) + " s turn)"};
}


#ifdef HAVE_ASCENT_OPTIMIZE_LIB
// The most spacecraft mass on the target orbit, searched as ascent-optimize
// searches it: every flight evaluated as a row of its CSV (ascent-sweep's
// columns, then one per free key), and the index of the best (-1: no flight
// reached the target).
py::dict optimize_study(std::pair<double, double> tt, std::pair<double, double> alpha,
                        const std::vector<std::pair<std::string, std::pair<double, double>>>& free,
                        double tolerance_km, std::size_t max_flights, const std::string& method,
                        const PyVehicle& vehicle, const PyProfile& profile, unsigned jobs) {
  optimize::OptimizeProblem p;
  p.desc = vehicle.d.get();
  p.profile = profile.parsed.get();
  p.tt = {tt.first, tt.second};
  p.alpha = {alpha.first, alpha.second};
  for (const auto& [name, bounds] : free) {
    const Key* k = find_key(name);
    if (k == nullptr) throw py::value_error("free: unknown key '" + name + "'");
    if (k->kind != KeyKind::real && k->kind != KeyKind::count) {
      throw py::value_error("free: " + name + " is not a number (only numeric keys can be set free)");
    }
    if (name == "target.apogee_altitude") {
      throw py::value_error("free: " + name + " is the target the flights are measured against; change it in the vehicle");
    }
    p.free.push_back(optimize::FreeKey{k, {bounds.first, bounds.second}, {}});
  }
  p.tolerance = tolerance_km * 1000;
  p.max_flights = max_flights;
  if (method == "cobyla") {
    p.method = optimize::Method::cobyla;
  } else if (method == "sbplx") {
    p.method = optimize::Method::sbplx_penalty;
  } else if (method == "bobyqa") {
    p.method = optimize::Method::bobyqa_penalty;
  } else {
    throw py::value_error("method: '" + method + "' is not cobyla, sbplx or bobyqa");
  }
  std::string why = optimize::check_problem(p);
  if (!why.empty()) throw py::value_error(why);
  optimize::OptimizeResult r;
  {
    py::gil_scoped_release unlocked;
    r = optimize::optimize(p, jobs);
  }
  // ascent-optimize's columns: the sweep's, then one per free key.
  std::vector<std::string> names = csv_names();
  for (const optimize::FreeKey& f : p.free) names.emplace_back(f.key->name);
  Columns table(names);
  const double target = p.desc->mission.target.apogee_altitude;
  for (const optimize::Evaluation& e : r.evaluations) {
    std::vector<double> numbers = row_numbers(e.flight, false);
    numbers.insert(numbers.end(), e.free_values.begin(), e.free_values.end());
    table.add(numbers, e.flight.ok && sweep::reached_targets(e.flight.record, target, p.tolerance),
              row_status(e.flight));
  }
  py::dict out;
  out["flights"] = table.dict();
  out["best"] = r.best;
  return out;
}
#endif


#ifdef HAVE_ASCENT_MC_LIB
// A dispersions file's text parsed against the nominal vehicle, refused as
// ascent-mc refuses it. No file name: nothing is dispersed.
std::vector<mc::Dispersion> dispersions_of(const std::string& text, const std::string& name, const Description& d) {
  if (name.empty()) return {};
  try {
    return mc::parse_dispersions(text, name, d);
  } catch (const mc::DispersionError& e) {
    throw FatalError{err_description, e.message()};
  }
}

// Runs of a dispersion study, as ascent-mc flies them (shard K of N: the runs
// r with (r - 1) mod N = K - 1), on `jobs` threads: its CSV header and rows,
// in run order.
mc::McProblem mc_problem(double tt, double alpha, bool transfer, bool iterate, const PyVehicle& vehicle,
                         const PyProfile& profile, const std::string& dispersions_text,
                         const std::string& dispersions_name, std::uint64_t seed, std::size_t runs) {
  if (runs > mc::max_runs) throw py::value_error("runs: at most " + std::to_string(mc::max_runs));
  mc::McProblem p;
  p.desc = vehicle.d.get();
  p.profile = profile.parsed.get();
  p.answers.tt = tt;
  p.answers.alpha = alpha;
  p.answers.transfer = transfer;
  p.answers.iterate = iterate;
  p.dispersions = dispersions_of(dispersions_text, dispersions_name, *vehicle.d);
  // As ascent-mc digests the file's text it read; no file, nothing dispersed.
  if (!dispersions_name.empty()) p.dispersions_digest = mc::digest(dispersions_text);
  p.seed = seed;
  p.runs = runs;
  return p;
}

// The line that defines the whole study (shard 1/1), as ascent-mc writes it
// first in its CSV and names it in its JSON.
std::string mc_study_line(double tt, double alpha, bool transfer, bool iterate, const PyVehicle& vehicle,
                          const PyProfile& profile, const std::string& dispersions_text,
                          const std::string& dispersions_name, std::uint64_t seed, std::size_t runs) {
  return mc::study_line(
      mc_problem(tt, alpha, transfer, iterate, vehicle, profile, dispersions_text, dispersions_name, seed, runs));
}

// Runs flown, each as the values of its row: the run and its dispersed
// values, then its outcome (mc_result reads them back in this order).
using RunsFlown = std::vector<std::pair<std::vector<double>, mc::RunOutcome>>;

void keep_run(RunsFlown& runs_flown, const mc::McProblem& p, const mc::RunResult& r) {
  std::vector<double> numbers = {static_cast<double>(r.run)};
  numbers.insert(numbers.end(), r.values.begin(), r.values.end());
  runs_flown.emplace_back(std::move(numbers), mc::run_outcome(p, r.flight));
}

py::list run_rows(const RunsFlown& runs_flown) {
  py::list rows;
  for (const auto& [numbers, o] : runs_flown) {
    rows.append(py::make_tuple(numbers, o.ok, o.reached, o.SC_M, o.hp_final_km, o.ha_final_km, o.core_left_kg,
                               o.max_q_Pa, o.max_accel_ms2, o.status));
  }
  return rows;
}

py::tuple mc_rows(double tt, double alpha, bool transfer, bool iterate, const PyVehicle& vehicle,
                  const PyProfile& profile, const std::string& dispersions_text, const std::string& dispersions_name,
                  std::uint64_t seed, std::size_t runs, unsigned shard, unsigned shards, unsigned jobs) {
  mc::McProblem p = mc_problem(tt, alpha, transfer, iterate, vehicle, profile, dispersions_text, dispersions_name,
                               seed, runs);
  if (shards < 1 || shard < 1 || shard > shards) throw py::value_error("shard: K/N with K from 1 to N");
  p.shard = shard;
  p.shards = shards;
  // Each run as the values of its row, so that they travel between
  // processes (pickled exactly) and are never read back from text.
  RunsFlown runs_flown;
  try {
    py::gil_scoped_release unlocked;
    runs_flown.reserve(mc::shard_runs(p));
    mc::monte_carlo(
        p, jobs, [&](const mc::RunResult& r) { keep_run(runs_flown, p, r); },
        python_signals());
  } catch (const PythonSignal&) {
    throw py::error_already_set();
  }
  return py::make_tuple(mc::csv_columns(p.dispersions), run_rows(runs_flown));
}

// The study with the promise of ascent-mc --promise P --tolerance KM after
// it, as the tool flies them: the nominal flight's SC_M, the study's runs
// (its rows, and the promise's trial at that mass), then the search.
py::tuple mc_promise(double tt, double alpha, bool transfer, bool iterate, const PyVehicle& vehicle,
                     const PyProfile& profile, const std::string& dispersions_text,
                     const std::string& dispersions_name, std::uint64_t seed, std::size_t runs, unsigned jobs,
                     double probability, std::optional<double> tolerance, bool check) {
  const double tolerance_km = tolerance.value_or(mc::reached_band_km);
  if (!(probability > 0 && probability < 1)) {
    throw py::value_error("promise: a share of the runs, above 0 and below 1 (0.99865, say)");
  }
  if (!(tolerance_km > 0 && std::isfinite(tolerance_km))) {
    throw py::value_error("tolerance: a band in km above 0");
  }
  if (runs == 0) throw py::value_error("promise: no runs to promise from");
  const mc::McProblem p = mc_problem(tt, alpha, transfer, iterate, vehicle, profile, dispersions_text,
                                     dispersions_name, seed, runs);
  const auto signals = python_signals();
  const mc::PromiseAsk ask{probability, tolerance_km, check};
  RunsFlown runs_flown;
  mc::Promise promise;
  try {
    py::gil_scoped_release unlocked;
    const std::optional<double> start = mc::promise_start(p, "promise");
    if (!start) throw PythonSignal{};
    mc::RunBrackets known(p.runs);
    runs_flown.reserve(p.runs);
    mc::monte_carlo(
        p, jobs,
        [&](const mc::RunResult& r) {
          keep_run(runs_flown, p, r);
          mc::note_study_run(known, p, ask, *start, r);
        },
        signals);
    promise = mc::find_promise(
        p, ask, *start, jobs, [&signals](std::size_t, double, std::size_t done) { signals(done); }, &known);
  } catch (const PythonSignal&) {
    throw py::error_already_set();
  }
  return py::make_tuple(mc::csv_columns(p.dispersions), run_rows(runs_flown), py::cast(promise));
}

// A study's runs (in run order, each as mc_rows gives it) as columns, and
// its summary as ascent-mc's --json writes it, with the promise when one was
// searched.
py::tuple mc_result(const std::vector<std::string>& names, const py::list& rows,
                    const std::optional<mc::Promise>& promise, const std::string& study_line) {
  Columns table(names);
  mc::SummaryBuilder sb;
  // The dispersed quantities: the columns between run and reached.
  std::vector<mc::Dispersion> quantities;
  for (std::size_t c = 1; c + 8 < names.size(); ++c) {
    quantities.emplace_back();
    quantities.back().name = names[c];
  }
  sb.quantities(quantities);
  for (py::handle row : rows) {
    auto [leading, ok, reached, SC_M, hp, ha, core, max_q, max_accel, status] =
        row.cast<std::tuple<std::vector<double>, bool, bool, double, double, double, double, double, double,
                            std::string>>();
    mc::RunOutcome o{ok, reached, SC_M, hp, ha, core, max_q, max_accel, status};
    sb.add(o);
    std::vector<double> numbers = std::move(leading);
    numbers.insert(numbers.end(), {SC_M, hp, ha, core, max_q, max_accel});
    table.add(numbers, reached, status);
  }
  mc::Summary summary = sb.finish();
  summary.promise = promise;
  summary.study_line = study_line;
  return py::make_tuple(table.dict(), mc::summary_json(summary));
}
#endif

// A ballistic flight from a state given over the ground: the point-mass
// equations over the rotating Earth that impact points fall on.
struct PyTrajectory {
  py::array_t<double> t, lat_deg, lon_deg, alt_m, v_ned;
};

double finite_arg(const char* name, double x) {
  if (!std::isfinite(x)) throw py::value_error(std::string(name) + ": not a finite number");
  return x;
}

WindProfile wind_of(const std::optional<std::vector<std::vector<double>>>& points) {
  WindProfile w;
  if (!points) return w;
  for (const std::vector<double>& p : *points) {
    if (p.size() != 3) throw py::value_error("wind: each point is (altitude m, east m/s, north m/s)");
    w.h.push_back(p[0]);
    w.east.push_back(p[1]);
    w.north.push_back(p[2]);
  }
  const std::string why = w.fault();
  if (!why.empty()) throw py::value_error("wind: " + why);
  return w;
}

PyTrajectory propagate(double lat_deg, double lon_deg, double alt_m, const std::vector<double>& v_ned,
                       double mass_kg, double area_m2, double cd, double duration_s, const std::string& earth,
                       const std::optional<std::vector<std::vector<double>>>& wind, double step_s) {
  finite_arg("lon_deg", lon_deg);
  if (!(std::fabs(lat_deg) <= 90)) throw py::value_error("lat_deg: from -90 to 90");
  if (!(finite_arg("alt_m", alt_m) > -1e5)) throw py::value_error("alt_m: at most 100 km below the ellipsoid");
  if (v_ned.size() != 3) throw py::value_error("v_ned: three speeds, north, east and down (m/s)");
  for (double v : v_ned) finite_arg("v_ned", v);
  if (!(finite_arg("mass_kg", mass_kg) > 0)) throw py::value_error("mass_kg: above 0");
  if (!(finite_arg("area_m2", area_m2) >= 0)) throw py::value_error("area_m2: 0 or more");
  if (!(finite_arg("cd", cd) >= 0)) throw py::value_error("cd: 0 or more");
  if (!(finite_arg("duration_s", duration_s) >= 0)) throw py::value_error("duration_s: 0 or more");
  if (!(finite_arg("step_s", step_s) > 0)) throw py::value_error("step_s: above 0");
  if (duration_s / step_s > 1e7) throw py::value_error("duration_s: more than ten million steps of step_s");
  Spheroid e;
  if (earth == "wgs84") {
    e = wgs84_earth();
  } else if (earth == "round") {
    e = round_earth(authalic_radius);
  } else {
    throw py::value_error("earth: '" + earth + "' is not wgs84 or round");
  }
  const WindProfile w = wind_of(wind);
  const double deg = pi / 180;
  const FallingBody body{area_m2 * cd > 0 ? mass_kg / (area_m2 * cd) : 0.0};
  const InertialState s0 = inertial_of(e, 0.0, {lat_deg * deg, lon_deg * deg, alt_m}, {v_ned[0], v_ned[1], v_ned[2]});
  std::vector<InertialState> path;
  {
    py::gil_scoped_release unlocked;
    path = fly_ballistic(e, body, w, s0, duration_s, step_s, true);
  }
  const auto n = static_cast<py::ssize_t>(path.size());
  PyTrajectory out{py::array_t<double>(n), py::array_t<double>(n), py::array_t<double>(n), py::array_t<double>(n),
                   py::array_t<double>({n, py::ssize_t{3}})};
  auto t = out.t.mutable_unchecked<1>();
  auto lat = out.lat_deg.mutable_unchecked<1>();
  auto lon = out.lon_deg.mutable_unchecked<1>();
  auto alt = out.alt_m.mutable_unchecked<1>();
  auto v = out.v_ned.mutable_unchecked<2>();
  for (py::ssize_t i = 0; i < n; ++i) {
    Geodetic g;
    Vec3 ned;
    ground_of(e, path[static_cast<std::size_t>(i)], g, ned);
    t(i) = path[static_cast<std::size_t>(i)].t;
    lat(i) = g.lat / deg;
    lon(i) = g.lon / deg;
    alt(i) = g.h;
    for (py::ssize_t j = 0; j < 3; ++j) v(i, j) = ned[static_cast<std::size_t>(j)];
  }
  return out;
}

}  // namespace

PYBIND11_MODULE(_ascent, m) {
  m.doc() = "The C++ core of ascent: vehicles, booster profiles, flights and sweeps.";

  // A fault the program would stop on becomes ascent.AscentError, carrying
  // the program's message and exit code.
  py::register_exception_translator([](std::exception_ptr p) {
    try {
      if (p) std::rethrow_exception(p);
    } catch (const FatalError& e) {
      py::object cls = py::module_::import("ascent").attr(e.code == err_description ? "VehicleError" : "AscentError");
      py::object err = cls(e.message, e.code);
      PyErr_SetObject(cls.ptr(), err.ptr());
    }
  });

  py::class_<PyVehicle>(m, "Vehicle")
      .def(py::init([] { return PyVehicle{std::make_shared<const Description>(builtin_description())}; }))
      .def("with_values", &with_values, py::arg("values"))
      .def("to_dict", &vehicle_dict)
      .def("__getitem__", [](const PyVehicle& v, const std::string& name) {
        const Key* k = find_key(name);
        if (k == nullptr) throw py::key_error(name);
        return key_object(*v.d, *k);
      })
      .def("__eq__", [](const PyVehicle& a, const PyVehicle& b) {
        return vehicle_dict(a).equal(vehicle_dict(b));
      })
      .def_property_readonly("origin", [](const PyVehicle& v) { return v.d->origin; })
      // Pickled as its values (every double exactly), for Dask's workers.
      .def(py::pickle([](const PyVehicle& v) { return py::make_tuple(vehicle_dict(v), v.d->origin); },
                      [](const py::tuple& state) {
                        auto d = std::make_shared<Description>(builtin_description());
                        for (auto [name, value] : state[0].cast<py::dict>()) {
                          set_key(*d, key_named(name.cast<std::string>()), value);
                        }
                        d->origin = state[1].cast<std::string>();
                        return PyVehicle{std::move(d)};
                      }));

  py::class_<PyProfile>(m, "Profile")
      .def_static("read", &read_profile_file, py::arg("path"))
      .def_static("from_text", [](py::bytes text, const std::string& name) {
        return make_profile(std::string(text), name);
      }, py::arg("text"), py::arg("name"))
      .def_property_readonly("name", [](const PyProfile& p) { return p.name; })
      .def_property_readonly("text", [](const PyProfile& p) { return as_bytes(p.text); })
      .def_property_readonly("points", [](const PyProfile& p) { return p.parsed->t.size(); })
      // Pickled as its text, parsed again where it lands.
      .def(py::pickle([](const PyProfile& p) { return py::make_tuple(as_bytes(p.text), p.name); },
                      [](const py::tuple& state) {
                        return make_profile(state[0].cast<std::string>(), state[1].cast<std::string>());
                      }));

  m.def("read_vehicle", [](const std::string& path) {
    return PyVehicle{std::make_shared<const Description>(read_description(file_name(path)))};
  }, py::arg("path"));
  m.def("vehicle_profile_path", [](const PyVehicle& v) { return resolved_profile_path(*v.d); });
  m.def("vehicle_text", [](const PyVehicle& v) { return write_description(*v.d, true); });
  m.def("read_text", [](const std::string& path) { return as_bytes(read_whole_file(file_name(path))); },
        py::arg("path"));
  m.def("key_names", &key_names);
  m.def("key_table", &key_table);
  m.def("csv_columns", &csv_names);
  m.def("range_points", &range_points, py::arg("option"), py::arg("text"));
  m.def("fly", &fly_one, py::arg("tt"), py::arg("alpha"), py::arg("transfer"), py::arg("iterate"),
        py::arg("vehicle"), py::arg("profile"), py::arg("output"), py::arg("events"));
  m.def("impact_points", &impact_points_of, py::arg("epoch"), py::arg("tt"), py::arg("alpha"), py::arg("transfer"),
        py::arg("iterate"), py::arg("vehicle"), py::arg("profile"));
  m.def("fly_staged", &fly_staged_text, py::arg("text"), py::arg("name"), py::arg("epoch") = std::nullopt);
  m.def("is_staged_text", [](const std::string& text) { return is_staged_text(text); });
  m.def("export_flight", &export_flight, py::arg("path"), py::arg("epoch"), py::arg("tt"), py::arg("alpha"),
        py::arg("transfer"), py::arg("iterate"), py::arg("vehicle"), py::arg("profile"));
  m.def("sweep", &sweep_grid, py::arg("tt"), py::arg("alpha"), py::arg("transfer"), py::arg("iterate"),
        py::arg("vehicle"), py::arg("profile"), py::arg("jobs"));
  m.def("probe_profile", &probe_profile, py::arg("alpha"), py::arg("vehicle"), py::arg("profile"));
#ifdef HAVE_ASCENT_OPTIMIZE_LIB
  m.def("optimize", &optimize_study, py::arg("tt"), py::arg("alpha"), py::arg("free"), py::arg("tolerance_km"),
        py::arg("max_flights"), py::arg("method"), py::arg("vehicle"), py::arg("profile"), py::arg("jobs"));
#endif
#ifdef HAVE_ASCENT_MC_LIB
  m.def("mc_rows", &mc_rows, py::arg("tt"), py::arg("alpha"), py::arg("transfer"), py::arg("iterate"),
        py::arg("vehicle"), py::arg("profile"), py::arg("dispersions_text"), py::arg("dispersions_name"),
        py::arg("seed"), py::arg("runs"), py::arg("shard"), py::arg("shards"), py::arg("jobs"));
  m.def("mc_result", &mc_result, py::arg("header"), py::arg("rows"), py::arg("promise") = std::nullopt,
        py::arg("study_line") = std::string());
  m.def("mc_study_line", &mc_study_line, py::arg("tt"), py::arg("alpha"), py::arg("transfer"), py::arg("iterate"),
        py::arg("vehicle"), py::arg("profile"), py::arg("dispersions_text"), py::arg("dispersions_name"),
        py::arg("seed"), py::arg("runs"));
  py::class_<mc::Promise>(m, "_Promise");
  m.def("mc_promise", &mc_promise, py::arg("tt"), py::arg("alpha"), py::arg("transfer"), py::arg("iterate"),
        py::arg("vehicle"), py::arg("profile"), py::arg("dispersions_text"), py::arg("dispersions_name"),
        py::arg("seed"), py::arg("runs"), py::arg("jobs"), py::arg("probability"), py::arg("tolerance_km") = std::nullopt,
        py::arg("check") = false);
#endif
  py::class_<PyTrajectory>(m, "Trajectory")
      .def_readonly("t", &PyTrajectory::t)
      .def_readonly("lat_deg", &PyTrajectory::lat_deg)
      .def_readonly("lon_deg", &PyTrajectory::lon_deg)
      .def_readonly("alt_m", &PyTrajectory::alt_m)
      .def_readonly("v_ned", &PyTrajectory::v_ned);
  m.def("propagate", &propagate, py::arg("lat_deg"), py::arg("lon_deg"), py::arg("alt_m"), py::arg("v_ned"),
        py::arg("mass_kg"), py::arg("area_m2"), py::arg("cd"), py::arg("duration_s"), py::arg("earth") = "wgs84",
        py::arg("wind") = std::nullopt, py::arg("step_s") = 0.1,
        "A ballistic flight from a state given over the ground (see docs/python.md).");
  m.attr("version") = cli::version();
  // The shortest turn time ascent flies (s): the package's own checks read it.
  m.attr("min_turn_time") = min_turn_time;
  m.attr("table_columns") = py::make_tuple("t", "a", "vi", "h0", "r0", "alpha", "beta", "theta", "Pq", "m");
}
