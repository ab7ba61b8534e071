// The TeamSpeak 2 stand-in: the state shared by TeamSpeak.exe (which owns it and is
// driven over its control channel) and TSRemote.dll (loaded into the applet, which
// answers the applet's calls from it and logs every call).
//
// One named file mapping created by TeamSpeak.exe; fixed-width fields only, so a
// 32-bit library and a 64-bit program agree. Every change holds the named mutex
// (waited for at most 1000 ms) and makes `version` odd while it lasts, so the library
// answers an ordinary call without the mutex: it copies, and keeps the copy when the
// version was even and the same before and after (else it takes the mutex). Calls are
// logged without the mutex: each claims its slot with an atomic increment of
// call_seq and writes the slot's seq last.
#pragma once
#include <cstdint>

namespace ts2s {

constexpr const char* SHM_NAME = "ts2standin_state";
constexpr const char* MUTEX_NAME = "ts2standin_lock";
constexpr const char* WINDOW_CLASS = "TApplication";
constexpr const char* WINDOW_TITLE = "TeamSpeak 2";
constexpr uint32_t MAGIC = 0x53325354u; // "TS2S"
constexpr uint32_t CALL_RING = 1024;

constexpr int SERVER_BYTES = 482;
constexpr int USER_BYTES = 150;
constexpr int PLAYER_BYTES = 50;
constexpr int MAX_PLAYERS = 128;
constexpr int MAX_SPEAKERS = 8;

// The entries the library answers from the state; every other entry is E_OTHER.
enum Entry : uint32_t { E_SERVER, E_USER, E_PLAYERS, E_SPEAKERS, E_FLAGS, E_OTHER, E_COUNT };

// How an entry answers: `result` instead of its own (for the next result_count
// calls, -1 = always, 0 = off), after waiting delay_ms (next delay_count calls).
struct Behaviour {
    int32_t result;
    int32_t result_count;
    uint32_t delay_ms;
    int32_t delay_count;
};

// One call as the library saw it: the entry, its argument (the capacity passed in
// for players and speakers, the flags for tsrSetPlayerFlags) and its result.
struct Call {
    uint32_t seq;
    uint32_t tick;  // GetTickCount when the call returned
    uint32_t start; // GetTickCount when it was made
    uint32_t pid;
    uint32_t tid;
    uint32_t entry;
    int32_t arg;
    int32_t result;
};

struct Shared {
    uint32_t magic;
    int32_t connected; // 0: tsrGetServerInfo answers -1
    Behaviour behaviour[E_COUNT];
    uint8_t server[SERVER_BYTES];
    uint8_t pad1[2];
    uint8_t user[USER_BYTES];
    uint8_t pad2[2];
    int32_t player_count; // as answered: may be above 128 or negative (records copied: 0..cap)
    uint8_t players[MAX_PLAYERS * PLAYER_BYTES];
    int32_t speaker_count;
    int32_t speakers[MAX_SPEAKERS];
    uint32_t call_seq; // calls logged so far; call n sits at calls[n % CALL_RING]
    uint32_t version;  // odd while a change is being made (see above)
    Call calls[CALL_RING];
};

// A change of the state, made under the named mutex: the version is odd while it
// lasts (also after a writer died in the middle of one), even after it.
inline void change_begin(Shared* s) {
    __atomic_store_n(&s->version, s->version | 1u, __ATOMIC_SEQ_CST);
}
inline void change_end(Shared* s) {
    __atomic_store_n(&s->version, (s->version | 1u) + 1u, __ATOMIC_SEQ_CST);
}
// The version as a reader sees it before and after its copy.
inline uint32_t version_now(const Shared* s) {
    return __atomic_load_n(&s->version, __ATOMIC_SEQ_CST);
}

} // namespace ts2s
