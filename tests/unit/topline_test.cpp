// Top line: date and time placement, the envelopes, the many-mail mark and the
// look-back time for the unread count.
#include <gtest/gtest.h>

#include <algorithm>
#include <climits>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "draw/draw.h"
#include "screen/topline.h"

namespace {

bool lit(const LcdBitmap& f, int x, int y) {
    return f.pixels[y * LCD_WIDTH + x] != 0;
}

// The w x h block at (x, y) as text rows, '#' lit.
std::vector<std::string> block(const LcdBitmap& f, int x, int y, int w, int h) {
    std::vector<std::string> rows(h);
    for (int r = 0; r < h; ++r)
        for (int c = 0; c < w; ++c)
            rows[r] += lit(f, x + c, y + r) ? '#' : '.';
    return rows;
}

const std::vector<std::string> kEnvelope = {"#######", "##...##", "#.#.#.#", "#..#..#", "#######"};

int measure(const char* text) {
    LcdBitmap scratch{};
    return draw_text(&scratch, TEXT_MEASURE, 0, 0, text);
}

TEST(TopLine, TimeEndsAtColumn159) {
    for (const char* t : {"00:00:00", "09:58:30", "0"}) {
        auto f = std::make_unique<LcdBitmap>();
        topline_render(f.get(), "", t, 0);
        int first = LCD_WIDTH, last = -1;
        for (int i = 0; i < LCD_PIXELS; ++i)
            if (f->pixels[i]) {
                EXPECT_LT(i / LCD_WIDTH, 8) << t;
                first = std::min(first, i % LCD_WIDTH);
                last = std::max(last, i % LCD_WIDTH);
            }
        EXPECT_EQ(first, 161 - measure(t)) << t;
        EXPECT_EQ(last, 159) << t;
    }
}

TEST(TopLine, EnvelopesRightToLeft) {
    // "0" is 5 wide plus its gap; "00:00:00" measures 40, "00:00:00 00:00" 68.
    const struct {
        const char* date;
        const char* time;
        uint32_t unread;
        int envelopes;  // at columns 149 - w - 5k, rows 0, 2, 0 ...
        int blank_from; // columns blank_from..blank_to of rows 0..7 stay unlit
        int blank_to;
    } cases[] = {
        {"", "", 0, 0, 0, 159},
        {"", "", 1, 1, 0, 148},
        {"0000", "00:00:00", 3, 3, 24, 98},
        {"0", "", 6, 6, 6, 123},
        {"000000000000000000000", "", 6, 4, 126, 133},   // d 126: stops before d + 4
        {"000000000000000000000::", "", 6, 3, 130, 138}, // d 130: none at d + 4
        {"0000000000000000000000000", "", 6, 0, 150, 159},
        {"", "00:00:00 00:00", 5, 5, 0, 60},
    };
    for (const auto& c : cases) {
        auto f = std::make_unique<LcdBitmap>();
        topline_render(f.get(), c.date, c.time, c.unread);
        const int w = measure(c.time);
        for (int k = 0; k < c.envelopes; ++k) {
            // The next envelope covers this one's two left columns.
            const int c0 = k == c.envelopes - 1 ? 0 : 2;
            std::vector<std::string> expected;
            for (const std::string& r : kEnvelope)
                expected.push_back(r.substr(c0));
            EXPECT_EQ(block(*f, 149 - w - 5 * k + c0, k % 2 ? 2 : 0, 7 - c0, 5), expected)
                << c.unread << " unread, envelope " << k;
        }
        for (int y = 0; y < 8; ++y)
            for (int x = c.blank_from; x <= c.blank_to; ++x)
                EXPECT_FALSE(lit(*f, x, y)) << c.unread << " unread at " << x << "," << y;
    }
}

TEST(TopLine, OpaqueEnvelopesOverlap) {
    auto f = std::make_unique<LcdBitmap>();
    topline_render(f.get(), "", "", 3); // envelopes at (149, 0), (144, 2), (139, 0)
    const std::vector<std::string> expected = {
        "#######...#######", "##...##...##...##", "#.#.#.#######.#.#", "#..#..#...##.#..#",
        "########.#.######", ".....#..#..#.....", ".....#######.....", "................."};
    EXPECT_EQ(block(*f, 139, 0, 17, 8), expected);
}

TEST(TopLine, ManyMailMark) {
    const struct {
        uint32_t unread;
        const char* text;
    } cases[] = {{7, "7"}, {12, "12"}, {4294967295u, "4294967295"}};
    for (const auto& c : cases) {
        auto f = std::make_unique<LcdBitmap>();
        topline_draw_mail(f.get(), c.unread, 0, 0);
        EXPECT_EQ(block(*f, 81, 2, 7, 5), kEnvelope) << c.text;
        EXPECT_EQ(block(*f, 88, 2, 5, 5),
                  (std::vector<std::string>{".....", ".#.#.", "..#..", ".#.#.", "....."}))
            << c.text;
        auto expected = std::make_unique<LcdBitmap>();
        const int w = draw_text(expected.get(), 0, 93, 0, c.text);
        EXPECT_EQ(block(*f, 93, 0, LCD_WIDTH - 93, 8), block(*expected, 93, 0, LCD_WIDTH - 93, 8))
            << c.text << ", " << w << " wide";
    }
}

TEST(TopLine, MailLookBack) {
    const int64_t t = 133000000000000000LL;
    const struct {
        int64_t filetime;
        int32_t days;
        int64_t expected;
    } cases[] = {
        {t, 0, t},
        {t, 7, t - 6048000000000LL},
        {t, -1, t + 864000000000LL},
        {100, 1, 0},               // before the file-time origin
        {t, INT32_MAX, 0},         // beyond 64 bits
        {t, INT32_MIN, INT64_MAX}, // beyond 64 bits, forward
        {INT64_MAX - 5, -1, INT64_MAX},
    };
    for (const auto& c : cases)
        EXPECT_EQ(topline_mail_filetime(c.filetime, c.days), c.expected) << c.days << " days";
}

} // namespace
