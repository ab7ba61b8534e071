// Per-frame cost of the Winamp, SpeedFan and FRAPS slots (update and draw against fake
// sources), and proof that none of them allocates per frame ("allocs_per_frame").
#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstring>
#include <memory>

#include "core/app.h"
#include "draw/draw.h"
#include "draw/notice.h"
#include "modules/mod_amp.h"
#include "modules/mod_fan.h"
#include "modules/mod_fps.h"

#include "alloc_count.h"

namespace {

void place_slots(App* app) {
    for (int i = 0; i < SLOT_COUNT; ++i) {
        app->slots[i].index = i;
        app->slots[i].x = (i == 0) ? 0 : (i == 1) ? 40 : (i == 2) ? 81 : 121;
        app->slots[i].y = 22;
    }
}

// Winamp: a long title read every frame, three answers per draw.
struct BenchPlayer {
    int32_t position = 30000;
};
void* amp_find(void* ctx) {
    return ctx;
}
int amp_title(void*, void*, char* out, int cap) {
    static const char kTitle[] = "12. Somebody With A Long Name - A Song Title That Goes On And "
                                 "On (Extended Live Version) - Winamp";
    snprintf(out, static_cast<size_t>(cap), "%s", kTitle);
    return static_cast<int>(strlen(out));
}
bool amp_query(void* ctx, void*, int32_t w, int32_t l, int32_t* r) {
    auto* p = static_cast<BenchPlayer*>(ctx);
    *r = (w == 1 && l == 126) ? 192 + (p->position / 100) % 64 : (w == 0) ? p->position : 240;
    return true;
}

void BM_WinampFrame(benchmark::State& state) {
    auto app = std::make_unique<App>();
    place_slots(app.get());
    BenchPlayer player;
    AmpHost host{amp_find, amp_title, amp_query, &player};
    app->amp.host = &host;
    mod_amp_init(app.get());
    app->frame.one_second_tick = 1;
    mod_amp_update(app.get()); // finds the player and announces the title once
    notice_free_all(&app->notices);
    int frames = 0;
    run_frames(state, [&] {
        ++frames;
        app->frame.one_second_tick = frames % 10 == 0;
        app->frame.blink = (frames / 10) & 1;
        player.position += 100;
        memset(app->lcd.frame.pixels, 0, LCD_PIXELS);
        mod_amp_update(app.get());
        benchmark::DoNotOptimize(mod_amp_draw(app.get(), 1));
    });
    notice_free_all(&app->notices);
}
BENCHMARK(BM_WinampFrame);

// SpeedFan: a whole record re-read on every tick, four entries stepping.
struct BenchRecord {
    uint8_t bytes[FAN_RECORD_BYTES] = {};
    BenchRecord() {
        bytes[0] = 1;
        bytes[12] = 4;
        bytes[14] = 3;
        bytes[16] = 2;
        for (int i = 0; i < 32; ++i) {
            bytes[18 + 4 * i] = static_cast<uint8_t>(100 + i);
            bytes[18 + 4 * i + 1] = 17; // about 45 degrees
            bytes[146 + 4 * i + 1] = 8;
            bytes[274 + 4 * i] = 200;
            bytes[274 + 4 * i + 1] = 4;
        }
    }
};
const uint8_t* fan_open(void* ctx, size_t* size) {
    *size = FAN_RECORD_BYTES;
    return static_cast<BenchRecord*>(ctx)->bytes;
}
void fan_close(void*, const uint8_t*) {}

void BM_SpeedFanFrame(benchmark::State& state) {
    auto app = std::make_unique<App>();
    place_slots(app.get());
    BenchRecord rec;
    FanHost host{fan_open, fan_close, &rec};
    app->fan.host = &host;
    mod_fan_init(app.get());
    fan_parse_entry("CPU TEMP 0", &app->fan.entries[0]);
    fan_parse_entry("Case FAN 7", &app->fan.entries[1]); // skipped: 3 fans
    fan_parse_entry("Pump FAN 2", &app->fan.entries[2]);
    fan_parse_entry("12V VOLT 1", &app->fan.entries[5]);
    app->fan.step_interval = 10;
    app->fan.stepping[2] = 1;
    uint32_t now = 1000;
    int frames = 0;
    run_frames(state, [&] {
        ++frames;
        now += 100;
        app->frame.now = now;
        app->frame.one_second_tick = frames % 10 == 0;
        memset(app->lcd.frame.pixels, 0, LCD_PIXELS);
        mod_fan_update(app.get());
        benchmark::DoNotOptimize(mod_fan_draw(app.get(), 2));
    });
}
BENCHMARK(BM_SpeedFanFrame);

// FRAPS: the record read on every tick, the rate in large digits.
struct BenchFraps {
    uint8_t rec[8] = {0, 0, 0, 0, 144, 0, 0, 0};
};
bool fps_record(void* ctx, const uint8_t** record) {
    *record = static_cast<BenchFraps*>(ctx)->rec;
    return true;
}
bool fps_running(void*) {
    return true;
}
void fps_invite(void*, App*) {}

void BM_FrapsFrame(benchmark::State& state) {
    auto app = std::make_unique<App>();
    place_slots(app.get());
    BenchFraps fraps;
    FpsHost host{fps_record, nullptr, nullptr, nullptr, fps_running, fps_invite, &fraps};
    app->fps.host = &host;
    mod_fps_init(app.get());
    int frames = 0;
    run_frames(state, [&] {
        ++frames;
        app->frame.one_second_tick = frames % 10 == 0;
        fraps.rec[4] = static_cast<uint8_t>(30 + frames % 200);
        memset(app->lcd.frame.pixels, 0, LCD_PIXELS);
        mod_fps_update(app.get());
        benchmark::DoNotOptimize(mod_fps_draw(app.get(), 3));
    });
}
BENCHMARK(BM_FrapsFrame);

} // namespace
