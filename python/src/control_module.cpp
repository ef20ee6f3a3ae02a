// The optimal ascent from Python: the extension `ascent._control`, apart from
// `_ascent` because it links IPOPT and its sparse solvers, whose loading would
// otherwise be paid by every `import ascent`. `ascent.optimal_control` imports
// it on its first call. The numbers are ascent-control's: the same problem,
// mesh, solve and replay.
#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>

#include <string>

#include "control.hpp"
#include "io/exit_codes.hpp"
#include "io/fatal_error.hpp"

namespace py = pybind11;
using namespace ascent;
using namespace ascent::control;

namespace {

constexpr double deg = 180 / 3.14159265358979323846;
constexpr double delta3_published = 7529.712;  // kg, the benchmark's published optimum

py::dict orbit_dict(const Orbit& o) {
  py::dict d;
  d["mass_kg"] = o.m;
  d["a_km"] = o.a / 1000;
  d["e"] = o.e;
  d["perigee_deg"] = o.perigee * deg;
  return d;
}

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

py::dict optimal_control(const std::string& problem, int mesh) {
  if (problem != "delta3")
    throw FatalError{exit_usage, "problem: unknown problem '" + problem + "' (built in: delta3)"};
  if (mesh < 1 || mesh > 16) throw FatalError{exit_usage, "mesh: " + std::to_string(mesh) + " is not in 1 to 16"};
  Problem p = delta3();
  for (Phase& ph : p.phases) ph.intervals *= mesh;
  Solution s;
  Replay r;
  {
    // The solve takes a fraction of a second to seconds on fine meshes and
    // touches nothing of Python's.
    py::gil_scoped_release free;
    s = solve(p);
    if (s.converged && !s.points.empty()) r = replay(p, s);
  }
  if (!s.converged || s.points.empty())
    throw FatalError{exit_no_orbit, "the solver found no optimum: " + s.status};
  py::dict d;
  d["problem"] = p.name;
  d["objective"] = "final mass";
  d["optimum"] = s.final.m;
  d["published"] = delta3_published;
  d["status"] = s.status;
  d["iterations"] = s.iterations;
  d["cpu_seconds"] = s.cpu_seconds;
  d["orbit"] = orbit_dict(s.final);
  py::dict target;
  target["a_km"] = p.target.a / 1000;
  target["e"] = p.target.e;
  target["perigee_deg"] = p.target.perigee * deg;
  d["target"] = target;
  d["replay"] = orbit_dict(r.final);
  d["steering"] = steering_columns(s, p);
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
  m.def("optimal_control", &optimal_control, py::arg("problem"), py::arg("mesh"));
}
