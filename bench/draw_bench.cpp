#include <benchmark/benchmark.h>

#include "draw/draw.h"

namespace {

const char kText[] = "Korvane 12:34 Wed 2026-12-08 A"; // 30 characters

void BM_DrawText(benchmark::State& state) {
    static LcdBitmap frame{};
    const int flags = static_cast<int>(state.range(0));
    for (auto _ : state) {
        benchmark::DoNotOptimize(draw_text(&frame, flags, 0, 10, kText));
        benchmark::ClobberMemory();
    }
    state.SetLabel((flags & TEXT_LARGE ? std::string("large") : std::string("small")) +
                   (flags & TEXT_OPAQUE ? " opaque" : ""));
}

BENCHMARK(BM_DrawText)->Arg(0)->Arg(TEXT_OPAQUE)->Arg(TEXT_LARGE)->Arg(TEXT_LARGE | TEXT_OPAQUE);

} // namespace

// main() comes from another benchmark file of the one `benchmarks` binary.
