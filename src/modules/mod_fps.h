// FRAPS module "FPS": the frame rate the FRAPS frame counter measures in the game
// being played, in large digits. Slot:
//
//   +-FPS---------------------------------+
//   |                                     |
//   |                          ## ####    |
//   +                          ## #  #    +
#pragma once
#include <cstddef>
#include <cstdint>

struct App;

// FRAPS as this process sees it.
struct FpsHost {
    // FRAPS's library when it is already loaded here and exports its record function:
    // true and *record the function's answer (null when it has none).
    bool (*shared_record)(void* ctx, const uint8_t** record);
    // The system's notices of libraries loaded into and unloaded from this process, so
    // that a library found missing is not asked for again until something was loaded
    // (asking for a library that is not there can cost a millisecond: the system reads
    // the folders of its search path). open: a watch, null where the system gives no
    // such notices; count: the loads and unloads so far, read where no load is half
    // done, false when one is under way (then the library is asked for); close frees
    // the watch. Optional: all null (the library is asked for on every tick).
    void* (*load_watch_open)(void* ctx);
    bool (*load_count)(void* ctx, void* watch, uint32_t* count);
    void (*load_watch_close)(void* ctx, void* watch);
    bool (*fraps_running)(void* ctx); // the window titled "FRAPS fps" exists
    // Creates a window of the program's own class and destroys it at once: FRAPS puts
    // its library into processes that create windows.
    void (*invite)(void* ctx, App* app);
    void* ctx;
};

struct FpsModule {
    const char* tag;
    char text[8]; // the last frame rate, at most 7 digits; empty when none is known
    const FpsHost* host;
    void* load_watch;       // the host's watch of library loads, or null
    int32_t missing_known;  // the library was found missing with `missing_count` loads
    uint32_t missing_count; // and unloads counted, and none has happened since
};

void mod_fps_init(App* app);
void mod_fps_update(App* app);
int mod_fps_draw(App* app, int slot);
void mod_fps_teardown(App* app);

// The system's host (mod_fps_win.cpp; natively FRAPS never runs).
const FpsHost* fps_system_host();

// The frame-rate text of a record (frames per second, unsigned 32-bit at offset 4):
// 60 -> "60"; 0 or no record -> ""; above 7 digits -> "9999999". Returns the length.
size_t fps_rate_text(const uint8_t* record, char out[8]);
