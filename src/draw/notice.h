// Notice queue: short texts that take over the middle band (rows 8..20) one after
// another, each for its own duration, scrolling when too wide.
#pragma once
#include <cstdint>

struct LcdBitmap;

constexpr int NOTICE_MAX = 60;
constexpr int NOTICE_TEXT = 512; // 511 characters and a zero

// Notice keys shared between units. Keys in use: 0 unkeyed, 1 track title, 2 to 6
// TeamSpeak 2 (mod_ts2), 7 hung application, 8 speaker set-up, 9 network reset, 10
// start-up banner, 11 to 15 TeamSpeak 3 (mod_ts3: server, channel, connected, dropped,
// channel list).
enum NoticeKey : int {
    NOTICE_UNKEYED = 0,
    NOTICE_TRACK = 1,
    NOTICE_HUNG_APP = 7,
    NOTICE_SPEAKER = 8,
    NOTICE_NET_RESET = 9,
    NOTICE_BANNER = 10,
};

struct Notice {
    int32_t key;
    int32_t duration;
    char text[NOTICE_TEXT];
    Notice* next;
};

struct NoticeQueue {
    uint32_t phase_start;
    int32_t scroll_offset;
    int32_t phase; // 0 new, 1 showing, 2 scrolling, 3 holding the end
    int32_t scroll_wait;
    Notice* first;
};

// Queues a notice (now = current tick count). Duration 0 means 2000 ms. A non-zero
// key replaces the queued notice with that key. Returns the count after the call.
// The format is a format: texts from outside go in only as an argument of "%s".
int post_notice(NoticeQueue* q, uint32_t now, int key, int duration_ms, const char* format, ...)
    __attribute__((format(printf, 5, 6)));
// One frame of the notice band; true when a notice was drawn.
bool notice_step(NoticeQueue* q, LcdBitmap* frame, uint32_t now);
// Frees every queued notice and leaves the queue empty.
void notice_free_all(NoticeQueue* q);
int notice_count(const NoticeQueue* q);
