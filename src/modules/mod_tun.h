// iTunes module "TUN". Not built yet: it declines every slot.
#pragma once
#include <cstdint>

struct App;

struct TunModule {
    const char* tag;
};

void mod_tun_init(App* app);
void mod_tun_update(App* app);
int mod_tun_draw(App* app, int slot);
void mod_tun_teardown(App* app);
