// Network traffic meter: the panel at the right of the middle band (columns 81..159)
// and the "NET" display module. Not built yet: these keep their places in start-up,
// the frame loop and shutdown; the panel stays empty and "NET" declines its slot.
#pragma once
#include <cstdint>

struct App;

struct NetMeter {
    const char* tag;
};

void net_init(App* app);
void net_sample(App* app);
void net_draw_panel(App* app);
void net_close(App* app);

void mod_net_init(App* app);
void mod_net_update(App* app);
int mod_net_draw(App* app, int slot);
void mod_net_teardown(App* app);
