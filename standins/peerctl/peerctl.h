// A line-based control channel for the stand-in programs: 127.0.0.1:port, one command
// a line, one reply line ("OK ..." or "ERR ...") each unless a command says otherwise.
// The port comes from "<name>.ini" beside the program ("port=N"), written by the tests'
// client, or from a default. Header-only; the program links ws2_32.
//
// Two ways to serve:
//   PeerChannel + peer_serve: one client at a time, a handler per command line;
//   PeerServer + peer_serve_clients: several clients, each on a thread of its own that
//     reads lines (peer_read_line) and answers (peer_reply, peer_send_all) as it likes.
// Every wait of a channel thread is bounded: a poll of at most PEER_POLL_MS, after which
// the quit flag is looked at again, and a send gives up after PEER_SEND_WAIT_MS.
#pragma once
// winsock2.h before windows.h
#include <winsock2.h>

#include <windows.h>

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>

constexpr DWORD PEER_POLL_MS = 200;
constexpr DWORD PEER_SEND_WAIT_MS = 10000;
constexpr int PEER_LINE_BYTES = 4096; // peer_serve's longest line, and its reply

// ---- port and listener -------------------------------------------------------------

// The decimal value of "key=" (ASCII case ignored, the last one counts) in the file
// ini_name beside module (nullptr: the program), or fallback without one.
inline long peer_ini_number_of(HMODULE module, const char* ini_name, const char* key,
                               long fallback) {
    char path[MAX_PATH + 32];
    DWORD n = GetModuleFileNameA(module, path, MAX_PATH);
    if (n == 0 || n >= MAX_PATH)
        return fallback;
    char* slash = std::strrchr(path, '\\');
    std::strcpy(slash ? slash + 1 : path, ini_name);
    FILE* f = std::fopen(path, "r");
    if (!f)
        return fallback;
    char line[128];
    const size_t len = std::strlen(key);
    long value = fallback;
    while (std::fgets(line, sizeof line, f))
        if (_strnicmp(line, key, len) == 0 && line[len] == '=')
            value = std::strtol(line + len + 1, nullptr, 10);
    std::fclose(f);
    return value;
}

// The port from "<ini_name>" beside module (nullptr: the program), or fallback.
inline unsigned short peer_port_of(HMODULE module, const char* ini_name, unsigned short fallback) {
    long port = peer_ini_number_of(module, ini_name, "port", 0);
    return port > 0 && port < 65536 ? static_cast<unsigned short>(port) : fallback;
}

// The port from "<ini_name>" beside the program, or fallback.
inline unsigned short peer_port(const char* ini_name, unsigned short fallback) {
    return peer_port_of(nullptr, ini_name, fallback);
}

// KORVANE_PORT_BASE (default 15900) + offset: the port the tests' clients give a
// stand-in, for one started without its ini.
inline unsigned short peer_base_port(int offset) {
    const char* base = std::getenv("KORVANE_PORT_BASE");
    long b = base ? std::strtol(base, nullptr, 10) : 15900;
    return static_cast<unsigned short>(b + offset);
}

// A socket listening on 127.0.0.1:port, retrying for up to 5 s while an earlier copy's
// socket lingers; INVALID_SOCKET when none.
inline SOCKET peer_bind(unsigned short port, int backlog) {
    WSADATA wsa;
    if (WSAStartup(MAKEWORD(2, 2), &wsa) != 0)
        return INVALID_SOCKET;
    for (int attempt = 0; attempt < 50; ++attempt) {
        SOCKET s = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
        if (s == INVALID_SOCKET)
            return INVALID_SOCKET;
        int one = 1;
        setsockopt(s, SOL_SOCKET, SO_REUSEADDR, reinterpret_cast<const char*>(&one), sizeof one);
        sockaddr_in addr;
        std::memset(&addr, 0, sizeof addr);
        addr.sin_family = AF_INET;
        addr.sin_port = htons(port);
        addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        if (bind(s, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0 &&
            listen(s, backlog) == 0)
            return s;
        closesocket(s);
        Sleep(100);
    }
    return INVALID_SOCKET;
}

// ---- bounded waits -----------------------------------------------------------------

// Waits at most ms for s to turn readable (data, a connection, or the peer's end):
// 1 when it has, 0 when the time ran out, -1 on a socket error.
inline int peer_poll(SOCKET s, DWORD ms) {
    fd_set set;
    FD_ZERO(&set);
    FD_SET(s, &set);
    timeval tv;
    tv.tv_sec = static_cast<long>(ms / 1000);
    tv.tv_usec = static_cast<long>(ms % 1000) * 1000;
    int r = select(0, &set, nullptr, nullptr, &tv);
    return r == SOCKET_ERROR ? -1 : r > 0 ? 1 : 0;
}

// The next connection on listener, waiting poll_ms at a time; INVALID_SOCKET once
// *quit is set (and, after a short pause, when accepting failed).
inline SOCKET peer_accept(SOCKET listener, volatile LONG* quit, DWORD poll_ms = PEER_POLL_MS) {
    while (!*quit) {
        int r = peer_poll(listener, poll_ms);
        if (r == 0)
            continue;
        if (r > 0) {
            SOCKET s = accept(listener, nullptr, nullptr);
            if (s != INVALID_SOCKET)
                return s;
        }
        Sleep(50);
        return INVALID_SOCKET;
    }
    return INVALID_SOCKET;
}

// ---- one connection ----------------------------------------------------------------

struct PeerServer;

// One client's connection and its read buffer.
struct PeerConn {
    SOCKET sock;
    volatile LONG* quit; // the server's: reading ends once it is set
    PeerServer* server;  // peer_serve_clients's connections only
    int buf_len;
    int buf_pos;
    char buf[4096];
};

// Starts reading connection s: no delay on small replies, sends bounded.
inline void peer_conn_open(PeerConn* c, SOCKET s, volatile LONG* quit) {
    c->sock = s;
    c->quit = quit;
    c->buf_len = c->buf_pos = 0;
    int one = 1;
    setsockopt(s, IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char*>(&one), sizeof one);
    DWORD send_wait = PEER_SEND_WAIT_MS;
    setsockopt(s, SOL_SOCKET, SO_SNDTIMEO, reinterpret_cast<const char*>(&send_wait),
               sizeof send_wait);
}

// Reads one line into line (cap bytes, at least 1), without its "\n" and a "\r" just
// before it; a longer line is cut to cap - 1 bytes. False when the peer has gone, the
// connection failed or *quit is set.
inline bool peer_read_line(PeerConn* c, char* line, size_t cap) {
    size_t len = 0;
    for (;;) {
        if (c->buf_pos == c->buf_len) {
            int r = 0;
            while (r == 0) {
                if (*c->quit)
                    return false;
                r = peer_poll(c->sock, PEER_POLL_MS);
            }
            int n = r > 0 ? recv(c->sock, c->buf, sizeof c->buf, 0) : -1;
            if (n <= 0)
                return false;
            c->buf_len = n;
            c->buf_pos = 0;
        }
        char ch = c->buf[c->buf_pos++];
        if (ch == '\n')
            break;
        if (len < cap - 1)
            line[len++] = ch;
    }
    if (len > 0 && line[len - 1] == '\r')
        --len;
    line[len] = '\0';
    return true;
}

inline bool peer_send_all(SOCKET s, const void* data, int len) {
    const char* p = static_cast<const char*>(data);
    while (len > 0) {
        int n = send(s, p, len, 0);
        if (n <= 0)
            return false;
        p += n;
        len -= n;
    }
    return true;
}

// Sends one reply line (at most 1022 bytes and its "\n"). fmt is always the program's
// own text; whatever came from outside goes in as an argument.
inline bool peer_reply(PeerConn* c, const char* fmt, ...) __attribute__((format(printf, 2, 3)));
inline bool peer_reply(PeerConn* c, const char* fmt, ...) {
    char out[1024];
    va_list args;
    va_start(args, fmt);
    int n = std::vsnprintf(out, sizeof out - 1, fmt, args);
    va_end(args);
    if (n < 0)
        return false;
    if (n > static_cast<int>(sizeof out) - 2)
        n = sizeof out - 2;
    out[n++] = '\n';
    return peer_send_all(c->sock, out, n);
}

// ---- one client at a time, a handler per line ---------------------------------------

// Handles one command line (without its line end); writes the reply into out (cap
// bytes, without line end). Returns false to end the program after the reply.
typedef bool (*PeerHandler)(void* ctx, char* line, char* out, size_t cap);

struct PeerChannel {
    SOCKET listener;
    PeerHandler handler;
    void* ctx;
    volatile LONG quit;
    // Longest wait for a client before quit is looked at again (0: PEER_POLL_MS). A
    // channel inside another program's process, whose quit only a command sets, waits
    // longer: each wait is a round trip to the wineserver for that process.
    DWORD accept_poll_ms;
};

inline bool peer_listen(PeerChannel* ch, unsigned short port) {
    ch->listener = peer_bind(port, 4);
    return ch->listener != INVALID_SOCKET;
}

// Serves clients one after another until a handler asks to end; then returns.
inline DWORD WINAPI peer_serve(void* param) {
    PeerChannel* ch = static_cast<PeerChannel*>(param);
    static PeerConn conn;
    static char line[PEER_LINE_BYTES];
    static char out[PEER_LINE_BYTES];
    while (!ch->quit) {
        SOCKET s = peer_accept(ch->listener, &ch->quit,
                               ch->accept_poll_ms ? ch->accept_poll_ms : PEER_POLL_MS);
        if (s == INVALID_SOCKET)
            continue;
        peer_conn_open(&conn, s, &ch->quit);
        while (peer_read_line(&conn, line, sizeof line)) {
            out[0] = '\0';
            bool go_on = ch->handler(ch->ctx, line, out, sizeof out - 2);
            size_t n = std::strlen(out);
            out[n++] = '\n';
            peer_send_all(s, out, static_cast<int>(n));
            if (!go_on) {
                InterlockedExchange(&ch->quit, 1);
                break;
            }
        }
        shutdown(s, SD_SEND);
        closesocket(s);
    }
    return 0;
}

// ---- several clients, a thread each -------------------------------------------------

// Serves one client until it leaves (or the server quits). conn is the start of the
// client's block of conn_bytes, zeroed but for the connection.
typedef void (*PeerSession)(void* ctx, PeerConn* conn);

struct PeerServer {
    SOCKET listener;
    PeerSession session;
    void* ctx;
    size_t conn_bytes; // each client's block: a struct whose first member is a PeerConn
    LONG max_clients;  // more are closed at once
    volatile LONG clients;
    volatile LONG quit;
};

inline bool peer_listen(PeerServer* sv, unsigned short port) {
    sv->listener = peer_bind(port, 8);
    return sv->listener != INVALID_SOCKET;
}

inline DWORD WINAPI peer_client_thread(void* param) {
    PeerConn* c = static_cast<PeerConn*>(param);
    PeerServer* sv = c->server;
    sv->session(sv->ctx, c);
    closesocket(c->sock);
    InterlockedDecrement(&sv->clients);
    HeapFree(GetProcessHeap(), 0, c);
    return 0;
}

// Accepts clients until quit is set, each served by session on a thread of its own.
inline DWORD WINAPI peer_serve_clients(void* param) {
    PeerServer* sv = static_cast<PeerServer*>(param);
    size_t bytes = sv->conn_bytes < sizeof(PeerConn) ? sizeof(PeerConn) : sv->conn_bytes;
    while (!sv->quit) {
        SOCKET s = peer_accept(sv->listener, &sv->quit);
        if (s == INVALID_SOCKET)
            continue;
        if (InterlockedIncrement(&sv->clients) > sv->max_clients) {
            InterlockedDecrement(&sv->clients);
            closesocket(s);
            continue;
        }
        PeerConn* c = static_cast<PeerConn*>(HeapAlloc(GetProcessHeap(), HEAP_ZERO_MEMORY, bytes));
        HANDLE t = nullptr;
        if (c) {
            peer_conn_open(c, s, &sv->quit);
            c->server = sv;
            t = CreateThread(nullptr, 0, peer_client_thread, c, 0, nullptr);
        }
        if (t) {
            CloseHandle(t);
        } else {
            closesocket(s);
            InterlockedDecrement(&sv->clients);
            if (c)
                HeapFree(GetProcessHeap(), 0, c);
        }
    }
    return 0;
}

// ---- arguments -----------------------------------------------------------------------

// Decodes hex text into out (at most cap bytes): the byte count, or -1 for an odd
// length, a bad digit or more than cap bytes.
inline long peer_unhex(const char* hex, unsigned char* out, size_t cap) {
    size_t len = std::strlen(hex);
    if (len % 2 != 0 || len / 2 > cap)
        return -1;
    for (size_t i = 0; i < len; ++i) {
        char c = hex[i];
        int v = c >= '0' && c <= '9'   ? c - '0'
                : c >= 'a' && c <= 'f' ? c - 'a' + 10
                : c >= 'A' && c <= 'F' ? c - 'A' + 10
                                       : -1;
        if (v < 0)
            return -1;
        if (i % 2 == 0)
            out[i / 2] = static_cast<unsigned char>(v << 4);
        else
            out[i / 2] = static_cast<unsigned char>(out[i / 2] | v);
    }
    return static_cast<long>(len / 2);
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
