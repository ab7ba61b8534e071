// Stand-in for the SpeedFan hardware monitor: publishes the shared memory
// "SFSharedMemory_ALM" with readings the tests set over a control channel on
// loopback.
//
// Usage: speedfan.exe [--port N] (default from "speedfan.ini" beside the program, else
// KORVANE_PORT_BASE + 61). Commands, one a line:
//   PING                      -> OK speedfan pid=<pid>
//   TEMPS <v> ...             temperatures in hundredths of a degree (count = values)
//   FANS <v> ...              fan speeds
//   VOLTS <v> ...             voltages in hundredths of a volt
//   COUNTS <t> <f> <v>        the published counts alone (they may lie: above 32, or
//                             more than the mapping holds)
//   VERSION <n>               the published version (1 is the one readers take)
//   SIZE <bytes>              publish again in a mapping of this size (402 = whole)
//   CLOSE                     the mapping goes away (SpeedFan ended)
//   OPEN                      and comes back with the last readings
//   EXIT
#include "../peerctl/peerctl.h"

#include <cstdint>

namespace {

const char kName[] = "SFSharedMemory_ALM";
constexpr size_t kWhole = 402;

struct Monitor {
    CRITICAL_SECTION lock;
    uint8_t record[kWhole]; // what is published, whole
    size_t size;            // the mapping's size
    HANDLE mapping;
    uint8_t* view;
};

Monitor g_mon;

void put16(uint8_t* p, unsigned v) {
    p[0] = static_cast<uint8_t>(v);
    p[1] = static_cast<uint8_t>(v >> 8);
}

void put32(uint8_t* p, long v) {
    unsigned long u = static_cast<unsigned long>(v);
    for (int i = 0; i < 4; ++i)
        p[i] = static_cast<uint8_t>(u >> (8 * i));
}

void publish(Monitor& m) {
    if (m.view)
        std::memcpy(m.view, m.record, m.size < kWhole ? m.size : kWhole);
}

bool open_mapping(Monitor& m) {
    m.mapping = CreateFileMappingA(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, 0,
                                   static_cast<DWORD>(m.size), kName);
    if (!m.mapping)
        return false;
    m.view = static_cast<uint8_t*>(MapViewOfFile(m.mapping, FILE_MAP_WRITE, 0, 0, 0));
    if (!m.view) {
        CloseHandle(m.mapping);
        m.mapping = nullptr;
        return false;
    }
    publish(m);
    return true;
}

void close_mapping(Monitor& m) {
    if (m.view)
        UnmapViewOfFile(m.view);
    if (m.mapping)
        CloseHandle(m.mapping);
    m.view = nullptr;
    m.mapping = nullptr;
}

// Values after the command word into the array at `at` (at most 32) and the count at
// count_at.
void set_values(Monitor& m, char* rest, size_t count_at, size_t at) {
    unsigned n = 0;
    char* p = rest;
    while (*p && n < 32) {
        char* end;
        long v = std::strtol(p, &end, 10);
        if (end == p)
            break;
        put32(m.record + at + 4 * n, v);
        ++n;
        p = end;
    }
    put16(m.record + count_at, n);
}

bool handle(void*, char* line, char* out, size_t cap) {
    Monitor& m = g_mon;
    char* rest = peer_rest(line);
    bool go_on = true;
    EnterCriticalSection(&m.lock);
    snprintf(out, cap, "OK");
    if (_strnicmp(line, "PING", 4) == 0) {
        snprintf(out, cap, "OK speedfan pid=%lu", GetCurrentProcessId());
    } else if (_strnicmp(line, "TEMPS", 5) == 0) {
        set_values(m, rest, 12, 18);
    } else if (_strnicmp(line, "FANS", 4) == 0) {
        set_values(m, rest, 14, 146);
    } else if (_strnicmp(line, "VOLTS", 5) == 0) {
        set_values(m, rest, 16, 274);
    } else if (_strnicmp(line, "COUNTS ", 7) == 0) {
        unsigned t = 0, f = 0, v = 0;
        if (sscanf(rest, "%u %u %u", &t, &f, &v) == 3) {
            put16(m.record + 12, t);
            put16(m.record + 14, f);
            put16(m.record + 16, v);
        } else {
            snprintf(out, cap, "ERR COUNTS <t> <f> <v>");
        }
    } else if (_strnicmp(line, "VERSION ", 8) == 0) {
        put16(m.record, static_cast<unsigned>(std::strtoul(rest, nullptr, 10)));
    } else if (_strnicmp(line, "SIZE ", 5) == 0) {
        close_mapping(m);
        m.size = std::strtoul(rest, nullptr, 10);
        if (m.size == 0 || !open_mapping(m))
            snprintf(out, cap, "ERR cannot map %lu bytes", static_cast<unsigned long>(m.size));
    } else if (_stricmp(line, "CLOSE") == 0) {
        close_mapping(m);
    } else if (_stricmp(line, "OPEN") == 0) {
        if (!m.view && !open_mapping(m))
            snprintf(out, cap, "ERR cannot map (error %lu)", GetLastError());
    } else if (_stricmp(line, "EXIT") == 0) {
        go_on = false;
    } else {
        snprintf(out, cap, "ERR unknown command");
    }
    publish(m);
    LeaveCriticalSection(&m.lock);
    return go_on;
}

} // namespace

int main(int argc, char** argv) {
    static PeerChannel channel;
    unsigned short port = peer_port("speedfan.ini", peer_base_port(61));
    for (int i = 1; i + 1 < argc; ++i)
        if (std::strcmp(argv[i], "--port") == 0)
            port = static_cast<unsigned short>(std::atoi(argv[i + 1]));
    InitializeCriticalSection(&g_mon.lock);
    put16(g_mon.record, 1);
    g_mon.size = kWhole;
    if (!open_mapping(g_mon)) {
        std::fprintf(stderr, "speedfan stand-in: cannot create the mapping (%lu)\n",
                     GetLastError());
        return 2;
    }
    channel.handler = handle;
    if (!peer_listen(&channel, port)) {
        std::fprintf(stderr, "speedfan stand-in: cannot listen on port %u\n", port);
        return 5;
    }
    peer_serve(&channel); // until EXIT
    close_mapping(g_mon);
    return 0;
}
