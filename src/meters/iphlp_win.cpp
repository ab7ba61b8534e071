// IP Helper counter source: the system's calls. iphlpapi.dll and its table functions
// are looked up at run time, so the program imports nothing newer than Windows XP:
// GetIfTable2 and FreeMibTable (Vista and later) where they exist, else GetIfTable.
#include <windows.h>

#include <cstddef>

#include "meters/iphlp.h"
#include "services/lookup_proc_win.h"

namespace {

// The table records as the system lays them out (their offsets are the portable
// part's; these checks hold the sizes to the documented ones in this build too).
struct TableHead2 {
    ULONG num_entries;
    ULONG64 first_row_field; // the row's ULONG64 fields put the rows at offset 8
};
static_assert(offsetof(TableHead2, first_row_field) == IPHLP_TABLE2_ROWS_AT,
              "MIB_IF_TABLE2 rows start at offset 8");

static_assert(ERROR_INSUFFICIENT_BUFFER == IPHLP_BUFFER_SMALL,
              "GetIfTable's buffer-too-small code");

typedef DWORD(WINAPI* GetIfTable2Fn)(void** table);
typedef void(WINAPI* FreeMibTableFn)(void* memory);
typedef DWORD(WINAPI* GetIfTableFn)(void* table, ULONG* size, BOOL order);

int32_t win_load(void*, IphlpProcs* p) {
    *p = IphlpProcs{};
    HMODULE m = LoadLibraryA("iphlpapi.dll");
    if (!m)
        return IPHLP_NONE;
    GetIfTable2Fn table2 = lookup_proc<GetIfTable2Fn>(m, "GetIfTable2");
    FreeMibTableFn free_table = lookup_proc<FreeMibTableFn>(m, "FreeMibTable");
    GetIfTableFn table1 = lookup_proc<GetIfTableFn>(m, "GetIfTable");
    p->library = m;
    if (table2 && free_table) {
        p->table2 = reinterpret_cast<void*>(table2);
        p->free_table = reinterpret_cast<void*>(free_table);
        return IPHLP_TABLE2;
    }
    if (table1) {
        p->table1 = reinterpret_cast<void*>(table1);
        return IPHLP_TABLE1;
    }
    FreeLibrary(m);
    *p = IphlpProcs{};
    return IPHLP_NONE;
}

void win_unload(void*, IphlpProcs* p) {
    if (p->library)
        FreeLibrary(static_cast<HMODULE>(p->library));
    *p = IphlpProcs{};
}

bool win_table2(void*, const IphlpProcs* p, const uint8_t** table, size_t* bytes) {
    void* t = nullptr;
    if (!p->table2 || reinterpret_cast<GetIfTable2Fn>(p->table2)(&t) != NO_ERROR || !t)
        return false;
    ULONG n = static_cast<const TableHead2*>(t)->num_entries;
    *table = static_cast<const uint8_t*>(t);
    *bytes = IPHLP_TABLE2_ROWS_AT + static_cast<size_t>(n) * IPHLP_ROW2_BYTES;
    return true;
}

void win_free2(void*, const IphlpProcs* p, const uint8_t* table) {
    if (p->free_table)
        reinterpret_cast<FreeMibTableFn>(p->free_table)(const_cast<uint8_t*>(table));
}

uint32_t win_table1(void*, const IphlpProcs* p, uint8_t* buf, uint32_t* bytes) {
    if (!p->table1)
        return ERROR_INVALID_FUNCTION;
    ULONG size = *bytes;
    DWORD rc = reinterpret_cast<GetIfTableFn>(p->table1)(buf, &size, FALSE);
    *bytes = size;
    return rc;
}

const IphlpHost kWinHost = {win_load, win_unload, win_table2, win_free2, win_table1, nullptr};

} // namespace

const IphlpHost* iphlp_system_host() {
    return &kWinHost;
}
