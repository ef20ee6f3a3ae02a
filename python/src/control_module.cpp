// The optimal ascent from Python: the extension `ascent._control`, apart from
// `_ascent` because it links IPOPT and its sparse solvers, whose loading would
// otherwise be paid by every `import ascent`. `ascent.optimal_control` imports
// it on its first call. The numbers are ascent-control's: the same study,
// solve, replay and JSON.
#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>

#include <string>

#include "study.hpp"
#include "io/exit_codes.hpp"
#include "io/fatal_error.hpp"

namespace py = pybind11;
using namespace ascent;
using namespace ascent::control;

namespace {

constexpr double deg = 180 / 3.14159265358979323846;

// The steering table, one array a column, in the columns of ascent-control's CSV.
py::dict steering_columns(const Solution& s, const Problem& p) {
  const py::ssize_t n = py::ssize_t(s.points.size());
  py::array_t<double> t(n), pitch(n), h(n), vx(n), vy(n), m(n);
  py::array_t<int> phase(n);
  for (py::ssize_t i = 0; i < n; ++i) {
    const Point& q = s.points[std::size_t(i)];
    t.mutable_at(i) = q.t;
    pitch.mutable_at(i) = q.alpha * deg;
    phase.mutable_at(i) = q.phase + 1;
    h.mutable_at(i) = (q.x[kR] - p.earth.R) / 1000;
    vx.mutable_at(i) = q.x[kVx];
    vy.mutable_at(i) = q.x[kVy];
    m.mutable_at(i) = q.x[kM];
  }
  py::dict d;
  d["t_s"] = t;
  d["pitch_deg"] = pitch;
  d["phase"] = phase;
  d["altitude_km"] = h;
  d["vx_m_s"] = vx;
  d["vy_m_s"] = vy;
  d["mass_kg"] = m;
  return d;
}

// The tool's JSON document, read back by Python's own json (whose floats
// are the shortest round trip, as nlohmann writes them), with the steering
// as the CSV's columns in NumPy arrays and the solver's CPU time beside it.
py::dict optimal_control(const std::string& problem, const std::string& vehicle, int mesh, bool rise, double q_max,
                         double qalpha_max, double turn_time, double alpha_max, double open_tt, double open_alpha) {
  if (mesh < 1 || mesh > 16) throw FatalError{exit_usage, "mesh: " + std::to_string(mesh) + " is not in 1 to 16"};
  Study s;
  {
    // Flying the guided flight and the solve take a fraction of a second to
    // seconds on fine meshes and touch nothing of Python's.
    py::gil_scoped_release free;
    s = vehicle.empty() ? builtin_study(problem) : vehicle_study(vehicle, rise, {turn_time, alpha_max, open_tt, open_alpha});
    set_limits(s, q_max, qalpha_max);
    solve_study(s, mesh);
  }
  py::dict d = py::module_::import("json").attr("loads")(study_json(s).dump());
  d["cpu_seconds"] = s.solution.cpu_seconds;
  d["steering"] = steering_columns(s.solution, s.problem);
  return d;
}

}  // namespace

PYBIND11_MODULE(_control, m) {
  m.doc() = "The optimal ascent by collocation (IPOPT), as ascent-control solves it.";
  // A refused problem or a failed solve becomes ascent.AscentError with the
  // tool's exit code, as the faults of `_ascent` do.
  py::register_exception_translator([](std::exception_ptr e) {
    try {
      if (e) std::rethrow_exception(e);
    } catch (const FatalError& f) {
      py::object cls = py::module_::import("ascent").attr("AscentError");
      py::object err = cls(f.message, f.code);
      PyErr_SetObject(cls.ptr(), err.ptr());
    }
  });
  m.def("optimal_control", &optimal_control, py::arg("problem"), py::arg("vehicle"), py::arg("mesh"), py::arg("rise"),
        py::arg("q_max"), py::arg("q_alpha_max"), py::arg("turn_time"), py::arg("alpha_max"), py::arg("open_turn_time"),
        py::arg("open_alpha_max"));
}
