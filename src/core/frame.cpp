// The drawing of one frame (see frame.h); the frame loop in main.cpp reads the
// timer, the messages and the buttons around it and hands the result to the link.
#include "core/frame.h"

#include "core/app.h"

void frame_begin(App* app) {
    FrameState& f = app->frame;
    slots_animate_frame(app->slots, &f.anim_counter);
    if (f.frame_counter == 0) {
        f.one_second_tick = 1;
        f.blink ^= 1;
    } else {
        f.one_second_tick = 0;
    }
    net_sample(app);
}

void frame_compose(App* app, const int32_t events[SLOT_COUNT]) {
    slots_apply_buttons(app->slots, events);
    topline_draw(app);
    if (!notice_step(&app->notices, app_frame(app), app->frame.now)) {
        cpumem_draw(&app->cpu, app_frame(app));
        net_draw_panel(app);
    }
    modules_update_all(app);
    slots_draw_all(app);
}
