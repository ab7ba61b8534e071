// Top line: date and time placement, the envelopes, the many-mail mark, the
// look-back time, and the unread-mail refresh against a fake shell.
#include <gtest/gtest.h>

#include <algorithm>
#include <climits>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "core/app.h"
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

// ---- the unread-mail refresh, against a fake shell ----

constexpr int64_t kNow = 133000000000000000LL; // a file time
constexpr int64_t kDay = 864000000000LL;

struct FakeShell {
    bool time_ok = true;
    int32_t result = 0;  // what the shell answers
    uint32_t answer = 0; // the count it reports
    int calls = 0;
    void* fn = nullptr; // what the refresh passed
    bool had_address = false;
    std::string address;
    int64_t since = 0;
};

void fake_read_now(void* ctx, const GeneralSettings*, TopLineNow* now) {
    auto* f = static_cast<FakeShell*>(ctx);
    snprintf(now->date, sizeof now->date, "%s", "Tue 2026-12-08");
    snprintf(now->time, sizeof now->time, "%s", "14:03:07");
    now->file_time = f->time_ok ? kNow : 0;
    now->file_time_ok = f->time_ok;
}

int32_t fake_unread_mail(void* ctx, void* fn, const char* address, int64_t since, uint32_t* count) {
    auto* f = static_cast<FakeShell*>(ctx);
    ++f->calls;
    f->fn = fn;
    f->had_address = address != nullptr;
    f->address = address ? address : "";
    f->since = since;
    *count = f->answer;
    return f->result;
}

int g_shell_function; // stands for the looked-up SHGetUnreadMailCountW

struct TopLineFixture {
    FakeShell shell;
    TopLineHost host{fake_read_now, fake_unread_mail, &shell};
    std::unique_ptr<App> app = std::make_unique<App>();
    TopLineFixture(const char* address, int32_t days) {
        snprintf(app->general.email_address, sizeof app->general.email_address, "%s", address);
        app->general.email_days = days;
        app->topline.host = &host;
        app->topline.get_unread_count = &g_shell_function;
    }
};

TEST(TopLineMail, RefreshAsksTheShellAndKeepsItsCount) {
    const struct {
        const char* name;
        const char* address; // "email_address"
        int32_t days;        // "email_days"
        bool time_ok;
        int32_t result;
        uint32_t answer;
        uint32_t before; // count left by the refresh before
        int calls;
        int64_t since;
        uint32_t unread;
    } cases[] = {
        {"no address: every account", "", 7, true, 0, 3, 0, 1, kNow - 7 * kDay, 3},
        {"address passed", "me@example.org", 7, true, 0, 12, 0, 1, kNow - 7 * kDay, 12},
        {"0 days: from now", "me@example.org", 0, true, 0, 1, 0, 1, kNow, 1},
        {"negative days look forward", "", -1, true, 0, 2, 0, 1, kNow + kDay, 2},
        {"shell fails: 0", "me@example.org", 7, true, static_cast<int32_t>(0x80004005), 5, 9, 1,
         kNow - 7 * kDay, 0},
        {"shell answers S_FALSE: 0", "", 7, true, 1, 5, 9, 1, kNow - 7 * kDay, 0},
        {"time not converted: 0, no call", "", 7, false, 0, 5, 9, 0, 0, 0},
    };
    for (const auto& c : cases) {
        TopLineFixture fx(c.address, c.days);
        fx.shell.time_ok = c.time_ok;
        fx.shell.result = c.result;
        fx.shell.answer = c.answer;
        fx.app->topline.unread_count = c.before;
        TopLineNow now;
        fake_read_now(&fx.shell, &fx.app->general, &now);
        topline_refresh_unread(&fx.app->topline, &fx.app->general, &now);
        EXPECT_EQ(fx.app->topline.unread_count, c.unread) << c.name;
        ASSERT_EQ(fx.shell.calls, c.calls) << c.name;
        if (c.calls == 0)
            continue;
        EXPECT_EQ(fx.shell.fn, &g_shell_function) << c.name;
        EXPECT_EQ(fx.shell.had_address, c.address[0] != '\0') << c.name;
        EXPECT_EQ(fx.shell.address, c.address) << c.name;
        EXPECT_EQ(fx.shell.since, c.since) << c.name;
    }
}

// The shell is asked only on the one-second tick and only when its function was
// found; between refreshes the frame shows the count of the last one.
TEST(TopLineMail, DrawRefreshesOnTheSecondTickOnly) {
    const struct {
        int32_t tick;
        bool found;
        int calls;
        uint32_t shown;
    } cases[] = {{1, true, 1, 3}, {0, true, 0, 9}, {1, false, 0, 9}, {0, false, 0, 9}};
    for (const auto& c : cases) {
        TopLineFixture fx("", 7);
        fx.shell.answer = 3;
        fx.app->topline.unread_count = 9;
        fx.app->frame.one_second_tick = c.tick;
        if (!c.found)
            fx.app->topline.get_unread_count = nullptr;
        topline_draw(fx.app.get());
        EXPECT_EQ(fx.shell.calls, c.calls) << "tick " << c.tick << ", found " << c.found;
        auto expected = std::make_unique<LcdBitmap>();
        topline_render(expected.get(), "Tue 2026-12-08", "14:03:07", c.shown);
        EXPECT_EQ(std::memcmp(fx.app->lcd.frame.pixels, expected->pixels, LCD_PIXELS), 0)
            << "tick " << c.tick << ", found " << c.found;
    }
}

} // namespace
