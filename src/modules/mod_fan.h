// SpeedFan module "FAN". Not built yet: it declines every slot.
#pragma once
#include <cstdint>

struct App;

struct FanModule {
    const char* tag;
};

void mod_fan_init(App* app);
void mod_fan_update(App* app);
int mod_fan_draw(App* app, int slot);
void mod_fan_teardown(App* app);
