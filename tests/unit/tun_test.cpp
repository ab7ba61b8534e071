// iTunes module: the event sink's decisions, the media-key latch, the shown time,
// the hand-over of the track text between the worker and the frame loop, and the
// module's update and draw against a fake worker.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstring>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "core/app.h"
#include "draw/draw.h"
#include "draw/notice.h"
#include "modules/mod_tun.h"
#include "screen/slots.h"
#include "services/settings.h"

namespace {

TEST(TunSink, CountsByDispatchId) {
    struct Case {
        int32_t dispid;
        TunEvent event;
    } cases[] = {
        {2, TUN_EVENT_REFRESH}, {3, TUN_EVENT_REFRESH},  {4, TUN_EVENT_REFRESH},
        {8, TUN_EVENT_QUIT},    {9, TUN_EVENT_QUIT},     {1, TUN_EVENT_IGNORED},
        {5, TUN_EVENT_IGNORED}, {7, TUN_EVENT_IGNORED},  {10, TUN_EVENT_IGNORED},
        {0, TUN_EVENT_IGNORED}, {-1, TUN_EVENT_IGNORED},
    };
    TunSinkCounts counts;
    EXPECT_EQ(counts.refresh.load(), 1) << "the first connected pass reads the track";
    EXPECT_EQ(counts.quit.load(), 0);
    int32_t refresh = 1, quit = 0;
    for (const Case& c : cases) {
        EXPECT_EQ(tun_sink_event(&counts, c.dispid), c.event) << c.dispid;
        refresh += c.event == TUN_EVENT_REFRESH;
        quit += c.event == TUN_EVENT_QUIT;
        EXPECT_EQ(counts.refresh.load(), refresh) << c.dispid;
        EXPECT_EQ(counts.quit.load(), quit) << c.dispid;
    }
}

TEST(TunKeys, OneCallPerPress) {
    // Looks at the key every 50 ms: a press held for a second is 20 looks.
    struct Case {
        const char* looks; // 'd' down, 'u' up
        const char* calls; // 'c' call made, '-' none
    } cases[] = {
        {"dddddddddddddddddddd", "c-------------------"},
        {"uuddduuddu", "--c----c--"},
        {"dudu", "c-c-"},
        {"uuu", "---"},
    };
    for (const Case& c : cases) {
        int32_t latch = 0;
        std::string got;
        for (const char* p = c.looks; *p; ++p)
            got += tun_key_step(&latch, *p == 'd') ? 'c' : '-';
        EXPECT_EQ(got, c.calls) << c.looks;
    }
}

TEST(TunTime, ShownSeconds) {
    struct Case {
        int32_t position, duration, playing;
        uint32_t stamp, now;
        int64_t shown;
    } cases[] = {
        {30, 240, 0, 5000, 7500, 210}, // stopped: no counting
        {30, 240, 1, 5000, 7500, 208}, // playing: whole seconds since the read
        {30, 240, 1, 5000, 5999, 210},
        {0, 0, 1, 5000, 12000, 7}, // a stream: elapsed
        {75, 0, 0, 5000, 99000, 75},
        {60, 7200, 0, 1, 2, 7140},
        {240, 240, 0, 1, 2, 0}, // at the end: nothing shown
        {250, 240, 1, 1, 2, -10},
        {30, 240, 1, 0xFFFFFC18u, 2000, 207}, // read 1000 ms before the counter wrapped
        {30, 240, 1, 5001, 5000, 210},        // read by the worker just after the frame's time
        {30, 240, 1, 1, 0xFFFFFFFFu, 210},    // the same across the wrap
        {-5, 0, 0, 1, 2, -5},
    };
    for (const Case& c : cases) {
        TunSnapshot s{};
        s.duration = c.duration;
        s.playing = c.playing;
        s.position = tun_pack_position(c.position, c.stamp);
        EXPECT_EQ(tun_shown_seconds(&s, c.now), c.shown)
            << c.position << " " << c.duration << " " << c.now;
    }
    uint64_t p = tun_pack_position(-1, 0xFFFFFFFFu);
    EXPECT_EQ(tun_position_seconds(p), -1);
    EXPECT_EQ(tun_position_tick(p), 0xFFFFFFFFu);
}

// A lock the test can refuse, with a count of what it saw.
struct FakeLock {
    bool refuse = false;
    int held = 0, acquired = 0;
    uint32_t last_wait = 0;
    static bool acquire(void* h, uint32_t ms) {
        FakeLock* l = static_cast<FakeLock*>(h);
        l->last_wait = ms;
        if (l->refuse)
            return false;
        EXPECT_EQ(l->held, 0) << "taken twice";
        ++l->held;
        ++l->acquired;
        return true;
    }
    static void release(void* h) {
        FakeLock* l = static_cast<FakeLock*>(h);
        EXPECT_EQ(l->held, 1) << "released without being held";
        --l->held;
    }
    TunLock lock() { return TunLock{acquire, release, this}; }
};

TEST(TunHandOver, FrameLoopTakesEachNewTextOnce) {
    // Each step: the worker stores a text (or not), the frame loop looks once.
    struct Step {
        const char* stored; // nullptr: nothing stored in this step
        bool refuse;        // the lock is busy for the frame loop
        bool fresh;
        const char* announced;
        bool asks; // the frame loop asks for the lock (only after a store, or a refusal)
    } steps[] = {
        {nullptr, false, false, "", false}, // connected, not read yet: nothing to announce
        {"A - One", false, true, "A - One", true},
        {nullptr, false, false, "A - One", false},
        {"A - One", false, false, "A - One", true}, // stop and play: the same text
        {"B - Two", true, false, "A - One", true},  // lock busy: this frame skips
        {nullptr, false, true, "B - Two", true},    // and the next frame announces
        {nullptr, false, false, "B - Two", false},
        {"", false, false, "B - Two", true},        // cleared: nothing announced, kept
        {"B - Two", false, false, "B - Two", true}, // the same track after a reconnect
        {" - ", false, true, " - ", true},          // no artist, no name
        {nullptr, false, false, " - ", false},
    };
    TunSnapshot s{};
    FakeLock fake;
    TunLock lock = fake.lock();
    char announced[TUN_TEXT] = "";
    for (const Step& st : steps) {
        if (st.stored) {
            ASSERT_TRUE(tun_store_text(&s, &lock, st.stored, 100));
        }
        fake.refuse = st.refuse;
        fake.last_wait = 0;
        EXPECT_EQ(tun_take_new_text(&s, &lock, announced), st.fresh) << st.announced;
        EXPECT_EQ(fake.last_wait, st.asks ? 100u : 0u)
            << st.announced << ": got a wait of " << fake.last_wait << " ms, expected "
            << (st.asks ? "100 (the frame loop waits at most 100 ms)" : "no lock asked for");
        fake.refuse = false;
        EXPECT_STREQ(announced, st.announced);
    }
    EXPECT_EQ(fake.held, 0);
}

TEST(TunHandOver, EveryStoreIsCountedAndARefusedStoreIsNot) {
    TunSnapshot s{};
    FakeLock fake;
    TunLock lock = fake.lock();
    ASSERT_TRUE(tun_store_text(&s, &lock, "A - One", 100));
    ASSERT_TRUE(tun_store_text(&s, &lock, "A - One", 100));
    EXPECT_EQ(s.stores.load(), 2u) << "the same text stored again still counts";
    fake.refuse = true;
    EXPECT_FALSE(tun_store_text(&s, &lock, "B - Two", 100));
    EXPECT_EQ(s.stores.load(), 2u) << "a store that did not get the lock changed nothing";
    fake.refuse = false;
    char announced[TUN_TEXT] = "";
    EXPECT_TRUE(tun_take_new_text(&s, &lock, announced));
    EXPECT_EQ(s.stores_taken, 2u);
    const int asked = fake.acquired;
    EXPECT_FALSE(tun_take_new_text(&s, &lock, announced));
    EXPECT_EQ(fake.acquired, asked) << "nothing stored since: no lock taken";
}

TEST(TunHandOver, StoreAndReadAreBoundedAndWhole) {
    TunSnapshot s{};
    FakeLock fake;
    TunLock lock = fake.lock();
    const std::string long_text(300, 'x');
    ASSERT_TRUE(tun_store_text(&s, &lock, long_text.c_str(), 250));
    EXPECT_EQ(fake.last_wait, 250u);
    EXPECT_EQ(std::string(s.text), long_text.substr(0, 255));
    ASSERT_TRUE(tun_store_text(&s, &lock, "short", 100));
    for (size_t i = 5; i < sizeof s.text; ++i)
        ASSERT_EQ(s.text[i], '\0') << "the rest of a longer text is cleared, byte " << i;

    fake.refuse = true;
    EXPECT_FALSE(tun_store_text(&s, &lock, "lost?", 100));
    EXPECT_STREQ(s.text, "short") << "a refused lock leaves the text";
    char out[TUN_TEXT] = "before";
    EXPECT_FALSE(tun_read_text(&s, &lock, out));
    EXPECT_STREQ(out, "before");
    fake.refuse = false;
    EXPECT_TRUE(tun_read_text(&s, &lock, out));
    EXPECT_STREQ(out, "short");
}

TEST(TunHandOver, NoTornTextBetweenThreads) {
    // The worker alternates two texts of different lengths while the frame loop
    // takes them: every text taken is one of the two, whole.
    struct TimedLock {
        std::timed_mutex m;
        static bool acquire(void* h, uint32_t ms) {
            return static_cast<TimedLock*>(h)->m.try_lock_for(std::chrono::milliseconds(ms));
        }
        static void release(void* h) { static_cast<TimedLock*>(h)->m.unlock(); }
    } tl;
    TunLock lock{TimedLock::acquire, TimedLock::release, &tl};
    TunSnapshot s{};
    const std::string a(200, 'a'), b = "Band - Short";
    std::atomic<bool> done{false};
    std::atomic<int> taken{0};
    // Until the frame loop has taken 200 texts (at most 5 s, however slow the machine).
    std::thread worker([&] {
        auto end = std::chrono::steady_clock::now() + std::chrono::seconds(5);
        for (int i = 0; taken < 200 && std::chrono::steady_clock::now() < end; ++i)
            tun_store_text(&s, &lock, (i % 2 ? a : b).c_str(), 100);
        done = true;
    });
    char announced[TUN_TEXT] = "";
    while (!done) {
        if (tun_take_new_text(&s, &lock, announced)) {
            ++taken;
            std::string t(announced);
            EXPECT_TRUE(t == a || t == b) << "torn text of " << t.size() << " characters";
        }
    }
    worker.join();
    EXPECT_GT(taken.load(), 0);
}

// ---- the module against a fake worker ------------------------------------------------

struct FakeWorker {
    TunSnapshot snap{};
    FakeLock lock;
    int starts = 0, stops = 0;
    int32_t mediakeys = -1;
    bool window = false;
    int looks = 0, wakes = 0;
};
FakeWorker* g_fake = nullptr;

bool fake_start(TunModule* tun, int32_t mediakeys) {
    ++g_fake->starts;
    g_fake->mediakeys = mediakeys;
    tun->snap = &g_fake->snap;
    tun->lock = g_fake->lock.lock();
    tun->worker = g_fake;
    return true;
}
void fake_stop(TunModule* tun) {
    ++g_fake->stops;
    tun->snap = nullptr;
    tun->worker = nullptr;
}
const TunHost kFakeHost = {
    fake_start,
    fake_stop,
    [](TunModule*) {
        ++g_fake->looks;
        return g_fake->window;
    },
    [](TunModule*) { ++g_fake->wakes; },
};

struct Fixture {
    std::unique_ptr<App> app = std::make_unique<App>();
    FakeWorker worker;
    std::string key, value;
    SettingEntry entry{};
    // An optional "tun_mediakeys"-style setting (key, value).
    explicit Fixture(const char* k = nullptr, const char* v = nullptr) {
        g_fake = &worker;
        if (k) {
            key = k;
            value = v;
            entry.key = &key[0];
            entry.value = &value[0];
            app->settings.head = &entry;
        }
        for (int i = 0; i < SLOT_COUNT; ++i) {
            app->slots[i].index = i;
            app->slots[i].x = (i == 0) ? 0 : (i == 1) ? 40 : (i == 2) ? 81 : 121;
            app->slots[i].y = 22;
        }
        app->tun.host = &kFakeHost;
        mod_tun_init(app.get());
        app->settings.head = nullptr; // the entry is not heap-owned
    }
    ~Fixture() {
        mod_tun_teardown(app.get());
        notice_free_all(&app->notices);
        g_fake = nullptr;
    }
    void connect(const char* text, int32_t bitrate, int32_t duration, int32_t position,
                 int32_t playing, uint32_t stamp) {
        TunLock l = worker.lock.lock();
        tun_store_text(&worker.snap, &l, text, 100);
        worker.snap.bitrate = bitrate;
        worker.snap.duration = duration;
        worker.snap.position = tun_pack_position(position, stamp);
        worker.snap.playing = playing;
        worker.snap.connected = 1;
    }
    std::vector<uint8_t> draw(int slot) {
        memset(app->lcd.frame.pixels, 0, sizeof app->lcd.frame.pixels);
        last = mod_tun_draw(app.get(), slot);
        return std::vector<uint8_t>(app->lcd.frame.pixels,
                                    app->lcd.frame.pixels + sizeof app->lcd.frame.pixels);
    }
    int last = -1;
};

std::vector<uint8_t> expected_slot(int x, const char* upper, const char* lower) {
    auto f = std::make_unique<LcdBitmap>();
    memset(f.get(), 0, sizeof *f);
    Slot s{};
    s.x = x;
    s.y = 22;
    slot_draw_frame(f.get(), &s, "TUN");
    if (upper)
        draw_text_right(f.get(), x, 29, upper);
    if (lower)
        draw_text_right(f.get(), x, 36, lower);
    return std::vector<uint8_t>(f->pixels, f->pixels + sizeof f->pixels);
}

TEST(TunModule, StartsTheWorkerWithTheSettingAndStopsIt) {
    struct Case {
        const char *key, *value;
        int32_t mediakeys;
    } cases[] = {{nullptr, nullptr, 0}, {"tun_mediakeys", "1", 1}, {"TUN_MEDIAKEYS", "5", 5}};
    for (const Case& c : cases) {
        Fixture fx(c.key, c.value);
        EXPECT_EQ(fx.worker.starts, 1);
        EXPECT_EQ(fx.worker.mediakeys, c.mediakeys) << (c.value ? c.value : "-");
        fx.connect("A - B", 192, 240, 30, 0, 1000);
        mod_tun_teardown(fx.app.get());
        EXPECT_EQ(fx.worker.stops, 1);
        EXPECT_EQ(fx.app->tun.snap, nullptr);
        fx.draw(0);
        EXPECT_EQ(fx.last, 0) << "declines after teardown";
    }
}

TEST(TunModule, DeclinesWhileNotConnected) {
    Fixture fx;
    fx.connect("A - B", 192, 240, 30, 0, 1000);
    fx.worker.snap.connected = 0;
    std::vector<uint8_t> px = fx.draw(0);
    EXPECT_EQ(fx.last, 0);
    EXPECT_EQ(std::count(px.begin(), px.end(), 255), 0) << "nothing drawn";
    mod_tun_update(fx.app.get());
    EXPECT_EQ(notice_count(&fx.app->notices), 0) << "no announcement while not connected";
}

TEST(TunModule, SlotLines) {
    struct Case {
        int32_t bitrate, duration, position, playing;
        uint32_t stamp, now;
        int32_t blink;
        const char *upper, *lower;
    } cases[] = {
        {192, 240, 30, 0, 1000, 5000, 0, "192k", "3:30"},
        {192, 240, 30, 1, 1000, 3500, 0, "192k", "3:28"},
        {0, 240, 30, 0, 1000, 5000, 0, nullptr, "3:30"}, // no bitrate: upper line empty
        {128, 0, 75, 0, 1000, 5000, 0, "128k", "1:15"},  // a stream: elapsed
        {320, 7200, 60, 0, 1000, 5000, 0, "320k", "1:59:00"},
        {320, 40000, 0, 0, 1000, 5000, 1, "320k", "11 06"},
        {320, 40000, 0, 0, 1000, 5000, 0, "320k", "11:06"},
        {192, 240, 240, 0, 1000, 5000, 0, "192k", nullptr}, // at the end: no time
        {192, 0, 0, 0, 1000, 5000, 0, "192k", nullptr},
    };
    for (const Case& c : cases) {
        Fixture fx;
        fx.connect("A - B", c.bitrate, c.duration, c.position, c.playing, c.stamp);
        fx.app->frame.now = c.now;
        fx.app->frame.blink = c.blink;
        for (int slot : {0, 3}) {
            int x = fx.app->slots[slot].x;
            EXPECT_EQ(fx.draw(slot), expected_slot(x, c.upper, c.lower))
                << "slot " << slot << " " << (c.lower ? c.lower : "-");
            EXPECT_EQ(fx.last, 1);
        }
    }
}

TEST(TunModule, AnnouncesNewTracksAndAgainOnAShortPress) {
    Fixture fx;
    fx.connect("", 192, 240, 30, 1, 1000);
    App* app = fx.app.get();
    mod_tun_update(app);
    EXPECT_EQ(notice_count(&app->notices), 0) << "not read yet";
    fx.connect("Artist - Song", 192, 240, 30, 1, 1000);
    mod_tun_update(app);
    ASSERT_EQ(notice_count(&app->notices), 1);
    EXPECT_STREQ(app->notices.first->text, "Artist - Song");
    EXPECT_EQ(app->notices.first->key, NOTICE_TRACK);
    EXPECT_EQ(app->notices.first->duration, 1500);
    mod_tun_update(app);
    EXPECT_EQ(notice_count(&app->notices), 1) << "announced once";

    fx.connect("50% %s%n - Song", 192, 240, 30, 1, 1000);
    mod_tun_update(app);
    ASSERT_EQ(notice_count(&app->notices), 1) << "the newer title replaces the queued one";
    EXPECT_STREQ(app->notices.first->text, "50% %s%n - Song") << "outside text is not a format";

    notice_free_all(&app->notices);
    app->slots[1].button = 2;
    fx.draw(1);
    EXPECT_EQ(app->slots[1].button, 2) << "a long press is left pending";
    EXPECT_EQ(notice_count(&app->notices), 0);
    app->slots[1].button = 1;
    fx.draw(1);
    EXPECT_EQ(app->slots[1].button, 0);
    ASSERT_EQ(notice_count(&app->notices), 1);
    EXPECT_STREQ(app->notices.first->text, "50% %s%n - Song");

    notice_free_all(&app->notices);
    fx.worker.lock.refuse = true;
    mod_tun_update(app);
    app->slots[1].button = 1;
    fx.draw(1);
    EXPECT_EQ(fx.last, 1) << "a busy lock still draws the slot";
    EXPECT_EQ(notice_count(&app->notices), 0) << "a busy lock: nothing posted this frame";
}

// The frame loop looks for the window only while the worker waits, tags each look
// with the number of that wait, and wakes the worker once when the window is there;
// a pause takes the looks back.
TEST(TunModule, SharesItsLookWithAWaitingWorker) {
    const struct {
        uint32_t wait;
        bool there;
        uint32_t before;
        bool looks;
        uint32_t look;
        bool wake;
    } cases[] = {
        {0, true, 7, false, 0, false}, {3, false, 0, true, 6, false}, {3, true, 6, true, 7, true},
        {3, true, 7, true, 7, false},  {4, true, 7, true, 9, true},   {3, false, 7, true, 6, false},
    };
    for (const auto& c : cases) {
        uint32_t look = 0;
        bool wake = false;
        EXPECT_EQ(tun_frame_look(c.wait, c.there, c.before, &look, &wake), c.looks)
            << "wait " << c.wait;
        if (!c.looks)
            continue;
        EXPECT_EQ(look, c.look) << "wait " << c.wait << ", there " << c.there;
        EXPECT_EQ(wake, c.wake) << "wait " << c.wait << ", there " << c.there << ", before "
                                << c.before;
    }

    Fixture f;
    mod_tun_update(f.app.get());
    EXPECT_EQ(f.worker.looks, 0) << "no look while the worker does not wait";
    f.worker.snap.waiting = 5;
    for (int frame = 0; frame < 3; ++frame)
        mod_tun_update(f.app.get());
    EXPECT_EQ(f.worker.looks, 3) << "one look in each frame of a wait";
    EXPECT_EQ(f.worker.snap.frame_look.load(), 10u);
    f.worker.window = true;
    mod_tun_update(f.app.get());
    mod_tun_update(f.app.get());
    EXPECT_EQ(f.worker.snap.frame_look.load(), 11u);
    EXPECT_EQ(f.worker.wakes, 1) << "woken in the frame the window appeared in, once";
    mod_tun_frames_paused(f.app.get());
    EXPECT_EQ(f.worker.snap.frame_look.load(), 0u) << "the worker looks by itself again";
    EXPECT_EQ(f.worker.wakes, 2) << "and is told at once";
    mod_tun_frames_paused(f.app.get());
    EXPECT_EQ(f.worker.wakes, 2) << "a second pause has nothing to tell";
}

} // namespace
