// The four slots above the soft buttons, the module contract and the per-frame
// dispatch.
#pragma once
#include <cstdint>

struct App;
struct LcdBitmap;
struct SettingsList;

constexpr int SLOT_COUNT = 4;
constexpr int SLOT_MAX_TAGS = 8;
constexpr int SLOT_REST_ROW = 22;

struct Slot {
    int32_t index;
    int32_t count; // tags in the list, 0..8
    int32_t start; // rotation start, 0..count-1
    char tags[SLOT_MAX_TAGS][4];
    int32_t plus[SLOT_MAX_TAGS];
    int32_t rotate; // move on to the next willing module in this frame
    int32_t button; // pending event for the module shown: 0 none, 1 short, 2 long
    int32_t x;      // 0, 40, 81, 121
    int32_t y;      // 22 at rest
};

// A display module: its tag and its four operations. draw returns non-zero when
// it took the slot, 0 when it has nothing to show (and then drew nothing).
struct Module {
    const char* tag;
    void (*init)(App* app);
    void (*update)(App* app);
    int (*draw)(App* app, int slot);
    void (*teardown)(App* app);
};

constexpr int MODULE_COUNT = 11;
// Positions in the module table, which is in init order.
enum ModuleId {
    MOD_TS2,
    MOD_SPK,
    MOD_NET,
    MOD_AMP,
    MOD_STW,
    MOD_CLK,
    MOD_FPS,
    MOD_FAN,
    MOD_TUN,
    MOD_RIP,
    MOD_TS3
};

void slot_setup(Slot* slot, int index, const SettingsList* settings);
void slot_parse_list(Slot* slot, const char* value);
const char* slot_tag_at(const Slot* slot, int position);
void slot_advance(Slot* slot);
int32_t slot_plus_marks(const Slot* slot, const char* tag);
void slot_draw_frame(LcdBitmap* frame, const Slot* slot, const char* title);
// Hands one soft-button event (ButtonEvent) to the slot: short or long press become
// the pending event, a Ctrl press moves the rotation start on and sets rotate.
void slots_apply_button(Slot* slot, int32_t event);
// Once per frame: clears every rotate flag, then applies events[i] to slot i.
void slots_apply_buttons(Slot slots[SLOT_COUNT], const int32_t events[SLOT_COUNT]);
// Dispatch for slots 0..3 over app->modules (MODULE_COUNT entries).
void slots_draw_all(App* app);
void modules_init_all(App* app);
void modules_update_all(App* app);
void modules_teardown_all(App* app);
// One step of the start animation with the counter's previous value a.
void slots_animate(Slot slots[SLOT_COUNT], int32_t* counter, int32_t a);
// The frame loop's animation step: while the counter is not 0, stores counter + 1
// and calls slots_animate with the old value.
void slots_animate_frame(Slot slots[SLOT_COUNT], int32_t* counter);
