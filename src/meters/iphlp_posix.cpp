// Native stand-in for the IP Helper library: it is never there, so the source opens
// nothing and reads no adapters.
#include "meters/iphlp.h"

namespace {

int32_t posix_load(void*, IphlpProcs*) {
    return IPHLP_NONE;
}
void posix_unload(void*, IphlpProcs*) {}
bool posix_table2(void*, const IphlpProcs*, const uint8_t**, size_t*) {
    return false;
}
void posix_free2(void*, const IphlpProcs*, const uint8_t*) {}
uint32_t posix_table1(void*, const IphlpProcs*, uint8_t*, uint32_t*) {
    return 1; // ERROR_INVALID_FUNCTION
}

const IphlpHost kPosixHost = {posix_load,  posix_unload, posix_table2,
                              posix_free2, posix_table1, nullptr};

} // namespace

const IphlpHost* iphlp_system_host() {
    return &kPosixHost;
}
