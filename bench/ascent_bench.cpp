// Speed of the per-step path and of whole flights.
//
//   cmake -S . -B build-bench -DCMAKE_BUILD_TYPE=Release && cmake --build build-bench -j 2 --target ascent_bench
//   build-bench/bench/ascent_bench --benchmark_repetitions=5 --benchmark_report_aggregates_only=true
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>

#include "atmosphere/atmosphere.hpp"
#include "bench_profile.hpp"
#include "session/flight.hpp"
#include "session/session.hpp"
#include "trajectory/trajectory_step.hpp"
#include "vehicle/booster_profile.hpp"
#include "vehicle/description_file.hpp"

extern char** environ;

namespace {

using namespace ascent;

// The flight the user guide documents for the default profile.
constexpr const char* flight_answers = "36\n18\ny\n-1\n";
// Iterate mode from a start that keeps the series going for its full 49 passes.
constexpr const char* series_answers = "i\n5\n25\ny\n-1\n";

// A state in the middle of each kind of flight: climbing through the
// atmosphere under thrust (modes 0 and 1) or burning in vacuum (mode 2).
FlightState state_for_mode(int mode) {
  FlightState s;
  s.vrot = 283.22518;
  s.mode = static_cast<Steering>(mode);
  s.follow_air = true;
  s.nst = 3;
  s.Mst[1] = 2.7e6;
  s.Mst[2] = 1.2e6;
  s.Mst[3] = 1.0e5;
  s.Sst[1] = 101.4;
  s.Sst[2] = 57.6;
  s.Sst[3] = 55.5;
  s.Sref = 57.6;
  s.Ae = 16.67;
  s.Fvac = 9282548.16;
  s.mdot = -2099.744;
  s.m0 = 6.0e5;
  s.Me = 2.1e5;
  if (mode == 2) {
    s.h0 = 180000;
    s.vx = 6500;
    s.vy = 150;
  } else {
    s.h0 = 30000;
    s.vx = 1500;
    s.vy = 700;
  }
  s.alpha_max = 3 * pi / 180;
  s.kv = 2.0;
  s.law_init = mode == 1;
  s.alpha = 0.02;
  return s;
}

// Steps back and forth by one second so the state stays where it started.
void run_steps(benchmark::State& state, FlightState s, const StepObservers& out) {
  double dt = 1.0;
  for (auto _ : state) {
    s.dt = dt;
    trajectory_step(s, out);
    dt = -dt;
    benchmark::DoNotOptimize(s.vx);
  }
}

void BM_trajectory_step(benchmark::State& state) {
  atmosphere_init();
  run_steps(state, state_for_mode(static_cast<int>(state.range(0))), {});
}
BENCHMARK(BM_trajectory_step)->Arg(0)->Arg(1)->Arg(2);

// The floor under a mode-0 step: what its four stages and the evaluation of
// the new state cannot do without (five atmosphere look-ups, per stage one arc
// tangent, the sine and cosine of two angles and a square root; then two arc
// tangents and three square roots), with none of the bookkeeping between them.
void BM_step_arithmetic_floor(benchmark::State& state) {
  atmosphere_init();
  double h = 30000, x = 0.3;
  for (auto _ : state) {
    double acc = 0, p, rho, a_s;
    for (int stage = 0; stage < 4; ++stage) {
      atmosphere(h + stage, p, rho, a_s);
      double y = x + stage * 1e-3;
      acc += p + rho + a_s + std::atan(y) + std::sqrt(y + 2.0);
      acc += std::sin(y) + std::cos(y) + std::sin(y * 0.9) + std::cos(y * 0.9);
    }
    atmosphere(h + 5, p, rho, a_s);
    acc += p + rho + a_s + std::atan(x * 1.1) + std::atan(x * 1.2);
    acc += std::sqrt(acc) + std::sqrt(x + acc) + std::sqrt(x + 3.0);
    benchmark::DoNotOptimize(acc);
    x += 1e-9;
  }
}
BENCHMARK(BM_step_arithmetic_floor);

// One step with its table line and four data lines formatted into memory.
void BM_step_with_lines(benchmark::State& state) {
  TextReport report;
  Channel& main = report.file_ch;
  Channel& speed = report.speedfile;
  Channel& height = report.heightfile;
  Channel& accel = report.accelfile;
  Channel& dynpres = report.dynpresfile;
  for (Channel* c : {&main, &speed, &height, &accel, &dynpres}) c->open_memory();
  report.main = &main;
  const StepObservers out = {&report};
  atmosphere_init();
  FlightState s = state_for_mode(0);
  double dt = 1.0;
  long n = 0;
  for (auto _ : state) {
    s.dt = dt;
    trajectory_step(s, out);
    dt = -dt;
    if (++n % 4096 == 0) {
      for (Channel* c : {&main, &speed, &height, &accel, &dynpres}) {
        c->open_memory();  // starts again empty
      }
    }
  }
}
BENCHMARK(BM_step_with_lines);

// A whole file-mode flight of the real program, started as a process with
// its answers piped in. Reports the peak resident memory of the children.
void BM_file_mode_flight_process(benchmark::State& state) {
  namespace fs = std::filesystem;
  fs::path dir = fs::temp_directory_path() / ("ascent_bench_" + std::to_string(getpid()));
  fs::create_directories(dir);
  fs::copy_file(std::string(ASCENT_SOURCE_DIR) + "/data/s1.dat", dir / "s1.dat",
                fs::copy_options::overwrite_existing);
  std::string answers = std::string("out.txt\n") + flight_answers;
  for (auto _ : state) {
    int in_pipe[2];
    if (pipe(in_pipe) != 0) state.SkipWithError("pipe");
    posix_spawn_file_actions_t fa;
    posix_spawn_file_actions_init(&fa);
    posix_spawn_file_actions_adddup2(&fa, in_pipe[0], 0);
    posix_spawn_file_actions_addclose(&fa, in_pipe[1]);
    posix_spawn_file_actions_addopen(&fa, 1, "/dev/null", O_WRONLY, 0);
    std::string bin = ASCENT_BINARY;
    char* argv[] = {bin.data(), nullptr};
    fs::path old = fs::current_path();
    fs::current_path(dir);
    pid_t pid;
    int rc = posix_spawn(&pid, bin.c_str(), &fa, nullptr, argv, environ);
    fs::current_path(old);
    posix_spawn_file_actions_destroy(&fa);
    close(in_pipe[0]);
    if (rc != 0) {
      state.SkipWithError("spawn");
      break;
    }
    ssize_t w = write(in_pipe[1], answers.data(), answers.size());
    (void)w;
    close(in_pipe[1]);
    int status = 0;
    waitpid(pid, &status, 0);
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) state.SkipWithError("flight failed");
  }
  rusage ru{};
  getrusage(RUSAGE_CHILDREN, &ru);
  state.counters["peak_rss_KiB"] = static_cast<double>(ru.ru_maxrss);
  fs::remove_all(dir);
}
BENCHMARK(BM_file_mode_flight_process)->UseRealTime()->Unit(benchmark::kMillisecond);

// Flights in process, with every output discarded.
void run_in_process(benchmark::State& state, const std::string& answers) {
  long steps = 0;
  int passes = 0;
  for (auto _ : state) {
    Session S;
    S.input.open_memory(answers, "answers");
    S.report.stdout_ch.open_discard();
    S.report.file_sink = FileSink::discard;
    S.flight.profile_text = &source_profile_text();
    run_session(S);
    steps = S.guard.steps;
    passes = S.flight.record.passes;
  }
  state.counters["steps"] = static_cast<double>(steps);
  state.counters["passes"] = passes;
}

void BM_flight_in_process(benchmark::State& state) {
  run_in_process(state, std::string("\n") + flight_answers);
}
BENCHMARK(BM_flight_in_process)->Unit(benchmark::kMillisecond);

void BM_iterate_series(benchmark::State& state) { run_in_process(state, series_answers); }
BENCHMARK(BM_iterate_series)->Unit(benchmark::kMillisecond);

// One flight of Orvalon 5 at 36 s / 18 degrees with the transfer, open loop
// (0) against closed-loop guidance (1): the guidance's cost per flight.
void BM_guided_flight(benchmark::State& state) {
  const std::string src = ASCENT_SOURCE_DIR;
  const Description d =
      read_description(src + (state.range(0) == 1 ? "/vehicles/orvalon5_guided.toml" : "/vehicles/orvalon5.toml"));
  const BoosterProfile p = read_profile(src + "/data/s1.dat");
  FlightAnswers a;
  a.tt = 36;
  a.alpha = 18;
  for (auto _ : state) benchmark::DoNotOptimize(fly(d, p, a).record.Msc);
}
BENCHMARK(BM_guided_flight)->ArgName("guided")->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
