// The drawing of one frame, shared by the frame loop and the whole-frame benchmark:
// everything between reading the timer and handing the frame to the LCD link that
// does not talk to Windows itself.
#pragma once
#include <cstdint>

#include "screen/slots.h"

struct App;

// First part of a frame whose tick count is already in app->frame.now: the start
// animation's step, the one-second tick and blink phase (from the frame counter),
// the network sample.
void frame_begin(App* app);
// The rest, once each slot's soft-button event is read: the events go to the
// slots; the top line; the notice band or, when no notice shows, the CPU and memory
// meter and the network panel; every module's update; each slot's module draws.
void frame_compose(App* app, const int32_t events[SLOT_COUNT]);
