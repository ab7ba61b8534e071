// TeamSpeak 3 module "TS3": the TeamSpeak 3 client through its ClientQuery interface
// (a line-based text protocol on a loopback TCP port, "ts3_port", 25639 by default),
// shown the way "TS2" shows TeamSpeak 2: the same slot, notices, labels and buttons.
//
//   slot (x, y = its left column and top row)        labels, rows 8..20, left of the
//   .-TS3-.-------------------------------.           TS2 labels when both have some
//   | TS3 |                          12   |  <- clients on the server (only above 1)
//   |-----'                               |           .XXXXXX..XXXXXXXXXXX.
//   |    XXX                              |           XX bob X.XX annette X
//   |   XXXXX        XX                   |           XX     X.XX         X
//   |   XXXXX       X  X                  |           .XXXXXX..XXXXXXXXXXX.
//   |    XXXXX        X    <- clients in  |           .........................
//   |       XXX      X        the own     |
//   |          XX   XXXX      channel     |  microphone: filled, hollow (own input
//   |  XXXXXXX   X            (large,     |  muted) or speaking; "KEY" where TS2
//   | XX      XXX              above 1)   |  writes "WAIT" while the query refuses
//   '-------------------------------------'  for want of "ts3_apikey"
//
// A reader thread holds one connection to 127.0.0.1:ts3_port, keeps a snapshot from the
// client's events and from a full refresh every two seconds, and hands it over under a
// tried lock, counted, so the frame loop takes the lock only when something is new.
// While the port refuses, the module declines its slot. A reader that stops making
// progress is abandoned (never killed) like the TS2 poller: its record is its own (own
// lock, own snapshot, own socket); at most TS3_MAX_LEFT_BEHIND may be left behind at
// once, and while that many are, no new one starts and the slot shows "WAIT".
#pragma once
#include <atomic>
#include <cstddef>
#include <cstdint>

struct App;
struct LcdBitmap;
struct NoticeQueue;

constexpr int TS3_MAX_CLIENTS = 128;
constexpr int TS3_MAX_SPEAKERS = 8;
constexpr int TS3_NICK = 64;    // 63 characters and a zero (the label limit)
constexpr int TS3_NAME = 128;   // server and channel names: 127 characters and a zero
constexpr int TS3_LINE = 32768; // longest line taken; a longer one is skipped
constexpr int TS3_APIKEY = 128;
constexpr int TS3_CHANNEL_TEXT = 512; // 511 characters and a zero
constexpr int TS3_MAX_LEFT_BEHIND = 3;
constexpr uint16_t TS3_DEFAULT_PORT = 25639;

// The reader's view of the client.
enum Ts3Link : int32_t {
    TS3_NO_QUERY = -1, // the port refuses, or not asked yet: the slot is declined
    TS3_NO_SERVER = 0, // the query answers, the client is on no server: frame only
    TS3_CONNECTED = 1, // on a server: the snapshot is valid
    TS3_NO_KEY = 2,    // the query refuses for want of a key: "KEY"
};

struct Ts3Client {
    int32_t clid;
    int32_t cid;
    int32_t talking;
    int32_t input_muted;
    int32_t output_muted;
    char nick[TS3_NICK];
};

struct Ts3Snapshot {
    int32_t link;        // Ts3Link
    uint32_t connection; // the reader's connection it comes from, counted from 1
    int32_t own_id;
    int32_t own_channel;
    int32_t count; // clients, 0..TS3_MAX_CLIENTS
    int32_t speakers;
    int32_t speaker_ids[TS3_MAX_SPEAKERS]; // talking clients, in the order they began
    char server[TS3_NAME];
    char channel[TS3_NAME];
    Ts3Client clients[TS3_MAX_CLIENTS];
};

// Received bytes not yet taken as lines.
struct Ts3LineBuf {
    char data[TS3_LINE];
    size_t len;
    int32_t skipping; // inside a line longer than the buffer: dropped up to its end
};

struct Ts3Reader;

// The system as the module and its reader see it. Windows: mod_ts3_win.cpp.
struct Ts3Host {
    void* ctx;
    uint32_t (*now)(void* ctx); // tick count
    // Failure report with the system's error code of the moment (then cleared).
    void (*log)(void* ctx, int line, const char* message);
    void* (*lock_create)(void* ctx);
    void (*lock_close)(void* ctx, void* lock);
    bool (*lock_take)(void* ctx, void* lock, uint32_t ms); // tried, within ms
    void (*lock_release)(void* ctx, void* lock);
    // Runs ts3_reader_run(r) on a new thread (lowest priority when asked); sets
    // r->thread. False when no thread was started.
    bool (*thread_start)(void* ctx, Ts3Reader* r, bool lowest);
    // Waits up to ms for the thread to end, then lets go of its handle.
    void (*thread_forget)(void* ctx, Ts3Reader* r, uint32_t ms);
    void (*sleep)(void* ctx, uint32_t ms);
    // A connection to 127.0.0.1:port within ms; false when refused or not made.
    bool (*open)(void* ctx, Ts3Reader* r, uint16_t port, uint32_t ms);
    // All of the bytes within ms; false on a failure or timeout.
    bool (*send)(void* ctx, Ts3Reader* r, const char* data, size_t n, uint32_t ms);
    // Bytes that arrive within ms: > 0 their number, 0 none in time, < 0 closed.
    int (*recv)(void* ctx, Ts3Reader* r, char* out, size_t cap, uint32_t ms);
    void (*close)(void* ctx, Ts3Reader* r);
    // A received text (UTF-8) in the ANSI code page, in place, zero-terminated in cap.
    void (*to_ansi)(void* ctx, char* text, size_t cap);
    // Pauses up to ms, cut short once the reader is stopped (thread_forget wakes it):
    // the two seconds between connection attempts in one wait, where `sleep` in
    // 100 ms slices woke the thread ten times a second. Null: those slices.
    void (*pause)(void* ctx, Ts3Reader* r, uint32_t ms);
    // Lets go of what `pause` waits on (at the record's last release).
    void (*pause_close)(void* ctx, Ts3Reader* r);
    // Cuts the reader's current or next wait for bytes short (a microphone press). With
    // it, `recv` is asked to wait up to TS3_QUIET_MS while nothing else is due; null:
    // waits of 100 ms at most, so a press is seen within them.
    void (*wake)(void* ctx, Ts3Reader* r);
};

// One reader thread's own record: the frame loop reads its status words and, under
// its lock, its shared snapshot; a reader left behind writes only this record.
struct Ts3Reader {
    const Ts3Host* host;
    std::atomic<int32_t>* left_behind; // the module's count of abandoned readers
    void* lock;                        // guards `shared` and `stores`
    void* thread;
    void* wake;    // host's signal that cuts `pause` and `recv` short (the stop, a press)
    void* events;  // host's signal of the socket's events (bytes, closing)
    intptr_t sock; // host's socket (-1 none)
    uint16_t port;
    char apikey[TS3_APIKEY];
    int32_t schandler; // the server tab the client selected
    std::atomic<int32_t> stop;
    std::atomic<int32_t> refs;         // the thread and the module each hold one
    std::atomic<int32_t> fate;         // 0 running, 1 abandoned, 2 ended
    std::atomic<uint32_t> stamp;       // last progress (tick count)
    std::atomic<int32_t> mute_request; // presses not yet acted on
    std::atomic<uint32_t> stores;      // snapshots stored in `shared`, under the lock
    Ts3Snapshot local;
    Ts3Snapshot shared;
    Ts3LineBuf in;
    char line[TS3_LINE];
};

struct Ts3Module {
    const char* tag;
    const Ts3Host* host; // null at init: the system's host
    Ts3Reader* reader;   // the running reader, or null
    std::atomic<int32_t> left_behind;
    int32_t lowest;
    uint16_t port;
    char apikey[TS3_APIKEY];
    uint32_t start_stamp; // last start attempt that failed (0 none)
    uint32_t stores_taken;
    uint32_t key_told;    // the connection whose key refusal was announced
    int32_t fresh;        // the update of this frame took a new snapshot
    Ts3Snapshot current;  // the reader's latest snapshot, as taken by the frame loop
    Ts3Snapshot previous; // what the notices compared against last time
    char channel_text[TS3_CHANNEL_TEXT];
};

void mod_ts3_init(App* app);
void mod_ts3_update(App* app);
int mod_ts3_draw(App* app, int slot);
void mod_ts3_teardown(App* app);

const Ts3Host* ts3_system_host();

// The reader thread's body: runs until r->stop is set, then drops its reference.
void ts3_reader_run(Ts3Reader* r);
void ts3_reader_release(Ts3Reader* r);

// ---------------------------------------------------------------- the protocol

// Lines: bytes go in at the tail, whole lines come out (ends "\n\r", "\r\n", "\n" or
// "\r"; empty lines are skipped).
char* ts3_line_tail(Ts3LineBuf* b, size_t* room);
void ts3_line_added(Ts3LineBuf* b, size_t n);
// The next whole line into out (zero-terminated, at most cap - 1 bytes); false when
// none is complete yet.
bool ts3_line_next(Ts3LineBuf* b, char* out, size_t cap);

// Unescapes a value of n bytes into out (at most cap - 1 bytes); returns the length.
size_t ts3_unescape(const char* in, size_t n, char* out, size_t cap);
// Escapes text for a command line; returns the length (cut whole at cap - 1).
size_t ts3_escape(const char* in, char* out, size_t cap);
// The list entry that begins at `from` inside a line ending at `end`: returns its end
// (the '|' or end).
const char* ts3_entry_end(const char* from, const char* end);
// The value of `key` in one entry (blank-separated key=value words), unescaped; false
// when the key is missing. A word without '=' has an empty value.
bool ts3_field(const char* from, const char* end, const char* key, char* out, size_t cap);
// A decimal field; false when missing or not a number in 32 bits.
bool ts3_field_int(const char* from, const char* end, const char* key, int32_t* v);
// The id of an "error id=N msg=..." line; -1 for any other line.
int32_t ts3_error_id(const char* line);
// The line is an event ("notify...").
bool ts3_is_event(const char* line);

// ---------------------------------------------------------------- snapshot rules

// Texts taken from a line pass through this (UTF-8 to ANSI on Windows; may be null).
struct Ts3Text {
    void (*to_ansi)(void* ctx, char* text, size_t cap);
    void* ctx;
};

// The client list ("clientlist -voice" answer) replaces the clients; the speakers who
// still talk keep their order, new talkers follow in list order.
void ts3_apply_clientlist(Ts3Snapshot* s, const char* line, const Ts3Text* t);
// One event line; returns true when the snapshot changed. *refresh is set when a full
// refresh should follow (the own client moved, the connection was established, the
// server tab changed).
bool ts3_apply_event(Ts3Snapshot* s, const char* line, int32_t schandler, const Ts3Text* t,
                     bool* refresh);
// Speaker order after client clid began (talking 1) or stopped talking.
void ts3_set_talking(Ts3Snapshot* s, int32_t clid, int32_t talking);
const Ts3Client* ts3_find(const Ts3Snapshot* s, int32_t clid);
int32_t ts3_channel_count(const Ts3Snapshot* s);
// The own client talks / has its microphone muted.
bool ts3_own_talking(const Ts3Snapshot* s);
bool ts3_own_muted(const Ts3Snapshot* s);

// Posts the notices for the change from prev to cur: server name, channel name,
// clients connected (not the own one) and clients dropped.
void ts3_post_changes(const Ts3Snapshot* prev, const Ts3Snapshot* cur, NoticeQueue* q,
                      uint32_t now);
// The long-press text: the channel's name, then the clients in the own channel.
size_t ts3_channel_text(const Ts3Snapshot* cur, char out[TS3_CHANNEL_TEXT]);
// Labels of the other clients talking now, leftwards from column x; returns the
// column the next label would end before.
int ts3_draw_labels(const Ts3Snapshot* cur, LcdBitmap* frame, int x);

// The reader's pause before its next connection attempt: 2000 ms.
constexpr uint32_t TS3_RETRY_MS = 2000;
// A full refresh is due when `last` (tick of the last one, 0 none) is 2000 ms old.
bool ts3_refresh_due(uint32_t now, uint32_t last);
// The longest wait for the client's bytes when the reader can be woken (Ts3Host::wake).
constexpr uint32_t TS3_QUIET_MS = 1000;
// How long the connected reader waits for bytes when nothing is due: until the next
// refresh, at most TS3_QUIET_MS, at least 1 ms:
//   (1000, 1000) -> 1000; (2500, 1000) -> 500; (3000, 1000) -> 1; (5000, 0) -> 1
uint32_t ts3_quiet_wait(uint32_t now, uint32_t last);
