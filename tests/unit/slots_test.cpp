// Slot lists, rotation, dispatch over a module table, call orders, the slot frame
// and the start animation.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <memory>
#include <string>
#include <type_traits>
#include <vector>

#include "core/app.h"

namespace {

// "tag/plus" per entry, blank-separated: "TS2/0 net/1".
std::string list_text(const Slot& s) {
    std::string out;
    for (int k = 0; k < s.count; ++k)
        out += (k ? " " : "") + std::string(s.tags[k]) + "/" + std::to_string(s.plus[k]);
    return out;
}

TEST(SlotList, Parse) {
    const struct {
        const char* value;
        const char* expected;
    } cases[] = {
        {"TS2 AMP CLK", "TS2/0 AMP/0 CLK/0"},
        {"net+", "net/1"},
        {"CLK++", "CLK/2"},
        {"A B C D E F G H I", "A/0 B/0 C/0 D/0 E/0 F/0 G/0 H/0"},
        {"\tTS2\t\t AMP  ", "TS2/0 AMP/0"},
        {"SPEAKER+x+", "SPE/2"},
        {"+FAN", "/1"},
        {"ABCDEFGHIJKLMNOPQRSTUVWXYZ1234+ NET", "ABC/1 NET/0"},  // "+" is the 31st
        {"ABCDEFGHIJKLMNOPQRSTUVWXYZ12345+ NET", "ABC/0 NET/0"}, // "+" is the 32nd
        {"CLK+ AMP CLK++", "CLK/1 AMP/0 CLK/2"},
        {" \t ", ""},
        {nullptr, ""},
    };
    for (const auto& c : cases) {
        Slot slot;
        std::memset(&slot, 0x5A, sizeof slot); // leftovers must not survive
        slot_parse_list(&slot, c.value);
        EXPECT_EQ(list_text(slot), c.expected) << (c.value ? c.value : "(null)");
        EXPECT_EQ(slot.start, 0);
    }
}

TEST(SlotList, PlusMarksTagAtAdvance) {
    const struct {
        const char* list;
        const char* tag;
        int32_t plus; // first entry in written order, whatever the start
    } plus_cases[] = {{"CLK+ AMP CLK++", "clk", 1},
                      {"AMP CLK++ CLK+", "CLK", 2},
                      {"net+", "NET", 1},
                      {"CL+", "CLK", 0},
                      {"", "CLK", 0}};
    for (const auto& c : plus_cases) {
        Slot slot{};
        slot_parse_list(&slot, c.list);
        slot.start = slot.count - 1;
        EXPECT_EQ(slot_plus_marks(&slot, c.tag), c.plus) << c.list << " / " << c.tag;
    }
    const struct {
        const char* list;
        int32_t start;
        int position;
        const char* tag; // "" = none
        int32_t advanced;
    } at_cases[] = {{"A B C", 0, 0, "A", 1}, {"A B C", 1, 2, "A", 2}, {"A B C", 2, 1, "A", 0},
                    {"A B C", 2, 3, "", 0},  {"A B C", 0, -1, "", 1}, {"", 0, 0, "", 0},
                    {"A", 0, 0, "A", 0}};
    for (const auto& c : at_cases) {
        Slot slot{};
        slot_parse_list(&slot, c.list);
        slot.start = c.start;
        const char* tag = slot_tag_at(&slot, c.position);
        EXPECT_EQ(tag ? tag : "", std::string(c.tag))
            << c.list << " @" << c.start << "+" << c.position;
        slot_advance(&slot);
        EXPECT_EQ(slot.start, c.advanced) << c.list << " @" << c.start;
    }
}

TEST(SlotList, ButtonsAndSetup) {
    const struct {
        int32_t event, button_before, button, rotate, start; // list of 3, start 2
    } cases[] = {{BUTTON_NONE, 1, 1, 0, 2},
                 {BUTTON_SHORT, 2, 1, 0, 2},
                 {BUTTON_LONG, 1, 2, 0, 2},
                 {BUTTON_CTRL, 1, 1, 1, 0},
                 {99, 0, 0, 0, 2}};
    for (const auto& c : cases) {
        Slot slots[SLOT_COUNT]{};
        slot_parse_list(&slots[2], "A B C");
        slots[2].start = 2;
        slots[2].button = c.button_before;
        slots[2].rotate = 1; // left from the previous frame
        const int32_t events[SLOT_COUNT] = {0, 0, c.event, 0};
        slots_apply_buttons(slots, events);
        EXPECT_EQ(slots[2].button, c.button) << "event " << c.event;
        EXPECT_EQ(slots[2].rotate, c.rotate) << "event " << c.event;
        EXPECT_EQ(slots[2].start, c.start) << "event " << c.event;
    }

    char k1[] = "slot_1", v1[] = "TS2 AMP+ CLK", k3[] = "SLOT_3", v3[] = "net+";
    SettingEntry e3{k3, v3, nullptr}, e1{k1, v1, &e3};
    const SettingsList settings{&e1};
    const char* expected[SLOT_COUNT] = {"", "TS2/0 AMP/1 CLK/0", "", "net/1"};
    const int32_t left[SLOT_COUNT] = {0, 40, 81, 121};
    for (int i = 0; i < SLOT_COUNT; ++i) {
        Slot slot;
        std::memset(&slot, 0x77, sizeof slot);
        slot_setup(&slot, i, &settings);
        EXPECT_EQ(list_text(slot), expected[i]);
        EXPECT_EQ(slot.index, i);
        EXPECT_EQ(slot.x, left[i]);
        EXPECT_EQ(slot.y, 22);
        EXPECT_EQ(slot.start | slot.rotate | slot.button, 0);
    }
}

// ---------------------------------------------------------------- slot frame

// 43 lines of 160 characters, '#' lit: the frame, or a blank one with rows pasted at
// (x0, y0) and cut at the edges.
std::string frame_text(const LcdBitmap& f) {
    std::string s;
    for (int i = 0; i < LCD_PIXELS; ++i)
        s += std::string(f.pixels[i] ? "#" : ".") + (i % LCD_WIDTH == LCD_WIDTH - 1 ? "\n" : "");
    return s;
}
std::string golden(int x0, int y0, const std::vector<std::string>& rows) {
    std::string s = frame_text(LcdBitmap{});
    for (int r = 0; r < static_cast<int>(rows.size()); ++r)
        for (int c = 0; c < static_cast<int>(rows[r].size()); ++c)
            if (y0 + r >= 0 && y0 + r < LCD_HEIGHT && x0 + c >= 0 && x0 + c < LCD_WIDTH)
                s[(y0 + r) * (LCD_WIDTH + 1) + x0 + c] = rows[r][c];
    return s;
}

TEST(SlotFrame, ExactPixels) {
    // Title "NET": symbols N 5, E 5, T 4 wide, unlit letters on a lit tab, w = 14.
    std::vector<std::string> net = {
        ".#####################################.", "#.##.#....#...#.......................#",
        "#..#.#.#####.##.......................#", "#.#..#...###.##.......................#",
        "#.##.#.#####.##.......................#", "#.##.#....##.##.......................#",
        "###############.......................#"};
    net.resize(21, "#.....................................#");
    // At rest, during the animation (partly or wholly below), and above the top edge.
    const int32_t at[][2] = {{0, 22}, {81, 22}, {121, 22}, {40, 30}, {121, 40}, {121, 60}, {0, -3}};
    for (const auto& p : at) {
        auto frame = std::make_unique<LcdBitmap>();
        Slot slot{};
        slot.x = p[0];
        slot.y = p[1];
        slot_draw_frame(frame.get(), &slot, "NET");
        EXPECT_EQ(frame_text(*frame), golden(p[0], p[1], net)) << p[0] << "," << p[1];
    }
}

// ---------------------------------------------------------------- dispatch

const char* const kTags[MODULE_COUNT] = {"TS2", "SPK", "NET", "AMP", "STW", "CLK",
                                         "FPS", "FAN", "TUN", "RIP", "TS3"};

// The application state followed by the fake modules' state, which each fake
// operation finds from the App it is given.
struct Harness {
    App app;
    Module table[MODULE_COUNT];
    bool willing[MODULE_COUNT];
    bool acts_on_short[MODULE_COUNT];
    std::vector<std::string> log;
};
static_assert(std::is_standard_layout<Harness>::value, "App must come first");
Harness& of(App* app) {
    return *reinterpret_cast<Harness*>(app);
}

template <int Id> void fake_log(App* app, const char* what) {
    of(app).log.push_back(std::string(what) + " " + kTags[Id]);
}
template <int Id> int fake_draw(App* app, int slot) {
    Harness& h = of(app);
    const std::string who = std::string(kTags[Id]) + "@" + std::to_string(slot);
    h.log.push_back(who + (h.willing[Id] ? "+" : "-"));
    if (!h.willing[Id])
        return 0;
    slot_draw_frame(app_frame(app), &app->slots[slot], kTags[Id]);
    if (h.acts_on_short[Id] && app->slots[slot].button == 1)
        app->slots[slot].button = 0;
    return 1;
}
template <int Id> Module fake() {
    return {kTags[Id], [](App* a) { fake_log<Id>(a, "init"); },
            [](App* a) { fake_log<Id>(a, "update"); }, fake_draw<Id>,
            [](App* a) { fake_log<Id>(a, "teardown"); }};
}

std::unique_ptr<Harness> make_harness() {
    auto h = std::make_unique<Harness>();
    const Module t[MODULE_COUNT] = {fake<0>(), fake<1>(), fake<2>(), fake<3>(),
                                    fake<4>(), fake<5>(), fake<6>(), fake<7>(),
                                    fake<8>(), fake<9>(), fake<10>()};
    std::copy(t, t + MODULE_COUNT, h->table);
    h->app.modules = h->table;
    for (int i = 0; i < SLOT_COUNT; ++i)
        slot_setup(&h->app.slots[i], i, nullptr);
    return h;
}

bool slot_blank(const LcdBitmap& f, const Slot& s) {
    for (int y = 22; y < LCD_HEIGHT; ++y)
        for (int x = s.x; x <= s.x + 38; ++x)
            if (f.pixels[y * LCD_WIDTH + x])
                return false;
    return true;
}

struct Step {
    int32_t event;       // slot 1's soft button
    const char* willing; // modules willing this frame
    const char* shown;   // "" = slot left blank
    int32_t start, button;
    int tries; // draw calls in slot 1
};
struct Scenario {
    const char* name;
    const char* list;    // slot 1
    const char* handler; // module that acts on a short press
    std::vector<Step> steps;
};
constexpr int32_t N = BUTTON_NONE, S = BUTTON_SHORT, L = BUTTON_LONG, C = BUTTON_CTRL;

const Scenario kScenarios[] = {
    {"unwilling_first_stands_aside",
     "TS2 AMP CLK",
     "",
     {{N, "AMP CLK", "AMP", 0, 0, 2}, {N, "TS2 AMP CLK", "TS2", 0, 0, 1}}},
    {"ctrl_rests_on_next_willing",
     "TS2 AMP CLK",
     "",
     {{C, "AMP CLK", "AMP", 1, 0, 1},
      {N, "AMP CLK", "AMP", 1, 0, 1},
      {C, "AMP CLK", "CLK", 2, 0, 1},
      {C, "AMP CLK", "AMP", 1, 0, 2},
      {C, "TS2 AMP CLK", "CLK", 2, 0, 1},
      {C, "TS2 AMP CLK", "TS2", 0, 0, 1}}},
    {"ctrl_with_nobody_willing",
     "TS2 AMP CLK SPK NET",
     "", // 1 + 8 moves round 5 tags
     {{C, "", "", 4, 0, 8}, {N, "", "", 4, 0, 5}, {N, "SPK", "SPK", 4, 0, 5}}},
    {"unknown_tag_holds_start",
     "XYZ AMP",
     "",
     {{N, "AMP", "AMP", 0, 0, 1},
      {C, "AMP", "AMP", 1, 0, 1},
      {C, "AMP", "", 0, 0, 0},
      {N, "AMP", "AMP", 0, 0, 1}}},
    {"case_ignored",
     "amp+ Clk",
     "",
     {{N, "AMP CLK", "AMP", 0, 0, 1}, {C, "AMP CLK", "CLK", 1, 0, 1}}},
    {"same_tag_twice",
     "CLK+ AMP CLK++",
     "",
     {{N, "CLK", "CLK", 0, 0, 1}, {C, "CLK", "CLK", 2, 0, 2}, {C, "CLK", "CLK", 0, 0, 1}}},
    {"short_press_waits_for_handler",
     "AMP STW",
     "STW",
     {{S, "AMP STW", "AMP", 0, 1, 1},
      {N, "AMP STW", "AMP", 0, 1, 1},
      {C, "AMP STW", "STW", 1, 0, 1},
      {L, "AMP STW", "STW", 1, 2, 1},
      {S, "AMP STW", "STW", 1, 0, 1}}},
    {"empty_list", "", "", {{S, "TS2", "", 0, 1, 0}, {C, "TS2", "", 0, 1, 0}}},
    {"eighth_tag_reached", "TS2 SPK NET AMP STW CLK FPS FAN", "", {{N, "FAN", "FAN", 0, 0, 8}}},
};

class Dispatch : public ::testing::TestWithParam<Scenario> {};

TEST_P(Dispatch, FrameByFrame) {
    const Scenario& sc = GetParam();
    auto h = make_harness();
    App* app = &h->app;
    slot_parse_list(&app->slots[1], sc.list);
    for (int i = 0; i < MODULE_COUNT; ++i)
        h->acts_on_short[i] = std::strstr(sc.handler, kTags[i]) != nullptr;
    int n = 0;
    for (const Step& st : sc.steps) {
        const int32_t events[SLOT_COUNT] = {N, st.event, N, N};
        slots_apply_buttons(app->slots, events);
        for (int i = 0; i < MODULE_COUNT; ++i)
            h->willing[i] = std::strstr(st.willing, kTags[i]) != nullptr;
        h->log.clear();
        std::memset(app->lcd.frame.pixels, 0, LCD_PIXELS);
        slots_draw_all(app);
        std::string shown;
        int tries = 0;
        for (const std::string& e : h->log) {
            tries += e.compare(3, 2, "@1") == 0;
            if (e.compare(3, 3, "@1+") == 0)
                shown = e.substr(0, 3);
        }
        const Slot& s = app->slots[1];
        const std::string at = std::string(sc.name) + " frame " + std::to_string(++n);
        EXPECT_EQ(shown, st.shown) << at;
        EXPECT_EQ(s.start, st.start) << at;
        EXPECT_EQ(s.button, st.button) << at;
        EXPECT_EQ(tries, st.tries) << at;
        EXPECT_EQ(slot_blank(app->lcd.frame, s), shown.empty()) << at;
    }
}
INSTANTIATE_TEST_SUITE_P(Slot1, Dispatch, ::testing::ValuesIn(kScenarios),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(DispatchAll, SlotsInOrderWithTheirIndex) {
    auto h = make_harness();
    const char* lists[SLOT_COUNT] = {"CLK", "", "TS2 clk", "NET"};
    for (int i = 0; i < SLOT_COUNT; ++i)
        slot_parse_list(&h->app.slots[i], lists[i]);
    h->willing[MOD_CLK] = h->willing[MOD_NET] = true;
    slots_draw_all(&h->app);
    EXPECT_EQ(h->log, (std::vector<std::string>{"CLK@0+", "TS2@2-", "CLK@2+", "NET@3+"}));
    EXPECT_TRUE(slot_blank(h->app.lcd.frame, h->app.slots[1]));
}

TEST(DispatchAll, CallOrders) {
    const struct {
        void (*run)(App*);
        const char* expected;
    } cases[] = {
        {modules_init_all, "TS2 SPK NET AMP STW CLK FPS FAN TUN RIP TS3"},
        {modules_update_all, "SPK NET AMP STW CLK FPS FAN TUN TS2 RIP TS3"},
        {modules_teardown_all, "TS3 RIP TUN FAN FPS CLK STW AMP NET SPK TS2"},
    };
    for (const auto& c : cases) {
        auto h = make_harness();
        c.run(&h->app);
        std::string order;
        for (const std::string& e : h->log)
            order += (order.empty() ? "" : " ") + e.substr(e.size() - 3);
        EXPECT_EQ(order, c.expected);
    }
}

// ---------------------------------------------------------------- start animation

TEST(StartAnimation, RowsFrameByFrame) {
    const struct {
        int32_t animate_start;
        int32_t a; // the frame whose step is handed this value is checked
        int32_t y[SLOT_COUNT];
        int32_t counter_after;
    } cases[] = {
        {1, 1, {22, 22, 22, 22}, 2},     {1, 2, {42, 48, 54, 60}, 3},
        {1, 3, {42, 48, 54, 60}, 4},     {1, 4, {40, 46, 52, 58}, 5},
        {1, 22, {22, 28, 34, 40}, 23},   {1, 38, {22, 22, 22, 24}, 39},
        {1, 40, {22, 22, 22, 22}, 41},   {1, 45, {22, 22, 22, 22}, 46},
        {1, 46, {22, 22, 22, 22}, 0},    {0, 0, {22, 22, 22, 22}, 0},
        {30, 30, {22, 22, 26, 32}, 31},  {-7, -7, {22, 22, 22, 22}, 0},
        {100, 100, {22, 22, 22, 22}, 0}, {INT32_MAX, INT32_MAX, {22, 22, 22, 22}, 0},
    };
    for (const auto& c : cases) {
        Slot slots[SLOT_COUNT];
        for (int i = 0; i < SLOT_COUNT; ++i)
            slot_setup(&slots[i], i, nullptr);
        int32_t counter = c.animate_start;
        bool seen = false;
        for (int frame = 0; frame < 60 && !seen; ++frame) {
            const int32_t a = counter;
            slots_animate_frame(slots, &counter);
            if (a != c.a)
                continue;
            seen = true;
            for (int i = 0; i < SLOT_COUNT; ++i)
                EXPECT_EQ(slots[i].y, c.y[i]) << "a=" << a << " slot " << i;
            EXPECT_EQ(counter, c.counter_after) << "a=" << a;
        }
        EXPECT_TRUE(seen) << "a=" << c.a << " never came";
        // Run on: the animation always ends with every slot at rest.
        for (int frame = 0; frame < 60; ++frame)
            slots_animate_frame(slots, &counter);
        EXPECT_EQ(counter, 0);
        for (const Slot& s : slots)
            EXPECT_EQ(s.y, 22);
    }
}

} // namespace
