// Soft-button classification, the LCD Manager's result texts and the frame hand-over.
#include <gtest/gtest.h>

#include <cstring>
#include <memory>

#include "link/lcd.h"

namespace {

struct Step {
    uint32_t mask; // held-button mask reported by the LCD Manager, or kRead
    bool ctrl;
    uint32_t at;      // tick count
    int32_t expected; // for reads
};
constexpr uint32_t kRead = 0xFFFFFFFFu;

struct ButtonCase {
    const char* name;
    std::vector<Step> steps;
};

class ButtonScript : public ::testing::TestWithParam<ButtonCase> {};

TEST_P(ButtonScript, ReportsEachPressOnce) {
    SoftButton buttons[4] = {};
    std::atomic<int32_t> all_down{0};
    for (const Step& s : GetParam().steps) {
        if (s.mask == kRead) {
            EXPECT_EQ(buttons_classify(&buttons[0], s.at), s.expected)
                << GetParam().name << ": read at " << s.at;
        } else {
            buttons_on_mask(buttons, &all_down, s.mask, s.ctrl, s.at);
        }
    }
}

INSTANTIATE_TEST_SUITE_P(
    Presses, ButtonScript,
    ::testing::Values(
        // 300 ms press: nothing while down, 1 once at the first frame after release.
        ButtonCase{"short",
                   {{1, false, 1000, 0},
                    {kRead, false, 1100, BUTTON_NONE},
                    {0, false, 1300, 0},
                    {kRead, false, 1350, BUTTON_SHORT},
                    {kRead, false, 1450, BUTTON_NONE}}},
        // 2 s press: 2 once as soon as 500 ms have passed, nothing at release.
        ButtonCase{"long",
                   {{1, false, 1000, 0},
                    {kRead, false, 1499, BUTTON_NONE},
                    {kRead, false, 1501, BUTTON_LONG},
                    {kRead, false, 1600, BUTTON_NONE},
                    {0, false, 3000, 0},
                    {kRead, false, 3050, BUTTON_NONE}}},
        // Exactly 499 ms is still short, 500 ms is long.
        ButtonCase{"edge499",
                   {{1, false, 1000, 0}, {0, false, 1499, 0}, {kRead, false, 1600, BUTTON_SHORT}}},
        ButtonCase{"edge500",
                   {{1, false, 1000, 0}, {0, false, 1500, 0}, {kRead, false, 1600, BUTTON_LONG}}},
        // Ctrl held while the button went down: 3, whatever the length.
        ButtonCase{"ctrl",
                   {{1, true, 1000, 0},
                    {0, false, 3000, 0},
                    {kRead, false, 3100, BUTTON_CTRL},
                    {kRead, false, 3200, 0}}},
        ButtonCase{"ctrl-while-down", {{1, true, 1000, 0}, {kRead, false, 1100, BUTTON_CTRL}}},
        // A press that straddles the tick wrap yields 0 (and is consumed).
        ButtonCase{"wrap-released",
                   {{1, false, 0xFFFFFF00u, 0},
                    {0, false, 0x200, 0},
                    {kRead, false, 0x250, BUTTON_NONE},
                    {kRead, false, 0x300, BUTTON_NONE}}},
        ButtonCase{"wrap-held", {{1, false, 0xFFFFFF00u, 0}, {kRead, false, 0x200, BUTTON_NONE}}},
        // Tick 0 is stored as 1: a press at tick 0 is still seen.
        ButtonCase{"tick-zero",
                   {{1, false, 0, 0}, {0, false, 100, 0}, {kRead, false, 150, BUTTON_SHORT}}},
        // Two presses between reads: down time of the first, up time of the first.
        ButtonCase{"bounce",
                   {{1, false, 1000, 0},
                    {0, false, 1100, 0},
                    {1, false, 1200, 0},
                    {0, false, 1300, 0},
                    {kRead, false, 1350, BUTTON_SHORT},
                    {kRead, false, 1400, BUTTON_NONE}}}),
    [](const auto& info) {
        std::string n = info.param.name;
        for (char& c : n)
            if (!isalnum(static_cast<unsigned char>(c)))
                c = '_';
        return n;
    });

TEST(Buttons, AllFourDownSetsTheFlagAndEachButtonStillReports) {
    SoftButton b[4] = {};
    std::atomic<int32_t> all{0};
    buttons_on_mask(b, &all, 0x7, false, 1000);
    EXPECT_EQ(all.load(), 0);
    buttons_on_mask(b, &all, 0xF, false, 1010);
    EXPECT_EQ(all.load(), 1);
    buttons_on_mask(b, &all, 0x0, false, 1100);
    EXPECT_EQ(all.load(), 1) << "the all-down flag is never cleared";
    for (int i = 0; i < 4; ++i)
        EXPECT_EQ(buttons_classify(&b[i], 1200), BUTTON_SHORT) << i;
}

TEST(Buttons, OtherButtonsKeepTheirState) {
    SoftButton b[4] = {};
    std::atomic<int32_t> all{0};
    buttons_on_mask(b, &all, 0x2, false, 1000);
    buttons_on_mask(b, &all, 0x0, false, 1100);
    EXPECT_EQ(buttons_classify(&b[0], 1200), BUTTON_NONE);
    EXPECT_EQ(buttons_classify(&b[3], 1200), BUTTON_NONE);
    EXPECT_EQ(buttons_classify(&b[1], 1200), BUTTON_SHORT);
}

// The frame loop reads no button (and takes no lock) while none is pending, so every
// state in which a later read could still report something must count as pending.
TEST(Buttons, PendingWhileAPressCanStillBeReported) {
    struct Case {
        const char* name;
        std::vector<Step> steps; // masks and reads of button 0, as in ButtonScript
        bool pending;
    } cases[] = {
        {"nothing yet", {}, false},
        {"held, not yet long", {{1, false, 1000, 0}, {kRead, false, 1100, BUTTON_NONE}}, true},
        {"released, not yet read", {{1, false, 1000, 0}, {0, false, 1100, 0}}, true},
        {"short press read",
         {{1, false, 1000, 0}, {0, false, 1100, 0}, {kRead, false, 1200, 1}},
         false},
        {"long press reported while held",
         {{1, false, 1000, 0}, {kRead, false, 1600, BUTTON_LONG}},
         false},
        {"long press released after its report",
         {{1, false, 1000, 0}, {kRead, false, 1600, BUTTON_LONG}, {0, false, 2000, 0}},
         false},
        {"ctrl press", {{1, true, 1000, 0}}, true},
        {"ctrl press read", {{1, true, 1000, 0}, {kRead, false, 1100, BUTTON_CTRL}}, false},
        {"press across the tick wrap, read",
         {{1, false, 0xFFFFFF00u, 0}, {0, false, 0x200, 0}, {kRead, false, 0x250, 0}},
         false},
        {"release of nothing", {{0, false, 1000, 0}}, false},
    };
    for (const Case& c : cases) {
        SoftButton b[4] = {};
        std::atomic<int32_t> all{0};
        for (const Step& s : c.steps) {
            if (s.mask == kRead)
                EXPECT_EQ(buttons_classify(&b[0], s.at), s.expected) << c.name;
            else
                buttons_on_mask(b, &all, s.mask, s.ctrl, s.at);
        }
        EXPECT_EQ(buttons_pending(b), c.pending)
            << c.name << ": got " << buttons_pending(b) << ", expected " << c.pending;
    }
}

TEST(Buttons, PendingLooksAtEveryButton) {
    for (int i = 0; i < 4; ++i) {
        SoftButton b[4] = {};
        std::atomic<int32_t> all{0};
        buttons_on_mask(b, &all, 1u << i, false, 1000);
        EXPECT_TRUE(buttons_pending(b)) << "button " << i << " down";
        buttons_on_mask(b, &all, 0, false, 1100);
        EXPECT_TRUE(buttons_pending(b)) << "button " << i << " released, not read";
        EXPECT_EQ(buttons_classify(&b[i], 1200), BUTTON_SHORT) << i;
        EXPECT_FALSE(buttons_pending(b)) << "button " << i << " read";
    }
}

TEST(Buttons, ResetLeavesNothingPending) {
    auto lcd = std::make_unique<LcdLink>();
    lcd->buttons_pending.store(1);
    lcd_reset(lcd.get());
    EXPECT_EQ(lcd->buttons_pending.load(), 0);
}

TEST(LcdErrorText, KnownCodesHaveTheirTexts) {
    struct {
        uint32_t code;
        const char* text;
    } cases[] = {
        {2, "LCDMon is not running on the system."},
        {87, "Invalid parameter."},
        {183, "Already exists: Can't connect or open twice."},
        {259, "There are no more devices to be enumerated."},
        {1062, "lgLcdInit() has not been called yet."},
        {1150, "Attempted to initialize for Windows 9x."},
        {1247, "lgLcdInit() has been called before."},
        {1450, "Not enough system resources."},
        {1722, "Logitech LCD subsystem is not available."},
        {1832, "LCDMon does not understand the protocol."},
    };
    for (auto& c : cases) {
        ASSERT_NE(lcd_error_text(c.code), nullptr) << c.code;
        EXPECT_STREQ(lcd_error_text(c.code), c.text) << c.code;
    }
    for (uint32_t other : {0u, 1u, 5u, 31u, 1167u, 0xFFFFFFFFu})
        EXPECT_EQ(lcd_error_text(other), nullptr) << other;
}

TEST(WaitPrefix, NamesTimeoutAndAbandoned) {
    EXPECT_STREQ(wait_result_prefix(0x80), "WAIT_ABANDONED ");
    EXPECT_STREQ(wait_result_prefix(0x102), "WAIT_TIMEOUT ");
    EXPECT_STREQ(wait_result_prefix(0xFFFFFFFF), "");
    EXPECT_STREQ(wait_result_prefix(1), "");
}

TEST(HandOver, CopiesFormatAndPixelsThenClearsOnlyThePixels) {
    auto a = std::make_unique<LcdBitmap>();
    auto b = std::make_unique<LcdBitmap>();
    a->format = 1;
    for (int i = 0; i < LCD_PIXELS; ++i)
        a->pixels[i] = (i % 3) ? 255 : 0;
    memset(b.get(), 0xAA, sizeof *b);
    lcd_hand_over(a.get(), b.get());
    EXPECT_EQ(b->format, 1u);
    for (int i = 0; i < LCD_PIXELS; ++i) {
        ASSERT_EQ(b->pixels[i], (i % 3) ? 255 : 0) << "sending pixel " << i;
        ASSERT_EQ(a->pixels[i], 0) << "drawing pixel " << i;
    }
    EXPECT_EQ(a->format, 1u) << "the format word stays";
}

// A frame ready within 10 ms of the pass waits out the rest (rounded up, so never
// sooner than the 10 ms); one ready later does not wait at all.
TEST(PassPause, WhatIsLeftOfTheTenMilliseconds) {
    struct Case {
        uint64_t pass_end, now;
        uint32_t left;
    } cases[] = {
        {0, 0, 10},
        {0, 3000, 7},
        {0, 9001, 1},
        {0, 9999, 1},
        {0, 10000, 0},
        {0, 95000, 0},
        {5000000, 5000500, 10}, // half a ms is rounded up to the whole pause
        {5000000, 4000000, 10}, // a clock that went back: the whole pause
        {UINT64_MAX - 2000, UINT64_MAX, 8},
    };
    for (const Case& c : cases)
        EXPECT_EQ(lcd_pause_left(c.pass_end, c.now), c.left)
            << "pass ended at " << c.pass_end << " us, frame ready at " << c.now << " us";
}

} // namespace
