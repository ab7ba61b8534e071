// IP Helper counter source ("net_method iphlp"): the interface table of iphlpapi.dll,
// GetIfTable2 with 64-bit counters where it exists (Vista and later), else GetIfTable
// with 32-bit counters. Every counted row is one adapter, keyed by its LUID (or its
// index in the 32-bit table); the source keeps each adapter's last counters and
// hands out the bytes moved since the previous reading, like the TCP device and NDIS
// sources. The table is read only on a sample and on the two-second re-scan. The
// library calls go through an IphlpHost, so the source runs natively against a fake;
// iphlp_win.cpp is the system's host.
#pragma once
#include <cstddef>
#include <cstdint>

constexpr int IPHLP_ADAPTER_MAX = 32; // adapters tracked

// MIB_IF_TABLE2 { ULONG NumEntries; MIB_IF_ROW2 Table[]; }: the rows start at offset 8
// (the row holds ULONG64 fields), each 1352 bytes, on 32- and 64-bit Windows alike.
constexpr size_t IPHLP_TABLE2_ROWS_AT = 8;
constexpr size_t IPHLP_ROW2_BYTES = 1352;
constexpr size_t IPHLP_ROW2_LUID = 0;         // InterfaceLuid, ULONG64
constexpr size_t IPHLP_ROW2_INDEX = 8;        // InterfaceIndex, ULONG
constexpr size_t IPHLP_ROW2_TYPE = 1128;      // Type (IFTYPE), ULONG
constexpr size_t IPHLP_ROW2_FLAGS = 1152;     // InterfaceAndOperStatusFlags, one byte of bits
constexpr size_t IPHLP_ROW2_IN = 1208;        // InOctets, ULONG64
constexpr size_t IPHLP_ROW2_OUT = 1280;       // OutOctets, ULONG64
constexpr uint8_t IPHLP_FLAG_HARDWARE = 0x01; // HardwareInterface
constexpr uint8_t IPHLP_FLAG_FILTER = 0x02;   // FilterInterface

// MIB_IFTABLE { DWORD dwNumEntries; MIB_IFROW table[]; }: rows at offset 4, 860 bytes.
constexpr size_t IPHLP_TABLE1_ROWS_AT = 4;
constexpr size_t IPHLP_ROW1_BYTES = 860;
constexpr size_t IPHLP_ROW1_INDEX = 512; // dwIndex
constexpr size_t IPHLP_ROW1_TYPE = 516;  // dwType
constexpr size_t IPHLP_ROW1_IN = 552;    // dwInOctets
constexpr size_t IPHLP_ROW1_OUT = 576;   // dwOutOctets
// The 32-bit table's buffer, taken at a re-scan: first this size, then what
// GetIfTable asks for, never more than the limit.
constexpr uint32_t IPHLP_TABLE1_FIRST_BYTES = IPHLP_TABLE1_ROWS_AT + 16 * IPHLP_ROW1_BYTES;
constexpr uint32_t IPHLP_TABLE1_MAX_BYTES = IPHLP_TABLE1_ROWS_AT + 1024 * IPHLP_ROW1_BYTES;

constexpr uint32_t IPHLP_IF_TYPE_LOOPBACK = 24; // IF_TYPE_SOFTWARE_LOOPBACK
constexpr uint32_t IPHLP_IF_TYPE_TUNNEL = 131;  // IF_TYPE_TUNNEL

enum IphlpApi : int32_t { IPHLP_NONE = 0, IPHLP_TABLE1 = 1, IPHLP_TABLE2 = 2 };

// What the host found in iphlpapi.dll (kept in the source, opaque to it).
struct IphlpProcs {
    void* library;    // null when not loaded
    void* table2;     // GetIfTable2
    void* free_table; // FreeMibTable
    void* table1;     // GetIfTable
};

constexpr uint32_t IPHLP_OK = 0;
constexpr uint32_t IPHLP_BUFFER_SMALL = 122; // ERROR_INSUFFICIENT_BUFFER

struct IphlpHost {
    // Loads "iphlpapi.dll" and looks its functions up into *procs; the result says
    // which table can be read (IPHLP_NONE frees the library again and clears *procs).
    int32_t (*load)(void* ctx, IphlpProcs* procs);
    void (*unload)(void* ctx, IphlpProcs* procs);
    // GetIfTable2: the system's table and its length (8 + NumEntries x 1352 bytes);
    // false when the call fails. A table handed out is given back with free_table2.
    bool (*get_table2)(void* ctx, const IphlpProcs* procs, const uint8_t** table, size_t* bytes);
    void (*free_table2)(void* ctx, const IphlpProcs* procs, const uint8_t* table);
    // GetIfTable into buf (*bytes its size, unsorted): IPHLP_OK with *bytes left as
    // the buffer's size, IPHLP_BUFFER_SMALL with *bytes the size it needs, or another
    // error code.
    uint32_t (*get_table1)(void* ctx, const IphlpProcs* procs, uint8_t* buf, uint32_t* bytes);
    void* ctx;
};

// The system's host (iphlp_win.cpp; natively a host without the library).
const IphlpHost* iphlp_system_host();

struct IphlpAdapter {
    uint64_t id; // LUID, or the index in the 32-bit table
    uint64_t last_in_octets;
    uint64_t last_out_octets;
    int32_t in_use;
};

struct IphlpSource {
    IphlpProcs procs;
    int32_t api;     // IphlpApi of the loaded library
    uint8_t* table1; // the 32-bit table's buffer (re-scans size it), owned
    uint32_t table1_bytes;
    IphlpAdapter adapters[IPHLP_ADAPTER_MAX];
    const IphlpHost* host;
};

// One row as the source reads it.
struct IphlpRow {
    uint64_t id;
    uint32_t type;
    uint8_t flags; // InterfaceAndOperStatusFlags (the 32-bit table has none: 0)
    uint64_t in_octets, out_octets;
};

// Rows that fit in a table of `bytes` bytes whose first ULONG says `NumEntries`
// (the fewer of the two); 0 when the count itself does not fit.
//   (IPHLP_TABLE2, 8 + 2 x 1352 bytes saying 2) -> 2; (.., saying 9) -> 2; (.., 7 bytes) -> 0
uint32_t iphlp_row_count(int32_t api, const uint8_t* table, size_t bytes);
// Row i of a table (i below iphlp_row_count).
IphlpRow iphlp_row_at(int32_t api, const uint8_t* table, uint32_t i);
// Whether a row is an adapter whose traffic counts. The table lists every interface
// of the stack, and most repeat some adapter's bytes: the software loopback (traffic
// that never leaves the machine), tunnels (6to4, Teredo, ISATAP, IP-HTTPS: their
// packets also cross the adapter that carries the tunnel), the filter rows of the
// lightweight filters bound to an adapter ("Ethernet-QoS Packet Scheduler-0000",
// "...-WFP Native MAC Layer LightWeight Filter-0000": FilterInterface, the same
// counters again) and the intermediate and virtual rows without hardware behind
// them (WAN miniports, virtual switch ports, the kernel debugger's adapter:
// HardwareInterface clear). So in the 64-bit table a row counts when it has
// HardwareInterface and not FilterInterface and is neither loopback nor tunnel. The
// 32-bit table (Windows XP) has no flags and no filter rows: there every row but the
// loopback and tunnels counts.
//   ethernet, flags 0x05 -> counts; flags 0x03 (a filter row) -> no; flags 0x00 -> no;
//   loopback -> no; 32-bit table ethernet -> counts
bool iphlp_row_counts(int32_t api, const IphlpRow& row);
// Bytes moved between two readings of a 64-bit counter, as a 32-bit sample: the
// difference, 0 when the counter went back (the adapter was reset), at most
// 2^32 - 1.
//   (10, 510) -> 500; (500, 10) -> 0; (0, 5 x 2^30) -> 4294967295
uint32_t iphlp_increment64(uint64_t last, uint64_t now);

// Prepares a closed source (nothing loaded, no adapters).
void iphlp_reset(IphlpSource* s, const IphlpHost* host);
// Loads the library, scans and takes every adapter's baseline; true when a table
// could be read.
bool iphlp_open(IphlpSource* s);
// Two-second re-scan: loads the library when it is not (yet) loaded, sizes the
// 32-bit table's buffer, takes the baseline of adapters that appeared and forgets
// those that are gone. True when a table was read.
bool iphlp_scan(IphlpSource* s);
// Bytes received and sent since the previous reading, added into *in and *out (each
// optional, set to 0 first); returns the number of known adapters that were in the
// table (0 when it could not be read).
int32_t iphlp_read(IphlpSource* s, uint32_t* in, uint32_t* out);
void iphlp_close(IphlpSource* s);
