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

void topline_init(TopLine* top);
void topline_draw(App* app);
void topline_close(TopLine* top);
