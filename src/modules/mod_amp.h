// Winamp module "AMP". Not built yet: it declines every slot.
#pragma once
#include <cstdint>

struct App;

struct AmpModule {
    const char* tag;
};

void mod_amp_init(App* app);
void mod_amp_update(App* app);
int mod_amp_draw(App* app, int slot);
void mod_amp_teardown(App* app);
