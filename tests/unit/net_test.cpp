// Network traffic meter: format_bytes at every boundary, the rate window, bar and
// graph sizes, the settings, sampling against a fake network, the panel pixels and
// the "NET" module's views, presses and reset notice.
#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "core/app.h"
#include "draw/draw.h"
#include "draw/notice.h"
#include "meters/net.h"
#include "net_fake.h"
#include "screen/slots.h"
#include "services/settings.h"

namespace {

constexpr uint64_t K = uint64_t{1} << 10, M = uint64_t{1} << 20, G = uint64_t{1} << 30;
constexpr uint64_t T = uint64_t{1} << 40, P = uint64_t{1} << 50, E = uint64_t{1} << 60;

TEST(NetFormat, EveryBoundaryOfTheTable) {
    struct Case {
        uint64_t value;
        const char* text;
    } cases[] = {
        {0, "0.0K"},
        {1023, "0.9K"},
        {1536, "1.5K"},
        {10 * K - 1, "9.9K"},
        {10 * K, "10K"},
        {1000 * K - 1, "999K"},
        {1000 * K, "0.9M"},
        {10 * M - 1, "9.9M"},
        {10 * M, "10M"},
        {1000 * M - 1, "999M"},
        {1000 * M, "0.9G"},
        {(uint64_t{1} << 32) - 1, "3.9G"},
        {uint64_t{1} << 32, "4.0G"},
        {10 * G - 1, "9.9G"},
        {10 * G, "10G"},
        {1000 * G - 1, "999G"},
        {1000 * G, "0.9T"},
        {10 * T - 1, "9.9T"},
        {10 * T, "10T"},
        {1000 * T - 1, "999T"},
        {1000 * T, "0.9P"},
        {10 * P - 1, "9.9P"},
        {10 * P, "10P"},
        {1000 * P - 1, "999P"},
        {1000 * P, "0.9E"},
        {10 * E - 1, "9.9E"},
        {10 * E, "10E"},
        {~uint64_t{0}, "15E"},
    };
    for (const Case& c : cases) {
        char text[8];
        memset(text, 'x', sizeof text);
        EXPECT_STREQ(format_bytes(c.value, text), c.text) << c.value;
        EXPECT_EQ(text[strlen(text) + 1], 'x') << c.value << ": wrote past the zero";
    }
}

NetCollector history(std::vector<uint32_t> in, std::vector<uint32_t> intervals) {
    NetCollector c{};
    for (size_t i = 0; i < in.size(); ++i) {
        c.in_history[i] = in[i];
        c.out_history[i] = in[i] / 2;
        c.interval_history[i] = intervals[i];
    }
    return c;
}

TEST(NetRates, WindowOfJustOverOneSecond) {
    struct Case {
        const char* name;
        NetCollector c;
        uint64_t in_rate;
        const char* text;
    } cases[] = {
        {"1024_per_500ms", history({1024, 1024, 1024, 1024}, {500, 500, 500, 500}), 2048, "2.0K"},
        {"1000_per_500ms", history({1000, 1000, 1000, 1000}, {500, 500, 500, 500}), 2000, "1.9K"},
        {"stops_after_passing_1000", history({600, 500, 4000}, {600, 500, 500}), 1000, "0.9K"},
        {"exactly_1000_takes_one_more", history({100, 100, 100, 9999}, {500, 500, 200, 500}), 250,
         "0.2K"},
        {"one_long_gap", history({3000}, {3000}), 1000, "0.9K"},
        {"no_samples", history({}, {}), 0, "0.0K"},
        {"all_37_short", history(std::vector<uint32_t>(37, 10), std::vector<uint32_t>(37, 20)), 500,
         "0.4K"},
        {"big_samples_no_overflow",
         history({0xFFFFFFFFu, 0xFFFFFFFFu, 0xFFFFFFFFu}, {500, 500, 500}), 8589934590ull, "7.9G"},
    };
    for (const Case& c : cases) {
        uint64_t in_rate = 1, out_rate = 1;
        net_rates(&c.c, &in_rate, &out_rate);
        EXPECT_EQ(in_rate, c.in_rate) << c.name;
        char text[8];
        EXPECT_STREQ(format_bytes(in_rate, text), c.text) << c.name;
    }
}

TEST(NetSizes, BarsAndGraphColumns) {
    struct Bar {
        uint64_t rate;
        uint32_t max;
        int32_t len;
    } bars[] = {
        {1048576, 1048576, 60},        {524288, 1048576, 30},
        {3 * 1048576ull, 1048576, 60}, {1, 1048576, 0},
        {17476, 1048576, 0},           {17477, 1048576, 1},
        {~uint64_t{0}, 1, 60},         {5, 0, 0},
    };
    for (const Bar& b : bars)
        EXPECT_EQ(net_bar_length(b.rate, b.max), b.len) << b.rate << "/" << b.max;
    struct Column {
        uint32_t d, m;
        int32_t h;
    } columns[] = {
        {40960, 81920, 13},
        {3150, 81920, 0},
        {3151, 81920, 1},
        {81920, 81920, 13},
        {40959, 81920, 12},
        {0xFFFFFFFFu, 1, 13},
        {0xFFFFFFFFu, 0xFFFFFFFFu, 13},
        {0x0FFFFFFFu, 0xFFFFFFFFu, 1},
        {7, 0, 0},
    };
    for (const Column& c : columns)
        EXPECT_EQ(net_graph_height(c.d, c.m), c.h) << c.d << "/" << c.m;
}

// ---- the meter in an App against a fake network ---------------------------------------------

using Settings = std::vector<std::pair<const char*, const char*>>;

struct Meter {
    std::unique_ptr<App> app = std::make_unique<App>();
    FakeNet net;
    NetHost host;
    std::vector<SettingEntry> entries;
    std::vector<std::string> texts;

    explicit Meter(Settings settings, bool vista = true, bool init = true) : host(net.host()) {
        texts.reserve(settings.size() * 2);
        for (auto& kv : settings) {
            texts.push_back(kv.first);
            texts.push_back(kv.second);
        }
        entries.resize(settings.size());
        for (size_t i = 0; i < settings.size(); ++i) {
            entries[i].key = &texts[2 * i][0];
            entries[i].value = &texts[2 * i + 1][0];
            entries[i].next = i + 1 < settings.size() ? &entries[i + 1] : nullptr;
        }
        app->settings.head = entries.empty() ? nullptr : &entries[0];
        app->os.vista_or_later = vista;
        app->net.host = &host;
        for (int i = 0; i < SLOT_COUNT; ++i)
            slot_setup(&app->slots[i], i, &app->settings);
        net.cards = {card("1", "{A}"), card("2", "{B}")};
        net.ifs = {eth(1, 5), eth(2, 6)};
        if (init) {
            net_init(app.get());
            mod_net_init(app.get());
        }
    }
    ~Meter() {
        net_close(app.get());
        app->settings.head = nullptr; // the entries are not heap-owned
        notice_free_all(&app->notices);
    }
    static FakeCard card(const char* subkey, const char* service) {
        FakeCard c;
        c.subkey = subkey;
        c.service = service;
        c.description = subkey;
        return c;
    }
    static FakeIf eth(uint32_t instance, uint32_t index) {
        FakeIf i;
        i.instance = instance;
        i.if_index = index;
        i.in = i.out = 0;
        return i;
    }
    // Both sources see the same traffic: bytes in and out added on the first card
    // and the first interface.
    void traffic(uint32_t in, uint32_t out) {
        net.cards[0].in += in;
        net.cards[0].out += out;
        net.ifs[0].in += in;
        net.ifs[0].out += out;
    }
    // One frame: frame values, then net_sample, `ms` later than the previous one.
    void frame(uint32_t ms = 100) {
        FrameState& f = app->frame;
        net.now += ms;
        f.now = net.now;
        f.one_second_tick = f.frame_counter == 0;
        if (f.one_second_tick)
            f.blink ^= 1;
        net_sample(app.get());
        if (++f.frame_counter == 10)
            f.frame_counter = 0;
    }
    const NetCollector& c() const { return app->net.collector; }
};

TEST(NetInit, SettingsAndTheMethod) {
    struct Case {
        const char* name;
        Settings settings;
        bool vista;
        int32_t method;
        uint32_t max_in, max_out;
    } cases[] = {
        {"defaults_vista", {}, true, NET_NDIS, 1048576, 81920},
        {"defaults_xp", {}, false, NET_TDI, 1048576, 81920},
        {"ndis_capitals_on_xp", {{"Net_Method", "NDIS"}}, false, NET_NDIS, 1048576, 81920},
        {"tdi_on_vista", {{"net_method", "tdi"}}, true, NET_TDI, 1048576, 81920},
        {"unknown_method", {{"net_method", "pcap"}}, false, NET_TDI, 1048576, 81920},
        {"maxima", {{"net_max_in", "2048x"}, {"net_max_out", " 512"}}, true, NET_NDIS, 2048, 512},
        {"zero_and_text_give_defaults",
         {{"net_max_in", "0"}, {"net_max_out", "fast"}},
         true,
         NET_NDIS,
         1048576,
         81920},
        {"largest", {{"net_max_in", "4294967295"}}, true, NET_NDIS, 4294967295u, 81920},
    };
    for (const Case& c : cases) {
        Meter m(c.settings, c.vista);
        EXPECT_EQ(m.c().method, c.method) << c.name;
        EXPECT_EQ(m.c().max_in, c.max_in) << c.name;
        EXPECT_EQ(m.c().max_out, c.max_out) << c.name;
        EXPECT_STREQ(net_method_name(&m.c()), c.method == NET_NDIS ? "NDIS" : "TDI") << c.name;
        EXPECT_EQ(m.c().last_sample_tick, 5000u) << c.name;
        // Only the chosen source is opened.
        EXPECT_EQ(m.net.handles, c.method == NET_NDIS ? 2 : 1) << c.name;
    }
}

TEST(NetSample, EveryFifthFrameWithReScansEverySecondSecond) {
    for (const char* method : {"tdi", "ndis"}) {
        Meter m(Settings{{"net_method", method}});
        m.traffic(1000, 100); // before the first sample: counted in it
        int lists = m.net.list_requests;
        int stats = m.net.stats_requests;
        for (int i = 1; i <= 4; ++i)
            m.frame();
        EXPECT_EQ(m.c().interval_history[0], 0u) << method << ": no sample before the fifth";
        m.frame();
        EXPECT_EQ(m.c().in_history[0], 1000u) << method;
        EXPECT_EQ(m.c().out_history[0], 100u) << method;
        EXPECT_EQ(m.c().interval_history[0], 500u) << method;
        EXPECT_EQ(m.c().devices_read, 2) << method;
        for (int i = 0; i < 35; ++i)
            m.frame(); // to frame 40: re-scans in frames 1 and 21, seven more samples
        EXPECT_EQ(m.c().in_history[7], 1000u) << method;
        EXPECT_EQ(m.c().in_history[0], 0u) << method;
        EXPECT_EQ(m.c().total_in, 1000u) << method;
        if (std::string(method) == "tdi") {
            EXPECT_EQ(m.net.list_requests - lists, 2) << method;
        } else {
            EXPECT_EQ(m.net.stats_requests - stats, 8 * 2) << method;
            EXPECT_EQ(m.net.keys, 0) << method;
        }
    }
}

TEST(NetSample, NothingAnswersNoEntryAndTheGapIsCovered) {
    Meter m(Settings{{"net_method", "ndis"}});
    for (int i = 0; i < 5; ++i)
        m.frame();
    ASSERT_EQ(m.c().interval_history[0], 500u);
    m.net.cards[0].fail = m.net.cards[1].fail = true;
    m.traffic(3000, 0);
    for (int i = 0; i < 10; ++i)
        m.frame();
    EXPECT_EQ(m.c().interval_history[1], 0u) << "no entries while nothing answers";
    EXPECT_EQ(m.c().devices_read, 0);
    m.net.cards[0].fail = m.net.cards[1].fail = false;
    for (int i = 0; i < 5; ++i)
        m.frame();
    EXPECT_EQ(m.c().in_history[0], 3000u);
    EXPECT_EQ(m.c().interval_history[0], 1500u);
    uint64_t in_rate, out_rate;
    net_rates(&m.c(), &in_rate, &out_rate);
    EXPECT_EQ(in_rate, 2000u); // 3000 bytes over the 1500 ms that covered them
}

TEST(NetSample, LoopbackOnlyNeverSamples) {
    Meter m(Settings{{"net_method", "tdi"}}, true, false);
    m.net.ifs = {Meter::eth(1, 1)};
    m.net.ifs[0].if_type = TDI_IF_TYPE_LOOPBACK;
    net_init(m.app.get());
    for (int i = 0; i < 50; ++i) {
        m.net.ifs[0].in += 4096;
        m.frame();
    }
    EXPECT_EQ(m.c().interval_history[0], 0u);
    EXPECT_EQ(m.c().total_in, 0u);
    EXPECT_EQ(m.c().last_sample_tick, 5000u);
}

TEST(NetSample, DriverAppearsLater) {
    Meter m(Settings{{"net_method", "tdi"}}, true, false);
    m.net.have_tcp = false;
    net_init(m.app.get());
    for (int i = 0; i < 10; ++i)
        m.frame();
    EXPECT_EQ(m.c().devices_read, 0);
    m.net.have_tcp = true;
    m.traffic(777777, 0); // before the re-open: its baseline
    for (int i = 0; i < 20; ++i)
        m.frame();
    m.traffic(512, 0);
    for (int i = 0; i < 5; ++i)
        m.frame();
    EXPECT_EQ(m.c().total_in, 512u);
    EXPECT_TRUE(m.net.logs.empty());
}

// ---- panel --------------------------------------------------------------------------------

// Lit columns of a row from column x0 on as "a-b" runs.
std::string runs(const LcdBitmap& f, int y, int x0 = 0, int x1 = LCD_WIDTH - 1) {
    std::string out;
    int x = x0;
    while (x <= x1) {
        if (!f.pixels[y * LCD_WIDTH + x]) {
            ++x;
            continue;
        }
        int a = x;
        while (x <= x1 && f.pixels[y * LCD_WIDTH + x])
            ++x;
        if (!out.empty())
            out += ",";
        out += std::to_string(a) + "-" + std::to_string(x - 1);
    }
    return out;
}

// The figure as drawn: white on the black block, ending at column 99.
std::vector<std::string> figure_rows(const char* text, int y) {
    auto f = std::make_unique<LcdBitmap>();
    memset(f.get(), 0, sizeof *f);
    for (int r = y; r < y + 5; ++r)
        memset(f->pixels + r * LCD_WIDTH + 81, 255, 19);
    int w = draw_text(f.get(), TEXT_SYMBOLS | TEXT_MEASURE | TEXT_INVERT, 0, 0, text);
    draw_text(f.get(), TEXT_SYMBOLS | TEXT_INVERT, 100 - w, y, text);
    std::vector<std::string> rows;
    for (int r = y; r < y + 5; ++r)
        rows.push_back(runs(*f, r, 82, 99));
    return rows;
}

std::vector<std::string> rows_of(const LcdBitmap& f, int y) {
    std::vector<std::string> rows;
    for (int r = y; r < y + 5; ++r)
        rows.push_back(runs(f, r, 82, 99));
    return rows;
}

TEST(NetPanel, BoxesBlocksFiguresAndBars) {
    Meter m(Settings{{"net_max_in", "2048"}, {"net_max_out", "1000"}});
    App* app = m.app.get();
    LcdBitmap& f = app->lcd.frame;
    // Before the first one-second tick: boxes and blocks, no figures, no bars.
    net_draw_panel(app);
    EXPECT_EQ(runs(f, 8), "82-158");
    EXPECT_EQ(runs(f, 14), "82-158");
    EXPECT_EQ(runs(f, 20), "82-158");
    for (int y : {9, 11, 13, 15, 17, 19})
        EXPECT_EQ(runs(f, y), "81-99,159-159") << "row " << y;
    EXPECT_EQ(runs(f, 0) + runs(f, 7) + runs(f, 21), "") << "outside the band";
    for (int y = 8; y <= 20; ++y)
        EXPECT_EQ(runs(f, y, 0, 80), "") << "left of the panel, row " << y;

    struct Step {
        uint32_t in, out; // bytes per sample, three samples at 500 ms
        bool tick;
        const char* in_text;
        const char* out_text;
        const char* bar_in;
        const char* bar_out;
    } steps[] = {
        {0, 0, true, "0.0K", "0.0K", "", ""},
        // Column 159 is the box's edge: a full bar reads 100-158 here.
        {1024, 250, false, "0.0K", "0.0K", "100-158", "100-129"}, // figures wait for the tick
        {1024, 250, true, "2.0K", "0.4K", "100-158", "100-129"},
        {256, 0, true, "0.5K", "0.0K", "100-114", ""},
        {0xFFFFFFFFu, 0xFFFFFFFFu, true, "7.9G", "7.9G", "100-158", "100-158"},
    };
    int i = 0;
    for (const Step& s : steps) {
        ++i;
        for (int k = 0; k < 3; ++k)
            net_record(&app->net.collector, s.in, s.out, app->net.collector.last_sample_tick + 500);
        app->frame.one_second_tick = s.tick;
        memset(f.pixels, 0, LCD_PIXELS);
        net_draw_panel(app);
        EXPECT_EQ(rows_of(f, 9), figure_rows(s.in_text, 9)) << "step " << i;
        EXPECT_EQ(rows_of(f, 15), figure_rows(s.out_text, 15)) << "step " << i;
        for (int y : {10, 11, 12})
            EXPECT_EQ(runs(f, y, 100, 158), s.bar_in) << "step " << i << " row " << y;
        for (int y : {16, 17, 18})
            EXPECT_EQ(runs(f, y, 100, 158), s.bar_out) << "step " << i << " row " << y;
    }
}

TEST(NetPanel, MethodOffDrawsNothing) {
    Meter m(Settings{});
    m.app->net.collector.method = NET_OFF;
    m.app->frame.one_second_tick = 1;
    net_draw_panel(m.app.get());
    EXPECT_EQ(mod_net_draw(m.app.get(), 0), 0);
    for (int i = 0; i < LCD_PIXELS; ++i)
        ASSERT_EQ(m.app->lcd.frame.pixels[i], 0) << "pixel " << i;
}

// ---- module -------------------------------------------------------------------------------

// The view a slot shows, read from its pixels: the label beside the title tab.
std::string view_of(const LcdBitmap& f, const Slot& s) {
    struct Label {
        const char* text;
        int dx;
    } labels[] = {{"OUT", 24}, {"IN", 31}, {"TOT", 25}};
    for (const Label& l : labels) {
        auto e = std::make_unique<LcdBitmap>();
        memset(e.get(), 0, sizeof *e);
        draw_text(e.get(), TEXT_SYMBOLS, s.x + l.dx, s.y + 2, l.text);
        bool same = true;
        for (int y = s.y + 2; y < s.y + 6; ++y) {
            for (int x = s.x + 20; x < s.x + 38; ++x) {
                int i = y * LCD_WIDTH + x;
                same = same && (f.pixels[i] != 0) == (e->pixels[i] != 0);
            }
        }
        if (same)
            return l.text;
    }
    return "?";
}

TEST(NetModule, ViewsFromPlusMarksAndShortPresses) {
    Meter m(
        Settings{{"slot_0", "NET"}, {"slot_1", "NET+"}, {"slot_2", "NET++"}, {"slot_3", "NET+++"}});
    App* app = m.app.get();
    struct Step {
        int slot;
        int32_t button;
        const char* view;
    } steps[] = {
        {0, 0, "OUT"}, {1, 0, "IN"}, {2, 0, "TOT"}, {3, 0, "OUT"}, // NET+++ starts at OUT
        {2, 1, "OUT"}, {2, 1, "IN"}, {2, 1, "TOT"}, {2, 0, "TOT"}, {0, 1, "IN"},
    };
    int i = 0;
    for (const Step& st : steps) {
        ++i;
        Slot& s = app->slots[st.slot];
        s.button = st.button;
        memset(app->lcd.frame.pixels, 0, LCD_PIXELS);
        ASSERT_EQ(mod_net_draw(app, st.slot), 1);
        EXPECT_EQ(s.button, 0) << "step " << i;
        EXPECT_EQ(view_of(app->lcd.frame, s), st.view) << "step " << i;
    }
    EXPECT_EQ(notice_count(&app->notices), 0);
}

TEST(NetModule, LongPressResetsTotalsWithANotice) {
    Meter m(Settings{{"slot_1", "NET++"}});
    App* app = m.app.get();
    m.traffic(5 * 1024 * 1024, 3 * 1024);
    for (int i = 0; i < 10; ++i)
        m.frame();
    m.traffic(5 * 1024 * 1024, 3 * 1024);
    for (int i = 0; i < 5; ++i)
        m.frame();
    Slot& s = app->slots[1];
    memset(app->lcd.frame.pixels, 0, LCD_PIXELS);
    ASSERT_EQ(mod_net_draw(app, 1), 1);
    auto expected = [&](const char* in, const char* out) {
        auto e = std::make_unique<LcdBitmap>();
        memset(e.get(), 0, sizeof *e);
        slot_draw_frame(e.get(), &s, "NET");
        draw_text(e.get(), TEXT_SYMBOLS, s.x + 25, s.y + 2, "TOT");
        draw_text_right(e.get(), s.x, s.y + 7, in);
        draw_text_right(e.get(), s.x, s.y + 14, out);
        return std::vector<uint8_t>(e->pixels, e->pixels + LCD_PIXELS);
    };
    std::vector<uint8_t> got(app->lcd.frame.pixels, app->lcd.frame.pixels + LCD_PIXELS);
    EXPECT_TRUE(got == expected("10M", "6.0K")) << "totals before the reset";

    s.button = 2;
    memset(app->lcd.frame.pixels, 0, LCD_PIXELS);
    ASSERT_EQ(mod_net_draw(app, 1), 1);
    EXPECT_EQ(s.button, 0);
    got.assign(app->lcd.frame.pixels, app->lcd.frame.pixels + LCD_PIXELS);
    EXPECT_TRUE(got == expected("0.0K", "0.0K")) << "totals after the reset";
    ASSERT_EQ(notice_count(&app->notices), 1);
    EXPECT_EQ(app->notices.first->key, NOTICE_NET_RESET);
    EXPECT_EQ(app->notices.first->duration, 2000);
    EXPECT_STREQ(app->notices.first->text, "Net counters reset. [NDIS x 2]");
    // A second long press replaces the queued notice.
    s.button = 2;
    mod_net_draw(app, 1);
    EXPECT_EQ(notice_count(&app->notices), 1);
}

TEST(NetModule, GraphColumnsNewestAtTheRight) {
    Meter m(Settings{{"slot_2", "NET"}, {"slot_3", "NET+"}, {"net_max_in", "26000"}});
    App* app = m.app.get();
    NetCollector* c = &app->net.collector;
    // Oldest first, so entry 0 ends up with the last one.
    const uint32_t out[] = {0xFFFFFFFFu, 40960, 3151, 3150, 40960};
    const uint32_t in[] = {13000, 12999, 1000, 999, 0};
    for (int k = 0; k < 5; ++k)
        net_record(c, in[k], out[k], c->last_sample_tick + 500);
    memset(app->lcd.frame.pixels, 0, LCD_PIXELS);
    ASSERT_EQ(mod_net_draw(app, 2), 1);
    ASSERT_EQ(mod_net_draw(app, 3), 1);
    struct Col {
        int slot;
        int entry;
        int height;
    } cols[] = {{2, 0, 13}, {2, 1, 0}, {2, 2, 1}, {2, 3, 13}, {2, 4, 13}, {2, 5, 0},
                {3, 0, 0},  {3, 1, 0}, {3, 2, 1}, {3, 3, 12}, {3, 4, 13}, {3, 36, 0}};
    for (const Col& col : cols) {
        const Slot& s = app->slots[col.slot];
        int x = s.x + 37 - col.entry;
        std::string expected =
            col.height ? std::to_string(s.y + 21 - col.height) + "-" + std::to_string(s.y + 20)
                       : "";
        int first = -1, last = -1, lit = 0;
        for (int y = s.y + 7; y <= s.y + 20; ++y) {
            if (app->lcd.frame.pixels[y * LCD_WIDTH + x]) {
                first = first < 0 ? y : first;
                last = y;
                ++lit;
            }
        }
        std::string got = lit ? std::to_string(first) + "-" + std::to_string(last) : "";
        if (lit && lit != last - first + 1)
            got += " with gaps";
        EXPECT_EQ(got, expected) << "slot " << col.slot << " entry " << col.entry;
    }
}

} // namespace
