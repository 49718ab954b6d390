// One benchmark, two figures: ours and OpenSSL doing the same work, run in
// alternation so that both meet the same load on a shared machine, each
// timed in this thread's CPU time. Each line reports both means in
// microseconds, their ratio (ours / OpenSSL: lower is better) and whether
// the ratio holds the target.
#pragma once

#include <benchmark/benchmark.h>
#include <time.h>

#include <cstdio>
#include <string>

namespace bench {

inline double ThreadCpuSeconds() {
  timespec t;
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
  return static_cast<double>(t.tv_sec) + 1e-9 * static_cast<double>(t.tv_nsec);
}

// Runs `ours` and `openssl` `batch` times each per iteration (a batch
// keeps the clock's own cost out of sub-microsecond work) and reports
// keyloom_us, openssl_us (per call) and ratio; the label says whether
// ratio <= maxRatio (no target when maxRatio is 0). Either side returns
// false to stop with an error.
template <typename Ours, typename Theirs>
void SideBySide(benchmark::State& state, double maxRatio, int batch, Ours&& ours,
                Theirs&& openssl) {
  SideBySide(state, maxRatio, batch, [] { return true; }, ours, openssl);
}

// The same with `prepare` run before each iteration, untimed (what our
// side needs in place, such as an empty container to fill).
template <typename Prepare, typename Ours, typename Theirs>
void SideBySide(benchmark::State& state, double maxRatio, int batch, Prepare&& prepare,
                Ours&& ours, Theirs&& openssl) {
  double oursSeconds = 0, opensslSeconds = 0;
  for (auto _ : state) {
    if (!prepare()) return state.SkipWithError("preparation failed");
    const double t0 = ThreadCpuSeconds();
    for (int i = 0; i < batch; ++i)
      if (!ours()) return state.SkipWithError("keyloom side failed");
    const double t1 = ThreadCpuSeconds();
    for (int i = 0; i < batch; ++i)
      if (!openssl()) return state.SkipWithError("openssl side failed");
    const double t2 = ThreadCpuSeconds();
    oursSeconds += t1 - t0;
    opensslSeconds += t2 - t1;
  }
  const double calls = static_cast<double>(state.iterations()) * batch;
  const double ratio = opensslSeconds > 0 ? oursSeconds / opensslSeconds : 0;
  state.counters["keyloom_us"] = 1e6 * oursSeconds / calls;
  state.counters["openssl_us"] = 1e6 * opensslSeconds / calls;
  state.counters["ratio"] = ratio;
  char label[64];
  if (maxRatio > 0)
    std::snprintf(label, sizeof label, "target ratio <= %.2f: %s", maxRatio,
                  ratio <= maxRatio ? "met" : "MISSED");
  else
    std::snprintf(label, sizeof label, "no target");
  state.SetLabel(label);
}

}  // namespace bench
