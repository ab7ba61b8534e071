// Native stand-in for the meter's system calls, for the whole-frame benchmark: two
// processors, no processor-time query (the sample buffer keeps what it holds, so each
// frame folds the same sample as a successful query would) and a fixed memory load.
#include "meters/cpumem.h"

int cpumem_init(CpuMeter* meter) {
    meter->ntdll = nullptr;
    meter->query = nullptr;
    return cpumem_setup(meter, 2) ? 1 : 0;
}

void cpumem_draw(CpuMeter* meter, LcdBitmap* frame) {
    const bool have = meter->sample != nullptr;
    cpumem_render(meter, frame, have, 0, have ? meter->sample_bytes : 0, 50);
}

void cpumem_close(CpuMeter* meter) {
    cpumem_release(meter);
}
