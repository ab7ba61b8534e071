// Network counter sources: the portable part (requests, reply parsing, the interface
// and card tables, the NetworkCards walk).
#include "meters/ndisstats.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "services/util.h"

namespace {

constexpr char kCardPrefix[] = "\\\\.\\";

uint64_t read_le64(const uint8_t* p) {
    return static_cast<uint64_t>(read_le32(p)) | static_cast<uint64_t>(read_le32(p + 4)) << 32;
}

void write_le32(uint8_t* p, uint32_t v) {
    for (int i = 0; i < 4; ++i)
        p[i] = static_cast<uint8_t>(v >> (8 * i));
}

// At most cap - 1 characters of src and a zero.
void copy_cut(char* dst, size_t cap, const char* src) {
    size_t n = strnlen(src, cap - 1);
    memcpy(dst, src, n);
    dst[n] = '\0';
}

bool tcp_usable(const TcpSource* tcp) {
    return net_handle_valid(tcp->device) && tcp->ntdll;
}

// Sends one TDI query for the entity (kind, instance) into out.
bool tdi_query(TcpSource* tcp, uint32_t kind, uint32_t instance, uint32_t info_class, uint32_t id,
               void* out, uint32_t out_bytes, uint32_t* returned) {
    uint8_t request[NET_TDI_REQUEST_BYTES];
    tdi_build_request(request, kind, instance, info_class, TDI_TYPE_PROVIDER, id);
    *returned = 0;
    const NetHost* h = tcp->host;
    return h->ioctl(h->ctx, tcp->device, IOCTL_TCP_QUERY_INFORMATION_EX, request,
                    NET_TDI_REQUEST_BYTES, out, out_bytes, returned);
}

// Folds one interface's reading into the table; false when it is not tracked (a
// 33rd interface, or one that calls itself index 0, the mark of a free entry).
void tcp_fold(TcpSource* tcp, const IfStats& s, uint32_t* in, uint32_t* out) {
    if (s.if_index == 0)
        return;
    for (InterfaceCounters& e : tcp->interfaces) {
        if (e.if_index != s.if_index)
            continue;
        if (in)
            *in = net_add_saturated(*in, s.in_octets - e.last_in_octets);
        if (out)
            *out = net_add_saturated(*out, s.out_octets - e.last_out_octets);
        e.last_in_octets = s.in_octets;
        e.last_out_octets = s.out_octets;
        return;
    }
    for (InterfaceCounters& e : tcp->interfaces) {
        if (e.if_index == 0) {
            e.if_index = s.if_index;
            e.last_in_octets = s.in_octets;
            e.last_out_octets = s.out_octets;
            return;
        }
    }
}

} // namespace

// ---- reply parsing --------------------------------------------------------------------

void tdi_build_request(uint8_t out[NET_TDI_REQUEST_BYTES], uint32_t kind, uint32_t instance,
                       uint32_t info_class, uint32_t type, uint32_t id) {
    memset(out, 0, NET_TDI_REQUEST_BYTES);
    write_le32(out, kind);
    write_le32(out + 4, instance);
    write_le32(out + 8, info_class);
    write_le32(out + 12, type);
    write_le32(out + 16, id);
}

int32_t tdi_entity_count(uint32_t returned, uint32_t cap) {
    if (returned > cap)
        returned = cap;
    return static_cast<int32_t>(returned / 8);
}

void tdi_entity_at(const uint8_t* list, int32_t i, uint32_t* kind, uint32_t* instance) {
    const uint8_t* rec = list + static_cast<size_t>(i) * 8;
    *kind = read_le32(rec);
    *instance = read_le32(rec + 4);
}

bool tdi_parse_type(const uint8_t* reply, uint32_t returned, uint32_t* type) {
    if (returned < 4)
        return false;
    *type = read_le32(reply);
    return true;
}

bool tdi_parse_ifentry(const uint8_t* reply, uint32_t returned, IfStats* stats) {
    if (returned < NET_IFENTRY_NEEDED)
        return false;
    stats->if_index = read_le32(reply);
    stats->if_type = read_le32(reply + 4);
    stats->in_octets = read_le32(reply + 40);
    stats->out_octets = read_le32(reply + 64);
    return true;
}

void ndis_prepare_stats(uint8_t out[NET_NDIS_STATS_BYTES]) {
    memset(out, 0, NET_NDIS_STATS_BYTES);
    out[0] = 0x80; // NDIS_OBJECT_TYPE_DEFAULT
    out[1] = 1;    // revision
    out[2] = static_cast<uint8_t>(NET_NDIS_STATS_BYTES & 0xFF);
    out[3] = static_cast<uint8_t>(NET_NDIS_STATS_BYTES >> 8);
}

bool ndis_parse_stats(const uint8_t* reply, uint32_t returned, uint64_t* in, uint64_t* out) {
    if (returned < NET_NDIS_NEEDED)
        return false;
    *in = read_le64(reply + 24);
    *out = read_le64(reply + 56);
    return true;
}

uint32_t ndis_increment(uint64_t last, uint64_t now) {
    if (now < last) {
        // A card whose 64-bit fields hold a 32-bit counter wraps back to small values:
        // the low 32 bits' modular difference is the traffic. A reading that was 2^32
        // or more, or a step back no wrap explains (more than half the 32-bit range
        // would have moved), is a reset and moves nothing.
        const uint32_t wrapped = static_cast<uint32_t>(now) - static_cast<uint32_t>(last);
        if (last > UINT32_MAX || wrapped > kMostPlausibleWrap)
            return 0;
        return wrapped;
    }
    if (now - last > UINT32_MAX)
        return UINT32_MAX;
    return static_cast<uint32_t>(now) - static_cast<uint32_t>(last);
}

uint32_t net_add_saturated(uint32_t a, uint32_t b) {
    uint32_t sum = a + b;
    return sum < a ? UINT32_MAX : sum;
}

// ---- TCP device source ------------------------------------------------------------------

void tcp_reset(TcpSource* tcp, const NetHost* host) {
    memset(tcp, 0, sizeof *tcp);
    tcp->device = net_invalid_handle();
    tcp->host = host;
}

bool tcp_open(TcpSource* tcp) {
    const NetHost* h = tcp->host;
    if (tcp->ntdll)
        h->free_library(h->ctx, tcp->ntdll);
    tcp->ntdll = nullptr;
    tcp->device = net_invalid_handle();
    h->tcp_open_device(h->ctx, &tcp->ntdll, &tcp->device);
    if (!tcp_usable(tcp)) {
        if (net_handle_valid(tcp->device))
            h->close_handle(h->ctx, tcp->device);
        if (tcp->ntdll)
            h->free_library(h->ctx, tcp->ntdll);
        tcp->ntdll = nullptr;
        tcp->device = net_invalid_handle();
        return false;
    }
    memset(tcp->interfaces, 0, sizeof tcp->interfaces);
    if (!tcp_refresh(tcp))
        return false;
    tcp_read(tcp, nullptr, nullptr); // baseline: every interface's first sight
    return true;
}

bool tcp_refresh(TcpSource* tcp) {
    if (!tcp_usable(tcp)) {
        // tcp_open ends with a refresh of its own; its result is this one's.
        return tcp_open(tcp);
    }
    tcp->entity_count = 0;
    if (!tcp->entities) {
        tcp->entities = static_cast<uint8_t*>(malloc(NET_TDI_LIST_BYTES));
        if (!tcp->entities)
            return false;
    }
    uint32_t returned = 0;
    if (tdi_query(tcp, TDI_GENERIC_ENTITY, 0, TDI_CLASS_GENERIC, TDI_ENTITY_LIST_ID, tcp->entities,
                  NET_TDI_LIST_BYTES, &returned) &&
        returned != 0) {
        tcp->entity_count = tdi_entity_count(returned, NET_TDI_LIST_BYTES);
        return true;
    }
    tcp_close(tcp);
    return false;
}

int32_t tcp_read(TcpSource* tcp, uint32_t* in, uint32_t* out) {
    if (!tcp_usable(tcp) || !tcp->entities)
        return 0;
    if (in)
        *in = 0;
    if (out)
        *out = 0;
    int32_t count = 0;
    for (int32_t i = 0; i < tcp->entity_count; ++i) {
        uint32_t kind, instance;
        tdi_entity_at(tcp->entities, i, &kind, &instance);
        if (kind != TDI_IF_ENTITY)
            continue;
        uint8_t type_reply[4] = {0, 0, 0, 0};
        uint32_t returned = 0, type = 0;
        if (!tdi_query(tcp, kind, instance, TDI_CLASS_GENERIC, TDI_ENTITY_TYPE_ID, type_reply,
                       sizeof type_reply, &returned) ||
            !tdi_parse_type(type_reply, returned < 4 ? returned : 4, &type) || type != TDI_IF_MIB)
            continue;
        uint8_t entry[NET_IFENTRY_BYTES];
        memset(entry, 0, sizeof entry);
        IfStats s;
        if (!tdi_query(tcp, kind, instance, TDI_CLASS_PROTOCOL, TDI_IF_MIB_STATS_ID, entry,
                       sizeof entry, &returned) ||
            !tdi_parse_ifentry(entry, returned < sizeof entry ? returned : sizeof entry, &s) ||
            s.if_type == TDI_IF_TYPE_LOOPBACK)
            continue;
        ++count;
        tcp_fold(tcp, s, in, out);
    }
    return count;
}

void tcp_close(TcpSource* tcp) {
    const NetHost* h = tcp->host;
    if (net_handle_valid(tcp->device))
        h->close_handle(h->ctx, tcp->device);
    tcp->device = net_invalid_handle();
    if (tcp->ntdll)
        h->free_library(h->ctx, tcp->ntdll);
    tcp->ntdll = nullptr;
    free(tcp->entities);
    tcp->entities = nullptr;
    tcp->entity_count = 0;
}

// ---- NDIS source -------------------------------------------------------------------------

void ndis_reset(NdisSource* ndis, const NetHost* host) {
    memset(ndis, 0, sizeof *ndis);
    for (NdisDevice& d : ndis->devices)
        d.handle = net_invalid_handle();
    ndis->host = host;
}

bool ndis_open(NdisSource* ndis) {
    ndis_reset(ndis, ndis->host);
    ndis_scan(ndis, true);
    ndis_read(ndis, nullptr, nullptr); // baseline; logs the cards that do not answer
    return true;
}

bool ndis_scan(NdisSource* ndis, bool log) {
    const NetHost* h = ndis->host;
    void* key = nullptr;
    if (!h->open_cards_key(h->ctx, &key))
        return true;
    char name[NET_SUBKEY_CHARS];
    for (uint32_t index = 0; h->enum_subkey(h->ctx, key, index, name, sizeof name); ++index) {
        name[sizeof name - 1] = '\0';
        void* sub = nullptr;
        if (!h->open_subkey(h->ctx, key, name, &sub))
            continue;
        char service[NET_TEXT];
        uint32_t bytes = 0, type = 0;
        bool have =
            h->read_value(h->ctx, sub, "ServiceName", service, sizeof service, &bytes, &type) &&
            type == NET_REG_SZ;
        if (have) {
            service[bytes < sizeof service ? bytes : sizeof service - 1] = '\0';
            NdisDevice* slot = nullptr;
            bool open_already = false;
            for (NdisDevice& d : ndis->devices) {
                if (net_handle_valid(d.handle) && strcmp(d.service_name, service) == 0)
                    open_already = true;
                if (!slot && !net_handle_valid(d.handle))
                    slot = &d;
            }
            if (!open_already && slot) {
                char description[NET_TEXT];
                description[0] = '\0';
                if (h->read_value(h->ctx, sub, "Description", description, sizeof description,
                                  &bytes, &type))
                    description[bytes < sizeof description ? bytes : sizeof description - 1] = '\0';
                else
                    description[0] = '\0';
                char path[sizeof kCardPrefix - 1 + NET_TEXT];
                memcpy(path, kCardPrefix, sizeof kCardPrefix - 1);
                copy_cut(path + sizeof kCardPrefix - 1, NET_TEXT, service);
                void* handle = net_invalid_handle();
                if (h->open_device(h->ctx, path, &handle) && net_handle_valid(handle)) {
                    slot->handle = handle;
                    copy_cut(slot->description, NET_TEXT, description);
                    copy_cut(slot->service_name, NET_TEXT, service);
                    slot->last_in_octets = 0;
                    slot->last_out_octets = 0;
                    slot->needs_baseline = 1;
                } else if (log) {
                    char message[sizeof description + sizeof path + 64];
                    snprintf(message, sizeof message, "failed to open NDIS device '%s' at '%s'",
                             description, path);
                    h->log(h->ctx, 140, message);
                }
            }
        }
        h->close_key(h->ctx, sub);
    }
    h->close_key(h->ctx, key);
    return true;
}

int32_t ndis_read(NdisSource* ndis, uint32_t* in, uint32_t* out) {
    const NetHost* h = ndis->host;
    if (in)
        *in = 0;
    if (out)
        *out = 0;
    int32_t count = 0;
    for (NdisDevice& d : ndis->devices) {
        if (!net_handle_valid(d.handle))
            continue;
        uint32_t oid = OID_GEN_STATISTICS;
        uint8_t reply[NET_NDIS_STATS_BYTES];
        ndis_prepare_stats(reply);
        uint32_t returned = 0;
        uint64_t now_in = 0, now_out = 0;
        if (!h->ioctl(h->ctx, d.handle, IOCTL_NDIS_QUERY_GLOBAL_STATS, &oid, sizeof oid, reply,
                      sizeof reply, &returned) ||
            !ndis_parse_stats(reply, returned < sizeof reply ? returned : sizeof reply, &now_in,
                              &now_out)) {
            if (!in && !out) {
                char message[2 * NET_TEXT + 64];
                snprintf(message, sizeof message,
                         "NDIS device failed OID_GEN_STATISTICS: '%s' at '%s'\n", d.description,
                         d.service_name);
                h->log(h->ctx, 190, message);
            }
            continue;
        }
        ++count;
        if (!d.needs_baseline) {
            if (in)
                *in = net_add_saturated(*in, ndis_increment(d.last_in_octets, now_in));
            if (out)
                *out = net_add_saturated(*out, ndis_increment(d.last_out_octets, now_out));
        }
        d.needs_baseline = 0;
        d.last_in_octets = now_in;
        d.last_out_octets = now_out;
    }
    return count;
}

void ndis_close(NdisSource* ndis) {
    const NetHost* h = ndis->host;
    for (NdisDevice& d : ndis->devices) {
        if (net_handle_valid(d.handle))
            h->close_handle(h->ctx, d.handle);
        d.handle = net_invalid_handle();
    }
}
