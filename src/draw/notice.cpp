// Notice queue: the band between the top line and the slots shows one queued text
// after another. A text that fits stays for its duration; a wider one waits for its
// duration, moves 8 columns to the left every third frame until its end is on screen,
// and then stays for its duration again.
#include "draw/notice.h"

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "draw/draw.h"

namespace {

constexpr int32_t kDefaultDuration = 2000;
constexpr int32_t kScrollStep = 8;
constexpr int kNoticeRow = 8;

// Time measured since the phase began, as the tick counter would give it. Taken as an
// unsigned difference so that a phase that began just before the counter wrapped is
// still measured correctly (start 0xFFFFFF00, now 0x10 -> 272 ms: 256 before the wrap
// and 16 after it).
uint32_t phase_elapsed(const NoticeQueue* q, uint32_t now) {
    return now - q->phase_start;
}

// The current phase has lasted its notice's duration.
bool phase_over(const NoticeQueue* q, uint32_t now) {
    return phase_elapsed(q, now) >= static_cast<uint32_t>(q->first->duration);
}

} // namespace

int notice_count(const NoticeQueue* q) {
    int n = 0;
    for (const Notice* p = q->first; p; p = p->next)
        ++n;
    return n;
}

int post_notice(NoticeQueue* q, uint32_t now, int key, int duration_ms, const char* format, ...) {
    if (duration_ms == 0)
        duration_ms = kDefaultDuration;

    int n = 0;
    Notice* last = nullptr;
    for (Notice* p = q->first; p; p = p->next) {
        last = p;
        ++n;
    }
    if (!format || n >= NOTICE_MAX)
        return n;

    // vsnprintf stops at 511 characters and always writes the terminating zero.
    char text[NOTICE_TEXT];
    va_list args;
    va_start(args, format);
    int len = vsnprintf(text, sizeof text, format, args);
    va_end(args);
    if (len < 0)
        text[0] = '\0';

    if (key != 0) {
        for (Notice* p = q->first; p; p = p->next) {
            if (p->key != key)
                continue;
            p->duration = duration_ms;
            memcpy(p->text, text, sizeof text);
            if (p == q->first) {
                // The shown notice restarts its current phase from the left.
                q->phase_start = now;
                q->scroll_offset = 0;
            }
            return n;
        }
    }

    Notice* notice = static_cast<Notice*>(malloc(sizeof(Notice)));
    if (!notice)
        return n;
    notice->key = key;
    notice->duration = duration_ms;
    memcpy(notice->text, text, sizeof text);
    notice->next = nullptr;
    if (last) {
        last->next = notice;
    } else {
        q->first = notice;
        q->phase_start = now;
    }
    return n + 1;
}

bool notice_step(NoticeQueue* q, LcdBitmap* frame, uint32_t now) {
    if (!q->first)
        return false;

    // The tick counter wrapped since the phase began.
    if (now < q->phase_start)
        q->phase_start = 0;

    if (q->phase == 0) {
        q->phase = 1;
        q->scroll_offset = 0;
        q->phase_start = now;
    }

    uint32_t w = static_cast<uint32_t>(
        draw_text(frame, TEXT_LARGE, -q->scroll_offset, kNoticeRow, q->first->text));

    if (q->phase == 1) {
        if (!phase_over(q, now))
            return true;
        q->phase = 2;
    }

    if (q->phase == 2) {
        ++q->scroll_wait;
        if (q->scroll_wait <= 2)
            return true;
        if (w >= static_cast<uint32_t>(q->scroll_offset + LCD_WIDTH)) {
            // The text still reaches the right edge or beyond: one step further.
            q->scroll_wait = 0;
            q->scroll_offset += kScrollStep;
            return true;
        }
        q->phase = 3;
        q->phase_start = now;
    }

    if (!phase_over(q, now))
        return true;

    // Done: the next notice starts at phase 0 in the following frame.
    Notice* done = q->first;
    q->phase = 0;
    q->scroll_offset = 0;
    q->phase_start = now;
    q->first = done->next;
    free(done);
    return true;
}

void notice_free_all(NoticeQueue* q) {
    Notice* p = q->first;
    while (p) {
        Notice* next = p->next;
        free(p);
        p = next;
    }
    q->first = nullptr;
    q->phase = 0;
    q->scroll_offset = 0;
}
