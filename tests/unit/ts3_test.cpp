// TeamSpeak 3 module: ClientQuery lines, escapes and fields; the snapshot rules over
// answers and events; notices, channel list and labels (beside the TS2 labels); the
// slot against a fake system; the reader against a fake ClientQuery client; the
// watchdog's bound on readers left behind.
#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "core/app.h"
#include "draw/draw.h"
#include "draw/notice.h"
#include "modules/mod_ts3.h"
#include "screen/slots.h"

namespace {

std::vector<std::string> queued(const NoticeQueue& q) {
    std::vector<std::string> out;
    for (const Notice* n = q.first; n; n = n->next)
        out.push_back(std::to_string(n->key) + "|" + std::to_string(n->duration) + "|" + n->text);
    return out;
}

std::unique_ptr<LcdBitmap> blank() {
    auto f = std::make_unique<LcdBitmap>();
    memset(f.get(), 0, sizeof *f);
    return f;
}

// ---------------------------------------------------------------- lines

TEST(Ts3Lines, EndsOfEveryKindAndChunksAnywhere) {
    const std::string big(TS3_LINE + 100, 'x');
    const struct {
        const char* name;
        std::vector<std::string> chunks;
        std::vector<std::string> lines;
    } cases[] = {
        {"query ends",
         {"TS3 Client\n\rWelcome\n\rselected schandlerid=1\n\r"},
         {"TS3 Client", "Welcome", "selected schandlerid=1"}},
        {"crlf and lf", {"a\r\nb\nc\r"}, {"a", "b", "c"}},
        {"split inside a line and inside an end",
         {"err", "or id=0", "\n", "\rclid=1\n"},
         {"error id=0", "clid=1"}},
        {"no end yet", {"abc"}, {}},
        {"empty lines skipped", {"\n\r\n\r\nx\n"}, {"x"}},
        {"overlong line skipped, the next one kept", {big, big, "tail\nnext\n"}, {"next"}},
    };
    for (const auto& c : cases) {
        auto b = std::make_unique<Ts3LineBuf>();
        memset(b.get(), 0, sizeof *b);
        std::vector<std::string> got;
        char line[256];
        for (const std::string& chunk : c.chunks) {
            size_t at = 0;
            while (at < chunk.size()) {
                size_t room = 0;
                char* tail = ts3_line_tail(b.get(), &room);
                const size_t n = std::min(room, chunk.size() - at);
                memcpy(tail, chunk.data() + at, n);
                ts3_line_added(b.get(), n);
                at += n;
                while (ts3_line_next(b.get(), line, sizeof line))
                    got.push_back(line);
            }
        }
        EXPECT_EQ(got, c.lines) << c.name;
    }
}

TEST(Ts3Values, UnescapeEscapeAndCuts) {
    const struct {
        std::string in;
        size_t cap;
        std::string out;
    } cases[] = {
        {"Lobby\\sNo\\p1", 64, "Lobby No|1"},
        {"a\\/b\\\\c", 64, "a/b\\c"},
        {"\\a\\b\\f\\n\\r\\t\\v", 64, "\a\b\f\n\r\t\v"},
        {"\\q", 64, "q"},
        {"end\\", 64, "end"},
        {"abcdef", 4, "abc"},
        {"a\\sb", 3, "a "},
        {"", 64, ""},
    };
    for (const auto& c : cases) {
        char out[64];
        const size_t n = ts3_unescape(c.in.data(), c.in.size(), out, c.cap);
        EXPECT_EQ(std::string(out, n), c.out) << c.in;
        EXPECT_EQ(strlen(out), n) << c.in;
    }
    char esc[64], back[64];
    const char* text = "a b|c/d\\e\tf";
    const size_t n = ts3_escape(text, esc, sizeof esc);
    EXPECT_STREQ(esc, "a\\sb\\pc\\/d\\\\e\\tf");
    ts3_unescape(esc, n, back, sizeof back);
    EXPECT_STREQ(back, text);
    // An escape that does not fit whole is left out.
    EXPECT_EQ(ts3_escape("ab cd", esc, 4), 2u);
    EXPECT_STREQ(esc, "ab");
}

TEST(Ts3Fields, KeysValuesNumbersAndErrors) {
    const std::string entry = "clid=5 client_nickname=ann\\sb client_away cid=-3 big=99999999999 "
                              "bad=4x clid_x=9 empty=";
    const char* from = entry.data();
    const char* end = from + entry.size();
    const struct {
        const char* key;
        bool found;
        std::string text;
        bool number;
        int32_t value;
    } cases[] = {
        {"clid", true, "5", true, 5},           {"client_nickname", true, "ann b", false, 0},
        {"client_away", true, "", false, 0},    {"cid", true, "-3", true, -3},
        {"big", true, "99999999999", false, 0}, {"bad", true, "4x", false, 0},
        {"clid_x", true, "9", true, 9},         {"empty", true, "", false, 0},
        {"client", false, "", false, 0},        {"missing", false, "", false, 0},
    };
    for (const auto& c : cases) {
        char out[64] = "unchanged";
        EXPECT_EQ(ts3_field(from, end, c.key, out, sizeof out), c.found) << c.key;
        if (c.found) {
            EXPECT_EQ(std::string(out), c.text) << c.key;
        }
        int32_t v = 12345;
        EXPECT_EQ(ts3_field_int(from, end, c.key, &v), c.number) << c.key;
        EXPECT_EQ(v, c.number ? c.value : 12345) << c.key;
    }
    const struct {
        const char* line;
        int32_t id;
    } errors[] = {
        {"error id=0 msg=ok", 0}, {"error id=1796 msg=currently\\snot\\spossible", 1796},
        {"clid=1 cid=2", -1},     {"error msg=x", -1},
        {"errors id=0", -1},      {"error id=-2", -1},
    };
    for (const auto& e : errors)
        EXPECT_EQ(ts3_error_id(e.line), e.id) << e.line;
}

// ---------------------------------------------------------------- snapshot rules

struct Snap {
    std::unique_ptr<Ts3Snapshot> s = std::make_unique<Ts3Snapshot>();
    Snap() { memset(s.get(), 0, sizeof *s); }
    Snap& on(const std::string& server, int32_t own, int32_t channel, const std::string& name) {
        s->link = TS3_CONNECTED;
        snprintf(s->server, sizeof s->server, "%s", server.c_str());
        snprintf(s->channel, sizeof s->channel, "%s", name.c_str());
        s->own_id = own;
        s->own_channel = channel;
        return *this;
    }
    Snap& client(int32_t clid, int32_t cid, const std::string& nick, int muted = 0) {
        Ts3Client& c = s->clients[s->count++];
        c = Ts3Client{};
        c.clid = clid;
        c.cid = cid;
        c.input_muted = muted & 1;
        c.output_muted = (muted >> 1) & 1;
        snprintf(c.nick, sizeof c.nick, "%s", nick.c_str());
        return *this;
    }
    Snap& talking(const std::vector<int32_t>& ids) {
        for (int32_t id : ids)
            ts3_set_talking(s.get(), id, 1);
        return *this;
    }
};

Snap lobby() {
    Snap s;
    s.on("Alpha", 1, 7, "Lobby").client(1, 7, "me");
    return s;
}

std::string speakers(const Ts3Snapshot* s) {
    std::string out;
    for (int32_t i = 0; i < s->speakers; ++i)
        out += (out.empty() ? "" : ",") + std::to_string(s->speaker_ids[i]);
    return out;
}

TEST(Ts3Snapshot, ClientListReplacesClientsAndKeepsSpeakerOrder) {
    Snap s = lobby();
    s.client(4, 7, "old").talking({4});
    ts3_apply_clientlist(s.s.get(),
                         "clid=1 cid=7 client_nickname=me client_flag_talking=0 "
                         "client_input_muted=1 client_output_muted=0|"
                         "clid=2 cid=7 client_nickname=Ann\\sMarie client_flag_talking=1|"
                         "cid=9 client_nickname=no\\sid|"
                         "clid=4 cid=9 client_nickname=old client_flag_talking=1|"
                         "clid=3 cid=9 client_nickname=b\\pc client_output_muted=1",
                         nullptr);
    ASSERT_EQ(s.s->count, 4);
    EXPECT_STREQ(s.s->clients[1].nick, "Ann Marie");
    EXPECT_STREQ(s.s->clients[3].nick, "b|c");
    EXPECT_TRUE(ts3_own_muted(s.s.get()));
    EXPECT_EQ(s.s->clients[3].output_muted, 1);
    EXPECT_EQ(ts3_channel_count(s.s.get()), 2);
    EXPECT_EQ(speakers(s.s.get()), "4,2") << "4 talked first, 2 is new";

    // Hostile: more entries than room, each read within the line.
    std::string many;
    for (int i = 0; i < 300; ++i)
        many += "clid=" + std::to_string(i + 10) + " cid=7 client_flag_talking=1|";
    ts3_apply_clientlist(s.s.get(), many.c_str(), nullptr);
    EXPECT_EQ(s.s->count, TS3_MAX_CLIENTS);
    EXPECT_EQ(s.s->speakers, TS3_MAX_SPEAKERS);
}

TEST(Ts3Snapshot, EventsInTurn) {
    Snap s = lobby();
    s.client(2, 7, "ann").client(3, 9, "bob");
    const struct {
        const char* line;
        bool changed, refresh;
        std::function<bool(const Ts3Snapshot*)> check;
        const char* what;
    } steps[] = {
        {"notifytalkstatuschange schandlerid=1 status=1 isreceivedwhisper=0 clid=3", true, false,
         [](const Ts3Snapshot* t) { return speakers(t) == "3" && ts3_find(t, 3)->talking; },
         "bob talks"},
        {"notifytalkstatuschange schandlerid=1 status=1 clid=2", true, false,
         [](const Ts3Snapshot* t) { return speakers(t) == "3,2"; }, "ann after bob"},
        {"notifytalkstatuschange schandlerid=2 status=0 clid=3", false, false,
         [](const Ts3Snapshot* t) { return speakers(t) == "3,2"; }, "another tab: ignored"},
        {"notifytalkstatuschange schandlerid=1 status=0 clid=3", true, false,
         [](const Ts3Snapshot* t) { return speakers(t) == "2"; }, "bob stops"},
        {"notifycliententerview schandlerid=1 cfid=0 ctid=7 reasonid=0 clid=5 "
         "client_nickname=c\\sy\\sd client_input_muted=1",
         true, false,
         [](const Ts3Snapshot* t) {
             const Ts3Client* c = ts3_find(t, 5);
             return t->count == 4 && c && c->cid == 7 && c->input_muted &&
                    strcmp(c->nick, "c y d") == 0;
         },
         "cyd enters"},
        {"notifyclientleftview schandlerid=1 cfid=7 ctid=0 reasonid=8 clid=2", true, false,
         [](const Ts3Snapshot* t) { return !ts3_find(t, 2) && speakers(t).empty(); },
         "ann leaves, also as a speaker"},
        {"notifyclientmoved schandlerid=1 ctid=9 reasonid=0 clid=5", true, false,
         [](const Ts3Snapshot* t) { return ts3_find(t, 5)->cid == 9 && t->own_channel == 7; },
         "cyd moves"},
        {"notifyclientmoved schandlerid=1 ctid=9 reasonid=0 clid=1", true, true,
         [](const Ts3Snapshot* t) { return t->own_channel == 9; }, "own move asks a refresh"},
        {"notifyclientupdated schandlerid=1 clid=1 client_input_muted=1", true, false,
         [](const Ts3Snapshot* t) { return ts3_own_muted(t); }, "own microphone muted"},
        {"notifyclientupdated schandlerid=1 clid=77 client_input_muted=1", false, false,
         [](const Ts3Snapshot*) { return true; }, "unknown client"},
        {"notifyconnectstatuschange schandlerid=1 status=connection_established error=0", false,
         true, [](const Ts3Snapshot*) { return true; }, "connection asks a refresh"},
        {"notifyconnectstatuschange schandlerid=1 status=disconnected error=0", true, false,
         [](const Ts3Snapshot* t) {
             return t->link == TS3_NO_SERVER && t->count == 0 && t->server[0] == 0;
         },
         "disconnected"},
    };
    for (const auto& st : steps) {
        bool refresh = false;
        EXPECT_EQ(ts3_apply_event(s.s.get(), st.line, 1, nullptr, &refresh), st.changed) << st.what;
        EXPECT_EQ(refresh, st.refresh) << st.what;
        EXPECT_TRUE(st.check(s.s.get())) << st.what;
    }
}

TEST(Ts3Notices, ChangesBetweenSnapshotsAndTheChannelList) {
    NoticeQueue q{};
    Snap none;
    Snap a = lobby();
    a.client(2, 7, "ann").client(3, 9, "far");
    ts3_post_changes(none.s.get(), a.s.get(), &q, 0);
    Snap b;
    b.on("alpha", 1, 8, "Games").client(1, 8, "me").client(3, 9, "far").client(4, 8, "%s%n");
    ts3_post_changes(a.s.get(), b.s.get(), &q, 0);
    // The second server notice replaces nothing: same name but for case.
    EXPECT_EQ(queued(q), (std::vector<std::string>{
                             "11|2000|TS3: Server \"Alpha\"",
                             "12|2000|TS3: Channel \"Games\"",
                             "13|2000|TS3: \"%s%n\" connected",
                             "14|2000|TS3: \"ann\" dropped",
                         }));
    notice_free_all(&q);

    const struct {
        std::function<void(Snap&)> setup;
        std::string text;
    } lists[] = {
        {[](Snap& s) { s.client(2, 7, "ann").client(3, 7, "bob", 1).client(4, 7, "cyd", 2); },
         "TS3: Channel \"Lobby\": me, ann, (bob), (cyd)"},
        {[](Snap& s) {
             s.s->count = 0;
             s.client(3, 9, "far").client(2, 7, "ann");
         },
         "TS3: Channel \"Lobby\": ann"},
    };
    for (const auto& l : lists) {
        Snap s = lobby();
        l.setup(s);
        char text[TS3_CHANNEL_TEXT];
        ts3_channel_text(s.s.get(), text);
        EXPECT_EQ(std::string(text), l.text);
    }
    // Many long names: cut at 510 characters, a later short one still fits.
    Snap s = lobby();
    s.s->count = 0;
    for (int i = 0; i < 8; ++i)
        s.client(10 + i, 7, std::string(60, 'a' + i));
    s.client(30, 7, "z");
    char text[TS3_CHANNEL_TEXT];
    const size_t n = ts3_channel_text(s.s.get(), text);
    EXPECT_LE(n, 510u);
    EXPECT_EQ(strlen(text), n);
    EXPECT_EQ(std::string(text).substr(n - 3), ", z");
}

// ---------------------------------------------------------------- fake system

struct FakeQuery {
    uint32_t clock = 50000;
    uint32_t end = 0; // the reader is stopped when the clock passes it
    bool refuse = false;
    int pauses = 0;
    int idle_waits = 0; // waits for bytes that ended with none
    int wakes = 0;
    bool thread_ok = true;
    bool lock_free = true;
    std::string key; // the key the client wants ("" none)
    bool authed = false;
    std::string stall;       // a command that gets no answer
    uint32_t unstall_at = 0; // until then
    std::map<std::string, std::string> answers;
    std::string pending;
    std::string partial;
    std::vector<std::string> sent;
    std::vector<std::string> log;
    std::vector<Ts3Reader*> started;
    int opens = 0;
    int lock_takes = 0;
    Ts3Reader* running = nullptr; // the reader whose loop the test runs
};

FakeQuery* fq(void* c) {
    return static_cast<FakeQuery*>(c);
}

void advance(FakeQuery* f, uint32_t ms) {
    f->clock += ms;
    if (f->unstall_at && static_cast<int32_t>(f->clock - f->unstall_at) >= 0)
        f->stall.clear();
    if (f->running && f->end && static_cast<int32_t>(f->clock - f->end) >= 0)
        f->running->stop.store(1);
}

std::string answer(FakeQuery* f, const std::string& cmd) {
    if (cmd.rfind("auth ", 0) == 0) {
        f->authed = cmd == "auth apikey=" + f->key;
        return f->authed ? "error id=0 msg=ok" : "error id=256 msg=invalid\\sapikey";
    }
    if (!f->key.empty() && !f->authed)
        return "error id=1796 msg=currently\\snot\\spossible";
    auto it = f->answers.find(cmd);
    if (it != f->answers.end())
        return it->second;
    return "error id=0 msg=ok";
}

const Ts3Host kFakeHost = {
    nullptr,
    [](void* c) { return fq(c)->clock; },
    [](void* c, int, const char* m) { fq(c)->log.push_back(m); },
    [](void*) -> void* { return new int(0); },
    [](void*, void* l) { delete static_cast<int*>(l); },
    [](void* c, void*, uint32_t) {
        ++fq(c)->lock_takes;
        return fq(c)->lock_free;
    },
    [](void*, void*) {},
    [](void* c, Ts3Reader* r, bool) {
        if (!fq(c)->thread_ok)
            return false;
        fq(c)->started.push_back(r);
        return true;
    },
    [](void*, Ts3Reader*, uint32_t) {},
    [](void* c, uint32_t ms) { advance(fq(c), ms); },
    [](void* c, Ts3Reader* r, uint16_t, uint32_t ms) {
        FakeQuery* f = fq(c);
        ++f->opens;
        if (f->refuse) {
            advance(f, ms);
            return false;
        }
        f->authed = false;
        f->pending = "TS3 Client\n\rWelcome to the TeamSpeak 3 ClientQuery interface\n\r"
                     "selected schandlerid=1\n\r";
        return true;
    },
    [](void* c, Ts3Reader*, const char* data, size_t n, uint32_t) {
        FakeQuery* f = fq(c);
        f->partial.append(data, n);
        size_t nl;
        while ((nl = f->partial.find('\n')) != std::string::npos) {
            const std::string cmd = f->partial.substr(0, nl);
            f->partial.erase(0, nl + 1);
            f->sent.push_back(cmd);
            if (cmd != f->stall)
                f->pending += answer(f, cmd) + "\n\r";
        }
        return true;
    },
    [](void* c, Ts3Reader* r, char* out, size_t cap, uint32_t ms) {
        FakeQuery* f = fq(c);
        if (f->pending.empty()) {
            ++f->idle_waits;
            advance(f, ms);
            return 0;
        }
        const size_t n = std::min(cap, std::min<size_t>(f->pending.size(), 7));
        memcpy(out, f->pending.data(), n); // a few bytes at a time: lines arrive in parts
        f->pending.erase(0, n);
        return static_cast<int>(n);
    },
    [](void*, Ts3Reader*) {},
    [](void*, char* text, size_t) {
        for (char* p = text; *p; ++p)
            if (*p == '~')
                *p = '^'; // marks the texts that passed the conversion
    },
};

void answers_alpha(FakeQuery* f) {
    f->answers["whoami"] = "clid=1 cid=7\n\rerror id=0 msg=ok";
    f->answers["servervariable virtualserver_name"] =
        "virtualserver_name=Alpha\\s~1\n\rerror id=0 msg=ok";
    f->answers["channelvariable cid=7 channel_name"] =
        "cid=7 channel_name=Lobby\n\rerror id=0 msg=ok";
    f->answers["clientlist -voice"] =
        "clid=1 cid=7 client_nickname=me client_flag_talking=0 client_input_muted=0 "
        "client_output_muted=0|clid=2 cid=7 client_nickname=a~n client_flag_talking=1 "
        "client_input_muted=0 client_output_muted=0|clid=3 cid=9 client_nickname=bob "
        "client_flag_talking=0 client_input_muted=0 client_output_muted=1\n\r"
        "error id=0 msg=ok";
}

struct Module {
    std::unique_ptr<App> app = std::make_unique<App>();
    FakeQuery f;
    Ts3Host host = kFakeHost;
    std::vector<Ts3Reader*> ran; // readers whose thread reference was dropped

    Module() {
        host.ctx = &f;
        app->ts3.host = &host;
        for (int i = 0; i < SLOT_COUNT; ++i)
            slot_setup(&app->slots[i], i, nullptr);
        app->frame.now = f.clock;
        mod_ts3_init(app.get());
    }
    ~Module() {
        mod_ts3_teardown(app.get());
        for (Ts3Reader* r : f.started)
            if (std::find(ran.begin(), ran.end(), r) == ran.end())
                ts3_reader_release(r); // the reference a real thread drops when it ends
        notice_free_all(&app->notices);
    }
    Ts3Reader* reader() { return app->ts3.reader; }
    // Runs the current reader's loop for ms of fake time, as its thread would; the
    // record stays with the module.
    void run(uint32_t ms) {
        Ts3Reader* r = reader();
        f.running = r;
        f.end = f.clock + ms;
        ts3_reader_run(r);
        f.running = nullptr;
        ran.push_back(r);
    }
    // Ends a reader that was left behind: it comes back, finds its stop flag, ends.
    void returns(Ts3Reader* r) {
        ts3_reader_run(r);
        ran.push_back(r);
    }
    void frame() {
        memset(app->lcd.frame.pixels, 0, LCD_PIXELS);
        app->frame.now = f.clock;
        mod_ts3_update(app.get());
    }
    int draw(int slot) { return mod_ts3_draw(app.get(), slot); }
    // The reader stores s as its latest (connection 1 unless given).
    void store(const Snap& s, uint32_t connection = 1) {
        reader()->shared = *s.s;
        reader()->shared.connection = connection;
        reader()->stores.fetch_add(1);
        reader()->stamp.store(f.clock);
    }
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

void mic(LcdBitmap* f, int x, int y, const char* const rows[14]) {
    for (int r = 0; r < 14; ++r)
        for (int c = 0; c < 13; ++c)
            if (rows[r][c] == 'X')
                f->pixels[(y + 7 + r) * 160 + x + 1 + c] = 255;
}

std::vector<uint8_t> slot_pixels(const LcdBitmap& f, const Slot& s) {
    std::vector<uint8_t> out;
    for (int y = s.y; y < s.y + 21 && y < LCD_HEIGHT; ++y)
        for (int x = s.x; x <= s.x + 38; ++x)
            out.push_back(f.pixels[y * 160 + x]);
    return out;
}

// The slot as expected: frame and "TS3", then the given drawing.
std::vector<uint8_t> expected_slot(const Slot& s, const std::function<void(LcdBitmap*)>& more) {
    auto f = blank();
    slot_draw_frame(f.get(), &s, "TS3");
    more(f.get());
    return slot_pixels(*f, s);
}

void right_text(LcdBitmap* f, int flags, int x, int y, const char* text) {
    const int w = draw_text(f, flags | TEXT_MEASURE, 0, 0, text);
    draw_text(f, flags, x + 1 + (37 - w), y, text);
}

// ---------------------------------------------------------------- labels

TEST(Ts3Labels, ContinueLeftOfTheTs2Labels) {
    Snap s = lobby();
    s.client(2, 7, "ann").client(3, 7, "bob").talking({1, 3, 2});
    const struct {
        int from;
        std::vector<std::string> names; // expected, right to left
    } cases[] = {
        {160, {"bob", "ann"}},
        {100, {"bob", "ann"}},
        {20, {"bob"}}, // "ann" (12 + 3 columns) no longer fits left of bob's label
        {5, {}},
    };
    for (const auto& c : cases) {
        auto got = blank();
        const int left = ts3_draw_labels(s.s.get(), got.get(), c.from);
        auto exp = blank();
        int x = c.from;
        for (const std::string& n : c.names) {
            const int w = draw_text(exp.get(), TEXT_MEASURE, 0, 0, n.c_str());
            ts2_draw_label(exp.get(), x, w, n.c_str());
            x -= w + 3;
        }
        EXPECT_EQ(left, x) << c.from;
        EXPECT_EQ(memcmp(got->pixels, exp->pixels, LCD_PIXELS), 0) << "labels from " << c.from;
    }
}

TEST(Ts3Labels, TheModuleStartsWhereTheTs2LabelsEnd) {
    Module m;
    Snap s = lobby();
    s.client(2, 7, "ann").talking({2});
    m.store(s);
    const int widths[] = {0, 40};
    for (int used : widths) {
        m.app->ts2.label_columns = used;
        m.frame();
        auto exp = blank();
        const int w = draw_text(exp.get(), TEXT_MEASURE, 0, 0, "ann");
        ts2_draw_label(exp.get(), 160 - used, w, "ann");
        EXPECT_EQ(memcmp(m.app->lcd.frame.pixels + 8 * 160, exp->pixels + 8 * 160, 13 * 160), 0)
            << "TS2 labels " << used << " columns wide";
    }
}

// ---------------------------------------------------------------- slot

TEST(Ts3Slot, StatesNumbersAndMicrophone) {
    Module m;
    const Slot& sl = m.app->slots[2];
    const int x = sl.x, y = sl.y;
    EXPECT_EQ(m.draw(2), 0) << "no answer from the query yet: declined";

    Snap nokey;
    nokey.s->link = TS3_NO_KEY;
    Snap noserver;
    noserver.s->link = TS3_NO_SERVER;
    Snap alone = lobby();
    Snap two = lobby();
    two.client(2, 7, "ann");
    Snap far = lobby();
    far.client(2, 9, "far");
    Snap many = lobby();
    for (int i = 0; i < 36; ++i)
        many.client(10 + i, i < 11 ? 7 : 8, "p");
    Snap muted = lobby();
    muted.s->clients[0].input_muted = 1;
    Snap talks = lobby();
    talks.talking({1});
    const struct {
        const char* name;
        const Snap* snap;
        std::function<void(LcdBitmap*)> more;
    } cases[] = {
        {"key refused", &nokey, [&](LcdBitmap* f) { draw_text(f, 0, x + 18, y + 14, "KEY"); }},
        {"on no server", &noserver, [](LcdBitmap*) {}},
        {"alone", &alone, [&](LcdBitmap* f) { mic(f, x, y, kMicFilled); }},
        {"two", &two,
         [&](LcdBitmap* f) {
             right_text(f, 0, x, y + 1, "2");
             right_text(f, TEXT_LARGE, x, y + 10, "2");
             mic(f, x, y, kMicFilled);
         }},
        {"server count only", &far,
         [&](LcdBitmap* f) {
             right_text(f, 0, x, y + 1, "2");
             mic(f, x, y, kMicFilled);
         }},
        {"many", &many,
         [&](LcdBitmap* f) {
             right_text(f, 0, x, y + 1, "37");
             right_text(f, TEXT_LARGE, x, y + 10, "12");
             mic(f, x, y, kMicFilled);
         }},
        {"muted", &muted, [&](LcdBitmap* f) { mic(f, x, y, kMicHollow); }},
        {"talking", &talks, [&](LcdBitmap* f) { mic(f, x, y, kMicSpeaking); }},
    };
    for (const auto& c : cases) {
        m.store(*c.snap);
        m.frame();
        EXPECT_EQ(m.draw(2), 1) << c.name;
        EXPECT_EQ(slot_pixels(m.app->lcd.frame, sl), expected_slot(sl, c.more)) << c.name;
    }
    Snap gone;
    gone.s->link = TS3_NO_QUERY;
    m.store(gone);
    m.frame();
    EXPECT_EQ(m.draw(2), 0) << "port refusing: declined";
}

TEST(Ts3Slot, KeyNoticeOncePerConnectionAndTheLockOnlyForNews) {
    Module m;
    Snap nokey;
    nokey.s->link = TS3_NO_KEY;
    m.store(nokey, 1);
    for (int i = 0; i < 5; ++i)
        m.frame();
    EXPECT_EQ(m.f.lock_takes, 1) << "got lock takes for frames with nothing new";
    m.store(nokey, 2); // the client closed the query and it was opened again
    m.frame();
    EXPECT_EQ(queued(m.app->notices),
              (std::vector<std::string>{"0|5000|TS3: Set ts3_apikey (ClientQuery settings)",
                                        "0|5000|TS3: Set ts3_apikey (ClientQuery settings)"}));
}

TEST(Ts3Slot, PressesAndDisconnection) {
    Module m;
    Slot& sl = m.app->slots[1];
    Snap s = lobby();
    s.client(2, 7, "ann", 1).client(3, 9, "far");
    m.store(s);
    m.frame();
    m.host.wake = [](void* c, Ts3Reader*) { ++fq(c)->wakes; };
    sl.button = 1;
    m.draw(1);
    sl.button = 1;
    m.draw(1);
    EXPECT_EQ(sl.button, 0);
    EXPECT_EQ(m.reader()->mute_request.load(), 2);
    EXPECT_EQ(m.f.wakes, 2) << "each press wakes the reader";
    notice_free_all(&m.app->notices);
    sl.button = 2;
    m.draw(1);
    EXPECT_EQ(queued(m.app->notices),
              (std::vector<std::string>{"15|1000|TS3: Channel \"Lobby\": me, (ann)"}));
    notice_free_all(&m.app->notices);
    Snap off;
    off.s->link = TS3_NO_SERVER;
    m.store(off);
    m.frame();
    m.frame();
    EXPECT_EQ(queued(m.app->notices), (std::vector<std::string>{"0|2000|TS3: Disconnected"}));
    notice_free_all(&m.app->notices);
    m.store(s);
    m.frame();
    EXPECT_EQ(queued(m.app->notices), (std::vector<std::string>{"11|2000|TS3: Server \"Alpha\"",
                                                                "12|2000|TS3: Channel \"Lobby\"",
                                                                "13|2000|TS3: \"far\" connected"}))
        << "reconnecting announces again (one connected notice: the same key)";
}

// ---------------------------------------------------------------- reader

TEST(Ts3Reader, ConnectsAsksAndHandsOver) {
    Module m;
    answers_alpha(&m.f);
    snprintf(m.reader()->apikey, TS3_APIKEY, "AB CD");
    m.f.key = "AB\\sCD";
    m.run(500);
    const std::vector<std::string> first(m.f.sent.begin(),
                                         m.f.sent.begin() + std::min<size_t>(6, m.f.sent.size()));
    EXPECT_EQ(first, (std::vector<std::string>{
                         "auth apikey=AB\\sCD", "clientnotifyregister schandlerid=0 event=any",
                         "whoami", "servervariable virtualserver_name",
                         "channelvariable cid=7 channel_name", "clientlist -voice"}));
    m.frame();
    const Ts3Snapshot& c = m.app->ts3.current;
    EXPECT_EQ(c.link, TS3_CONNECTED);
    EXPECT_STREQ(c.server, "Alpha ^1") << "texts pass the ANSI conversion";
    EXPECT_STREQ(c.channel, "Lobby");
    ASSERT_EQ(c.count, 3);
    EXPECT_STREQ(c.clients[1].nick, "a^n");
    EXPECT_EQ(speakers(&c), "2");
}

TEST(Ts3Reader, RefreshEveryTwoSecondsAndEventsBetween) {
    // Waits of 100 ms, or, with a reader that can be woken, waits until the next
    // refresh of at most a second: the refreshes come at the same times.
    for (const bool wakeable : {false, true}) {
        SCOPED_TRACE(wakeable ? "woken" : "100 ms waits");
        Module m;
        if (wakeable)
            m.host.wake = [](void* c, Ts3Reader*) { ++fq(c)->wakes; };
        answers_alpha(&m.f);
        const uint32_t start = m.f.clock;
        m.run(4500);
        int whoami = 0;
        for (const std::string& s : m.f.sent)
            whoami += s == "whoami";
        EXPECT_EQ(whoami, 3) << "at 0, 2 and 4 s";
        EXPECT_EQ(m.f.opens, 1);
        if (wakeable)
            EXPECT_LE(m.f.idle_waits, 8)
                << "got " << m.f.idle_waits << " waits in " << m.f.clock - start << " ms";
        else
            EXPECT_GE(m.f.idle_waits, 40);
    }
    const struct {
        uint32_t now, last, wait;
    } cases[] = {{1000, 1000, 1000}, {2500, 1000, 500}, {2999, 1000, 1},
                 {3000, 1000, 1},    {5000, 0, 1},      {5, 0xFFFFFF00u, 1000}};
    for (const auto& c : cases)
        EXPECT_EQ(ts3_quiet_wait(c.now, c.last), c.wait) << "now " << c.now << ", last " << c.last;
}

TEST(Ts3Reader, FollowsTheServerTabShown) {
    Module m;
    answers_alpha(&m.f);
    m.f.answers["whoami"] = "clid=1 cid=7\n\rerror id=0 msg=ok\n\r"
                            "notifycurrentserverconnectionchanged schandlerid=2\n\r"
                            "notifytalkstatuschange schandlerid=2 status=1 clid=3";
    m.run(500);
    const auto at = std::find(m.f.sent.begin(), m.f.sent.end(), "use schandlerid=2");
    ASSERT_NE(at, m.f.sent.end()) << "the query selects the tab shown";
    ASSERT_NE(at + 1, m.f.sent.end());
    EXPECT_EQ(*(at + 1), "whoami") << "and refreshes";
    EXPECT_EQ(m.reader()->schandler, 2);
    EXPECT_EQ(std::count(m.f.sent.begin(), m.f.sent.end(), "use schandlerid=2"), 1)
        << "the tab already selected is not selected again";
}

TEST(Ts3Reader, MicrophoneFlipOncePerPresses) {
    Module m;
    answers_alpha(&m.f);
    m.reader()->mute_request.store(2);
    m.run(500);
    std::vector<std::string> flips;
    for (const std::string& s : m.f.sent)
        if (s.rfind("clientupdate", 0) == 0)
            flips.push_back(s);
    EXPECT_EQ(flips, (std::vector<std::string>{"clientupdate client_input_muted=1"}));
    EXPECT_EQ(m.reader()->mute_request.load(), 0);
    m.frame();
    EXPECT_TRUE(ts3_own_muted(&m.app->ts3.current));
}

TEST(Ts3Reader, KeyRefusedPortRefusedAndAStalledAnswer) {
    {
        Module m;
        answers_alpha(&m.f);
        m.f.key = "secret";
        m.run(3000);
        m.frame();
        EXPECT_EQ(m.app->ts3.current.link, TS3_NO_KEY);
        EXPECT_EQ(m.f.opens, 1) << "the refused connection is held";
        EXPECT_EQ(m.f.sent,
                  (std::vector<std::string>{"clientnotifyregister schandlerid=0 event=any"}));
    }
    {
        // A wrong key is refused too; a client that wants no key (and answers "auth"
        // with an error) is served all the same.
        const struct {
            std::string wants;
            int32_t link;
        } cases[] = {{"secret", TS3_NO_KEY}, {"", TS3_CONNECTED}};
        for (const auto& c : cases) {
            Module m;
            answers_alpha(&m.f);
            m.f.key = c.wants;
            snprintf(m.reader()->apikey, TS3_APIKEY, "wrong");
            m.run(1000);
            m.frame();
            EXPECT_EQ(m.app->ts3.current.link, c.link) << "client wants \"" << c.wants << "\"";
        }
    }
    for (const bool one_pause : {false, true}) {
        // The two seconds between attempts in 100 ms slices, or in one pause.
        SCOPED_TRACE(one_pause ? "one pause" : "slices");
        Module m;
        if (one_pause) {
            m.host.pause = [](void* c, Ts3Reader*, uint32_t ms) {
                ++fq(c)->pauses;
                advance(fq(c), ms);
            };
        }
        m.f.refuse = true;
        m.run(7000);
        const uint32_t stamp = m.reader()->stamp.load();
        m.frame();
        EXPECT_EQ(m.app->ts3.current.link, TS3_NO_QUERY);
        EXPECT_EQ(m.draw(0), 0);
        EXPECT_GE(m.f.opens, 2);
        EXPECT_LE(m.f.opens, 3) << "about every 3 s (1 s connect bound + 2 s pause)";
        if (one_pause) {
            EXPECT_GE(m.f.pauses, m.f.opens - 1) << "one pause after each refused attempt";
            EXPECT_LE(m.f.pauses, m.f.opens);
        } else {
            EXPECT_EQ(m.f.pauses, 0);
        }
        EXPECT_LT(m.f.clock - stamp, 2001u) << "the stamp moves with each pause";
        EXPECT_EQ(m.f.started.size(), 1u) << "no watchdog restart";
    }
    {
        Module m;
        answers_alpha(&m.f);
        m.f.stall = "clientlist -voice";
        m.f.unstall_at = m.f.clock + 6000;
        m.run(9000);
        EXPECT_GE(m.f.opens, 2) << "a stalled answer ends the connection and it is made again";
        m.frame();
        EXPECT_EQ(m.app->ts3.current.count, 3) << "the client list after the stall";
    }
}

// ---------------------------------------------------------------- watchdog

TEST(Ts3Watchdog, AtMostThreeReadersLeftBehind) {
    Module m;
    std::vector<Ts3Reader*> left;
    for (int i = 0; i < TS3_MAX_LEFT_BEHIND; ++i) {
        left.push_back(m.reader());
        m.f.clock += 4001; // no progress for more than 4 s
        m.frame();
        ASSERT_EQ(m.f.log.size(), static_cast<size_t>(i + 1));
        EXPECT_EQ(m.f.log.back(), "TS3 thread timeout -- restarting");
    }
    EXPECT_EQ(m.reader(), nullptr) << "three left behind: no fourth";
    EXPECT_EQ(m.app->ts3.left_behind.load(), 3);
    const Slot& sl = m.app->slots[0];
    m.frame();
    EXPECT_EQ(m.draw(0), 1);
    EXPECT_EQ(slot_pixels(m.app->lcd.frame, sl), expected_slot(sl, [&](LcdBitmap* f) {
                  draw_text(f, 0, sl.x + 18, sl.y + 14, "WAIT");
              }));
    const size_t started = m.f.started.size();
    m.frame();
    EXPECT_EQ(m.f.started.size(), started);
    m.returns(left[1]);
    EXPECT_EQ(m.app->ts3.left_behind.load(), 2);
    m.frame();
    ASSERT_NE(m.reader(), nullptr) << "one came back: a new reader starts";
    EXPECT_EQ(m.f.started.size(), started + 1);
}

TEST(Ts3Watchdog, AFailedThreadStartIsRetriedEveryFourSeconds) {
    Module m;
    m.f.thread_ok = false;
    m.f.clock += 4001;
    m.frame(); // the running one is stuck: replaced, the new start fails
    EXPECT_EQ(m.reader(), nullptr);
    const size_t logged = m.f.log.size();
    m.f.clock += 1000;
    m.frame();
    EXPECT_EQ(m.f.log.size(), logged) << "not again within 4 s";
    m.f.thread_ok = true;
    m.f.clock += 3500;
    m.frame();
    EXPECT_NE(m.reader(), nullptr);
}

} // namespace
