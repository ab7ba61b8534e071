// Hung-application module: the system's window list, hung-window test and process
// termination.
#include <windows.h>

#include "modules/mod_rip.h"
#include "services/lookup_proc_win.h"

namespace {

using IsHungFn = BOOL(WINAPI*)(HWND);

struct Scan {
    IsHungFn is_hung;
    HWND found;
};

BOOL CALLBACK scan_window(HWND w, LPARAM param) {
    Scan* scan = reinterpret_cast<Scan*>(param);
    if (IsWindowVisible(w) && scan->is_hung(w)) {
        scan->found = w;
        return FALSE;
    }
    return TRUE;
}

bool win_open(RipModule* rip) {
    HMODULE user32 = LoadLibraryA("USER32.DLL");
    rip->library = user32;
    if (!user32)
        return false;
    IsHungFn f = lookup_proc<IsHungFn>(user32, "IsHungAppWindow");
    rip->hung_test = reinterpret_cast<void*>(f);
    return f != nullptr;
}

void win_close(RipModule* rip) {
    if (rip->library)
        FreeLibrary(static_cast<HMODULE>(rip->library));
    rip->library = nullptr;
}

void* win_find_hung(RipModule* rip) {
    Scan scan = {reinterpret_cast<IsHungFn>(rip->hung_test), nullptr};
    if (!scan.is_hung)
        return nullptr;
    EnumWindows(scan_window, reinterpret_cast<LPARAM>(&scan));
    return scan.found;
}

int win_title(RipModule*, void* window, char* out, int cap) {
    if (cap <= 0)
        return 0;
    out[0] = '\0';
    return GetWindowTextA(static_cast<HWND>(window), out, cap);
}

int32_t win_end_process(RipModule*, void* window, uint32_t* error) {
    DWORD pid = 0;
    GetWindowThreadProcessId(static_cast<HWND>(window), &pid);
    if (pid == 0) {
        SetLastError(0);
        return RIP_GONE;
    }
    HANDLE process = OpenProcess(PROCESS_TERMINATE, FALSE, pid);
    if (!process) {
        SetLastError(0);
        return RIP_NO_ACCESS;
    }
    int32_t result = RIP_ENDED;
    if (!TerminateProcess(process, 0)) {
        *error = GetLastError();
        result = RIP_REFUSED;
    }
    CloseHandle(process);
    SetLastError(0);
    return result;
}

const RipHost kWinHost = {win_open, win_close, win_find_hung, win_title, win_end_process};

} // namespace

const RipHost* rip_system_host() {
    return &kWinHost;
}
