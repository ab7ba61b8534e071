// Cost of the main thread's side of an iTunes frame: the update (the text taken
// under the text lock and compared with the last announcement) and the slot with its
// bitrate and counting remaining time, against a snapshot a worker would fill. No
// allocation per frame.
#include <benchmark/benchmark.h>

#include <cstring>
#include <memory>
#include <mutex>

#include "alloc_count.h"
#include "core/app.h"
#include "draw/draw.h"
#include "draw/notice.h"
#include "modules/mod_tun.h"

namespace {

struct BenchWorker {
    TunSnapshot snap{};
    std::timed_mutex lock;
    static bool acquire(void* h, uint32_t ms) {
        return static_cast<BenchWorker*>(h)->lock.try_lock_for(std::chrono::milliseconds(ms));
    }
    static void release(void* h) { static_cast<BenchWorker*>(h)->lock.unlock(); }
};
BenchWorker* g_worker = nullptr;

bool bench_start(TunModule* tun, int32_t) {
    tun->snap = &g_worker->snap;
    tun->lock = TunLock{BenchWorker::acquire, BenchWorker::release, g_worker};
    return true;
}
void bench_stop(TunModule* tun) {
    tun->snap = nullptr;
}
const TunHost kBenchHost = {bench_start, bench_stop};

void BM_TunFrame(benchmark::State& state) {
    auto worker = std::make_unique<BenchWorker>();
    g_worker = worker.get();
    auto app = std::make_unique<App>();
    for (int i = 0; i < SLOT_COUNT; ++i) {
        app->slots[i].index = i;
        app->slots[i].x = i * 40;
        app->slots[i].y = 22;
    }
    app->tun.host = &kBenchHost;
    mod_tun_init(app.get());
    TunLock lock = app->tun.lock;
    tun_store_text(&worker->snap, &lock, "Artist - A rather long name of a song", 100);
    worker->snap.bitrate = 192;
    worker->snap.duration = 7200;
    worker->snap.position = tun_pack_position(60, 1000);
    worker->snap.playing = 1;
    worker->snap.connected = 1;
    uint32_t now = 1000;
    app->frame.now = now;
    mod_tun_update(app.get()); // the first announcement is not part of the steady state
    notice_free_all(&app->notices);
    run_frames(state, [&] {
        now += 100;
        app->frame.now = now;
        mod_tun_update(app.get());
        memset(app->lcd.frame.pixels, 0, sizeof app->lcd.frame.pixels);
        benchmark::DoNotOptimize(mod_tun_draw(app.get(), 2));
    });
    mod_tun_teardown(app.get());
    g_worker = nullptr;
}
BENCHMARK(BM_TunFrame);

} // namespace
