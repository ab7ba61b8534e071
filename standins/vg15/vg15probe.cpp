// vg15probe.exe: a small LCD applet that exercises the virtual G15 the way the real
// applet finds and drives the LCD Manager, and prints what happens, one line per fact:
//
//   dll <path>                          server library named by the registry
//   init <rc>
//   connect <rc> <connection>
//   enumerate <index> <rc>
//   open <index> <rc> <device>
//   update <k> <rc> <ms taken> <tick>   frame k, drawn with probe_pixel(x, y, k)
//   callback <tick> <device> <mask> <ctrl 0/1>
//   key <vk> <0/1> <tick>               Ctrl (17) or Media Stop (178) changed state
//   close <rc> / disconnect <rc> / deinit <rc> / done
//
// Usage: vg15probe [--frames N] [--interval MS] [--hold MS] [--stop-on-fail] [--linger MS]
// --linger keeps the process MS ms after it freed the library (a late callback may come).
// Exit code: 0 done, 2 no library, 10 connect refused, 11 open refused.
#include <windows.h>

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "vg15_shared.h"

using namespace vg15;

namespace {

typedef DWORD(WINAPI* Fn0)();
typedef DWORD(WINAPI* FnConnect)(ConnectContext*);
typedef DWORD(WINAPI* FnInt)(int32_t);
typedef DWORD(WINAPI* FnEnumerate)(int32_t, int32_t, DeviceDescription*);
typedef DWORD(WINAPI* FnOpen)(OpenContext*);
typedef DWORD(WINAPI* FnUpdate)(int32_t, const LcdBitmap*, DWORD);
typedef void*(WINAPI* FnGetInterface)(int);

struct Probe {
    CRITICAL_SECTION print_lock;
    LcdBitmap frame;
};

Probe g_probe; // the callback has no other way to reach it (null context, as the applet)

void say(const char* fmt, ...) {
    EnterCriticalSection(&g_probe.print_lock);
    va_list args;
    va_start(args, fmt);
    std::vprintf(fmt, args);
    va_end(args);
    std::fputc('\n', stdout);
    std::fflush(stdout);
    LeaveCriticalSection(&g_probe.print_lock);
}

// The probe's frame pattern; vg15.py's probe_frame() computes the same bytes.
// probe_pixel(0, 0, 0) = 255, probe_pixel(1, 0, 0) = 0, probe_pixel(0, 0, 2) = 0.
uint8_t probe_pixel(int x, int y, int k) {
    return (x * 7 + y * 13 + k * 3) % 11 < 4 ? 255 : 0;
}

uint32_t WINAPI on_soft_buttons(int32_t device, uint32_t mask, void*) {
    bool ctrl = (GetAsyncKeyState(VK_CONTROL) & 0x8000) != 0;
    say("callback %lu %d %u %d", GetTickCount(), device, mask, ctrl ? 1 : 0);
    return 0;
}

long option(int argc, char** argv, const char* name, long fallback) {
    for (int i = 1; i + 1 < argc; ++i)
        if (std::strcmp(argv[i], name) == 0)
            return std::strtol(argv[i + 1], nullptr, 10);
    return fallback;
}

bool flag(int argc, char** argv, const char* name) {
    for (int i = 1; i < argc; ++i)
        if (std::strcmp(argv[i], name) == 0)
            return true;
    return false;
}

HMODULE load_server() {
    HKEY key;
    const char* path =
        "SOFTWARE\\Classes\\CLSID\\{FE750200-B72E-11d9-829B-0050DA1A72D3}\\ServerBinary";
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, path, 0, KEY_READ, &key) != ERROR_SUCCESS) {
        say("dll none (no registry key)");
        return nullptr;
    }
    char dll[261] = {};
    DWORD size = 260, type = 0;
    LONG r = RegQueryValueExA(key, nullptr, nullptr, &type, reinterpret_cast<BYTE*>(dll), &size);
    RegCloseKey(key);
    if (r != ERROR_SUCCESS) {
        say("dll none (no default value)");
        return nullptr;
    }
    say("dll %s", dll);
    return LoadLibraryA(dll);
}

} // namespace

int main(int argc, char** argv) {
    InitializeCriticalSection(&g_probe.print_lock);
    long frames = option(argc, argv, "--frames", 5);
    long interval = option(argc, argv, "--interval", 100);
    long hold = option(argc, argv, "--hold", 0);
    bool stop_on_fail = flag(argc, argv, "--stop-on-fail");
    long linger = option(argc, argv, "--linger", 0);
    say("pid %lu", GetCurrentProcessId());

    HMODULE lib = load_server();
    FnGetInterface get = lib ? reinterpret_cast<FnGetInterface>(
                                   reinterpret_cast<void*>(GetProcAddress(lib, "GetInterface")))
                             : nullptr;
    void** table = get ? static_cast<void**>(get(3)) : nullptr;
    if (!table) {
        say("no server library");
        return 2;
    }
    Fn0 init = reinterpret_cast<Fn0>(table[ENTRY_INIT]);
    Fn0 deinit = reinterpret_cast<Fn0>(table[ENTRY_DEINIT]);
    FnConnect connect = reinterpret_cast<FnConnect>(table[ENTRY_CONNECT]);
    FnInt disconnect = reinterpret_cast<FnInt>(table[ENTRY_DISCONNECT]);
    FnEnumerate enumerate = reinterpret_cast<FnEnumerate>(table[ENTRY_ENUMERATE]);
    FnOpen open = reinterpret_cast<FnOpen>(table[ENTRY_OPEN]);
    FnInt close = reinterpret_cast<FnInt>(table[ENTRY_CLOSE]);
    FnUpdate update = reinterpret_cast<FnUpdate>(table[ENTRY_UPDATE_BITMAP]);

    say("init %lu", init());
    ConnectContext cc = {"vg15probe", 1, 1, nullptr, nullptr, -1};
    DWORD rc = connect(&cc);
    say("connect %lu %d", rc, cc.connection);
    if (rc != 0) {
        say("deinit %lu", deinit());
        FreeLibrary(lib);
        say("done");
        return 10;
    }
    int32_t index = -1;
    DeviceDescription desc;
    for (int32_t i = 1; i >= 0 && index < 0; --i) {
        DWORD e = enumerate(cc.connection, i, &desc);
        say("enumerate %d %lu", i, e);
        if (e == 0)
            index = i;
    }
    OpenContext oc = {cc.connection, index, &on_soft_buttons, nullptr, -1};
    rc = open(&oc);
    say("open %d %lu %d", index, rc, oc.device);
    if (rc != 0) {
        say("disconnect %lu", disconnect(cc.connection));
        say("deinit %lu", deinit());
        FreeLibrary(lib);
        say("done");
        return 11;
    }

    // Frames every `interval` ms, then hold; Ctrl and Media Stop are watched throughout.
    g_probe.frame.format = 1;
    bool keys[2] = {false, false};
    const int vks[2] = {VK_CONTROL, 178};
    DWORD start = GetTickCount();
    DWORD next = start;
    long sent = 0;
    bool failed = false;
    for (;;) {
        DWORD now = GetTickCount();
        bool sending = sent < frames && !(failed && stop_on_fail);
        if (!sending && now - next >= static_cast<DWORD>(hold))
            break;
        if (sending && static_cast<int32_t>(now - next) >= 0) {
            for (int y = 0; y < HEIGHT; ++y)
                for (int x = 0; x < WIDTH; ++x)
                    g_probe.frame.pixels[y * WIDTH + x] = probe_pixel(x, y, sent);
            DWORD t0 = GetTickCount();
            DWORD r = update(oc.device, &g_probe.frame, 0x80000080u);
            DWORD t1 = GetTickCount();
            say("update %ld %lu %lu %lu", sent, r, t1 - t0, t0);
            failed = failed || r != 0;
            ++sent;
            next = t1 + interval;
        }
        for (int i = 0; i < 2; ++i) {
            bool down = (GetAsyncKeyState(vks[i]) & 0x8000) != 0;
            if (down != keys[i]) {
                keys[i] = down;
                say("key %d %d %lu", vks[i], down ? 1 : 0, GetTickCount());
            }
        }
        Sleep(5);
    }
    say("close %lu", close(oc.device));
    say("disconnect %lu", disconnect(cc.connection));
    say("deinit %lu", deinit());
    FreeLibrary(lib);
    if (linger > 0)
        Sleep(static_cast<DWORD>(linger));
    say("done");
    return 0;
}
