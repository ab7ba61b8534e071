// World clock module: zone list and picture settings, "TZI" records, the daylight
// decision, and the slot drawing against a fake system host.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "core/app.h"
#include "draw/draw.h"
#include "modules/mod_clk.h"
#include "screen/slots.h"
#include "services/settings.h"

namespace {

TEST(ClkList, ParsesTokens) {
    struct Case {
        const char* value;
        std::vector<int32_t> zones;
    } cases[] = {
        {"", {}},
        {"cet", {2}},
        {"CET jst Pst", {2, 12, 21}},
        {" \tUTC\t\tEST  ", {0, 26}},
        {"foo bar", {}},
        {"CE CETT CET", {2}}, // prefixes and extensions do not match
        {"mmst MST cst MCST", {23, 22, 24, 25}},
        {"AZST azst", {34, 34}},
        {"utc gmt cet wet eet rst ccst wast cast east awst kst jst acst aest cpst nzst",
         {0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15}},
        {"x x x x x x x x x x x x x x x x x x x x tst", {17}},
    };
    for (const Case& c : cases) {
        int32_t zones[CLK_LIST_MAX];
        memset(zones, 0xFF, sizeof zones);
        int32_t n = clk_parse_list(c.value, zones);
        EXPECT_EQ(std::vector<int32_t>(zones, zones + n), c.zones) << c.value;
    }
}

TEST(ClkTzi, ParsesOnlyWholeRecords) {
    // bias -60, standard bias 0, daylight bias -60 (little-endian), then the standard
    // date (last Sunday of October, 03:00) and the daylight date (March, 02:00).
    const uint8_t cet[48] = {0xC4, 0xFF, 0xFF, 0xFF, 0, 0, 0, 0, 0xC4, 0xFF, 0xFF, 0xFF,
                             0,    0,    10,   0,    0, 0, 5, 0, 3,    0,    0,    0,
                             0,    0,    0,    0,    0, 0, 3, 0, 0,    0,    5,    0,
                             2,    0,    0,    0,    0, 0, 0, 0, 0xEE, 0xEE, 0xEE, 0xEE};
    struct Case {
        size_t len;
        bool taken;
    } cases[] = {{44, true}, {43, false}, {45, false}, {0, false}};
    for (const Case& c : cases) {
        ClkZoneRules r;
        memset(&r, 0x5A, sizeof r);
        ClkZoneRules before = r;
        ASSERT_EQ(clk_parse_tzi(cet, c.len, &r), c.taken) << c.len;
        if (!c.taken) {
            EXPECT_EQ(memcmp(&r, &before, sizeof r), 0) << c.len;
            continue;
        }
        EXPECT_EQ(r.bias, -60);
        EXPECT_EQ(r.standard_bias, 0);
        EXPECT_EQ(r.daylight_bias, -60);
        const ClkTime& sd = r.standard_date;
        const ClkTime& dd = r.daylight_date;
        EXPECT_EQ(std::vector<int>({sd.year, sd.month, sd.day_of_week, sd.day, sd.hour, sd.minute,
                                    sd.second, sd.milliseconds}),
                  std::vector<int>({0, 10, 0, 5, 3, 0, 0, 0}));
        EXPECT_EQ(std::vector<int>({dd.year, dd.month, dd.day_of_week, dd.day, dd.hour, dd.minute,
                                    dd.second, dd.milliseconds}),
                  std::vector<int>({0, 3, 0, 5, 2, 0, 0, 0}));
        EXPECT_EQ(r.standard_name[0], before.standard_name[0]); // names are not in "TZI"
    }
}

using Settings = std::vector<std::pair<const char*, const char*>>;

constexpr int64_t kMinute = 600000000LL;

TEST(ClkTime, DaylightDecisionAndFileTime) {
    const int64_t utc = 130000000000000000LL;
    struct Case {
        int64_t local;
        int32_t bias;
        int32_t state;
    } cases[] = {
        {utc, 0, 0},
        {utc + 60 * kMinute, -60, 0},  // CET in winter
        {utc + 120 * kMinute, -60, 1}, // CEST in summer
        {utc - 480 * kMinute, 480, 0}, // PST
        {utc - 420 * kMinute, 480, 1}, // PDT
        {utc - 720 * kMinute + 1, 720, 1},
    };
    for (const Case& c : cases)
        EXPECT_EQ(clk_daylight_state(utc, c.local, c.bias), c.state) << c.bias;

    struct Ft {
        ClkTime t;
        int64_t ft;
    } fts[] = {
        {{1601, 1, 1, 1, 0, 0, 0, 0}, 0},
        {{1970, 1, 4, 1, 0, 0, 0, 0}, 116444736000000000LL},
        {{2000, 3, 3, 1, 12, 34, 56, 789},
         (951868800LL + 12 * 3600 + 34 * 60 + 56 + 11644473600LL) * 10000000LL + 7890000LL},
        {{2024, 2, 4, 29, 23, 59, 59, 0}, (1709251199LL + 11644473600LL) * 10000000LL},
    };
    for (const Ft& c : fts)
        EXPECT_EQ(clk_file_time(&c.t), c.ft) << c.t.year;
}

// A fake system: a settable UTC clock, a small zone registry and a conversion that
// applies daylight time between the daylight month and the standard month.
struct FakeSystem {
    ClkTime utc{2026, 7, 3, 15, 12, 0, 0, 0};
    std::map<std::string, ClkZoneRules> registry;
    ClkZoneRules own{}; // the computer's own zone, taken when a key is missing
    std::vector<std::string> reads;
    int missing = 0; // keys that did not open (each one log line)
    bool fail_format = false;
};

ClkZoneRules rules(int32_t bias, int32_t dlt_bias, uint16_t dlt_month, uint16_t std_month) {
    ClkZoneRules r{};
    r.bias = bias;
    r.daylight_bias = dlt_bias;
    r.daylight_date.month = dlt_month;
    r.standard_date.month = std_month;
    return r;
}

void fake_get_utc(void* ctx, ClkTime* utc) {
    *utc = static_cast<FakeSystem*>(ctx)->utc;
}

void fake_read_zone(void* ctx, const char* key, int32_t, ClkZoneRules* r) {
    auto* fs = static_cast<FakeSystem*>(ctx);
    fs->reads.push_back(key);
    auto it = fs->registry.find(key);
    if (it == fs->registry.end()) {
        fs->missing++;
        *r = fs->own;
        return;
    }
    *r = it->second;
}

bool fake_to_local(void*, const ClkZoneRules* r, const ClkTime* utc, ClkTime* local) {
    if (r->standard_date.month > 12)
        return false; // rules the system refuses
    bool north = r->daylight_date.month < r->standard_date.month;
    bool dst =
        r->daylight_date.month != 0 &&
        (north ? (utc->month >= r->daylight_date.month && utc->month < r->standard_date.month)
               : (utc->month >= r->daylight_date.month || utc->month < r->standard_date.month));
    int minutes =
        utc->hour * 60 + utc->minute - r->bias - (dst ? r->daylight_bias : r->standard_bias);
    // Mid-month test dates: a day change never leaves the month.
    int day_shift = minutes < 0 ? -1 : minutes >= 1440 ? 1 : 0;
    minutes -= day_shift * 1440;
    *local = *utc;
    local->day = static_cast<uint16_t>(utc->day + day_shift);
    local->hour = static_cast<uint16_t>(minutes / 60);
    local->minute = static_cast<uint16_t>(minutes % 60);
    return true;
}

bool fake_to_file_time(void*, const ClkTime* t, int64_t* ft) {
    *ft = clk_file_time(t);
    return true;
}

bool fake_format(void* ctx, const ClkTime* t, const char* picture, char* out, size_t cap) {
    if (static_cast<FakeSystem*>(ctx)->fail_format)
        return false;
    snprintf(out, cap, strcmp(picture, "HH:mm") == 0 ? "%02u:%02u" : "%u.%02u", t->hour, t->minute);
    return true;
}

struct ClkFixture {
    std::unique_ptr<App> app = std::make_unique<App>();
    FakeSystem fs;
    ClkHost host{fake_get_utc, fake_read_zone, fake_to_local, fake_to_file_time, fake_format, &fs};
    std::vector<SettingEntry> entries;
    std::vector<std::string> texts;

    // settings: key/value pairs; the "slot_X" keys set up the slots.
    explicit ClkFixture(Settings settings) {
        entries.resize(settings.size());
        texts.reserve(settings.size() * 2);
        for (size_t i = 0; i < settings.size(); ++i) {
            texts.push_back(settings[i].first);
            texts.push_back(settings[i].second);
        }
        for (size_t i = 0; i < settings.size(); ++i) {
            entries[i].key = &texts[2 * i][0];
            entries[i].value = &texts[2 * i + 1][0];
            entries[i].next = i + 1 < settings.size() ? &entries[i + 1] : nullptr;
        }
        app->settings.head = entries.empty() ? nullptr : &entries[0];
        for (int i = 0; i < SLOT_COUNT; ++i)
            slot_setup(&app->slots[i], i, &app->settings);
        fs.registry["Central European Standard Time"] = rules(-60, -60, 3, 10);
        fs.registry["Tokyo Standard Time"] = rules(-540, 0, 0, 0);
        fs.registry["Pacific Standard Time"] = rules(480, -60, 3, 11);
        fs.registry["Eastern Standard Time"] = rules(300, -60, 3, 11);
        fs.registry["Dateline Standard Time"] = rules(720, 0, 0, 0);
        fs.registry["New Zealand Standard Time"] = rules(-720, -60, 9, 4);
        fs.own = rules(-120, 0, 0, 0);
        app->clk.host = &host;
        mod_clk_init(app.get());
        app->settings.head = nullptr; // the entries are not heap-owned
    }
};

std::vector<uint8_t> expected_slot(const Slot& s, const char* upper, const char* lower) {
    auto f = std::make_unique<LcdBitmap>();
    memset(f.get(), 0, sizeof *f);
    slot_draw_frame(f.get(), &s, "CLK");
    draw_text_right(f.get(), s.x, s.y + 14, lower);
    draw_text_right(f.get(), s.x, s.y + 7, upper);
    return std::vector<uint8_t>(f->pixels, f->pixels + LCD_PIXELS);
}

struct Step {
    int slot;
    int32_t button;
    uint16_t month, hour; // UTC, minute 0
    const char* upper;
    const char* lower;
    int reads; // zone reads so far
    int32_t button_after;
};

struct Script {
    const char* name;
    Settings settings;
    std::vector<Step> steps;
    int missing; // keys that did not open
};

class ClkScript : public ::testing::TestWithParam<Script> {};

TEST_P(ClkScript, ShowsTheExpectedSlot) {
    const Script& sc = GetParam();
    ClkFixture fx(sc.settings);
    App* app = fx.app.get();
    int i = 0;
    for (const Step& st : sc.steps) {
        ++i;
        Slot& s = app->slots[st.slot];
        s.button = st.button;
        fx.fs.utc.month = st.month;
        fx.fs.utc.hour = st.hour;
        memset(app->lcd.frame.pixels, 0, LCD_PIXELS);
        ASSERT_EQ(mod_clk_draw(app, st.slot), 1);
        std::vector<uint8_t> got(app->lcd.frame.pixels, app->lcd.frame.pixels + LCD_PIXELS);
        EXPECT_TRUE(got == expected_slot(s, st.upper, st.lower))
            << sc.name << " step " << i << ": expected " << st.upper << " / " << st.lower;
        EXPECT_EQ(static_cast<int>(fx.fs.reads.size()), st.reads) << sc.name << " step " << i;
        EXPECT_EQ(s.button, st.button_after) << sc.name << " step " << i;
    }
    EXPECT_EQ(fx.fs.missing, sc.missing) << sc.name;
}

INSTANTIATE_TEST_SUITE_P(
    Zones, ClkScript,
    ::testing::Values(
        Script{"default_list_cycles",
               {{"slot_0", "CLK"}},
               {{0, 0, 7, 12, "UTC", "12:00", 1, 0},
                {0, 0, 7, 13, "UTC", "13:00", 1, 0}, // resolved once, not every frame
                {0, 1, 7, 12, "CEDT", "14:00", 2, 0},
                {0, 1, 7, 12, "JST", "21:00", 3, 0},
                {0, 1, 7, 12, "PDT", "05:00", 4, 0},
                {0, 1, 7, 12, "EDT", "08:00", 5, 0},
                {0, 1, 7, 12, "UTC", "12:00", 6, 0}},
               0},
        Script{"winter_and_state_kept_until_next_press",
               {{"slot_1", "CLK+"}},
               {{1, 0, 1, 12, "CET", "13:00", 1, 0},
                // Summer arrives while shown: the time follows, the name does not.
                {1, 0, 7, 12, "CET", "14:00", 1, 0},
                {1, 1, 7, 12, "JST", "21:00", 2, 0},
                {1, 1, 7, 12, "PDT", "05:00", 3, 0}},
               0},
        Script{"southern_summer",
               {{"worldtime_list", "nzst"}},
               {{2, 0, 1, 0, "NZDT", "13:00", 1, 0}, {2, 0, 7, 0, "NZDT", "12:00", 1, 0}},
               0},
        Script{"row_zero_stays_utc_and_missing_key_logs",
               {{"worldtime_list", "utc gmt"}},
               {{0, 0, 7, 12, "UTC", "12:00", 1, 0},
                // GMT has no key here: one miss, own zone (UTC+2) under its name.
                {0, 1, 7, 12, "GMT", "14:00", 2, 0},
                {0, 0, 7, 12, "GMT", "14:00", 2, 0},
                {0, 1, 7, 12, "UTC", "12:00", 3, 0}},
               1},
        Script{"long_press_left_pending",
               {{"slot_3", "CLK+"}},
               {{3, 2, 7, 12, "CEDT", "14:00", 1, 2}, {3, 2, 7, 12, "CEDT", "14:00", 1, 2}},
               0},
        Script{"unknown_tokens_show_utc",
               {{"worldtime_list", "foo bar"}},
               {{0, 0, 7, 12, "UTC", "12:00", 1, 0}, {0, 1, 7, 12, "UTC", "12:00", 2, 0}},
               0},
        Script{"plus_marks_beyond_list_start_at_first",
               {{"slot_0", "CLK+++++"}, {"slot_2", "NET CLK++"}},
               {{0, 0, 7, 12, "UTC", "12:00", 1, 0},
                {2, 0, 7, 12, "JST", "21:00", 2, 0},
                {0, 0, 7, 12, "UTC", "12:00", 2, 0}},
               0},
        Script{"format_picture_setting",
               {{"worldtime_format", "H.mm"}, {"worldtime_list", "JST"}},
               {{0, 0, 7, 12, "JST", "21.00", 1, 0}},
               0}),
    [](const ::testing::TestParamInfo<Script>& info) { return info.param.name; });

TEST(ClkDraw, FailuresGiveAnEmptyTime) {
    struct Case {
        const char* name;
        bool fail_format;
        bool bad_rules;
        const char* upper;
    } cases[] = {
        {"format_fails", true, false, "JST"},
        {"conversion_fails", false, true, "JST"},
    };
    for (const Case& c : cases) {
        ClkFixture fx(Settings{{"worldtime_list", "JST"}});
        App* app = fx.app.get();
        fx.fs.fail_format = c.fail_format;
        if (c.bad_rules)
            fx.fs.registry["Tokyo Standard Time"].standard_date.month = 13;
        ASSERT_EQ(mod_clk_draw(app, 0), 1);
        std::vector<uint8_t> got(app->lcd.frame.pixels, app->lcd.frame.pixels + LCD_PIXELS);
        EXPECT_TRUE(got == expected_slot(app->slots[0], c.upper, "")) << c.name;
    }
}

TEST(ClkInit, DefaultsAndSettings) {
    struct Case {
        const char* name;
        Settings settings;
        std::vector<int32_t> zones;
        const char* picture;
        std::vector<int32_t> positions;
    } cases[] = {
        {"defaults", {}, {0, 2, 12, 21, 26}, "HH:mm", {0, 0, 0, 0}},
        {"list_and_picture",
         {{"WorldTime_List", "est Cet"}, {"worldtime_format", "hh:mm:ss tt 'long long long text'"}},
         {26, 2},
         "hh:mm:ss tt 'long long long tex",
         {0, 0, 0, 0}},
        {"plus_marks",
         {{"slot_0", "CLK++"}, {"slot_2", "FAN clk+"}, {"slot_3", "CLK+++++++++"}},
         {0, 2, 12, 21, 26},
         "HH:mm",
         {2, 0, 1, 9}},
    };
    for (const Case& c : cases) {
        ClkFixture fx(c.settings);
        const ClkModule& clk = fx.app->clk;
        EXPECT_STREQ(clk.tag, "CLK");
        EXPECT_EQ(std::vector<int32_t>(clk.zones, clk.zones + clk.count), c.zones) << c.name;
        EXPECT_STREQ(clk.picture, c.picture) << c.name;
        EXPECT_EQ(std::vector<int32_t>(clk.position, clk.position + 4), c.positions) << c.name;
        for (int i = 0; i < 4; ++i)
            EXPECT_EQ(clk.daylight[i], -1) << c.name;
    }
}

} // namespace
