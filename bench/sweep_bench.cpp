// Throughput of ascent-sweep: flights with the transfer per second, on one
// and on two jobs, with the bundled profile.
//
//   cmake -S . -B build-bench -DCMAKE_BUILD_TYPE=Release
//   cmake --build build-bench -j 2 --target ascent_sweep_bench
//   build-bench/bench/ascent_sweep_bench --benchmark_repetitions=5
//
// The default grid, turn times 30 to 44 s and angle limits 20 to 27 degrees
// (64 flights), lies in the band where the bundled profile reaches orbit
// (best single flight near 36 s, 18 degrees): every flight there is a whole
// ascent with the coast to apogee and the third-stage burn, 2500 to 3000
// steps (2640 on average), 50 of them on target and the rest a few km off.
// Lower angle limits at these turn times would mix in flights that end at
// core separation after some 500 steps and flatter the figure.
//
// Counters: flights_per_s for the whole sweep, flights_per_s_per_job for
// each job (the scaling shows as this staying put from 1 to 2 jobs),
// flights_per_cpu_s (flights per second of processor time of all threads:
// equal to flights_per_s_per_job on an idle machine, and still right on a
// busy one), steps_per_flight, and us_per_step, the cost of one trajectory step with
// everything around it on one job (printed as seconds per million steps).
// ASCENT_SWEEP_BENCH_TT and ASCENT_SWEEP_BENCH_ALPHA (FIRST:LAST:STEP) time
// another part of the grid. Run it on an otherwise idle machine.
#include <benchmark/benchmark.h>

#include <cstdlib>
#include <ctime>
#include <string>

#include "bench_profile.hpp"
#include "sweep_lib.hpp"

namespace {

using namespace ascent::sweep;

const ascent::BoosterProfile& bundled_profile() {
  static const ascent::BoosterProfile profile =
      ascent::parse_profile(source_profile_text(), "s1.dat");
  return profile;
}

// The grid from the environment variable `name` (FIRST:LAST:STEP), or the
// default: lets the same benchmark time another region of the grid.
std::vector<double> grid(const char* name, const char* fallback) {
  const char* text = std::getenv(name);
  Range r;
  if (text == nullptr || !parse_range(text, r).empty()) parse_range(fallback, r);
  return range_values(r);
}

// A grid of 64 flights in the band of the best turn times and angle limits
// (8 x 8), each with the transfer. Iterate: one series per angle limit from
// 18 to 25 degrees, where every series starting at 20 s settles (five or so
// booster-and-core passes, then the third stage: 4300 to 6300 steps).
// ASCENT_SWEEP_BENCH_TT and ASCENT_SWEEP_BENCH_ALPHA override the grid.
Plan bench_plan(bool iterate) {
  Plan p;
  p.profile = &bundled_profile();
  p.transfer = true;
  p.iterate = iterate;
  p.tt = iterate ? std::vector<double>{20} : grid("ASCENT_SWEEP_BENCH_TT", "30:44:2");
  p.alpha = grid("ASCENT_SWEEP_BENCH_ALPHA", iterate ? "18:25:1" : "20:27:1");
  return p;
}

void report(benchmark::State& state, long long flights, long long steps, unsigned jobs,
            double cpu_s) {
  // Flights per second of processor time over all threads: what one core
  // gives when it is not shared, whatever else the machine is running.
  state.counters["flights_per_cpu_s"] = static_cast<double>(flights) / cpu_s;
  state.counters["flights_per_s"] = benchmark::Counter(static_cast<double>(flights), benchmark::Counter::kIsRate);
  state.counters["flights_per_s_per_job"] =
      benchmark::Counter(static_cast<double>(flights) / jobs, benchmark::Counter::kIsRate);
  state.counters["steps_per_flight"] = static_cast<double>(steps) / static_cast<double>(flights);
  state.counters["us_per_step"] = benchmark::Counter(
      static_cast<double>(steps) / jobs / 1e6, benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
}

// Sweeps the benchmark grid, single flights or iterate-mode series, on
// state.range(0) jobs.
void sweep_grid(benchmark::State& state, bool iterate) {
  const unsigned jobs = static_cast<unsigned>(state.range(0));
  const Plan plan = bench_plan(iterate);
  long long flights = 0, steps = 0;
  std::vector<FlightResult> results;
  const std::clock_t cpu_start = std::clock();
  for (auto _ : state) {
    results = run_sweep(plan, jobs);
    benchmark::DoNotOptimize(results.data());
    flights += static_cast<long long>(results.size());
    for (const FlightResult& f : results) steps += f.steps;
  }
  const double cpu_s = static_cast<double>(std::clock() - cpu_start) / CLOCKS_PER_SEC;
  report(state, flights, steps, jobs, cpu_s);
}

void BM_SweepGrid(benchmark::State& state) { sweep_grid(state, false); }
BENCHMARK(BM_SweepGrid)->ArgName("jobs")->Arg(1)->Arg(2)->UseRealTime()->Unit(benchmark::kMillisecond);

void BM_SweepIterate(benchmark::State& state) { sweep_grid(state, true); }
BENCHMARK(BM_SweepIterate)->ArgName("jobs")->Arg(1)->Arg(2)->UseRealTime()->Unit(benchmark::kMillisecond);

// One flight, the best whole-number pair of the bundled profile (36 s,
// 18 degrees: a 394 x 399 km orbit, 3331 steps with its long coast), on the
// calling thread: the cost of a grid point without any thread around it.
void BM_OneFlight(benchmark::State& state) {
  const Plan plan = bench_plan(false);
  const double tt = 36, alpha = 18;
  long long steps = 0;
  for (auto _ : state) {
    FlightResult f = fly(plan, tt, alpha);
    benchmark::DoNotOptimize(f.record.Msc);
    steps += f.steps;
  }
  state.counters["flights_per_s"] =
      benchmark::Counter(static_cast<double>(state.iterations()), benchmark::Counter::kIsRate);
  state.counters["us_per_step"] =
      benchmark::Counter(static_cast<double>(steps) / 1e6, benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
}
BENCHMARK(BM_OneFlight)->Unit(benchmark::kMicrosecond);

}  // namespace

BENCHMARK_MAIN();
