// Stand-in for FRAPS's library "FRAPS.DLL": exports "FrapsSharedData", which answers a
// record whose frames-per-second field (offset 4) the FRAPS stand-in program keeps in
// the named shared memory below, and the hook procedure through which that program
// places this library into every GUI process.
#include <windows.h>

#include "fraps_shared.h"

namespace {
FrapsShared* g_shared; // this process's view of the program's record

bool attach() {
    if (g_shared)
        return true;
    HANDLE m = OpenFileMappingA(FILE_MAP_READ | FILE_MAP_WRITE, FALSE, FRAPS_SHARED_NAME);
    if (!m)
        return false;
    g_shared = static_cast<FrapsShared*>(
        MapViewOfFile(m, FILE_MAP_READ | FILE_MAP_WRITE, 0, 0, sizeof(FrapsShared)));
    CloseHandle(m);
    return g_shared != nullptr;
}
} // namespace

// The record, or null when the program says so (or its memory is gone).
extern "C" __declspec(dllexport) void* FrapsSharedData() {
    if (g_shared && g_shared->ended) {
        UnmapViewOfFile(g_shared);
        g_shared = nullptr;
    }
    if (!attach())
        return nullptr;
    InterlockedIncrement(&g_shared->calls);
    if (g_shared->null_record)
        return nullptr;
    return &g_shared->record;
}

extern "C" __declspec(dllexport) LRESULT CALLBACK FrapsCbtHook(int code, WPARAM wp, LPARAM lp) {
    if (g_shared)
        InterlockedIncrement(&g_shared->hook_calls);
    return CallNextHookEx(nullptr, code, wp, lp);
}

BOOL WINAPI DllMain(HINSTANCE, DWORD reason, void*) {
    if (reason == DLL_PROCESS_ATTACH && attach()) {
        InterlockedIncrement(&g_shared->loads);
        InterlockedExchange(&g_shared->last_pid, static_cast<LONG>(GetCurrentProcessId()));
    }
    if (reason == DLL_PROCESS_DETACH && g_shared) {
        UnmapViewOfFile(g_shared);
        g_shared = nullptr;
    }
    return TRUE;
}
