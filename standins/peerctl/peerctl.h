// A line-based control channel for the stand-in programs: 127.0.0.1:port, one client
// at a time, one command a line, one reply line ("OK ..." or "ERR ...") each. The
// port comes from "<name>.ini" beside the program ("port=N"), written by the tests'
// client, or from a default. Header-only; the program links ws2_32.
#pragma once
#include <windows.h>
#include <winsock2.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

// Handles one command line (without its line end); writes the reply into out (cap
// bytes, without line end). Returns false to end the program after the reply.
typedef bool (*PeerHandler)(void* ctx, char* line, char* out, size_t cap);

struct PeerChannel {
    SOCKET listener;
    PeerHandler handler;
    void* ctx;
    volatile LONG quit;
};

// The port from "<ini_name>" beside the program, or fallback.
inline unsigned short peer_port(const char* ini_name, unsigned short fallback) {
    char path[MAX_PATH + 32];
    DWORD n = GetModuleFileNameA(nullptr, path, MAX_PATH);
    if (n == 0 || n >= MAX_PATH)
        return fallback;
    char* slash = std::strrchr(path, '\\');
    std::strcpy(slash ? slash + 1 : path, ini_name);
    FILE* f = std::fopen(path, "r");
    if (!f)
        return fallback;
    char line[128];
    long port = 0;
    while (std::fgets(line, sizeof line, f))
        if (_strnicmp(line, "port=", 5) == 0)
            port = std::strtol(line + 5, nullptr, 10);
    std::fclose(f);
    return port > 0 && port < 65536 ? static_cast<unsigned short>(port) : fallback;
}

// Binds 127.0.0.1:port, retrying for up to 5 s while an earlier copy's socket lingers.
inline bool peer_listen(PeerChannel* ch, unsigned short port) {
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
        addr.sin_port = htons(port);
        addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        if (bind(s, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0 && listen(s, 4) == 0) {
            ch->listener = s;
            return true;
        }
        closesocket(s);
        Sleep(100);
    }
    return false;
}

// Serves clients one after another until a handler asks to end; then returns.
inline DWORD WINAPI peer_serve(void* param) {
    PeerChannel* ch = static_cast<PeerChannel*>(param);
    static char line[4096];
    static char out[4096];
    while (!ch->quit) {
        SOCKET c = accept(ch->listener, nullptr, nullptr);
        if (c == INVALID_SOCKET) {
            Sleep(50);
            continue;
        }
        int one = 1;
        setsockopt(c, IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char*>(&one), sizeof one);
        size_t used = 0;
        bool open = true;
        while (open && !ch->quit) {
            int got = recv(c, line + used, static_cast<int>(sizeof line - 1 - used), 0);
            if (got <= 0)
                break;
            used += static_cast<size_t>(got);
            char* nl;
            while (open && (nl = static_cast<char*>(std::memchr(line, '\n', used))) != nullptr) {
                *nl = '\0';
                if (nl > line && nl[-1] == '\r')
                    nl[-1] = '\0';
                out[0] = '\0';
                bool go_on = ch->handler(ch->ctx, line, out, sizeof out - 2);
                size_t n = std::strlen(out);
                out[n++] = '\n';
                send(c, out, static_cast<int>(n), 0);
                size_t rest = used - static_cast<size_t>(nl + 1 - line);
                std::memmove(line, nl + 1, rest);
                used = rest;
                if (!go_on) {
                    InterlockedExchange(&ch->quit, 1);
                    open = false;
                }
            }
            if (used >= sizeof line - 1)
                used = 0; // an over-long line is dropped
        }
        shutdown(c, SD_SEND);
        closesocket(c);
    }
    return 0;
}

// The word after the command: "TITLE a b" -> "a b"; "" when none.
inline char* peer_rest(char* line) {
    char* p = line;
    while (*p && *p != ' ')
        ++p;
    if (*p == ' ')
        ++p;
    return p;
}
