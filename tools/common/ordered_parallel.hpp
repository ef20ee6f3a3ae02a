// Many independent flights (or the optimiser's local searches, each a run of
// flights) on several threads, their results handed on in the order of their
// numbers: the tools' output then never depends on the threads' timing, and
// at most a bounded window of results waits in memory however many flights
// there are.
#pragma once
#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <exception>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <system_error>
#include <thread>
#include <vector>

#include "io/exit_codes.hpp"
#include "io/fatal_error.hpp"

namespace ascent {

// Calls work(i) for every i from 0 to n - 1 on `jobs` threads and emit(i,
// result) on the calling thread for i = 0, 1, 2, ... in that order. A worker
// takes flight i only once flight i - window has been emitted, so no more
// than `window` results are ever held. `progress`, when given, is called on
// the calling thread about ten times a second with the number emitted, and
// once at the end. An exception from emit or progress stops the workers and
// is rethrown; work must not throw. A thread that cannot be started stops
// the ones started with a FatalError (exit_internal) naming how many were
// asked for, instead of the abort a std::thread never joined would be.
template <class Result, class Work, class Emit>
void run_in_order(std::size_t n, unsigned jobs, std::size_t window, Work work, Emit emit,
                  const std::function<void(std::size_t)>& progress = {}) {
  window = std::max<std::size_t>(window, 1);
  std::vector<std::optional<Result>> slots(std::min(window, std::max<std::size_t>(n, 1)));
  window = slots.size();
  std::mutex m;
  std::condition_variable slot_free, result_ready;
  std::size_t next = 0;     // the next flight a worker takes
  std::size_t emitted = 0;  // flights handed on so far
  bool stop = false;

  auto worker = [&] {
    for (;;) {
      std::size_t i;
      {
        std::unique_lock<std::mutex> lock(m);
        slot_free.wait(lock, [&] { return stop || next >= n || next < emitted + window; });
        if (stop || next >= n) return;
        i = next++;
      }
      Result r = work(i);
      {
        std::lock_guard<std::mutex> lock(m);
        slots[i % window].emplace(std::move(r));
      }
      result_ready.notify_one();
    }
  };

  std::size_t threads_wanted = std::clamp<std::size_t>(jobs, 1, std::max<std::size_t>(n, 1));
  std::vector<std::thread> threads;
  threads.reserve(threads_wanted);
  auto stop_all = [&] {
    {
      std::lock_guard<std::mutex> lock(m);
      stop = true;
    }
    slot_free.notify_all();
    for (std::thread& t : threads) t.join();
  };
  for (std::size_t j = 0; j < threads_wanted; ++j) {
    try {
      threads.emplace_back(worker);
    } catch (const std::system_error& e) {
      stop_all();
      throw FatalError{exit_internal, "cannot start thread " + std::to_string(j + 1) + " of " +
                                          std::to_string(threads_wanted) + ": " + e.what() + " (try fewer --jobs)"};
    }
  }

  try {
    auto last_report = std::chrono::steady_clock::now();
    while (emitted < n) {
      Result r;
      {
        std::unique_lock<std::mutex> lock(m);
        std::optional<Result>& slot = slots[emitted % window];
        while (!slot.has_value()) {
          result_ready.wait_for(lock, std::chrono::milliseconds(100));
          if (progress && std::chrono::steady_clock::now() - last_report >= std::chrono::milliseconds(100)) {
            std::size_t done = emitted;
            lock.unlock();
            progress(done);
            last_report = std::chrono::steady_clock::now();
            lock.lock();
          }
        }
        r = std::move(*slot);
        slot.reset();
        ++emitted;
      }
      slot_free.notify_all();
      emit(emitted - 1, r);
      if (progress && std::chrono::steady_clock::now() - last_report >= std::chrono::milliseconds(100)) {
        progress(emitted);
        last_report = std::chrono::steady_clock::now();
      }
    }
  } catch (...) {
    stop_all();
    throw;
  }
  stop_all();
  if (progress) progress(n);
}

}  // namespace ascent
