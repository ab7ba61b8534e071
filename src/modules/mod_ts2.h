// TeamSpeak 2 module "TS2": the voice-chat client's state in a slot, its events as
// notices, and a label for every other player who is speaking.
//
//   slot (x, y = its left column and top row)        labels, rows 8..20, from the right
//   .-TS2-.-------------------------------.           .........................
//   | TS2 |                          37   |  <- server count (only above 1)
//   |-----'                               |           .XXXXXX..XXXXXXXXXXX.
//   |    XXX                              |           XX bob X.XX annette X
//   |   XXXXX        XX                   |           XX     X.XX         X
//   |   XXXXX       X  X                  |           .XXXXXX..XXXXXXXXXXX.
//   |    XXXXX        X    <- players in  |           .........................
//   |       XXX      X        the user's  |
//   |          XX   XXXX      channel     |  microphone: filled, hollow (flag 0x10
//   |  XXXXXXX   X            (large,     |  set) or speaking; "NO DLL" / "WAIT"
//   | XX      XXX              above 1)   |  while the client library is not held
//   '-------------------------------------'
//
// A poller thread loads "TSRemote.dll" while the client's window exists and copies a
// snapshot of the client's records for the frame loop, once per frame, under a lock.
// The frame loop never calls the library. A poller that stops making progress is
// abandoned (never killed) and replaced: its record is its own (own lock handle, own
// snapshot, own library reference, own status words), so a thread that comes back from
// a stuck call finds its stop flag and touches nothing the module still uses.
#pragma once
#include <atomic>
#include <cstddef>
#include <cstdint>

#include "services/util.h"

struct App;
struct LcdBitmap;
struct NoticeQueue;

// The snapshot: the library writes its records at these fixed offsets.
constexpr int TS2_SNAPSHOT_BYTES = 7072;
constexpr int TS2_SERVER = 0; // server record, 482 bytes
constexpr int TS2_SERVER_BYTES = 482;
constexpr int TS2_USER = 482; // own player record, own channel record, 50 bytes unused
constexpr int TS2_USER_BYTES = 150;
constexpr int TS2_PLAYER_COUNT = 632; // 32-bit: capacity in, records out
constexpr int TS2_PLAYERS = 636;
constexpr int TS2_PLAYER_BYTES = 50;
constexpr int TS2_MAX_PLAYERS = 128;
constexpr int TS2_SPEAKER_COUNT = 7036; // 32-bit: capacity in, ids out
constexpr int TS2_SPEAKERS = 7040;      // 32-bit player ids
constexpr int TS2_MAX_SPEAKERS = 8;
constexpr int TS2_CHANNEL_TEXT = 512; // 511 characters and a zero
constexpr int32_t TS2_FLAG_MIC = 0x10;

// Record fields (little-endian). Player: id 0, channel id 4, nickname 8..45, flags 46.
// Channel: id 0, players 8, name 20..49. Server: name 0..477, server count 478.
constexpr int TS2_NICK_BYTES = 38;
constexpr int TS2_CHANNEL_NAME_BYTES = 30;
constexpr int TS2_SERVER_NAME_BYTES = 478;
constexpr int TS2_LABEL_CHARS = 63;

struct Ts2Snapshot {
    alignas(4) uint8_t bytes[TS2_SNAPSHOT_BYTES];
};
static_assert(sizeof(Ts2Snapshot) == TS2_SNAPSHOT_BYTES, "the snapshot has no padding");

struct Ts2Module;
struct Ts2Host;

// One poller thread's own record. The frame loop reads the status words of the
// current poller; a replaced poller keeps writing only its own record.
struct Ts2Poller {
    const Ts2Host* host;
    Ts2Module* mod;                              // shared snapshot: under the lock, if not stopped
    const std::atomic<uint32_t>* frame_deadline; // tick at which the next frame is due
    void* lock;                                  // own duplicate of the module's lock
    void* thread;                                // host's thread handle (frame loop only)
    void* wake;                                  // host's wake-up signal for sleeps
    void* library;                               // the client library this thread holds
    void* entries[5];                            // host's entry points of the library
    std::atomic<int32_t> stop;
    std::atomic<int32_t> refs; // the thread and the module each hold one

    std::atomic<uint32_t> poll_stamp;    // last progress (tick count)
    std::atomic<int32_t> link_state;     // -1 no data, 0 not on a server, 1 connected
    std::atomic<int32_t> no_library;     // the last load failed
    std::atomic<int32_t> library_loaded; // the thread holds the library
    std::atomic<int32_t> mute_request;   // presses not yet acted on
    std::atomic<int32_t> finished;       // the thread is out of the library for good
    // The frame loop's look at the client's window, shared: while frame_looks is 1 the
    // frame loop looks in every frame and the poller makes no look of its own; it
    // waits on `look` until the frame loop sees the window appear (frame_saw) or stops
    // looking (the frame loop paused: the poller then looks every 100 ms itself).
    std::atomic<int32_t> frame_looks;
    std::atomic<int32_t> frame_saw; // the frame loop's last look found the window
    void* look;                     // host's signal for those two changes
    Ts2Snapshot local;              // filled by the library calls
};

// The system as the module and its poller see it. Windows: mod_ts2_win.cpp.
struct Ts2Host {
    void* ctx;
    // The client's main window exists; with a watch (the frame loop's), a look that
    // keeps the window found before (services/util.h); without, a full lookup.
    bool (*client_present)(void* ctx, WindowWatch* watch);
    uint32_t (*now)(void* ctx); // tick count
    // Failure report with the system's error code of the moment (then cleared).
    void (*log)(void* ctx, int line, const char* message);
    void* (*lock_create)(void* ctx);
    void* (*lock_duplicate)(void* ctx, void* lock);
    void (*lock_close)(void* ctx, void* lock);
    // true when granted within ms; an abandoned lock is given back and counts as not
    // granted.
    bool (*lock_take)(void* ctx, void* lock, uint32_t ms);
    void (*lock_release)(void* ctx, void* lock);
    // Runs ts2_poller_run(p) on a new thread (lowest priority when asked); sets
    // p->thread and p->wake. False when no thread was started (nothing to undo).
    bool (*thread_start)(void* ctx, Ts2Poller* p, bool lowest);
    // Waits up to ms for the thread to end, then lets go of its handle; the thread
    // itself may run on.
    void (*thread_forget)(void* ctx, Ts2Poller* p, uint32_t ms);
    void (*wake_close)(void* ctx, Ts2Poller* p);
    // Sleeps ms, or less once the poller is woken (each wake cuts one sleep short:
    // the current one, or the next when it is not sleeping).
    void (*sleep)(void* ctx, Ts2Poller* p, uint32_t ms);
    void (*wake)(void* ctx, Ts2Poller* p);
    // Loads the client library with every required entry into p; false (nothing
    // held) when the library or any required name is missing.
    bool (*client_load)(void* ctx, Ts2Poller* p);
    void (*client_unload)(void* ctx, Ts2Poller* p);
    // The library's entries (0 = success).
    int32_t (*get_server_info)(Ts2Poller* p, void* record);
    int32_t (*get_user_info)(Ts2Poller* p, void* record);
    int32_t (*get_players)(Ts2Poller* p, void* records, void* count);
    int32_t (*get_speakers)(Ts2Poller* p, void* ids, void* count);
    int32_t (*set_player_flags)(Ts2Poller* p, int32_t flags);
    // A pause of ms that nothing cuts short (under Wine no system round trip, where a
    // wait on the wake-up signal is one): the poller's steps while the client's window
    // is absent, when only a stop can come (seen within the pause; teardown waits
    // 500 ms). Null: `sleep` instead.
    void (*nap)(void* ctx, uint32_t ms);
    // Waits up to ms on p->look (set by look_wake; a stop sets it too). Null: the
    // poller does not use the frame loop's look and looks every 100 ms itself.
    void (*look_wait)(void* ctx, Ts2Poller* p, uint32_t ms);
    void (*look_wake)(void* ctx, Ts2Poller* p);
};

// Pollers the watchdog may leave inside the client library at once. While that many
// have not come back, no new one is started and the slot shows "WAIT"; a library
// whose calls never return therefore holds at most this many threads.
constexpr int TS2_MAX_LEFT_BEHIND = 3;

struct Ts2Module {
    const char* tag;
    const Ts2Host* host; // null at init: the system's host
    void* lock;          // guards `shared`
    Ts2Poller* poller;   // the running poller, or null
    // Pollers the watchdog left behind that may still be inside the library; the
    // module holds a reference on each until it sees it finished.
    Ts2Poller* left_behind[TS2_MAX_LEFT_BEHIND];
    int32_t lowest;        // pollers run at the lowest priority (two or more processors)
    uint32_t start_stamp;  // last attempt to start a poller that failed to start
    int32_t speaking;      // the user's own id is among the speakers (this frame)
    int32_t label_columns; // columns the speaker labels took from the right edge (this
                           // frame); the TS3 labels continue left of them
    WindowWatch window;    // the client's window as the frame loop looks for it
    int32_t present;       // the client's window was there at the last update
    int32_t present_known; // `present` was looked up by an update, at tick present_tick
    uint32_t present_tick;
    int32_t taken_known; // an update took the shared snapshot under the lock, at taken_tick
    uint32_t taken_tick;
    Ts2Snapshot shared;   // the poller's latest complete snapshot
    Ts2Snapshot previous; // what the last update saw
    char channel_text[TS2_CHANNEL_TEXT];
};

void mod_ts2_init(App* app);
void mod_ts2_update(App* app);
int mod_ts2_draw(App* app, int slot);
void mod_ts2_teardown(App* app);
// The frame loop stops looking for the window in every frame (it pauses or ends): the
// poller goes back to its own looks at once.
void mod_ts2_frames_paused(App* app);

// The system's host (mod_ts2_win.cpp; natively a machine without the client).
const Ts2Host* ts2_system_host();

// Status of the current poller as the frame loop sees it (-1 / 0 without one).
int32_t ts2_link_state(const Ts2Module* m);
int32_t ts2_library_loaded(const Ts2Module* m);
int32_t ts2_no_library(const Ts2Module* m);
// Pollers left behind by the watchdog that have not come back yet (0..3).
int32_t ts2_left_behind(const Ts2Module* m);

// The poller thread's body: runs until p->stop is set, then drops its library and
// its reference on p.
void ts2_poller_run(Ts2Poller* p);
// Drops one reference; the last one closes the record's handles and frees it.
void ts2_poller_release(Ts2Poller* p);

// Portable rules over snapshots.

// Little-endian 32-bit field at `offset` of a record.
int32_t ts2_field(const uint8_t* record, int offset);
// Copies the text field of `field_bytes` bytes at `offset`: up to its first zero or
// the field's end, at most cap - 1 bytes. Returns the length.
size_t ts2_text(const uint8_t* record, int offset, int field_bytes, char* out, size_t cap);
// Counts as the records give them, held to 0..capacity.
int32_t ts2_player_count(const Ts2Snapshot* s);
int32_t ts2_speaker_count(const Ts2Snapshot* s);
const uint8_t* ts2_player(const Ts2Snapshot* s, int32_t i);
// The user's own fields (from the user record).
int32_t ts2_own_id(const Ts2Snapshot* s);
int32_t ts2_own_flags(const Ts2Snapshot* s);
int32_t ts2_own_channel(const Ts2Snapshot* s);
int32_t ts2_channel_players(const Ts2Snapshot* s);
int32_t ts2_server_count(const Ts2Snapshot* s);

// The poller asks the client at tick `now` only when the frame due at `deadline` is
// at most 20 ms away (or late) and the last progress `stamp` was before that window.
bool ts2_poll_due(uint32_t now, uint32_t deadline, uint32_t stamp);
// The poll loop's pause at tick `now` before its next pass: until the window of the
// frame due at `deadline` opens, or, once that frame had its poll (`stamp` inside the
// window), until the window of the frame after it (100 ms later); at least 10 ms (so
// a late frame is asked every 10 ms, as the deadline it waits for has passed) and at
// most 100 ms. A microphone press wakes the poller at once (Ts2Host::wake).
uint32_t ts2_poll_pause(uint32_t now, uint32_t deadline, uint32_t stamp);
// Posts the notices for the change from prev to cur: server name, channel name,
// players connected (not the user) and players dropped.
void ts2_post_changes(const Ts2Snapshot* prev, const Ts2Snapshot* cur, NoticeQueue* q,
                      uint32_t now);
// The long-press text: the channel's name, then the players in the user's channel.
size_t ts2_channel_text(const Ts2Snapshot* cur, char out[TS2_CHANNEL_TEXT]);
// Draws a label for each other speaking player from the right edge leftwards;
// returns 1 when the user's own id is among the speakers.
int32_t ts2_draw_labels(const Ts2Snapshot* cur, LcdBitmap* frame);
// The same from column *x leftwards; *x ends at the column the next label would end
// before.
int32_t ts2_draw_labels_from(const Ts2Snapshot* cur, LcdBitmap* frame, int* x);
// The slot's body below its frame: the counts and the microphone (Filled, Hollow while
// muted, Speaking while the user talks), as both TeamSpeak modules draw it.
enum { TS2_MIC_FILLED = 0, TS2_MIC_HOLLOW = 1, TS2_MIC_SPEAKING = 2 };
void ts2_draw_voice(LcdBitmap* frame, int x, int y, int32_t servers, int32_t here, int mic);
// One label of a text w pixels wide, standing left of cursor x (see the .cpp).
void ts2_draw_label(LcdBitmap* frame, int x, int w, const char* name);
// That label when it fits left of cursor x; returns the next label's cursor (x when
// it did not fit, so a later narrower one may still).
int ts2_place_label(LcdBitmap* frame, int x, const char* name);
