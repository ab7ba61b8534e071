// Speaker set-up module: settings texts, channel masks, mixer levels, the ramp and
// pictures, both paths against a fake sound system, and the registry problem log.
#include <gtest/gtest.h>

#include <unistd.h>

#include <cmath>
#include <cstring>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "core/app.h"
#include "draw/draw.h"
#include "draw/notice.h"
#include "modules/mod_spk.h"
#include "screen/slots.h"
#include "services/settings.h"

namespace {

TEST(SpkRules, SettingsTextsMasksAndPresses) {
    struct Text {
        const char* text;
        int32_t def, value;
    } texts[] = {
        {"headphone", 6, 1}, {"HEADPHONE", 6, 1}, {"Mono", 6, 2},    {"quad", 6, 3},
        {"stereo", 1, 4},    {"surround", 6, 5},  {"5.1", 1, 6},     {"7.1WIDE", 6, 7},
        {"7.1", 6, 8},       {"6.1", 6, 6},       {"", 1, 1},        {"5.1 ", 1, 1},
        {"7", 6, 6},         {nullptr, 1, 1},     {"stereos", 6, 6},
    };
    for (const Text& t : texts)
        EXPECT_EQ(spk_config_from_text(t.text, t.def), t.value) << (t.text ? t.text : "null");

    struct Mask {
        uint32_t mask;
        int32_t value;
    } masks[] = {{0x3, 4},   {0x4, 2}, {0x33, 3}, {0x107, 5}, {0x3F, 6}, {0xFF, 7},
                 {0x63F, 8}, {0x7, 0}, {0, 0},    {0x60F, 0}, {0x1, 0},  {0x8, 0}};
    for (const Mask& m : masks)
        EXPECT_EQ(spk_config_from_mask(m.mask), m.value) << std::hex << m.mask;

    struct Press {
        int32_t current, speaker, headphone, next;
    } presses[] = {
        {8, 8, 4, 4}, // on 7.1 surround: stereo
        {4, 8, 4, 8}, // and back
        {3, 8, 4, 8}, // a third configuration: the speaker set-up
        {0, 6, 1, 6}, // unreadable configuration
        {6, 6, 6, 6}, // both settings the same
    };
    for (const Press& p : presses)
        EXPECT_EQ(spk_next_config(p.current, p.speaker, p.headphone), p.next) << p.current;
}

TEST(SpkRules, LevelsFromMixerAndEndpoint) {
    struct Mixer {
        uint32_t minimum, maximum, value;
        int32_t level;
    } mixers[] = {
        {0, 65535, 0, 0},      {0, 65535, 32767, 10},
        {0, 65535, 32768, 10}, {0, 65535, 32759, 9},
        {0, 65535, 65535, 20}, {0, 65535, 65534, 20},
        {0, 65535, 3275, 0},   {0, 65535, 3276, 1},
        {100, 300, 200, 10},   {100, 300, 50, 0},
        {0, 100, 500, 20},     {0, 19, 19, 0},
        {500, 100, 300, 0},    {0, 0xFFFFFFFFu, 0xFFFFFFFFu, 20},
    };
    for (const Mixer& m : mixers)
        EXPECT_EQ(spk_mixer_level(m.minimum, m.maximum, m.value), m.level)
            << m.minimum << ".." << m.maximum << " at " << m.value;

    struct Volume {
        float volume;
        int32_t level;
    } volumes[] = {{20.0f, 20}, {19.99f, 19}, {10.0f, 10}, {0.4f, 0},
                   {-1.0f, -1}, {25.0f, 20},  {-7.0f, -1}, {NAN, -1}};
    for (const Volume& v : volumes)
        EXPECT_EQ(spk_volume_level(v.volume), v.level) << v.volume;
}

// Lit rows of column c, top to bottom.
std::vector<int> lit_rows(const LcdBitmap& f, int c) {
    std::vector<int> rows;
    for (int r = 0; r < LCD_HEIGHT; ++r)
        if (f.pixels[r * LCD_WIDTH + c])
            rows.push_back(r);
    return rows;
}

std::vector<int> span(int from, int to) {
    std::vector<int> v;
    for (int r = from; r <= to; ++r)
        v.push_back(r);
    return v;
}

int lit_in(const LcdBitmap& f, int x0, int y0, int x1, int y1) {
    int n = 0;
    for (int r = y0; r <= y1; ++r)
        for (int c = x0; c <= x1; ++c)
            n += f.pixels[r * LCD_WIDTH + c] ? 1 : 0;
    return n;
}

constexpr int kMuteMarkPixels = 70; // 'X' in the mute mark

TEST(SpkDraw, RampColumnsAndMuteMark) {
    const int x = 81, y = 22; // slot 2; the ramp's bottom row is 42
    struct Case {
        int32_t level, muted;
        std::vector<int> columns[5]; // lit rows of columns x + 32 .. x + 36
        bool mark;
    } cases[] = {
        {20, 0, {span(27, 42), span(26, 42), span(25, 42), span(24, 42), span(23, 42)}, false},
        {10, 0, {span(37, 42), span(36, 42), span(35, 42), span(34, 42), span(33, 42)}, false},
        {20, 1, {span(27, 42), {26}, {25}, {24}, span(23, 42)}, true},
        {4, 1, {{}, {42}, {41}, {40}, span(39, 42)}, true},
        {3, 1, {{}, {}, {42}, {41}, span(40, 42)}, true},
        {1, 0, {{}, {}, {}, {}, {42}}, false},
        {1, 1, {{}, {}, {}, {}, {42}}, true},
        {0, 0, {{}, {}, {}, {}, {}}, false},
        {0, 1, {{}, {}, {}, {}, {}}, true},
        {-1, 0, {{}, {}, {}, {}, {}}, false},
    };
    for (const Case& c : cases) {
        auto f = std::make_unique<LcdBitmap>();
        memset(f.get(), 0, sizeof *f);
        spk_draw_ramp(f.get(), x, y, c.level, c.muted);
        for (int k = 0; k < 5; ++k)
            EXPECT_EQ(lit_rows(*f, x + 32 + k), c.columns[k])
                << "level " << c.level << " muted " << c.muted << " column x+" << 32 + k;
        EXPECT_EQ(lit_in(*f, x + 18, y + 8, x + 30, y + 20), c.mark ? kMuteMarkPixels : 0)
            << "mute mark, level " << c.level << " muted " << c.muted;
        int ramp = 0;
        for (int k = 0; k < 5; ++k)
            ramp += static_cast<int>(c.columns[k].size());
        EXPECT_EQ(lit_in(*f, 0, 0, LCD_WIDTH - 1, LCD_HEIGHT - 1),
                  ramp + (c.mark ? kMuteMarkPixels : 0))
            << "nothing else drawn, level " << c.level;
    }
}

TEST(SpkDraw, ConfigurationPictures) {
    const int x = 40, y = 22;
    // Lit pixels of each picture, and its first row as drawn.
    struct Case {
        int32_t config;
        int lit;
        const char* top_row; // row y + 8, columns x + 2 .. x + 15
    } cases[] = {
        {0, 0, ".............."},  {1, 42, ".....XXXX....."}, {2, 48, ".............."},
        {3, 43, ".XX........XX."}, {4, 96, ".............."}, {5, 61, ".....XXXX....."},
        {6, 82, ".....XXXX....."}, {7, 86, "XX.XX.XX.XX.XX"}, {8, 90, ".....XXXX....."},
        {9, 0, ".............."},  {-1, 0, ".............."},
    };
    for (const Case& c : cases) {
        auto f = std::make_unique<LcdBitmap>();
        memset(f.get(), 0, sizeof *f);
        spk_draw_config(f.get(), x, y, c.config);
        std::string top;
        for (int k = 0; k < 14; ++k)
            top += f->pixels[(y + 8) * LCD_WIDTH + x + 2 + k] ? 'X' : '.';
        EXPECT_EQ(top, c.top_row) << "configuration " << c.config;
        EXPECT_EQ(lit_in(*f, x + 2, y + 8, x + 15, y + 20), c.lit) << "configuration " << c.config;
        EXPECT_EQ(lit_in(*f, 0, 0, LCD_WIDTH - 1, LCD_HEIGHT - 1), c.lit)
            << "configuration " << c.config << " outside its box";
    }
}

// ---- the module against a fake sound system ------------------------------------------

struct FakeSound {
    bool direct_sound = true;
    bool enumerator = false;
    int32_t config = 4; // DirectSound's configuration
    bool mixer = true;  // the mixer opens
    SpkMixer reading{1, 0, 65535, 65535, 0};
    bool endpoint = true;
    float scalar = 1.0f;
    int32_t scalar_ok = 1;
    int32_t muted = 0;
    SpkRegistryRead registry{};
    std::vector<int32_t> sets;
    int endpoint_reads = 0, registry_reads = 0, closes = 0;
};

FakeSound& sound(SpkModule* spk) {
    return *static_cast<FakeSound*>(spk->ctx);
}
bool fake_ds(SpkModule* spk) {
    return sound(spk).direct_sound;
}
bool fake_enum(SpkModule* spk) {
    return sound(spk).enumerator;
}
void fake_close(SpkModule* spk) {
    sound(spk).closes++;
}
int32_t fake_get(SpkModule* spk) {
    return sound(spk).config;
}
void fake_set(SpkModule* spk, int32_t config) {
    sound(spk).sets.push_back(config);
    sound(spk).config = config;
}
bool fake_mixer(SpkModule* spk, SpkMixer* out) {
    if (!sound(spk).mixer)
        return false;
    *out = sound(spk).reading;
    return true;
}
bool fake_endpoint(SpkModule* spk, float* scalar, int32_t* ok, int32_t* muted) {
    FakeSound& s = sound(spk);
    s.endpoint_reads++;
    if (!s.endpoint)
        return false;
    *scalar = s.scalar;
    *ok = s.scalar_ok;
    *muted = s.muted;
    return true;
}
void fake_registry(SpkModule* spk, int32_t, SpkRegistryRead* out) {
    sound(spk).registry_reads++;
    *out = sound(spk).registry;
}
const SpkHost kFakeHost = {fake_ds,  fake_enum,  fake_close,    fake_get,
                           fake_set, fake_mixer, fake_endpoint, fake_registry};

// Runs in a temporary folder, so "errors.txt" is the module's own.
struct TempDir {
    std::string old, dir;
    TempDir() {
        char cwd[4096];
        old = getcwd(cwd, sizeof cwd) ? cwd : ".";
        char tmpl[] = "/tmp/spk_test_XXXXXX";
        dir = mkdtemp(tmpl);
        EXPECT_EQ(chdir(dir.c_str()), 0);
    }
    ~TempDir() {
        unlink((dir + "/errors.txt").c_str());
        EXPECT_EQ(chdir(old.c_str()), 0);
        rmdir(dir.c_str());
    }
    std::vector<std::string> log() const {
        std::ifstream f(dir + "/errors.txt");
        std::vector<std::string> lines;
        for (std::string l; std::getline(f, l);)
            lines.push_back(l);
        return lines;
    }
};

struct SpkFixture {
    std::unique_ptr<App> app = std::make_unique<App>();
    FakeSound fs;
    std::vector<SettingEntry> entries;
    std::vector<std::string> texts;

    explicit SpkFixture(std::vector<std::pair<const char*, const char*>> settings = {}) {
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
        for (int i = 0; i < SLOT_COUNT; ++i) {
            app->slots[i].index = i;
            app->slots[i].x = (i == 0) ? 0 : (i == 1) ? 40 : (i == 2) ? 81 : 121;
            app->slots[i].y = 22;
        }
        app->spk.host = &kFakeHost;
        app->spk.ctx = &fs;
    }
    void init() {
        mod_spk_init(app.get());
        app->settings.head = nullptr; // the entries are not heap-owned
    }
    ~SpkFixture() {
        mod_spk_teardown(app.get());
        notice_free_all(&app->notices);
    }
    int draw(int slot, int32_t button = 0, int32_t tick = 0) {
        app->frame.one_second_tick = tick;
        app->slots[slot].button = button;
        memset(app->lcd.frame.pixels, 0, LCD_PIXELS);
        return mod_spk_draw(app.get(), slot);
    }
    std::vector<uint8_t> pixels() const {
        return std::vector<uint8_t>(app->lcd.frame.pixels, app->lcd.frame.pixels + LCD_PIXELS);
    }
};

std::vector<uint8_t> expected_slot(const Slot& s, int32_t level, int32_t muted, int32_t config,
                                   bool ramp = true) {
    auto f = std::make_unique<LcdBitmap>();
    memset(f.get(), 0, sizeof *f);
    slot_draw_frame(f.get(), &s, "SPK");
    if (ramp)
        spk_draw_ramp(f.get(), s.x, s.y, level, muted);
    spk_draw_config(f.get(), s.x, s.y, config);
    return std::vector<uint8_t>(f->pixels, f->pixels + LCD_PIXELS);
}

TEST(SpkDirectSound, SettingsAndShortPresses) {
    struct Step {
        int32_t button;
        int32_t shown;  // configuration drawn
        int32_t system; // DirectSound's configuration afterwards
        int32_t button_after;
    };
    struct Case {
        const char* name;
        std::vector<std::pair<const char*, const char*>> settings;
        int32_t start;
        std::vector<Step> steps;
    } cases[] = {
        {"7.1 and stereo from 7.1 surround",
         {{"speaker_setup", "7.1"}, {"headphone_setup", "stereo"}},
         8,
         {{0, 8, 8, 0}, {1, 4, 4, 0}, {0, 4, 4, 0}, {1, 8, 8, 0}}},
        {"third configuration selects the speaker set-up", {}, 3, {{1, 6, 6, 0}, {1, 1, 1, 0}}},
        {"HEADPHONE written in capitals", {{"speaker_setup", "HEADPHONE"}}, 4, {{1, 1, 1, 0}}},
        {"unknown text keeps the default", {{"speaker_setup", "6.1"}}, 4, {{1, 6, 6, 0}}},
        {"long press is left for others", {}, 4, {{2, 4, 4, 2}}},
    };
    for (const Case& c : cases) {
        SpkFixture fx(c.settings);
        fx.fs.config = c.start;
        fx.fs.reading = SpkMixer{1, 0, 65535, 32768, 0};
        fx.init();
        int i = 0;
        for (const Step& st : c.steps) {
            ++i;
            ASSERT_EQ(fx.draw(1, st.button), 1) << c.name;
            EXPECT_EQ(fx.fs.config, st.system) << c.name << " step " << i;
            EXPECT_EQ(fx.app->slots[1].button, st.button_after) << c.name << " step " << i;
            EXPECT_TRUE(fx.pixels() == expected_slot(fx.app->slots[1], 10, 0, st.shown))
                << c.name << " step " << i << ": expected configuration " << st.shown;
        }
        EXPECT_EQ(notice_count(&fx.app->notices), 0) << c.name;
    }
}

TEST(SpkDirectSound, MixerReadings) {
    struct Case {
        const char* name;
        bool mixer;
        SpkMixer reading;
        int32_t level, muted;
        bool ramp;
    } cases[] = {
        {"full", true, {1, 0, 65535, 65535, 0}, 20, 0, true},
        {"half", true, {1, 0, 65535, 32768, 0}, 10, 0, true},
        {"silent and muted", true, {1, 0, 65535, 0, 1}, 0, 1, true},
        {"muted at full", true, {1, 0, 65535, 65535, 1}, 20, 1, true},
        {"no volume control", true, {0, 0, 0, 0, 1}, 0, 1, true},
        {"driver value past its bounds", true, {1, 0, 100, 1000, 0}, 20, 0, true},
        {"no mixer: picture without a ramp", false, {1, 0, 65535, 65535, 1}, 0, 0, false},
    };
    for (const Case& c : cases) {
        SpkFixture fx;
        fx.fs.mixer = c.mixer;
        fx.fs.reading = c.reading;
        fx.fs.config = 6;
        fx.init();
        ASSERT_EQ(fx.draw(3), 1) << c.name;
        EXPECT_TRUE(fx.pixels() == expected_slot(fx.app->slots[3], c.level, c.muted, 6, c.ramp))
            << c.name;
    }
}

TEST(SpkPaths, ChosenAtInitAndDeclining) {
    struct Case {
        const char* name;
        bool direct_sound, enumerator, endpoint;
        int drawn;
    } cases[] = {
        {"no sound at all", false, false, false, 0},
        {"DirectSound only", true, false, false, 1},
        {"Core Audio with an output", true, true, true, 1},
        {"Core Audio without an output", true, true, false, 0},
        {"Core Audio without DirectSound", false, true, true, 1},
    };
    for (const Case& c : cases) {
        SpkFixture fx;
        fx.fs.direct_sound = c.direct_sound;
        fx.fs.enumerator = c.enumerator;
        fx.fs.endpoint = c.endpoint;
        fx.init();
        for (int slot = 0; slot < SLOT_COUNT; ++slot) {
            EXPECT_EQ(fx.draw(slot, 0, 1), c.drawn) << c.name << " slot " << slot;
            if (!c.drawn) {
                auto px = fx.pixels();
                EXPECT_EQ(std::count(px.begin(), px.end(), 0), LCD_PIXELS) << c.name;
            }
        }
        EXPECT_EQ(fx.fs.endpoint_reads > 0, c.enumerator) << c.name;
    }
}

TEST(SpkCoreAudio, RefreshedOnTicksAndPressOnlyNotifies) {
    SpkFixture fx;
    fx.fs.enumerator = true;
    fx.fs.scalar = 0.5f;
    fx.fs.muted = 1;
    fx.fs.registry.mask = 0x3F;
    fx.init();
    Slot& s = fx.app->slots[0];
    struct Step {
        int32_t tick, button;
        float scalar;
        bool endpoint;
        int drawn;
        int reads, registry_reads;
        int32_t level;
    } steps[] = {
        {0, 0, 0.5f, true, 1, 1, 1, 10},  // the first draw reads
        {0, 0, 1.0f, true, 1, 1, 1, 10},  // between ticks the stored values show
        {1, 0, 1.0f, true, 1, 2, 2, 20},  // the tick reads again
        {0, 1, 0.25f, true, 1, 2, 2, 20}, // a short press: the notice, no switch
        {1, 0, 0.25f, false, 0, 3, 2, 0}, // the output went away: declined this frame
        {0, 0, 0.25f, true, 1, 3, 2, 20}, // the next frame shows the stored values again
        {1, 0, 0.25f, true, 1, 4, 3, 5},  // the tick reads again
    };
    int i = 0;
    for (const Step& st : steps) {
        ++i;
        fx.fs.scalar = st.scalar;
        fx.fs.endpoint = st.endpoint;
        ASSERT_EQ(fx.draw(0, st.button, st.tick), st.drawn) << "step " << i;
        EXPECT_EQ(fx.fs.endpoint_reads, st.reads) << "step " << i;
        EXPECT_EQ(fx.fs.registry_reads, st.registry_reads) << "step " << i;
        if (st.drawn) {
            EXPECT_TRUE(fx.pixels() == expected_slot(s, st.level, 1, 6)) << "step " << i;
        }
    }
    EXPECT_TRUE(fx.fs.sets.empty()) << "Core Audio never sets a configuration";
    ASSERT_EQ(notice_count(&fx.app->notices), 1);
    EXPECT_EQ(fx.app->notices.first->key, NOTICE_SPEAKER);
    EXPECT_EQ(fx.app->notices.first->duration, 3000);
    EXPECT_STREQ(fx.app->notices.first->text,
                 "Windows Vista only allows speaker setup through the Control Panel");
    fx.draw(0, 2, 0);
    EXPECT_EQ(s.button, 2) << "a long press is not consumed";
}

TEST(SpkCoreAudio, RetriedEveryFrameWhileNoVolumeWasEverRead) {
    SpkFixture fx;
    fx.fs.enumerator = true;
    fx.fs.registry.mask = 0x3F;
    fx.init();
    struct Step {
        bool endpoint;
        int32_t scalar_ok;
        int drawn, reads;
    } steps[] = {
        {false, 1, 0, 1}, // no output at the first draw: declined
        {false, 1, 0, 2}, // asked again in the next frame, not only at the next tick
        {true, 0, 1, 3},  // an output, but its volume unread: shown, asked again
        {true, 1, 1, 4},  // read
        {true, 1, 1, 4},  // from here only on ticks
    };
    int i = 0;
    for (const Step& st : steps) {
        ++i;
        fx.fs.endpoint = st.endpoint;
        fx.fs.scalar_ok = st.scalar_ok;
        EXPECT_EQ(fx.draw(1, 0, 0), st.drawn) << "step " << i;
        EXPECT_EQ(fx.fs.endpoint_reads, st.reads) << "step " << i;
    }
}

TEST(SpkCoreAudio, FailedVolumeReadKeepsTheLastVolume) {
    SpkFixture fx;
    fx.fs.enumerator = true;
    fx.fs.registry.mask = 0x7; // not a known layout: no picture
    fx.fs.scalar_ok = 0;
    fx.init();
    ASSERT_EQ(fx.draw(2, 0, 1), 1);
    EXPECT_TRUE(fx.pixels() == expected_slot(fx.app->slots[2], 0, 0, 0)) << "never read: no ramp";
    fx.fs.scalar_ok = 1;
    fx.fs.scalar = 0.75f;
    fx.draw(2, 0, 1);
    fx.fs.scalar_ok = 0;
    fx.fs.scalar = 0.1f;
    ASSERT_EQ(fx.draw(2, 0, 1), 1);
    EXPECT_TRUE(fx.pixels() == expected_slot(fx.app->slots[2], 15, 0, 0)) << "kept at 15";
}

SpkRegistryRead problems(std::vector<std::pair<int32_t, const char*>> list, uint32_t mask = 0) {
    SpkRegistryRead r{};
    r.mask = mask;
    for (auto& p : list) {
        auto& e = r.problems[r.count++];
        e.kind = p.first;
        e.error = p.first == SPK_REG_SUBKEY ? 5 : 0;
        snprintf(e.key, sizeof e.key, "%s", p.second);
    }
    return r;
}

TEST(SpkCoreAudio, RegistryProblemsLoggedOncePerChange) {
    const char* sub = "{0.0.0.00000000}.{x%sy}\\Properties";
    struct Read {
        SpkRegistryRead read;
        std::vector<std::string> new_lines; // parts of the lines this refresh adds
    } reads[] = {
        {problems({{SPK_REG_NO_SUBKEYS, ""}}), {"src/vista_spk(117) | found no subkeys of Render"}},
        {problems({{SPK_REG_NO_SUBKEYS, ""}}), {}},
        {problems({{SPK_REG_SUBKEY, sub}, {SPK_REG_NOT_DWORD, "{b}\\Properties"}}, 0x3),
         {"failed to open Render subkey '{0.0.0.00000000}.{x%sy}\\Properties' | 00000005",
          "Render value is not DWORD in key '{b}\\Properties'"}},
        {problems({{SPK_REG_SUBKEY, sub}, {SPK_REG_NOT_DWORD, "{b}\\Properties"}}, 0x3), {}},
        {problems({}, 0x3), {}},
        {problems({{SPK_REG_NO_RENDER_KEY, ""}}), {"can't open the MMDevices\\Audio\\Render key"}},
    };
    TempDir tmp;
    SpkFixture fx;
    fx.fs.enumerator = true;
    fx.init();
    size_t lines = 0;
    int i = 0;
    for (const Read& r : reads) {
        ++i;
        fx.fs.registry = r.read;
        ASSERT_EQ(fx.draw(0, 0, 1), 1);
        std::vector<std::string> log = tmp.log();
        ASSERT_EQ(log.size(), lines + r.new_lines.size()) << "read " << i;
        for (size_t k = 0; k < r.new_lines.size(); ++k)
            EXPECT_NE(log[lines + k].find(r.new_lines[k]), std::string::npos)
                << "read " << i << ": got " << log[lines + k];
        lines = log.size();
    }
}

} // namespace
