// Per-frame cost of the hung-application and speaker modules with a fake system
// behind them, and proof that neither allocates per frame ("allocs_per_frame" must be
// 0): the RIP slot showing a long title (read and cut every frame), the SPK slot on the
// DirectSound path (configuration and mixer read every frame) and on the Core Audio
// path (stored values between one-second refreshes).
#include <benchmark/benchmark.h>

#include <cstring>
#include <memory>

#include "core/app.h"
#include "draw/draw.h"
#include "modules/mod_rip.h"
#include "modules/mod_spk.h"

#include "alloc_count.h"

namespace {

void place_slots(App* app) {
    for (int i = 0; i < SLOT_COUNT; ++i) {
        app->slots[i].index = i;
        app->slots[i].x = (i == 0) ? 0 : (i == 1) ? 40 : (i == 2) ? 81 : 121;
        app->slots[i].y = 22;
    }
}

// ---- RIP ---------------------------------------------------------------------------

const char kLongTitle[] = "Document1 - Microsoft Word (Not Responding) - a title longer "
                          "than the slot by far, cut every frame";
int g_window;

bool rip_open(RipModule* rip) {
    rip->hung_test = &g_window;
    return true;
}
void rip_close(RipModule*) {}
void* rip_find(RipModule*) {
    return &g_window;
}
int rip_title(RipModule*, void*, char* out, int cap) {
    int n = static_cast<int>(sizeof kLongTitle) - 1;
    if (n > cap)
        n = cap;
    memcpy(out, kLongTitle, static_cast<size_t>(n));
    return n;
}
int32_t rip_end(RipModule*, void*, uint32_t*) {
    return RIP_ENDED;
}
const RipHost kRipHost = {rip_open, rip_close, rip_find, rip_title, rip_end};

void BM_RipFrame(benchmark::State& state) {
    auto app = std::make_unique<App>();
    place_slots(app.get());
    app->rip.host = &kRipHost;
    mod_rip_init(app.get());
    int32_t frame = 0;
    run_frames(state, [&] {
        app->frame.one_second_tick = frame % 10 == 0;
        app->frame.blink = (frame / 10) % 2;
        ++frame;
        mod_rip_update(app.get());
        benchmark::DoNotOptimize(mod_rip_draw(app.get(), 3));
        memset(app->lcd.frame.pixels, 0, LCD_PIXELS);
    });
    mod_rip_teardown(app.get());
}
BENCHMARK(BM_RipFrame);

// ---- SPK ---------------------------------------------------------------------------

bool g_core_audio;
int32_t g_config = 6;

bool spk_ds(SpkModule*) {
    return true;
}
bool spk_enum(SpkModule*) {
    return g_core_audio;
}
void spk_close(SpkModule*) {}
int32_t spk_get(SpkModule*) {
    return g_config;
}
void spk_set(SpkModule*, int32_t c) {
    g_config = c;
}
bool spk_mixer(SpkModule*, SpkMixer* out) {
    *out = SpkMixer{1, 0, 65535, 40000, 1};
    return true;
}
bool spk_endpoint(SpkModule*, float* scalar, int32_t* ok, int32_t* muted) {
    *scalar = 0.8f;
    *ok = 1;
    *muted = 0;
    return true;
}
void spk_registry(SpkModule*, int32_t, SpkRegistryRead* out) {
    out->mask = 0x63F;
    out->count = 0;
}
const SpkHost kSpkHost = {spk_ds,  spk_enum,  spk_close,    spk_get,
                          spk_set, spk_mixer, spk_endpoint, spk_registry};

void BM_SpkFrame(benchmark::State& state) {
    g_core_audio = state.range(0) != 0;
    auto app = std::make_unique<App>();
    place_slots(app.get());
    app->spk.host = &kSpkHost;
    mod_spk_init(app.get());
    int32_t frame = 0;
    run_frames(state, [&] {
        app->frame.one_second_tick = frame % 10 == 0;
        ++frame;
        mod_spk_update(app.get());
        benchmark::DoNotOptimize(mod_spk_draw(app.get(), 1));
        memset(app->lcd.frame.pixels, 0, LCD_PIXELS);
    });
    mod_spk_teardown(app.get());
}
BENCHMARK(BM_SpkFrame)->Arg(0)->Arg(1)->ArgName("core_audio");

} // namespace
