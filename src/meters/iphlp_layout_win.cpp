// Compile-time check of the IP Helper table offsets the portable reader uses against
// the Windows headers' own records. The headers declare MIB_IF_ROW2 only for Vista
// and later, so this unit alone asks for them; it declares nothing and calls nothing
// (the product looks the functions up at run time and still starts on Windows XP).
#define _WIN32_WINNT 0x0600
#define NTDDI_VERSION 0x06000000
// The order matters: iphlpapi.h declares the rows only after ws2ipdef.h.
// clang-format off
#include <winsock2.h>
#include <windows.h>
#include <ws2ipdef.h>
#include <iphlpapi.h>
// clang-format on

#include <cstddef>

#include "meters/iphlp.h"

static_assert(sizeof(MIB_IF_ROW2) == IPHLP_ROW2_BYTES, "MIB_IF_ROW2 size");
static_assert(offsetof(MIB_IF_TABLE2, Table) == IPHLP_TABLE2_ROWS_AT, "MIB_IF_TABLE2 rows");
static_assert(offsetof(MIB_IF_ROW2, InterfaceLuid) == IPHLP_ROW2_LUID, "InterfaceLuid");
static_assert(offsetof(MIB_IF_ROW2, InterfaceIndex) == IPHLP_ROW2_INDEX, "InterfaceIndex");
static_assert(offsetof(MIB_IF_ROW2, Type) == IPHLP_ROW2_TYPE, "Type");
static_assert(offsetof(MIB_IF_ROW2, InterfaceAndOperStatusFlags) == IPHLP_ROW2_FLAGS,
              "InterfaceAndOperStatusFlags");
static_assert(offsetof(MIB_IF_ROW2, InOctets) == IPHLP_ROW2_IN, "InOctets");
static_assert(offsetof(MIB_IF_ROW2, OutOctets) == IPHLP_ROW2_OUT, "OutOctets");
static_assert(sizeof(MIB_IFROW) == IPHLP_ROW1_BYTES, "MIB_IFROW size");
static_assert(offsetof(MIB_IFTABLE, table) == IPHLP_TABLE1_ROWS_AT, "MIB_IFTABLE rows");
static_assert(offsetof(MIB_IFROW, dwIndex) == IPHLP_ROW1_INDEX, "dwIndex");
static_assert(offsetof(MIB_IFROW, dwType) == IPHLP_ROW1_TYPE, "dwType");
static_assert(offsetof(MIB_IFROW, dwInOctets) == IPHLP_ROW1_IN, "dwInOctets");
static_assert(offsetof(MIB_IFROW, dwOutOctets) == IPHLP_ROW1_OUT, "dwOutOctets");
static_assert(IF_TYPE_SOFTWARE_LOOPBACK == IPHLP_IF_TYPE_LOOPBACK, "loopback type");
static_assert(IF_TYPE_TUNNEL == IPHLP_IF_TYPE_TUNNEL, "tunnel type");
static_assert(ERROR_INSUFFICIENT_BUFFER == IPHLP_BUFFER_SMALL, "buffer-too-small code");
