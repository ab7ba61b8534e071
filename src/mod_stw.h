// Stopwatch module "STW".
#pragma once
#include <cstdint>

struct App;

struct StwModule {
    const char* tag;
    int32_t state[4];
    uint32_t start[4];
    uint32_t shown[4];
};

void mod_stw_init(App* app);
void mod_stw_update(App* app);
int mod_stw_draw(App* app, int slot);
void mod_stw_teardown(App* app);
