// Arbitrary IP Helper tables: GetIfTable2 tables whose NumEntries says anything and
// whose rows are cut short anywhere (each handed out in a heap block of exactly its
// length, so a read past it is caught), rows of any type, flags, LUID and counters;
// GetIfTable answers of any row count and buffer-size demands of any size; calls
// failing at random. The source runs open, readings and re-scans against it: no
// crash, no overrun, every table given back, the buffer within its limit.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "meters/iphlp.h"

namespace {

struct Feed {
    const uint8_t* data;
    size_t size;
    size_t pos;
    int tables_out;
    uint8_t byte() { return pos < size ? data[pos++] : 0; }
    uint32_t word() {
        uint32_t v = 0;
        for (int i = 0; i < 4; ++i)
            v |= static_cast<uint32_t>(byte()) << (8 * i);
        return v;
    }
};

void put(uint8_t* p, uint64_t v, int bytes) {
    for (int i = 0; i < bytes; ++i)
        p[i] = static_cast<uint8_t>(v >> (8 * i));
}

// One row's fields from the input (or its raw bytes), into a zeroed row.
void fill_row(Feed* f, uint8_t* r, size_t row_bytes, bool wide) {
    if (f->byte() & 1) {
        for (size_t i = 0; i < row_bytes && f->pos < f->size; ++i)
            r[i] = f->byte();
        return;
    }
    static const uint32_t kTypes[] = {6, 24, 131, 71, 23, 0, 0xFFFFFFFF};
    uint32_t type = kTypes[f->byte() % 7];
    uint64_t id = f->byte() % 6;
    if (wide) {
        put(r + IPHLP_ROW2_LUID, id, 8);
        put(r + IPHLP_ROW2_TYPE, type, 4);
        r[IPHLP_ROW2_FLAGS] = f->byte();
        put(r + IPHLP_ROW2_IN, static_cast<uint64_t>(f->word()) << (f->byte() & 32), 8);
        put(r + IPHLP_ROW2_OUT, static_cast<uint64_t>(f->word()) << (f->byte() & 32), 8);
    } else {
        put(r + IPHLP_ROW1_INDEX, id, 4);
        put(r + IPHLP_ROW1_TYPE, type, 4);
        put(r + IPHLP_ROW1_IN, f->word(), 4);
        put(r + IPHLP_ROW1_OUT, f->word(), 4);
    }
}

int32_t f_load(void* c, IphlpProcs* p) {
    Feed* f = static_cast<Feed*>(c);
    *p = IphlpProcs{};
    int32_t api = f->byte() % 3;
    if (api != IPHLP_NONE)
        p->library = reinterpret_cast<void*>(0x77);
    return api;
}
void f_unload(void*, IphlpProcs* p) {
    *p = IphlpProcs{};
}
bool f_table2(void* c, const IphlpProcs*, const uint8_t** table, size_t* bytes) {
    Feed* f = static_cast<Feed*>(c);
    if ((f->byte() & 7) == 0)
        return false;
    uint32_t rows = f->byte() % 8;
    size_t size = IPHLP_TABLE2_ROWS_AT + rows * IPHLP_ROW2_BYTES;
    if (f->byte() & 1) // cut short anywhere
        size = size ? (f->word() % (size + 1)) : 0;
    auto* t = static_cast<uint8_t*>(calloc(size ? size : 1, 1));
    if (!t)
        abort();
    uint8_t said = f->byte();
    if (size >= 4)
        put(t, (said & 0x80) ? f->word() : rows, 4);
    for (uint32_t i = 0; i < rows; ++i) {
        size_t at = IPHLP_TABLE2_ROWS_AT + i * IPHLP_ROW2_BYTES;
        if (at + IPHLP_ROW2_BYTES > size)
            break;
        fill_row(f, t + at, IPHLP_ROW2_BYTES, true);
    }
    f->tables_out++;
    *table = t;
    *bytes = size;
    return true;
}
void f_free2(void* c, const IphlpProcs*, const uint8_t* table) {
    static_cast<Feed*>(c)->tables_out--;
    free(const_cast<uint8_t*>(table));
}
uint32_t f_table1(void* c, const IphlpProcs*, uint8_t* buf, uint32_t* bytes) {
    Feed* f = static_cast<Feed*>(c);
    uint8_t how = f->byte();
    if ((how & 7) == 0)
        return 31;
    if ((how & 7) == 1) {
        *bytes = f->word(); // any demand, also absurd ones
        return IPHLP_BUFFER_SMALL;
    }
    memset(buf, 0, *bytes);
    if (*bytes >= 4)
        put(buf, (how & 0x80) ? f->word() : f->byte() % 24, 4);
    uint32_t rows = f->byte() % 24;
    for (uint32_t i = 0; i < rows; ++i) {
        size_t at = IPHLP_TABLE1_ROWS_AT + i * IPHLP_ROW1_BYTES;
        if (at + IPHLP_ROW1_BYTES > *bytes)
            break;
        fill_row(f, buf + at, IPHLP_ROW1_BYTES, false);
    }
    return IPHLP_OK;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    {
        // The row count alone, on a block of exactly the input's size.
        std::vector<uint8_t> copy(data, data + size);
        const uint8_t* p = copy.empty() ? nullptr : copy.data();
        for (int32_t api : {IPHLP_TABLE1, IPHLP_TABLE2}) {
            uint32_t n = iphlp_row_count(api, p, copy.size());
            for (uint32_t i = 0; i < n; ++i) {
                IphlpRow r = iphlp_row_at(api, p, i);
                (void)iphlp_row_counts(api, r);
            }
        }
    }
    Feed feed{data, size, 0, 0};
    IphlpHost host{f_load, f_unload, f_table2, f_free2, f_table1, &feed};
    IphlpSource s;
    iphlp_reset(&s, &host);
    iphlp_open(&s);
    for (int round = 0; round < 8 && feed.pos < size; ++round) {
        uint32_t in = 0, out = 0;
        int32_t n = iphlp_read(&s, &in, &out);
        if (n < 0 || n > IPHLP_ADAPTER_MAX)
            abort();
        if (feed.byte() & 1)
            iphlp_scan(&s);
        if (s.table1_bytes > IPHLP_TABLE1_MAX_BYTES)
            abort();
    }
    iphlp_close(&s);
    if (feed.tables_out != 0 || s.table1)
        abort();
    return 0;
}
