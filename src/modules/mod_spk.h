// Speaker set-up module "SPK". Not built yet: it declines every slot.
#pragma once
#include <cstdint>

struct App;

struct SpkModule {
    const char* tag;
};

void mod_spk_init(App* app);
void mod_spk_update(App* app);
int mod_spk_draw(App* app, int slot);
void mod_spk_teardown(App* app);
