// World clock module "CLK".
#pragma once
#include <cstdint>

struct App;

struct ClkModule {
    const char* tag;
    int32_t zones[16];
    char picture[32];
    int32_t count;
};

void mod_clk_init(App* app);
void mod_clk_update(App* app);
int mod_clk_draw(App* app, int slot);
void mod_clk_teardown(App* app);
