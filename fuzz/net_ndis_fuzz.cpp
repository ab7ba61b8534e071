// Arbitrary NetworkCards contents and NDIS replies: subkey names, "ServiceName" and
// "Description" values of any bytes and length (not zero-terminated), replies cut
// short anywhere. The reply parser gets a buffer of exactly the returned size; the
// scan and the readings must never overrun a text or the card table.
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
    uint32_t take(char* out, uint32_t cap) {
        uint32_t want = static_cast<uint32_t>(byte()) << 8 | byte();
        uint32_t n = want < cap ? want : cap;
        for (uint32_t i = 0; i < n; ++i)
            out[i] = static_cast<char>(byte());
        return n;
    }
};

uint32_t f_tick(void*) {
    return 0;
}
void f_open(void*, void** ntdll, void** device) {
    *ntdll = nullptr;
    *device = net_invalid_handle();
}
void f_release(void*, void*) {}
bool f_ioctl(void* c, void*, uint32_t, const void*, uint32_t, void* out, uint32_t out_bytes,
             uint32_t* returned) {
    Feed* f = static_cast<Feed*>(c);
    if ((f->byte() & 7) == 0)
        return false;
    *returned = f->take(static_cast<char*>(out), out_bytes);
    return true;
}
bool f_key(void* c, void** key) {
    *key = reinterpret_cast<void*>(0x2000);
    return (static_cast<Feed*>(c)->byte() & 31) != 0;
}
bool f_enum(void* c, void*, uint32_t index, char* name, uint32_t cap) {
    Feed* f = static_cast<Feed*>(c);
    if (index > 40 || (f->byte() & 15) == 0)
        return false;
    // Like the registry: a name that fits, zero-terminated.
    uint32_t n = f->byte() % cap;
    for (uint32_t i = 0; i < n; ++i)
        name[i] = static_cast<char>(f->byte() | 1);
    name[n] = '\0';
    return true;
}
bool f_subkey(void* c, void*, const char* name, void** sub) {
    if (strlen(name) >= NET_SUBKEY_CHARS)
        abort();
    *sub = reinterpret_cast<void*>(0x3000);
    return (static_cast<Feed*>(c)->byte() & 7) != 0;
}
bool f_value(void* c, void*, const char*, char* buf, uint32_t cap, uint32_t* bytes,
             uint32_t* type) {
    Feed* f = static_cast<Feed*>(c);
    if ((f->byte() & 7) == 0)
        return false;
    *type = f->byte() & 3;
    *bytes = f->take(buf, cap);
    return true;
}
bool f_device(void* c, const char* path, void** handle) {
    if (strlen(path) >= 4 + NET_TEXT)
        abort();
    Feed* f = static_cast<Feed*>(c);
    uint8_t b = f->byte();
    *handle = reinterpret_cast<void*>(static_cast<uintptr_t>(0x1000 + b));
    return (b & 3) != 0;
}
void f_log(void*, int, const char* message) {
    if (strlen(message) > 2 * NET_TEXT + 64)
        abort();
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    {
        std::vector<uint8_t> copy(data, data + size);
        uint64_t in, out;
        if (ndis_parse_stats(copy.empty() ? nullptr : copy.data(),
                             static_cast<uint32_t>(copy.size()), &in, &out) &&
            size < NET_NDIS_NEEDED)
            abort();
    }
    Feed feed{data, size, 0};
    NetHost host{f_tick,   f_open,  f_release, f_release, f_ioctl, f_key, f_enum,
                 f_subkey, f_value, f_release, f_device,  f_log,   &feed};
    NdisSource ndis;
    ndis_reset(&ndis, &host);
    ndis_open(&ndis);
    for (int round = 0; round < 6 && feed.pos < size; ++round) {
        uint32_t in = 0, out = 0;
        int32_t n = ndis_read(&ndis, &in, &out);
        if (n < 0 || n > NET_CARD_MAX)
            abort();
        ndis_scan(&ndis, round == 0);
    }
    for (const NdisDevice& d : ndis.devices) {
        if (strnlen(d.description, NET_TEXT) == NET_TEXT ||
            strnlen(d.service_name, NET_TEXT) == NET_TEXT)
            abort();
    }
    ndis_close(&ndis);
    return 0;
}
