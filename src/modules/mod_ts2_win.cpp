// TeamSpeak 2 module, Windows side: the client's window, the lock, the poller thread
// and the client's remote-control library "TSRemote.dll" (entries are __stdcall).
//
// The poller is never terminated. It runs on its own record (mod_ts2.h) with its own
// duplicate of the lock, its own wake-up event and its own reference on the library;
// a poller abandoned inside the library comes back later, sees its stop flag, frees
// its library reference and its record, and ends.
#include <windows.h>

#include "modules/mod_ts2.h"
#include "services/lookup_proc_win.h"
#include "services/thread_win.h"
#include "services/tried_lock_win.h"
#include "services/util.h"

namespace {

constexpr char kSrc[] = "src/mod_ts2";

typedef int32_t(WINAPI* RecordFn)(void* record);
typedef int32_t(WINAPI* ListFn)(void* items, void* count);
typedef int32_t(WINAPI* FlagsFn)(int32_t flags);

// Every name the library must export before it is used; the five called are first.
const char* const kRequired[] = {
    "tsrGetServerInfo",
    "tsrGetUserInfo",
    "tsrGetPlayers",
    "tsrGetSpeakers",
    "tsrSetPlayerFlags",
    "tsrQuit",
    "tsrConnect",
    "tsrDisconnect",
    "tsrSendTextMessage",
    "tsrSendTextMessageToChannel",
    "tsrSwitchChannelID",
    "tsrGetLastError",
    "tsrSetWantVoiceReason",
    "tsrSetVoice",
    "tsrSetOperator",
    "tsrKickPlayerFromServer",
    "tsrKickPlayerFromChannel",
    "tsrGetVersion",
    "tsrGetChannelInfoByID",
    "tsrGetChannelInfoByName",
    "tsrGetPlayerInfoByID",
    "tsrGetPlayerInfoByName",
    "tsrGetChannels",
};
enum Entry { E_SERVER, E_USER, E_PLAYERS, E_SPEAKERS, E_FLAGS };

bool win_client_present(void*, WindowWatch* watch) {
    if (!watch)
        return find_ts2_window() != nullptr;
    return window_watch_present(watch, GetTickCount(), &kTs2WindowHost);
}

uint32_t win_now(void*) {
    return GetTickCount();
}

void win_log(void*, int line, const char* message) {
    log_error(kSrc, line, GetLastError(), "%s", message);
    SetLastError(0);
}

// The TS2 lock: the frame loop and the poller each take it once a frame, so it is a
// TriedLock (no system call while the other does not hold it). The module and each
// poller hold a reference ("duplicate"), so a poller abandoned while it holds the lock
// still finds it when it comes back.
void* win_lock_create(void*) {
    return tried_lock_create();
}

void* win_lock_duplicate(void*, void* lock) {
    return tried_lock_ref(static_cast<TriedLock*>(lock));
}

void win_lock_close(void*, void* lock) {
    tried_lock_unref(static_cast<TriedLock*>(lock));
}

bool win_lock_take(void*, void* lock, uint32_t ms) {
    return tried_lock_take(static_cast<TriedLock*>(lock), ms);
}

void win_lock_release(void*, void* lock) {
    tried_lock_give(static_cast<TriedLock*>(lock));
}

DWORD WINAPI poller_main(void* param) {
    ts2_poller_run(static_cast<Ts2Poller*>(param));
    return 0;
}

bool win_thread_start(void*, Ts2Poller* p, bool lowest) {
    // Auto-reset: each wake (a stop, a microphone press) cuts one sleep short.
    p->wake = CreateEventA(nullptr, FALSE, FALSE, nullptr);
    // Auto-reset too: a wake while the poller looked by itself only makes its next wait
    // for the frame loop's look come back once more.
    p->look = p->wake ? CreateEventA(nullptr, FALSE, FALSE, nullptr) : nullptr;
    if (!p->look || !thread_start(poller_main, p, lowest, &p->thread)) {
        if (p->look)
            CloseHandle(p->look);
        if (p->wake)
            CloseHandle(p->wake);
        p->wake = nullptr;
        p->look = nullptr;
        return false;
    }
    return true;
}

void win_thread_forget(void*, Ts2Poller* p, uint32_t ms) {
    thread_forget(&p->thread, ms);
}

void win_wake_close(void*, Ts2Poller* p) {
    if (p->wake)
        CloseHandle(p->wake);
    if (p->look)
        CloseHandle(p->look);
    p->wake = nullptr;
    p->look = nullptr;
}

void win_look_wait(void*, Ts2Poller* p, uint32_t ms) {
    WaitForSingleObject(p->look, ms);
}

void win_look_wake(void*, Ts2Poller* p) {
    if (p->look)
        SetEvent(p->look);
}

void win_sleep(void*, Ts2Poller* p, uint32_t ms) {
    WaitForSingleObject(p->wake, ms);
}

void win_nap(void*, uint32_t ms) {
    Sleep(ms);
}

void win_wake(void*, Ts2Poller* p) {
    if (p->wake)
        SetEvent(p->wake);
}

bool win_client_load(void*, Ts2Poller* p) {
    HMODULE lib = LoadLibraryA("TSRemote.dll");
    if (!lib)
        return false;
    void* found[sizeof kRequired / sizeof kRequired[0]];
    for (size_t i = 0; i < sizeof kRequired / sizeof kRequired[0]; ++i) {
        found[i] = lookup_proc<void*>(lib, kRequired[i]);
        if (!found[i]) {
            FreeLibrary(lib);
            SetLastError(0);
            return false;
        }
    }
    lookup_proc<void*>(lib, "tsrSwitchChannelName"); // known, not needed
    for (int i = 0; i < 5; ++i)
        p->entries[i] = found[i];
    p->library = lib;
    return true;
}

void win_client_unload(void*, Ts2Poller* p) {
    for (void*& e : p->entries)
        e = nullptr;
    if (p->library)
        FreeLibrary(static_cast<HMODULE>(p->library));
    p->library = nullptr;
}

int32_t win_server_info(Ts2Poller* p, void* record) {
    return reinterpret_cast<RecordFn>(p->entries[E_SERVER])(record);
}
int32_t win_user_info(Ts2Poller* p, void* record) {
    return reinterpret_cast<RecordFn>(p->entries[E_USER])(record);
}
int32_t win_players(Ts2Poller* p, void* records, void* count) {
    return reinterpret_cast<ListFn>(p->entries[E_PLAYERS])(records, count);
}
int32_t win_speakers(Ts2Poller* p, void* ids, void* count) {
    return reinterpret_cast<ListFn>(p->entries[E_SPEAKERS])(ids, count);
}
int32_t win_set_flags(Ts2Poller* p, int32_t flags) {
    return reinterpret_cast<FlagsFn>(p->entries[E_FLAGS])(flags);
}

const Ts2Host kWinHost = {
    nullptr,           win_client_present, win_now,
    win_log,           win_lock_create,    win_lock_duplicate,
    win_lock_close,    win_lock_take,      win_lock_release,
    win_thread_start,  win_thread_forget,  win_wake_close,
    win_sleep,         win_wake,           win_client_load,
    win_client_unload, win_server_info,    win_user_info,
    win_players,       win_speakers,       win_set_flags,
    win_nap,           win_look_wait,      win_look_wake,
};

} // namespace

const Ts2Host* ts2_system_host() {
    return &kWinHost;
}
