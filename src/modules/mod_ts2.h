// TeamSpeak 2 module "TS2". Not built yet: it declines every slot.
#pragma once
#include <cstdint>

struct App;

struct Ts2Module {
    const char* tag;
};

void mod_ts2_init(App* app);
void mod_ts2_update(App* app);
int mod_ts2_draw(App* app, int slot);
void mod_ts2_teardown(App* app);
