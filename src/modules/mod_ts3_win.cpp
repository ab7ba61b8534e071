// TeamSpeak 3 module, Windows side: the reader thread, its lock, the ClientQuery
// connection over Winsock (calls Windows XP has: a non-blocking socket, connect ended
// by select, send and recv after select) and the UTF-8 to ANSI conversion of texts.
//
// The reader is never terminated. Every wait of it is bounded by a select timeout; a
// reader left behind comes back, sees its stop flag, closes its own socket, frees its
// record and ends.
// winsock2.h before windows.h
#include <winsock2.h>

#include <windows.h>

#include <cstring>

#include "modules/mod_ts3.h"
#include "services/thread_win.h"
#include "services/tried_lock_win.h"
#include "services/util.h"

namespace {

constexpr char kSrc[] = "src/mod_ts3";

SOCKET sock_of(const Ts3Reader* r) {
    return static_cast<SOCKET>(r->sock);
}

timeval timeout_of(uint32_t ms) {
    timeval tv;
    tv.tv_sec = static_cast<long>(ms / 1000);
    tv.tv_usec = static_cast<long>((ms % 1000) * 1000);
    return tv;
}

uint32_t win_now(void*) {
    return GetTickCount();
}

void win_log(void*, int line, const char* message) {
    log_error(kSrc, line, GetLastError(), "%s", message);
    SetLastError(0);
}

void* win_lock_create(void*) {
    return tried_lock_create();
}

void win_lock_close(void*, void* lock) {
    tried_lock_unref(static_cast<TriedLock*>(lock));
}

bool win_lock_take(void*, void* lock, uint32_t ms) {
    return tried_lock_take(static_cast<TriedLock*>(lock), ms);
}

void win_lock_release(void*, void* lock) {
    tried_lock_give(static_cast<TriedLock*>(lock));
}

DWORD WINAPI reader_main(void* param) {
    WSADATA wsa;
    const bool net = WSAStartup(MAKEWORD(2, 2), &wsa) == 0;
    Ts3Reader* r = static_cast<Ts3Reader*>(param);
    if (net)
        ts3_reader_run(r);
    else
        ts3_reader_release(r); // ends as a reader that never connects would
    if (net)
        WSACleanup();
    return 0;
}

bool win_thread_start(void*, Ts3Reader* r, bool lowest) {
    // Auto-reset: each wake (the stop, a press) ends one wait; every wait is followed by
    // a look at the stop flag, and a pause goes on to its end unless stopped.
    r->wake = CreateEventA(nullptr, FALSE, FALSE, nullptr);
    if (!r->wake)
        return false;
    if (!thread_start(reader_main, r, lowest, &r->thread)) {
        CloseHandle(r->wake);
        r->wake = nullptr;
        return false;
    }
    return true;
}

// The stop flag is set before this: the wake ends a pause under way.
void win_thread_forget(void*, Ts3Reader* r, uint32_t ms) {
    if (r->wake)
        SetEvent(r->wake);
    thread_forget(&r->thread, ms);
}

void win_pause(void*, Ts3Reader* r, uint32_t ms) {
    if (!r->wake) {
        Sleep(ms);
        return;
    }
    // A press is no reason to try the port sooner: only the stop ends the pause early.
    const DWORD start = GetTickCount();
    for (;;) {
        const DWORD spent = GetTickCount() - start;
        if (spent >= ms || r->stop.load() != 0)
            return;
        if (WaitForSingleObject(r->wake, ms - spent) == WAIT_FAILED) {
            Sleep(ms - spent);
            return;
        }
    }
}

void win_pause_close(void*, Ts3Reader* r) {
    if (r->wake)
        CloseHandle(r->wake);
    r->wake = nullptr;
}

void win_wake(void*, Ts3Reader* r) {
    if (r->wake)
        SetEvent(r->wake);
}

void win_sleep(void*, uint32_t ms) {
    Sleep(ms);
}

void win_close(void*, Ts3Reader* r) {
    if (sock_of(r) != INVALID_SOCKET)
        closesocket(sock_of(r));
    r->sock = static_cast<intptr_t>(INVALID_SOCKET);
    if (r->events)
        WSACloseEvent(r->events);
    r->events = nullptr;
}

bool win_open(void* ctx, Ts3Reader* r, uint16_t port, uint32_t ms) {
    SOCKET s = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    if (s == INVALID_SOCKET)
        return false;
    r->sock = static_cast<intptr_t>(s);
    u_long on = 1;
    sockaddr_in to = {};
    to.sin_family = AF_INET;
    to.sin_port = htons(port);
    to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bool ok = ioctlsocket(s, FIONBIO, &on) == 0;
    if (ok && connect(s, reinterpret_cast<sockaddr*>(&to), sizeof to) == SOCKET_ERROR) {
        ok = WSAGetLastError() == WSAEWOULDBLOCK;
        if (ok) {
            // In slices of 100 ms, so a stop at teardown is seen soon.
            const DWORD start = GetTickCount();
            int ready = 0;
            while (ready == 0 && r->stop.load() == 0) {
                const DWORD spent = GetTickCount() - start;
                if (spent >= ms)
                    break;
                fd_set w, e;
                FD_ZERO(&w);
                FD_ZERO(&e);
                FD_SET(s, &w);
                FD_SET(s, &e);
                timeval tv = timeout_of(ms - spent < 100 ? ms - spent : 100);
                ready = select(0, nullptr, &w, &e, &tv);
                if (ready == 1 && !FD_ISSET(s, &w))
                    ready = -1; // refused
            }
            ok = ready == 1;
        }
        if (ok) {
            int err = 0;
            int len = sizeof err;
            ok = getsockopt(s, SOL_SOCKET, SO_ERROR, reinterpret_cast<char*>(&err), &len) == 0 &&
                 err == 0;
        }
    }
    if (ok) {
        // From here the socket's bytes and its closing set an event, so a wait for them
        // is one wait that the stop and a press cut short too (without it: select).
        WSAEVENT e = WSACreateEvent();
        if (e != WSA_INVALID_EVENT && WSAEventSelect(s, e, FD_READ | FD_CLOSE) == 0)
            r->events = e;
        else if (e != WSA_INVALID_EVENT)
            WSACloseEvent(e);
    }
    if (!ok)
        win_close(ctx, r);
    // A refused port is the client not running: nothing to report.
    WSASetLastError(0);
    SetLastError(0);
    return ok;
}

bool win_send(void*, Ts3Reader* r, const char* data, size_t n, uint32_t ms) {
    const SOCKET s = sock_of(r);
    const DWORD start = GetTickCount();
    bool wait_first = false; // a command fits the socket's buffer: sent at once
    while (n > 0) {
        const DWORD spent = GetTickCount() - start;
        if (spent >= ms)
            return false;
        if (wait_first) {
            fd_set w;
            FD_ZERO(&w);
            FD_SET(s, &w);
            timeval tv = timeout_of(ms - spent);
            if (select(0, nullptr, &w, nullptr, &tv) != 1)
                return false;
        }
        const int k = send(s, data, static_cast<int>(n), 0);
        if (k == SOCKET_ERROR) {
            if (WSAGetLastError() == WSAEWOULDBLOCK) {
                wait_first = true;
                continue;
            }
            return false;
        }
        data += k;
        n -= static_cast<size_t>(k);
    }
    return true;
}

int win_recv(void*, Ts3Reader* r, char* out, size_t cap, uint32_t ms) {
    const SOCKET s = sock_of(r);
    if (s == INVALID_SOCKET)
        return -1;
    if (r->events && r->wake) {
        // The socket's event, a wake or the time; then whatever is there is read (so
        // bytes are never left waiting on an event, whatever ended the wait). Reading
        // them lets the socket signal again while more are left.
        const HANDLE both[2] = {r->events, r->wake};
        const DWORD w = WaitForMultipleObjects(2, both, FALSE, ms);
        if (w == WAIT_FAILED)
            return -1;
        if (w == WAIT_OBJECT_0) {
            WSANETWORKEVENTS seen;
            WSAEnumNetworkEvents(s, r->events, &seen); // and clears the event
        }
        const int k = recv(s, out, static_cast<int>(cap), 0);
        if (k > 0)
            return k;
        if (k == SOCKET_ERROR && WSAGetLastError() == WSAEWOULDBLOCK) {
            WSASetLastError(0);
            return 0;
        }
        return -1; // closed by the client, or broken
    }
    fd_set rd;
    FD_ZERO(&rd);
    FD_SET(s, &rd);
    timeval tv = timeout_of(ms);
    const int ready = select(0, &rd, nullptr, nullptr, &tv);
    if (ready == 0)
        return 0;
    if (ready == SOCKET_ERROR)
        return -1;
    const int k = recv(s, out, static_cast<int>(cap), 0);
    if (k > 0)
        return k;
    if (k == SOCKET_ERROR && WSAGetLastError() == WSAEWOULDBLOCK)
        return 0;
    return -1; // closed by the client, or broken
}

// "K\xc3\xb6ln" (UTF-8) -> "K\xf6ln" in code page 1252; characters the code page lacks
// come out as its default character; a text that is not UTF-8 is left as it came.
void win_to_ansi(void*, char* text, size_t cap) {
    if (cap == 0)
        return;
    bool ascii = true;
    for (const char* p = text; *p && ascii; ++p)
        ascii = (static_cast<unsigned char>(*p) & 0x80) == 0;
    if (ascii)
        return;
    WCHAR wide[TS3_NAME * 2];
    const int n = MultiByteToWideChar(CP_UTF8, 0, text, -1, wide, TS3_NAME * 2);
    if (n <= 0) {
        SetLastError(0);
        return;
    }
    char ansi[TS3_NAME * 4];
    const int k = WideCharToMultiByte(CP_ACP, 0, wide, -1, ansi, sizeof ansi, nullptr, nullptr);
    SetLastError(0);
    if (k <= 0)
        return;
    size_t len = static_cast<size_t>(k - 1);
    if (len > cap - 1)
        len = cap - 1;
    memcpy(text, ansi, len);
    text[len] = '\0';
}

const Ts3Host kWinHost = {
    nullptr,       win_now,          win_log,          win_lock_create,   win_lock_close,
    win_lock_take, win_lock_release, win_thread_start, win_thread_forget, win_sleep,
    win_open,      win_send,         win_recv,         win_close,         win_to_ansi,
    win_pause,     win_pause_close,  win_wake,
};

} // namespace

const Ts3Host* ts3_system_host() {
    return &kWinHost;
}
