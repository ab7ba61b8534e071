// Native stand-in for the speaker module's system calls: a system without sound, so
// the module declines every slot.
#include "modules/mod_spk.h"

namespace {

bool posix_open(SpkModule*) {
    return false;
}
void posix_close(SpkModule*) {}
int32_t posix_get_config(SpkModule*) {
    return 0;
}
void posix_set_config(SpkModule*, int32_t) {}
bool posix_read_mixer(SpkModule*, SpkMixer*) {
    return false;
}
bool posix_read_endpoint(SpkModule*, float*, int32_t*, int32_t*) {
    return false;
}
void posix_read_registry(SpkModule*, int32_t, SpkRegistryRead* out) {
    out->mask = 0;
    out->count = 0;
}

const SpkHost kPosixHost = {posix_open,          posix_open,         posix_close,
                            posix_get_config,    posix_set_config,   posix_read_mixer,
                            posix_read_endpoint, posix_read_registry};

} // namespace

const SpkHost* spk_system_host() {
    return &kPosixHost;
}
