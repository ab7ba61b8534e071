// Native stand-in for SpeedFan's shared memory: it is never there.
#include "modules/mod_fan.h"

namespace {

const uint8_t* posix_open(void*, size_t* size) {
    *size = 0;
    return nullptr;
}
void posix_close(void*, const uint8_t*) {}

const FanHost kPosixHost = {posix_open, posix_close, nullptr};

} // namespace

const FanHost* fan_system_host() {
    return &kPosixHost;
}
