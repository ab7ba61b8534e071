// SpeedFan module: record reading against short, lying and foreign records, entry
// settings, value texts, and the slot's presses and automatic stepping.
#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "core/app.h"
#include "draw/draw.h"
#include "modules/mod_fan.h"
#include "screen/slots.h"
#include "services/settings.h"

namespace {

// A record as SpeedFan lays it out: version, counts, then the three arrays.
std::vector<uint8_t> record(uint16_t version, uint16_t temps, uint16_t fans, uint16_t volts,
                            size_t size = 402) {
    std::vector<uint8_t> r(size > 402 ? size : 402, 0);
    auto put16 = [&](size_t at, uint16_t v) {
        r[at] = static_cast<uint8_t>(v);
        r[at + 1] = static_cast<uint8_t>(v >> 8);
    };
    auto put32 = [&](size_t at, int32_t v) {
        for (int i = 0; i < 4; ++i)
            r[at + i] = static_cast<uint8_t>(static_cast<uint32_t>(v) >> (8 * i));
    };
    put16(0, version);
    put16(12, temps);
    put16(14, fans);
    put16(16, volts);
    for (int i = 0; i < 32; ++i) {
        put32(18 + 4 * i, 4000 + i);  // temperatures
        put32(146 + 4 * i, 1000 + i); // fans
        put32(274 + 4 * i, -100 - i); // voltages
    }
    r.resize(size);
    return r;
}

TEST(FanRecord, CountsBoundedByCapAndSize) {
    struct Case {
        const char* name;
        std::vector<uint8_t> rec;
        bool taken;
        int32_t temps, fans, volts;
    } cases[] = {
        {"version 1", record(1, 3, 2, 4), true, 3, 2, 4},
        {"version 2", record(2, 3, 2, 4), false, 0, 0, 0},
        {"version 0", record(0, 3, 2, 4), false, 0, 0, 0},
        {"counts of 40", record(1, 40, 40, 40), true, 32, 32, 32},
        {"counts of 65535", record(1, 65535, 65535, 65535), true, 32, 32, 32},
        {"whole record", record(1, 32, 32, 32, 402), true, 32, 32, 32},
        {"one byte short", record(1, 32, 32, 32, 401), true, 32, 32, 31},
        {"ends in the fans", record(1, 32, 32, 32, 150), true, 32, 1, 0},
        {"ends after the counts", record(1, 5, 5, 5, 18), true, 0, 0, 0},
        {"header cut", record(1, 5, 5, 5, 17), false, 0, 0, 0},
        {"empty", record(1, 5, 5, 5, 0), false, 0, 0, 0},
    };
    for (const Case& c : cases) {
        FanReadings r;
        memset(&r, 0x5A, sizeof r);
        // The exact size on the heap, so ASan sees any read past it.
        std::unique_ptr<uint8_t[]> buf(new uint8_t[c.rec.size() + 1]);
        if (!c.rec.empty())
            memcpy(buf.get(), c.rec.data(), c.rec.size());
        EXPECT_EQ(fan_read_record(buf.get(), c.rec.size(), &r), c.taken) << c.name;
        EXPECT_EQ(r.temp_count, c.temps) << c.name;
        EXPECT_EQ(r.fan_count, c.fans) << c.name;
        EXPECT_EQ(r.volt_count, c.volts) << c.name;
        if (c.temps > 0) {
            EXPECT_EQ(r.temps[c.temps - 1], 4000 + c.temps - 1) << c.name;
        }
        if (c.fans > 0) {
            EXPECT_EQ(r.fans[0], 1000) << c.name;
        }
        if (c.volts > 0) {
            EXPECT_EQ(r.volts[c.volts - 1], -100 - (c.volts - 1)) << c.name;
        }
    }
    FanReadings r;
    EXPECT_FALSE(fan_read_record(nullptr, 402, &r));
    EXPECT_EQ(r.temp_count + r.fan_count + r.volt_count, 0);
}

TEST(FanSettings, EntryWords) {
    struct Case {
        const char* value;
        const char* label;
        int32_t kind, sensor;
    } cases[] = {
        {"CPU TEMP 0", "CPU", FAN_TEMP, 0},
        {"Chassis\tfan  2", "Chassi", FAN_SPEED, 2}, // label cut to 6
        {"  Core Volt 11", "Core", FAN_VOLT, 11},
        {"x vOlT", "x", FAN_VOLT, -1},
        {"GPU", "GPU", FAN_NONE, -1},
        {"Hum HUMIDITY 3", "Hum", FAN_NONE, 3},
        {"T TEMPERATURE 1", "T", FAN_NONE, 1}, // a longer word is not TEMP
        {"T TEMPX 1", "T", FAN_NONE, 1},
        {"A TEMP 4294967295", "A", FAN_TEMP, -1}, // out of range: never shown
        {"A TEMP x", "A", FAN_TEMP, 0},           // as the other unsigned settings read
        {"%s%n TEMP 1", "%s%n", FAN_TEMP, 1},
    };
    for (const Case& c : cases) {
        FanEntry e;
        memset(&e, 0x5A, sizeof e);
        fan_parse_entry(c.value, &e);
        EXPECT_STREQ(e.label, c.label) << c.value;
        EXPECT_EQ(e.kind, c.kind) << c.value;
        EXPECT_EQ(e.sensor, c.sensor) << c.value;
    }
}

TEST(FanText, ValueForms) {
    struct Case {
        int32_t kind, value;
        const char* text;
    } cases[] = {
        {FAN_TEMP, 4520,
         "45.2\xB0"
         "C"},
        {FAN_TEMP, 4599,
         "45.9\xB0"
         "C"},
        {FAN_TEMP, 5,
         "0.0\xB0"
         "C"},
        {FAN_TEMP, -50,
         "-0.5\xB0"
         "C"},
        {FAN_SPEED, 2250, "2250"},
        {FAN_SPEED, -3, "-3"},
        {FAN_VOLT, 1184, "11.84V"},
        {FAN_VOLT, 5, "0.05V"},
        {FAN_VOLT, -1184, "-11.84V"},
        {FAN_VOLT, -2147483647 - 1, "-21474836.48V"},
        {FAN_TEMP, -2147483647 - 1,
         "-21474836.4\xB0"
         "C"},
        {FAN_NONE, 5, ""},
    };
    for (const Case& c : cases) {
        char out[32];
        memset(out, 'Q', sizeof out);
        EXPECT_EQ(fan_value_text(out, sizeof out, c.kind, c.value), strlen(c.text)) << c.value;
        EXPECT_STREQ(out, c.text) << c.value;
    }
}

// A fake SpeedFan: a record or none.
struct FakeSpeedFan {
    std::vector<uint8_t> rec;
    bool running = true;
    int open_views = 0;
};

const uint8_t* fake_open(void* ctx, size_t* size) {
    auto* f = static_cast<FakeSpeedFan*>(ctx);
    *size = 0;
    if (!f->running)
        return nullptr;
    f->open_views++;
    *size = f->rec.size();
    return f->rec.data();
}
void fake_close(void* ctx, const uint8_t*) {
    static_cast<FakeSpeedFan*>(ctx)->open_views--;
}

struct FanFixture {
    std::unique_ptr<App> app = std::make_unique<App>();
    FakeSpeedFan sf;
    FanHost host{fake_open, fake_close, &sf};
    explicit FanFixture(const char* settings, const char* slot0 = "FAN") {
        sf.rec = record(1, 2, 3, 1);
        std::string path = testing::TempDir() + "fan_settings.txt";
        FILE* f = fopen(path.c_str(), "w");
        fputs(settings, f);
        fclose(f);
        settings_read(&app->settings, path.c_str());
        for (int i = 0; i < SLOT_COUNT; ++i) {
            app->slots[i].index = i;
            app->slots[i].x = (i == 0) ? 0 : (i == 1) ? 40 : (i == 2) ? 81 : 121;
            app->slots[i].y = 22;
        }
        slot_parse_list(&app->slots[0], slot0);
        app->fan.host = &host;
        mod_fan_init(app.get());
        app->frame.now = 1000;
    }
    ~FanFixture() { settings_free(&app->settings); }
    int frame(int slot, bool tick, uint32_t step_ms = 100) {
        app->frame.now += step_ms;
        app->frame.one_second_tick = tick ? 1 : 0;
        memset(app->lcd.frame.pixels, 0, LCD_PIXELS);
        mod_fan_update(app.get());
        return mod_fan_draw(app.get(), slot);
    }
    // The label and value the slot shows ("" / "" for only the frame).
    bool shows(int slot, const char* label, const char* value) {
        auto f = std::make_unique<LcdBitmap>();
        memset(f.get(), 0, sizeof *f);
        const Slot& s = app->slots[slot];
        slot_draw_frame(f.get(), &s, "FAN");
        draw_text_right(f.get(), s.x, s.y + 7, label);
        draw_text_right(f.get(), s.x, s.y + 14, value);
        return memcmp(f->pixels, app->lcd.frame.pixels, LCD_PIXELS) == 0;
    }
};

const char kEntries[] = "fan_mode_0 CPU TEMP 0\n"
                        "fan_mode_1 Case FAN 5\n" // only 3 fans: skipped
                        "fan_mode_2 Pump FAN 2\n"
                        "fan_mode_4 Rail VOLT 0\n"
                        "fan_mode_7 Board TEMP 1\n";

TEST(FanModule, EntriesInTurnSkippingThoseNotShown) {
    FanFixture fx(kEntries);
    ASSERT_EQ(fx.frame(0, true), 1);
    EXPECT_TRUE(fx.shows(0, "CPU",
                         "40.0\xB0"
                         "C"));
    const char* expected[][2] = {{"Pump", "1002"},
                                 {"Rail", "-1.00V"},
                                 {"Board", "40.0\xB0"
                                           "C"},
                                 {"CPU", "40.0\xB0"
                                         "C"}};
    for (auto& e : expected) {
        fx.app->slots[0].button = 1;
        ASSERT_EQ(fx.frame(0, false), 1);
        EXPECT_EQ(fx.app->slots[0].button, 0);
        EXPECT_TRUE(fx.shows(0, e[0], e[1])) << "expected " << e[0];
    }
    // The skipped entry comes back as soon as its sensor does.
    fx.sf.rec = record(1, 2, 6, 1);
    fx.app->slots[0].button = 1;
    fx.frame(0, true);
    EXPECT_TRUE(fx.shows(0, "Case", "1005"));
    EXPECT_EQ(fx.sf.open_views, 0) << "every view is given back";
}

TEST(FanModule, NothingPublishedAndNothingConfigured) {
    FanFixture fx("");
    EXPECT_EQ(fx.frame(0, true), 1) << "readings but no entries: the frame alone";
    EXPECT_TRUE(fx.shows(0, "", ""));
    fx.sf.running = false;
    EXPECT_EQ(fx.frame(0, false), 1) << "readings live until the next tick";
    EXPECT_EQ(fx.frame(0, true), 0);
    fx.sf.running = true;
    fx.sf.rec = record(2, 2, 3, 1);
    EXPECT_EQ(fx.frame(0, true), 0) << "another version";
    fx.sf.rec = record(1, 0, 0, 0);
    EXPECT_EQ(fx.frame(0, true), 0) << "no sensors";
}

TEST(FanModule, PlusMarksChooseTheFirstEntry) {
    FanFixture fx(kEntries, "FAN++");
    fx.frame(0, true);
    EXPECT_TRUE(fx.shows(0, "Pump", "1002"));
    EXPECT_EQ(fx.app->fan.position[0], 2);
}

TEST(FanModule, AutomaticStepsAndLongPressPerSlot) {
    FanFixture fx(std::string(kEntries).append("fan_cycle_interval 50\nfan_cycle 1\n").c_str());
    // Slots 0 and 1 both show the module; ten frames a second.
    struct Step {
        int frames;        // frames of 100 ms before the check
        int press_slot;    // a long press before them (-1 none)
        const char* slot0; // labels shown after them
        const char* slot1;
    } steps[] = {
        {1, -1, "CPU", "CPU"},     {49, -1, "CPU", "CPU"}, // 4.9 s after the first readings
        {1, -1, "Pump", "Pump"},                           // 5 s: both step
        {1, 1, "Pump", "Pump"},                            // slot 1 stops stepping
        {49, -1, "Rail", "Pump"},                          // next 5 s: only slot 0
        {1, 1, "Rail", "Pump"},                            // slot 1 steps again
        {50, -1, "Board", "Rail"},
    };
    int i = 0;
    for (const Step& st : steps) {
        ++i;
        if (st.press_slot >= 0)
            fx.app->slots[st.press_slot].button = 2;
        for (int k = 0; k < st.frames; ++k) {
            bool tick = fx.app->frame.now % 1000 == 0;
            fx.frame(0, tick);
            mod_fan_draw(fx.app.get(), 1);
        }
        const FanModule& fan = fx.app->fan;
        EXPECT_STREQ(fan.entries[fan.position[0]].label, st.slot0) << "step " << i;
        EXPECT_STREQ(fan.entries[fan.position[1]].label, st.slot1) << "step " << i;
    }
    EXPECT_EQ(fx.app->slots[1].button, 0);
}

TEST(FanModule, NonsenseSettingsStayBounded) {
    FanFixture fx("fan_cycle_interval 4294967295\nfan_cycle 1\nfan_mode_0 CPU TEMP 0\n");
    EXPECT_EQ(fx.app->fan.step_interval, UINT32_MAX / 100);
    for (int k = 0; k < 30; ++k)
        fx.frame(0, k % 10 == 0);
    EXPECT_EQ(fx.app->fan.position[0], 0) << "no step for weeks";
    fx.app->fan.position[0] = 12345; // whatever a slot holds, the draw brings it back
    fx.frame(0, false);
    EXPECT_EQ(fx.app->fan.position[0], 0);
}

} // namespace
