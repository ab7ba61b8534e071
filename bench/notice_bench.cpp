// Cost of the notice band per frame: one step of a scrolling notice, and a keyed
// replacement of the shown notice (a track title changing).
#include <benchmark/benchmark.h>

#include <cstring>
#include <string>

#include "draw/draw.h"
#include "draw/notice.h"

namespace {

// A text far wider than the screen, so the notice keeps scrolling.
const std::string kWideText(400, 'W');

void BM_NoticeStepScrolling(benchmark::State& state) {
    NoticeQueue q{};
    LcdBitmap frame{};
    uint32_t now = 0;
    post_notice(&q, now, NOTICE_TRACK, 1, "%s", kWideText.c_str());
    for (auto _ : state) {
        now += 100;
        // Restart from the left before the text's end comes on screen.
        if (q.scroll_offset > 1600)
            post_notice(&q, now, NOTICE_TRACK, 1, "%s", kWideText.c_str());
        benchmark::DoNotOptimize(notice_step(&q, &frame, now));
        benchmark::ClobberMemory();
    }
    notice_free_all(&q);
}
BENCHMARK(BM_NoticeStepScrolling);

void BM_NoticeReplaceShown(benchmark::State& state) {
    NoticeQueue q{};
    uint32_t now = 0;
    post_notice(&q, now, NOTICE_TRACK, 5000, "Artist - Title");
    for (auto _ : state) {
        ++now;
        benchmark::DoNotOptimize(post_notice(&q, now, NOTICE_TRACK, 5000, "%s - %s (%d)", "Artist",
                                             "A rather long title of a track", 42));
    }
    notice_free_all(&q);
}
BENCHMARK(BM_NoticeReplaceShown);

void BM_NoticeFrameWithPost(benchmark::State& state) {
    // A frame in which a module posts its title and the band is drawn: the steady
    // state of a scrolling track title.
    NoticeQueue q{};
    LcdBitmap frame{};
    uint32_t now = 0;
    for (auto _ : state) {
        now += 100;
        post_notice(&q, now, NOTICE_TRACK, 1, "%s", kWideText.c_str());
        benchmark::DoNotOptimize(notice_step(&q, &frame, now));
        memset(frame.pixels, 0, sizeof frame.pixels);
    }
    notice_free_all(&q);
}
BENCHMARK(BM_NoticeFrameWithPost);

} // namespace

// The benchmark binary's entry point. Weak, so that another benchmark file may bring
// its own without a clash.
__attribute__((weak)) int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv))
        return 1;
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
