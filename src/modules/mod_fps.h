// FRAPS module "FPS". Not built yet: it declines every slot.
#pragma once
#include <cstdint>

struct App;

struct FpsModule {
    const char* tag;
};

void mod_fps_init(App* app);
void mod_fps_update(App* app);
int mod_fps_draw(App* app, int slot);
void mod_fps_teardown(App* app);
