// Notice queue: phase timing at 10 frames a second, scrolling, keyed replacement, the
// queue limit, the text cut and the tick-counter wrap.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "draw/draw.h"
#include "draw/notice.h"

namespace {

struct Fixture {
    NoticeQueue q{};
    LcdBitmap frame{};
    ~Fixture() { notice_free_all(&q); }
};

int measure(const std::string& t) {
    return draw_text(nullptr, TEXT_LARGE | TEXT_MEASURE, 0, 0, t.c_str());
}

// A text exactly `width` pixels wide in the large font, from at most two characters.
std::string text_of_width(int width) {
    for (char a = 33; a < 127; ++a) {
        for (char b = a; b < 127; ++b) {
            int wa = measure(std::string(1, a)), wb = measure(std::string(1, b));
            for (int na = 0; wa > 0 && wb > 0 && na * wa <= width; ++na) {
                if ((width - na * wa) % wb != 0)
                    continue;
                std::string t = std::string(na, a) + std::string((width - na * wa) / wb, b);
                if (measure(t) == width)
                    return t;
            }
        }
    }
    return {};
}

struct FrameRecord {
    int32_t phase;  // after the step
    int32_t offset; // the text was drawn at x = -offset
};

// Steps a frame every 100 ms from `start` until the queue is empty.
std::vector<FrameRecord> run_frames(Fixture& f, uint32_t start) {
    std::vector<FrameRecord> out;
    for (uint32_t i = 0; i < 2000; ++i) {
        int32_t drawn_at = f.q.phase == 0 ? 0 : f.q.scroll_offset;
        if (!notice_step(&f.q, &f.frame, start + i * 100))
            break;
        out.push_back({f.q.phase, drawn_at});
    }
    return out;
}

TEST(NoticeTiming, FramesUntilTheBandIsFree) {
    struct Case {
        const char* name;
        std::string text;
        int duration;
        size_t frames;       // frames in which the notice is drawn
        int32_t last_offset; // scroll offset while holding the end
    };
    const Case cases[] = {
        // Start-up banner: 1 s, up to three frames, 1 s again: 2.3 s of band.
        {"banner", "LCDKorvane 2.6.7", 1000, 23, 0},
        {"duration 0 is 2 s", "short", 0, 43, 0},
        {"400 pixels", text_of_width(400), 1000, 116, 248},
        {"160 pixels still reach the edge", text_of_width(160), 1000, 26, 8},
        {"159 pixels", text_of_width(159), 1000, 23, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        ASSERT_FALSE(c.text.empty()) << "the font cannot make this width";
        Fixture f;
        EXPECT_EQ(post_notice(&f.q, 5000, NOTICE_BANNER, c.duration, "%s", c.text.c_str()), 1);
        auto frames = run_frames(f, 5000);
        EXPECT_EQ(frames.size(), c.frames);
        ASSERT_FALSE(frames.empty());
        EXPECT_EQ(frames.back().offset, c.last_offset);
        EXPECT_EQ(notice_count(&f.q), 0);
    }
}

TEST(NoticeTiming, WideTextMovesEightColumnsEveryThirdFrame) {
    Fixture f;
    post_notice(&f.q, 0, 0, 1000, "%s", text_of_width(400).c_str());
    auto frames = run_frames(f, 0);
    std::vector<size_t> moves;
    for (size_t i = 1; i < frames.size(); ++i) {
        if (frames[i].offset == frames[i - 1].offset)
            continue;
        EXPECT_EQ(frames[i].offset - frames[i - 1].offset, 8) << "frame " << i;
        moves.push_back(i);
    }
    ASSERT_EQ(moves.size(), 31u);  // 0 -> 248
    EXPECT_EQ(moves.front(), 13u); // 10 frames showing, 3 waiting
    for (size_t i = 1; i < moves.size(); ++i)
        EXPECT_EQ(moves[i] - moves[i - 1], 3u);
}

TEST(NoticeTiming, ScrollWaitCarriesIntoTheNextNotice) {
    // The first notice leaves the scroll wait at 3, so the second one goes from showing
    // straight to holding: 10 + 1 + 10 frames.
    Fixture f;
    post_notice(&f.q, 0, 0, 1000, "first");
    post_notice(&f.q, 0, 0, 1000, "second");
    EXPECT_EQ(run_frames(f, 0).size(), 23u + 21u);
}

TEST(NoticeTiming, TickWrapNeverCutsAPhaseShort) {
    struct Case {
        uint32_t start;
        size_t showing_frames; // frames that end in phase 1 (1000 ms notice)
    };
    const Case cases[] = {
        {1000, 10},        {0xFFFFFFFFu - 1999, 10}, {0xFFFFFFFFu - 49, 11},
        {0xFFFFFF00u, 13}, {0xFFFFFFFFu - 999, 20}, // wraps as the phase would end: counted again
                                                    // from 0
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.start);
        Fixture f;
        post_notice(&f.q, c.start, 0, 1000, "wrap");
        auto frames = run_frames(f, c.start);
        size_t showing = 0;
        while (showing < frames.size() && frames[showing].phase == 1)
            ++showing;
        EXPECT_EQ(showing, c.showing_frames);
    }
}

TEST(NoticeDraw, TextAtTheScrollOffsetEveryFrame) {
    const std::string text = text_of_width(400);
    Fixture f;
    post_notice(&f.q, 0, 0, 300, "%s", text.c_str());
    for (uint32_t i = 0; f.q.first && i < 200; ++i) {
        LcdBitmap expected{};
        draw_text(&expected, TEXT_LARGE, f.q.phase == 0 ? 0 : -f.q.scroll_offset, 8, text.c_str());
        memset(&f.frame, 0, sizeof f.frame);
        ASSERT_TRUE(notice_step(&f.q, &f.frame, i * 100));
        ASSERT_EQ(memcmp(f.frame.pixels, expected.pixels, LCD_PIXELS), 0) << "frame " << i;
        bool lit = false;
        for (uint8_t px : f.frame.pixels)
            lit = lit || px != 0;
        ASSERT_TRUE(lit) << "frame " << i;
    }
    EXPECT_EQ(notice_count(&f.q), 0);
    EXPECT_FALSE(notice_step(&f.q, &f.frame, 100000));
}

TEST(NoticePost, KeyedReplacement) {
    struct Case {
        const char* name;
        int key;
        bool behind_another; // the keyed notice waits behind an unkeyed one
        int frames_before;   // frames stepped before the second post
        int count;
        bool restarted; // phase start = now and scroll offset 0
    };
    const Case cases[] = {
        {"queued", NOTICE_TRACK, true, 5, 2, false},
        {"shown while showing", NOTICE_TRACK, false, 5, 1, true},
        {"shown while scrolling", NOTICE_TRACK, false, 18, 1, true},
        {"unkeyed always queues", NOTICE_UNKEYED, false, 5, 2, false},
    };
    const std::string wide = text_of_width(400);
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Fixture f;
        if (c.behind_another)
            post_notice(&f.q, 0, 0, 1000, "other");
        post_notice(&f.q, 0, c.key, 1000, "%s", wide.c_str());
        for (int i = 0; i < c.frames_before; ++i)
            notice_step(&f.q, &f.frame, i * 100u);
        const NoticeQueue before = f.q;
        const uint32_t now = c.frames_before * 100u + 50;
        EXPECT_EQ(post_notice(&f.q, now, c.key, 3000, "new %s", "text"), c.count);
        EXPECT_EQ(notice_count(&f.q), c.count);
        EXPECT_EQ(f.q.phase, before.phase);
        EXPECT_EQ(f.q.phase_start, c.restarted ? now : before.phase_start);
        EXPECT_EQ(f.q.scroll_offset, c.restarted ? 0 : before.scroll_offset);
        const Notice* last = f.q.first;
        while (last->next)
            last = last->next;
        EXPECT_STREQ(last->text, "new text");
        EXPECT_EQ(last->duration, 3000);
        if (c.frames_before > 12) {
            EXPECT_GT(before.scroll_offset, 0);
        }
    }
}

TEST(NoticePost, QueueLimitDropsEvenReplacements) {
    Fixture f;
    post_notice(&f.q, 0, NOTICE_TRACK, 0, "track A");
    for (int i = 2; i <= NOTICE_MAX; ++i)
        EXPECT_EQ(post_notice(&f.q, 0, 0, 0, "n%d", i), i);
    struct Case {
        int key;
        const char* format;
    };
    for (const Case& c : {Case{0, "61st"}, Case{NOTICE_TRACK, "track B"}, Case{0, nullptr}}) {
        EXPECT_EQ(post_notice(&f.q, 0, c.key, 0, c.format), NOTICE_MAX);
        EXPECT_EQ(notice_count(&f.q), NOTICE_MAX);
    }
    EXPECT_STREQ(f.q.first->text, "track A");
    EXPECT_EQ(f.q.first->duration, 2000);
}

TEST(NoticePost, TextFormatting) {
    const std::string a600(600, 'a'), b511(511, 'b');
    const std::pair<std::string, std::string> cases[] = {
        {"100% %d %s %n done", "100% %d %s %n done"}, // a "%s" argument stays literal
        {a600, std::string(511, 'a')},
        {b511, b511},
        {"", ""},
        {"caf\xe9 \xff", "caf\xe9 \xff"},
    };
    for (const auto& c : cases) {
        Fixture f;
        ASSERT_EQ(post_notice(&f.q, 0, 0, 0, "%s", c.first.c_str()), 1);
        EXPECT_EQ(std::string(f.q.first->text), c.second);
    }
}

TEST(NoticeQueue, FreeAllThenANewNoticeStartsFromTheLeft) {
    Fixture f;
    post_notice(&f.q, 0, 0, 1000, "%s", text_of_width(400).c_str());
    post_notice(&f.q, 0, 1, 0, "queued");
    for (uint32_t i = 0; i < 15; ++i)
        notice_step(&f.q, &f.frame, i * 100);
    ASSERT_GT(f.q.scroll_offset, 0);
    notice_free_all(&f.q);
    EXPECT_EQ(f.q.first, nullptr);
    EXPECT_FALSE(notice_step(&f.q, &f.frame, 1500));
    post_notice(&f.q, 2000, 0, 1000, "again");
    auto frames = run_frames(f, 2000);
    ASSERT_FALSE(frames.empty());
    EXPECT_EQ(frames.front().phase, 1);
    EXPECT_EQ(frames.front().offset, 0);
    EXPECT_EQ(frames.size(), 21u); // the scroll wait (2) carried over
}

} // namespace
