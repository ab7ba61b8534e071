// Hung-application module: title taking and cutting, the scan rhythm, and the slot
// with its presses against a fake desktop.
#include <gtest/gtest.h>

#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "core/app.h"
#include "draw/draw.h"
#include "draw/notice.h"
#include "modules/mod_rip.h"
#include "screen/slots.h"

namespace {

TEST(RipTitle, TakesBoundedTerminatedText) {
    const std::string long_raw(200, 'a');
    struct Case {
        const char* name;
        std::string raw;
        int n;
        size_t cap;
        std::string out;
    } cases[] = {
        {"plain", "Notepad", 7, 128, "Notepad"},
        {"length shorter than text", "Notepad", 4, 128, "Note"},
        {"embedded zero ends it", std::string("Note\0pad", 8), 8, 128, "Note"},
        {"negative length", "Notepad", -1, 128, ""},
        {"zero length", "Notepad", 0, 128, ""},
        {"no terminator, longer than buffer", long_raw, 200, 128, std::string(127, 'a')},
        {"length claims more than cap", long_raw, 1000, 16, std::string(15, 'a')},
        {"percent signs kept literally", "100% %s %n", 10, 128, "100% %s %n"},
        {"high bytes kept", "\xe9t\xe9", 3, 128, "\xe9t\xe9"},
    };
    for (const Case& c : cases) {
        std::vector<char> out(c.cap + 8, '#');
        size_t len = rip_take_title(out.data(), c.cap, c.raw.data(), c.n);
        EXPECT_EQ(std::string(out.data()), c.out) << c.name;
        EXPECT_EQ(len, c.out.size()) << c.name;
        EXPECT_EQ(out[c.cap], '#') << c.name << ": wrote past cap";
    }
}

int width(const std::string& t) {
    return draw_text(nullptr, TEXT_MEASURE, 0, 0, t.c_str());
}

TEST(RipTitle, CutsToTheWidestPrefixThatFits) {
    struct Case {
        std::string title;
        const char* shown; // null: only the rules below
    } cases[] = {
        {"", ""},
        {"Calc", "Calc"},
        {"WWWWWW", "WWWWWW"}, // exactly 36 pixels
        {"WWWWWWW", "WWWWWW"},
        {"Untitled - Notepad", "Untitl"},
        {"Document1 - Microsoft Word", "Docume"},
        {"\xa0\xa0\xa0\xa0\xa0\xa0\xa0\xa0\xa0\xa0", "\xa0\xa0\xa0\xa0\xa0\xa0\xa0\xa0\xa0"},
        {std::string(127, 'i'), nullptr},
        {"a\x01\x02", "a\x01\x02"}, // control bytes have no width
    };
    for (const Case& c : cases) {
        char text[RIP_TITLE_BYTES];
        snprintf(text, sizeof text, "%s", c.title.c_str());
        size_t len = rip_fit_title(text, RIP_TITLE_WIDTH);
        EXPECT_EQ(len, strlen(text));
        std::string got(text);
        // Whatever the font: a prefix, within the width, and one more character would
        // not fit.
        EXPECT_EQ(c.title.compare(0, got.size(), got), 0) << c.title;
        EXPECT_LE(width(got), RIP_TITLE_WIDTH) << c.title;
        if (got.size() < c.title.size()) {
            EXPECT_GT(width(c.title.substr(0, got.size() + 1)), RIP_TITLE_WIDTH) << c.title;
        }
        if (c.shown) {
            EXPECT_EQ(got, c.shown) << c.title;
        }
    }
    // A single character wider than the limit stays.
    char one[] = "W";
    EXPECT_EQ(rip_fit_title(one, 3), 1u);
    EXPECT_STREQ(one, "W");
    char two[] = "WW";
    EXPECT_EQ(rip_fit_title(two, 3), 1u);
}

TEST(RipScan, EverySecondTickWithBlinkSet) {
    struct Case {
        int32_t tick, blink;
        bool due;
    } cases[] = {{1, 1, true}, {1, 0, false}, {0, 1, false}, {0, 0, false}};
    for (const Case& c : cases)
        EXPECT_EQ(rip_scan_due(c.tick, c.blink), c.due) << c.tick << c.blink;
}

// ---- the module against a fake desktop -------------------------------------------------

struct FakeDesk {
    bool has_test = true;
    void* hung = nullptr; // what a scan finds
    std::string title;    // raw bytes of the hung window's title
    int reported = -2;    // length the system reports; -2: the title's size
    int32_t outcome = RIP_ENDED;
    uint32_t error = 5; // error code of a refused termination
    int scans = 0, opens = 0, closes = 0;
    std::vector<void*> ended; // windows whose process was asked to end
};

FakeDesk& desk(RipModule* rip) {
    return *static_cast<FakeDesk*>(rip->ctx);
}
bool fake_open(RipModule* rip) {
    desk(rip).opens++;
    rip->hung_test = desk(rip).has_test ? rip : nullptr;
    return desk(rip).has_test;
}
void fake_close(RipModule* rip) {
    desk(rip).closes++;
}
void* fake_find(RipModule* rip) {
    desk(rip).scans++;
    return desk(rip).hung;
}
int fake_title(RipModule* rip, void*, char* out, int cap) {
    const FakeDesk& d = desk(rip);
    // Like a careless source: copies up to cap bytes with no terminating zero.
    size_t n = d.title.size() < static_cast<size_t>(cap) ? d.title.size() : cap;
    memcpy(out, d.title.data(), n);
    return d.reported == -2 ? static_cast<int>(d.title.size()) : d.reported;
}
int32_t fake_end(RipModule* rip, void* window, uint32_t* error) {
    desk(rip).ended.push_back(window);
    *error = desk(rip).error;
    return desk(rip).outcome;
}
const RipHost kFakeHost = {fake_open, fake_close, fake_find, fake_title, fake_end};

// Runs in a temporary folder, so "errors.txt" is the module's own.
struct TempDir {
    std::string old, dir;
    TempDir() {
        char cwd[4096];
        old = getcwd(cwd, sizeof cwd) ? cwd : ".";
        char tmpl[] = "/tmp/rip_test_XXXXXX";
        dir = mkdtemp(tmpl);
        EXPECT_EQ(chdir(dir.c_str()), 0);
    }
    ~TempDir() {
        unlink((dir + "/errors.txt").c_str());
        EXPECT_EQ(chdir(old.c_str()), 0);
        rmdir(dir.c_str());
    }
    std::string log() const {
        std::ifstream f(dir + "/errors.txt");
        return std::string(std::istreambuf_iterator<char>(f), {});
    }
};

struct RipFixture {
    std::unique_ptr<App> app = std::make_unique<App>();
    FakeDesk fd;
    RipFixture() {
        for (int i = 0; i < SLOT_COUNT; ++i) {
            app->slots[i].index = i;
            app->slots[i].x = (i == 0) ? 0 : (i == 1) ? 40 : (i == 2) ? 81 : 121;
            app->slots[i].y = 22;
        }
        app->rip.host = &kFakeHost;
        app->rip.ctx = &fd;
    }
    ~RipFixture() {
        mod_rip_teardown(app.get());
        notice_free_all(&app->notices);
    }
    void frame(int32_t tick, int32_t blink) {
        app->frame.one_second_tick = tick;
        app->frame.blink = blink;
        mod_rip_update(app.get());
    }
};

std::vector<uint8_t> expected_slot(const Slot& s, const char* shown) {
    auto f = std::make_unique<LcdBitmap>();
    memset(f.get(), 0, sizeof *f);
    slot_draw_frame(f.get(), &s, "RIP");
    draw_text_right(f.get(), s.x, s.y + 14, shown);
    return std::vector<uint8_t>(f->pixels, f->pixels + LCD_PIXELS);
}

TEST(RipModule, ScansOnlyEveryOtherSecondAndOnlyWithTheTest) {
    for (bool has_test : {true, false}) {
        RipFixture fx;
        fx.fd.has_test = has_test;
        mod_rip_init(fx.app.get());
        fx.fd.hung = &fx.fd;
        // Thirty frames: one-second ticks at frames 0, 10, 20 with blink 1, 0, 1.
        for (int i = 0; i < 30; ++i)
            fx.frame(i % 10 == 0 ? 1 : 0, (i / 10) % 2 == 0 ? 1 : 0);
        EXPECT_EQ(fx.fd.scans, has_test ? 2 : 0);
        EXPECT_EQ(fx.app->rip.hung_window, has_test ? &fx.fd : nullptr);
        fx.fd.title = "App";
        EXPECT_EQ(mod_rip_draw(fx.app.get(), 0), has_test ? 1 : 0);
    }
}

TEST(RipModule, WindowThatRecoversIsDroppedAtTheNextScan) {
    RipFixture fx;
    mod_rip_init(fx.app.get());
    fx.fd.title = "Busy";
    int a = 1, b = 2;
    struct Step {
        void* found;
        int drawn;
    } steps[] = {{nullptr, 0}, {&a, 1}, {&a, 1}, {&b, 1}, {nullptr, 0}};
    for (const Step& st : steps) {
        fx.fd.hung = st.found;
        fx.frame(1, 1);
        memset(fx.app->lcd.frame.pixels, 0, LCD_PIXELS);
        EXPECT_EQ(mod_rip_draw(fx.app.get(), 2), st.drawn);
        if (st.drawn == 0) {
            const uint8_t* px = fx.app->lcd.frame.pixels;
            EXPECT_EQ(std::count(px, px + LCD_PIXELS, 0), LCD_PIXELS) << "drew while declining";
        }
    }
}

struct PressCase {
    const char* name;
    std::string title;
    int reported;
    int32_t button;
    int32_t outcome;
    const char* shown;  // lower line
    int ended;          // processes asked to end
    int32_t notice_key; // -1: no notice
    const char* notice; // its text
    const char* log;    // a line containing this, or null for no log
};

TEST(RipModule, SlotAndPresses) {
    const std::string long_title = "Very long window title " + std::string(150, 'x');
    const PressCase cases[] = {
        {"no press", "Untitled - Notepad", -2, 0, RIP_ENDED, "Untitl", 0, -1, nullptr, nullptr},
        {"short press announces the full title", "Untitled - Notepad", -2, 1, RIP_ENDED, "Untitl",
         0, NOTICE_HUNG_APP, "Unresponsive: 'Untitled - Notepad'", nullptr},
        {"percent in the title stays text", "100%s %n %d", -2, 1, RIP_ENDED, "100%s ", 0,
         NOTICE_HUNG_APP, "Unresponsive: '100%s %n %d'", nullptr},
        {"title without terminator is cut at 127", long_title, 400, 1, RIP_ENDED, "Very l", 0,
         NOTICE_HUNG_APP, nullptr, nullptr},
        {"long press ends the process quietly", "Game", -2, 2, RIP_ENDED, "Game", 1, -1, nullptr,
         nullptr},
        {"long press without rights", "Service", -2, 2, RIP_NO_ACCESS, "Servic", 1, NOTICE_UNKEYED,
         "Insufficient privileges to terminate process", nullptr},
        {"long press refused logs the full title", "Stuck 50%", -2, 2, RIP_REFUSED, "Stuck ", 1,
         NOTICE_UNKEYED, "Failed to terminate process",
         "src/mod_rip(164) | TerminateProcess() failed for 'Stuck 50%' | 00000005"},
        {"window already gone", "", 0, 2, RIP_GONE, "", 1, -1, nullptr, nullptr},
    };
    for (const PressCase& c : cases) {
        TempDir tmp;
        RipFixture fx;
        mod_rip_init(fx.app.get());
        int window = 0;
        fx.fd.hung = &window;
        fx.fd.title = c.title;
        fx.fd.reported = c.reported;
        fx.fd.outcome = c.outcome;
        fx.frame(1, 1);
        App* app = fx.app.get();
        Slot& s = app->slots[1];
        s.button = c.button;
        memset(app->lcd.frame.pixels, 0, LCD_PIXELS);
        ASSERT_EQ(mod_rip_draw(app, 1), 1) << c.name;
        EXPECT_EQ(s.button, 0) << c.name;
        std::vector<uint8_t> got(app->lcd.frame.pixels, app->lcd.frame.pixels + LCD_PIXELS);
        EXPECT_TRUE(got == expected_slot(s, c.shown))
            << c.name << ": expected '" << c.shown << "' right-aligned";
        EXPECT_EQ(static_cast<int>(fx.fd.ended.size()), c.ended) << c.name;
        if (c.notice_key < 0) {
            EXPECT_EQ(notice_count(&app->notices), 0) << c.name;
        } else {
            ASSERT_EQ(notice_count(&app->notices), 1) << c.name;
            EXPECT_EQ(app->notices.first->key, c.notice_key) << c.name;
            EXPECT_EQ(app->notices.first->duration, 1500) << c.name;
            std::string expected =
                c.notice ? c.notice : "Unresponsive: '" + long_title.substr(0, 127) + "'";
            EXPECT_EQ(std::string(app->notices.first->text), expected) << c.name;
        }
        std::string log = tmp.log();
        if (c.log)
            EXPECT_NE(log.find(c.log), std::string::npos) << c.name << ": log was '" << log << "'";
        else
            EXPECT_EQ(log, "") << c.name;
    }
}

TEST(RipModule, RepeatedShortPressesKeepOneNotice) {
    RipFixture fx;
    mod_rip_init(fx.app.get());
    int w1 = 0, w2 = 0;
    fx.fd.hung = &w1;
    fx.fd.title = "First";
    fx.frame(1, 1);
    App* app = fx.app.get();
    app->slots[0].button = 1;
    mod_rip_draw(app, 0);
    fx.fd.hung = &w2;
    fx.fd.title = "Second";
    fx.frame(1, 1);
    app->slots[0].button = 1;
    mod_rip_draw(app, 0);
    ASSERT_EQ(notice_count(&app->notices), 1);
    EXPECT_STREQ(app->notices.first->text, "Unresponsive: 'Second'");
}

} // namespace
