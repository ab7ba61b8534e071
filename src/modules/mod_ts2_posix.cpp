// Native stand-in for the TeamSpeak 2 module's system: a machine on which the client
// never runs. The lock is a plain flag; no poller thread is ever started (the module
// then declines every slot, as it does on Windows without the client).
#include "modules/mod_ts2.h"

namespace {

const int kLockToken = 0; // any non-null address serves as the lock

bool none(void*, WindowWatch*) {
    return false;
}
uint32_t zero_now(void*) {
    return 0;
}
void no_log(void*, int, const char*) {}
void* lock_create(void*) {
    return const_cast<int*>(&kLockToken);
}
void* lock_duplicate(void*, void* lock) {
    return lock;
}
void lock_close(void*, void*) {}
bool lock_take(void*, void*, uint32_t) {
    return true;
}
void lock_release(void*, void*) {}
bool thread_start(void*, Ts2Poller*, bool) {
    return false;
}
void poller_nothing(void*, Ts2Poller*) {}
void thread_forget(void*, Ts2Poller*, uint32_t) {}
void sleep_nothing(void*, Ts2Poller*, uint32_t) {}
bool client_load(void*, Ts2Poller*) {
    return false;
}
int32_t record_fail(Ts2Poller*, void*) {
    return 1;
}
int32_t list_fail(Ts2Poller*, void*, void*) {
    return 1;
}
int32_t flags_fail(Ts2Poller*, int32_t) {
    return 1;
}

const Ts2Host kNoClient = {
    nullptr,       none,           zero_now,     no_log,         lock_create,   lock_duplicate,
    lock_close,    lock_take,      lock_release, thread_start,   thread_forget, poller_nothing,
    sleep_nothing, poller_nothing, client_load,  poller_nothing, record_fail,   record_fail,
    list_fail,     list_fail,      flags_fail,   nullptr,
};

} // namespace

const Ts2Host* ts2_system_host() {
    return &kNoClient;
}
