// Hung-application module "RIP": while a visible top-level window has stopped
// responding, takes its slot and shows the window's title; a short press announces
// it, a long press ends the owning process. With no hung window it declines.
//
//   +-RIP---------------------------------+
//   |                                     |
//   |                                     |
//   |                              Untitl |   <- title's start, cut to 36 px, right-aligned
//   +                                     +
#pragma once
#include <cstddef>
#include <cstdint>

struct App;
struct RipModule;

constexpr int RIP_TITLE_BYTES = 128; // title buffer: 127 characters and a zero
constexpr int RIP_TITLE_WIDTH = 36;  // widest title shown, in pixels

// Outcome of ending the process that owns a window.
enum RipEnd : int32_t {
    RIP_ENDED = 0,     // terminated
    RIP_NO_ACCESS = 1, // the process could not be opened for termination
    RIP_REFUSED = 2,   // opened, but termination failed
    RIP_GONE = 3,      // the window has no process any more (closed meanwhile)
};

// The system calls the module needs, so it runs natively against a fake.
struct RipHost {
    // Looks up the hung-window test; false when the system does not offer it.
    bool (*open)(RipModule* rip);
    void (*close)(RipModule* rip);
    // The first visible top-level window in enumeration order that the test reports
    // hung, or null.
    void* (*find_hung)(RipModule* rip);
    // Reads the window's title into out (cap bytes, not necessarily terminated) and
    // returns the length the system reported.
    int (*title)(RipModule* rip, void* window, char* out, int cap);
    // Ends the process owning window with exit code 0; on RIP_REFUSED *error is the
    // system error code of the failure (already cleared in the system).
    int32_t (*end_process)(RipModule* rip, void* window, uint32_t* error);
};

struct RipModule {
    const char* tag;
    void* hung_window;   // found by the last scan; null when none
    void* library;       // "USER32.DLL" as loaded at init
    void* hung_test;     // IsHungAppWindow, or null
    const RipHost* host; // the system (set before init to fake it)
    void* ctx;           // for a fake host
    char title[RIP_TITLE_BYTES];
    char shown[RIP_TITLE_BYTES];
};

void mod_rip_init(App* app);
void mod_rip_update(App* app);
int mod_rip_draw(App* app, int slot);
void mod_rip_teardown(App* app);

// The system's host (mod_rip_win.cpp; natively one without a hung-window test).
const RipHost* rip_system_host();

// Portable rules.

// A title as the system returned it: the first n bytes of raw (n clamped to
// 0..cap-1), ending at an embedded zero, always terminated. Returns the length.
size_t rip_take_title(char* out, size_t cap, const char* raw, int n);
// Cuts text at its end, one character at a time, while it is wider than max_width
// in the small font and more than one character remains. Returns the new length.
size_t rip_fit_title(char* text, int max_width);
// True in the frames that scan: a one-second tick while the blink phase is set.
bool rip_scan_due(int32_t one_second_tick, int32_t blink);
