// One whole frame as the frame loop builds it: the start of the frame (tick, blink,
// network sample), the four soft-button events, the top line, the CPU/memory meter
// and the network panel (or the notice band while a notice shows), every module's
// update and the four slots' modules drawing, then the hand-over that clears the
// drawing frame. Modules that decline here (no source natively) show what they add
// as they come to draw. Reports "allocs_per_frame" (the benchmark fails when not 0).
#include <benchmark/benchmark.h>

#include <cstdint>
#include <cstring>
#include <memory>

#include "core/app.h"
#include "core/frame.h"

#include "alloc_count.h"

namespace {

// The slots' lists: every module in at least one list, so each one that can draw
// somewhere does.
char kKey[SLOT_COUNT][8] = {"slot_0", "slot_1", "slot_2", "slot_3"};
char kList[SLOT_COUNT][32] = {"TS2 SPK NET STW", "AMP TUN CLK", "FPS FAN STW", "RIP NET CLK+"};

struct FrameBench {
    std::unique_ptr<App> app = std::make_unique<App>();
    SettingEntry entries[SLOT_COUNT];
    uint64_t tick = 0;

    FrameBench() {
        App* a = app.get();
        for (int i = 0; i < SLOT_COUNT; ++i)
            entries[i] =
                SettingEntry{kKey[i], kList[i], i + 1 < SLOT_COUNT ? &entries[i + 1] : nullptr};
        a->settings.head = &entries[0];
        a->modules = kModules;
        lcd_reset(&a->lcd);
        a->general.email_days = 7;
        for (int i = 0; i < SLOT_COUNT; ++i)
            slot_setup(&a->slots[i], i, &a->settings);
        a->topline.host = topline_system_host();
        cpumem_init(&a->cpu);
        net_init(a);
        modules_init_all(a);
        a->frame.now = 1000;
    }
    ~FrameBench() {
        App* a = app.get();
        modules_teardown_all(a);
        net_close(a);
        cpumem_close(&a->cpu);
        notice_free_all(&a->notices);
        a->settings.head = nullptr; // the entries are not heap-owned
    }

    // What the processor query would write: every processor 1000 units further, a
    // varying part of them idle.
    void sample_processors() {
        ++tick;
        CpuMeter& m = app->cpu;
        for (int p = 0; m.sample && p < m.processors; ++p) {
            uint8_t* rec = m.sample + p * CPU_RECORD_BYTES;
            const uint64_t idle = tick * (300 + 7 * p), kernel = idle + tick * 100,
                           user = tick * (600 - 7 * p);
            memcpy(rec, &idle, 8);
            memcpy(rec + 8, &kernel, 8);
            memcpy(rec + 16, &user, 8);
        }
    }

    // One pass of the frame loop after the timer, as main.cpp runs it.
    void frame(const int32_t events[SLOT_COUNT]) {
        App* a = app.get();
        a->frame.now += 100;
        a->frame.frame_deadline.store(a->frame.now + 100);
        frame_begin(a);
        sample_processors();
        frame_compose(a, events);
        lcd_hand_over(&a->lcd.frame, &a->lcd.sending);
        if (++a->frame.frame_counter == 10)
            a->frame.frame_counter = 0;
    }
};

const int32_t kNoEvents[SLOT_COUNT] = {0, 0, 0, 0};

void BM_WholeFrame(benchmark::State& state) {
    FrameBench b;
    for (int i = 0; i < 20; ++i) // past the first frame's one-time work
        b.frame(kNoEvents);
    run_frames(state, [&] { b.frame(kNoEvents); });
    benchmark::DoNotOptimize(b.app->lcd.sending.pixels[0]);
}
BENCHMARK(BM_WholeFrame);

// The same with a notice scrolling across the middle band instead of the meters.
void BM_WholeFrameWithNotice(benchmark::State& state) {
    FrameBench b;
    char text[400];
    memset(text, 'W', sizeof text - 1);
    text[sizeof text - 1] = '\0';
    for (int i = 0; i < 20; ++i)
        b.frame(kNoEvents);
    uint32_t posted = b.app->frame.now;
    post_notice(&b.app->notices, posted, NOTICE_TRACK, 60000, "%s", text);
    run_frames(state, [&] {
        if (b.app->frame.now - posted > 50000) { // before it ends: once a long run
            posted = b.app->frame.now;
            post_notice(&b.app->notices, posted, NOTICE_TRACK, 60000, "%s", text);
        }
        b.frame(kNoEvents);
    });
}
BENCHMARK(BM_WholeFrameWithNotice);

} // namespace
