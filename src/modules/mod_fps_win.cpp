// FRAPS module: FRAPS's library in this process, its record function, and the window
// that invites FRAPS in.
#include <windows.h>

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

const FpsHost kWinHost = {win_record, win_running, win_invite, nullptr};

} // namespace

const FpsHost* fps_system_host() {
    return &kWinHost;
}
