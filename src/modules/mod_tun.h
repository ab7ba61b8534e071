// iTunes module "TUN": follows the iTunes player through its COM automation server.
// A worker thread (lowest priority, multithreaded COM apartment) connects to the
// player, listens to its events and keeps a snapshot of the current track; the frame
// loop announces every new track as a notice ("Artist - Name") and shows, in the slot,
// the bitrate and the remaining time (the elapsed time for a stream):
//
//   .-------------------------------------.
//   |#TUN#                                |   title tab (inverted)
//   |                                192k |   bitrate, kbit/s        (row y + 7)
//   |                                3:30 |   remaining time         (row y + 14)
//   |                                     |   1:59:00 from an hour; "10:05" with a
//                                              blinking colon from ten hours
//
// Not connected: the slot is declined (its next module shows). A short press
// announces the track again. With "tun_mediakeys" set, the worker passes the
// keyboard's media keys on to iTunes while iTunes is not in the foreground.
#pragma once
#include <atomic>
#include <cstddef>
#include <cstdint>

#include "services/util.h"

struct App;

constexpr int TUN_TEXT = 256; // track text: 255 characters and a zero

// The track snapshot: written by the worker, read by the frame loop. The text is
// guarded by the text lock; each number is a single atomic word, so a frame may
// combine values of two refreshes, never half of one value.
struct TunSnapshot {
    char text[TUN_TEXT];            // "Artist - Name", ANSI code page; "" = not read yet
    std::atomic<int32_t> bitrate;   // kbit/s, 0 = none known
    std::atomic<int32_t> duration;  // seconds
    std::atomic<uint64_t> position; // tun_pack_position: seconds and the tick of that read
    std::atomic<int32_t> playing;   // 1 when the player state was "playing"
    std::atomic<int32_t> connected; // 1 while the worker holds a connection
    // Texts stored so far, counted under the text lock by the worker; the frame loop
    // takes the lock only when the count moved past stores_taken (its own word: the
    // count it last looked at under the lock).
    std::atomic<uint32_t> stores;
    uint32_t stores_taken;
    // The frame loop's look at iTunes' main window, shared with the worker while it
    // waits for the window: `waiting` is the number of the worker's current wait (0:
    // not waiting); in each frame of a wait the frame loop looks and stores
    // frame_look = that number * 2, + 1 when the window is there. A look is the
    // worker's only when it carries the number of its wait (0: the frame loop does
    // not look, it paused).
    std::atomic<uint32_t> waiting;
    std::atomic<uint32_t> frame_look;
};

// A lock with a bounded wait: the text lock (a mutex on Windows, a fake in tests).
struct TunLock {
    bool (*acquire)(void* handle, uint32_t wait_ms); // false: not obtained
    void (*release)(void* handle);
    void* handle;
};

struct TunModule;

// Starting and stopping the worker (mod_tun_win.cpp; natively a host without iTunes).
struct TunHost {
    // Starts a worker that reads "tun_mediakeys" = mediakeys; sets the module's
    // snap, lock, worker and thread. False when it could not start.
    bool (*start)(TunModule* tun, int32_t mediakeys);
    // Asks the worker to end, waits a bounded time and lets go of it; a worker
    // still inside a call to iTunes ends by itself later. Clears snap and worker.
    void (*stop)(TunModule* tun);
    // The frame loop's look for iTunes' main window (keeping the window found before,
    // services/util.h), and the wake of a worker that waits for it. Null: the frame
    // loop does not look; the worker looks every 100 ms itself.
    bool (*window_present)(TunModule* tun);
    void (*look_wake)(TunModule* tun);
};

struct TunModule {
    const char* tag;
    TunSnapshot* snap; // the running worker's snapshot; null when no worker runs
    TunLock lock;      // over snap->text
    void* worker;      // the worker's own record (mod_tun_win.cpp)
    void* thread;
    char announced[TUN_TEXT]; // the last text announced
    const TunHost* host;
    WindowWatch window; // iTunes' main window as the frame loop looks for it
};

void mod_tun_init(App* app);
void mod_tun_update(App* app);
int mod_tun_draw(App* app, int slot);
void mod_tun_teardown(App* app);
// The frame loop stops looking in every frame (it pauses or ends): a worker waiting
// for iTunes' window goes back to its own looks at once.
void mod_tun_frames_paused(App* app);

// The frame loop's look for a worker that waits (see TunSnapshot): the value to store
// for wait number `wait` and whether the window is there, and whether the worker is
// to be woken, given what was stored before (`before`):
//   (0, any) -> no look; (3, absent) -> 6; (3, there, before 6) -> 7, wake;
//   (3, there, before 7) -> 7, no wake (woken already); (4, there, before 7) -> 9, wake
// Returns false when there is no look to make (no wait).
bool tun_frame_look(uint32_t wait, bool there, uint32_t before, uint32_t* look, bool* wake);

const TunHost* tun_system_host();

// Portable rules.

// The track text: the artist, then " - " and the name when the artist leaves room
// for the separator, all cut to 255 characters. Returns the length.
size_t tun_track_text(char out[TUN_TEXT], const char* artist, const char* name);

// Position and the tick it was read at, packed into one word (tick 0 = never read).
uint64_t tun_pack_position(int32_t seconds, uint32_t tick);
int32_t tun_position_seconds(uint64_t packed);
uint32_t tun_position_tick(uint64_t packed);

// The time the slot shows, in seconds: the position, counted on from its read while
// playing (whole seconds of the unsigned tick difference), subtracted from the
// duration when that is above 0. Nothing is shown for 0 or less.
int64_t tun_shown_seconds(const TunSnapshot* s, uint32_t now);

// The event sink's counters: refresh starts at 1, so the first connected pass reads
// the track. Written by COM's event delivery, read by the worker.
struct TunSinkCounts {
    std::atomic<int32_t> quit{0};
    std::atomic<int32_t> refresh{1};
};
enum TunEvent : int32_t { TUN_EVENT_IGNORED, TUN_EVENT_REFRESH, TUN_EVENT_QUIT };
// Counts one event by its dispatch id: 2, 3, 4 (play, stop, track changed) ask for a
// refresh; 8, 9 (quitting, about to ask the user about quitting) end the connection.
TunEvent tun_sink_event(TunSinkCounts* counts, int32_t dispid);

// One media key's latch for one look at the key: true (make the call) when the key
// is down and its latch was clear. One press gives one call, however long it is held.
bool tun_key_step(int32_t* latch, bool down);

// Hand-over of the track text between the worker and the frame loop.
// Worker: copies text into the snapshot under the lock; false (text unchanged) when
// the lock was not obtained within wait_ms.
bool tun_store_text(TunSnapshot* s, const TunLock* lock, const char* text, uint32_t wait_ms);
// Frame loop: under the lock (100 ms), a text that is not empty and differs from
// announced is copied there: true, announce it. False otherwise, also when the
// lock was not obtained (then the next frame tries again). While no text was stored
// since the last look under the lock, the text is the one compared then: false at
// once, without the lock.
bool tun_take_new_text(TunSnapshot* s, const TunLock* lock, char announced[TUN_TEXT]);
// A copy of the snapshot's text under the lock (100 ms); false when not obtained.
bool tun_read_text(TunSnapshot* s, const TunLock* lock, char out[TUN_TEXT]);
