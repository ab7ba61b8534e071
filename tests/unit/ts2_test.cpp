// TeamSpeak 2 module: record reads, notices, the channel list and the speaking labels
// over ordinary and hostile snapshots; the slot, presses, watchdog and lock failures
// against a fake system; the poller's loop against a fake client and a fake clock.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <climits>
#include <cstring>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "core/app.h"
#include "draw/draw.h"
#include "draw/notice.h"
#include "modules/mod_ts2.h"
#include "screen/slots.h"

namespace {

// ---------------------------------------------------------------- snapshots

void put32(uint8_t* p, int32_t v) {
    const uint32_t u = static_cast<uint32_t>(v);
    for (int i = 0; i < 4; ++i)
        p[i] = static_cast<uint8_t>(u >> (8 * i));
}

// Writes the bytes of text (no zero added) at p.
void put_bytes(uint8_t* p, const std::string& text) {
    memcpy(p, text.data(), text.size());
}

struct Snap {
    Ts2Snapshot s{};
    Snap& server(const std::string& name, int32_t count) {
        put_bytes(s.bytes, name);
        put32(s.bytes + 478, count);
        return *this;
    }
    Snap& user(int32_t id, int32_t flags, int32_t channel, int32_t here, const std::string& name) {
        uint8_t* u = s.bytes + TS2_USER;
        put32(u, id);
        put32(u + 4, channel);
        put32(u + 46, flags);
        put32(u + 50, channel);
        put32(u + 58, here);
        put_bytes(u + 70, name);
        return *this;
    }
    Snap& player(int32_t id, int32_t channel, const std::string& nick, int32_t flags = 0) {
        const int32_t n = ts2_field(s.bytes, TS2_PLAYER_COUNT);
        uint8_t* p = s.bytes + TS2_PLAYERS + n * TS2_PLAYER_BYTES;
        put32(p, id);
        put32(p + 4, channel);
        put_bytes(p + 8, nick);
        put32(p + 46, flags);
        put32(s.bytes + TS2_PLAYER_COUNT, n + 1);
        return *this;
    }
    Snap& speakers(const std::vector<int32_t>& ids) {
        for (size_t i = 0; i < ids.size() && i < 8; ++i)
            put32(s.bytes + TS2_SPEAKERS + 4 * i, ids[i]);
        put32(s.bytes + TS2_SPEAKER_COUNT, static_cast<int32_t>(ids.size()));
        return *this;
    }
    Snap& counts(int32_t players, int32_t speakers) {
        put32(s.bytes + TS2_PLAYER_COUNT, players);
        put32(s.bytes + TS2_SPEAKER_COUNT, speakers);
        return *this;
    }
};

// The user (id 1, "me") on server "Alpha" in channel 7 "Lobby".
Snap lobby() {
    Snap s;
    s.server("Alpha", 5).user(1, 0, 7, 3, "Lobby").player(1, 7, "me");
    return s;
}

std::vector<std::string> queued(const NoticeQueue& q) {
    std::vector<std::string> out;
    for (const Notice* n = q.first; n; n = n->next)
        out.push_back(std::to_string(n->key) + "|" + std::to_string(n->duration) + "|" + n->text);
    return out;
}

// ---------------------------------------------------------------- record reads

TEST(Ts2Records, CountsHeldToCapacity) {
    const struct {
        int32_t raw, players, speakers;
    } cases[] = {
        {0, 0, 0},     {3, 3, 3},  {8, 8, 8},         {9, 9, 8},           {128, 128, 8},
        {129, 128, 8}, {-1, 0, 0}, {INT32_MIN, 0, 0}, {INT32_MAX, 128, 8},
    };
    for (const auto& c : cases) {
        Snap s;
        s.counts(c.raw, c.raw);
        EXPECT_EQ(ts2_player_count(&s.s), c.players) << c.raw;
        EXPECT_EQ(ts2_speaker_count(&s.s), c.speakers) << c.raw;
    }
}

TEST(Ts2Records, TextFieldsStopAtZeroOrFieldEnd) {
    const struct {
        std::string bytes; // the record from offset 0
        int field;
        size_t cap;
        std::string text;
    } cases[] = {
        {std::string("ann\0xyz", 7), 8, 64, "ann"},
        {"abcdefghij", 4, 64, "abcd"}, // no zero inside the field
        {"abcdefghij", 10, 5, "abcd"}, // the caller's room
        {std::string("\0abc", 4), 4, 64, ""},
        {"\xff\x80x", 3, 64, "\xff\x80x"},
    };
    for (const auto& c : cases) {
        std::vector<uint8_t> rec(c.bytes.begin(), c.bytes.end());
        char out[64];
        memset(out, 'Z', sizeof out);
        EXPECT_EQ(ts2_text(rec.data(), 0, c.field, out, c.cap), c.text.size()) << c.bytes;
        EXPECT_EQ(std::string(out), c.text);
    }
    const uint8_t neg[4] = {0x01, 0x02, 0x00, 0x80};
    EXPECT_EQ(ts2_field(neg, 0), static_cast<int32_t>(0x80000201u));
}

TEST(Ts2PollTiming, OnlyInTheLastTwentyMsAndOncePerFrame) {
    const struct {
        uint32_t now, deadline, stamp;
        bool due;
    } cases[] = {
        {979, 1000, 900, false}, // more than 20 ms before the frame
        {980, 1000, 900, true},  // the window opens
        {999, 1000, 979, true},  // last progress before the window
        {990, 1000, 980, false}, // this frame had its poll
        {1150, 1000, 900, true}, // late frame: still one poll
        {1150, 1000, 1100, false},
        {UINT32_MAX - 5, 10, UINT32_MAX - 100, true}, // across the wrap of the tick count
        {UINT32_MAX - 40, 10, UINT32_MAX - 100, false},
        {5, 10, UINT32_MAX - 2, false},
    };
    for (const auto& c : cases)
        EXPECT_EQ(ts2_poll_due(c.now, c.deadline, c.stamp), c.due)
            << c.now << " " << c.deadline << " " << c.stamp;
}

// ---------------------------------------------------------------- channel text

TEST(Ts2ChannelText, ListsPlayersOfTheUsersChannel) {
    const std::string a37(37, 'a');
    const struct {
        const char* name;
        std::function<void(Snap&)> players;
        std::string text;
    } cases[] = {
        {"bracket flag 0x08", [](Snap& s) { s.player(2, 7, "ann").player(3, 7, "bob", 0x08); },
         "TS2: Channel \"Lobby\": me, ann, (bob)"},
        {"flags 0x10 0x20 bracket, 0x40 and 0x100 do not",
         [](Snap& s) {
             s.player(2, 7, "a", 0x10).player(3, 7, "b", 0x20).player(4, 7, "c", 0x40);
             s.player(5, 7, "d", 0x100).player(6, 7, "e", 0x108);
         },
         "TS2: Channel \"Lobby\": me, (a), (b), c, d, (e)"},
        {"other channels leave no comma",
         [](Snap& s) { s.player(2, 8, "far").player(3, 7, "ann").player(4, -7, "x"); },
         "TS2: Channel \"Lobby\": me, ann"},
        {"a nickname is text, never a format", [](Snap& s) { s.player(2, 7, "%s%n%x"); },
         "TS2: Channel \"Lobby\": me, %s%n%x"},
        {"a nickname without its zero ends with its field",
         [](Snap& s) { s.player(2, 7, std::string(40, 'N')); },
         "TS2: Channel \"Lobby\": me, " + std::string(38, 'N')},
    };
    for (const auto& c : cases) {
        Snap s = lobby();
        c.players(s);
        char out[TS2_CHANNEL_TEXT];
        EXPECT_EQ(ts2_channel_text(&s.s, out), c.text.size()) << c.name;
        EXPECT_EQ(std::string(out), c.text) << c.name;
    }

    // First record in another channel: the first listed name has no comma.
    Snap s;
    s.server("Alpha", 2).user(1, 0, 7, 1, "C").player(9, 3, "x").player(2, 7, "ann");
    char out[TS2_CHANNEL_TEXT];
    ts2_channel_text(&s.s, out);
    EXPECT_STREQ(out, "TS2: Channel \"C\": ann");

    // Twelve 37-character names fill 484 characters; a thirteenth does not fit in 510
    // and is left out, a short one after it still fits.
    Snap full;
    full.server("Alpha", 2).user(1, 0, 7, 14, "C");
    for (int i = 0; i < 13; ++i)
        full.player(10 + i, 7, a37);
    full.player(30, 7, "zz");
    const size_t n = ts2_channel_text(&full.s, out);
    EXPECT_EQ(n, 488u);
    EXPECT_EQ(std::string(out).substr(470), a37.substr(0, 14) + ", zz");
}

TEST(Ts2ChannelText, HostileCountsStayInTheSnapshot) {
    for (int32_t count : {129, 100000, INT32_MAX, -1, INT32_MIN}) {
        Snap s = lobby();
        for (int i = 0; i < 128; ++i)
            put32(s.s.bytes + TS2_PLAYERS + i * TS2_PLAYER_BYTES + 4, 7);
        s.counts(count, count);
        char out[TS2_CHANNEL_TEXT];
        const size_t n = ts2_channel_text(&s.s, out);
        EXPECT_LE(n, 510u) << count;
        EXPECT_EQ(strlen(out), n) << count;
        // 128 records of channel 7 (the first is "me", the rest empty names).
        EXPECT_EQ(n, count < 0 ? strlen("TS2: Channel \"Lobby\":")
                               : strlen("TS2: Channel \"Lobby\": me") + 127 * 2)
            << count;
    }
}

// ---------------------------------------------------------------- notices

TEST(Ts2Notices, ChangesBetweenSnapshots) {
    const struct {
        const char* name;
        Snap prev, cur;
        std::vector<std::string> notices;
    } cases[] = {
        {"connecting: server, channel, the others (key 2 keeps the later name)",
         Snap(),
         lobby().player(2, 7, "ann").player(3, 9, "bob"),
         {"4|2000|TS2: Server \"Alpha\"", "3|2000|TS2: Channel \"Lobby\"",
          "2|2000|TS2: \"bob\" connected"}},
        {"nothing changed", lobby().player(2, 7, "ann"), lobby().player(2, 7, "ann"), {}},
        {"names compared without ASCII case",
         lobby(),
         Snap().server("ALPHA", 5).user(1, 0, 7, 3, "lobby").player(1, 7, "me"),
         {}},
        {"channel switch",
         lobby(),
         Snap().server("Alpha", 5).user(1, 0, 8, 1, "Games").player(1, 8, "me"),
         {"3|2000|TS2: Channel \"Games\""}},
        {"join and leave in one frame",
         lobby().player(2, 7, "ann"),
         lobby().player(3, 7, "bob"),
         {"2|2000|TS2: \"bob\" connected", "5|2000|TS2: \"ann\" dropped"}},
        {"the user's own id never connects",
         Snap().player(5, 7, "x"),
         lobby().player(5, 7, "x"),
         {"4|2000|TS2: Server \"Alpha\"", "3|2000|TS2: Channel \"Lobby\""}},
        {"nicknames are text",
         lobby(),
         lobby().player(2, 7, "%s%n"),
         {"2|2000|TS2: \"%s%n\" connected"}},
        {"repeated ids",
         lobby().player(2, 7, "a").player(2, 7, "b"),
         lobby().player(4, 7, "c").player(4, 7, "d"),
         {"2|2000|TS2: \"d\" connected", "5|2000|TS2: \"b\" dropped"}},
    };
    for (const auto& c : cases) {
        NoticeQueue q{};
        ts2_post_changes(&c.prev.s, &c.cur.s, &q, 0);
        EXPECT_EQ(queued(q), c.notices) << c.name;
        notice_free_all(&q);
    }
}

TEST(Ts2Notices, UnterminatedServerNameIsCutNotOverrun) {
    Snap cur;
    memset(cur.s.bytes, 'S', 482); // no zero anywhere in the server record
    NoticeQueue q{};
    const Snap none;
    ts2_post_changes(&none.s, &cur.s, &q, 0);
    ASSERT_NE(q.first, nullptr);
    const std::string text = q.first->text;
    EXPECT_EQ(text, ("TS2: Server \"" + std::string(478, 'S') + "\"").substr(0, 511));
    notice_free_all(&q);
}

// ---------------------------------------------------------------- labels

int width(const char* s) {
    return draw_text(nullptr, TEXT_MEASURE, 0, 0, s);
}

std::unique_ptr<LcdBitmap> blank() {
    auto f = std::make_unique<LcdBitmap>();
    memset(f.get(), 0, sizeof *f);
    return f;
}

// The label for name ending at column right (its margin's last column): margins and
// cut corners off, the box on, the name in the box as the plain text's negative.
void expect_label(const LcdBitmap& f, int right, const char* name) {
    const int w = width(name);
    const int b = right - w - 1;
    auto plain = blank();
    draw_text(plain.get(), 0, b + 1, 10, name);
    for (int y = 8; y <= 20; ++y) {
        for (int x = b - 1; x <= right; ++x) {
            if (x < 0 || x >= LCD_WIDTH)
                continue;
            const bool margin = x == b - 1 || x == right || y == 8 || y == 20;
            const bool corner = (x == b || x == b + w) && (y == 9 || y == 19);
            const bool text = y >= 10 && y <= 17 && x > b;
            const bool on =
                margin || corner ? false : (text ? plain->pixels[y * 160 + x] == 0 : true);
            EXPECT_EQ(f.pixels[y * 160 + x] != 0, on)
                << name << " at (" << x << "," << y << ") right " << right;
        }
    }
}

TEST(Ts2Labels, FromTheRightEdgeInSpeakerOrder) {
    const struct {
        const char* name;
        std::vector<int32_t> speakers;
        std::vector<const char*> labels; // right to left
        int32_t speaking;
    } cases[] = {
        {"three speakers", {2, 3, 4}, {"ann", "bob", "cy"}, 0},
        {"the user speaking: no label of their own", {1, 3}, {"bob"}, 1},
        {"an id matching no player", {99, 4}, {"cy"}, 0},
        {"a repeated id", {2, 2, 3}, {"ann", "bob"}, 0},
        {"a nickname is drawn as text", {5}, {"%s%n"}, 0},
    };
    for (const auto& c : cases) {
        Snap s = lobby();
        s.player(2, 7, "ann").player(3, 9, "bob").player(4, 7, "cy").player(5, 7, "%s%n");
        s.speakers(c.speakers);
        auto f = blank();
        EXPECT_EQ(ts2_draw_labels(&s.s, f.get()), c.speaking) << c.name;
        int right = 159;
        for (const char* l : c.labels) {
            expect_label(*f, right, l);
            right -= width(l) + 3;
        }
        int lit = 0;
        for (int y = 0; y < LCD_HEIGHT; ++y)
            for (int x = 0; x <= right; ++x)
                lit += f->pixels[y * 160 + x] != 0;
        EXPECT_EQ(lit, 0) << c.name << ": nothing left of the labels";
        for (int x = 0; x < LCD_WIDTH; ++x) {
            for (int y : {0, 7, 21, 42})
                ASSERT_EQ(f->pixels[y * 160 + x], 0) << c.name << " outside rows 8..20";
        }
    }
}

TEST(Ts2Labels, TooWideIsSkippedAndALaterOneMayFit) {
    const std::string wide(10, 'W');
    Snap s = lobby();
    s.player(2, 7, wide).player(3, 7, wide).player(4, 7, wide).player(5, 7, "ab");
    s.speakers({2, 3, 4, 5});
    const int w = width(wide.c_str());
    const int left = 159 - 2 * (w + 3); // last free column after two wide labels
    ASSERT_LT(left + 1 - w - 1, 0) << "the third wide name must not fit";
    ASSERT_GE(left + 1 - width("ab") - 1, 0) << "the short name must fit";
    auto f = blank();
    ts2_draw_labels(&s.s, f.get());
    expect_label(*f, 159, wide.c_str());
    expect_label(*f, 159 - (w + 3), wide.c_str());
    expect_label(*f, left, "ab");
    for (int y = 8; y <= 20; ++y)
        for (int x = 0; x < left - width("ab") - 2; ++x)
            ASSERT_EQ(f->pixels[y * 160 + x], 0) << "(" << x << "," << y << ")";
}

TEST(Ts2Labels, ALabelEndingAtTheLeftEdgeDoesNotWrap) {
    // Room for exactly one label whose margin starts at column -1: nothing may
    // appear at the right end of the rows above.
    Snap s = lobby();
    const int w = width("ann");
    s.player(2, 7, "ann");
    auto f = blank();
    memset(f->pixels, 0, sizeof f->pixels);
    ts2_draw_label(f.get(), w + 1, w, "ann");
    for (int y = 0; y < LCD_HEIGHT; ++y)
        for (int x = w + 1; x < LCD_WIDTH; ++x)
            ASSERT_EQ(f->pixels[y * 160 + x], 0) << "(" << x << "," << y << ")";
}

// ---------------------------------------------------------------- fake system

struct Call {
    uint32_t at;
    std::string what;
    int32_t arg;
};

struct Fake {
    uint32_t clock = 100000;
    bool window = true;
    bool lock_free = true;
    int lock_takes = 0;
    std::vector<std::string> log;
    std::vector<Ts2Poller*> started;
    bool start_ok = true;
    int forgotten = 0;
    int sleeps = 0, wakes = 0, naps = 0;
    Ts2Poller* nap_poller = nullptr; // stopped by a nap that reaches `end`
    uint32_t window_at = 0;          // the client's window appears at this tick (0: never)
    int own_looks = 0;               // the poller's own lookups (no watch)
    int look_waits = 0, look_wakes = 0;
    std::function<void()> on_frame; // the frame loop's frame, run by waits for its look

    // the client
    bool library = true;
    int loads = 0, unloads = 0;
    int32_t server_result = 0;
    int fail_user = 0; // the next n user calls fail
    int32_t fail_players = 0;
    Snap state = lobby();
    std::vector<Call> calls;
    std::function<void(Ts2Poller*, const std::string&)> on_call;

    // the poller's time: each sleep moves the clock and runs the frames that fall due
    std::atomic<uint32_t>* deadline = nullptr;
    uint32_t next_frame = 0;
    uint32_t end = 0;
};

Fake* fake(void* ctx) {
    return static_cast<Fake*>(ctx);
}
Fake* fake(Ts2Poller* p) {
    return static_cast<Fake*>(p->host->ctx);
}

void record(Ts2Poller* p, const char* what, int32_t arg) {
    Fake* f = fake(p);
    f->calls.push_back({f->clock, what, arg});
    if (f->on_call)
        f->on_call(p, what);
}

const Ts2Host kFakeHost = {
    nullptr,
    [](void* c, WindowWatch* w) {
        if (!w)
            ++fake(c)->own_looks;
        return fake(c)->window;
    },
    [](void* c) { return fake(c)->clock; },
    [](void* c, int, const char* m) { fake(c)->log.push_back(m); },
    [](void*) -> void* { return new int(0); },
    [](void*, void* l) -> void* { return l; },
    [](void* c, void* l) {
        // the module's lock is closed last; duplicates are the same object here
        (void)c;
        (void)l;
    },
    [](void* c, void*, uint32_t) {
        ++fake(c)->lock_takes;
        return fake(c)->lock_free;
    },
    [](void*, void*) {},
    [](void* c, Ts2Poller* p, bool) {
        if (!fake(c)->start_ok)
            return false;
        fake(c)->started.push_back(p);
        return true;
    },
    [](void* c, Ts2Poller*, uint32_t) { ++fake(c)->forgotten; },
    [](void*, Ts2Poller*) {},
    [](void* c, Ts2Poller* p, uint32_t ms) {
        Fake* f = fake(c);
        ++f->sleeps;
        f->clock += ms;
        while (f->deadline && static_cast<int32_t>(f->clock - f->next_frame) >= 0) {
            f->deadline->store(f->next_frame + 100);
            f->next_frame += 100;
        }
        if (static_cast<int32_t>(f->clock - f->end) >= 0)
            p->stop.store(1);
    },
    [](void* c, Ts2Poller*) { ++fake(c)->wakes; },
    [](void* c, Ts2Poller*) {
        ++fake(c)->loads;
        return fake(c)->library;
    },
    [](void* c, Ts2Poller*) { ++fake(c)->unloads; },
    [](Ts2Poller* p, void* rec) {
        record(p, "server", 0);
        Fake* f = fake(p);
        if (f->server_result == 0)
            memcpy(rec, f->state.s.bytes + TS2_SERVER, TS2_SERVER_BYTES);
        return f->server_result;
    },
    [](Ts2Poller* p, void* rec) {
        record(p, "user", 0);
        Fake* f = fake(p);
        if (f->fail_user > 0) {
            --f->fail_user;
            return 1;
        }
        memcpy(rec, f->state.s.bytes + TS2_USER, TS2_USER_BYTES);
        return 0;
    },
    [](Ts2Poller* p, void* recs, void* count) {
        Fake* f = fake(p);
        int32_t cap;
        memcpy(&cap, count, 4);
        record(p, "players", cap);
        if (f->fail_players)
            return f->fail_players;
        memcpy(recs, f->state.s.bytes + TS2_PLAYERS, 6400);
        memcpy(count, f->state.s.bytes + TS2_PLAYER_COUNT, 4);
        return 0;
    },
    [](Ts2Poller* p, void* ids, void* count) {
        Fake* f = fake(p);
        int32_t cap;
        memcpy(&cap, count, 4);
        record(p, "speakers", cap);
        memcpy(ids, f->state.s.bytes + TS2_SPEAKERS, 32);
        memcpy(count, f->state.s.bytes + TS2_SPEAKER_COUNT, 4);
        return 0;
    },
    [](Ts2Poller* p, int32_t flags) {
        record(p, "flags", flags);
        put32(fake(p)->state.s.bytes + TS2_USER + 46, flags);
        return 0;
    },
    [](void* c, uint32_t ms) {
        Fake* f = fake(c);
        ++f->naps;
        f->clock += ms;
        if (f->window_at && static_cast<int32_t>(f->clock - f->window_at) >= 0)
            f->window = true;
        if (f->nap_poller && static_cast<int32_t>(f->clock - f->end) >= 0)
            f->nap_poller->stop.store(1);
    },
    nullptr,
    nullptr,
};

// A wait for the frame loop's look: frames every 100 ms until one wakes the poller.
void fake_look_wait(void* c, Ts2Poller* p, uint32_t ms) {
    Fake* f = fake(c);
    ++f->look_waits;
    const int wakes = f->look_wakes;
    for (uint32_t waited = 0; waited < ms && f->look_wakes == wakes; waited += 100) {
        f->clock += 100;
        if (f->window_at && static_cast<int32_t>(f->clock - f->window_at) >= 0)
            f->window = true;
        if (f->on_frame)
            f->on_frame();
        if (static_cast<int32_t>(f->clock - f->end) >= 0) {
            p->stop.store(1);
            return;
        }
    }
}

struct Module {
    std::unique_ptr<App> app = std::make_unique<App>();
    Fake f;
    Ts2Host host = kFakeHost;
    void* lock = nullptr;

    Module() {
        host.ctx = &f;
        app->ts2.host = &host;
        for (int i = 0; i < SLOT_COUNT; ++i)
            slot_setup(&app->slots[i], i, nullptr);
        app->frame.now = f.clock;
        mod_ts2_init(app.get());
        lock = app->ts2.lock;
    }
    ~Module() {
        mod_ts2_teardown(app.get());
        for (Ts2Poller* p : f.started)
            if (std::find(ran.begin(), ran.end(), p) == ran.end())
                ts2_poller_release(p); // the reference a real thread drops when it ends
        notice_free_all(&app->notices);
        delete static_cast<int*>(lock);
    }
    std::vector<Ts2Poller*> ran; // pollers whose thread reference is already dropped

    Ts2Poller* poller() { return app->ts2.poller; }
    // The poller has the library and this snapshot.
    void connected(const Snap& s) {
        poller()->library_loaded.store(1);
        poller()->link_state.store(1);
        poller()->poll_stamp.store(f.clock);
        app->ts2.shared = s.s;
    }
    void frame() {
        memset(app->lcd.frame.pixels, 0, LCD_PIXELS);
        app->frame.now = f.clock;
        mod_ts2_update(app.get());
    }
    int draw(int slot) { return mod_ts2_draw(app.get(), slot); }
    const LcdBitmap& pixels() { return app->lcd.frame; }
};

const char* const kMicFilled[] = {
    "             ", "   XXX       ", "  XXXXX      ", "  XXXXX      ", "  XXXXX      ",
    "   XXXXX     ", "      XXX    ", "       XXX   ", "        XXX  ", "         XXX ",
    "          XX ", "            X", "  XXXXXXX   X", "XX       XXX "};
const char* const kMicHollow[] = {
    "             ", "   XXX       ", "  X   X      ", "  X   X      ", "  X   X      ",
    "   XXX X     ", "      X X    ", "       X X   ", "        X X  ", "         X X ",
    "          XX ", "    X X     X", "  XXX XXX   X", "XX  X X  XXX "};
const char* const kMicSpeaking[] = {
    "  X   X  X  X", " X XXX X  X X", "X XXXXX X X  ", "X XXXXX X    ", "X XXXXX X    ",
    " X XXXXX     ", "  X   XXX    ", "       XXX   ", "        XXX  ", "         XXX ",
    "          XX ", "            X", "  XXXXXXX   X", "XX       XXX "};

// The slot as expected: frame and title, then the given drawing.
std::vector<uint8_t> expected_slot(const Slot& s, const std::function<void(LcdBitmap*)>& more) {
    auto f = blank();
    slot_draw_frame(f.get(), &s, "TS2");
    more(f.get());
    std::vector<uint8_t> out;
    for (int y = s.y; y < s.y + 21 && y < LCD_HEIGHT; ++y)
        for (int x = s.x; x <= s.x + 38; ++x)
            out.push_back(f->pixels[y * 160 + x]);
    return out;
}

std::vector<uint8_t> slot_pixels(const LcdBitmap& f, const Slot& s) {
    std::vector<uint8_t> out;
    for (int y = s.y; y < s.y + 21 && y < LCD_HEIGHT; ++y)
        for (int x = s.x; x <= s.x + 38; ++x)
            out.push_back(f.pixels[y * 160 + x]);
    return out;
}

void mic(LcdBitmap* f, int x, int y, const char* const rows[14]) {
    for (int r = 0; r < 14; ++r)
        for (int c = 0; c < 13; ++c)
            if (rows[r][c] == 'X')
                f->pixels[(y + 7 + r) * 160 + x + 1 + c] = 255;
}

TEST(Ts2Slot, WindowLibraryAndLinkStates) {
    const struct {
        const char* name;
        bool window;
        int32_t loaded, no_library, link;
        int taken;
        const char* text; // drawn at (x + tx, y + 14)
        int tx;
    } cases[] = {
        {"no client window", false, 1, 0, 1, 0, nullptr, 0},
        {"client, library not tried yet", true, 0, 0, -1, 1, "WAIT", 18},
        {"client, library missing", true, 0, 1, -1, 1, "NO DLL", 6},
        {"library loaded, no answer yet", true, 1, 0, -1, 1, nullptr, 0},
        {"not on a server", true, 1, 0, 0, 1, nullptr, 0},
    };
    for (const auto& c : cases) {
        Module m;
        m.f.window = c.window;
        m.poller()->library_loaded.store(c.loaded);
        m.poller()->no_library.store(c.no_library);
        m.poller()->link_state.store(c.link);
        m.app->ts2.shared = lobby().s;
        const Slot& s = m.app->slots[2];
        EXPECT_EQ(m.draw(2), c.taken) << c.name;
        const auto exp =
            c.taken == 0 ? std::vector<uint8_t>(39 * 21, 0) : expected_slot(s, [&](LcdBitmap* f) {
                if (c.text)
                    draw_text(f, 0, s.x + c.tx, s.y + 14, c.text);
            });
        EXPECT_EQ(slot_pixels(m.pixels(), s), exp) << c.name;
    }
}

// The client's window is looked up once a frame, by the update; the draws of that
// frame go by its answer, and the next frame looks again.
TEST(Ts2Slot, DrawGoesByTheWindowLookupOfItsFrame) {
    const struct {
        const char* name;
        bool at_update, at_draw;
        int taken;
    } cases[] = {
        {"there at the update, gone before the draw", true, false, 1},
        {"gone at the update, back before the draw", false, true, 0},
        {"there all along", true, true, 1},
        {"gone all along", false, false, 0},
    };
    for (const auto& c : cases) {
        Module m;
        m.connected(lobby());
        m.f.window = c.at_update;
        m.frame();
        m.f.window = c.at_draw;
        EXPECT_EQ(m.draw(0), c.taken)
            << c.name << ": got " << m.draw(0) << ", expected " << c.taken;
        EXPECT_EQ(m.draw(1), c.taken) << c.name << " (a second slot)";
        m.f.clock += 100; // the next frame looks again
        m.frame();
        EXPECT_EQ(m.draw(0), c.at_draw ? 1 : 0) << c.name << ", next frame";
    }
}

TEST(Ts2Slot, NumbersAndMicrophone) {
    const struct {
        const char* name;
        int32_t servers, here, flags;
        std::vector<int32_t> speakers;
        const char* top;   // small, top right
        const char* large; // large, players in the channel
        const char* const* mic;
    } cases[] = {
        {"alone on the server", 1, 1, 0, {}, nullptr, nullptr, kMicFilled},
        {"server count only", 2, 1, 0, {}, "2", nullptr, kMicFilled},
        {"channel count needs a server count above 1", 1, 4, 0, {}, nullptr, nullptr, kMicFilled},
        {"both", 37, 12, 0, {}, "37", "12", kMicFilled},
        {"microphone flag", 2, 2, 0x10, {}, "2", "2", kMicHollow},
        {"only the low byte's 0x10", 2, 2, 0x1000, {}, "2", "2", kMicFilled},
        {"speaking wins over the flag", 2, 2, 0x10, {1}, "2", "2", kMicSpeaking},
        {"negative counts", -5, -5, 0, {}, nullptr, nullptr, kMicFilled},
    };
    for (const auto& c : cases) {
        Module m;
        Snap s;
        s.server("Alpha", c.servers).user(1, c.flags, 7, c.here, "Lobby").player(1, 7, "me");
        s.speakers(c.speakers);
        m.connected(s);
        m.frame();
        const Slot& slot = m.app->slots[1];
        EXPECT_EQ(m.draw(1), 1) << c.name;
        const auto exp = expected_slot(slot, [&](LcdBitmap* f) {
            if (c.top) {
                const int w = width(c.top);
                draw_text(f, 0, slot.x + 38 - w, slot.y + 1, c.top);
            }
            if (c.large) {
                const int w = draw_text(f, TEXT_LARGE | TEXT_MEASURE, 0, 0, c.large);
                draw_text(f, TEXT_LARGE, slot.x + 38 - w, slot.y + 10, c.large);
            }
            mic(f, slot.x, slot.y, c.mic);
        });
        EXPECT_EQ(slot_pixels(m.pixels(), slot), exp) << c.name;
    }
}

// The draw reads what the update of its frame copied under the lock, without taking
// the lock again; a draw with no update before it in its frame takes the lock and
// reads the shared snapshot. Both draw the same.
TEST(Ts2Slot, DrawReadsTheCopyOfItsFrameWithoutTheLock) {
    Snap first;
    first.server("Alpha", 3).user(1, 0x10, 7, 2, "Lobby").player(1, 7, "me");
    Snap later;
    later.server("Alpha", 9).user(1, 0, 7, 5, "Lobby").player(1, 7, "me");

    Module with_update;
    with_update.connected(first);
    with_update.frame();
    const int takes = with_update.f.lock_takes;
    EXPECT_EQ(with_update.draw(1), 1);
    EXPECT_EQ(with_update.f.lock_takes, takes)
        << "got " << with_update.f.lock_takes - takes << " lock takes, expected none";

    Module without_update;
    without_update.connected(first);
    const int takes2 = without_update.f.lock_takes;
    EXPECT_EQ(without_update.draw(1), 1);
    EXPECT_EQ(without_update.f.lock_takes, takes2 + 1) << "a draw on its own takes the lock";
    const Slot& slot = with_update.app->slots[1];
    EXPECT_EQ(slot_pixels(with_update.pixels(), slot),
              slot_pixels(without_update.pixels(), without_update.app->slots[1]));

    // A snapshot the poller stores after this frame's update shows from the next frame.
    with_update.app->ts2.shared = later.s;
    memset(with_update.app->lcd.frame.pixels, 0, LCD_PIXELS);
    with_update.draw(1);
    EXPECT_EQ(slot_pixels(with_update.pixels(), slot),
              slot_pixels(without_update.pixels(), without_update.app->slots[1]))
        << "this frame still draws what its update took";
    with_update.f.clock += 100;
    with_update.frame();
    with_update.draw(1);
    Module fresh;
    fresh.connected(later);
    fresh.draw(1);
    EXPECT_EQ(slot_pixels(with_update.pixels(), slot),
              slot_pixels(fresh.pixels(), fresh.app->slots[1]))
        << "the next frame draws the new snapshot";
}

TEST(Ts2Slot, PressesGoToThePollerAndTheNoticeQueue) {
    Module m;
    m.connected(lobby().player(2, 7, "%s%n").player(3, 7, "bob", 0x08));
    m.frame();
    Slot& s = m.app->slots[0];
    s.button = 1;
    m.draw(0);
    EXPECT_EQ(s.button, 0);
    s.button = 1;
    m.draw(0);
    EXPECT_EQ(m.poller()->mute_request.load(), 2) << "two presses before the poller acts";
    EXPECT_EQ(m.f.wakes, 2) << "each press wakes the poller";

    notice_free_all(&m.app->notices);
    s.button = 2;
    m.frame();
    m.draw(0);
    EXPECT_EQ(s.button, 0);
    EXPECT_EQ(queued(m.app->notices),
              std::vector<std::string>{"6|1000|TS2: Channel \"Lobby\": me, %s%n, (bob)"});

    // Presses are left alone while the slot shows only its frame.
    m.poller()->link_state.store(0);
    s.button = 1;
    m.draw(0);
    EXPECT_EQ(s.button, 1);
}

TEST(Ts2Update, DisconnectingPostsOnceAndReconnectingAnnouncesAgain) {
    Module m;
    m.connected(lobby().player(2, 7, "ann"));
    m.frame();
    notice_free_all(&m.app->notices);
    m.poller()->link_state.store(0);
    for (int i = 0; i < 5; ++i)
        m.frame();
    EXPECT_EQ(queued(m.app->notices), std::vector<std::string>{"0|2000|TS2: Disconnected"});
    notice_free_all(&m.app->notices);
    m.poller()->link_state.store(1);
    m.frame();
    EXPECT_EQ(queued(m.app->notices), (std::vector<std::string>{"4|2000|TS2: Server \"Alpha\"",
                                                                "3|2000|TS2: Channel \"Lobby\"",
                                                                "2|2000|TS2: \"ann\" connected"}));
}

TEST(Ts2Update, LockNotGrantedSkipsTheFrame) {
    Module m;
    m.connected(lobby().player(2, 7, "ann").speakers({2}));
    m.f.lock_free = false;
    m.frame();
    EXPECT_EQ(m.f.log, std::vector<std::string>{"TS2 mutex timed out"});
    EXPECT_EQ(notice_count(&m.app->notices), 0);
    EXPECT_EQ(m.app->ts2.channel_text[0], '\0');
    for (int x = 0; x < LCD_WIDTH; ++x)
        EXPECT_EQ(m.pixels().pixels[12 * 160 + x], 0) << "no label without the lock";
    EXPECT_EQ(m.app->ts2.previous.bytes[0], 0) << "previous stays as it was";
    EXPECT_EQ(m.draw(3), 1);
    EXPECT_EQ(slot_pixels(m.pixels(), m.app->slots[3]),
              expected_slot(m.app->slots[3], [](LcdBitmap*) {}))
        << "frame only";
    m.f.lock_free = true;
    m.frame();
    EXPECT_EQ(notice_count(&m.app->notices), 3);
}

TEST(Ts2Update, WatchdogReplacesAStuckPoller) {
    Module m;
    m.connected(lobby());
    m.frame();
    Ts2Poller* stuck = m.poller();
    m.f.clock += 4000;
    m.frame();
    EXPECT_TRUE(m.f.log.empty()) << "4000 ms is not yet a stall";
    EXPECT_EQ(m.poller(), stuck);
    m.f.clock += 1;
    m.frame();
    EXPECT_EQ(m.f.log, std::vector<std::string>{"TS2 thread timeout -- restarting"});
    ASSERT_EQ(m.f.started.size(), 2u);
    EXPECT_EQ(stuck->stop.load(), 1) << "the stuck poller is told to stop";
    Ts2Poller* fresh = m.poller();
    EXPECT_EQ(fresh, m.f.started[1]);
    EXPECT_EQ(fresh->link_state.load(), -1);
    EXPECT_EQ(fresh->library_loaded.load(), 0);
    EXPECT_EQ(fresh->mute_request.load(), 0);
    EXPECT_EQ(m.app->ts2.shared.bytes[0], 0) << "the shared snapshot is cleared";
    EXPECT_EQ(m.draw(0), 1);
    // The stuck thread's late return only drops its own reference.
    ts2_poller_release(stuck);
    m.ran.push_back(stuck);
}

TEST(Ts2Update, AtMostThreePollersAreLeftInALibraryThatNeverReturns) {
    Module m;
    std::vector<Ts2Poller*> stuck;
    // Every poller gets the library and then never comes back from it.
    for (int round = 0; round < 6; ++round) {
        if (Ts2Poller* p = m.poller()) {
            m.connected(lobby());
            stuck.push_back(p);
        }
        m.f.clock += 4001;
        m.frame();
    }
    EXPECT_EQ(m.f.started.size(), 3u)
        << "got " << m.f.started.size() << " pollers started, expected 3 and then none";
    EXPECT_EQ(ts2_left_behind(&m.app->ts2), TS2_MAX_LEFT_BEHIND);
    EXPECT_EQ(m.poller(), nullptr);
    EXPECT_EQ(m.f.log.size(), 3u) << "one timeout report per poller left behind";

    // The slot waits meanwhile.
    m.frame();
    ASSERT_EQ(m.draw(1), 1);
    const Slot& s = m.app->slots[1];
    EXPECT_EQ(slot_pixels(m.pixels(), s),
              expected_slot(s, [&](LcdBitmap* f) { draw_text(f, 0, s.x + 18, s.y + 14, "WAIT"); }));

    // One call returns: that thread ends (dropping its own reference) and a new
    // poller starts at the next frame; the others stay counted.
    Ts2Poller* back = stuck[1];
    back->finished.store(1);
    ts2_poller_release(back);
    m.ran.push_back(back);
    m.frame();
    EXPECT_EQ(m.f.started.size(), 4u);
    EXPECT_NE(m.poller(), nullptr);
    EXPECT_EQ(ts2_left_behind(&m.app->ts2), TS2_MAX_LEFT_BEHIND - 1);
    for (Ts2Poller* p : stuck) {
        if (p == back)
            continue;
        ts2_poller_release(p); // the late returns at the end of the test
        m.ran.push_back(p);
    }
}

TEST(Ts2Update, AFailedThreadStartIsRetried) {
    Module m;
    mod_ts2_teardown(m.app.get());
    delete static_cast<int*>(m.lock);
    m.f.start_ok = false;
    mod_ts2_init(m.app.get());
    m.lock = m.app->ts2.lock;
    EXPECT_EQ(m.poller(), nullptr);
    EXPECT_EQ(m.f.log, std::vector<std::string>{"TS2 thread could not be started"});
    m.f.start_ok = true;
    m.frame();
    EXPECT_EQ(m.poller(), nullptr) << "not before 4 s";
    m.f.clock += 4001;
    m.frame();
    EXPECT_NE(m.poller(), nullptr);
}

// ---------------------------------------------------------------- the poller's loop

struct PollerRun : Module {
    // Runs the poller on this thread for ms of fake time with frames every 100 ms.
    void run(uint32_t ms) {
        Ts2Poller* p = poller();
        f.deadline = &app->frame.frame_deadline;
        f.next_frame = f.clock + 37;
        f.end = f.clock + ms;
        app->frame.frame_deadline.store(f.clock + 37);
        p->refs.fetch_add(1); // keep the record readable after the run drops its reference
        ts2_poller_run(p);
        ran.push_back(p);
        kept.push_back(p);
    }
    std::vector<Ts2Poller*> kept;
    std::vector<Call> of(const char* what) {
        std::vector<Call> out;
        for (const Call& c : f.calls)
            if (c.what == what)
                out.push_back(c);
        return out;
    }
    ~PollerRun() {
        for (Ts2Poller* p : kept)
            ts2_poller_release(p);
    }
};

TEST(Ts2Poller, AsksOncePerFrameInItsLastTwentyMs) {
    PollerRun r;
    r.f.state.player(2, 7, "ann").speakers({2});
    r.run(3000);
    const auto polls = r.of("server");
    ASSERT_GE(polls.size(), 15u);
    EXPECT_LE(polls.size(), 22u);
    std::vector<uint32_t> frames;
    for (const Call& c : polls) {
        // Frames start at 37 + 100k; the poll for the next one is 80..99 ms into a frame.
        const uint32_t into = (c.at - 37) % 100;
        EXPECT_GE(into, 80u) << "poll at " << c.at;
        frames.push_back((c.at - 37) / 100);
    }
    for (size_t i = 1; i < frames.size(); ++i)
        EXPECT_NE(frames[i], frames[i - 1]) << "two polls in one frame";
    EXPECT_EQ(r.of("players")[0].arg, 128);
    EXPECT_EQ(r.of("speakers")[0].arg, 8);
    EXPECT_EQ(memcmp(r.app->ts2.shared.bytes, r.f.state.s.bytes, TS2_SNAPSHOT_BYTES), 0);
    EXPECT_EQ(r.f.loads, 1);
    EXPECT_EQ(r.f.unloads, 1) << "the library is given back when the poller stops";
}

// While the client's window is absent the poller looks every 100 ms in naps (a pause
// no wake cuts short: no wait on its wake-up signal), and a window that appears is
// seen at the next look: the library 900 ms later, as with waits.
TEST(Ts2Poller, NapsOneHundredMsWhileTheClientIsAbsent) {
    PollerRun r;
    r.f.window = false;
    r.f.window_at = r.f.clock + 450;
    r.f.nap_poller = r.poller();
    const uint32_t start = r.f.clock;
    r.run(2500);
    EXPECT_EQ(r.f.naps, 5) << "got " << r.f.naps << " naps, expected 5 (looks at 100..500 ms)";
    EXPECT_EQ(r.f.loads, 1);
    const auto polls = r.of("server");
    ASSERT_FALSE(polls.empty());
    EXPECT_GE(polls[0].at - start, 1400u) << "first poll " << polls[0].at - start;
    EXPECT_LT(polls[0].at - start, 1500u) << "first poll " << polls[0].at - start;
}

// While frames run, the poller makes no look of its own until a frame sees the window
// appear (then one, to confirm it) and loads the library 900 ms after that frame, as
// after a look of its own. Once the frame loop pauses, it looks every 100 ms itself.
TEST(Ts2Poller, GoesByTheFrameLoopsLookWhileFramesRun) {
    for (const bool pause_frames : {false, true}) {
        SCOPED_TRACE(pause_frames ? "frames pause after 300 ms" : "frames run");
        PollerRun r;
        r.host.look_wait = fake_look_wait;
        r.host.look_wake = [](void* c, Ts2Poller*) { ++fake(c)->look_wakes; };
        r.f.window = false;
        r.frame(); // the frame loop's first look
        const uint32_t start = r.f.clock;
        r.f.window_at = start + 450;
        r.f.nap_poller = r.poller();
        int frames = 0;
        r.f.on_frame = [&] {
            if (pause_frames && frames == 3) {
                mod_ts2_frames_paused(r.app.get());
                r.f.on_frame = nullptr;
                return;
            }
            ++frames;
            r.frame();
        };
        r.run(2500);
        EXPECT_EQ(r.f.loads, 1);
        const auto polls = r.of("server");
        ASSERT_FALSE(polls.empty());
        // Seen at 500 ms either way (the frame at 500, or the own look after the nap
        // that ends there); the poll is in the frame after the 900 ms sleep.
        EXPECT_GE(polls[0].at - start, 1400u) << "first poll " << polls[0].at - start;
        EXPECT_LT(polls[0].at - start, 1500u) << "first poll " << polls[0].at - start;
        if (!pause_frames) {
            EXPECT_EQ(r.f.own_looks, 1)
                << "got " << r.f.own_looks << " looks of its own, expected one: the confirmation";
            EXPECT_EQ(r.f.naps, 0);
            EXPECT_EQ(r.f.look_wakes, 1) << "woken once, by the frame that saw the window";
        } else {
            EXPECT_EQ(r.f.look_wakes, 1) << "woken once, by the pause";
            EXPECT_EQ(r.f.own_looks, 2) << "got " << r.f.own_looks << ", expected 400 and 500 ms";
        }
    }
}

TEST(Ts2Poller, SleepsUntilThePollWindowInsteadOfEveryTenMs) {
    PollerRun r;
    r.run(3000);
    const size_t polls = r.of("server").size();
    EXPECT_GE(polls, 19u) << "one poll in each frame after the library's 900 ms";
    // 900 ms before the library is loaded, then about one pause per frame (a pass that
    // wakes just before the window opens may add one); every 10 ms would be 210.
    EXPECT_LE(r.f.sleeps, 1 + 2 * 22) << "got " << r.f.sleeps << " sleeps in 3 s";
}

TEST(Ts2PollTiming, PauseUntilTheWindowOpens) {
    const struct {
        uint32_t now, deadline, stamp, pause;
    } cases[] = {
        {950, 1000, 900, 30},  // to 980, where the window of this frame opens
        {900, 1000, 800, 80},  // a frame's start: to its window
        {975, 1000, 900, 10},  // 5 ms left: the shortest pause
        {985, 1000, 900, 10},  // window open, not polled (a dropped poll): again soon
        {990, 1000, 985, 90},  // polled: to 1080, the window of the next frame
        {981, 1000, 980, 99},  // polled at the window's first tick
        {1090, 1000, 985, 10}, // the next frame is late: every 10 ms until it comes
        {700, 1000, 600, 100}, // never more than one frame
        {UINT32_MAX - 30, 20, UINT32_MAX - 100, 31}, // across the wrap of the tick count
        {UINT32_MAX - 3, 10, UINT32_MAX - 5, 94},    // polled just before the wrap
    };
    for (const auto& c : cases) {
        const uint32_t got = ts2_poll_pause(c.now, c.deadline, c.stamp);
        EXPECT_EQ(got, c.pause) << "now " << c.now << ", deadline " << c.deadline << ", stamp "
                                << c.stamp << ": got " << got << ", expected " << c.pause;
    }
}

TEST(Ts2Poller, MicrophoneFlipWaitsForAnAnsweringClientAndFlipsOnce) {
    PollerRun r;
    r.f.state.user(1, 0x31, 7, 1, "Lobby");
    r.poller()->mute_request.store(2); // two presses before the poller acts
    r.f.fail_user = 3;                 // the client does not answer at first
    r.run(6000);
    const auto flips = r.of("flags");
    ASSERT_EQ(flips.size(), 1u);
    EXPECT_EQ(flips[0].arg, 0x21);
    EXPECT_EQ(r.poller()->mute_request.load(), 0);
    EXPECT_GE(r.f.loads, 2) << "each failed answer drops the library and starts over";
}

TEST(Ts2Poller, ClientStates) {
    const struct {
        const char* name;
        bool library;
        int32_t server_result, fail_players;
        int32_t link, no_library;
        int min_loads, max_loads;
    } cases[] = {
        {"library missing: tried about once a second", false, 0, 0, -1, 1, 8, 9},
        {"not on a server", true, -1, 0, 0, 0, 1, 1},
        {"server info errors: reloaded after 2 s without progress", true, 5, 0, -1, 0, 2, 3},
        {"players fail: reloaded", true, 0, 1, 1, 0, 6, 9},
    };
    for (const auto& c : cases) {
        PollerRun r;
        r.f.library = c.library;
        r.f.server_result = c.server_result;
        r.f.fail_players = c.fail_players;
        r.run(8000);
        EXPECT_GE(r.f.loads, c.min_loads) << c.name;
        EXPECT_LE(r.f.loads, c.max_loads) << c.name;
        EXPECT_EQ(r.poller()->no_library.load(), c.no_library) << c.name;
        if (c.link == 0) {
            EXPECT_GE(r.of("server").size(), 60u) << c.name << ": keeps polling";
        }
        EXPECT_EQ(r.app->ts2.shared.bytes[0], 0) << c.name << ": nothing copied";
    }
}

TEST(Ts2Poller, AStoppedPollerLeavesTheModuleAlone) {
    PollerRun r;
    // The frame loop gives up on the poller while it is inside the library.
    r.f.on_call = [](Ts2Poller* p, const std::string& what) {
        if (what == "speakers")
            p->stop.store(1);
    };
    r.run(3000);
    EXPECT_EQ(r.of("speakers").size(), 1u);
    EXPECT_EQ(r.app->ts2.shared.bytes[0], 0) << "no copy after the stop";
    EXPECT_EQ(r.f.lock_takes, 0);
    EXPECT_EQ(r.f.unloads, 1);
}

} // namespace
