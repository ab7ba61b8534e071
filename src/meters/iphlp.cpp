// IP Helper counter source: the portable part (table rows, which rows count, the
// adapter table and its increments).
#include "meters/iphlp.h"

#include <cstdlib>
#include <cstring>

#include "meters/ndisstats.h"
#include "services/util.h"

namespace {

uint64_t read_le64(const uint8_t* p) {
    return static_cast<uint64_t>(read_le32(p)) | static_cast<uint64_t>(read_le32(p + 4)) << 32;
}

IphlpAdapter* find_adapter(IphlpSource* s, uint64_t id) {
    for (IphlpAdapter& a : s->adapters) {
        if (a.in_use && a.id == id)
            return &a;
    }
    return nullptr;
}

// Grows the 32-bit table's buffer to `bytes` (within the limit); false when it cannot.
bool grow_table1(IphlpSource* s, uint32_t bytes) {
    if (bytes <= s->table1_bytes || bytes > IPHLP_TABLE1_MAX_BYTES)
        return false;
    auto* buf = static_cast<uint8_t*>(malloc(bytes));
    if (!buf)
        return false;
    free(s->table1);
    s->table1 = buf;
    s->table1_bytes = bytes;
    return true;
}

// Reads the table and calls visit(row) for every row that counts; false when no
// table could be read. Only a re-scan (may_grow) takes memory: the 32-bit table's
// buffer when it is missing or GetIfTable asks for more. A sample reads into what
// is there, and GetIfTable2's table is the system's own.
template <typename Visit> bool visit_table(IphlpSource* s, bool may_grow, Visit visit) {
    const IphlpHost* h = s->host;
    const uint8_t* table = nullptr;
    size_t bytes = 0;
    if (s->api == IPHLP_TABLE2) {
        if (!h->get_table2(h->ctx, &s->procs, &table, &bytes) || !table)
            return false;
    } else if (s->api == IPHLP_TABLE1) {
        if (!s->table1 && !(may_grow && grow_table1(s, IPHLP_TABLE1_FIRST_BYTES)))
            return false;
        uint32_t size = s->table1_bytes;
        uint32_t rc = h->get_table1(h->ctx, &s->procs, s->table1, &size);
        if (rc == IPHLP_BUFFER_SMALL && may_grow && grow_table1(s, size)) {
            size = s->table1_bytes;
            rc = h->get_table1(h->ctx, &s->procs, s->table1, &size);
        }
        if (rc != IPHLP_OK)
            return false;
        table = s->table1;
        bytes = s->table1_bytes; // the rows are bounded by the buffer, whatever it says
    } else {
        return false;
    }
    uint32_t n = iphlp_row_count(s->api, table, bytes);
    for (uint32_t i = 0; i < n; ++i) {
        IphlpRow row = iphlp_row_at(s->api, table, i);
        if (iphlp_row_counts(s->api, row))
            visit(row);
    }
    if (s->api == IPHLP_TABLE2)
        h->free_table2(h->ctx, &s->procs, table);
    return true;
}

} // namespace

// ---- rows ------------------------------------------------------------------------------

uint32_t iphlp_row_count(int32_t api, const uint8_t* table, size_t bytes) {
    const size_t at = api == IPHLP_TABLE2 ? IPHLP_TABLE2_ROWS_AT : IPHLP_TABLE1_ROWS_AT;
    const size_t row = api == IPHLP_TABLE2 ? IPHLP_ROW2_BYTES : IPHLP_ROW1_BYTES;
    if (!table || bytes < at)
        return 0;
    const uint32_t said = read_le32(table);
    const size_t fit = (bytes - at) / row;
    return said < fit ? said : static_cast<uint32_t>(fit);
}

IphlpRow iphlp_row_at(int32_t api, const uint8_t* table, uint32_t i) {
    IphlpRow r{};
    if (api == IPHLP_TABLE2) {
        const uint8_t* p = table + IPHLP_TABLE2_ROWS_AT + size_t{i} * IPHLP_ROW2_BYTES;
        r.id = read_le64(p + IPHLP_ROW2_LUID);
        r.type = read_le32(p + IPHLP_ROW2_TYPE);
        r.flags = p[IPHLP_ROW2_FLAGS];
        r.in_octets = read_le64(p + IPHLP_ROW2_IN);
        r.out_octets = read_le64(p + IPHLP_ROW2_OUT);
    } else {
        const uint8_t* p = table + IPHLP_TABLE1_ROWS_AT + size_t{i} * IPHLP_ROW1_BYTES;
        r.id = read_le32(p + IPHLP_ROW1_INDEX);
        r.type = read_le32(p + IPHLP_ROW1_TYPE);
        r.in_octets = read_le32(p + IPHLP_ROW1_IN);
        r.out_octets = read_le32(p + IPHLP_ROW1_OUT);
    }
    return r;
}

bool iphlp_row_counts(int32_t api, const IphlpRow& row) {
    if (row.type == IPHLP_IF_TYPE_LOOPBACK || row.type == IPHLP_IF_TYPE_TUNNEL)
        return false;
    if (api == IPHLP_TABLE1)
        return true;
    return (row.flags & IPHLP_FLAG_HARDWARE) && !(row.flags & IPHLP_FLAG_FILTER);
}

uint32_t iphlp_increment64(uint64_t last, uint64_t now) {
    if (now < last)
        return 0;
    const uint64_t d = now - last;
    return d > UINT32_MAX ? UINT32_MAX : static_cast<uint32_t>(d);
}

// ---- the source --------------------------------------------------------------------------

void iphlp_reset(IphlpSource* s, const IphlpHost* host) {
    memset(s, 0, sizeof *s);
    s->api = IPHLP_NONE;
    s->host = host;
}

bool iphlp_open(IphlpSource* s) {
    memset(s->adapters, 0, sizeof s->adapters);
    return iphlp_scan(s);
}

bool iphlp_scan(IphlpSource* s) {
    const IphlpHost* h = s->host;
    if (s->api == IPHLP_NONE) {
        memset(&s->procs, 0, sizeof s->procs);
        s->api = h->load(h->ctx, &s->procs);
        if (s->api != IPHLP_TABLE1 && s->api != IPHLP_TABLE2) {
            s->api = IPHLP_NONE;
            return false;
        }
    }
    bool seen[IPHLP_ADAPTER_MAX] = {};
    bool ok = visit_table(s, true, [&](const IphlpRow& row) {
        IphlpAdapter* a = find_adapter(s, row.id);
        if (!a) {
            for (IphlpAdapter& free_entry : s->adapters) {
                if (!free_entry.in_use) {
                    a = &free_entry;
                    break;
                }
            }
            if (!a)
                return; // all taken: this adapter is not watched
            a->in_use = 1;
            a->id = row.id;
            a->last_in_octets = row.in_octets; // first sight: the baseline
            a->last_out_octets = row.out_octets;
        }
        seen[a - s->adapters] = true;
    });
    if (!ok)
        return false; // a failed table forgets nothing
    for (int i = 0; i < IPHLP_ADAPTER_MAX; ++i) {
        if (!seen[i])
            s->adapters[i].in_use = 0; // gone: if it comes back, a new baseline
    }
    return true;
}

int32_t iphlp_read(IphlpSource* s, uint32_t* in, uint32_t* out) {
    if (in)
        *in = 0;
    if (out)
        *out = 0;
    int32_t count = 0;
    const bool wide = s->api == IPHLP_TABLE2;
    // One reading per adapter: a second row with the same identity (a table that
    // repeats it) would otherwise add the difference between the two rows' counters
    // at every sample.
    bool done[IPHLP_ADAPTER_MAX] = {};
    bool ok = visit_table(s, false, [&](const IphlpRow& row) {
        IphlpAdapter* a = find_adapter(s, row.id);
        if (!a)
            return; // appeared since the last re-scan, which takes its baseline
        if (done[a - s->adapters])
            return;
        done[a - s->adapters] = true;
        ++count;
        // 64-bit counters: a counter that went back moved nothing. 32-bit counters
        // wrap: their modular difference is the bytes moved.
        const uint32_t di =
            wide ? iphlp_increment64(a->last_in_octets, row.in_octets)
                 : static_cast<uint32_t>(row.in_octets) - static_cast<uint32_t>(a->last_in_octets);
        const uint32_t dout = wide ? iphlp_increment64(a->last_out_octets, row.out_octets)
                                   : static_cast<uint32_t>(row.out_octets) -
                                         static_cast<uint32_t>(a->last_out_octets);
        if (in)
            *in = net_add_saturated(*in, di);
        if (out)
            *out = net_add_saturated(*out, dout);
        a->last_in_octets = row.in_octets;
        a->last_out_octets = row.out_octets;
    });
    return ok ? count : 0;
}

void iphlp_close(IphlpSource* s) {
    const IphlpHost* h = s->host;
    if (s->api != IPHLP_NONE)
        h->unload(h->ctx, &s->procs);
    memset(&s->procs, 0, sizeof s->procs);
    s->api = IPHLP_NONE;
    free(s->table1);
    s->table1 = nullptr;
    s->table1_bytes = 0;
}
