// Per-frame cost of the CPU/memory meter, the world clock and the stopwatch, and
// proof that none of them allocates per frame: every operator new in the timed loop
// is counted and reported as "allocs_per_frame" (the benchmark fails when it is not 0).
#include <benchmark/benchmark.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>

#include "core/app.h"
#include "draw/draw.h"
#include "meters/cpumem.h"
#include "modules/mod_clk.h"
#include "modules/mod_stw.h"

#include "alloc_count.h"

namespace {

void BM_CpuMeterFrame(benchmark::State& state) {
    const int n = static_cast<int>(state.range(0));
    CpuMeter meter{};
    if (!cpumem_setup(&meter, n)) {
        state.SkipWithError("setup failed");
        return;
    }
    auto frame = std::make_unique<LcdBitmap>();
    uint64_t tick = 0;
    run_frames(state, [&] {
        // A synthetic sample: each processor 1000 units further, a varying part idle.
        ++tick;
        for (int p = 0; p < n; ++p) {
            uint8_t* rec = meter.sample + p * CPU_RECORD_BYTES;
            uint64_t idle = tick * (300 + 7 * p), kernel = idle + tick * 100,
                     user = tick * (1000 - 300 - 7 * p - 100);
            memcpy(rec, &idle, 8);
            memcpy(rec + 8, &kernel, 8);
            memcpy(rec + 16, &user, 8);
        }
        memset(frame->pixels, 0, LCD_PIXELS);
        cpumem_render(&meter, frame.get(), true, 0, meter.sample_bytes, 42);
        benchmark::DoNotOptimize(frame->pixels);
    });
    cpumem_release(&meter);
}
BENCHMARK(BM_CpuMeterFrame)->Arg(1)->Arg(4)->Arg(64);

struct BenchClock {
    ClkTime utc{2026, 7, 3, 15, 12, 0, 0, 0};
};

void fake_utc(void* ctx, ClkTime* t) {
    *t = static_cast<BenchClock*>(ctx)->utc;
}
void fake_zone(void*, const char*, int32_t, ClkZoneRules* r) {
    r->bias = -60;
}
bool fake_local(void*, const ClkZoneRules* r, const ClkTime* u, ClkTime* l) {
    *l = *u;
    l->hour = static_cast<uint16_t>((u->hour + 24 - r->bias / 60) % 24);
    return true;
}
bool fake_ft(void*, const ClkTime* t, int64_t* ft) {
    *ft = clk_file_time(t);
    return true;
}
bool fake_format(void*, const ClkTime* t, const char*, char* out, size_t cap) {
    snprintf(out, cap, "%02u:%02u", t->hour, t->minute);
    return true;
}

void BM_ClockFrame(benchmark::State& state) {
    auto app = std::make_unique<App>();
    BenchClock clock;
    ClkHost host{fake_utc, fake_zone, fake_local, fake_ft, fake_format, &clock};
    app->slots[0].x = 0;
    app->slots[0].y = 22;
    app->clk.host = &host;
    mod_clk_init(app.get());
    int frames = 0;
    run_frames(state, [&] {
        // A zone change every 50 frames also re-reads the rules.
        if (++frames % 50 == 0)
            app->slots[0].button = 1;
        clock.utc.minute = static_cast<uint16_t>(frames % 60);
        memset(app->lcd.frame.pixels, 0, LCD_PIXELS);
        benchmark::DoNotOptimize(mod_clk_draw(app.get(), 0));
    });
}
BENCHMARK(BM_ClockFrame);

void BM_StopwatchFrame(benchmark::State& state) {
    auto app = std::make_unique<App>();
    app->slots[2].x = 81;
    app->slots[2].y = 22;
    mod_stw_init(app.get());
    app->slots[2].button = 1;
    uint32_t now = 1000;
    run_frames(state, [&] {
        now += 100;
        app->frame.now = now;
        app->frame.blink = (now / 1000) & 1;
        memset(app->lcd.frame.pixels, 0, LCD_PIXELS);
        benchmark::DoNotOptimize(mod_stw_draw(app.get(), 2));
    });
}
BENCHMARK(BM_StopwatchFrame);

} // namespace

BENCHMARK_MAIN();
