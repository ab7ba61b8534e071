// FRAPS module: the rate text of a record, when the module invites FRAPS in, and the
// large right-aligned digits.
#include <gtest/gtest.h>

#include <cstring>
#include <memory>

#include "core/app.h"
#include "draw/draw.h"
#include "modules/mod_fps.h"
#include "screen/slots.h"

namespace {

TEST(FpsRecord, RateText) {
    struct Case {
        uint32_t rate;
        const char* text;
    } cases[] = {
        {60, "60"},
        {1, "1"},
        {0, ""},
        {9999999, "9999999"},
        {10000000, "9999999"},
        {4294967295u, "9999999"},
    };
    for (const Case& c : cases) {
        uint8_t rec[8] = {0xEE, 0xEE, 0xEE, 0xEE};
        for (int i = 0; i < 4; ++i)
            rec[4 + i] = static_cast<uint8_t>(c.rate >> (8 * i));
        char out[8];
        memset(out, 'Q', sizeof out);
        EXPECT_EQ(fps_rate_text(rec, out), strlen(c.text)) << c.rate;
        EXPECT_STREQ(out, c.text) << c.rate;
    }
    char out[8] = "stale";
    EXPECT_EQ(fps_rate_text(nullptr, out), 0u);
    EXPECT_STREQ(out, "");
}

// A fake FRAPS: library loaded or not, the record function's answer, the window.
struct FakeFraps {
    bool loaded = false;
    bool window = false;
    bool null_record = false;
    uint8_t rec[8] = {};
    int invites = 0;
    void rate(uint32_t r) {
        for (int i = 0; i < 4; ++i)
            rec[4 + i] = static_cast<uint8_t>(r >> (8 * i));
    }
};

bool fake_record(void* ctx, const uint8_t** record) {
    auto* f = static_cast<FakeFraps*>(ctx);
    *record = nullptr;
    if (!f->loaded)
        return false;
    if (!f->null_record)
        *record = f->rec;
    return true;
}
bool fake_running(void* ctx) {
    return static_cast<FakeFraps*>(ctx)->window;
}
void fake_invite(void* ctx, App*) {
    auto* f = static_cast<FakeFraps*>(ctx);
    f->invites++;
    f->loaded = true; // FRAPS places its library as the window is created
}

TEST(FpsModule, InvitesFrapsOnlyWhileItRunsAndFollowsTheRecord) {
    auto app = std::make_unique<App>();
    FakeFraps fraps;
    FpsHost host{fake_record, nullptr, nullptr, nullptr, fake_running, fake_invite, &fraps};
    app->fps.host = &host;
    mod_fps_init(app.get());
    struct Step {
        const char* name;
        bool window, null_record;
        uint32_t rate;
        bool tick;
        const char* text;
        int invites; // so far
    } steps[] = {
        {"FRAPS not running", false, false, 60, true, "", 0},
        {"window appears, between ticks", true, false, 60, false, "", 0},
        {"tick: invited in", true, false, 60, true, "", 1},
        {"next tick: the rate", true, false, 60, true, "60", 1},
        {"between ticks the rate stays", true, false, 144, false, "60", 1},
        {"rate follows", true, false, 144, true, "144", 1},
        {"no game measured", true, false, 0, true, "", 1},
        {"null record", true, true, 75, true, "", 1},
        {"record back", true, false, 75, true, "75", 1},
    };
    for (const Step& st : steps) {
        fraps.window = st.window;
        fraps.null_record = st.null_record;
        fraps.rate(st.rate);
        app->frame.one_second_tick = st.tick ? 1 : 0;
        mod_fps_update(app.get());
        EXPECT_STREQ(app->fps.text, st.text) << st.name;
        EXPECT_EQ(fraps.invites, st.invites) << st.name;
        memset(app->lcd.frame.pixels, 0, LCD_PIXELS);
        EXPECT_EQ(mod_fps_draw(app.get(), 0), st.text[0] ? 1 : 0) << st.name;
    }
}

// The same FRAPS with the system's notices of library loads: the library is asked for
// on every tick while it is there, and while it is missing only after a load or an
// unload (or when the count cannot be read); what the module shows is the same as
// with a question on every tick.
struct CountingFraps : FakeFraps {
    uint32_t loads = 0;   // loads and unloads so far
    bool counting = true; // false: a load is under way, the count cannot be read
    int asked = 0;
    int watches = 0;
};
bool counting_record(void* ctx, const uint8_t** record) {
    static_cast<CountingFraps*>(ctx)->asked++;
    return fake_record(ctx, record);
}
void* counting_open(void* ctx) {
    static_cast<CountingFraps*>(ctx)->watches++;
    return ctx;
}
bool counting_count(void* ctx, void* watch, uint32_t* count) {
    auto* f = static_cast<CountingFraps*>(ctx);
    EXPECT_EQ(watch, ctx);
    *count = f->loads;
    return f->counting;
}
void counting_close(void* ctx, void*) {
    static_cast<CountingFraps*>(ctx)->watches--;
}
void counting_invite(void* ctx, App* app) {
    fake_invite(ctx, app);
    static_cast<CountingFraps*>(ctx)->loads++;
}

TEST(FpsModule, MissingLibraryAskedForAgainOnlyAfterALoad) {
    auto app = std::make_unique<App>();
    CountingFraps fraps;
    FpsHost host{counting_record, counting_open,   counting_count, counting_close,
                 fake_running,    counting_invite, &fraps};
    app->fps.host = &host;
    mod_fps_init(app.get());
    EXPECT_EQ(fraps.watches, 1);
    fraps.rate(60);
    struct Step {
        const char* name;
        uint32_t other_loads; // libraries loaded or unloaded since the last step
        bool counting, window, unloaded;
        int asked;   // questions so far
        int invites; // so far
        const char* text;
    } steps[] = {
        {"first tick: asked", 0, true, false, false, 1, 0, ""},
        {"nothing loaded since: not asked", 0, true, false, false, 1, 0, ""},
        {"again not asked", 0, true, false, false, 1, 0, ""},
        {"another library loaded: asked", 1, true, false, false, 2, 0, ""},
        {"a load under way: asked", 0, false, false, false, 3, 0, ""},
        {"count readable again: asked once", 0, true, false, false, 4, 0, ""},
        {"settled: not asked", 0, true, false, false, 4, 0, ""},
        {"FRAPS window: not asked, invited", 0, true, true, false, 4, 1, ""},
        {"the invitation loaded it: asked, the rate", 0, true, true, false, 5, 1, "60"},
        {"present: asked every tick", 0, true, true, false, 6, 1, "60"},
        {"FRAPS gone, its library unloaded: asked, missing", 0, true, false, true, 7, 1, ""},
        {"nothing since: not asked", 0, true, false, false, 7, 1, ""},
        {"FRAPS back: not asked, invited", 0, true, true, false, 7, 2, ""},
        {"loaded by the invitation: asked, the rate", 0, true, true, false, 8, 2, "60"},
    };
    for (const Step& st : steps) {
        fraps.loads += st.other_loads;
        fraps.counting = st.counting;
        fraps.window = st.window;
        if (st.unloaded) {
            fraps.loaded = false;
            fraps.loads++;
        }
        app->frame.one_second_tick = 1;
        mod_fps_update(app.get());
        EXPECT_EQ(fraps.asked, st.asked) << st.name;
        EXPECT_EQ(fraps.invites, st.invites) << st.name;
        EXPECT_STREQ(app->fps.text, st.text) << st.name;
    }
    mod_fps_teardown(app.get());
    EXPECT_EQ(fraps.watches, 0);
}

TEST(FpsModule, LargeDigitsRightAligned) {
    auto app = std::make_unique<App>();
    for (int i = 0; i < SLOT_COUNT; ++i) {
        app->slots[i].x = (i == 0) ? 0 : (i == 1) ? 40 : (i == 2) ? 81 : 121;
        app->slots[i].y = 22;
    }
    mod_fps_init(app.get());
    strcpy(app->fps.text, "60");
    ASSERT_EQ(mod_fps_draw(app.get(), 2), 1);
    auto f = std::make_unique<LcdBitmap>();
    memset(f.get(), 0, sizeof *f);
    slot_draw_frame(f.get(), &app->slots[2], "FPS");
    int w = draw_text(nullptr, TEXT_LARGE | TEXT_MEASURE, 0, 0, "60");
    ASSERT_GT(w, 0);
    draw_text(f.get(), TEXT_LARGE, 81 + 38 - w, 32, "60");
    EXPECT_EQ(memcmp(f->pixels, app->lcd.frame.pixels, LCD_PIXELS), 0);
    // The digits' last columns end where the small-font lines end.
    bool lit_near_right = false;
    for (int y = 32; y < 43; ++y)
        lit_near_right |= app->lcd.frame.pixels[y * 160 + 81 + 36] != 0 ||
                          app->lcd.frame.pixels[y * 160 + 81 + 37] != 0;
    EXPECT_TRUE(lit_near_right);
}

} // namespace
