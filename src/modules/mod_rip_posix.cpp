// Native stand-in for the hung-application module's system calls: a system without
// a hung-window test, so the module never scans and never shows.
#include "modules/mod_rip.h"

namespace {

bool posix_open(RipModule*) {
    return false;
}
void posix_close(RipModule*) {}
void* posix_find_hung(RipModule*) {
    return nullptr;
}
int posix_title(RipModule*, void*, char*, int) {
    return 0;
}
int32_t posix_end_process(RipModule*, void*, uint32_t*) {
    return RIP_GONE;
}

const RipHost kPosixHost = {posix_open, posix_close, posix_find_hung, posix_title,
                            posix_end_process};

} // namespace

const RipHost* rip_system_host() {
    return &kPosixHost;
}
