// Hung-application module "RIP". Not built yet: it declines every slot.
#pragma once
#include <cstdint>

struct App;

struct RipModule {
    const char* tag;
};

void mod_rip_init(App* app);
void mod_rip_update(App* app);
int mod_rip_draw(App* app, int slot);
void mod_rip_teardown(App* app);
