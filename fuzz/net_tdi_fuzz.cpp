// Arbitrary TCP-device replies: entity lists of any length, entity types and IFEntry
// records cut short anywhere. The parsers get buffers of exactly the returned size
// (so a read past it is caught), and the whole source runs against a device that
// answers from the input: no crash, no overrun, counters only ever from whole
// replies.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "meters/ndisstats.h"

namespace {

struct Feed {
    const uint8_t* data;
    size_t size;
    size_t pos;
    uint8_t byte() { return pos < size ? data[pos++] : 0; }
    uint32_t take(uint8_t* out, uint32_t cap) {
        uint32_t want = static_cast<uint32_t>(byte()) << 8 | byte();
        uint32_t n = want < cap ? want : cap;
        for (uint32_t i = 0; i < n; ++i)
            out[i] = byte();
        return n;
    }
};

uint32_t f_tick(void*) {
    return 0;
}
void f_open(void* c, void** ntdll, void** device) {
    Feed* f = static_cast<Feed*>(c);
    *ntdll = reinterpret_cast<void*>(0x10);
    *device = (f->byte() & 7) ? reinterpret_cast<void*>(0x100) : net_invalid_handle();
}
void f_release(void*, void*) {}
bool f_ioctl(void* c, void*, uint32_t, const void*, uint32_t, void* out, uint32_t out_bytes,
             uint32_t* returned) {
    Feed* f = static_cast<Feed*>(c);
    if ((f->byte() & 15) == 0)
        return false;
    *returned = f->take(static_cast<uint8_t*>(out), out_bytes);
    return true;
}
bool f_no_key(void*, void**) {
    return false;
}
bool f_enum(void*, void*, uint32_t, char*, uint32_t) {
    return false;
}
bool f_subkey(void*, void*, const char*, void**) {
    return false;
}
bool f_value(void*, void*, const char*, char*, uint32_t, uint32_t*, uint32_t*) {
    return false;
}
bool f_device(void*, const char*, void**) {
    return false;
}
void f_log(void*, int, const char*) {}

template <typename Parse> void exact(const uint8_t* data, size_t size, Parse parse) {
    std::vector<uint8_t> copy(data, data + size);
    parse(copy.empty() ? nullptr : copy.data(), static_cast<uint32_t>(copy.size()));
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    exact(data, size, [](const uint8_t* p, uint32_t n) {
        IfStats s;
        if (tdi_parse_ifentry(p, n, &s) && n < NET_IFENTRY_NEEDED)
            abort();
        uint32_t type;
        tdi_parse_type(p, n, &type);
        int32_t count = tdi_entity_count(n, n);
        for (int32_t i = 0; i < count; ++i) {
            uint32_t kind, instance;
            tdi_entity_at(p, i, &kind, &instance);
        }
    });

    Feed feed{data, size, 0};
    NetHost host{f_tick,   f_open,  f_release, f_release, f_ioctl, f_no_key, f_enum,
                 f_subkey, f_value, f_release, f_device,  f_log,   &feed};
    TcpSource tcp;
    tcp_reset(&tcp, &host);
    tcp_open(&tcp);
    for (int round = 0; round < 6 && feed.pos < size; ++round) {
        uint32_t in = 0, out = 0;
        int32_t n = tcp_read(&tcp, &in, &out);
        if (n < 0 || n > tcp.entity_count)
            abort();
        if (round % 2)
            tcp_refresh(&tcp);
    }
    tcp_close(&tcp);
    return 0;
}
