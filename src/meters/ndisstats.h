// Network counter sources: the TCP device ("\Device\Tcp", TDI interface statistics)
// and the NDIS card devices listed under NetworkCards (OID_GEN_STATISTICS). Both keep
// the last counters per interface or card and hand out the bytes moved since the
// previous reading. The device calls go through a NetHost, so the sources run
// natively against a fake; ndisstats_win.cpp is the system's host.
#pragma once
#include <cstddef>
#include <cstdint>

constexpr int NET_IF_MAX = 32;                 // interfaces tracked by the TCP device source
constexpr int NET_CARD_MAX = 16;               // cards watched by the NDIS source
constexpr int NET_TEXT = 260;                  // description and service name buffers
constexpr int NET_SUBKEY_CHARS = 16;           // subkey names of 16 characters or more end the scan
constexpr uint32_t NET_TDI_LIST_BYTES = 32768; // entity-list reply buffer
constexpr uint32_t NET_TDI_REQUEST_BYTES = 36; // TCP_REQUEST_QUERY_INFORMATION_EX
constexpr uint32_t NET_IFENTRY_BYTES = 225;    // interface-statistics reply buffer
constexpr uint32_t NET_IFENTRY_NEEDED = 68;    // bytes up to and including if_outoctets
constexpr uint32_t NET_NDIS_STATS_BYTES = 152; // NDIS_STATISTICS_INFO revision 1
constexpr uint32_t NET_NDIS_NEEDED = 64;       // bytes up to and including ifHCOutOctets

constexpr uint32_t IOCTL_TCP_QUERY_INFORMATION_EX = 0x120003;
constexpr uint32_t IOCTL_NDIS_QUERY_GLOBAL_STATS = 0x170002;
constexpr uint32_t OID_GEN_STATISTICS = 0x00020106;

constexpr uint32_t TDI_GENERIC_ENTITY = 0;
constexpr uint32_t TDI_IF_ENTITY = 0x200;
constexpr uint32_t TDI_CLASS_GENERIC = 0x100;
constexpr uint32_t TDI_CLASS_PROTOCOL = 0x200;
constexpr uint32_t TDI_TYPE_PROVIDER = 0x100;
constexpr uint32_t TDI_ENTITY_LIST_ID = 0;
constexpr uint32_t TDI_ENTITY_TYPE_ID = 1;
constexpr uint32_t TDI_IF_MIB_STATS_ID = 1;
constexpr uint32_t TDI_IF_MIB = 0x202;
constexpr uint32_t TDI_IF_TYPE_LOOPBACK = 24;

constexpr uint32_t NET_REG_SZ = 1;

// The handle value of a closed device: all bits set.
constexpr uintptr_t NET_INVALID_HANDLE = ~uintptr_t{0};
inline void* net_invalid_handle() {
    return reinterpret_cast<void*>(NET_INVALID_HANDLE);
}
inline bool net_handle_valid(const void* h) {
    return reinterpret_cast<uintptr_t>(h) != NET_INVALID_HANDLE;
}

// The system calls of both sources.
struct NetHost {
    uint32_t (*tick)(void* ctx); // the system's millisecond tick count
    // Loads NTDLL.DLL (*ntdll, null when that fails), finds NtCreateFile and opens
    // "\Device\Tcp" into *device (the invalid handle when anything failed). Nothing
    // is logged.
    void (*tcp_open_device)(void* ctx, void** ntdll, void** device);
    void (*free_library)(void* ctx, void* module);
    void (*close_handle)(void* ctx, void* handle);
    // DeviceIoControl without an overlapped structure; *returned is the reply's
    // byte count.
    bool (*ioctl)(void* ctx, void* device, uint32_t code, const void* in, uint32_t in_bytes,
                  void* out, uint32_t out_bytes, uint32_t* returned);
    // HKLM\...\NetworkCards, opened for reading.
    bool (*open_cards_key)(void* ctx, void** key);
    // Subkey name number `index` into name (cap bytes); false when there is none or
    // the name does not fit.
    bool (*enum_subkey)(void* ctx, void* key, uint32_t index, char* name, uint32_t cap);
    bool (*open_subkey)(void* ctx, void* key, const char* name, void** sub);
    // A value into buf (cap bytes); *bytes is the length read and *type its type.
    bool (*read_value)(void* ctx, void* key, const char* name, char* buf, uint32_t cap,
                       uint32_t* bytes, uint32_t* type);
    void (*close_key)(void* ctx, void* key);
    // CreateFileA(path, 0, share read | write, OPEN_EXISTING).
    bool (*open_device)(void* ctx, const char* path, void** handle);
    // One error-log line (the message as it is, never a format) with the system
    // error code of the moment, which is then cleared.
    void (*log)(void* ctx, int line, const char* message);
    void* ctx;
};

// The system's host (ndisstats_win.cpp; natively a host with no devices).
const NetHost* net_system_host();

struct InterfaceCounters {
    uint32_t if_index; // 0 = free entry
    uint32_t last_in_octets;
    uint32_t last_out_octets;
};

struct TcpSource {
    void* device; // invalid when closed
    void* ntdll;  // null when not loaded
    // The latest entity list (8-byte records); a NET_TDI_LIST_BYTES buffer taken at
    // the first list request and kept until tcp_close, so re-scans allocate nothing.
    uint8_t* entities;
    int32_t entity_count;
    InterfaceCounters interfaces[NET_IF_MAX];
    const NetHost* host;
};

struct NdisDevice {
    void* handle; // invalid = free entry
    char description[NET_TEXT];
    char service_name[NET_TEXT];
    uint64_t last_in_octets;
    uint64_t last_out_octets;
    // Set when the card was opened: its first answer only stores the counters.
    int32_t needs_baseline;
};

struct NdisSource {
    NdisDevice devices[NET_CARD_MAX];
    const NetHost* host;
};

// Prepares a closed source (device invalid, no list, interface table clear).
void tcp_reset(TcpSource* tcp, const NetHost* host);
bool tcp_open(TcpSource* tcp);
bool tcp_refresh(TcpSource* tcp);
// Bytes received and sent since the previous reading, added into *in and *out
// (each optional, set to 0 first); returns the number of interfaces that answered.
int32_t tcp_read(TcpSource* tcp, uint32_t* in, uint32_t* out);
void tcp_close(TcpSource* tcp);

// Prepares an empty table (every handle invalid).
void ndis_reset(NdisSource* ndis, const NetHost* host);
bool ndis_open(NdisSource* ndis);
bool ndis_scan(NdisSource* ndis, bool log);
int32_t ndis_read(NdisSource* ndis, uint32_t* in, uint32_t* out);
void ndis_close(NdisSource* ndis);

// Reply parsing, portable and bounded by the returned byte count.

// The 36-byte TDI query: kind, instance, class, type, id, 16 zero bytes.
void tdi_build_request(uint8_t out[NET_TDI_REQUEST_BYTES], uint32_t kind, uint32_t instance,
                       uint32_t info_class, uint32_t type, uint32_t id);
// Whole 8-byte records in an entity-list reply of `returned` bytes (at most
// cap bytes of it are there).
int32_t tdi_entity_count(uint32_t returned, uint32_t cap);
// Entity record i of a list.
void tdi_entity_at(const uint8_t* list, int32_t i, uint32_t* kind, uint32_t* instance);
// The entity type from a 4-byte reply; false when fewer bytes came back.
bool tdi_parse_type(const uint8_t* reply, uint32_t returned, uint32_t* type);

struct IfStats {
    uint32_t if_index;
    uint32_t if_type;
    uint32_t in_octets;
    uint32_t out_octets;
};
// The four fields read from an IFEntry reply; false when the reply ends before
// if_outoctets (a short reply would otherwise read as counters falling to 0).
bool tdi_parse_ifentry(const uint8_t* reply, uint32_t returned, IfStats* stats);

// The OID_GEN_STATISTICS output buffer: zeroed, object header type 0x80,
// revision 1, size 152.
void ndis_prepare_stats(uint8_t out[NET_NDIS_STATS_BYTES]);
// ifHCInOctets and ifHCOutOctets; false when the reply ends before them.
bool ndis_parse_stats(const uint8_t* reply, uint32_t returned, uint64_t* in, uint64_t* out);
// Bytes moved between two readings of a 64-bit card counter, as a 32-bit sample:
// the modular difference of the low 32 bits. A card that counts in 32 bits wraps its
// counter back to small values, which still counts; a counter that went back
// otherwise (the card was reset: the old reading at 2^32 or above, or a step back
// of which no wrap of under 2^31 bytes explains) moves nothing, and one that moved
// 2^32 or more gives 2^32 - 1 instead of its wrapped low bits.
//   (10, 510) -> 500; (2^32 - 296, 2^32 + 200) -> 496; (0xFFFFFED8, 200) -> 496;
//   (500, 10) -> 0; (2^32 + 500, 10) -> 0; (0, 5 x 2^30) -> 4294967295
uint32_t ndis_increment(uint64_t last, uint64_t now);
// The largest wrap of a 32-bit counter ndis_increment takes for traffic.
constexpr uint32_t kMostPlausibleWrap = 0x7FFFFFFFu;
// a + b, held at 2^32 - 1: (1, 2) -> 3; (2^32 - 2, 5) -> 4294967295
uint32_t net_add_saturated(uint32_t a, uint32_t b);
