// CPU and memory meter (columns 0..78, rows 8..20).
#pragma once
#include <cstdint>

struct LcdBitmap;

struct CpuMeter {
    void* ntdll;
    int32_t processors;
    int32_t history[4][3];
    void* query; // NtQuerySystemInformation or null
};

int cpumem_init(CpuMeter* meter);
void cpumem_draw(CpuMeter* meter, LcdBitmap* frame);
void cpumem_close(CpuMeter* meter);
