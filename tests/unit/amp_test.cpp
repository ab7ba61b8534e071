// Winamp module and the shared media texts: song titles from window titles, the time
// and bitrate lines, the bitrate average, and the module against a fake player.
#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "core/app.h"
#include "draw/draw.h"
#include "draw/notice.h"
#include "modules/mod_amp.h"
#include "screen/slots.h"

namespace {

TEST(AmpTitle, SongFromWindowTitle) {
    const std::string long_song(515, 'x'); // + " - Winamp" = a 524-character title
    struct Case {
        std::string window, song;
    } cases[] = {
        {"3. Artist - Song - Winamp", "3. Artist - Song"},
        {"Winamp 5.666 Build 3516", ""}, // the bare player
        {"Winamp", ""},
        {"- Winamp", ""},
        {"", ""},
        {"Song - WINAMP", "Song"},
        {"Song -winamp", ""}, // no blank inside the suffix: not found
        {"Song   - Winamp", "Song"},
        {"Song\t- Winamp", "Song\t"}, // only blanks are dropped
        {"A - Winamp - Winamp [Stopped]", "A - Winamp"},
        {"100% Hits - Winamp", "100% Hits"},
        {"%s%n%x - Winamp", "%s%n%x"},
        {"\xC4rger - Winamp", "\xC4rger"},
        // 519 characters are read: the suffix falls outside and the title is no song.
        {long_song + " - Winamp", ""},
        {std::string(500, 'y') + " - Winamp", std::string(500, 'y')},
        {std::string(509, 'z') + " - Winamp", std::string(509, 'z')},
    };
    for (const Case& c : cases) {
        char out[AMP_TITLE_MAX];
        memset(out, 'Q', sizeof out);
        size_t n = amp_song_title(c.window.c_str(), out);
        EXPECT_EQ(std::string(out), c.song) << c.window.substr(0, 40);
        EXPECT_EQ(n, c.song.size()) << c.window.substr(0, 40);
    }
}

TEST(AmpTitle, LongestReadableSong) {
    // 519 characters of the window title are read: a song of 511 and the suffix.
    std::string song(512, 'a');
    song[511] = 'b';
    char out[AMP_TITLE_MAX];
    std::string w = song + "- Winamp"; // 520 characters: the last one is not read
    EXPECT_EQ(amp_song_title(w.c_str(), out), 0u);
    w = song.substr(0, 511) + "- Winamp"; // 519: read whole, song 511 characters
    EXPECT_EQ(amp_song_title(w.c_str(), out), 511u);
    EXPECT_EQ(std::string(out), song.substr(0, 511));
}

TEST(AmpTime, RemainingOrElapsed) {
    struct Case {
        int32_t position_ms, length_s, blink;
        const char* text;
    } cases[] = {
        {30000, 240, 0, "3:30"},     // a 4-minute song 30 seconds in
        {60000, 7200, 0, "1:59:00"}, // a two-hour film 1 minute in
        {754000, 0, 0, "12:34"},     // a stream: elapsed time
        {754000, -1, 0, "12:34"},
        {500, 0, 0, "0:00"}, // under a second, but something to show
        {0, 0, 0, ""},       // a stream not started
        {-1, 0, 0, ""},      // no position
        {-1, 240, 0, "4:00"},
        {250000, 240, 0, ""}, // past the end
        {0, 36300, 1, "10 05"},
        {0, 36300, 0, "10:05"},
        {0, 2147483647, 0, "596523:14"}, // a nonsense length does not overflow
        {-2147483647 - 1, 0, 0, ""},
    };
    for (const Case& c : cases) {
        char out[32];
        memset(out, 'Q', sizeof out);
        size_t n = amp_time_text(out, sizeof out, c.position_ms, c.length_s, c.blink);
        EXPECT_STREQ(out, c.text) << c.position_ms << " " << c.length_s;
        EXPECT_EQ(n, strlen(c.text)) << c.position_ms << " " << c.length_s;
    }
}

TEST(AmpBitrate, AverageOfTheSamplesSinceTheLastTick) {
    struct Sample {
        int32_t kbps, tick;
        bool drawn;
        const char* text; // the bitrate text after the sample
    } samples[] = {
        {128, 0, true, ""}, // nothing averaged yet
        {192, 0, true, ""},
        {160, 1, true, "160k"},
        {320, 0, true, "160k"}, // the text stays until the next tick
        {96, 1, true, "208k"},
        {0, 0, false, "208k"}, // no bitrate: samples forgotten, text kept
        {64, 1, true, "64k"},
        {2147483647, 0, true, "64k"}, // nonsense answers do not overflow the sum
        {2147483647, 0, true, "64k"},
        {2147483647, 1, true, "2147483647k"},
    };
    AmpModule amp{};
    int i = 0;
    for (const Sample& s : samples) {
        ++i;
        EXPECT_EQ(amp_bitrate_sample(&amp, s.kbps, s.tick), s.drawn) << "sample " << i;
        EXPECT_STREQ(amp.bitrate_text, s.text) << "sample " << i;
    }
}

// A fake player: a window that exists or not, its title and its answers.
struct FakePlayer {
    bool running = true;
    bool answering = true;
    std::string title = "1. Band - Tune - Winamp";
    int32_t bitrate = 192, position = 30000, length = 240;
    int finds = 0, queries = 0;
};

void* fake_find(void* ctx) {
    auto* p = static_cast<FakePlayer*>(ctx);
    p->finds++;
    return p->running ? p : nullptr;
}
int fake_title(void* ctx, void*, char* out, int cap) {
    auto* p = static_cast<FakePlayer*>(ctx);
    if (!p->running)
        return 0;
    snprintf(out, static_cast<size_t>(cap), "%s", p->title.c_str());
    return static_cast<int>(strlen(out));
}
bool fake_query(void* ctx, void*, int32_t w, int32_t l, int32_t* r) {
    auto* p = static_cast<FakePlayer*>(ctx);
    p->queries++;
    if (!p->running || !p->answering)
        return false;
    if (w == 1 && l == 126)
        *r = p->bitrate;
    else if (w == 0 && l == 105)
        *r = p->position;
    else if (w == 1 && l == 105)
        *r = p->length;
    else
        return false;
    return true;
}

struct AmpFixture {
    std::unique_ptr<App> app = std::make_unique<App>();
    FakePlayer player;
    AmpHost host{fake_find, fake_title, fake_query, &player};
    AmpFixture() {
        for (int i = 0; i < SLOT_COUNT; ++i) {
            app->slots[i].index = i;
            app->slots[i].x = (i == 0) ? 0 : (i == 1) ? 40 : (i == 2) ? 81 : 121;
            app->slots[i].y = 22;
        }
        app->amp.host = &host;
        mod_amp_init(app.get());
    }
    ~AmpFixture() { notice_free_all(&app->notices); }
    // One frame: update, then the draw of slot i; the draw's result.
    int frame(int slot, bool tick, int32_t blink = 0) {
        app->frame.now += 100;
        app->frame.one_second_tick = tick ? 1 : 0;
        app->frame.blink = blink;
        memset(app->lcd.frame.pixels, 0, LCD_PIXELS);
        mod_amp_update(app.get());
        return mod_amp_draw(app.get(), slot);
    }
    std::vector<std::string> notices() const {
        std::vector<std::string> out;
        for (Notice* n = app->notices.first; n; n = n->next) {
            EXPECT_EQ(n->key, NOTICE_TRACK);
            EXPECT_EQ(n->duration, 1500);
            out.push_back(n->text);
        }
        return out;
    }
    bool slot_shows(int slot, const char* upper, const char* lower) {
        auto f = std::make_unique<LcdBitmap>();
        memset(f.get(), 0, sizeof *f);
        const Slot& s = app->slots[slot];
        slot_draw_frame(f.get(), &s, "AMP");
        draw_text_right(f.get(), s.x, s.y + 7, upper);
        draw_text_right(f.get(), s.x, s.y + 14, lower);
        return memcmp(f->pixels, app->lcd.frame.pixels, LCD_PIXELS) == 0;
    }
};

TEST(AmpModule, AnnouncesEachNewSongOnce) {
    AmpFixture fx;
    EXPECT_EQ(fx.frame(0, false), 0) << "no lookup before the first one-second tick";
    EXPECT_EQ(fx.frame(0, true), 1);
    EXPECT_EQ(fx.notices(), std::vector<std::string>{"1. Band - Tune"});
    for (int i = 0; i < 15; ++i)
        fx.frame(0, i % 10 == 0);
    EXPECT_EQ(fx.notices().size(), 1u) << "the same song is announced once";

    fx.player.title = "2. 100% %s%n - Winamp";
    fx.frame(0, false);
    EXPECT_EQ(fx.notices(), (std::vector<std::string>{"2. 100% %s%n"}))
        << "a newer title replaces the waiting one, its text taken as it is";

    // The player is closed and started again with the same song: not announced again.
    fx.player.running = false;
    EXPECT_EQ(fx.frame(0, false), 0);
    EXPECT_EQ(fx.frame(0, true), 0);
    notice_free_all(&fx.app->notices);
    fx.player.running = true;
    EXPECT_EQ(fx.frame(0, true), 1);
    EXPECT_TRUE(fx.notices().empty());
}

TEST(AmpModule, TitleWithoutSuffixShowsNothingUntilTheNextLookup) {
    AmpFixture fx;
    ASSERT_EQ(fx.frame(1, true), 1);
    fx.player.title = "Winamp 5.9";
    EXPECT_EQ(fx.frame(1, false), 0);
    fx.player.title = "1. Band - Tune - Winamp";
    EXPECT_EQ(fx.frame(1, false), 0) << "the window is dropped until the next tick";
    EXPECT_EQ(fx.frame(1, true), 1);
}

TEST(AmpModule, SlotLines) {
    struct Case {
        const char* name;
        int32_t bitrate, position, length, blink;
        bool answering;
        const char* upper;
        const char* lower;
    } cases[] = {
        {"playing", 192, 30000, 240, 0, true, "192k", "3:30"},
        {"film", 1411, 60000, 7200, 0, true, "1411k", "1:59:00"},
        {"stream", 128, 754000, 0, 0, true, "128k", "12:34"},
        {"no bitrate", 0, 30000, 240, 0, true, "", "3:30"},
        {"stopped at the start", 0, 0, 0, 0, true, "", ""},
        {"long blink", 64, 0, 36300, 1, true, "64k", "10 05"},
        {"past the end", 64, 250000, 240, 0, true, "64k", ""},
        {"not answering", 192, 30000, 240, 0, false, "", ""},
    };
    for (const Case& c : cases) {
        AmpFixture fx;
        fx.player.bitrate = c.bitrate;
        fx.player.position = c.position;
        fx.player.length = c.length;
        fx.player.answering = c.answering;
        ASSERT_EQ(fx.frame(2, true, c.blink), 1) << c.name;
        EXPECT_TRUE(fx.slot_shows(2, c.upper, c.lower))
            << c.name << ": expected " << c.upper << " / " << c.lower;
        if (!c.answering) {
            EXPECT_EQ(fx.player.queries, 1) << "one unanswered question per frame";
        }
    }
}

TEST(AmpModule, ShortPressAnnouncesAgainLongPressWaits) {
    AmpFixture fx;
    fx.frame(3, true);
    notice_free_all(&fx.app->notices);
    fx.app->slots[3].button = 2;
    fx.frame(3, false);
    EXPECT_EQ(fx.app->slots[3].button, 2);
    EXPECT_TRUE(fx.notices().empty());
    fx.app->slots[3].button = 1;
    fx.frame(3, false);
    EXPECT_EQ(fx.app->slots[3].button, 0);
    EXPECT_EQ(fx.notices(), std::vector<std::string>{"1. Band - Tune"});
}

} // namespace
