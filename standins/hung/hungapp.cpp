// A program with a visible titled top-level window that stops and resumes pumping
// its messages on command, so the window turns "hung" for the system and back.
//
// Usage: hungapp.exe [--index K] [--port N]. Without --port the port is "port=" from
// "hung.ini" beside the program; the control channel listens on 127.0.0.1:port + K, so
// several copies can run side by side. Commands (one line each, answered "OK ..." or
// "ERR ..."):
//   PID              -> "OK <process id>"
//   TITLE <hex>      set the window title to these bytes (while pumping)
//   HANG             the window's thread stops retrieving messages
//   RESUME           it pumps again
//   SHOW / HIDE      make the window visible / hidden (while pumping)
//   STATE            -> "OK hanging=0|1 hung=0|1 visible=0|1" (hung: the system's view)
//   EXIT <code>      ends the program with this exit code
#include "../peerctl/peerctl.h"

namespace {

const char kClass[] = "KorvaneHungStandIn";
const UINT WM_APP_TITLE = WM_APP + 1;
const UINT WM_APP_SHOW = WM_APP + 2;

struct Program {
    HWND window;
    volatile LONG hanging;
    PeerChannel channel; // the control channel
    UINT exit_code;      // asked for by EXIT, after its reply
    char title[512];
};

typedef BOOL(WINAPI* IsHungFn)(HWND);

// One command line; the reply goes into out (cap bytes). False after EXIT.
bool command(void* ctx, char* line, char* out, size_t cap) {
    Program& p = *static_cast<Program*>(ctx);
    std::snprintf(out, cap, "OK");
    if (std::strcmp(line, "PID") == 0) {
        std::snprintf(out, cap, "OK %lu", GetCurrentProcessId());
    } else if (std::strncmp(line, "TITLE ", 6) == 0) {
        char title[sizeof p.title];
        long n = peer_unhex(line + 6, reinterpret_cast<unsigned char*>(title), sizeof title - 1);
        if (n < 0) {
            std::snprintf(out, cap, "ERR bad title");
            return true;
        }
        title[n] = '\0';
        std::memcpy(p.title, title, sizeof title);
        // Set by the window's own thread: from here it would wait for a hanging one.
        DWORD_PTR result = 0;
        if (!SendMessageTimeoutA(p.window, WM_APP_TITLE, 0, 0, SMTO_ABORTIFHUNG, 2000, &result))
            std::snprintf(out, cap, "ERR window not pumping");
    } else if (std::strcmp(line, "HANG") == 0) {
        InterlockedExchange(&p.hanging, 1);
    } else if (std::strcmp(line, "RESUME") == 0) {
        InterlockedExchange(&p.hanging, 0);
    } else if (std::strcmp(line, "SHOW") == 0 || std::strcmp(line, "HIDE") == 0) {
        DWORD_PTR result = 0;
        if (!SendMessageTimeoutA(p.window, WM_APP_SHOW, line[0] == 'S' ? 1 : 0, 0, SMTO_ABORTIFHUNG,
                                 2000, &result))
            std::snprintf(out, cap, "ERR window not pumping");
    } else if (std::strcmp(line, "STATE") == 0) {
        IsHungFn is_hung = reinterpret_cast<IsHungFn>(reinterpret_cast<void*>(
            GetProcAddress(GetModuleHandleA("user32.dll"), "IsHungAppWindow")));
        std::snprintf(out, cap, "OK hanging=%ld hung=%d visible=%d", p.hanging,
                      is_hung && is_hung(p.window) ? 1 : 0, IsWindowVisible(p.window) ? 1 : 0);
    } else if (std::strncmp(line, "EXIT ", 5) == 0) {
        p.exit_code = static_cast<UINT>(std::atoi(line + 5));
        return false; // the channel replies and closes; control_thread then ends the program
    } else {
        std::snprintf(out, cap, "ERR unknown command");
    }
    return true;
}

// Serves the control channel until EXIT, then ends the program with its code.
DWORD WINAPI control_thread(void* param) {
    Program& p = *static_cast<Program*>(param);
    peer_serve(&p.channel);
    ExitProcess(p.exit_code);
}

Program* g_program; // for the window procedure only

LRESULT CALLBACK window_proc(HWND hwnd, UINT msg, WPARAM wp, LPARAM lp) {
    if (msg == WM_APP_TITLE) {
        SetWindowTextA(hwnd, g_program->title);
        return 1;
    }
    if (msg == WM_APP_SHOW) {
        ShowWindow(hwnd, wp ? SW_SHOWNOACTIVATE : SW_HIDE);
        return 1;
    }
    if (msg == WM_DESTROY) {
        PostQuitMessage(3);
        return 0;
    }
    return DefWindowProcA(hwnd, msg, wp, lp);
}

} // namespace

int WINAPI WinMain(HINSTANCE instance, HINSTANCE, LPSTR, int) {
    static Program program;
    g_program = &program;
    int port = peer_port("hung.ini", 0);
    int index = 0;
    for (int i = 1; i + 1 < __argc; ++i) {
        if (std::strcmp(__argv[i], "--port") == 0)
            port = std::atoi(__argv[i + 1]);
        if (std::strcmp(__argv[i], "--index") == 0)
            index = std::atoi(__argv[i + 1]);
    }
    if (port <= 0) {
        std::fprintf(stderr, "hungapp: no port (hung.ini or --port)\n");
        return 2;
    }
    WNDCLASSA wc;
    std::memset(&wc, 0, sizeof wc);
    wc.lpfnWndProc = window_proc;
    wc.hInstance = instance;
    wc.lpszClassName = kClass;
    RegisterClassA(&wc);
    std::snprintf(program.title, sizeof program.title, "Hung stand-in %d", index);
    program.window = CreateWindowExA(0, kClass, program.title, WS_OVERLAPPEDWINDOW | WS_VISIBLE, 10,
                                     10, 200, 100, nullptr, nullptr, instance, nullptr);
    if (!program.window) {
        std::fprintf(stderr, "hungapp: no window (error %lu)\n", GetLastError());
        return 2;
    }
    program.channel.handler = command;
    program.channel.ctx = &program;
    if (!peer_listen(&program.channel, static_cast<unsigned short>(port + index))) {
        std::fprintf(stderr, "hungapp: cannot listen on port %d\n", port + index);
        return 2;
    }
    CloseHandle(CreateThread(nullptr, 0, control_thread, &program, 0, nullptr));
    std::fprintf(stderr, "hungapp: pid %lu window %p port %d\n", GetCurrentProcessId(),
                 static_cast<void*>(program.window), port + index);
    std::fflush(stderr);

    for (;;) {
        if (program.hanging) {
            Sleep(20); // retrieves nothing: the window turns hung after a few seconds
            continue;
        }
        MsgWaitForMultipleObjects(0, nullptr, FALSE, 50, QS_ALLINPUT);
        MSG msg;
        while (PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE)) {
            if (msg.message == WM_QUIT)
                return static_cast<int>(msg.wParam);
            TranslateMessage(&msg);
            DispatchMessageA(&msg);
        }
    }
}
