// Stopwatch module: text forms, the press table, the lap marker, per-slot state and
// presses left pending by another module.
#include <gtest/gtest.h>

#include <climits>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "core/app.h"
#include "draw/draw.h"
#include "modules/mod_stw.h"
#include "screen/slots.h"

namespace {

TEST(StwFormat, TextForms) {
    struct Case {
        int32_t ms, state, blink;
        const char* text;
    } cases[] = {
        {0, STW_RESET, 0, "00:00.0"},
        {99, STW_RUNNING, 1, "00:00.0"},
        {61234, STW_RUNNING, 1, "01:01.2"},
        {3599900, STW_RUNNING, 0, "59:59.9"},
        {3599999, STW_LAP, 1, "59:59.9"},
        {3600000, STW_RUNNING, 0, "1:00:00"},
        {35999999, STW_RUNNING, 1, "9:59:59"},
        {36000000, STW_RUNNING, 1, "10:00"},
        {36300000, STW_RUNNING, 1, "10:05"},
        {36300000, STW_RUNNING, 0, "10 05"},
        {36300000, STW_LAP, 0, "10 05"},
        {36300000, STW_RESET, 0, "10:05"}, // no blinking while reset
        {INT32_MAX, STW_RUNNING, 1, "596:31"},
        // Past 2^31 ms the tick difference is read unsigned, never as "-1:-5:..".
        {INT32_MIN, STW_RUNNING, 1, "596:31"},
        {-1, STW_RUNNING, 1, "1193:02"},
    };
    for (const Case& c : cases) {
        char out[32];
        size_t n = stw_format(out, sizeof out, c.ms, c.state, c.blink);
        EXPECT_STREQ(out, c.text) << c.ms;
        EXPECT_EQ(n, strlen(c.text)) << c.ms;
    }
    char tiny[4];
    EXPECT_EQ(stw_format(tiny, sizeof tiny, 3599900, STW_RUNNING, 1), 3u);
    EXPECT_STREQ(tiny, "59:");
}

struct AppFixture {
    std::unique_ptr<App> app = std::make_unique<App>();
    AppFixture() {
        for (int i = 0; i < SLOT_COUNT; ++i) {
            app->slots[i].index = i;
            app->slots[i].x = (i == 0) ? 0 : (i == 1) ? 40 : (i == 2) ? 81 : 121;
            app->slots[i].y = 22;
        }
        mod_stw_init(app.get());
    }
};

// What a slot should look like: frame, optional lap marker, right-aligned text.
std::vector<uint8_t> expected_slot(const Slot& s, const char* text, bool lap) {
    auto f = std::make_unique<LcdBitmap>();
    memset(f.get(), 0, sizeof *f);
    slot_draw_frame(f.get(), &s, "STW");
    if (lap)
        draw_text(f.get(), TEXT_SYMBOLS, s.x + 23, s.y + 2, "LAP");
    draw_text_right(f.get(), s.x, s.y + 14, text);
    return std::vector<uint8_t>(f->pixels, f->pixels + LCD_PIXELS);
}

struct Step {
    int slot;
    int32_t button; // put into the slot before the draw (0 none)
    uint32_t now;
    int32_t blink;
    bool draw;        // false: the press only waits in the slot
    const char* text; // expected text when drawn
    bool lap;         // expected lap marker
};

struct Script {
    const char* name;
    std::vector<Step> steps;
};

class StwScript : public ::testing::TestWithParam<Script> {};

TEST_P(StwScript, ShowsTheExpectedSlot) {
    AppFixture fx;
    App* app = fx.app.get();
    int i = 0;
    for (const Step& st : GetParam().steps) {
        ++i;
        Slot& s = app->slots[st.slot];
        if (st.button)
            s.button = st.button;
        if (!st.draw)
            continue;
        memset(app->lcd.frame.pixels, 0, LCD_PIXELS);
        app->frame.now = st.now;
        app->frame.blink = st.blink;
        ASSERT_EQ(mod_stw_draw(app, st.slot), 1);
        EXPECT_EQ(s.button, 0) << "step " << i;
        std::vector<uint8_t> got(app->lcd.frame.pixels, app->lcd.frame.pixels + LCD_PIXELS);
        EXPECT_TRUE(got == expected_slot(s, st.text, st.lap))
            << GetParam().name << " step " << i << ": expected " << st.text
            << (st.lap ? " with LAP" : "");
    }
}

INSTANTIATE_TEST_SUITE_P(
    Presses, StwScript,
    ::testing::Values(
        Script{"starts_at_zero",
               {{0, 0, 5000, 1, true, "00:00.0", false}, {3, 0, 9000, 0, true, "00:00.0", false}}},
        Script{"lap_then_resume_jumps",
               {{0, 1, 1000, 1, true, "00:00.0", false},
                {0, 0, 6000, 1, true, "00:05.0", false},
                {0, 1, 6000, 1, true, "00:05.0", false},  // lap
                {0, 0, 9000, 0, true, "00:05.0", true},   // frozen, marker on
                {0, 0, 9100, 1, true, "00:05.0", false},  // marker off with the colon
                {0, 1, 12000, 1, true, "00:11.0", false}, // resume: full time since start
                {0, 0, 12500, 0, true, "00:11.5", false}}},
        Script{"long_press_resets_any_state",
               {{1, 1, 1000, 1, true, "00:00.0", false},
                {1, 2, 4000, 1, true, "00:00.0", false},
                {1, 0, 7000, 1, true, "00:00.0", false},
                {1, 1, 8000, 1, true, "00:00.0", false},
                {1, 0, 9000, 1, true, "00:01.0", false},
                {1, 1, 9000, 0, true, "00:01.0", true}, // lap freezes the last shown time
                {1, 2, 9500, 0, true, "00:00.0", false}}},
        Script{"slots_independent",
               {{0, 1, 1000, 1, true, "00:00.0", false},
                {2, 1, 4000, 1, true, "00:00.0", false},
                {0, 0, 10000, 1, true, "00:09.0", false},
                {2, 0, 10000, 1, true, "00:06.0", false},
                {0, 2, 10000, 1, true, "00:00.0", false},
                {2, 0, 10500, 1, true, "00:06.5", false}}},
        Script{"press_waiting_in_slot_acts_when_shown",
               {{3, 1, 500, 1, false, nullptr, false},
                {3, 0, 2000, 1, true, "00:00.0", false},
                {3, 0, 3000, 1, true, "00:01.0", false}}},
        Script{"tick_counter_wraps",
               {{0, 1, 0xFFFFF000u, 1, true, "00:00.0", false},
                {0, 0, 0x00001000u, 1, true, "00:08.1", false}}},
        Script{"hours_blink",
               {{0, 1, 1000, 1, true, "00:00.0", false},
                {0, 0, 1000 + 36300000, 1, true, "10:05", false},
                {0, 0, 1000 + 36300000, 0, true, "10 05", false}}}),
    [](const ::testing::TestParamInfo<Script>& info) { return info.param.name; });

TEST(StwDraw, SlotOffScreenDuringStartAnimation) {
    AppFixture fx;
    App* app = fx.app.get();
    app->slots[3].y = 60; // below the screen: nothing may be written out of range
    app->frame.now = 1000;
    EXPECT_EQ(mod_stw_draw(app, 3), 1);
    for (int i = 0; i < LCD_PIXELS; ++i)
        EXPECT_EQ(app->lcd.frame.pixels[i], 0) << i;
}

} // namespace
