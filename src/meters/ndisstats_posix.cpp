// Native stand-in for the counter sources' system calls: a monotonic millisecond
// tick, no TCP device, no NetworkCards key. The meter then picks its method and
// simply finds nothing to count.
#include <ctime>

#include "meters/ndisstats.h"

namespace {

uint32_t posix_tick(void*) {
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<uint32_t>(static_cast<uint64_t>(ts.tv_sec) * 1000 +
                                 static_cast<uint64_t>(ts.tv_nsec) / 1000000);
}

void posix_tcp_open_device(void*, void** ntdll, void** device) {
    *ntdll = nullptr;
    *device = net_invalid_handle();
}

void posix_release(void*, void*) {}

bool posix_ioctl(void*, void*, uint32_t, const void*, uint32_t, void*, uint32_t,
                 uint32_t* returned) {
    *returned = 0;
    return false;
}

bool posix_no_key(void*, void**) {
    return false;
}

bool posix_enum_subkey(void*, void*, uint32_t, char*, uint32_t) {
    return false;
}

bool posix_open_subkey(void*, void*, const char*, void**) {
    return false;
}

bool posix_read_value(void*, void*, const char*, char*, uint32_t, uint32_t*, uint32_t*) {
    return false;
}

bool posix_open_device(void*, const char*, void**) {
    return false;
}

void posix_log(void*, int, const char*) {}

const NetHost kPosixHost = {
    posix_tick,       posix_tcp_open_device, posix_release,     posix_release,
    posix_ioctl,      posix_no_key,          posix_enum_subkey, posix_open_subkey,
    posix_read_value, posix_release,         posix_open_device, posix_log,
    nullptr};

} // namespace

const NetHost* net_system_host() {
    return &kPosixHost;
}
