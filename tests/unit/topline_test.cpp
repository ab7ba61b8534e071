// Top line: date and time placement, the envelopes, the many-mail mark and the
// look-back time for the unread count.
#include <gtest/gtest.h>

#include <algorithm>
#include <climits>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "draw.h"
#include "topline.h"

namespace {

std::unique_ptr<LcdBitmap> blank_frame() {
    auto f = std::make_unique<LcdBitmap>();
    std::memset(f.get(), 0, sizeof *f);
    return f;
}

bool lit(const LcdBitmap& f, int x, int y) {
    return f.pixels[y * LCD_WIDTH + x] != 0;
}

// The block of w x h pixels at (x, y) as text rows, '#' lit.
std::vector<std::string> block(const LcdBitmap& f, int x, int y, int w, int h) {
    std::vector<std::string> rows;
    for (int r = 0; r < h; ++r) {
        std::string s;
        for (int c = 0; c < w; ++c)
            s += lit(f, x + c, y + r) ? '#' : '.';
        rows.push_back(s);
    }
    return rows;
}

const std::vector<std::string> kEnvelope = {
    "#######", "##...##", "#.#.#.#", "#..#..#", "#######",
};

// Columns c0..c1 of the envelope picture.
std::vector<std::string> envelope_columns(int c0, int c1) {
    std::vector<std::string> rows;
    for (const std::string& r : kEnvelope)
        rows.push_back(r.substr(c0, c1 - c0 + 1));
    return rows;
}

int measure(const char* text) {
    return draw_text(blank_frame().get(), TEXT_MEASURE, 0, 0, text);
}

TEST(TopLineText, DateAtLeftTimeEndsAt159) {
    const char* const times[] = {"00:00:00", "09:58:30", "08:00", "0"};
    for (const char* t : times) {
        auto f = blank_frame();
        topline_render(f.get(), "", t, 0);
        const int w = measure(t);
        int first = LCD_WIDTH, last = -1;
        for (int y = 0; y < LCD_HEIGHT; ++y)
            for (int x = 0; x < LCD_WIDTH; ++x)
                if (lit(*f, x, y)) {
                    first = std::min(first, x);
                    last = std::max(last, x);
                    EXPECT_LT(y, 8) << t;
                }
        EXPECT_EQ(first, 161 - w) << t;
        EXPECT_EQ(last, 159) << t;
    }
}

TEST(TopLineText, DateStartsAtColumnZero) {
    auto f = blank_frame();
    topline_render(f.get(), "0000", "", 0);
    int first = LCD_WIDTH, last = -1;
    for (int y = 0; y < 8; ++y)
        for (int x = 0; x < LCD_WIDTH; ++x)
            if (lit(*f, x, y)) {
                first = std::min(first, x);
                last = std::max(last, x);
            }
    EXPECT_EQ(first, 0);
    EXPECT_EQ(last, measure("0000") - 2); // the last advance includes the gap column
}

TEST(TopLineText, NullTextsDrawNothing) {
    auto f = blank_frame();
    topline_render(f.get(), nullptr, nullptr, 0);
    auto blank = blank_frame();
    EXPECT_EQ(std::memcmp(f->pixels, blank->pixels, sizeof f->pixels), 0);
}

TEST(TopLineEnvelope, ColumnRule) {
    struct Case {
        int k, d, w, expected;
    };
    const Case cases[] = {
        {0, 0, 0, 149},  {1, 0, 0, 144},  {2, 0, 40, 99},   {5, 0, 0, 124},  {3, 126, 0, 134},
        {4, 126, 0, -1}, {0, 145, 0, -1}, {0, 144, 0, 149}, {0, 0, 200, -1},
    };
    for (const Case& c : cases)
        EXPECT_EQ(topline_envelope_column(c.k, c.d, c.w), c.expected)
            << "k " << c.k << " d " << c.d << " w " << c.w;
}

struct MailCase {
    const char* name;
    const char* date;
    const char* time;
    uint32_t unread;
    int envelopes;  // expected count; columns are 149 - w - 5k
    int blank_from; // columns blank_from..blank_to in rows 0..7 stay unlit
    int blank_to;
};

class TopLineMail : public ::testing::TestWithParam<MailCase> {};

TEST_P(TopLineMail, EnvelopesRightToLeft) {
    const MailCase& c = GetParam();
    auto f = blank_frame();
    topline_render(f.get(), c.date, c.time, c.unread);
    const int w = measure(c.time);
    for (int k = 0; k < c.envelopes; ++k) {
        const int col = 149 - w - 5 * k;
        const int row = (k % 2) ? 2 : 0;
        // The next envelope covers the two left columns of this one.
        const bool last = k == c.envelopes - 1;
        const int c0 = last ? 0 : 2;
        EXPECT_EQ(block(*f, col + c0, row, 7 - c0, 5), envelope_columns(c0, 6))
            << c.name << " envelope " << k;
        // Above or below it, in the columns no neighbour reaches, nothing is lit.
        for (int y = 0; y < 8; ++y) {
            if (y >= row && y < row + 5)
                continue;
            for (int x = col + 2; x < col + 5; ++x)
                EXPECT_FALSE(lit(*f, x, y))
                    << c.name << " envelope " << k << " at " << x << "," << y;
        }
    }
    for (int y = 0; y < 8; ++y)
        for (int x = c.blank_from; x <= c.blank_to; ++x)
            EXPECT_FALSE(lit(*f, x, y)) << c.name << " at " << x << "," << y;
}

// "0" is 5 wide plus the gap: 21 zeros measure 126, so d + 4 = 130.
const MailCase kMailCases[] = {
    {"none", "", "", 0, 0, 0, 159},
    {"one", "", "", 1, 1, 0, 148},
    {"three_with_time", "0000", "00:00:00", 3, 3, 24, 98},
    {"six_short_date", "0", "", 6, 6, 6, 123},
    {"six_long_date", "000000000000000000000", "", 6, 4, 126, 133},
    {"six_date_reaching_first", "0000000000000000000000000", "", 6, 0, 150, 159},
    {"five_long_time", "", "00:00:00 00:00", 5, 5, 0, 60}, // w 68: columns 81..61
};

INSTANTIATE_TEST_SUITE_P(Counts, TopLineMail, ::testing::ValuesIn(kMailCases),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(TopLineMailPicture, ThreeEnvelopesOverlapExactly) {
    auto f = blank_frame();
    topline_render(f.get(), "", "", 3);
    // Envelopes at (149, 0), (144, 2), (139, 0); each drawn over the one before.
    const std::vector<std::string> expected = {
        "#######...#######", "##...##...##...##", "#.#.#.#######.#.#", "#..#..#...##.#..#",
        "########.#.######", ".....#..#..#.....", ".....#######.....", ".................",
    };
    EXPECT_EQ(block(*f, 139, 0, 17, 8), expected);
}

TEST(TopLineMailPicture, EnvelopeIsOpaque) {
    auto f = blank_frame();
    std::memset(f->pixels, 255, sizeof f->pixels);
    topline_draw_mail(f.get(), 1, 0, 0);
    EXPECT_EQ(block(*f, 149, 0, 7, 5), kEnvelope);
    EXPECT_TRUE(lit(*f, 148, 0));
    EXPECT_TRUE(lit(*f, 156, 0));
}

TEST(TopLineManyMail, EnvelopeCrossAndCount) {
    const uint32_t counts[] = {7, 12, 4294967295u};
    const char* const texts[] = {"7", "12", "4294967295"};
    for (int i = 0; i < 3; ++i) {
        auto f = blank_frame();
        topline_draw_mail(f.get(), counts[i], 0, 0);
        EXPECT_EQ(block(*f, 81, 2, 7, 5), kEnvelope) << texts[i];
        EXPECT_EQ(block(*f, 88, 2, 5, 5),
                  (std::vector<std::string>{".....", ".#.#.", "..#..", ".#.#.", "....."}))
            << texts[i];
        // The count, as the small font draws it at column 93.
        auto expected = blank_frame();
        const int w = draw_text(expected.get(), 0, 93, 0, texts[i]);
        EXPECT_EQ(block(*f, 93, 0, w, 8), block(*expected, 93, 0, w, 8)) << texts[i];
        // Nothing else: no envelopes at the right, nothing past the count.
        for (int y = 0; y < 8; ++y)
            for (int x = 93 + w; x < LCD_WIDTH; ++x)
                EXPECT_FALSE(lit(*f, x, y)) << texts[i] << " at " << x << "," << y;
    }
}

TEST(TopLineMailTime, LookBack) {
    struct Case {
        int64_t filetime;
        int32_t days;
        int64_t expected;
    };
    const int64_t t = 133000000000000000LL;
    const Case cases[] = {
        {t, 0, t},
        {t, 7, t - 6048000000000LL},
        {t, 1, t - 864000000000LL},
        {t, -1, t + 864000000000LL},
        {t, 10000, t - 8640000000000000LL},
        {100, 1, 0},       // before the file-time origin
        {t, INT32_MAX, 0}, // days beyond the 64-bit range
        {t, INT32_MIN, INT64_MAX},
        {INT64_MAX - 5, -1, INT64_MAX},
    };
    for (const Case& c : cases)
        EXPECT_EQ(topline_mail_filetime(c.filetime, c.days), c.expected)
            << c.filetime << " days " << c.days;
}

} // namespace
