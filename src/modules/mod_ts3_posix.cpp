// Native stand-in for the TeamSpeak 3 module's system: a machine on which the
// ClientQuery port always refuses. No reader thread is started, so the module
// declines every slot, as it does on Windows while the client does not run.
#include "modules/mod_ts3.h"

namespace {

const int kLockToken = 0;

uint32_t zero_now(void*) {
    return 0;
}
void no_log(void*, int, const char*) {}
void* lock_create(void*) {
    return const_cast<int*>(&kLockToken);
}
void lock_close(void*, void*) {}
bool lock_take(void*, void*, uint32_t) {
    return true;
}
void lock_release(void*, void*) {}
bool thread_start(void*, Ts3Reader*, bool) {
    return false;
}
void thread_forget(void*, Ts3Reader*, uint32_t) {}
void sleep_nothing(void*, uint32_t) {}
bool open_refused(void*, Ts3Reader*, uint16_t, uint32_t) {
    return false;
}
bool send_fail(void*, Ts3Reader*, const char*, size_t, uint32_t) {
    return false;
}
int recv_closed(void*, Ts3Reader*, char*, size_t, uint32_t) {
    return -1;
}
void close_nothing(void*, Ts3Reader*) {}
void text_as_is(void*, char*, size_t) {}

const Ts3Host kNoClient = {
    nullptr,      zero_now,     no_log,       lock_create,   lock_close,
    lock_take,    lock_release, thread_start, thread_forget, sleep_nothing,
    open_refused, send_fail,    recv_closed,  close_nothing, text_as_is,
};

} // namespace

const Ts3Host* ts3_system_host() {
    return &kNoClient;
}
