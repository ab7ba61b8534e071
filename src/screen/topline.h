// Top line: date, unread-mail indicator, time (rows 0..7).
#pragma once
#include <cstdint>

struct App;
struct LcdBitmap;

struct TopLine {
    void* shell_module;
    uint32_t unread_count;
    void* get_unread_count; // SHGetUnreadMailCountW or null
};

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

// Windows glue (topline_win.cpp).
void topline_init(TopLine* top);
void topline_draw(App* app);
void topline_close(TopLine* top);
