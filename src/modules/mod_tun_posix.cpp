// Native build: there is no iTunes to follow, so no worker starts and the module
// declines every slot.
#include "modules/mod_tun.h"

namespace {

bool posix_start(TunModule*, int32_t) {
    return false;
}

void posix_stop(TunModule* tun) {
    tun->snap = nullptr;
    tun->worker = nullptr;
}

const TunHost kPosixHost = {posix_start, posix_stop};

} // namespace

const TunHost* tun_system_host() {
    return &kPosixHost;
}
