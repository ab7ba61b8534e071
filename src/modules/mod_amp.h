// Winamp module "AMP": announces each new song title of the Winamp player as a
// notice and shows the average bitrate and the remaining playing time (the elapsed
// time for a stream of unknown length). Slot:
//
//   +-AMP---------------------------------+
//   |                                 192k|
//   |                                 3:30|
//   +                                     +
#pragma once
#include <cstddef>
#include <cstdint>

struct App;

constexpr int AMP_TITLE_MAX = 512;  // 511 characters and a zero
constexpr int AMP_TITLE_READ = 520; // window title read buffer

// The player's window and its answers. SendMessage to another program is bounded:
// query gives false when the player did not answer in time (or at all).
struct AmpHost {
    void* (*find_window)(void* ctx);
    // Copies the window's title (cap bytes, zero-terminated); the length, 0 on failure.
    int (*get_title)(void* ctx, void* window, char* out, int cap);
    bool (*query)(void* ctx, void* window, int32_t wparam, int32_t lparam, int32_t* result);
    void* ctx;
};

struct AmpModule {
    const char* tag;
    void* window;         // the player's main window, null when none is known
    int64_t bitrate_sum;  // samples since the last averaging (64 bits: no overflow on
    int32_t sample_count; // nonsense answers)
    char bitrate_text[16];
    char title[AMP_TITLE_MAX]; // the last title announced
    const AmpHost* host;
};

void mod_amp_init(App* app);
void mod_amp_update(App* app);
int mod_amp_draw(App* app, int slot);
void mod_amp_teardown(App* app);

// The system's host (mod_amp_win.cpp; natively a player that never runs).
const AmpHost* amp_system_host();

// Portable rules.

// A window title made into the song title: cut to the read buffer, the " - Winamp"
// suffix stripped, cut to 511 characters. Returns the length; 0 means no song.
size_t amp_song_title(const char* window_title, char out[AMP_TITLE_MAX]);
// The slot's time line from the player's position (ms) and length (s, 0 or less =
// unknown); empty when there is no time to show. Returns the length.
size_t amp_time_text(char* out, size_t cap, int32_t position_ms, int32_t length_s, int32_t blink);
// One bitrate sample (kbit/s): a sample of 1 or more is added, and on a one-second
// tick the average of the samples so far becomes the bitrate text; a sample below 1
// forgets the samples. Returns true when the bitrate line is drawn.
bool amp_bitrate_sample(AmpModule* amp, int32_t kbps, int32_t one_second_tick);
