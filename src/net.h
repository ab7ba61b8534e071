// Network traffic meter: the panel at the right of the middle band (columns 81..159).
// Not built yet: these keep their places in start-up, the frame loop and shutdown.
#pragma once

struct App;

void net_init(App* app);
void net_sample(App* app);
void net_draw_panel(App* app);
void net_close(App* app);
