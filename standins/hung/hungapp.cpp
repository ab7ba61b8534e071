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
// winsock2.h before windows.h
#include <winsock2.h>

#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

const char kClass[] = "KorvaneHungStandIn";
const UINT WM_APP_TITLE = WM_APP + 1;
const UINT WM_APP_SHOW = WM_APP + 2;

struct Program {
    HWND window;
    volatile LONG hanging;
    SOCKET listener;
    char title[512];
};

// Port from "hung.ini" beside the program: a line "port=26070". 0 when absent.
int port_from_ini() {
    char path[MAX_PATH + 16];
    DWORD n = GetModuleFileNameA(nullptr, path, MAX_PATH);
    if (n == 0 || n >= MAX_PATH)
        return 0;
    char* slash = std::strrchr(path, '\\');
    std::strcpy(slash ? slash + 1 : path, "hung.ini");
    FILE* f = std::fopen(path, "r");
    if (!f)
        return 0;
    char line[128];
    long port = 0;
    while (std::fgets(line, sizeof line, f))
        if (_strnicmp(line, "port=", 5) == 0)
            port = std::strtol(line + 5, nullptr, 10);
    std::fclose(f);
    return port > 0 && port < 65536 ? static_cast<int>(port) : 0;
}

bool listen_on(Program& p, int port) {
    WSADATA wsa;
    if (WSAStartup(MAKEWORD(2, 2), &wsa) != 0)
        return false;
    for (int attempt = 0; attempt < 50; ++attempt) {
        SOCKET s = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
        if (s == INVALID_SOCKET)
            return false;
        int one = 1;
        setsockopt(s, SOL_SOCKET, SO_REUSEADDR, reinterpret_cast<const char*>(&one), sizeof one);
        sockaddr_in addr;
        std::memset(&addr, 0, sizeof addr);
        addr.sin_family = AF_INET;
        addr.sin_port = htons(static_cast<u_short>(port));
        addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        if (bind(s, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0 && listen(s, 4) == 0) {
            p.listener = s;
            return true;
        }
        closesocket(s);
        Sleep(100);
    }
    return false;
}

int hex_value(char c) {
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

void reply(SOCKET s, const char* text) {
    char line[600];
    int n = std::snprintf(line, sizeof line, "%s\n", text);
    if (n > 0)
        send(s, line, n < static_cast<int>(sizeof line) ? n : static_cast<int>(sizeof line) - 1, 0);
}

typedef BOOL(WINAPI* IsHungFn)(HWND);

void command(Program& p, SOCKET s, char* line) {
    char out[600];
    if (std::strcmp(line, "PID") == 0) {
        std::snprintf(out, sizeof out, "OK %lu", GetCurrentProcessId());
        reply(s, out);
    } else if (std::strncmp(line, "TITLE ", 6) == 0) {
        const char* hex = line + 6;
        size_t len = std::strlen(hex);
        if (len % 2 != 0 || len / 2 >= sizeof p.title) {
            reply(s, "ERR bad title");
            return;
        }
        char title[sizeof p.title];
        for (size_t i = 0; i < len / 2; ++i) {
            int hi = hex_value(hex[2 * i]), lo = hex_value(hex[2 * i + 1]);
            if (hi < 0 || lo < 0) {
                reply(s, "ERR bad title");
                return;
            }
            title[i] = static_cast<char>(hi * 16 + lo);
        }
        title[len / 2] = '\0';
        std::memcpy(p.title, title, sizeof title);
        // Set by the window's own thread: from here it would wait for a hanging one.
        DWORD_PTR result = 0;
        if (!SendMessageTimeoutA(p.window, WM_APP_TITLE, 0, 0, SMTO_ABORTIFHUNG, 2000, &result)) {
            reply(s, "ERR window not pumping");
            return;
        }
        reply(s, "OK");
    } else if (std::strcmp(line, "HANG") == 0) {
        InterlockedExchange(&p.hanging, 1);
        reply(s, "OK");
    } else if (std::strcmp(line, "RESUME") == 0) {
        InterlockedExchange(&p.hanging, 0);
        reply(s, "OK");
    } else if (std::strcmp(line, "SHOW") == 0 || std::strcmp(line, "HIDE") == 0) {
        DWORD_PTR result = 0;
        if (!SendMessageTimeoutA(p.window, WM_APP_SHOW, line[0] == 'S' ? 1 : 0, 0, SMTO_ABORTIFHUNG,
                                 2000, &result)) {
            reply(s, "ERR window not pumping");
            return;
        }
        reply(s, "OK");
    } else if (std::strcmp(line, "STATE") == 0) {
        IsHungFn is_hung = reinterpret_cast<IsHungFn>(reinterpret_cast<void*>(
            GetProcAddress(GetModuleHandleA("user32.dll"), "IsHungAppWindow")));
        std::snprintf(out, sizeof out, "OK hanging=%ld hung=%d visible=%d", p.hanging,
                      is_hung && is_hung(p.window) ? 1 : 0, IsWindowVisible(p.window) ? 1 : 0);
        reply(s, out);
    } else if (std::strncmp(line, "EXIT ", 5) == 0) {
        reply(s, "OK");
        closesocket(s);
        ExitProcess(static_cast<UINT>(std::atoi(line + 5)));
    } else {
        reply(s, "ERR unknown command");
    }
}

DWORD WINAPI control_thread(void* param) {
    Program& p = *static_cast<Program*>(param);
    for (;;) {
        SOCKET s = accept(p.listener, nullptr, nullptr);
        if (s == INVALID_SOCKET)
            return 0;
        char line[1200];
        size_t n = 0;
        for (;;) {
            char c;
            int got = recv(s, &c, 1, 0);
            if (got <= 0)
                break;
            if (c == '\r')
                continue;
            if (c == '\n') {
                line[n] = '\0';
                command(p, s, line);
                n = 0;
                continue;
            }
            if (n + 1 < sizeof line)
                line[n++] = c;
        }
        closesocket(s);
    }
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
    int port = port_from_ini();
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
    if (!listen_on(program, port + index)) {
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
