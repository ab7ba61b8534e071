// Native stand-in for FRAPS: never running.
#include "modules/mod_fps.h"

namespace {

bool posix_record(void*, const uint8_t** record) {
    *record = nullptr;
    return false;
}
bool posix_running(void*) {
    return false;
}
void posix_invite(void*, App*) {}

const FpsHost kPosixHost = {posix_record,  nullptr,      nullptr, nullptr,
                            posix_running, posix_invite, nullptr};

} // namespace

const FpsHost* fps_system_host() {
    return &kPosixHost;
}
