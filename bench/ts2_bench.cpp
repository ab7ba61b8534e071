// The TeamSpeak 2 module's frame-loop side on a full server: 128 players (half of them
// in the user's channel), 8 speakers, nothing changing between frames. Update (change
// check, channel list, labels) and the slot's draw; no allocation per frame.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstring>
#include <memory>

#include "alloc_count.h"
#include "core/app.h"
#include "modules/mod_ts2.h"

namespace {

void put32(uint8_t* p, int32_t v) {
    for (int i = 0; i < 4; ++i)
        p[i] = static_cast<uint8_t>(static_cast<uint32_t>(v) >> (8 * i));
}

int g_lock;
bool yes(void*, WindowWatch*) {
    return true;
}
uint32_t tick(void*) {
    return 1000;
}
void no_log(void*, int, const char*) {}
void* lock_create(void*) {
    return &g_lock;
}
void* lock_dup(void*, void* l) {
    return l;
}
void lock_close(void*, void*) {}
bool lock_take(void*, void*, uint32_t) {
    return true;
}
void lock_release(void*, void*) {}
bool thread_start(void*, Ts2Poller*, bool) {
    return true; // the poller's status is set by hand below
}
void forget(void*, Ts2Poller*, uint32_t) {}
void nothing(void*, Ts2Poller*) {}
void sleep_ms(void*, Ts2Poller*, uint32_t) {}
bool load(void*, Ts2Poller*) {
    return false;
}
int32_t rec(Ts2Poller*, void*) {
    return 1;
}
int32_t list(Ts2Poller*, void*, void*) {
    return 1;
}
int32_t flags(Ts2Poller*, int32_t) {
    return 1;
}

const Ts2Host kHost = {nullptr,    yes,       tick,         no_log,       lock_create, lock_dup,
                       lock_close, lock_take, lock_release, thread_start, forget,      nothing,
                       sleep_ms,   nothing,   load,         nothing,      rec,         rec,
                       list,       list,      flags};

void BM_Ts2FullServerFrame(benchmark::State& state) {
    auto app = std::make_unique<App>();
    for (int i = 0; i < SLOT_COUNT; ++i)
        slot_setup(&app->slots[i], i, nullptr);
    app->ts2.host = &kHost;
    mod_ts2_init(app.get());
    Ts2Poller* p = app->ts2.poller;
    p->library_loaded.store(1);
    p->link_state.store(1);
    p->poll_stamp.store(1000);

    uint8_t* s = app->ts2.shared.bytes;
    strcpy(reinterpret_cast<char*>(s), "A server with a long name");
    put32(s + 478, 128);
    put32(s + TS2_USER, 1);
    put32(s + TS2_USER + 50, 7);
    put32(s + TS2_USER + 58, 64);
    strcpy(reinterpret_cast<char*>(s + TS2_USER + 70), "Lobby");
    put32(s + TS2_PLAYER_COUNT, 128);
    for (int i = 0; i < 128; ++i) {
        uint8_t* r = s + TS2_PLAYERS + i * TS2_PLAYER_BYTES;
        put32(r, i + 1);
        put32(r + 4, i % 2 ? 7 : 9);
        snprintf(reinterpret_cast<char*>(r + 8), 30, "player%03d", i);
        put32(r + 46, i % 5 == 0 ? 0x08 : 0);
    }
    put32(s + TS2_SPEAKER_COUNT, 8);
    for (int i = 0; i < 8; ++i)
        put32(s + TS2_SPEAKERS + 4 * i, 120 - 15 * i);
    mod_ts2_update(app.get()); // the first frame posts the connect notices
    notice_free_all(&app->notices);

    run_frames(state, [&] {
        mod_ts2_update(app.get());
        benchmark::DoNotOptimize(mod_ts2_draw(app.get(), 0));
        benchmark::ClobberMemory();
    });
    mod_ts2_teardown(app.get());
    ts2_poller_release(p); // the reference of the thread that never ran
    notice_free_all(&app->notices);
}
BENCHMARK(BM_Ts2FullServerFrame);

} // namespace
