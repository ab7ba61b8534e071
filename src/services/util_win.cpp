// Error log and host-application watch, Windows side.
#include <windows.h>

#include "services/lookup_proc_win.h"

#include <shellapi.h>

#include <cstdarg>
#include <cstdio>

#include "services/tried_lock_win.h"
#include "services/util.h"

namespace {
constexpr char kSrc[] = "src/util";
// Entries from several threads: one lock, one write per entry. The lock is kept in
// the application record's ErrorLog; this is only the way to it for log_error, which
// every unit calls without the record.
ErrorLog* g_log = nullptr;
constexpr int kLogLockWaitMs = 1000;
} // namespace

void log_open(ErrorLog* log) {
    log->lock = tried_lock_create();
    g_log = log;
}

// The system error code is left as the caller had it: opening "errors.txt" that
// exists already sets it to 183, and a report after this one must not carry that.
void log_error(const char* file, int line, uint32_t code, const char* format, ...) {
    const DWORD caller_error = GetLastError();
    char msg[1024];
    va_list ap;
    va_start(ap, format);
    vsnprintf(msg, sizeof msg, format ? format : "", ap);
    va_end(ap);

    SYSTEMTIME st;
    GetLocalTime(&st);
    char date[64] = "", tim[64] = "";
    if (!GetDateFormatA(0x0400, 0, &st, "yyyy-MM-dd", date, sizeof date))
        date[0] = '\0';
    if (!GetTimeFormatA(127, 0, &st, "HH:mm:ss", tim, sizeof tim))
        tim[0] = '\0';

    char* systext = nullptr;
    if (code != 0)
        FormatMessageA(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM |
                           FORMAT_MESSAGE_IGNORE_INSERTS,
                       nullptr, code, 0, reinterpret_cast<char*>(&systext), 0, nullptr);
    char out[2048];
    size_t n = log_build_line(out, sizeof out - 2, date, tim, file, line, msg, code, systext);
    if (systext)
        LocalFree(systext);
    out[n++] = '\r';
    out[n++] = '\n';

    // Bounded wait; after it the entry is written unlocked (it still is one write).
    TriedLock* lock = g_log ? g_log->lock : nullptr;
    const bool locked = tried_lock_take(lock, kLogLockWaitMs);
    HANDLE f = CreateFileA("errors.txt", FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE,
                           nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (f != INVALID_HANDLE_VALUE) {
        DWORD written;
        WriteFile(f, out, static_cast<DWORD>(n), &written, nullptr);
        CloseHandle(f);
    }
    if (locked)
        tried_lock_give(lock);
    SetLastError(caller_error);
}

void clear_system_error() {
    SetLastError(0);
}

void detect_os(OsFlags* os) {
    os->is_wow64 = 0;
    os->vista_or_later = 0;
    HMODULE k32 = LoadLibraryA("KERNEL32.DLL");
    if (!k32)
        return;
    using IsWow64Fn = BOOL(WINAPI*)(HANDLE, BOOL*);
    if (auto f = lookup_proc<IsWow64Fn>(k32, "IsWow64Process")) {
        BOOL wow = FALSE;
        if (f(GetCurrentProcess(), &wow))
            os->is_wow64 = wow ? 1 : 0;
    }
    if (GetProcAddress(k32, "GetProductInfo"))
        os->vista_or_later = 1;
    FreeLibrary(k32);
}

void* find_lcdmon_window() {
    return FindWindowA("Logitech LCD Monitor Window", "LCDMon");
}
void* find_ts2_window() {
    return FindWindowA("TApplication", "TeamSpeak 2");
}
void* find_itunes_window() {
    return FindWindowA("iTunes", "iTunes");
}

namespace {
bool window_alive(void* window) {
    return IsWindow(static_cast<HWND>(window)) != FALSE;
}
} // namespace
const WindowWatchHost kTs2WindowHost = {find_ts2_window, window_alive};
const WindowWatchHost kItunesWindowHost = {find_itunes_window, window_alive};

// Ctrl + Media Stop: end the LCD Manager; the frame loop then finds the link gone
// and starts it again. Repeats in every frame while both keys stay down.
void check_restart_keys() {
    if (!(GetAsyncKeyState(VK_MEDIA_STOP) & 0x8000))
        return;
    if (!(GetAsyncKeyState(VK_CONTROL) & 0x8000))
        return;
    HWND w = static_cast<HWND>(find_lcdmon_window());
    if (!w)
        return;
    DWORD pid = 0;
    GetWindowThreadProcessId(w, &pid);
    log_error(kSrc, 96, GetLastError(), "CTRL+MEDIA_STOP detected, terminating LCDMon.exe");
    SetLastError(0);
    if (HANDLE p = OpenProcess(PROCESS_TERMINATE, FALSE, pid)) {
        TerminateProcess(p, 255);
        CloseHandle(p);
    }
}

void launch_lcdmon(const char* install_path) {
    if (find_lcdmon_window())
        return;
    if (GetSystemMetrics(SM_SHUTTINGDOWN))
        return;
    const char* dir = install_path ? install_path : "";
    char path[512];
    if (!build_lcdmon_path(dir, path, sizeof path)) {
        // The path would not fit: starting a truncated path could run another program.
        log_error(kSrc, 128, 0, "LCD Manager install path too long, not launching LCDMon.exe");
        SetLastError(0);
        return;
    }
    HINSTANCE r = ShellExecuteA(nullptr, "open", path, "", dir, SW_SHOWNORMAL);
    if (reinterpret_cast<INT_PTR>(r) <= 32) {
        log_error(kSrc, 136, GetLastError(), "failed to launch '%s'", path);
        SetLastError(0);
    }
}
