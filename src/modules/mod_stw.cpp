// Stopwatch module "STW".
#include "modules/mod_stw.h"

#include <cstdio>

#include "core/app.h"
#include "draw/draw.h"
#include "screen/slots.h"

namespace {
const char kStwTag[] = "STW";
} // namespace

void mod_stw_init(App* app) {
    StwModule* stw = &app->stw;
    stw->tag = kStwTag;
    for (int i = 0; i < 4; ++i) {
        stw->state[i] = STW_RESET;
        stw->start[i] = 0;
        stw->shown[i] = 0;
    }
}

void mod_stw_update(App*) {}

void mod_stw_teardown(App*) {}

// short: reset -> running (from now), running -> lap, lap -> running.
// long: reset to zero from any state.
void stw_press(StwModule* stw, int slot, int32_t event, uint32_t now) {
    if (event == 1) {
        switch (stw->state[slot]) {
        case STW_RESET:
            stw->start[slot] = now;
            stw->shown[slot] = now;
            stw->state[slot] = STW_RUNNING;
            break;
        case STW_RUNNING:
            stw->state[slot] = STW_LAP;
            break;
        default:
            stw->state[slot] = STW_RUNNING;
            break;
        }
    } else if (event == 2) {
        stw->start[slot] = now;
        stw->shown[slot] = now;
        stw->state[slot] = STW_RESET;
    }
}

// Under one hour "MM:SS.t", 1 to 9 hours "H:MM:SS", from 10 hours "HH:MM" whose
// separator blinks (blank while blink is 0) unless the stopwatch is reset:
//   (3599900, running)           -> "59:59.9"
//   (3600000, running)           -> "1:00:00"
//   (36300000, running, blink 1) -> "10:05"
//   (36300000, running, blink 0) -> "10 05"
//   (0, reset)                   -> "00:00.0"
// A run past 2^31 ms turns the signed count negative; the tick difference itself is
// still right up to 2^32 ms, so it is read unsigned: (-1) -> "1193:02".
size_t stw_format(char* out, size_t cap, int32_t ms, int32_t state, int32_t blink) {
    if (cap == 0)
        return 0;
    unsigned long elapsed = static_cast<uint32_t>(ms);
    unsigned long hours = elapsed / 3600000UL;
    unsigned long minutes = elapsed / 60000UL - hours * 60;
    unsigned long seconds = elapsed / 1000UL - (elapsed / 60000UL) * 60;
    unsigned long tenths = (elapsed % 1000UL) / 100UL;
    int n;
    if (hours >= 10) {
        char sep = (state == STW_RESET || blink) ? ':' : ' ';
        n = snprintf(out, cap, "%lu%c%02lu", hours, sep, minutes);
    } else if (hours >= 1) {
        n = snprintf(out, cap, "%lu:%02lu:%02lu", hours, minutes, seconds);
    } else {
        n = snprintf(out, cap, "%02lu:%02lu.%1lu", minutes, seconds, tenths);
    }
    if (n < 0) {
        out[0] = '\0';
        return 0;
    }
    return static_cast<size_t>(n) < cap ? static_cast<size_t>(n) : cap - 1;
}

int mod_stw_draw(App* app, int slot) {
    StwModule* stw = &app->stw;
    Slot* s = &app->slots[slot];
    LcdBitmap* frame = app_frame(app);
    slot_draw_frame(frame, s, stw->tag);

    uint32_t now = app->frame.now;
    if (s->button == 1 || s->button == 2) {
        stw_press(stw, slot, s->button, now);
        s->button = 0;
    }
    if (stw->state[slot] == STW_RUNNING)
        stw->shown[slot] = now;
    // The lap marker blinks beside the title: shown while the separator is blank.
    if (stw->state[slot] == STW_LAP && !app->frame.blink)
        draw_text(frame, TEXT_SYMBOLS, s->x + 23, s->y + 2, "LAP");

    char text[32];
    int32_t ms = static_cast<int32_t>(stw->shown[slot] - stw->start[slot]);
    stw_format(text, sizeof text, ms, stw->state[slot], app->frame.blink);
    draw_text_right(frame, s->x, s->y + 14, text);
    return 1;
}
