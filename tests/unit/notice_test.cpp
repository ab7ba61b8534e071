// Notice queue: timing of the phases at 10 frames a second, scrolling, keyed
// replacement, the queue limit and the text cut.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "draw.h"
#include "notice.h"

namespace {

constexpr uint32_t kFrame = 100;

struct QueueFixture {
    NoticeQueue q{};
    LcdBitmap frame{};
    ~QueueFixture() { notice_free_all(&q); }
};

int measure(const std::string& text) {
    return draw_text(nullptr, TEXT_LARGE | TEXT_MEASURE, 0, 0, text.c_str());
}

// A text whose large-font width is exactly `width` pixels, made of at most two
// different printable characters. Empty when the font cannot make that width.
std::string text_of_width(int width) {
    for (int a = 33; a < 127; ++a) {
        int wa = measure(std::string(1, static_cast<char>(a)));
        if (wa <= 0)
            continue;
        for (int b = a; b < 127; ++b) {
            int wb = measure(std::string(1, static_cast<char>(b)));
            if (wb <= 0)
                continue;
            for (int na = 0; na * wa <= width; ++na) {
                int rest = width - na * wa;
                if (rest % wb != 0)
                    continue;
                std::string t(static_cast<size_t>(na), static_cast<char>(a));
                t.append(static_cast<size_t>(rest / wb), static_cast<char>(b));
                if (measure(t) == width)
                    return t;
            }
        }
    }
    return {};
}

// What one frame of the queue looked like: the offset the text was drawn at and the
// phase after the step.
struct FrameRecord {
    int32_t phase;
    int32_t offset;
};

// Runs frames every 100 ms from `start` until the queue is empty (bounded).
std::vector<FrameRecord> run_frames(QueueFixture& f, uint32_t start, int max_frames = 2000) {
    std::vector<FrameRecord> out;
    for (int i = 0; i < max_frames; ++i) {
        memset(&f.frame, 0, sizeof f.frame);
        int32_t drawn_at = f.q.phase == 0 ? 0 : f.q.scroll_offset;
        if (!notice_step(&f.q, &f.frame, start + static_cast<uint32_t>(i) * kFrame))
            break;
        out.push_back({f.q.phase, drawn_at});
    }
    return out;
}

TEST(NoticeTiming, FramesUntilTheBandIsFree) {
    struct Case {
        const char* name;
        int width; // 0: use `text`
        const char* text;
        int duration;
        size_t frames;       // frames in which the notice is drawn
        int32_t last_offset; // scroll offset while holding the end
    };
    const Case cases[] = {
        // Start-up banner: 1 s, up to three frames, 1 s again: 2.3 s of band.
        {"banner", 0, "LCDKorvane 2.6.7", 1000, 23, 0},
        {"default duration", 0, "short", 0, 43, 0},
        {"400 pixels", 400, nullptr, 1000, 116, 248},
        // Exactly the screen width still reaches the right edge: one step.
        {"160 pixels", 160, nullptr, 1000, 26, 8},
        {"159 pixels", 159, nullptr, 1000, 23, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        std::string text = c.text ? c.text : text_of_width(c.width);
        ASSERT_FALSE(text.empty()) << "font cannot make width " << c.width;
        QueueFixture f;
        const uint32_t t0 = 5000;
        EXPECT_EQ(post_notice(&f.q, t0, c.text ? NOTICE_BANNER : 0, c.duration, "%s", text.c_str()),
                  1);
        auto frames = run_frames(f, t0);
        EXPECT_EQ(frames.size(), c.frames);
        ASSERT_FALSE(frames.empty());
        EXPECT_EQ(frames.back().offset, c.last_offset);
        EXPECT_EQ(notice_count(&f.q), 0);
        memset(&f.frame, 0, sizeof f.frame);
        EXPECT_FALSE(notice_step(&f.q, &f.frame, t0 + 1000000));
    }
}

TEST(NoticeTiming, WideTextMovesEightColumnsEveryThirdFrame) {
    std::string text = text_of_width(400);
    ASSERT_FALSE(text.empty());
    QueueFixture f;
    post_notice(&f.q, 0, 0, 1000, "%s", text.c_str());
    auto frames = run_frames(f, 0);
    std::vector<size_t> step_frames;
    for (size_t i = 1; i < frames.size(); ++i) {
        int32_t delta = frames[i].offset - frames[i - 1].offset;
        if (delta == 0)
            continue;
        EXPECT_EQ(delta, 8) << "frame " << i;
        step_frames.push_back(i);
    }
    ASSERT_EQ(step_frames.size(), 31u);  // 0 -> 248
    EXPECT_EQ(step_frames.front(), 13u); // 10 frames showing, 3 waiting, then moved
    for (size_t i = 1; i < step_frames.size(); ++i)
        EXPECT_EQ(step_frames[i] - step_frames[i - 1], 3u);
}

TEST(NoticeTiming, ScrollWaitCarriesIntoTheNextNotice) {
    // The first notice leaves the scroll wait at 3, so the second one goes from
    // showing straight to holding: 10 + 1 + 10 frames instead of 23.
    QueueFixture f;
    post_notice(&f.q, 0, 0, 1000, "first");
    post_notice(&f.q, 0, 0, 1000, "second");
    auto frames = run_frames(f, 0);
    EXPECT_EQ(frames.size(), 23u + 21u);
}

TEST(NoticeDraw, FrameHoldsTheTextAtTheScrollOffset) {
    std::string text = text_of_width(400);
    ASSERT_FALSE(text.empty());
    QueueFixture f;
    post_notice(&f.q, 0, 0, 300, "%s", text.c_str());
    LcdBitmap expected{};
    for (uint32_t i = 0; i < 200 && f.q.first; ++i) {
        int32_t offset_before = f.q.first ? f.q.scroll_offset : 0;
        if (f.q.phase == 0)
            offset_before = 0;
        memset(&f.frame, 0, sizeof f.frame);
        memset(&expected, 0, sizeof expected);
        draw_text(&expected, TEXT_LARGE, -offset_before, 8, text.c_str());
        ASSERT_TRUE(notice_step(&f.q, &f.frame, i * kFrame));
        ASSERT_EQ(memcmp(f.frame.pixels, expected.pixels, sizeof expected.pixels), 0)
            << "frame " << i;
        for (int p = 0; p < LCD_PIXELS; ++p) {
            int row = p / LCD_WIDTH;
            if (row < 8 || row > 20) {
                ASSERT_EQ(f.frame.pixels[p], 0) << "row " << row;
            }
        }
    }
    EXPECT_EQ(notice_count(&f.q), 0);
}

TEST(NoticePost, KeyedReplacement) {
    struct Case {
        const char* name;
        int key;
        bool first_is_target; // the notice with the key is on screen
        int frames_before;    // frames stepped before the replacement
        int expected_count;
        bool restarted; // phase start and offset reset
    };
    const Case cases[] = {
        {"queued behind another", NOTICE_TRACK, false, 5, 2, false},
        {"shown while showing", NOTICE_TRACK, true, 5, 1, true},
        {"shown while scrolling", NOTICE_TRACK, true, 18, 1, true},
        {"unkeyed always queues", NOTICE_UNKEYED, true, 5, 2, false},
    };
    std::string wide = text_of_width(400);
    ASSERT_FALSE(wide.empty());
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        QueueFixture f;
        if (!c.first_is_target)
            post_notice(&f.q, 0, 0, 1000, "other");
        post_notice(&f.q, 0, c.key, 1000, "%s", wide.c_str());
        for (int i = 0; i < c.frames_before; ++i)
            notice_step(&f.q, &f.frame, static_cast<uint32_t>(i) * kFrame);
        const int32_t phase = f.q.phase;
        const uint32_t start = f.q.phase_start;
        const int32_t offset = f.q.scroll_offset;
        const uint32_t now = static_cast<uint32_t>(c.frames_before) * kFrame + 50;

        EXPECT_EQ(post_notice(&f.q, now, c.key, 3000, "%s", wide.c_str()), c.expected_count);
        EXPECT_EQ(notice_count(&f.q), c.expected_count);
        EXPECT_EQ(f.q.phase, phase);
        if (c.restarted) {
            EXPECT_EQ(f.q.phase_start, now);
            EXPECT_EQ(f.q.scroll_offset, 0);
            EXPECT_EQ(f.q.first->duration, 3000);
        } else {
            EXPECT_EQ(f.q.phase_start, start);
            EXPECT_EQ(f.q.scroll_offset, offset);
        }
        if (c.frames_before > 12) {
            EXPECT_GT(offset, 0) << "case must replace while scrolled";
        }
    }
}

TEST(NoticePost, ReplacementTextAndRestartedTiming) {
    QueueFixture f;
    post_notice(&f.q, 0, NOTICE_TRACK, 1000, "Old track");
    for (uint32_t t = 0; t <= 500; t += kFrame)
        notice_step(&f.q, &f.frame, t);
    EXPECT_EQ(post_notice(&f.q, 550, NOTICE_TRACK, 1000, "New track"), 1);
    EXPECT_STREQ(f.q.first->text, "New track");
    // Without the restart the showing phase would end at 1000.
    for (uint32_t t = 600; t <= 1500; t += kFrame) {
        notice_step(&f.q, &f.frame, t);
        EXPECT_EQ(f.q.phase, 1) << "t=" << t;
    }
    notice_step(&f.q, &f.frame, 1600);
    EXPECT_EQ(f.q.phase, 2);
}

TEST(NoticePost, QueueLimit) {
    QueueFixture f;
    for (int i = 1; i <= NOTICE_MAX; ++i)
        EXPECT_EQ(post_notice(&f.q, 0, 0, 0, "n%d", i), i);
    post_notice(&f.q, 0, NOTICE_TRACK, 0, "ignored"); // no room, no key to replace
    EXPECT_EQ(notice_count(&f.q), NOTICE_MAX);

    struct Case {
        const char* name;
        int key;
        const char* format;
    };
    const Case cases[] = {
        {"61st unkeyed", 0, "late"},
        {"61st keyed", NOTICE_NET_RESET, "late"},
        {"absent format", 0, nullptr},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(post_notice(&f.q, 0, c.key, 0, c.format), NOTICE_MAX);
        EXPECT_EQ(notice_count(&f.q), NOTICE_MAX);
    }
    // The last queued notice is still the 60th posted.
    const Notice* last = f.q.first;
    while (last->next)
        last = last->next;
    EXPECT_STREQ(last->text, "n60");
    EXPECT_EQ(f.q.first->duration, 2000);
}

TEST(NoticePost, QueueFullAlsoBlocksKeyedReplacement) {
    QueueFixture f;
    post_notice(&f.q, 0, NOTICE_TRACK, 0, "track A");
    for (int i = 2; i <= NOTICE_MAX; ++i)
        post_notice(&f.q, 0, 0, 0, "n%d", i);
    EXPECT_EQ(post_notice(&f.q, 0, NOTICE_TRACK, 0, "track B"), NOTICE_MAX);
    EXPECT_STREQ(f.q.first->text, "track A");
}

TEST(NoticePost, TextFormatting) {
    struct Case {
        const char* name;
        std::string argument;
        std::string expected;
    };
    const std::string long600(600, 'a');
    const std::string exact511(511, 'b');
    const Case cases[] = {
        {"percent signs stay literal", "100% %d %s %n done", "100% %d %s %n done"},
        {"cut to 511", long600, std::string(511, 'a')},
        {"511 stays whole", exact511, exact511},
        {"empty", "", ""},
        {"high bytes kept", "caf\xe9 \xff", "caf\xe9 \xff"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        QueueFixture f;
        ASSERT_EQ(post_notice(&f.q, 0, 0, 0, "%s", c.argument.c_str()), 1);
        EXPECT_EQ(std::string(f.q.first->text), c.expected);
    }
}

TEST(NoticePost, FormatArgumentsAndKeyOrder) {
    QueueFixture f;
    post_notice(&f.q, 0, 2, 0, "%s joined %s", "Ann", "Lobby");
    post_notice(&f.q, 0, 3, 0, "%d players", 12);
    post_notice(&f.q, 0, 2, 0, "%s left", "Ann"); // replaces the first in place
    ASSERT_EQ(notice_count(&f.q), 2);
    EXPECT_STREQ(f.q.first->text, "Ann left");
    EXPECT_STREQ(f.q.first->next->text, "12 players");
}

TEST(NoticeTiming, TickWrapNeverCutsAPhaseShort) {
    struct Case {
        const char* name;
        uint32_t start;
        size_t showing_frames; // frames that end in phase 1
    };
    const Case cases[] = {
        {"no wrap", 1000, 10},
        {"wrap after the phase", 0xFFFFFFFFu - 1999u, 10},
        {"wraps 50 ms in", 0xFFFFFFFFu - 49u, 11},
        {"wraps 256 ms in", 0xFFFFFF00u, 13},
        {"wraps at the end", 0xFFFFFFFFu - 999u, 20},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        QueueFixture f;
        post_notice(&f.q, c.start, 0, 1000, "wrap");
        auto frames = run_frames(f, c.start);
        size_t showing = 0;
        while (showing < frames.size() && frames[showing].phase == 1)
            ++showing;
        EXPECT_EQ(showing, c.showing_frames);
        EXPECT_EQ(notice_count(&f.q), 0);
    }
}

TEST(NoticeQueue, FreeAllEmptiesTheQueue) {
    std::string wide = text_of_width(400);
    ASSERT_FALSE(wide.empty());
    QueueFixture f;
    post_notice(&f.q, 0, 0, 1000, "%s", wide.c_str());
    for (int i = 1; i < 5; ++i)
        post_notice(&f.q, 0, i, 0, "n%d", i);
    for (uint32_t i = 0; i < 15; ++i)
        notice_step(&f.q, &f.frame, i * kFrame);
    ASSERT_GT(f.q.scroll_offset, 0);
    notice_free_all(&f.q);
    EXPECT_EQ(notice_count(&f.q), 0);
    EXPECT_EQ(f.q.first, nullptr);
    EXPECT_FALSE(notice_step(&f.q, &f.frame, 1500));
    // A notice posted afterwards starts from the left in its showing phase; the
    // scroll wait (2) carries over, so it shows 10 + 1 + 10 frames.
    post_notice(&f.q, 2000, 0, 1000, "again");
    EXPECT_EQ(f.q.phase_start, 2000u);
    auto frames = run_frames(f, 2000);
    ASSERT_FALSE(frames.empty());
    EXPECT_EQ(frames.front().phase, 1);
    EXPECT_EQ(frames.front().offset, 0);
    EXPECT_EQ(frames.size(), 21u);
}

} // namespace
