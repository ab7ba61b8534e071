// LCDMon.exe of the virtual G15: owns the display state shared with lgLcdServer.dll,
// shows a hidden window of class "Logitech LCD Monitor Window" titled "LCDMon", and
// serves a line-based control channel on 127.0.0.1 (see README.md) through which a
// test or a person reads the frames, holds soft buttons, sends keys and injects faults.
//
// Usage: LCDMon.exe [--port N]. Without --port the port comes from "vg15.ini" beside
// the program ("port=N"), so a relaunch with no arguments comes back on the same port.
#include "../peerctl/peerctl.h"

#include <cstddef>

#include "vg15_shared.h"

using namespace vg15;

namespace {

constexpr uint16_t DEFAULT_PORT = 15915;
constexpr int MAX_CLIENTS = 16;
constexpr DWORD LOCK_WAIT_MS = 1000;
constexpr DWORD MAX_WAIT_MS = 60000; // cap on every wait a command asks for
constexpr uint32_t VK_CTRL = 0x11;

struct Monitor {
    HANDLE mapping;
    Shared* shm;
    HANDLE mutex;
    HANDLE button_event;
    PeerServer server; // the control channel
    uint16_t port;
    HWND window;
};

// One control connection: the block the channel allocates for each client.
struct Client {
    PeerConn conn; // first
    Monitor* mon;
    char line[512];
    uint8_t frame[FRAME_BYTES];
};
static_assert(offsetof(Client, conn) == 0, "the channel's connection begins the block");

bool lock(Monitor& m) {
    DWORD r = WaitForSingleObject(m.mutex, LOCK_WAIT_MS);
    return r == WAIT_OBJECT_0 || r == WAIT_ABANDONED;
}

void unlock(Monitor& m) {
    ReleaseMutex(m.mutex);
}

// Signed difference of two tick counts, so waits survive the counter's wrap.
int32_t ticks_until(uint32_t target) {
    return static_cast<int32_t>(target - GetTickCount());
}

void wait_until(uint32_t target) {
    uint32_t start = GetTickCount();
    for (;;) {
        int32_t left = ticks_until(target);
        if (left <= 0 || GetTickCount() - start > MAX_WAIT_MS)
            return;
        Sleep(left > 20 ? static_cast<DWORD>(left - 10) : 1);
    }
}

// ---- shared state ------------------------------------------------------------------

bool create_shared(Monitor& m) {
    m.mapping = CreateFileMappingA(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, 0, sizeof(Shared),
                                   SHM_NAME);
    if (!m.mapping)
        return false;
    m.shm = static_cast<Shared*>(MapViewOfFile(m.mapping, FILE_MAP_ALL_ACCESS, 0, 0, 0));
    m.mutex = CreateMutexA(nullptr, FALSE, MUTEX_NAME);
    m.button_event = CreateEventA(nullptr, FALSE, FALSE, BUTTON_EVENT_NAME);
    if (!m.shm || !m.mutex || !m.button_event)
        return false;
    if (!lock(m))
        return false;
    // An applet still holding the old mapping keeps it alive: start it afresh, with a
    // new generation so the applet's old connection reads as gone.
    uint32_t generation = m.shm->generation + 1;
    std::memset(m.shm, 0, sizeof(Shared));
    m.shm->layout = LAYOUT;
    m.shm->generation = generation;
    m.shm->lcdmon_pid = GetCurrentProcessId();
    m.shm->start_tick = GetTickCount();
    m.shm->port = m.port;
    reset_faults(m.shm);
    add_event(m.shm, GetTickCount(), GetCurrentProcessId(), EV_LCDMON_START, m.port, 0, 0);
    m.shm->magic = MAGIC;
    unlock(m);
    return true;
}

// Changes the held-button mask (set bits, then clear bits) and wakes the library's
// button thread. Returns the change's sequence number (0 when nothing changed).
uint32_t change_mask(Monitor& m, uint32_t set, uint32_t clear, uint32_t* tick) {
    uint32_t seq = 0;
    *tick = GetTickCount();
    if (!lock(m))
        return 0;
    uint32_t mask = ((m.shm->mask | set) & ~clear) & 0xF;
    if (mask != m.shm->mask) {
        seq = ++m.shm->mask_seq;
        MaskChange& c = m.shm->masks[seq % MASK_RING];
        c.seq = seq;
        c.tick = *tick;
        c.mask = mask;
        m.shm->mask = mask;
    }
    unlock(m);
    if (seq)
        SetEvent(m.button_event);
    return seq;
}

// Waits (at most ms) until the library has handed change seq to the applet.
bool wait_delivered(Monitor& m, uint32_t seq, DWORD ms) {
    uint32_t start = GetTickCount();
    while (GetTickCount() - start < ms) {
        if (static_cast<int32_t>(m.shm->delivered_seq - seq) >= 0)
            return true;
        Sleep(2);
    }
    return false;
}

void send_key(uint32_t vk, bool down) {
    INPUT in;
    std::memset(&in, 0, sizeof in);
    in.type = INPUT_KEYBOARD;
    in.ki.wVk = static_cast<WORD>(vk);
    in.ki.dwFlags = down ? 0 : KEYEVENTF_KEYUP;
    SendInput(1, &in, sizeof in);
}

// ---- control channel ----------------------------------------------------------------

// Copies frame seq out of the ring; false when it has been overwritten or not yet sent.
bool copy_frame(Monitor& m, uint32_t seq, uint8_t* pixels, uint32_t* tick, uint32_t* pid) {
    if (seq == 0 || !lock(m))
        return false;
    const FrameSlot& slot = m.shm->frames[seq % FRAME_RING];
    bool ok = slot.seq == seq;
    if (ok) {
        std::memcpy(pixels, slot.pixels, FRAME_BYTES);
        *tick = slot.tick;
        *pid = slot.pid;
    }
    unlock(m);
    return ok;
}

uint32_t oldest_frame(uint32_t latest) {
    return latest > FRAME_RING - 1 ? latest - (FRAME_RING - 1) : 1;
}

bool send_frame(Client& c, const char* head, uint32_t seq) {
    uint32_t tick = 0, pid = 0;
    if (!copy_frame(*c.mon, seq, c.frame, &tick, &pid))
        return peer_reply(&c.conn, "ERR frame %u is not available", seq);
    return peer_reply(&c.conn, "%s %u %u %u %d", head, seq, tick, pid, FRAME_BYTES) &&
           peer_send_all(c.conn.sock, c.frame, FRAME_BYTES);
}

// Parses "key=value" options after the arguments: at=<tick>.
bool option_at(char* const* words, int count, uint32_t* at) {
    for (int i = 0; i < count; ++i)
        if (std::strncmp(words[i], "at=", 3) == 0) {
            *at = static_cast<uint32_t>(std::strtoul(words[i] + 3, nullptr, 10));
            return true;
        }
    return false;
}

bool has_word(char* const* words, int count, const char* word) {
    for (int i = 0; i < count; ++i)
        if (_stricmp(words[i], word) == 0)
            return true;
    return false;
}

long arg(char* const* words, int count, int i, long fallback) {
    return i < count ? std::strtol(words[i], nullptr, 0) : fallback;
}

bool cmd_state(Client& c) {
    Monitor& m = *c.mon;
    char out[1024];
    if (!lock(m))
        return peer_reply(&c.conn, "ERR lock timeout");
    const Shared& s = *m.shm;
    snprintf(out, sizeof out,
             "OK generation=%u pid=%u port=%u applet_pid=%u connections=%d open_devices=%d "
             "update_calls=%u update_ok=%u update_lost=%u update_failed=%u frame_seq=%u "
             "event_seq=%u mask=%u mask_seq=%u delivered_seq=%u connect_result=%d "
             "device_count=%d open_fail_code=%d open_fail_count=%d update_fail_code=%d "
             "update_fail_count=%d stall_ms=%d now=%u",
             s.generation, s.lcdmon_pid, s.port, s.applet_pid, s.connections, s.open_devices,
             s.update_calls, s.update_ok, s.update_lost, s.update_failed, s.frame_seq, s.event_seq,
             s.mask, s.mask_seq, s.delivered_seq, s.connect_result, s.device_count,
             s.open_fail_code, s.open_fail_count, s.update_fail_code, s.update_fail_count,
             s.stall_ms, static_cast<uint32_t>(GetTickCount()));
    unlock(m);
    return peer_reply(&c.conn, "%s", out);
}

bool cmd_fault(Client& c, char* const* w, int n) {
    Monitor& m = *c.mon;
    if (n < 3)
        return peer_reply(&c.conn,
                          "ERR usage: FAULT connect|devices|open|update|stall <value> [count]");
    long value = arg(w, n, 2, 0);
    long count = arg(w, n, 3, -1);
    if (!lock(m))
        return peer_reply(&c.conn, "ERR lock timeout");
    bool known = true;
    if (_stricmp(w[1], "connect") == 0) {
        m.shm->connect_result = value;
    } else if (_stricmp(w[1], "devices") == 0) {
        m.shm->device_count = value < 0 ? 0 : value > MAX_DEVICES ? MAX_DEVICES : value;
    } else if (_stricmp(w[1], "open") == 0) {
        m.shm->open_fail_code = value;
        m.shm->open_fail_count = value ? count : 0;
    } else if (_stricmp(w[1], "update") == 0) {
        m.shm->update_fail_code = value;
        m.shm->update_fail_count = value ? count : 0;
    } else if (_stricmp(w[1], "stall") == 0) {
        m.shm->stall_ms = value < 0                                ? 0
                          : value > static_cast<long>(MAX_WAIT_MS) ? MAX_WAIT_MS
                                                                   : value;
    } else if (_stricmp(w[1], "late") == 0) { // FAULT late <mask 0-15> [ms] [deinit]
        m.shm->late_mask = value & 15;
        m.shm->late_ms = count < 0                                ? 0
                         : count > static_cast<long>(MAX_WAIT_MS) ? MAX_WAIT_MS
                                                                  : count;
        m.shm->late_in_deinit = has_word(w, n, "deinit") ? 1 : 0;
        m.shm->late_armed = 1;
    } else {
        known = false;
    }
    unlock(m);
    return known ? peer_reply(&c.conn, "OK") : peer_reply(&c.conn, "ERR unknown fault '%s'", w[1]);
}

bool cmd_events(Client& c, char* const* w, int n) {
    Monitor& m = *c.mon;
    uint32_t since = static_cast<uint32_t>(arg(w, n, 1, 0));
    static_assert(EVENT_RING <= 1024, "one reply holds the whole ring");
    Event copy[EVENT_RING];
    uint32_t count = 0;
    if (!lock(m))
        return peer_reply(&c.conn, "ERR lock timeout");
    uint32_t latest = m.shm->event_seq;
    uint32_t first = since + 1;
    if (latest >= EVENT_RING && first + EVENT_RING <= latest)
        first = latest - EVENT_RING + 1;
    for (uint32_t seq = first; seq <= latest && count < EVENT_RING; ++seq) {
        const Event& e = m.shm->events[(seq - 1) % EVENT_RING];
        if (e.seq == seq)
            copy[count++] = e;
    }
    unlock(m);
    if (!peer_reply(&c.conn, "OK %u %u", count, latest))
        return false;
    for (uint32_t i = 0; i < count; ++i) {
        const Event& e = copy[i];
        if (!peer_reply(&c.conn, "E %u %u %u %s %d %d %d", e.seq, e.tick, e.pid, event_name(e.kind),
                        e.a, e.b, e.result))
            return false;
    }
    return true;
}

bool cmd_frames(Client& c, char* const* w, int n) {
    Monitor& m = *c.mon;
    uint32_t since = static_cast<uint32_t>(arg(w, n, 1, 0));
    long max = arg(w, n, 2, 64);
    if (max < 1 || max > static_cast<long>(FRAME_RING))
        max = FRAME_RING;
    uint32_t latest = m.shm->frame_seq;
    uint32_t first = since + 1;
    if (first < oldest_frame(latest))
        first = oldest_frame(latest);
    uint32_t count = latest >= first ? latest - first + 1 : 0;
    if (count > static_cast<uint32_t>(max))
        count = static_cast<uint32_t>(max);
    if (!peer_reply(&c.conn, "OK %u %u %u", count, first, latest))
        return false;
    for (uint32_t i = 0; i < count; ++i)
        if (!send_frame(c, "F", first + i))
            return false;
    return true;
}

bool cmd_waitframe(Client& c, char* const* w, int n) {
    Monitor& m = *c.mon;
    uint32_t since = static_cast<uint32_t>(arg(w, n, 1, 0));
    long timeout = arg(w, n, 2, 1000);
    if (timeout < 0 || timeout > static_cast<long>(MAX_WAIT_MS))
        timeout = MAX_WAIT_MS;
    uint32_t start = GetTickCount();
    while (static_cast<int32_t>(m.shm->frame_seq - since) <= 0) {
        if (GetTickCount() - start >= static_cast<uint32_t>(timeout))
            return peer_reply(&c.conn, "ERR timeout");
        Sleep(2);
    }
    uint32_t latest = m.shm->frame_seq;
    uint32_t seq = since + 1 < oldest_frame(latest) ? oldest_frame(latest) : since + 1;
    return send_frame(c, "OK", seq);
}

bool cmd_press(Client& c, char* const* w, int n) {
    Monitor& m = *c.mon;
    long button = arg(w, n, 1, -1);
    long ms = arg(w, n, 2, 100);
    if (button < 0 || button > 3 || ms < 0 || ms > static_cast<long>(MAX_WAIT_MS))
        return peer_reply(&c.conn, "ERR usage: PRESS <button 0-3> <ms> [ctrl] [at=<tick>]");
    bool ctrl = has_word(w, n, "ctrl");
    uint32_t at = 0;
    if (ctrl) {
        send_key(VK_CTRL, true);
        // Wine caches a thread's "key up" answer of GetAsyncKeyState for 50 ms: a
        // callback thread that asked just before would not see Ctrl yet. A lead
        // longer than that lets the applet see the key as a user's hand would.
        Sleep(80);
    }
    if (option_at(w, n, &at))
        wait_until(at);
    uint32_t down = 0, up = 0;
    change_mask(m, 1u << button, 0, &down);
    wait_until(down + static_cast<uint32_t>(ms));
    uint32_t seq = change_mask(m, 0, 1u << button, &up);
    if (ctrl) {
        if (seq)
            wait_delivered(m, seq, 300);
        send_key(VK_CTRL, false);
    }
    return peer_reply(&c.conn, "OK down=%u up=%u", down, up);
}

bool cmd_buttons(Client& c, char* const* w, int n) {
    Monitor& m = *c.mon;
    uint32_t at = 0;
    if (option_at(w, n, &at))
        wait_until(at);
    uint32_t tick = 0, seq = 0;
    long value = arg(w, n, 1, -1);
    if (_stricmp(w[0], "MASK") == 0) {
        if (value < 0 || value > 15)
            return peer_reply(&c.conn, "ERR usage: MASK <0-15> [at=<tick>]");
        seq = change_mask(m, static_cast<uint32_t>(value), ~static_cast<uint32_t>(value), &tick);
    } else {
        if (value < 0 || value > 3)
            return peer_reply(&c.conn, "ERR usage: DOWN|UP <button 0-3> [at=<tick>]");
        bool down = _stricmp(w[0], "DOWN") == 0;
        seq = change_mask(m, down ? 1u << value : 0, down ? 0 : 1u << value, &tick);
    }
    return peer_reply(&c.conn, "OK %u %u", tick, seq);
}

bool cmd_key(Client& c, char* const* w, int n) {
    long vk = arg(w, n, 1, -1);
    if (vk < 1 || vk > 254 || n < 3)
        return peer_reply(&c.conn, "ERR usage: KEY <vk 1-254> down|up");
    send_key(static_cast<uint32_t>(vk), _stricmp(w[2], "down") == 0);
    return peer_reply(&c.conn, "OK %u", static_cast<uint32_t>(GetTickCount()));
}

void leave(Monitor& m, UINT code) {
    InterlockedExchange(&m.server.quit, 1);
    if (lock(m)) {
        m.shm->magic = 0; // a new connect finds no LCD Manager
        unlock(m);
    }
    ExitProcess(code);
}

// One command; false ends the connection.
bool handle(Client& c) {
    char* words[8];
    int n = 0;
    for (char* p = std::strtok(c.line, " \t"); p && n < 8; p = std::strtok(nullptr, " \t"))
        words[n++] = p;
    if (n == 0)
        return true;
    Monitor& m = *c.mon;
    const char* cmd = words[0];
    if (_stricmp(cmd, "HELLO") == 0 || _stricmp(cmd, "PING") == 0)
        return peer_reply(&c.conn, "OK vg15 %u pid=%u generation=%u port=%u", LAYOUT,
                          static_cast<uint32_t>(GetCurrentProcessId()), m.shm->generation, m.port);
    if (_stricmp(cmd, "NOW") == 0)
        return peer_reply(&c.conn, "OK %u", static_cast<uint32_t>(GetTickCount()));
    if (_stricmp(cmd, "STATE") == 0)
        return cmd_state(c);
    if (_stricmp(cmd, "FAULT") == 0)
        return cmd_fault(c, words, n);
    if (_stricmp(cmd, "RESET") == 0) {
        if (!lock(m))
            return peer_reply(&c.conn, "ERR lock timeout");
        reset_faults(m.shm);
        unlock(m);
        return peer_reply(&c.conn, "OK");
    }
    if (_stricmp(cmd, "EVENTS") == 0)
        return cmd_events(c, words, n);
    if (_stricmp(cmd, "FRAME") == 0) {
        uint32_t seq = n > 1 ? static_cast<uint32_t>(arg(words, n, 1, 0)) : m.shm->frame_seq;
        return send_frame(c, "OK", seq);
    }
    if (_stricmp(cmd, "FRAMES") == 0)
        return cmd_frames(c, words, n);
    if (_stricmp(cmd, "WAITFRAME") == 0)
        return cmd_waitframe(c, words, n);
    if (_stricmp(cmd, "PRESS") == 0)
        return cmd_press(c, words, n);
    if (_stricmp(cmd, "MASK") == 0 || _stricmp(cmd, "DOWN") == 0 || _stricmp(cmd, "UP") == 0)
        return cmd_buttons(c, words, n);
    if (_stricmp(cmd, "KEY") == 0)
        return cmd_key(c, words, n);
    if (_stricmp(cmd, "EXIT") == 0) {
        peer_reply(&c.conn, "OK");
        shutdown(c.conn.sock, SD_SEND);
        closesocket(c.conn.sock);
        leave(m, static_cast<UINT>(arg(words, n, 1, 0)));
    }
    return peer_reply(&c.conn, "ERR unknown command '%s'", cmd);
}

// Serves one control connection until it ends.
void session(void* ctx, PeerConn* conn) {
    Client& c = *reinterpret_cast<Client*>(conn);
    c.mon = static_cast<Monitor*>(ctx);
    while (peer_read_line(conn, c.line, sizeof c.line) && handle(c)) {
    }
}

LRESULT CALLBACK window_proc(HWND hwnd, UINT msg, WPARAM wp, LPARAM lp) {
    if (msg == WM_DESTROY) {
        PostQuitMessage(0);
        return 0;
    }
    return DefWindowProcA(hwnd, msg, wp, lp);
}

void fail(const char* what) {
    std::fprintf(stderr, "LCDMon (vg15): %s (error %lu)\n", what, GetLastError());
    std::fflush(stderr);
}

} // namespace

int WINAPI WinMain(HINSTANCE instance, HINSTANCE, LPSTR, int) {
    static Monitor mon; // one per process; threads get its address
    mon.port = peer_port("vg15.ini", DEFAULT_PORT);
    for (int i = 1; i + 1 < __argc; ++i)
        if (std::strcmp(__argv[i], "--port") == 0)
            mon.port = static_cast<uint16_t>(std::atoi(__argv[i + 1]));

    // One LCDMon at a time, decided atomically: two started together (an applet that
    // launched a second one while a slow first was still starting) would both pass the
    // window check, and the one that lost the port would have reset the shared state to
    // its own pid before exiting, leaving the survivor unreachable for applets. The
    // instance mutex is owned for the process's life; a dead owner's is taken over.
    HANDLE instance_lock = CreateMutexA(nullptr, FALSE, INSTANCE_MUTEX_NAME);
    DWORD taken = instance_lock ? WaitForSingleObject(instance_lock, 0) : WAIT_FAILED;
    if (taken != WAIT_OBJECT_0 && taken != WAIT_ABANDONED) {
        fail("another LCDMon is running or starting");
        return 1;
    }
    if (FindWindowA(LCDMON_CLASS, LCDMON_TITLE)) {
        fail("another LCDMon is running");
        return 1;
    }
    if (!create_shared(mon)) {
        fail("cannot create the shared state");
        return 2;
    }
    WNDCLASSA wc;
    std::memset(&wc, 0, sizeof wc);
    wc.lpfnWndProc = window_proc;
    wc.hInstance = instance;
    wc.lpszClassName = LCDMON_CLASS;
    if (!RegisterClassA(&wc)) {
        fail("cannot register the window class");
        return 3;
    }
    mon.window = CreateWindowExA(0, LCDMON_CLASS, LCDMON_TITLE, WS_OVERLAPPED, 0, 0, 10, 10,
                                 nullptr, nullptr, instance, nullptr);
    if (!mon.window) {
        fail("cannot create the window");
        return 4;
    }
    mon.server.session = session;
    mon.server.ctx = &mon;
    mon.server.conn_bytes = sizeof(Client);
    mon.server.max_clients = MAX_CLIENTS;
    if (!peer_listen(&mon.server, mon.port)) {
        fail("cannot listen on the control port");
        return 5;
    }
    HANDLE t = CreateThread(nullptr, 0, peer_serve_clients, &mon.server, 0, nullptr);
    if (!t) {
        fail("cannot start the control thread");
        return 6;
    }
    CloseHandle(t);
    std::fprintf(stderr, "LCDMon (vg15): pid %lu listening on 127.0.0.1:%u\n",
                 GetCurrentProcessId(), mon.port);
    std::fflush(stderr);

    MSG msg;
    while (GetMessageA(&msg, nullptr, 0, 0) > 0) {
        TranslateMessage(&msg);
        DispatchMessageA(&msg);
    }
    leave(mon, 0);
    return 0;
}
