// Stand-in for the Winamp player: a window of class "Winamp v1.x" whose title and
// WM_USER answers the tests set over a control channel on loopback.
//
// Usage: winamp.exe [--port N] (default from "winamp.ini" beside the program, else
// KORVANE_PORT_BASE + 60 as the tests compute it). Commands, one a line:
//   PING                          -> OK winamp pid=<pid>
//   TITLE <text>                  the window title (bytes as sent)
//   PLAY <state> <pos ms> <len s> <kbps>
//                                 state 1 playing (the position advances from pos),
//                                 3 paused, 0 stopped; len 0 = unknown (a stream)
//   BITRATE <kbps>                the bitrate answer alone (a variable-bitrate song)
//   HANG <ms>                     the window's thread stops answering for ms
//   QUERIES                       -> OK <WM_USER messages answered so far>
//   EXIT
// WM_USER answers (wParam, lParam): (0, 104) state, (0, 105) position in ms,
// (1, 105) length in s, (1, 126) bitrate in kbit/s.
#include "../peerctl/peerctl.h"

namespace {

const char kClass[] = "Winamp v1.x";
constexpr UINT kHangMsg = WM_APP + 1;

struct Player {
    HWND window;
    CRITICAL_SECTION lock;
    LONG state;
    LONG position; // ms at stamp
    DWORD stamp;   // tick of the last PLAY
    LONG length;   // s
    LONG bitrate;  // kbit/s
    volatile LONG queries;
};

Player g_player;

LONG position_now(Player& p) {
    EnterCriticalSection(&p.lock);
    LONG pos = p.position;
    if (p.state == 1)
        pos += static_cast<LONG>(GetTickCount() - p.stamp);
    LeaveCriticalSection(&p.lock);
    return pos;
}

LRESULT CALLBACK window_proc(HWND hwnd, UINT msg, WPARAM wp, LPARAM lp) {
    Player& p = g_player;
    if (msg == WM_USER) {
        InterlockedIncrement(&p.queries);
        if (wp == 0 && lp == 104)
            return p.state;
        if (wp == 0 && lp == 105)
            return position_now(p);
        if (wp == 1 && lp == 105)
            return p.length;
        if (wp == 1 && lp == 126)
            return p.bitrate;
        return 0;
    }
    if (msg == kHangMsg) {
        Sleep(static_cast<DWORD>(wp));
        return 0;
    }
    if (msg == WM_DESTROY) {
        PostQuitMessage(0);
        return 0;
    }
    return DefWindowProcA(hwnd, msg, wp, lp);
}

bool handle(void*, char* line, char* out, size_t cap) {
    Player& p = g_player;
    char* rest = peer_rest(line);
    if (_strnicmp(line, "PING", 4) == 0) {
        snprintf(out, cap, "OK winamp pid=%lu", GetCurrentProcessId());
    } else if (_strnicmp(line, "TITLE ", 6) == 0 || _stricmp(line, "TITLE") == 0) {
        DWORD_PTR r = 0;
        if (SendMessageTimeoutA(p.window, WM_SETTEXT, 0, reinterpret_cast<LPARAM>(rest), SMTO_BLOCK,
                                5000, &r))
            snprintf(out, cap, "OK");
        else
            snprintf(out, cap, "ERR the window did not take the title");
    } else if (_strnicmp(line, "PLAY ", 5) == 0) {
        long v[4] = {0, 0, 0, 0};
        if (sscanf(rest, "%ld %ld %ld %ld", &v[0], &v[1], &v[2], &v[3]) != 4) {
            snprintf(out, cap, "ERR PLAY <state> <pos ms> <len s> <kbps>");
        } else {
            EnterCriticalSection(&p.lock);
            p.state = v[0];
            p.position = v[1];
            p.stamp = GetTickCount();
            p.length = v[2];
            p.bitrate = v[3];
            LeaveCriticalSection(&p.lock);
            snprintf(out, cap, "OK %lu", p.stamp);
        }
    } else if (_strnicmp(line, "BITRATE ", 8) == 0) {
        InterlockedExchange(&p.bitrate, std::strtol(rest, nullptr, 10));
        snprintf(out, cap, "OK");
    } else if (_strnicmp(line, "HANG ", 5) == 0) {
        PostMessageA(p.window, kHangMsg, static_cast<WPARAM>(std::strtoul(rest, nullptr, 10)), 0);
        snprintf(out, cap, "OK");
    } else if (_stricmp(line, "QUERIES") == 0) {
        snprintf(out, cap, "OK %ld", p.queries);
    } else if (_stricmp(line, "EXIT") == 0) {
        PostMessageA(p.window, WM_CLOSE, 0, 0);
        snprintf(out, cap, "OK");
        return false;
    } else {
        snprintf(out, cap, "ERR unknown command");
    }
    return true;
}

} // namespace

int WINAPI WinMain(HINSTANCE instance, HINSTANCE, LPSTR, int) {
    static PeerChannel channel;
    unsigned short port = peer_port("winamp.ini", peer_base_port(60));
    for (int i = 1; i + 1 < __argc; ++i)
        if (std::strcmp(__argv[i], "--port") == 0)
            port = static_cast<unsigned short>(std::atoi(__argv[i + 1]));
    InitializeCriticalSection(&g_player.lock);

    WNDCLASSA wc;
    std::memset(&wc, 0, sizeof wc);
    wc.lpfnWndProc = window_proc;
    wc.hInstance = instance;
    wc.lpszClassName = kClass;
    if (!RegisterClassA(&wc))
        return 3;
    g_player.window = CreateWindowExA(0, kClass, "Winamp 5.9", WS_OVERLAPPEDWINDOW, 0, 0, 275, 116,
                                      nullptr, nullptr, instance, nullptr);
    if (!g_player.window)
        return 4;
    channel.handler = handle;
    if (!peer_listen(&channel, port)) {
        std::fprintf(stderr, "winamp stand-in: cannot listen on port %u\n", port);
        return 5;
    }
    HANDLE t = CreateThread(nullptr, 0, peer_serve, &channel, 0, nullptr);
    if (!t)
        return 6;
    CloseHandle(t);

    MSG msg;
    while (GetMessageA(&msg, nullptr, 0, 0) > 0) {
        TranslateMessage(&msg);
        DispatchMessageA(&msg);
    }
    return 0;
}
