// Shared media lines (bitrate, playing time) and the iTunes track text.
#include <gtest/gtest.h>

#include <climits>
#include <cstring>
#include <string>

#include "modules/media_text.h"
#include "modules/mod_tun.h"

namespace {

TEST(MediaText, BitrateLine) {
    struct Case {
        int32_t kbps;
        const char* text;
    } cases[] = {
        {192, "192k"}, {1, "1k"}, {0, ""}, {-5, ""}, {INT32_MAX, "2147483647k"},
    };
    for (const Case& c : cases) {
        char out[16];
        memset(out, 'x', sizeof out);
        EXPECT_EQ(media_bitrate_text(out, sizeof out, c.kbps), strlen(c.text)) << c.kbps;
        EXPECT_STREQ(out, c.text) << c.kbps;
    }
}

TEST(MediaText, TimeLine) {
    struct Case {
        int64_t seconds;
        int32_t blink;
        const char* text;
    } cases[] = {
        {0, 0, "0:00"},
        {9, 1, "0:09"},
        {210, 0, "3:30"},   // a 4-minute song 30 seconds in
        {3599, 1, "59:59"}, // minutes are not padded below an hour
        {3600, 0, "1:00:00"},
        {7140, 0, "1:59:00"}, // a two-hour film 1 minute in
        {35999, 1, "9:59:59"},
        {36000, 0, "10:00"}, // from ten hours: hours and minutes, the colon blinks
        {36000, 1, "10 00"},
        {36059, 0, "10:00"},
        {360000, 1, "100 00"},
        {int64_t{INT32_MAX} + 4294967, 0, "597716:16"},
        {-1, 0, ""},
        {INT64_MIN, 1, ""},
    };
    for (const Case& c : cases) {
        char out[32];
        memset(out, 'x', sizeof out);
        EXPECT_EQ(media_time_text(out, sizeof out, c.seconds, c.blink), strlen(c.text))
            << c.seconds;
        EXPECT_STREQ(out, c.text) << c.seconds;
    }
}

TEST(MediaText, CutToTheBuffer) {
    char out[4];
    EXPECT_EQ(media_time_text(out, sizeof out, 7140, 0), 3u);
    EXPECT_STREQ(out, "1:5");
    EXPECT_EQ(media_bitrate_text(out, sizeof out, 12345), 3u);
    EXPECT_STREQ(out, "123");
    out[0] = 'x';
    EXPECT_EQ(media_time_text(out, 0, 7140, 0), 0u);
    EXPECT_EQ(out[0], 'x');
}

TEST(TunText, ArtistAndName) {
    const std::string a252(252, 'a'), a253(253, 'b'), a300(300, 'c'), n300(300, 'n');
    struct Case {
        std::string artist, name, text;
    } cases[] = {
        {"Artist", "Song", "Artist - Song"},
        {"", "Song", " - Song"}, // no artist: the separator stays
        {"Artist", "", "Artist - "},
        {"", "", " - "},
        {"100% %s%n", "50%", "100% %s%n - 50%"},
        {"Abc", n300, "Abc - " + n300.substr(0, 249)}, // cut to 255
        {a252, "Song", a252 + " - "},                  // room for the separator only
        {a253, "Song", a253},                          // the artist alone
        {a300, "Song", a300.substr(0, 255)},
    };
    for (const Case& c : cases) {
        char out[TUN_TEXT];
        memset(out, 'Q', sizeof out);
        size_t n = tun_track_text(out, c.artist.c_str(), c.name.c_str());
        EXPECT_EQ(std::string(out), c.text) << c.artist.size() << " " << c.name.size();
        EXPECT_EQ(n, c.text.size()) << c.artist.size() << " " << c.name.size();
    }
}

} // namespace
