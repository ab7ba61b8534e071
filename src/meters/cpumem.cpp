// CPU and memory meter: the portable part (sample folding, bar layout, drawing).
#include "meters/cpumem.h"

#include <cstdlib>
#include <cstring>

#include "draw/draw.h"

namespace {

constexpr int kBarLeft = 19;  // first column of every bar
constexpr int kBarRight = 78; // right-hand bars of the four-bar layout grow leftwards from here

// "CPU" over "MEM", dark letters on lit ground, 19 x 13 at (0, 8).
const char kLabel[] = " XXXXXXXXXXXXXXXXX "
                      "XX    X    XX XXX X"
                      "X XXXXX XXX X XXX X"
                      "X XXXXX    XX XXX X"
                      "X XXXXX XXXXX XXX X"
                      "XX    X XXXXXX   XX"
                      " XXXXXXXXXXXXXXXXX "
                      "X XXX X     X XXX X"
                      "X  X  X XXXXX  X  X"
                      "X X X X   XXX X X X"
                      "X XXX X XXXXX XXX X"
                      "X XXX X     X XXX X"
                      " XXXXXXXXXXXXXXXXX ";
static_assert(sizeof kLabel == 19 * 13 + 1, "label block is 19 x 13");

void hline(LcdBitmap* frame, int y, int x0, int x1) {
    for (int x = x0; x <= x1; ++x)
        draw_pixel(frame, x, y);
}

// len pixels rightwards from kBarLeft.
void bar_right(LcdBitmap* frame, int y, int32_t len) {
    hline(frame, y, kBarLeft, kBarLeft + len - 1);
}

// len pixels leftwards from kBarRight.
void bar_left(LcdBitmap* frame, int y, int32_t len) {
    hline(frame, y, kBarRight - len + 1, kBarRight);
}

int64_t read_le64(const uint8_t* p) {
    uint64_t v = 0;
    for (int i = 7; i >= 0; --i)
        v = (v << 8) | p[i];
    return static_cast<int64_t>(v);
}

} // namespace

bool cpumem_setup(CpuMeter* meter, int32_t processors) {
    cpumem_release(meter);
    if (processors < 1)
        processors = 1;
    // Bounded so the byte count fits the query's 32-bit length.
    if (processors > 65536)
        processors = 65536;
    size_t bytes = static_cast<size_t>(processors) * CPU_RECORD_BYTES;
    meter->history = static_cast<int32_t(*)[CPU_HISTORY]>(
        calloc(static_cast<size_t>(processors), sizeof *meter->history));
    meter->sample = static_cast<uint8_t*>(calloc(bytes, 1));
    meter->previous = static_cast<uint8_t*>(calloc(bytes, 1));
    if (!meter->history || !meter->sample || !meter->previous) {
        cpumem_release(meter);
        return false;
    }
    meter->processors = processors;
    meter->sample_bytes = static_cast<uint32_t>(bytes);
    return true;
}

void cpumem_release(CpuMeter* meter) {
    free(meter->history);
    free(meter->sample);
    free(meter->previous);
    meter->history = nullptr;
    meter->sample = nullptr;
    meter->previous = nullptr;
    meter->sample_bytes = 0;
}

int32_t cpumem_scaled_idle(int64_t idle, int64_t total) {
    if (total == 0)
        return 0;
    int64_t v = idle * CPU_BAR_MAX / total;
    // Counters that ran backwards or idle beyond the total must not stretch a bar
    // past its 59 columns.
    if (v < 0)
        return 0;
    if (v > CPU_BAR_MAX)
        return CPU_BAR_MAX;
    return static_cast<int32_t>(v);
}

int32_t cpumem_bar_length(const int32_t history[CPU_HISTORY]) {
    return CPU_BAR_MAX - (history[0] + history[1] + history[2]) / CPU_HISTORY;
}

bool cpumem_take_sample(CpuMeter* meter, int32_t status, uint32_t returned) {
    if (!meter->sample || status < 0)
        return false;
    if (returned / CPU_RECORD_BYTES < static_cast<uint32_t>(meter->processors))
        return false;
    for (int32_t i = 0; i < meter->processors; ++i) {
        const uint8_t* now = meter->sample + i * CPU_RECORD_BYTES;
        const uint8_t* before = meter->previous + i * CPU_RECORD_BYTES;
        int64_t idle = read_le64(now) - read_le64(before);
        int64_t total = (read_le64(now + 8) - read_le64(before + 8)) +
                        (read_le64(now + 16) - read_le64(before + 16));
        int32_t* h = meter->history[i];
        h[2] = h[1];
        h[1] = h[0];
        h[0] = cpumem_scaled_idle(idle, total);
    }
    memcpy(meter->previous, meter->sample, meter->sample_bytes);
    return true;
}

void cpumem_draw_frame(LcdBitmap* frame) {
    draw_picture(frame, 0, 0, 8, 19, 13, kLabel);
    hline(frame, 8, 2, 77);
    hline(frame, 14, 2, 77);
    hline(frame, 20, 2, 77);
    for (int y = 9; y <= 13; ++y)
        draw_pixel(frame, 78, y);
    for (int y = 15; y <= 19; ++y)
        draw_pixel(frame, 78, y);
}

void cpumem_draw_bars(const CpuMeter* meter, LcdBitmap* frame) {
    const int32_t n = meter->processors;
    if (!meter->history || n < 1)
        return;
    if (n <= 3) {
        int32_t total = 0;
        int32_t len[3] = {0, 0, 0};
        for (int32_t i = 0; i < n; ++i) {
            len[i] = cpumem_bar_length(meter->history[i]);
            total += len[i];
        }
        int32_t average = total / n;
        if (n == 1) {
            bar_right(frame, 10, len[0]);
            bar_right(frame, 11, average);
            bar_right(frame, 12, len[0]);
        } else if (n == 2) {
            bar_right(frame, 10, len[0]);
            bar_right(frame, 11, average);
            bar_right(frame, 12, len[1]);
        } else {
            bar_right(frame, 10, len[0]);
            bar_right(frame, 11, len[1]);
            bar_right(frame, 12, len[2]);
        }
        return;
    }
    // Four bars: with exactly four processors one each, beyond that one group each.
    int64_t group_sum[4] = {0, 0, 0, 0};
    int32_t group_count[4] = {0, 0, 0, 0};
    int64_t total = 0;
    for (int32_t p = 0; p < n; ++p) {
        int32_t len = cpumem_bar_length(meter->history[p]);
        int g = static_cast<int>(static_cast<int64_t>(p) * 4 / n);
        group_sum[g] += len;
        group_count[g] += 1;
        total += len;
    }
    int32_t bar[4];
    for (int g = 0; g < 4; ++g)
        bar[g] = static_cast<int32_t>(group_sum[g] / group_count[g]);
    int32_t average = static_cast<int32_t>(total / n);
    bar_right(frame, 10, (bar[0] + 1) / 2);
    bar_left(frame, 10, (bar[1] + 1) / 2);
    bar_right(frame, 11, (average + 1) / 2);
    bar_left(frame, 11, (average + 1) / 2);
    bar_right(frame, 12, (bar[2] + 1) / 2);
    bar_left(frame, 12, (bar[3] + 1) / 2);
}

void cpumem_draw_memory(LcdBitmap* frame, uint32_t load) {
    if (load > 100)
        load = 100;
    int32_t m = static_cast<int32_t>(load * CPU_BAR_MAX / 100);
    for (int y = 16; y <= 18; ++y)
        bar_right(frame, y, m);
}

void cpumem_render(CpuMeter* meter, LcdBitmap* frame, bool queried, int32_t status,
                   uint32_t returned, uint32_t memory_load) {
    cpumem_draw_frame(frame);
    if (queried && cpumem_take_sample(meter, status, returned))
        cpumem_draw_bars(meter, frame);
    cpumem_draw_memory(frame, memory_load);
}
