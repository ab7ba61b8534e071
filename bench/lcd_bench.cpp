// Per-frame path of the LCD link: the hand-over (6884-byte copy and clear) and four
// soft-button reads. The Windows side adds one uncontended mutex wait and release
// and a semaphore release around these.
#include <benchmark/benchmark.h>

#include <memory>

#include "alloc_count.h"
#include "link/lcd.h"

static void BM_LinkFramePath(benchmark::State& state) {
    auto drawing = std::make_unique<LcdBitmap>();
    auto sending = std::make_unique<LcdBitmap>();
    drawing->format = 1;
    SoftButton buttons[4] = {};
    std::atomic<int32_t> all{0};
    uint32_t now = 1000;
    run_frames(state, [&] {
        drawing->pixels[now % LCD_PIXELS] = 255;
        lcd_hand_over(drawing.get(), sending.get());
        if ((now & 0x3FF) == 0)
            buttons_on_mask(buttons, &all, 1, false, now);
        for (int i = 0; i < 4; ++i)
            benchmark::DoNotOptimize(buttons_classify(&buttons[i], now));
        now += 100;
        benchmark::ClobberMemory();
    });
}
BENCHMARK(BM_LinkFramePath);
