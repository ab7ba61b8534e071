// CPU and memory meter (columns 0..78, rows 8..20).
//
// One bar per processor for one to four processors, the average over all of them,
// and the physical memory load. On machines with more than four processors the
// same four-bar layout shows groups: processor p belongs to bar p * 4 / n, each bar
// is the mean of its group's bar lengths, and the average line covers all n.
// The history is kept per processor (all of them), so a group's bar is the mean of
// its processors' smoothed lengths.
#pragma once
#include <cstddef>
#include <cstdint>

struct LcdBitmap;

constexpr int CPU_RECORD_BYTES = 48; // one processor record of query class 8
constexpr int CPU_BAR_MAX = 59;      // longest bar, columns 19..77
constexpr int CPU_HISTORY = 3;       // scaled idle values kept per processor
constexpr int CPU_QUERY_CLASS = 8;   // SystemProcessorPerformanceInformation

struct CpuMeter {
    void* ntdll;
    int32_t processors; // as reported at start-up
    void* query;        // NtQuerySystemInformation or null
    // Buffers sized for all processors, taken once at start-up and never per frame;
    // null when the meter could not be set up (the CPU rows then stay empty).
    int32_t (*history)[CPU_HISTORY]; // per processor, newest first; 0 at start-up
    uint8_t* sample;                 // the query writes here
    uint8_t* previous;               // the last good sample; zero at start-up
    uint32_t sample_bytes;           // processors * 48
};

// Windows glue (cpumem_win.cpp).
int cpumem_init(CpuMeter* meter);
void cpumem_draw(CpuMeter* meter, LcdBitmap* frame);
void cpumem_close(CpuMeter* meter);

// Portable part, shared by the glue, the tests and the benchmarks.

// Takes the buffers for `processors` processors (at least 1) and zeroes history and
// previous sample. False (and nothing held) when memory is short.
bool cpumem_setup(CpuMeter* meter, int32_t processors);
// Frees what cpumem_setup took.
void cpumem_release(CpuMeter* meter);

// Folds meter->sample into the history when the query succeeded (status >= 0) and
// returned a record for every processor; then the sample becomes the previous one.
// On failure history and previous sample stay as they were and false is returned.
bool cpumem_take_sample(CpuMeter* meter, int32_t status, uint32_t returned);
// Scaled idle value of one processor between two samples, 0..59: idle * 59 / total,
// 0 when the busy counters did not advance.
// (idle 0, total 100) -> 0; (50, 100) -> 29; (100, 100) -> 59; (5, 0) -> 0; (-5, 10) -> 0
int32_t cpumem_scaled_idle(int64_t idle, int64_t total);
// Bar length of one processor from its history: 59 - (h0 + h1 + h2) / 3.
// {0,0,0} -> 59; {59,59,59} -> 0; {59,0,0} -> 40
int32_t cpumem_bar_length(const int32_t history[CPU_HISTORY]);
// Label block, frame lines and right edges.
void cpumem_draw_frame(LcdBitmap* frame);
// CPU bars and average line from the history, laid out by processor count.
void cpumem_draw_bars(const CpuMeter* meter, LcdBitmap* frame);
// Memory bar: load * 59 / 100 pixels (load above 100 counts as 100) in rows 16..18.
// 0 -> 0 px; 50 -> 29 px; 100 -> 59 px
void cpumem_draw_memory(LcdBitmap* frame, uint32_t load);
// One frame of the meter once the query has run (queried = false: no query function).
void cpumem_render(CpuMeter* meter, LcdBitmap* frame, bool queried, int32_t status,
                   uint32_t returned, uint32_t memory_load);
