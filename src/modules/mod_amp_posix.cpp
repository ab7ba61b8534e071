// Native stand-in for the Winamp module's window calls: no player ever runs.
#include "modules/mod_amp.h"

namespace {

void* posix_find_window(void*) {
    return nullptr;
}
int posix_get_title(void*, void*, char* out, int cap) {
    if (cap > 0)
        out[0] = '\0';
    return 0;
}
bool posix_query(void*, void*, int32_t, int32_t, int32_t*) {
    return false;
}

const AmpHost kPosixHost = {posix_find_window, posix_get_title, posix_query, nullptr};

} // namespace

const AmpHost* amp_system_host() {
    return &kPosixHost;
}
