#pragma once
// Two ways of doing the same work, timed in turns within one benchmark run (A B, B A,
// A B, ...) so that a noisy neighbour or a warming cache hits both alike; the medians and
// their ratio are reported as counters.

#include <benchmark/benchmark.h>

#include <algorithm>
#include <chrono>
#include <functional>
#include <string>
#include <vector>

namespace paravelle::bench_support {

inline double median(std::vector<double> samples) {
  if (samples.empty()) return 0;
  std::sort(samples.begin(), samples.end());
  const std::size_t middle = samples.size() / 2;
  return samples.size() % 2 ? samples[middle] : (samples[middle - 1] + samples[middle]) / 2;
}

inline double milliseconds_of(const std::function<void()>& work) {
  const auto start = std::chrono::steady_clock::now();
  work();
  return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();
}

// Each benchmark iteration runs both sides once, the order swapped every iteration.
// Counters: <a>_ms and <b>_ms (medians) and ratio = median(a) / median(b).
inline void run_alternating(benchmark::State& state, const std::string& a_name, const std::function<void()>& a,
                            const std::string& b_name, const std::function<void()>& b) {
  std::vector<double> a_samples, b_samples;
  bool a_first = true;
  for (auto _ : state) {
    if (a_first) {
      a_samples.push_back(milliseconds_of(a));
      b_samples.push_back(milliseconds_of(b));
    } else {
      b_samples.push_back(milliseconds_of(b));
      a_samples.push_back(milliseconds_of(a));
    }
    a_first = !a_first;
  }
  const double a_median = median(a_samples);
  const double b_median = median(b_samples);
  state.counters[a_name + "_ms"] = a_median;
  state.counters[b_name + "_ms"] = b_median;
  state.counters["ratio"] = b_median > 0 ? a_median / b_median : 0;
}

}  // namespace paravelle::bench_support
