// CPU and memory meter: sample folding, bar layouts for one to many processors, the
// memory bar and the label block, pixel by pixel.
#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "draw/draw.h"
#include "meters/cpumem.h"

namespace {

// A meter fed with synthetic counters: per frame every processor runs 1000 units,
// of which `idle` are idle (kernel time includes idle time, as the system counts).
struct Feed {
    CpuMeter meter{};
    std::vector<int64_t> idle, kernel, user;

    explicit Feed(int n) : idle(n), kernel(n), user(n) { EXPECT_TRUE(cpumem_setup(&meter, n)); }
    ~Feed() { cpumem_release(&meter); }

    void put(int p, int off, int64_t v) {
        uint8_t* rec = meter.sample + p * CPU_RECORD_BYTES + off;
        for (int i = 0; i < 8; ++i)
            rec[i] = static_cast<uint8_t>(static_cast<uint64_t>(v) >> (8 * i));
    }
    // Advances the counters by one frame with per-mille idle shares and folds it.
    bool frame(const std::vector<int>& idle_permille) {
        for (int p = 0; p < meter.processors; ++p) {
            int share = idle_permille[static_cast<size_t>(p) % idle_permille.size()];
            idle[p] += share;
            kernel[p] += share + (1000 - share) / 2;
            user[p] += (1000 - share) - (1000 - share) / 2;
            put(p, 0, idle[p]);
            put(p, 8, kernel[p]);
            put(p, 16, user[p]);
            // Bytes 24..47 are not counters: garbage there must change nothing.
            memset(meter.sample + p * CPU_RECORD_BYTES + 24, 0xA5, 24);
        }
        return cpumem_take_sample(&meter, 0, meter.sample_bytes);
    }
};

std::unique_ptr<LcdBitmap> blank() {
    auto f = std::make_unique<LcdBitmap>();
    memset(f.get(), 0, sizeof *f);
    return f;
}

// Lit columns of a row from column x0 on as "a-b" runs; touching runs merge, so
// bars 19..48 and 49..78 read "19-78".
std::string runs(const LcdBitmap& f, int y, int x0 = 0) {
    std::string out;
    int x = x0;
    while (x < LCD_WIDTH) {
        if (!f.pixels[y * LCD_WIDTH + x]) {
            ++x;
            continue;
        }
        int a = x;
        while (x < LCD_WIDTH && f.pixels[y * LCD_WIDTH + x])
            ++x;
        if (!out.empty())
            out += ",";
        out += std::to_string(a) + "-" + std::to_string(x - 1);
    }
    return out;
}

int lit_outside_rows(const LcdBitmap& f, int y0, int y1) {
    int n = 0;
    for (int i = 0; i < LCD_PIXELS; ++i) {
        int y = i / LCD_WIDTH;
        if ((y < y0 || y > y1) && f.pixels[i])
            ++n;
    }
    return n;
}

TEST(CpuScale, ScaledIdleAndBarLength) {
    struct Case {
        int64_t idle, total;
        int32_t expected;
    } cases[] = {
        {0, 1000, 0}, {500, 1000, 29},  {1000, 1000, 59}, {5, 0, 0},
        {-5, 10, 0},  {2000, 1000, 59}, {999, 1000, 58},  {int64_t(1) << 50, int64_t(1) << 51, 29},
    };
    for (const Case& c : cases)
        EXPECT_EQ(cpumem_scaled_idle(c.idle, c.total), c.expected) << c.idle << "/" << c.total;

    struct Hist {
        int32_t h[3];
        int32_t expected;
    } hist[] = {{{0, 0, 0}, 59}, {{59, 59, 59}, 0}, {{59, 0, 0}, 40}, {{29, 29, 29}, 30}};
    for (const Hist& c : hist)
        EXPECT_EQ(cpumem_bar_length(c.h), c.expected);
}

struct LayoutCase {
    const char* name;
    int processors;
    std::vector<int> idle_permille; // per processor, repeated when shorter
    int frames;
    const char* row10;
    const char* row11;
    const char* row12;
};

class CpuLayout : public ::testing::TestWithParam<LayoutCase> {};

TEST_P(CpuLayout, DrawsBarsByProcessorCount) {
    const LayoutCase& c = GetParam();
    Feed feed(c.processors);
    for (int i = 0; i < c.frames; ++i)
        ASSERT_TRUE(feed.frame(c.idle_permille));
    auto f = blank();
    cpumem_draw_bars(&feed.meter, f.get());
    EXPECT_EQ(runs(*f, 10), c.row10);
    EXPECT_EQ(runs(*f, 11), c.row11);
    EXPECT_EQ(runs(*f, 12), c.row12);
    EXPECT_EQ(lit_outside_rows(*f, 10, 12), 0);
}

// A busy processor has idle 0 (bar 59), an idle one 1000 (bar 0), half 500 (bar 30).
INSTANTIATE_TEST_SUITE_P(
    Processors, CpuLayout,
    ::testing::Values(
        LayoutCase{"one_busy", 1, {0}, 3, "19-77", "19-77", "19-77"},
        // The history starts at 0 (full load) and settles over three frames.
        LayoutCase{"one_idle_first_frame", 1, {1000}, 1, "19-58", "19-58", "19-58"},
        LayoutCase{"one_idle_settled", 1, {1000}, 3, "", "", ""},
        LayoutCase{"two_idle_and_busy", 2, {1000, 0}, 3, "", "19-47", "19-77"},
        LayoutCase{"three_no_average", 3, {0, 500, 1000}, 3, "19-77", "19-48", ""},
        LayoutCase{"four_busy_solid", 4, {0}, 3, "19-78", "19-78", "19-78"},
        LayoutCase{"four_mixed", 4, {0, 1000, 1000, 0}, 3, "19-48", "19-33,64-78", "49-78"},
        // Beyond four: bar g is the mean over processors p with p * 4 / n == g.
        LayoutCase{"eight_groups",
                   8,
                   {0, 0, 1000, 1000, 0, 1000, 0, 0},
                   3,
                   "19-48",
                   "19-36,61-78",
                   "19-33,49-78"},
        LayoutCase{"twelve_groups",
                   12,
                   {0, 0, 0, 1000, 1000, 1000, 500, 500, 500, 0, 0, 0},
                   3,
                   "19-48",
                   "19-37,60-78",
                   "19-33,49-78"},
        LayoutCase{"sixty_four_half", 64, {500}, 3, "19-33,64-78", "19-33,64-78", "19-33,64-78"},
        LayoutCase{"sixty_four_alternating",
                   64,
                   {0, 1000},
                   3,
                   "19-33,64-78",
                   "19-33,64-78",
                   "19-33,64-78"}),
    [](const ::testing::TestParamInfo<LayoutCase>& info) { return info.param.name; });

TEST(CpuSample, FailedQueryKeepsHistoryAndPreviousSample) {
    struct Case {
        const char* name;
        int32_t status;
        uint32_t returned; // in records
        bool taken;
    } cases[] = {
        {"ok", 0, 4, true},
        {"ok_positive_status", 1, 4, true},
        {"error_status", static_cast<int32_t>(0xC0000004u), 4, false},
        {"short_return", 0, 3, false},
        {"nothing_returned", 0, 0, false},
    };
    for (const Case& c : cases) {
        Feed feed(4);
        ASSERT_TRUE(feed.frame({0})); // busy: history {0,0,0}
        std::vector<int32_t> before(&feed.meter.history[0][0], &feed.meter.history[0][0] + 12);
        // The second sample shows the processors idle; a failed query leaves garbage.
        for (int p = 0; p < 4; ++p) {
            feed.idle[p] += 1000;
            feed.kernel[p] += 1000;
            feed.put(p, 0, feed.idle[p]);
            feed.put(p, 8, feed.kernel[p]);
        }
        bool taken = cpumem_take_sample(&feed.meter, c.status, c.returned * CPU_RECORD_BYTES);
        EXPECT_EQ(taken, c.taken) << c.name;
        if (c.taken) {
            EXPECT_EQ(feed.meter.history[0][0], 59) << c.name;
            EXPECT_EQ(feed.meter.history[0][1], 0) << c.name;
        } else {
            std::vector<int32_t> after(&feed.meter.history[0][0], &feed.meter.history[0][0] + 12);
            EXPECT_EQ(after, before) << c.name;
            // The next good sample spans the time since the last good one: 1000
            // idle units, then a busy frame, is half idle (29); measured against
            // the failed sample it would read fully busy (0).
            ASSERT_TRUE(feed.frame({0})) << c.name;
            EXPECT_EQ(feed.meter.history[0][0], 29) << c.name;
        }
    }
}

TEST(CpuRender, NoQueryDrawsFrameAndMemoryOnly) {
    Feed feed(2);
    auto f = blank();
    cpumem_render(&feed.meter, f.get(), false, 0, 0, 50);
    for (int y = 10; y <= 12; ++y)
        EXPECT_EQ(runs(*f, y, 19), "78-78") << y;
    for (int y = 16; y <= 18; ++y)
        EXPECT_EQ(runs(*f, y, 19), "19-47,78-78") << y;

    auto g = blank();
    cpumem_render(&feed.meter, g.get(), true, 0, feed.meter.sample_bytes, 0);
    // A zero sample against a zero previous sample: both processors read full load.
    EXPECT_EQ(runs(*g, 10, 19), "19-78");
}

TEST(CpuRender, MemoryBar) {
    struct Case {
        uint32_t load;
        const char* row;
    } cases[] = {{0, ""}, {1, ""}, {2, "19-19"}, {50, "19-47"}, {100, "19-77"}, {250, "19-77"}};
    for (const Case& c : cases) {
        auto f = blank();
        cpumem_draw_memory(f.get(), c.load);
        for (int y = 16; y <= 18; ++y)
            EXPECT_EQ(runs(*f, y), c.row) << c.load;
        EXPECT_EQ(lit_outside_rows(*f, 16, 18), 0) << c.load;
    }
}

// The label block as printed in the design notes, dots for dark pixels.
const char* const kLabelRows[13] = {
    ".XXXXXXXXXXXXXXXXX.", "XX....X....XX.XXX.X", "X.XXXXX.XXX.X.XXX.X", "X.XXXXX....XX.XXX.X",
    "X.XXXXX.XXXXX.XXX.X", "XX....X.XXXXXX...XX", ".XXXXXXXXXXXXXXXXX.", "X.XXX.X.....X.XXX.X",
    "X..X..X.XXXXX..X..X", "X.X.X.X...XXX.X.X.X", "X.XXX.X.XXXXX.XXX.X", "X.XXX.X.....X.XXX.X",
    ".XXXXXXXXXXXXXXXXX.",
};

TEST(CpuRender, LabelLinesAndEdgesPixelExact) {
    for (uint8_t ground : {uint8_t(0), uint8_t(255)}) {
        auto f = blank();
        // Ground 255 inside the label shows that dark label pixels are cleared.
        for (int y = 8; y <= 20; ++y)
            for (int x = 0; x < 19; ++x)
                f->pixels[y * LCD_WIDTH + x] = ground;
        cpumem_draw_frame(f.get());
        for (int y = 0; y < LCD_HEIGHT; ++y) {
            for (int x = 0; x < LCD_WIDTH; ++x) {
                bool want = false;
                if (y >= 8 && y <= 20 && x < 19)
                    want = kLabelRows[y - 8][x] == 'X';
                if ((y == 8 || y == 14 || y == 20) && x >= 2 && x <= 77)
                    want = true;
                if (x == 78 && ((y >= 9 && y <= 13) || (y >= 15 && y <= 19)))
                    want = true;
                ASSERT_EQ(f->pixels[y * LCD_WIDTH + x], want ? 255 : 0)
                    << "x " << x << " y " << y << " ground " << int(ground);
            }
        }
    }
}

} // namespace
