// Counting heap allocations in benchmarks: every operator new of the benchmark
// binary is counted (bench/alloc_count.cpp), so a frame path can show that it does
// not allocate.
#pragma once
#include <benchmark/benchmark.h>

#include <atomic>

extern std::atomic<long> g_allocs;

// Runs the timed loop and reports the operator new calls made per frame as
// "allocs_per_frame"; the benchmark fails when it is not 0.
template <typename Frame> void run_frames(benchmark::State& state, Frame frame) {
    long before = g_allocs.load();
    for (auto _ : state)
        frame();
    long allocs = g_allocs.load() - before;
    state.counters["allocs_per_frame"] =
        benchmark::Counter(static_cast<double>(allocs) / static_cast<double>(state.iterations()));
    if (allocs != 0)
        state.SkipWithError("allocates per frame");
}
