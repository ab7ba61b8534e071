// Stand-in for the FRAPS program: a window titled "FRAPS fps", the record its library
// hands out, and a global WH_CBT hook in "FRAPS.DLL", through which the system loads that
// library into every GUI process that creates a window.
//
// Usage: fraps.exe [--port N] (default from "fraps.ini" beside the program, else
// KORVANE_PORT_BASE + 62). Commands, one a line:
//   PING            -> OK fraps pid=<pid>
//   FPS <n>         the measured frame rate (0 = no game)
//   NULLREC 0|1     FrapsSharedData answers null
//   CALLS           -> OK <FrapsSharedData calls so far, all processes>
//   LOADS           -> OK loads=<processes the library came into> last_pid=<the last>
//                      hook_calls=<hook procedure calls>
//   EXIT            FRAPS ends: the rate drops to 0, the hook and the window go
#include "../peerctl/peerctl.h"
#include "fraps_shared.h"

namespace {

struct Fraps {
    HWND window;
    HANDLE mapping;
    FrapsShared* shared;
    HHOOK hook;
    HHOOK message_hook;
    int broadcasts;
};

// Broadcasts after the hooks are set, one a second: enough for every thread that was
// already running to ask for a message once; a program started later meets the CBT
// hook when it makes its first window.
constexpr int kBroadcasts = 10;

Fraps g_fraps;

LRESULT CALLBACK window_proc(HWND hwnd, UINT msg, WPARAM wp, LPARAM lp) {
    if (msg == WM_TIMER) {
        PostMessageA(HWND_BROADCAST, WM_NULL, 0, 0);
        if (++g_fraps.broadcasts >= kBroadcasts)
            KillTimer(hwnd, 1);
        return 0;
    }
    if (msg == WM_DESTROY) {
        PostQuitMessage(0);
        return 0;
    }
    return DefWindowProcA(hwnd, msg, wp, lp);
}

bool handle(void*, char* line, char* out, size_t cap) {
    Fraps& f = g_fraps;
    char* rest = peer_rest(line);
    snprintf(out, cap, "OK");
    if (_strnicmp(line, "PING", 4) == 0) {
        snprintf(out, cap, "OK fraps pid=%lu", GetCurrentProcessId());
    } else if (_strnicmp(line, "FPS ", 4) == 0) {
        InterlockedExchange(reinterpret_cast<volatile LONG*>(&f.shared->record.fps),
                            static_cast<LONG>(std::strtoul(rest, nullptr, 10)));
    } else if (_strnicmp(line, "NULLREC ", 8) == 0) {
        InterlockedExchange(&f.shared->null_record, std::atoi(rest) ? 1 : 0);
    } else if (_stricmp(line, "CALLS") == 0) {
        snprintf(out, cap, "OK %ld", f.shared->calls);
    } else if (_stricmp(line, "LOADS") == 0) {
        snprintf(out, cap, "OK loads=%ld last_pid=%ld hook_calls=%ld", f.shared->loads,
                 f.shared->last_pid, f.shared->hook_calls);
    } else if (_stricmp(line, "EXIT") == 0) {
        PostMessageA(f.window, WM_CLOSE, 0, 0);
        return false;
    } else {
        snprintf(out, cap, "ERR unknown command");
    }
    return true;
}

void fail(const char* what) {
    std::fprintf(stderr, "fraps stand-in: %s (error %lu)\n", what, GetLastError());
    std::fflush(stderr);
}

} // namespace

int WINAPI WinMain(HINSTANCE instance, HINSTANCE, LPSTR, int) {
    static PeerChannel channel;
    Fraps& f = g_fraps;
    unsigned short port = peer_port("fraps.ini", peer_base_port(62));
    for (int i = 1; i + 1 < __argc; ++i)
        if (std::strcmp(__argv[i], "--port") == 0)
            port = static_cast<unsigned short>(std::atoi(__argv[i + 1]));

    f.mapping = CreateFileMappingA(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, 0,
                                   sizeof(FrapsShared), FRAPS_SHARED_NAME);
    if (!f.mapping) {
        fail("cannot create the shared record");
        return 2;
    }
    f.shared = static_cast<FrapsShared*>(
        MapViewOfFile(f.mapping, FILE_MAP_WRITE, 0, 0, sizeof(FrapsShared)));
    if (!f.shared) {
        fail("cannot map the shared record");
        return 2;
    }
    std::memset(f.shared, 0, sizeof *f.shared);

    WNDCLASSA wc;
    std::memset(&wc, 0, sizeof wc);
    wc.lpfnWndProc = window_proc;
    wc.hInstance = instance;
    wc.lpszClassName = "FrapsStandIn";
    if (!RegisterClassA(&wc)) {
        fail("cannot register the window class");
        return 3;
    }
    f.window = CreateWindowExA(0, "FrapsStandIn", "FRAPS fps", WS_OVERLAPPEDWINDOW, 0, 0, 200, 100,
                               nullptr, nullptr, instance, nullptr);
    if (!f.window) {
        fail("cannot create the window");
        return 4;
    }

    HMODULE dll = LoadLibraryA("FRAPS.DLL");
    HOOKPROC proc = dll ? reinterpret_cast<HOOKPROC>(
                              reinterpret_cast<void*>(GetProcAddress(dll, "FrapsCbtHook")))
                        : nullptr;
    f.hook = proc ? SetWindowsHookExA(WH_CBT, proc, dll, 0) : nullptr;
    if (!f.hook) {
        fail("cannot set the global hook");
        return 5;
    }
    // Under Wine a thread that already ran before the hooks were set learns of them only
    // when it next asks the server for a message: a message hook, and a harmless
    // broadcast once a second for ten seconds that every top-level window's thread
    // retrieves.
    f.message_hook = SetWindowsHookExA(WH_GETMESSAGE, proc, dll, 0);
    SetTimer(f.window, 1, 1000, nullptr);

    channel.handler = handle;
    if (!peer_listen(&channel, port)) {
        fail("cannot listen on the control port");
        return 6;
    }
    HANDLE t = CreateThread(nullptr, 0, peer_serve, &channel, 0, nullptr);
    if (!t)
        return 7;
    CloseHandle(t);

    MSG msg;
    while (GetMessageA(&msg, nullptr, 0, 0) > 0) {
        TranslateMessage(&msg);
        DispatchMessageA(&msg);
    }
    InterlockedExchange(reinterpret_cast<volatile LONG*>(&f.shared->record.fps), 0);
    InterlockedExchange(&f.shared->ended, 1);
    UnhookWindowsHookEx(f.hook);
    if (f.message_hook)
        UnhookWindowsHookEx(f.message_hook);
    return 0;
}
