// Hung-application module "RIP".
#include "modules/mod_rip.h"

#include <cstring>

#include "core/app.h"
#include "draw/draw.h"
#include "draw/notice.h"
#include "screen/slots.h"
#include "services/util.h"

namespace {
const char kRipTag[] = "RIP";
const char kSrc[] = "src/mod_rip";
} // namespace

// ("Notepad", 7) -> "Notepad"; ("Note\0pad", 8) -> "Note"; ("Notepad", -1) -> "";
// 200 bytes without a zero, cap 128 -> the first 127.
size_t rip_take_title(char* out, size_t cap, const char* raw, int n) {
    if (cap == 0)
        return 0;
    size_t len = 0;
    if (raw && n > 0) {
        size_t limit = static_cast<size_t>(n) < cap - 1 ? static_cast<size_t>(n) : cap - 1;
        while (len < limit && raw[len] != '\0')
            ++len;
        memmove(out, raw, len);
    }
    out[len] = '\0';
    return len;
}

// Width 36: "Calc" -> "Calc"; "Untitled - Notepad" -> "Untitl"; "WWWWWWW"
// (6 px each) -> "WWWWWW"; a single wide character stays.
// Widths only grow with each character, so the kept part is the longest start that fits
// (at least one character), found in one pass.
size_t rip_fit_title(char* text, int max_width) {
    size_t len = 0;
    long width = 0;
    for (; text[len] != '\0'; ++len) {
        width += draw_char(nullptr, TEXT_MEASURE, 0, 0, static_cast<unsigned char>(text[len]));
        if (width > max_width && len > 0)
            break;
    }
    text[len] = '\0';
    return len;
}

// (1, 1) -> true; (1, 0), (0, 1) -> false.
bool rip_scan_due(int32_t one_second_tick, int32_t blink) {
    return one_second_tick != 0 && blink != 0;
}

void mod_rip_init(App* app) {
    RipModule* rip = &app->rip;
    rip->tag = kRipTag;
    rip->hung_window = nullptr;
    rip->library = nullptr;
    rip->hung_test = nullptr;
    rip->title[0] = '\0';
    rip->shown[0] = '\0';
    if (!rip->host)
        rip->host = rip_system_host();
    if (!rip->host->open(rip))
        rip->hung_test = nullptr;
}

void mod_rip_update(App* app) {
    RipModule* rip = &app->rip;
    if (!rip->hung_test || !rip_scan_due(app->frame.one_second_tick, app->frame.blink))
        return;
    rip->hung_window = rip->host->find_hung(rip);
}

int mod_rip_draw(App* app, int slot) {
    RipModule* rip = &app->rip;
    if (!rip->hung_window)
        return 0;
    Slot* s = &app->slots[slot];
    LcdBitmap* frame = app_frame(app);
    slot_draw_frame(frame, s, kRipTag);

    char raw[RIP_TITLE_BYTES];
    int n = rip->host->title(rip, rip->hung_window, raw, sizeof raw);
    rip_take_title(rip->title, sizeof rip->title, raw, n);

    if (s->button == 1) {
        s->button = 0;
        post_notice(&app->notices, app->frame.now, NOTICE_HUNG_APP, 1500, "Unresponsive: '%s'",
                    rip->title);
    } else if (s->button == 2) {
        s->button = 0;
        uint32_t error = 0;
        switch (rip->host->end_process(rip, rip->hung_window, &error)) {
        case RIP_NO_ACCESS:
            post_notice(&app->notices, app->frame.now, NOTICE_UNKEYED, 1500,
                        "Insufficient privileges to terminate process");
            break;
        case RIP_REFUSED:
            log_error(kSrc, 164, error, "TerminateProcess() failed for '%s'", rip->title);
            clear_system_error();
            post_notice(&app->notices, app->frame.now, NOTICE_UNKEYED, 1500,
                        "Failed to terminate process");
            break;
        default: // ended, or gone already: the next scan clears the slot
            break;
        }
    }

    memcpy(rip->shown, rip->title, sizeof rip->shown);
    rip_fit_title(rip->shown, RIP_TITLE_WIDTH);
    draw_text_right(frame, s->x, s->y + 14, rip->shown);
    return 1;
}

void mod_rip_teardown(App* app) {
    RipModule* rip = &app->rip;
    if (rip->host)
        rip->host->close(rip);
    rip->hung_test = nullptr;
    rip->library = nullptr;
    rip->hung_window = nullptr;
}
