// Hand-overs between threads, run in real threads (built with -DKORVANE_TSAN=ON these
// run under ThreadSanitizer, which reports any access to shared state that is not
// ordered by a lock or an atomic; the checks here catch torn or stray writes).
//
//  - TeamSpeak 2: a poller thread running ts2_poller_run writes its snapshot into the
//    module under the lock while the frame loop reads it (update, draw); teardown
//    abandons a poller stuck inside a client call, which must not write afterwards.
//  - iTunes: a worker stores track texts and numbers while the frame loop takes and
//    reads them.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "core/app.h"
#include "draw/notice.h"
#include "modules/mod_ts2.h"
#include "modules/mod_tun.h"
#include "screen/slots.h"

namespace {

using Clock = std::chrono::steady_clock;

void put32(uint8_t* p, int32_t v) {
    const uint32_t u = static_cast<uint32_t>(v);
    p[0] = static_cast<uint8_t>(u);
    p[1] = static_cast<uint8_t>(u >> 8);
    p[2] = static_cast<uint8_t>(u >> 16);
    p[3] = static_cast<uint8_t>(u >> 24);
}

// ---------------------------------------------------------------- TeamSpeak 2

// A lock with a bounded wait. (std::timed_mutex::try_lock_for is not followed by
// this compiler's ThreadSanitizer, which then reports its unlock as wrong.)
struct BoundedLock {
    std::mutex m;
    std::condition_variable cv;
    bool held = false;

    bool take(uint32_t ms) {
        std::unique_lock<std::mutex> g(m);
        if (!cv.wait_for(g, std::chrono::milliseconds(ms), [&] { return !held; }))
            return false;
        held = true;
        return true;
    }
    void release() {
        {
            std::lock_guard<std::mutex> g(m);
            held = false;
        }
        cv.notify_one();
    }
};

// A lock shared by the module and its pollers' duplicates.
struct SharedLock {
    BoundedLock lock;
    std::atomic<int> refs{1};
};

// A poller's thread: the thread body and the frame loop's forget share it.
struct ThreadRec {
    std::thread t;
    std::mutex m;
    std::condition_variable cv;
    bool done = false;
};

struct Wake {
    std::mutex m;
    std::condition_variable cv;
};

struct System {
    Clock::time_point start = Clock::now();
    std::atomic<int32_t> round{0}; // changes the client's state every call
    std::atomic<int> started{0};   // poller threads started
    std::atomic<int> ended{0};     // poller threads that returned
    std::atomic<int> in_players{0};

    // A gate that holds get_players while closed.
    std::mutex gate_m;
    std::condition_variable gate_cv;
    bool gate_closed = false;

    std::mutex log_m;
    std::vector<std::string> log;

    void close_gate() {
        std::lock_guard<std::mutex> g(gate_m);
        gate_closed = true;
    }
    void open_gate() {
        {
            std::lock_guard<std::mutex> g(gate_m);
            gate_closed = false;
        }
        gate_cv.notify_all();
    }
};

System* sys(void* ctx) {
    return static_cast<System*>(ctx);
}
System* sys(Ts2Poller* p) {
    return static_cast<System*>(p->host->ctx);
}

uint32_t ticks(System* s) {
    return static_cast<uint32_t>(
               std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - s->start)
                   .count()) +
           1000;
}

// The client: the server's name, the user's channel and a set of players all carry
// the round number, so a snapshot mixed from two rounds is visible.
void fill_server(void* rec, int32_t round) {
    char name[TS2_SERVER_NAME_BYTES] = {};
    snprintf(name, sizeof name, "server %d", round % 3);
    memcpy(rec, name, sizeof name);
    put32(static_cast<uint8_t*>(rec) + 478, 1 + round % 3);
}

const Ts2Host kThreadedHost = {
    nullptr,
    [](void*, WindowWatch*) { return true; },
    [](void* c) { return ticks(sys(c)); },
    [](void* c, int, const char* m) {
        std::lock_guard<std::mutex> g(sys(c)->log_m);
        sys(c)->log.push_back(m);
    },
    [](void*) -> void* { return new SharedLock(); },
    [](void*, void* l) -> void* {
        static_cast<SharedLock*>(l)->refs.fetch_add(1);
        return l;
    },
    [](void*, void* l) {
        SharedLock* s = static_cast<SharedLock*>(l);
        if (s->refs.fetch_sub(1) == 1)
            delete s;
    },
    [](void*, void* l, uint32_t ms) { return static_cast<SharedLock*>(l)->lock.take(ms); },
    [](void*, void* l) { static_cast<SharedLock*>(l)->lock.release(); },
    [](void* c, Ts2Poller* p, bool) {
        auto rec = std::make_shared<ThreadRec>();
        p->wake = new Wake();
        p->thread = new std::shared_ptr<ThreadRec>(rec);
        System* s = sys(c);
        s->started.fetch_add(1);
        rec->t = std::thread([rec, p, s] {
            ts2_poller_run(p);
            s->ended.fetch_add(1);
            std::lock_guard<std::mutex> g(rec->m);
            rec->done = true;
            rec->cv.notify_all();
        });
        return true;
    },
    [](void*, Ts2Poller* p, uint32_t ms) {
        auto* holder = static_cast<std::shared_ptr<ThreadRec>*>(p->thread);
        std::shared_ptr<ThreadRec> rec = *holder;
        delete holder;
        p->thread = nullptr;
        std::unique_lock<std::mutex> g(rec->m);
        const bool done =
            rec->cv.wait_for(g, std::chrono::milliseconds(ms), [&] { return rec->done; });
        g.unlock();
        if (done)
            rec->t.join();
        else
            rec->t.detach(); // runs on; ends by itself
    },
    [](void*, Ts2Poller* p) { delete static_cast<Wake*>(p->wake); },
    [](void*, Ts2Poller* p, uint32_t ms) {
        Wake* w = static_cast<Wake*>(p->wake);
        std::unique_lock<std::mutex> g(w->m);
        // Shortened: the poller's 900 ms pauses would only slow the test down.
        w->cv.wait_for(g, std::chrono::milliseconds(std::min<uint32_t>(ms, 10)),
                       [&] { return p->stop.load() != 0; });
    },
    [](void*, Ts2Poller* p) {
        Wake* w = static_cast<Wake*>(p->wake);
        std::lock_guard<std::mutex> g(w->m);
        w->cv.notify_all();
    },
    [](void*, Ts2Poller*) { return true; },
    [](void*, Ts2Poller*) {},
    [](Ts2Poller* p, void* rec) {
        fill_server(rec, sys(p)->round.fetch_add(1));
        return 0;
    },
    [](Ts2Poller* p, void* rec) {
        const int32_t r = sys(p)->round.load();
        uint8_t* u = static_cast<uint8_t*>(rec);
        memset(u, 0, TS2_USER_BYTES);
        put32(u, 1);                // own id
        put32(u + 4, 7);            // own channel
        put32(u + 50, 7);           // channel record: id
        put32(u + 58, 2 + r % 4);   // players in the channel
        memcpy(u + 70, "lobby", 5); // channel name
        return 0;
    },
    [](Ts2Poller* p, void* recs, void* count) {
        System* s = sys(p);
        s->in_players.fetch_add(1);
        {
            std::unique_lock<std::mutex> g(s->gate_m);
            s->gate_cv.wait(g, [&] { return !s->gate_closed; });
        }
        s->in_players.fetch_sub(1);
        const int32_t r = s->round.load();
        const int32_t n = 2 + r % 4;
        uint8_t* out = static_cast<uint8_t*>(recs);
        for (int32_t i = 0; i < n; ++i) {
            uint8_t* pl = out + i * TS2_PLAYER_BYTES;
            memset(pl, 0, TS2_PLAYER_BYTES);
            put32(pl, 1 + i);
            put32(pl + 4, 7);
            snprintf(reinterpret_cast<char*>(pl + 8), TS2_NICK_BYTES, "p%d", i);
        }
        put32(static_cast<uint8_t*>(count), n);
        return 0;
    },
    [](Ts2Poller* p, void* ids, void* count) {
        const int32_t r = sys(p)->round.load();
        put32(static_cast<uint8_t*>(ids), 2);
        put32(static_cast<uint8_t*>(ids) + 4, 1 + r % 2);
        put32(static_cast<uint8_t*>(count), 2);
        return 0;
    },
    [](Ts2Poller*, int32_t) { return 0; },
    nullptr, // nap: the poll loop's sleeps only
};

struct Ts2Run {
    std::unique_ptr<App> app = std::make_unique<App>();
    System s;
    Ts2Host host = kThreadedHost;

    Ts2Run() {
        host.ctx = &s;
        app->ts2.host = &host;
        for (int i = 0; i < SLOT_COUNT; ++i)
            slot_setup(&app->slots[i], i, nullptr);
        app->frame.now = ticks(&s);
        app->frame.frame_deadline.store(app->frame.now + 10);
        mod_ts2_init(app.get());
    }
    // Every poller thread has ended before the module's memory goes.
    ~Ts2Run() {
        s.open_gate();
        if (app->ts2.lock)
            mod_ts2_teardown(app.get());
        wait_for([&] { return s.ended.load() == s.started.load(); }, 10000);
        notice_free_all(&app->notices);
    }

    // The frame loop for ms: a frame every 4 ms, while a clock thread announces a due
    // frame every 10 ms (the poller asks once per announced frame). The announcement
    // comes from a thread that never touches the snapshot, so the snapshot's only order
    // between the two sides is the lock. Returns how many frames saw a connected poller.
    int frames(uint32_t ms) {
        int connected = 0;
        std::atomic<bool> done{false};
        std::thread clock([&] {
            while (!done.load()) {
                app->frame.frame_deadline.store(ticks(&s) + 10);
                std::this_thread::sleep_for(std::chrono::milliseconds(10));
            }
        });
        const auto until = Clock::now() + std::chrono::milliseconds(ms);
        while (Clock::now() < until) {
            std::this_thread::sleep_for(std::chrono::milliseconds(4));
            app->frame.now = ticks(&s);
            memset(app->lcd.frame.pixels, 0, LCD_PIXELS);
            mod_ts2_update(app.get());
            mod_ts2_draw(app.get(), 0);
            connected += ts2_link_state(&app->ts2) == 1;
            check_whole();
        }
        done.store(true);
        clock.join();
        return connected;
    }
    // The frame loop's view of the snapshot, byte by byte under the module's lock as
    // any frame-loop reader may: one whole round of the client (the server's name and
    // count, the channel's and the list's player counts agree).
    void check_whole() {
        Ts2Module* m = &app->ts2;
        if (!m->lock || ts2_link_state(m) != 1 || !host.lock_take(&s, m->lock, 100))
            return;
        uint8_t copy[TS2_SNAPSHOT_BYTES];
        for (int i = 0; i < TS2_SNAPSHOT_BYTES; ++i)
            copy[i] = m->shared.bytes[i];
        host.lock_release(&s, m->lock);
        Ts2Snapshot snap;
        memcpy(snap.bytes, copy, sizeof copy);
        if (snap.bytes[TS2_SERVER] == 0)
            return; // nothing handed over yet
        const int digit = snap.bytes[TS2_SERVER + 7] - '0';
        if (ts2_server_count(&snap) != digit + 1 ||
            ts2_player_count(&snap) != ts2_channel_players(&snap))
            ++torn;
        ++checked;
    }
    int torn = 0;
    int checked = 0;

    bool wait_for(const std::function<bool()>& cond, uint32_t ms) {
        const auto until = Clock::now() + std::chrono::milliseconds(ms);
        while (!cond()) {
            if (Clock::now() >= until)
                return false;
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
        return true;
    }
};

TEST(HandOverTs2, PollerAndFrameLoopShareTheSnapshot) {
    Ts2Run r;
    const int connected = r.frames(1500);
    // Under the sanitizer and a loaded machine frames are late, but the poller must
    // have handed over many snapshots in 1.5 s.
    EXPECT_GT(connected, 10) << "got " << connected << " connected frames";
    EXPECT_GT(r.s.round.load(), 10);
    EXPECT_GT(r.checked, 10);
    EXPECT_EQ(r.torn, 0) << "got " << r.torn << " mixed snapshots of " << r.checked;
    // Whatever the frame loop last saw is one whole snapshot: the channel list and the
    // server name were written by the same round.
    mod_ts2_teardown(r.app.get());
    EXPECT_TRUE(r.wait_for([&] { return r.s.ended.load() == 1; }, 5000))
        << "got " << r.s.ended.load() << " ended pollers, expected 1";
    std::lock_guard<std::mutex> g(r.s.log_m);
    EXPECT_TRUE(r.s.log.empty()) << "got log line \"" << r.s.log.front() << "\"";
}

TEST(HandOverTs2, AbandonedPollerReturningLateWritesNothing) {
    Ts2Run r;
    ASSERT_GT(r.frames(300), 0);
    r.s.close_gate();
    // Frames go on until the poller is inside the call.
    for (int i = 0; i < 250 && r.s.in_players.load() == 0; ++i)
        r.frames(20);
    ASSERT_EQ(r.s.in_players.load(), 1) << "the poller never reached its client call";
    // Teardown waits its bounded time, then lets the stuck poller go.
    mod_ts2_teardown(r.app.get());
    EXPECT_EQ(r.s.ended.load(), 0);
    // The frame loop's side is free again: it reuses the module's memory unlocked.
    memset(r.app->ts2.shared.bytes, 0, TS2_SNAPSHOT_BYTES);
    r.s.open_gate();
    ASSERT_TRUE(r.wait_for([&] { return r.s.ended.load() == 1; }, 5000))
        << "got " << r.s.ended.load() << " ended pollers, expected 1";
    const uint8_t* b = r.app->ts2.shared.bytes;
    EXPECT_TRUE(std::all_of(b, b + TS2_SNAPSHOT_BYTES, [](uint8_t v) { return v == 0; }))
        << "the abandoned poller wrote into the module after teardown";
}

// ---------------------------------------------------------------- iTunes

const TunLock kTextLock = {
    [](void* h, uint32_t ms) { return static_cast<BoundedLock*>(h)->take(ms); },
    [](void* h) { static_cast<BoundedLock*>(h)->release(); },
    nullptr,
};

// Track i's text: its number twice around a run of filler whose length depends on i,
// so a text mixed from two stores (or cut short) does not parse back.
std::string track_text(int i) {
    return "T" + std::to_string(i) + " - " + std::string(static_cast<size_t>(i % 200), 'x') + " #" +
           std::to_string(i);
}

bool whole_track(const char* text) {
    int a = -1;
    if (sscanf(text, "T%d - ", &a) != 1 || a < 0)
        return false;
    return track_text(a) == text;
}

TEST(HandOverTun, WorkerStoresWhileFrameLoopTakesAndReads) {
    BoundedLock tl;
    TunLock lock = kTextLock;
    lock.handle = &tl;
    auto snap = std::make_unique<TunSnapshot>();
    memset(snap->text, 0, sizeof snap->text);
    constexpr int kTracks = 3000;
    std::atomic<int> stored{0};
    std::atomic<int> taken_so_far{0};
    std::atomic<bool> done{false};

    // The worker stores at least kTracks texts and goes on (for 5 s at the most) until
    // the frame loop has taken one, so a fast worker cannot finish before the reader runs.
    std::thread worker([&] {
        const auto give_up = std::chrono::steady_clock::now() + std::chrono::seconds(5);
        for (int i = 0;; ++i) {
            if (i >= kTracks &&
                (taken_so_far.load() > 0 || std::chrono::steady_clock::now() > give_up))
                break;
            const std::string t = track_text(i);
            while (!tun_store_text(snap.get(), &lock, t.c_str(), 50)) {
            }
            snap->bitrate.store(128 + i % 192);
            snap->duration.store(200 + i);
            snap->position.store(tun_pack_position(i % 200, 1000u + static_cast<uint32_t>(i)));
            snap->playing.store(i % 2);
            snap->connected.store(1);
            stored.store(i + 1);
        }
        done.store(true);
    });

    char announced[TUN_TEXT] = {};
    char read[TUN_TEXT];
    int taken = 0;
    std::vector<std::string> bad;
    while (!done.load()) {
        if (tun_take_new_text(snap.get(), &lock, announced)) {
            taken_so_far.store(++taken);
            if (!whole_track(announced))
                bad.emplace_back(announced);
        }
        if (tun_read_text(snap.get(), &lock, read) && read[0] != '\0' && !whole_track(read))
            bad.emplace_back(read);
        const int64_t shown = tun_shown_seconds(snap.get(), 5000);
        if (shown < -1000000 || shown > 1000000)
            bad.push_back("shown " + std::to_string(shown));
    }
    worker.join();
    tun_take_new_text(snap.get(), &lock, announced); // the last store, if not yet taken
    EXPECT_STREQ(announced, track_text(stored.load() - 1).c_str());
    EXPECT_GT(taken, 0);
    EXPECT_TRUE(bad.empty()) << "got torn text \"" << bad.front() << "\"";
}

} // namespace
