// Slot lists, rotation, dispatch over a module table, call orders, the slot frame
// and the start animation.
#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <string>
#include <type_traits>
#include <vector>

#include "app.h"
#include "draw.h"
#include "slots.h"

namespace {

// ---------------------------------------------------------------- list parsing

struct ParseCase {
    const char* name;
    const char* value;
    int count;
    std::vector<std::string> tags;
    std::vector<int> plus;
};

class SlotParse : public ::testing::TestWithParam<ParseCase> {};

TEST_P(SlotParse, TagsAndPlusCounts) {
    const ParseCase& c = GetParam();
    Slot slot;
    std::memset(&slot, 0x5A, sizeof slot); // leftovers must not survive the parse
    slot_parse_list(&slot, c.value);
    ASSERT_EQ(slot.count, c.count);
    EXPECT_EQ(slot.start, 0);
    for (int k = 0; k < c.count; ++k) {
        EXPECT_STREQ(slot.tags[k], c.tags[k].c_str()) << "token " << k;
        EXPECT_EQ(slot.plus[k], c.plus[k]) << "token " << k;
    }
}

const ParseCase kParseCases[] = {
    {"three", "TS2 AMP CLK", 3, {"TS2", "AMP", "CLK"}, {0, 0, 0}},
    {"lower_plus", "net+", 1, {"net"}, {1}},
    {"two_plus", "CLK++", 1, {"CLK"}, {2}},
    {"nine_tokens",
     "A B C D E F G H I",
     8,
     {"A", "B", "C", "D", "E", "F", "G", "H"},
     {0, 0, 0, 0, 0, 0, 0, 0}},
    {"tabs_and_runs", "\tTS2\t\t AMP  ", 2, {"TS2", "AMP"}, {0, 0}},
    {"long_tag_cut", "SPEAKERS", 1, {"SPE"}, {0}},
    {"plus_after_cut", "SPEAKER+x+", 1, {"SPE"}, {2}},
    {"plus_inside", "N+E+T", 1, {"N"}, {2}},
    {"plus_first", "+FAN", 1, {""}, {1}},
    {"plus_at_31st", "ABCDEFGHIJKLMNOPQRSTUVWXYZ1234+ NET", 2, {"ABC", "NET"}, {1, 0}},
    {"plus_at_32nd", "ABCDEFGHIJKLMNOPQRSTUVWXYZ12345+ NET", 2, {"ABC", "NET"}, {0, 0}},
    {"very_long_token",
     "CLKCLKCLKCLKCLKCLKCLKCLKCLKCLKCLKCLKCLKCLKCLK+++ AMP+",
     2,
     {"CLK", "AMP"},
     {0, 1}},
    {"same_tag_twice", "CLK+ AMP CLK++", 3, {"CLK", "AMP", "CLK"}, {1, 0, 2}},
    {"empty", "", 0, {}, {}},
    {"blanks_only", " \t ", 0, {}, {}},
    {"null", nullptr, 0, {}, {}},
};

INSTANTIATE_TEST_SUITE_P(Lists, SlotParse, ::testing::ValuesIn(kParseCases),
                         [](const auto& info) { return std::string(info.param.name); });

struct PlusCase {
    const char* list;
    const char* tag;
    int32_t expected;
};

TEST(SlotPlusMarks, FirstMatchIgnoringCaseAndStart) {
    const PlusCase cases[] = {
        {"CLK+ AMP CLK++", "CLK", 1},
        {"CLK+ AMP CLK++", "clk", 1},
        {"net+", "NET", 1},
        {"AMP CLK++ CLK+", "CLK", 2},
        {"AMP", "CLK", 0},
        {"", "CLK", 0},
        {"CL+", "CLK", 0},
        {"CLK+++", "CL", 0},
    };
    for (const PlusCase& c : cases) {
        Slot slot{};
        slot_parse_list(&slot, c.list);
        slot.start = slot.count > 1 ? 1 : 0; // the written order counts, not start
        EXPECT_EQ(slot_plus_marks(&slot, c.tag), c.expected) << c.list << " / " << c.tag;
    }
}

// ---------------------------------------------------------------- positions

struct TagAtCase {
    const char* list;
    int32_t start;
    int position;
    const char* expected; // nullptr: none
};

TEST(SlotTagAt, WrapsFromStart) {
    const TagAtCase cases[] = {
        {"A B C", 0, 0, "A"},           {"A B C", 1, 0, "B"},      {"A B C", 1, 2, "A"},
        {"A B C", 2, 1, "A"},           {"A B C", 2, 2, "B"},      {"A B C", 0, 3, nullptr},
        {"A B C", 2, 3, nullptr},       {"A B C", 0, -1, nullptr}, {"", 0, 0, nullptr},
        {"A B C D E F G H", 7, 7, "G"},
    };
    for (const TagAtCase& c : cases) {
        Slot slot{};
        slot_parse_list(&slot, c.list);
        slot.start = c.start;
        const char* tag = slot_tag_at(&slot, c.position);
        if (c.expected == nullptr)
            EXPECT_EQ(tag, nullptr) << c.list << " start " << c.start << " pos " << c.position;
        else
            EXPECT_STREQ(tag, c.expected)
                << c.list << " start " << c.start << " pos " << c.position;
    }
}

TEST(SlotAdvance, WrapsAtCount) {
    struct Case {
        int32_t count, start, expected;
    };
    const Case cases[] = {{3, 0, 1}, {3, 1, 2}, {3, 2, 0}, {1, 0, 0}, {0, 0, 0}, {8, 7, 0}};
    for (const Case& c : cases) {
        Slot slot{};
        slot.count = c.count;
        slot.start = c.start;
        slot_advance(&slot);
        EXPECT_EQ(slot.start, c.expected) << "count " << c.count << " start " << c.start;
    }
}

TEST(SlotsApplyButton, EventsSetButtonOrRotate) {
    struct Case {
        int32_t event;
        int32_t button_before;
        int32_t button, rotate, start;
    };
    // list of three, start 2 before the event
    const Case cases[] = {
        {BUTTON_NONE, 0, 0, 0, 2},  {BUTTON_NONE, 1, 1, 0, 2}, {BUTTON_SHORT, 0, 1, 0, 2},
        {BUTTON_SHORT, 2, 1, 0, 2}, {BUTTON_LONG, 1, 2, 0, 2}, {BUTTON_CTRL, 0, 0, 1, 0},
        {BUTTON_CTRL, 1, 1, 1, 0},  {99, 0, 0, 0, 2},
    };
    for (const Case& c : cases) {
        Slot slot{};
        slot_parse_list(&slot, "A B C");
        slot.start = 2;
        slot.button = c.button_before;
        slots_apply_button(&slot, c.event);
        EXPECT_EQ(slot.button, c.button) << "event " << c.event;
        EXPECT_EQ(slot.rotate, c.rotate) << "event " << c.event;
        EXPECT_EQ(slot.start, c.start) << "event " << c.event;
    }
}

TEST(SlotsApplyButtons, ClearsEveryRotateFirst) {
    Slot slots[SLOT_COUNT]{};
    for (Slot& s : slots) {
        slot_parse_list(&s, "A B");
        s.rotate = 1;
    }
    const int32_t events[SLOT_COUNT] = {BUTTON_NONE, BUTTON_CTRL, BUTTON_SHORT, BUTTON_NONE};
    slots_apply_buttons(slots, events);
    EXPECT_EQ(slots[0].rotate, 0);
    EXPECT_EQ(slots[1].rotate, 1);
    EXPECT_EQ(slots[1].start, 1);
    EXPECT_EQ(slots[2].rotate, 0);
    EXPECT_EQ(slots[2].button, 1);
    EXPECT_EQ(slots[3].rotate, 0);
}

// ---------------------------------------------------------------- set-up

TEST(SlotSetup, ReadsItsKeyAndResetsState) {
    char key1[] = "slot_1", val1[] = "TS2 AMP+ CLK";
    char key3[] = "SLOT_3", val3[] = "net+";
    SettingEntry e3{key3, val3, nullptr};
    SettingEntry e1{key1, val1, &e3};
    SettingsList list{&e1};

    struct Case {
        int index;
        int32_t x, count;
        const char* first;
        int32_t first_plus;
    };
    const Case cases[] = {
        {0, 0, 0, nullptr, 0}, {1, 40, 3, "TS2", 0}, {2, 81, 0, nullptr, 0}, {3, 121, 1, "net", 1}};
    for (const Case& c : cases) {
        Slot slot;
        std::memset(&slot, 0x77, sizeof slot);
        slot_setup(&slot, c.index, &list);
        EXPECT_EQ(slot.index, c.index);
        EXPECT_EQ(slot.x, c.x);
        EXPECT_EQ(slot.y, 22);
        EXPECT_EQ(slot.start, 0);
        EXPECT_EQ(slot.rotate, 0);
        EXPECT_EQ(slot.button, 0);
        ASSERT_EQ(slot.count, c.count) << "slot " << c.index;
        if (c.first != nullptr) {
            EXPECT_STREQ(slot.tags[0], c.first);
            EXPECT_EQ(slot.plus[0], c.first_plus);
        }
    }
}

// ---------------------------------------------------------------- frame pictures

// The frame as 43 lines of 160 characters, '#' lit and '.' off.
std::string frame_text(const LcdBitmap& f) {
    std::string s;
    for (int y = 0; y < LCD_HEIGHT; ++y) {
        for (int x = 0; x < LCD_WIDTH; ++x)
            s += f.pixels[y * LCD_WIDTH + x] ? '#' : '.';
        s += '\n';
    }
    return s;
}

// A blank frame text with `rows` pasted at (x0, y0); rows reaching past the frame
// are cut.
std::string golden(int x0, int y0, const std::vector<std::string>& rows) {
    std::vector<std::string> lines(LCD_HEIGHT, std::string(LCD_WIDTH, '.'));
    for (size_t r = 0; r < rows.size(); ++r) {
        const int y = y0 + static_cast<int>(r);
        if (y < 0 || y >= LCD_HEIGHT)
            continue;
        for (size_t c = 0; c < rows[r].size(); ++c) {
            const int x = x0 + static_cast<int>(c);
            if (x >= 0 && x < LCD_WIDTH)
                lines[y][x] = rows[r][c];
        }
    }
    std::string s;
    for (const std::string& l : lines)
        s += l + '\n';
    return s;
}

// Slot frame titled "NET" (symbols N 5, E 5, T 4: w = 14), columns x..x+38.
const std::vector<std::string> kNetFrame = {
    ".#####################################.", "#.##.#....#...#.......................#",
    "#..#.#.#####.##.......................#", "#.#..#...###.##.......................#",
    "#.##.#.#####.##.......................#", "#.##.#....##.##.......................#",
    "###############.......................#", "#.....................................#",
    "#.....................................#", "#.....................................#",
    "#.....................................#", "#.....................................#",
    "#.....................................#", "#.....................................#",
    "#.....................................#", "#.....................................#",
    "#.....................................#", "#.....................................#",
    "#.....................................#", "#.....................................#",
    "#.....................................#",
};

TEST(SlotDrawFrame, ExactPixels) {
    struct Case {
        const char* name;
        int32_t x, y;
    };
    // Rows 22 (rest), 30 and 40 (animation, partly below the screen), 60 (all below),
    // and a row above the screen, which no slot reaches but must not write outside.
    const Case cases[] = {{"slot0_rest", 0, 22}, {"slot2_rest", 81, 22},    {"slot3_rest", 121, 22},
                          {"slot1_low", 40, 30}, {"slot3_bottom", 121, 40}, {"slot3_gone", 121, 60},
                          {"slot0_above", 0, -3}};
    for (const Case& c : cases) {
        auto frame = std::make_unique<LcdBitmap>();
        std::memset(frame.get(), 0, sizeof *frame);
        Slot slot{};
        slot.x = c.x;
        slot.y = c.y;
        slot_draw_frame(frame.get(), &slot, "NET");
        EXPECT_EQ(frame_text(*frame), golden(c.x, c.y, kNetFrame)) << c.name;
    }
}

TEST(SlotDrawFrame, TitleTabKeepsItsLitBackground) {
    // The tab is opaque: pixels already lit around the letters are rewritten.
    auto frame = std::make_unique<LcdBitmap>();
    std::memset(frame->pixels, 255, sizeof frame->pixels);
    Slot slot{};
    slot.x = 0;
    slot.y = 22;
    slot_draw_frame(frame.get(), &slot, "NET");
    // N row 0 is "X..X.": columns 1 and 4 unlit, 2, 3, 5 lit.
    EXPECT_EQ(frame->pixels[23 * 160 + 1], 0);
    EXPECT_EQ(frame->pixels[23 * 160 + 2], 255);
    EXPECT_EQ(frame->pixels[23 * 160 + 4], 0);
    EXPECT_EQ(frame->pixels[23 * 160 + 5], 255);
}

// ---------------------------------------------------------------- dispatch

const char* const kTags[MODULE_COUNT] = {"TS2", "SPK", "NET", "AMP", "STW",
                                         "CLK", "FPS", "FAN", "TUN", "RIP"};

struct Fake {
    Module table[MODULE_COUNT];
    bool willing[MODULE_COUNT];
    bool acts_on_short[MODULE_COUNT];
    std::vector<std::string> log;
};

// The application state with the fake modules' state after it, so that an operation
// given the App can find them.
struct Harness {
    App app;
    Fake fake;
};
static_assert(std::is_standard_layout<Harness>::value, "App must be the first member");

Fake& fake_of(App* app) {
    return reinterpret_cast<Harness*>(app)->fake;
}

template <int Id> void fake_init(App* app) {
    fake_of(app).log.push_back(std::string("init ") + kTags[Id]);
}
template <int Id> void fake_update(App* app) {
    fake_of(app).log.push_back(std::string("update ") + kTags[Id]);
}
template <int Id> void fake_teardown(App* app) {
    fake_of(app).log.push_back(std::string("teardown ") + kTags[Id]);
}
template <int Id> int fake_draw(App* app, int slot) {
    Fake& f = fake_of(app);
    const std::string who = std::string(kTags[Id]) + "@" + std::to_string(slot);
    if (!f.willing[Id]) {
        f.log.push_back(who + "-");
        return 0;
    }
    slot_draw_frame(app_frame(app), &app->slots[slot], kTags[Id]);
    f.log.push_back(who + "+");
    if (f.acts_on_short[Id] && app->slots[slot].button == 1) {
        app->slots[slot].button = 0;
        f.log.push_back(who + " act");
    }
    return 1;
}

template <int Id> Module fake_module() {
    return Module{kTags[Id], fake_init<Id>, fake_update<Id>, fake_draw<Id>, fake_teardown<Id>};
}

std::unique_ptr<Harness> make_harness() {
    auto h = std::make_unique<Harness>();
    Module* t = h->fake.table;
    t[0] = fake_module<0>();
    t[1] = fake_module<1>();
    t[2] = fake_module<2>();
    t[3] = fake_module<3>();
    t[4] = fake_module<4>();
    t[5] = fake_module<5>();
    t[6] = fake_module<6>();
    t[7] = fake_module<7>();
    t[8] = fake_module<8>();
    t[9] = fake_module<9>();
    h->app.modules = t;
    for (int i = 0; i < SLOT_COUNT; ++i) {
        slot_setup(&h->app.slots[i], i, nullptr);
    }
    return h;
}

void set_willing(Fake& f, const char* tags) {
    for (int i = 0; i < MODULE_COUNT; ++i)
        f.willing[i] = std::strstr(tags, kTags[i]) != nullptr;
}

bool slot_area_blank(const LcdBitmap& frame, const Slot& s) {
    for (int y = 22; y < LCD_HEIGHT; ++y)
        for (int x = s.x; x <= s.x + 38; ++x)
            if (frame.pixels[y * LCD_WIDTH + x] != 0)
                return false;
    return true;
}

struct Step {
    int32_t event;       // for slot 1
    const char* willing; // modules willing in this frame
    const char* shown;   // "" = slot empty
    int32_t start;       // after the frame
    int32_t button;      // after the frame
    int tries;           // draw calls for slot 1 in this frame
};

struct Scenario {
    const char* name;
    const char* list;          // slot 1
    const char* acts_on_short; // modules that consume a short press
    std::vector<Step> steps;
};

class Dispatch : public ::testing::TestWithParam<Scenario> {};

TEST_P(Dispatch, FrameByFrame) {
    const Scenario& sc = GetParam();
    auto h = make_harness();
    App* app = &h->app;
    slot_parse_list(&app->slots[1], sc.list);
    for (int i = 0; i < MODULE_COUNT; ++i)
        h->fake.acts_on_short[i] = std::strstr(sc.acts_on_short, kTags[i]) != nullptr;

    int n = 0;
    for (const Step& st : sc.steps) {
        ++n;
        const int32_t events[SLOT_COUNT] = {BUTTON_NONE, st.event, BUTTON_NONE, BUTTON_NONE};
        slots_apply_buttons(app->slots, events);
        set_willing(h->fake, st.willing);
        h->fake.log.clear();
        std::memset(app->lcd.frame.pixels, 0, sizeof app->lcd.frame.pixels);
        slots_draw_all(app);

        std::string shown;
        int tries = 0;
        for (const std::string& e : h->fake.log) {
            if (e.compare(3, 2, "@1") != 0)
                continue;
            if (e.size() != 6)
                continue; // "act" entries
            ++tries;
            if (e[5] == '+')
                shown = e.substr(0, 3);
        }
        const Slot& s = app->slots[1];
        EXPECT_EQ(shown, st.shown) << sc.name << " frame " << n;
        EXPECT_EQ(s.start, st.start) << sc.name << " frame " << n;
        EXPECT_EQ(s.button, st.button) << sc.name << " frame " << n;
        EXPECT_EQ(tries, st.tries) << sc.name << " frame " << n;
        EXPECT_EQ(slot_area_blank(app->lcd.frame, s), shown.empty()) << sc.name << " frame " << n;
    }
}

const Scenario kScenarios[] = {
    {"unwilling_first_stands_aside",
     "TS2 AMP CLK",
     "",
     {
         {BUTTON_NONE, "AMP CLK", "AMP", 0, 0, 2},
         {BUTTON_NONE, "AMP CLK", "AMP", 0, 0, 2},
         {BUTTON_NONE, "TS2 AMP CLK", "TS2", 0, 0, 1},
     }},
    {"ctrl_rotates_to_next_willing",
     "TS2 AMP CLK",
     "",
     {
         {BUTTON_CTRL, "AMP CLK", "AMP", 1, 0, 1},
         {BUTTON_NONE, "AMP CLK", "AMP", 1, 0, 1},
         {BUTTON_CTRL, "AMP CLK", "CLK", 2, 0, 1},
         {BUTTON_CTRL, "AMP CLK", "AMP", 1, 0, 2},
         {BUTTON_CTRL, "TS2 AMP CLK", "CLK", 2, 0, 1},
         {BUTTON_CTRL, "TS2 AMP CLK", "TS2", 0, 0, 1},
         {BUTTON_NONE, "AMP", "AMP", 0, 0, 2},
     }},
    {"ctrl_with_nobody_willing_moves_eight_times",
     "TS2 AMP CLK SPK NET",
     "",
     {
         {BUTTON_CTRL, "", "", 4, 0, 8}, // 1 + 8 steps around five tags
         {BUTTON_NONE, "", "", 4, 0, 5},
         {BUTTON_NONE, "NET", "NET", 4, 0, 1},
         {BUTTON_NONE, "SPK", "SPK", 4, 0, 5},
     }},
    {"unknown_tag_draws_nothing_and_holds_start",
     "XYZ AMP",
     "",
     {
         {BUTTON_NONE, "AMP", "AMP", 0, 0, 1},
         {BUTTON_CTRL, "AMP", "AMP", 1, 0, 1},
         {BUTTON_CTRL, "AMP", "", 0, 0, 0},
         {BUTTON_NONE, "AMP", "AMP", 0, 0, 1},
     }},
    {"tags_ignore_case",
     "amp+ Clk",
     "",
     {
         {BUTTON_NONE, "AMP CLK", "AMP", 0, 0, 1},
         {BUTTON_CTRL, "AMP CLK", "CLK", 1, 0, 1},
     }},
    {"same_tag_twice_tried_in_turn",
     "CLK+ AMP CLK++",
     "",
     {
         {BUTTON_NONE, "CLK", "CLK", 0, 0, 1},
         {BUTTON_CTRL, "CLK", "CLK", 2, 0, 2},
         {BUTTON_CTRL, "CLK", "CLK", 0, 0, 1},
     }},
    {"short_press_waits_for_a_module_that_acts",
     "AMP STW",
     "STW",
     {
         {BUTTON_SHORT, "AMP STW", "AMP", 0, 1, 1},
         {BUTTON_NONE, "AMP STW", "AMP", 0, 1, 1},
         {BUTTON_CTRL, "AMP STW", "STW", 1, 0, 1},
         {BUTTON_LONG, "AMP STW", "STW", 1, 2, 1},
         {BUTTON_SHORT, "AMP STW", "STW", 1, 0, 1},
     }},
    {"empty_list_stays_blank",
     "",
     "",
     {
         {BUTTON_SHORT, "TS2 AMP", "", 0, 1, 0},
         {BUTTON_CTRL, "TS2 AMP", "", 0, 1, 0},
     }},
    {"all_declining_leaves_slot_blank",
     "TS2 AMP FPS",
     "",
     {
         {BUTTON_NONE, "", "", 0, 0, 3},
     }},
    {"eight_tags_last_one_reached",
     "TS2 SPK NET AMP STW CLK FPS FAN",
     "",
     {
         {BUTTON_NONE, "FAN", "FAN", 0, 0, 8},
     }},
};

INSTANTIATE_TEST_SUITE_P(Slot1, Dispatch, ::testing::ValuesIn(kScenarios),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(DispatchAllSlots, EachSlotInOrderWithItsIndex) {
    auto h = make_harness();
    App* app = &h->app;
    slot_parse_list(&app->slots[0], "CLK");
    slot_parse_list(&app->slots[1], "");
    slot_parse_list(&app->slots[2], "TS2 clk");
    slot_parse_list(&app->slots[3], "NET");
    set_willing(h->fake, "CLK NET");
    slots_draw_all(app);
    const std::vector<std::string> expected = {"CLK@0+", "TS2@2-", "CLK@2+", "NET@3+"};
    EXPECT_EQ(h->fake.log, expected);
    EXPECT_FALSE(slot_area_blank(app->lcd.frame, app->slots[0]));
    EXPECT_TRUE(slot_area_blank(app->lcd.frame, app->slots[1]));
    EXPECT_FALSE(slot_area_blank(app->lcd.frame, app->slots[2]));
    EXPECT_FALSE(slot_area_blank(app->lcd.frame, app->slots[3]));
}

TEST(DispatchAllSlots, MissingModuleTableDrawsNothing) {
    auto h = make_harness();
    App* app = &h->app;
    app->modules = nullptr;
    slot_parse_list(&app->slots[0], "CLK AMP");
    app->slots[0].rotate = 1;
    slots_draw_all(app);
    modules_update_all(app);
    EXPECT_EQ(app->slots[0].start, 0);
    EXPECT_TRUE(h->fake.log.empty());
}

// ---------------------------------------------------------------- call orders

TEST(ModuleOrder, InitUpdateTeardown) {
    struct Case {
        const char* name;
        void (*run)(App*);
        std::vector<std::string> expected;
    };
    const Case cases[] = {
        {"init",
         modules_init_all,
         {"init TS2", "init SPK", "init NET", "init AMP", "init STW", "init CLK", "init FPS",
          "init FAN", "init TUN", "init RIP"}},
        {"update",
         modules_update_all,
         {"update SPK", "update NET", "update AMP", "update STW", "update CLK", "update FPS",
          "update FAN", "update TUN", "update TS2", "update RIP"}},
        {"teardown",
         modules_teardown_all,
         {"teardown RIP", "teardown TUN", "teardown FAN", "teardown FPS", "teardown CLK",
          "teardown STW", "teardown AMP", "teardown NET", "teardown SPK", "teardown TS2"}},
    };
    for (const Case& c : cases) {
        auto h = make_harness();
        c.run(&h->app);
        EXPECT_EQ(h->fake.log, c.expected) << c.name;
    }
}

// ---------------------------------------------------------------- start animation

struct AnimRow {
    int32_t a; // counter value handed to this frame's step
    int32_t y[SLOT_COUNT];
    int32_t counter_after;
};

struct AnimCase {
    const char* name;
    int32_t animate_start;
    int frames;
    std::vector<AnimRow> rows; // checked in the frame whose step gets a
};

class Animation : public ::testing::TestWithParam<AnimCase> {};

TEST_P(Animation, RowsFrameByFrame) {
    const AnimCase& c = GetParam();
    Slot slots[SLOT_COUNT];
    for (int i = 0; i < SLOT_COUNT; ++i)
        slot_setup(&slots[i], i, nullptr);
    int32_t counter = c.animate_start;
    size_t next = 0;
    bool moved = false; // once the slots have dropped below, they only rise
    for (int frame = 0; frame < c.frames; ++frame) {
        const int32_t a = counter;
        int32_t before[SLOT_COUNT];
        for (int i = 0; i < SLOT_COUNT; ++i)
            before[i] = slots[i].y;
        slots_animate_frame(slots, &counter);
        for (int i = 0; i < SLOT_COUNT; ++i) {
            EXPECT_GE(slots[i].y, 22) << c.name << " a=" << a;
            if (moved) {
                EXPECT_LE(slots[i].y, before[i]) << c.name << " a=" << a << " slot " << i;
            }
        }
        moved = moved || (a > 0 && a % 2 == 0);
        if (next < c.rows.size() && c.rows[next].a == a) {
            const AnimRow& r = c.rows[next++];
            for (int i = 0; i < SLOT_COUNT; ++i)
                EXPECT_EQ(slots[i].y, r.y[i]) << c.name << " a=" << a << " slot " << i;
            EXPECT_EQ(counter, r.counter_after) << c.name << " a=" << a;
        }
    }
    EXPECT_EQ(next, c.rows.size()) << c.name << ": not every row was reached";
    EXPECT_EQ(counter, 0) << c.name;
    for (int i = 0; i < SLOT_COUNT; ++i)
        EXPECT_EQ(slots[i].y, 22) << c.name;
}

const AnimCase kAnimCases[] = {
    {"default",
     1,
     60,
     {
         {1, {22, 22, 22, 22}, 2},
         {2, {42, 48, 54, 60}, 3},
         {3, {42, 48, 54, 60}, 4},
         {4, {40, 46, 52, 58}, 5},
         {20, {24, 30, 36, 42}, 21},
         {22, {22, 28, 34, 40}, 23},
         {24, {22, 26, 32, 38}, 25},
         {38, {22, 22, 22, 24}, 39},
         {40, {22, 22, 22, 22}, 41},
         {44, {22, 22, 22, 22}, 45},
         {45, {22, 22, 22, 22}, 46},
         {46, {22, 22, 22, 22}, 0},
     }},
    {"off", 0, 5, {}},
    {"part_way", 30, 30, {{30, {22, 22, 26, 32}, 31}, {46, {22, 22, 22, 22}, 0}}},
    {"negative_ends_at_once", -7, 3, {{-7, {22, 22, 22, 22}, 0}}},
    {"beyond_the_end", 100, 3, {{100, {22, 22, 22, 22}, 0}}},
    {"top_of_range", INT32_MAX, 3, {{INT32_MAX, {22, 22, 22, 22}, 0}}},
};

INSTANTIATE_TEST_SUITE_P(Counter, Animation, ::testing::ValuesIn(kAnimCases),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(SlotsAnimate, EvenStepSetsRowsAndEnds) {
    struct Case {
        int32_t a;
        int32_t y[SLOT_COUNT];
        int32_t counter_after; // counter starts at 99
    };
    const Case cases[] = {
        {0, {22, 22, 22, 22}, 0},  {-2, {22, 22, 22, 22}, 0},  {2, {42, 48, 54, 60}, 99},
        {5, {30, 30, 30, 30}, 99}, {10, {34, 40, 46, 52}, 99}, {40, {22, 22, 22, 22}, 99},
        {46, {22, 22, 22, 22}, 0}, {48, {22, 22, 22, 22}, 0},
    };
    for (const Case& c : cases) {
        Slot slots[SLOT_COUNT];
        for (int i = 0; i < SLOT_COUNT; ++i) {
            slot_setup(&slots[i], i, nullptr);
            slots[i].y = 30;
        }
        int32_t counter = 99;
        slots_animate(slots, &counter, c.a);
        for (int i = 0; i < SLOT_COUNT; ++i)
            EXPECT_EQ(slots[i].y, c.y[i]) << "a=" << c.a << " slot " << i;
        EXPECT_EQ(counter, c.counter_after) << "a=" << c.a;
    }
}

} // namespace
