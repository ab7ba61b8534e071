// FRAPS module: FRAPS's library in this process, its record function, and the window
// that invites FRAPS in.
#include <windows.h>

#include <new>

#include "core/app.h"
#include "modules/mod_fps.h"
#include "services/lookup_proc_win.h"

namespace {

// The record function takes no arguments (no calling-convention difference then).
using SharedDataFn = void*(__cdecl*)();

bool win_record(void*, const uint8_t** record) {
    *record = nullptr;
    // Only a library FRAPS itself placed here: this program never loads it.
    HMODULE fraps = GetModuleHandleA("FRAPS.DLL");
    if (!fraps)
        return false;
    if (auto shared = lookup_proc<SharedDataFn>(fraps, "FrapsSharedData"))
        *record = static_cast<const uint8_t*>(shared());
    return true;
}

// ---- library load notices (ntdll, from Vista on; looked up at run time) --------------
//
// The loader calls the notice function for every library it loads (before the
// library's entry point runs) and unloads, holding its loader lock, which it also holds
// while it puts a library into the module list and while GetModuleHandleA looks there.
// So a count read under that lock, unchanged since a look that found no FRAPS.DLL,
// means the list is as it was then: GetModuleHandleA would answer the same.

using NoticeFn = void(NTAPI*)(ULONG reason, const void* data, void* context);
using RegisterFn = LONG(NTAPI*)(ULONG flags, NoticeFn fn, void* context, void** cookie);
using UnregisterFn = LONG(NTAPI*)(void* cookie);
using LockFn = LONG(NTAPI*)(ULONG flags, ULONG* state, ULONG_PTR* cookie);
using UnlockFn = LONG(NTAPI*)(ULONG flags, ULONG_PTR cookie);

constexpr ULONG kLockTryOnly = 2; // LDR_LOCK_LOADER_LOCK_FLAG_TRY_ONLY
constexpr ULONG kLockTaken = 1;   // LDR_LOCK_LOADER_LOCK_DISPOSITION_LOCK_ACQUIRED

struct LoadWatch {
    volatile LONG count; // loads and unloads noticed
    void* cookie;
    UnregisterFn unregister;
    LockFn lock;
    UnlockFn unlock;
};

void NTAPI on_load_notice(ULONG, const void*, void* context) {
    InterlockedIncrement(&static_cast<LoadWatch*>(context)->count);
}

void* win_watch_open(void*) {
    HMODULE ntdll = GetModuleHandleA("NTDLL.DLL"); // always loaded: found in the module list
    if (!ntdll)
        return nullptr;
    auto reg = lookup_proc<RegisterFn>(ntdll, "LdrRegisterDllNotification");
    auto unreg = lookup_proc<UnregisterFn>(ntdll, "LdrUnregisterDllNotification");
    auto lock = lookup_proc<LockFn>(ntdll, "LdrLockLoaderLock");
    auto unlock = lookup_proc<UnlockFn>(ntdll, "LdrUnlockLoaderLock");
    if (!reg || !unreg || !lock || !unlock)
        return nullptr; // XP: the library is asked for on every tick
    LoadWatch* w = new (std::nothrow) LoadWatch();
    if (!w)
        return nullptr;
    w->unregister = unreg;
    w->lock = lock;
    w->unlock = unlock;
    if (reg(0, on_load_notice, w, &w->cookie) != 0) {
        delete w;
        return nullptr;
    }
    return w;
}

// Tried, never waited for: while another thread holds the loader lock (a load under
// way), the count is not read and the library is asked for.
bool win_load_count(void*, void* watch, uint32_t* count) {
    LoadWatch* w = static_cast<LoadWatch*>(watch);
    ULONG state = 0;
    ULONG_PTR cookie = 0;
    if (w->lock(kLockTryOnly, &state, &cookie) != 0 || state != kLockTaken)
        return false;
    *count = static_cast<uint32_t>(InterlockedCompareExchange(&w->count, 0, 0));
    w->unlock(0, cookie);
    return true;
}

void win_watch_close(void*, void* watch) {
    LoadWatch* w = static_cast<LoadWatch*>(watch);
    w->unregister(w->cookie);
    delete w;
}

bool win_running(void*) {
    return FindWindowA(nullptr, "FRAPS fps") != nullptr;
}

void win_invite(void*, App* app) {
    HWND w = CreateWindowExA(0, "LCDKorvaneWnd", "LCDKorvane", WS_OVERLAPPEDWINDOW, CW_USEDEFAULT,
                             CW_USEDEFAULT, CW_USEDEFAULT, CW_USEDEFAULT, nullptr, nullptr,
                             static_cast<HINSTANCE>(app->instance), nullptr);
    if (w)
        DestroyWindow(w);
}

const FpsHost kWinHost = {win_record,  win_watch_open, win_load_count, win_watch_close,
                          win_running, win_invite,     nullptr};

} // namespace

const FpsHost* fps_system_host() {
    return &kWinHost;
}
