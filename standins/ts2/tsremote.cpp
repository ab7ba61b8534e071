// TSRemote.dll of the TeamSpeak 2 stand-in: exports every name of the client's
// remote-control library (undecorated, __stdcall). The five entries the applet uses
// answer from the state TeamSpeak.exe shares (ts2_shared.h); every call is logged
// there with its argument and result. Entries can be told to fail, to answer late or
// to block for a long time.
#include <windows.h>

#include <cstring>

#include "ts2_shared.h"

using namespace ts2s;

namespace {

HANDLE g_mapping;
HANDLE g_mutex;
Shared* g_shm;

// Opens TeamSpeak.exe's state on first use; false while it does not run.
bool attach() {
    if (g_shm)
        return true;
    HANDLE mutex = OpenMutexA(SYNCHRONIZE | MUTEX_MODIFY_STATE, FALSE, MUTEX_NAME);
    if (!mutex)
        return false;
    HANDLE mapping = OpenFileMappingA(FILE_MAP_ALL_ACCESS, FALSE, SHM_NAME);
    void* view =
        mapping ? MapViewOfFile(mapping, FILE_MAP_ALL_ACCESS, 0, 0, sizeof(Shared)) : nullptr;
    if (!view || static_cast<Shared*>(view)->magic != MAGIC) {
        if (view)
            UnmapViewOfFile(view);
        if (mapping)
            CloseHandle(mapping);
        CloseHandle(mutex);
        return false;
    }
    g_mutex = mutex;
    g_mapping = mapping;
    g_shm = static_cast<Shared*>(view);
    return true;
}

bool lock() {
    DWORD r = WaitForSingleObject(g_mutex, 1000);
    return r == WAIT_OBJECT_0 || r == WAIT_ABANDONED;
}

void unlock() {
    ReleaseMutex(g_mutex);
}

// Takes the entry's behaviour for one call: the forced result (or `none`) and the
// delay.
void take_behaviour(Entry e, int32_t* forced, bool* has_forced, uint32_t* delay) {
    Behaviour& b = g_shm->behaviour[e];
    *has_forced = false;
    *delay = 0;
    if (b.result_count != 0) {
        *forced = b.result;
        *has_forced = true;
        if (b.result_count > 0)
            --b.result_count;
    }
    if (b.delay_count != 0) {
        *delay = b.delay_ms;
        if (b.delay_count > 0)
            --b.delay_count;
    }
}

// Logs one call without the lock: the slot is claimed by an atomic increment and its
// seq written last, so a reader never takes a half-written slot for a whole one.
void log_call(Entry e, int32_t arg, int32_t result, uint32_t start) {
    uint32_t seq = static_cast<uint32_t>(
        InterlockedIncrement(reinterpret_cast<volatile LONG*>(&g_shm->call_seq)));
    Call& c = g_shm->calls[seq % CALL_RING];
    InterlockedExchange(reinterpret_cast<volatile LONG*>(&c.seq), 0);
    c.tick = GetTickCount();
    c.start = start;
    c.pid = GetCurrentProcessId();
    c.tid = GetCurrentThreadId();
    c.entry = e;
    c.arg = arg;
    c.result = result;
    InterlockedExchange(reinterpret_cast<volatile LONG*>(&c.seq), static_cast<LONG>(seq));
}

// An answer without the lock, for an entry that changes nothing and has no behaviour
// armed: `answer` copies from the state, and the copy stands when no change was made
// meanwhile. False when that did not work out twice (a change under way, a behaviour
// armed): the caller then takes the lock.
template <typename Answer> bool answer_unlocked(Entry e, Answer answer, int32_t* r) {
    for (int attempt = 0; attempt < 2; ++attempt) {
        const uint32_t before = version_now(g_shm);
        if (before & 1)
            continue;
        const Behaviour& b = g_shm->behaviour[e];
        if (b.result_count != 0 || b.delay_count != 0)
            return false;
        *r = answer();
        if (version_now(g_shm) == before)
            return true;
    }
    return false;
}

// One call of entry e. An entry that only reads is answered without the lock when
// nothing is armed for it; otherwise: behaviour and delay (outside the lock), then
// `answer` under the lock unless a result is forced, as a change of the state (the
// behaviour's counts, the flags). Without TeamSpeak.exe every entry answers 1.
template <typename Answer> int32_t call(Entry e, int32_t arg, Answer answer, bool changes = false) {
    const uint32_t start = GetTickCount();
    if (!attach())
        return 1;
    int32_t r = 0;
    if (!changes && answer_unlocked(e, answer, &r)) {
        log_call(e, arg, r, start);
        return r;
    }
    if (!lock())
        return 1;
    int32_t forced = 0;
    bool has_forced = false;
    uint32_t delay = 0;
    take_behaviour(e, &forced, &has_forced, &delay);
    if (delay) {
        unlock();
        Sleep(delay);
        if (!lock())
            return 1;
    }
    change_begin(g_shm);
    r = has_forced ? forced : answer();
    change_end(g_shm);
    unlock();
    log_call(e, arg, r, start);
    return r;
}

int32_t read_count(const void* count) {
    int32_t n = 0;
    if (count)
        std::memcpy(&n, count, 4);
    return n;
}

// Copies up to `cap` (and at most `max`) items from the state and answers its count,
// even a hostile one; never writes more than the caller's capacity.
int32_t answer_list(void* items, void* count, int32_t cap, int32_t stored, const void* from,
                    int item_bytes, int max) {
    if (!items || !count)
        return 87;
    int32_t n = stored < 0 ? 0 : stored;
    if (n > max)
        n = max;
    if (n > cap)
        n = cap < 0 ? 0 : cap;
    std::memcpy(items, from, static_cast<size_t>(n) * item_bytes);
    std::memcpy(count, &stored, 4);
    return 0;
}

int32_t other() {
    return call(E_OTHER, 0, [] { return 0; });
}

} // namespace

extern "C" {

__declspec(dllexport) int32_t WINAPI tsrGetServerInfo(void* record) {
    return call(E_SERVER, 0, [record]() -> int32_t {
        if (!g_shm->connected)
            return -1;
        if (record)
            std::memcpy(record, g_shm->server, SERVER_BYTES);
        return 0;
    });
}

__declspec(dllexport) int32_t WINAPI tsrGetUserInfo(void* record) {
    return call(E_USER, 0, [record]() -> int32_t {
        if (!g_shm->connected)
            return -1;
        if (record)
            std::memcpy(record, g_shm->user, USER_BYTES);
        return 0;
    });
}

// The capacity is read once: an answer that did not stand has already written the
// count the state holds over it.
__declspec(dllexport) int32_t WINAPI tsrGetPlayers(void* records, void* count) {
    const int32_t cap = read_count(count);
    return call(E_PLAYERS, cap, [records, count, cap] {
        return answer_list(records, count, cap, g_shm->player_count, g_shm->players, PLAYER_BYTES,
                           MAX_PLAYERS);
    });
}

__declspec(dllexport) int32_t WINAPI tsrGetSpeakers(void* ids, void* count) {
    const int32_t cap = read_count(count);
    return call(E_SPEAKERS, cap, [ids, count, cap] {
        return answer_list(ids, count, cap, g_shm->speaker_count, g_shm->speakers, 4, MAX_SPEAKERS);
    });
}

// The user's new flags go into the user record and into the user's player record.
__declspec(dllexport) int32_t WINAPI tsrSetPlayerFlags(int32_t flags) {
    return call(
        E_FLAGS, flags,
        [flags]() -> int32_t {
            if (!g_shm->connected)
                return -1;
            std::memcpy(g_shm->user + 46, &flags, 4);
            int32_t own = 0;
            std::memcpy(&own, g_shm->user, 4);
            for (int i = 0; i < MAX_PLAYERS; ++i) {
                int32_t id = 0;
                std::memcpy(&id, g_shm->players + i * PLAYER_BYTES, 4);
                if (id == own)
                    std::memcpy(g_shm->players + i * PLAYER_BYTES + 46, &flags, 4);
            }
            return 0;
        },
        true);
}

// The rest of the library: present, logged, not used by the applet.
__declspec(dllexport) int32_t WINAPI tsrQuit() {
    return other();
}
__declspec(dllexport) int32_t WINAPI tsrConnect(const char*) {
    return other();
}
__declspec(dllexport) int32_t WINAPI tsrDisconnect() {
    return other();
}
__declspec(dllexport) int32_t WINAPI tsrSendTextMessage(const char*) {
    return other();
}
__declspec(dllexport) int32_t WINAPI tsrSendTextMessageToChannel(int32_t, const char*) {
    return other();
}
__declspec(dllexport) int32_t WINAPI tsrSwitchChannelID(int32_t, const char*) {
    return other();
}
__declspec(dllexport) int32_t WINAPI tsrSwitchChannelName(const char*, const char*) {
    return other();
}
__declspec(dllexport) int32_t WINAPI tsrGetLastError(char*, int32_t) {
    return other();
}
__declspec(dllexport) int32_t WINAPI tsrSetWantVoiceReason(const char*) {
    return other();
}
__declspec(dllexport) int32_t WINAPI tsrSetVoice(int32_t, int32_t) {
    return other();
}
__declspec(dllexport) int32_t WINAPI tsrSetOperator(int32_t, int32_t) {
    return other();
}
__declspec(dllexport) int32_t WINAPI tsrKickPlayerFromServer(int32_t, const char*) {
    return other();
}
__declspec(dllexport) int32_t WINAPI tsrKickPlayerFromChannel(int32_t, const char*) {
    return other();
}
__declspec(dllexport) int32_t WINAPI tsrGetVersion(void*) {
    return other();
}
__declspec(dllexport) int32_t WINAPI tsrGetChannelInfoByID(int32_t, void*, void*, void*) {
    return other();
}
__declspec(dllexport) int32_t WINAPI tsrGetChannelInfoByName(const char*, void*, void*, void*) {
    return other();
}
__declspec(dllexport) int32_t WINAPI tsrGetPlayerInfoByID(int32_t, void*) {
    return other();
}
__declspec(dllexport) int32_t WINAPI tsrGetPlayerInfoByName(const char*, void*) {
    return other();
}
__declspec(dllexport) int32_t WINAPI tsrGetChannels(void*, void*) {
    return other();
}

} // extern "C"

BOOL WINAPI DllMain(HINSTANCE, DWORD reason, LPVOID) {
    if (reason == DLL_PROCESS_DETACH && g_shm) {
        UnmapViewOfFile(g_shm);
        CloseHandle(g_mapping);
        CloseHandle(g_mutex);
        g_shm = nullptr;
    }
    return TRUE;
}
