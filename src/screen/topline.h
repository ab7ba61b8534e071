// Top line: date, unread-mail indicator, time (rows 0..7).
#pragma once
#include <cstdint>

struct App;
struct GeneralSettings;
struct LcdBitmap;

constexpr int TOPLINE_TEXT_SIZE = 64;

// The local time of one frame: the two texts as the system formats them (empty when
// a picture is rejected) and the same moment as a file time (100 ns units).
struct TopLineNow {
    char date[TOPLINE_TEXT_SIZE];
    char time[TOPLINE_TEXT_SIZE];
    int64_t file_time;
    bool file_time_ok; // false when the time could not be converted
};

// The system calls of the top line, so that the drawing and the mail refresh run
// natively against a fake.
struct TopLineHost {
    // Reads the local time once and fills now from it with the date and time
    // pictures of general.
    void (*read_now)(void* ctx, const GeneralSettings* general, TopLineNow* now);
    // Asks the shell function `fn` (SHGetUnreadMailCountW) for the unread mail
    // received since the file time `since` for `address` (ANSI; nullptr asks for
    // every account). Returns the shell's result, 0 on success with *count set.
    int32_t (*unread_mail)(void* ctx, void* fn, const char* address, int64_t since,
                           uint32_t* count);
    void* ctx;
};

struct TopLine {
    void* shell_module;
    uint32_t unread_count;
    void* get_unread_count;  // SHGetUnreadMailCountW or null
    const TopLineHost* host; // null until first used: then the system's unless a test set one
};

// The system's host (topline_win.cpp; natively a clock with fixed pictures and no
// mail).
const TopLineHost* topline_system_host();

// The envelope of the mail indicator, 7 x 5, row after row.
constexpr int TOPLINE_ENVELOPE_WIDTH = 7;
constexpr int TOPLINE_ENVELOPE_ROWS = 5;
extern const char kTopLineEnvelope[];

// Portable drawing rules.

// Draws the date at column 0 and the time right-aligned so that it ends at column
// 159, then the mail indicator for `unread` between them. Null texts draw nothing.
void topline_render(LcdBitmap* frame, const char* date, const char* time, uint32_t unread);
// The mail indicator alone, given the drawn date width d and time width w.
void topline_draw_mail(LcdBitmap* frame, uint32_t unread, int d, int w);
// Column of envelope k for a time of width w, or -1 when it would come to column
// d + 4 or further left (which ends the row).
int topline_envelope_column(int k, int d, int w);
// The file time (100 ns units) from which unread mail is counted: `email_days`
// days before `filetime`, kept within 0..INT64_MAX.
int64_t topline_mail_filetime(int64_t filetime, int32_t email_days);

// Refreshes unread_count from the shell for the moment `now`: the look-back time is
// `email_days` before it, the address is "email_address" or none when that is
// empty; a failed call (or a time that could not be converted) gives 0.
void topline_refresh_unread(TopLine* top, const GeneralSettings* general, const TopLineNow* now);
// One frame of the top line: reads the time through the host, refreshes the unread
// count on the one-second tick when the shell function was found, and draws.
void topline_draw(App* app);

// Windows glue (topline_win.cpp).
void topline_init(TopLine* top);
void topline_close(TopLine* top);
