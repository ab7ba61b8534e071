// Stopwatch module "STW": one stopwatch per slot, run by the slot's soft button.
#pragma once
#include <cstddef>
#include <cstdint>

struct App;

enum StwState : int32_t {
    STW_RESET = 0,   // showing zero
    STW_RUNNING = 1, // shown time follows the clock
    STW_LAP = 2,     // shown time frozen while timing goes on
};

struct StwModule {
    const char* tag;
    int32_t state[4];
    uint32_t start[4]; // tick counts
    uint32_t shown[4]; // elapsed = shown - start
};

void mod_stw_init(App* app);
void mod_stw_update(App* app);
int mod_stw_draw(App* app, int slot);
void mod_stw_teardown(App* app);

// Applies a soft-button event (1 short, 2 long) to stopwatch `slot` at tick now.
void stw_press(StwModule* stw, int slot, int32_t event, uint32_t now);
// The stopwatch text for an elapsed time of ms milliseconds. Returns the length.
size_t stw_format(char* out, size_t cap, int32_t ms, int32_t state, int32_t blink);
