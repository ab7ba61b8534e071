// CPU and memory meter: processor count, processor times from NTDLL, memory load.
#include <windows.h>

#include <cstring>

#include "draw/draw.h"
#include "meters/cpumem.h"
#include "services/util.h"

namespace {

typedef LONG(WINAPI* QueryFn)(ULONG info_class, PVOID buffer, ULONG length, PULONG returned);

// GlobalMemoryStatus fills a 32-byte record in the 32-bit program; a 64-bit build
// of the same sources (the tests' copy) has a 56-byte one, so the record is the
// system's own type and its length field says which.
#ifndef _WIN64
static_assert(sizeof(MEMORYSTATUS) == 32, "GlobalMemoryStatus takes a 32-byte record");
#endif

} // namespace

int cpumem_init(CpuMeter* meter) {
    SYSTEM_INFO info;
    memset(&info, 0, sizeof info);
    GetSystemInfo(&info);
    meter->ntdll = nullptr;
    meter->query = nullptr;
    int32_t processors = static_cast<int32_t>(info.dwNumberOfProcessors);
    if (!cpumem_setup(meter, processors)) {
        meter->processors = processors < 1 ? 1 : processors;
        return 0; // no buffers: the CPU rows stay empty
    }

    HMODULE ntdll = LoadLibraryA("NTDLL.DLL");
    if (!ntdll) {
        log_error("src/cpumem", 37, GetLastError(), "LoadLibrary(\"NTDLL.DLL\") failed");
        SetLastError(0);
        return 0;
    }
    meter->ntdll = ntdll;
    FARPROC query = GetProcAddress(ntdll, "NtQuerySystemInformation");
    if (!query) {
        log_error("src/cpumem", 44, GetLastError(),
                  "Can't get address of NtQuerySystemInformation");
        SetLastError(0);
        return 0;
    }
    meter->query = reinterpret_cast<void*>(query);
    return 1;
}

void cpumem_draw(CpuMeter* meter, LcdBitmap* frame) {
    bool queried = false;
    LONG status = -1;
    ULONG returned = 0;
    if (meter->query && meter->sample) {
        QueryFn query = reinterpret_cast<QueryFn>(meter->query);
        status = query(CPU_QUERY_CLASS, meter->sample, meter->sample_bytes, &returned);
        queried = true;
    }
    MEMORYSTATUS mem;
    memset(&mem, 0, sizeof mem);
    mem.dwLength = sizeof mem;
    GlobalMemoryStatus(&mem);
    cpumem_render(meter, frame, queried, static_cast<int32_t>(status),
                  static_cast<uint32_t>(returned), mem.dwMemoryLoad);
}

void cpumem_close(CpuMeter* meter) {
    if (meter->ntdll)
        FreeLibrary(static_cast<HMODULE>(meter->ntdll));
    meter->ntdll = nullptr;
    meter->query = nullptr;
    cpumem_release(meter);
}
