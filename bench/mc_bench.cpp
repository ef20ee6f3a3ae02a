// A dispersion study's flights per second on one job, the fixed steps and the
// adaptive integrator side by side in one run: the built-in vehicle with
// vehicles/dispersions.toml, the answers ascent-mc takes by default (36 s,
// 18 degrees, transfer), runs 1 to 200 of seed 1.
//
//   cmake --build build -j 2 --target ascent_mc_bench
//   build/bench/ascent_mc_bench --benchmark_repetitions=3
//
// The counter flights_per_s (wall-clock: the flights run on the pool's
// thread) is the figure to compare between the two.
#include <benchmark/benchmark.h>

#include <string>

#include "bench_profile.hpp"
#include "mc_lib.hpp"

namespace {

using namespace ascent;
using namespace ascent::mc;

void BM_DispersionStudy(benchmark::State& state) {
  static const BoosterProfile profile =
      parse_profile(source_profile_text(), "s1.dat");
  Description d = builtin_description();
  if (state.range(0) == 1) d.mission.numerics.integrator = "adaptive";
  McProblem p;
  p.desc = &d;
  p.profile = &profile;
  p.answers.tt = 36;
  p.answers.alpha = 18;
  p.dispersions = read_dispersions(std::string(ASCENT_SOURCE_DIR) + "/vehicles/dispersions.toml", d);
  p.runs = 200;
  long long flights = 0;
  for (auto _ : state) {
    monte_carlo(p, 1, [&](const RunResult& r) { benchmark::DoNotOptimize(r.flight.record.Msc); });
    flights += static_cast<long long>(p.runs);
  }
  state.counters["flights_per_s"] = benchmark::Counter(static_cast<double>(flights), benchmark::Counter::kIsRate);
}
BENCHMARK(BM_DispersionStudy)->ArgName("adaptive")->Arg(0)->Arg(1)->UseRealTime()->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
