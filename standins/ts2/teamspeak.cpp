// TeamSpeak.exe of the TeamSpeak 2 stand-in: shows a hidden window of class
// "TApplication" titled "TeamSpeak 2", owns the state that TSRemote.dll answers from
// (ts2_shared.h), and serves a line-based control channel on 127.0.0.1 through which
// a test or the demo sets the client's records and reads the calls the library saw.
//
// Usage: TeamSpeak.exe [--port N]; without --port the port comes from "ts2.ini"
// beside the program ("port=N"). Commands (one line each, answered "OK ..." or
// "ERR ..."):
//   HELLO                          -> OK pid=<pid> port=<port>
//   NOW                            -> OK <tick count>
//   RECORD server|user|players|speakers <hex>   raw bytes from offset 0 (rest zeroed)
//   COUNT players|speakers <n>     the count answered (may be hostile)
//   CONNECTED 0|1                  0: tsrGetServerInfo answers -1
//   FAULT <entry> <result> <count> the entry answers <result> (count -1 = always, 0 off)
//   DELAY <entry> <ms> <count>     the entry waits <ms> before answering
//   CALLS <since>                  -> OK <n>, then n lines "<seq> <start> <tick> <pid>
//                                     <tid> <entry> <arg> <result>"
//   RESET                          records, counts and behaviours cleared, not connected
//   EXIT [code]                    ends the program
// Entries: server, user, players, speakers, flags, other.
#include "../peerctl/peerctl.h"

#include <cstddef>

#include "ts2_shared.h"

using namespace ts2s;

namespace {

constexpr int MAX_CLIENTS = 8;
constexpr int LINE_BYTES = 16384; // a full player list in hex fits

struct Program {
    HANDLE mapping;
    HANDLE mutex;
    Shared* shm;
    PeerServer server; // the control channel
    uint16_t port;
};

// One control connection: the block the channel allocates for each client.
struct Client {
    PeerConn conn; // first
    Program* prog;
    char line[LINE_BYTES];
    Call copy[CALL_RING]; // CALLS answers from this copy, read under the lock
};
static_assert(offsetof(Client, conn) == 0, "the channel's connection begins the block");

const char* const kEntries[E_COUNT] = {"server", "user", "players", "speakers", "flags", "other"};

bool lock(Program& p) {
    DWORD r = WaitForSingleObject(p.mutex, 1000);
    return r == WAIT_OBJECT_0 || r == WAIT_ABANDONED;
}

void unlock(Program& p) {
    ReleaseMutex(p.mutex);
}

int entry_of(const char* name) {
    for (int i = 0; i < static_cast<int>(E_COUNT); ++i)
        if (_stricmp(name, kEntries[i]) == 0)
            return i;
    return -1;
}

bool cmd_record(Client& c, const char* which, const char* hex) {
    Program& p = *c.prog;
    uint8_t* dest = nullptr;
    size_t cap = 0;
    if (_stricmp(which, "server") == 0) {
        dest = p.shm->server;
        cap = SERVER_BYTES;
    } else if (_stricmp(which, "user") == 0) {
        dest = p.shm->user;
        cap = USER_BYTES;
    } else if (_stricmp(which, "players") == 0) {
        dest = p.shm->players;
        cap = sizeof p.shm->players;
    } else if (_stricmp(which, "speakers") == 0) {
        dest = reinterpret_cast<uint8_t*>(p.shm->speakers);
        cap = sizeof p.shm->speakers;
    } else {
        return peer_reply(&c.conn, "ERR unknown record '%s'", which);
    }
    static_assert(sizeof(Shared::players) == MAX_PLAYERS * PLAYER_BYTES, "layout");
    uint8_t scratch[MAX_PLAYERS * PLAYER_BYTES];
    long got = peer_unhex(hex, scratch, cap);
    if (got < 0)
        return peer_reply(&c.conn, "ERR bad hex or too long for %s", which);
    if (!lock(p))
        return peer_reply(&c.conn, "ERR lock");
    std::memset(scratch + got, 0, cap - static_cast<size_t>(got));
    change_begin(p.shm);
    std::memcpy(dest, scratch, cap);
    change_end(p.shm);
    unlock(p);
    return peer_reply(&c.conn, "OK");
}

bool cmd_calls(Client& c, uint32_t since) {
    Program& p = *c.prog;
    Call* copy = c.copy;
    uint32_t n = 0;
    if (!lock(p))
        return peer_reply(&c.conn, "ERR lock");
    uint32_t last = p.shm->call_seq;
    uint32_t first = last > CALL_RING - 1 ? last - (CALL_RING - 1) : 1;
    if (since + 1 > first)
        first = since + 1;
    for (uint32_t s = first; s <= last && s != 0; ++s) {
        const Call& k = p.shm->calls[s % CALL_RING];
        if (k.seq == s)
            copy[n++] = k;
    }
    unlock(p);
    if (!peer_reply(&c.conn, "OK %u", n))
        return false;
    for (uint32_t i = 0; i < n; ++i) {
        const Call& k = copy[i];
        if (!peer_reply(&c.conn, "%u %u %u %u %u %s %d %d", k.seq, k.start, k.tick, k.pid, k.tid,
                        k.entry < E_COUNT ? kEntries[k.entry] : "?", k.arg, k.result))
            return false;
    }
    return true;
}

bool handle(Client& c) {
    Program& p = *c.prog;
    char* words[8] = {};
    int n = 0;
    for (char* t = std::strtok(c.line, " \t"); t && n < 8; t = std::strtok(nullptr, " \t"))
        words[n++] = t;
    if (n == 0)
        return peer_reply(&c.conn, "ERR empty");
    const char* cmd = words[0];
    auto num = [&](int i, long def) { return i < n ? std::strtol(words[i], nullptr, 0) : def; };
    if (_stricmp(cmd, "HELLO") == 0)
        return peer_reply(&c.conn, "OK pid=%lu port=%u", GetCurrentProcessId(), p.port);
    if (_stricmp(cmd, "NOW") == 0)
        return peer_reply(&c.conn, "OK %lu", GetTickCount());
    if (_stricmp(cmd, "RECORD") == 0 && n >= 2)
        return cmd_record(c, words[1], n >= 3 ? words[2] : "");
    if (_stricmp(cmd, "CALLS") == 0)
        return cmd_calls(c,
                         static_cast<uint32_t>(std::strtoul(n > 1 ? words[1] : "0", nullptr, 10)));
    if (_stricmp(cmd, "EXIT") == 0) {
        peer_reply(&c.conn, "OK");
        shutdown(c.conn.sock, SD_SEND);
        ExitProcess(static_cast<UINT>(num(1, 0)));
    }
    if (!lock(p))
        return peer_reply(&c.conn, "ERR lock");
    change_begin(p.shm);
    bool ok = true;
    if (_stricmp(cmd, "COUNT") == 0 && n == 3) {
        int32_t v = static_cast<int32_t>(std::strtol(words[2], nullptr, 0));
        if (_stricmp(words[1], "players") == 0)
            p.shm->player_count = v;
        else if (_stricmp(words[1], "speakers") == 0)
            p.shm->speaker_count = v;
        else
            ok = false;
    } else if (_stricmp(cmd, "CONNECTED") == 0 && n == 2) {
        p.shm->connected = static_cast<int32_t>(num(1, 0));
    } else if ((_stricmp(cmd, "FAULT") == 0 || _stricmp(cmd, "DELAY") == 0) && n == 4) {
        int e = entry_of(words[1]);
        if (e < 0) {
            ok = false;
        } else if (_stricmp(cmd, "FAULT") == 0) {
            p.shm->behaviour[e].result = static_cast<int32_t>(num(2, 0));
            p.shm->behaviour[e].result_count = static_cast<int32_t>(num(3, 0));
        } else {
            p.shm->behaviour[e].delay_ms = static_cast<uint32_t>(num(2, 0));
            p.shm->behaviour[e].delay_count = static_cast<int32_t>(num(3, 0));
        }
    } else if (_stricmp(cmd, "RESET") == 0) {
        uint32_t seq = p.shm->call_seq;
        std::memset(p.shm, 0, offsetof(Shared, call_seq));
        p.shm->magic = MAGIC;
        p.shm->call_seq = seq;
    } else {
        change_end(p.shm);
        unlock(p);
        return peer_reply(&c.conn, "ERR unknown command '%s'", cmd);
    }
    change_end(p.shm);
    unlock(p);
    return ok ? peer_reply(&c.conn, "OK") : peer_reply(&c.conn, "ERR bad arguments");
}

// Serves one control connection until it ends.
void session(void* ctx, PeerConn* conn) {
    Client& c = *reinterpret_cast<Client*>(conn);
    c.prog = static_cast<Program*>(ctx);
    while (peer_read_line(conn, c.line, sizeof c.line) && handle(c)) {
    }
}

void fail(const char* what) {
    std::fprintf(stderr, "TeamSpeak (stand-in): %s (error %lu)\n", what, GetLastError());
    std::fflush(stderr);
}

} // namespace

int WINAPI WinMain(HINSTANCE instance, HINSTANCE, LPSTR, int) {
    static Program prog;
    prog.port = peer_port("ts2.ini", 0);
    for (int i = 1; i + 1 < __argc; ++i)
        if (std::strcmp(__argv[i], "--port") == 0)
            prog.port = static_cast<uint16_t>(std::atoi(__argv[i + 1]));
    if (prog.port == 0) {
        fail("no port: ts2.ini or --port");
        return 1;
    }
    prog.mutex = CreateMutexA(nullptr, FALSE, MUTEX_NAME);
    prog.mapping = CreateFileMappingA(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, 0,
                                      sizeof(Shared), SHM_NAME);
    if (!prog.mutex || !prog.mapping) {
        fail("cannot create the shared state");
        return 2;
    }
    prog.shm = static_cast<Shared*>(
        MapViewOfFile(prog.mapping, FILE_MAP_ALL_ACCESS, 0, 0, sizeof(Shared)));
    if (!prog.shm) {
        fail("cannot map the shared state");
        return 2;
    }
    if (lock(prog)) {
        // A library of an earlier copy may still map the state: all but the version.
        change_begin(prog.shm);
        std::memset(prog.shm, 0, offsetof(Shared, version));
        std::memset(prog.shm->calls, 0, sizeof prog.shm->calls);
        prog.shm->magic = MAGIC;
        change_end(prog.shm);
        unlock(prog);
    }
    WNDCLASSA wc;
    std::memset(&wc, 0, sizeof wc);
    wc.lpfnWndProc = DefWindowProcA;
    wc.hInstance = instance;
    wc.lpszClassName = WINDOW_CLASS;
    if (!RegisterClassA(&wc) || !CreateWindowExA(0, WINDOW_CLASS, WINDOW_TITLE, WS_OVERLAPPED, 0, 0,
                                                 10, 10, nullptr, nullptr, instance, nullptr)) {
        fail("cannot create the window");
        return 3;
    }
    prog.server.session = session;
    prog.server.ctx = &prog;
    prog.server.conn_bytes = sizeof(Client);
    prog.server.max_clients = MAX_CLIENTS;
    if (!peer_listen(&prog.server, prog.port)) {
        fail("cannot listen on the control port");
        return 4;
    }
    HANDLE t = CreateThread(nullptr, 0, peer_serve_clients, &prog.server, 0, nullptr);
    if (!t) {
        fail("cannot start the control thread");
        return 5;
    }
    CloseHandle(t);
    std::fprintf(stderr, "TeamSpeak (stand-in): pid %lu listening on 127.0.0.1:%u\n",
                 GetCurrentProcessId(), prog.port);
    std::fflush(stderr);
    MSG msg;
    while (GetMessageA(&msg, nullptr, 0, 0) > 0) {
        TranslateMessage(&msg);
        DispatchMessageA(&msg);
    }
    return 0;
}
