// TeamSpeak 3 hand-overs in real threads (under ThreadSanitizer with -DKORVANE_TSAN=ON):
// a reader thread running ts3_reader_run stores snapshots while the frame loop takes
// and draws them; readers stuck inside a system call are left behind, at most three,
// and when they come back they end without touching the module.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "core/app.h"
#include "draw/notice.h"
#include "modules/mod_ts3.h"
#include "screen/slots.h"

namespace {

using Clock = std::chrono::steady_clock;

struct Lock {
    std::mutex m;
    std::condition_variable cv;
    bool held = false;
};

struct ThreadRec {
    std::mutex m;
    std::condition_variable cv;
    bool done = false;
};

// The client: each round has 1 + round % 5 clients, all named "r<round>", so a
// snapshot mixed from two rounds shows.
struct Sys {
    Clock::time_point start = Clock::now();
    std::atomic<uint32_t> skew{0}; // moves the clock on (the watchdog's 4 s)
    std::atomic<int> started{0}, ended{0}, blocked{0}, timeouts{0};
    std::mutex m; // over round, pending and the gate
    std::condition_variable gate_cv;
    bool gate_closed = false;
    int round = 0;
    std::string pending;
};

Sys* sys(void* c) {
    return static_cast<Sys*>(c);
}

std::string answer(Sys* s, const std::string& cmd) {
    const std::string ok = "error id=0 msg=ok\n\r";
    if (cmd == "whoami")
        return "clid=1 cid=7\n\r" + ok;
    if (cmd == "servervariable virtualserver_name")
        return "virtualserver_name=Alpha\n\r" + ok;
    if (cmd.rfind("channelvariable", 0) == 0)
        return "cid=7 channel_name=Lobby\n\r" + ok;
    if (cmd == "clientlist -voice") {
        std::string list = "clid=1 cid=7 client_nickname=r" + std::to_string(s->round);
        for (int i = 0; i < s->round % 5; ++i)
            list += "|clid=" + std::to_string(10 + i) + " cid=7 client_nickname=r" +
                    std::to_string(s->round) + " client_flag_talking=1";
        return list + "\n\r" + ok;
    }
    return ok;
}

const Ts3Host kThreadedHost = {
    nullptr,
    [](void* c) {
        return static_cast<uint32_t>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                         Clock::now() - sys(c)->start)
                                         .count()) +
               1000 + sys(c)->skew.load();
    },
    [](void* c, int, const char*) { sys(c)->timeouts.fetch_add(1); },
    [](void*) -> void* { return new Lock(); },
    [](void*, void* l) { delete static_cast<Lock*>(l); },
    [](void*, void* l, uint32_t ms) {
        Lock* k = static_cast<Lock*>(l);
        std::unique_lock<std::mutex> g(k->m);
        if (!k->cv.wait_for(g, std::chrono::milliseconds(ms), [&] { return !k->held; }))
            return false;
        k->held = true;
        return true;
    },
    [](void*, void* l) {
        Lock* k = static_cast<Lock*>(l);
        {
            std::lock_guard<std::mutex> g(k->m);
            k->held = false;
        }
        k->cv.notify_one();
    },
    [](void* c, Ts3Reader* r, bool) {
        Sys* s = sys(c);
        auto rec = std::make_shared<ThreadRec>();
        r->thread = new std::shared_ptr<ThreadRec>(rec);
        s->started.fetch_add(1);
        std::thread([rec, r, s] {
            ts3_reader_run(r);
            {
                std::lock_guard<std::mutex> g(rec->m);
                rec->done = true;
            }
            rec->cv.notify_all();
            s->ended.fetch_add(1);
        }).detach();
        return true;
    },
    [](void*, Ts3Reader* r, uint32_t ms) {
        auto* holder = static_cast<std::shared_ptr<ThreadRec>*>(r->thread);
        {
            std::unique_lock<std::mutex> g((*holder)->m);
            (*holder)->cv.wait_for(g, std::chrono::milliseconds(ms),
                                   [&] { return (*holder)->done; });
        }
        delete holder;
        r->thread = nullptr;
    },
    [](void*, uint32_t ms) { std::this_thread::sleep_for(std::chrono::milliseconds(ms)); },
    [](void* c, Ts3Reader*, uint16_t, uint32_t) {
        std::lock_guard<std::mutex> g(sys(c)->m);
        sys(c)->pending = "TS3 Client\n\rWelcome\n\rselected schandlerid=1\n\r";
        return true;
    },
    [](void* c, Ts3Reader*, const char* data, size_t n, uint32_t) {
        Sys* s = sys(c);
        std::lock_guard<std::mutex> g(s->m);
        std::string cmd(data, n);
        while (!cmd.empty() && (cmd.back() == '\n' || cmd.back() == '\r'))
            cmd.pop_back();
        s->pending += answer(s, cmd);
        return true;
    },
    [](void* c, Ts3Reader*, char* out, size_t cap, uint32_t ms) {
        Sys* s = sys(c);
        std::unique_lock<std::mutex> g(s->m);
        if (s->gate_closed) {
            // A system call that does not come back until the gate opens.
            s->blocked.fetch_add(1);
            s->gate_cv.wait(g, [&] { return !s->gate_closed; });
            return 0;
        }
        if (s->pending.empty()) {
            g.unlock();
            std::this_thread::sleep_for(std::chrono::milliseconds(ms < 2 ? ms : 2));
            return 0;
        }
        const size_t k = std::min(cap, s->pending.size());
        memcpy(out, s->pending.data(), k);
        s->pending.erase(0, k);
        return static_cast<int>(k);
    },
    [](void*, Ts3Reader*) {},
    [](void*, char*, size_t) {},
};

struct Ts3Run {
    std::unique_ptr<App> app = std::make_unique<App>();
    Sys s;
    Ts3Host host = kThreadedHost;

    Ts3Run() {
        host.ctx = &s;
        app->ts3.host = &host;
        for (int i = 0; i < SLOT_COUNT; ++i)
            slot_setup(&app->slots[i], i, nullptr);
        mod_ts3_init(app.get());
    }
    ~Ts3Run() {
        open_gate();
        mod_ts3_teardown(app.get());
        // Every reader thread has ended before the module's memory goes.
        const auto until = Clock::now() + std::chrono::seconds(10);
        while (s.ended.load() < s.started.load() && Clock::now() < until)
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        EXPECT_EQ(s.ended.load(), s.started.load()) << "reader threads still running";
        notice_free_all(&app->notices);
    }
    void open_gate() {
        {
            std::lock_guard<std::mutex> g(s.m);
            s.gate_closed = false;
        }
        s.gate_cv.notify_all();
    }
    // One frame: update and a draw; a taken snapshot must come from one round.
    void frame() {
        memset(app->lcd.frame.pixels, 0, LCD_PIXELS);
        mod_ts3_update(app.get());
        mod_ts3_draw(app.get(), 1);
        const Ts3Snapshot& c = app->ts3.current;
        if (c.link != TS3_CONNECTED || c.count == 0)
            return;
        int round = -1;
        ASSERT_EQ(sscanf(c.clients[0].nick, "r%d", &round), 1) << c.clients[0].nick;
        ASSERT_EQ(c.count, 1 + round % 5) << "a snapshot mixed from two rounds";
        for (int32_t i = 0; i < c.count; ++i)
            ASSERT_STREQ(c.clients[i].nick, c.clients[0].nick);
    }
    bool wait_for(const std::function<bool()>& done, int ms) {
        const auto until = Clock::now() + std::chrono::milliseconds(ms);
        while (!done() && Clock::now() < until) {
            frame();
            std::this_thread::sleep_for(std::chrono::milliseconds(4));
        }
        return done();
    }
};

TEST(HandOverTs3, ReaderStoresWhileTheFrameLoopTakes) {
    Ts3Run run;
    int rounds = 0;
    const auto until = Clock::now() + std::chrono::milliseconds(2500);
    while (Clock::now() < until) {
        {
            // A new round for the next refresh; an event changes the snapshot now.
            std::lock_guard<std::mutex> g(run.s.m);
            run.s.round = ++rounds;
            run.s.pending +=
                "notifytalkstatuschange schandlerid=1 status=" + std::to_string(rounds % 2) +
                " clid=10\n\r";
        }
        for (int i = 0; i < 5; ++i) {
            run.frame();
            std::this_thread::sleep_for(std::chrono::milliseconds(4));
        }
    }
    EXPECT_TRUE(run.wait_for([&] { return run.app->ts3.current.link == TS3_CONNECTED; }, 3000));
    EXPECT_GT(run.app->ts3.stores_taken, 20u) << "snapshots taken by the frame loop";
    EXPECT_EQ(run.s.timeouts.load(), 0);
}

TEST(HandOverTs3, StuckReadersLeftBehindAtMostThreeAndEndWhenTheyReturn) {
    Ts3Run run;
    ASSERT_TRUE(run.wait_for([&] { return run.app->ts3.current.link == TS3_CONNECTED; }, 3000));
    {
        std::lock_guard<std::mutex> g(run.s.m);
        run.s.gate_closed = true;
    }
    for (int i = 1; i <= TS3_MAX_LEFT_BEHIND; ++i) {
        ASSERT_TRUE(run.wait_for([&] { return run.s.blocked.load() >= i; }, 3000)) << i;
        run.s.skew.fetch_add(4500); // no progress for more than 4 s
        run.frame();
        EXPECT_EQ(run.app->ts3.left_behind.load(), i);
    }
    EXPECT_EQ(run.app->ts3.reader, nullptr) << "a fourth started while three were away";
    EXPECT_EQ(run.s.started.load(), TS3_MAX_LEFT_BEHIND);
    EXPECT_EQ(mod_ts3_draw(run.app.get(), 1), 1) << "WAIT";
    run.open_gate();
    ASSERT_TRUE(run.wait_for([&] { return run.s.ended.load() == TS3_MAX_LEFT_BEHIND; }, 3000));
    EXPECT_EQ(run.app->ts3.left_behind.load(), 0);
    ASSERT_TRUE(run.wait_for([&] { return run.app->ts3.current.link == TS3_CONNECTED; }, 3000))
        << "a new reader after they came back";
    EXPECT_EQ(run.s.timeouts.load(), TS3_MAX_LEFT_BEHIND);
}

} // namespace
