// The four slots above the soft buttons: their module lists, the per-frame dispatch
// over the module table, the update pass and the start animation.
#include "screen/slots.h"

#include <climits>

#include "core/app.h"
#include "draw/draw.h"
#include "services/settings.h"
#include "services/util.h"

namespace {

constexpr int32_t kSlotLeft[SLOT_COUNT] = {0, 40, 81, 121};

// A slot's dispatch gives up after this many tries in one frame.
constexpr int kMaxAttempts = 8;

// Only this many characters of a list token are looked at.
constexpr int kTokenLimit = 31;
constexpr int kTagLimit = 3;

// The animation is over once the counter reaches this value.
constexpr int32_t kAnimEnd = 46;

constexpr ModuleId kInitOrder[MODULE_COUNT] = {MOD_TS2, MOD_SPK, MOD_NET, MOD_AMP, MOD_STW, MOD_CLK,
                                               MOD_FPS, MOD_FAN, MOD_TUN, MOD_RIP, MOD_TS3};
// TeamSpeak 2 updates late so that its player names are drawn over the graph band;
// TeamSpeak 3 after it, so that its names continue left of those of TeamSpeak 2.
constexpr ModuleId kUpdateOrder[MODULE_COUNT] = {MOD_SPK, MOD_NET, MOD_AMP, MOD_STW,
                                                 MOD_CLK, MOD_FPS, MOD_FAN, MOD_TUN,
                                                 MOD_TS2, MOD_RIP, MOD_TS3};

bool is_separator(char c) {
    return c == ' ' || c == '\t';
}

const Module* find_module(const Module* modules, const char* tag) {
    if (modules == nullptr)
        return nullptr;
    for (int i = 0; i < MODULE_COUNT; ++i) {
        if (modules[i].tag != nullptr && text_iequal(modules[i].tag, tag))
            return &modules[i];
    }
    return nullptr;
}

void animation_over(Slot slots[SLOT_COUNT], int32_t* counter) {
    for (int i = 0; i < SLOT_COUNT; ++i)
        slots[i].y = SLOT_REST_ROW;
    *counter = 0;
}

void draw_slot(App* app, int i) {
    Slot* slot = &app->slots[i];
    for (int attempt = 0; attempt < kMaxAttempts; ++attempt) {
        const char* tag = slot_tag_at(slot, slot->rotate ? 0 : attempt);
        if (tag == nullptr)
            return;
        const Module* m = find_module(app->modules, tag);
        if (m == nullptr)
            continue; // names no module: nothing drawn, start stays put
        if (m->draw != nullptr && m->draw(app, i) != 0)
            return;
        if (slot->rotate)
            slot_advance(slot);
    }
}

} // namespace

void slot_setup(Slot* slot, int index, const SettingsList* settings) {
    slot->index = index;
    slot->x = (index >= 0 && index < SLOT_COUNT) ? kSlotLeft[index] : 0;
    slot->y = SLOT_REST_ROW;
    slot->rotate = 0;
    slot->button = 0;
    slot->start = 0;
    slot->count = 0;
    for (int k = 0; k < SLOT_MAX_TAGS; ++k) {
        slot->tags[k][0] = '\0';
        slot->plus[k] = 0;
    }
    char key[] = "slot_0";
    key[5] = static_cast<char>('0' + (index & 7));
    const char* value = settings != nullptr ? settings_get(settings, key) : nullptr;
    if (value != nullptr)
        slot_parse_list(slot, value);
}

// "TS2 AMP CLK"   -> TS2/0 AMP/0 CLK/0
// "net+\tCLK++"   -> net/1 CLK/2
// "SPEAKER+x+"    -> SPE/2 (first 31 characters only, tag cut at the first "+")
// "+FAN"          -> ""/1
void slot_parse_list(Slot* slot, const char* value) {
    slot->count = 0;
    slot->start = 0;
    for (int k = 0; k < SLOT_MAX_TAGS; ++k) {
        slot->tags[k][0] = '\0';
        slot->plus[k] = 0;
    }
    if (value == nullptr)
        return;
    const char* p = value;
    while (slot->count < SLOT_MAX_TAGS) {
        while (is_separator(*p))
            ++p;
        if (*p == '\0')
            break;
        const int n = slot->count;
        int len = 0;      // characters of the token seen so far
        int tag_len = 0;  // characters kept in the tag
        bool cut = false; // a "+" has ended the tag
        for (; *p != '\0' && !is_separator(*p); ++p, ++len) {
            if (len >= kTokenLimit)
                continue;
            if (*p == '+') {
                ++slot->plus[n];
                cut = true;
            } else if (!cut && tag_len < kTagLimit) {
                slot->tags[n][tag_len++] = *p;
            }
        }
        slot->tags[n][tag_len] = '\0';
        slot->count = n + 1;
    }
}

// With the list A B C and start 1: position 0 -> B, 1 -> C, 2 -> A, 3 -> none.
const char* slot_tag_at(const Slot* slot, int position) {
    if (slot->count <= 0 || position < 0 || position >= slot->count)
        return nullptr;
    int32_t at = slot->start + position;
    if (at >= slot->count || at < 0)
        at = ((at % slot->count) + slot->count) % slot->count;
    return slot->tags[at];
}

// With three tags: start 0 -> 1, 1 -> 2, 2 -> 0.
void slot_advance(Slot* slot) {
    const int32_t next = slot->start + 1;
    slot->start = (next >= slot->count || next < 0) ? 0 : next;
}

// List "CLK++ net+ CLK": "clk" -> 2, "NET" -> 1, "FAN" -> 0.
int32_t slot_plus_marks(const Slot* slot, const char* tag) {
    if (tag == nullptr)
        return 0;
    for (int k = 0; k < slot->count && k < SLOT_MAX_TAGS; ++k) {
        if (text_iequal(slot->tags[k], tag))
            return slot->plus[k];
    }
    return 0;
}

void slot_draw_frame(LcdBitmap* frame, const Slot* slot, const char* title) {
    const int32_t x = slot->x;
    const int32_t y = slot->y;
    for (int32_t c = x + 1; c <= x + 37; ++c)
        draw_pixel(frame, c, y);
    for (int32_t r = y + 1; r <= y + 20; ++r) {
        draw_pixel(frame, x, r);
        draw_pixel(frame, x + 38, r);
    }
    const int w = draw_text(frame, TEXT_SYMBOLS | TEXT_OPAQUE | TEXT_INVERT, x + 1, y + 1, title);
    for (int32_t c = x + 1; c <= x + w; ++c)
        draw_pixel(frame, c, y + 6);
}

void slots_apply_button(Slot* slot, int32_t event) {
    switch (event) {
    case BUTTON_SHORT:
        slot->button = 1;
        break;
    case BUTTON_LONG:
        slot->button = 2;
        break;
    case BUTTON_CTRL:
        slot_advance(slot);
        slot->rotate = 1;
        break;
    default:
        break;
    }
}

void slots_apply_buttons(Slot slots[SLOT_COUNT], const int32_t events[SLOT_COUNT]) {
    for (int i = 0; i < SLOT_COUNT; ++i)
        slots[i].rotate = 0;
    for (int i = 0; i < SLOT_COUNT; ++i)
        slots_apply_button(&slots[i], events[i]);
}

void slots_draw_all(App* app) {
    for (int i = 0; i < SLOT_COUNT; ++i)
        draw_slot(app, i);
}

void modules_init_all(App* app) {
    if (app->modules == nullptr)
        return;
    for (ModuleId id : kInitOrder) {
        if (app->modules[id].init != nullptr)
            app->modules[id].init(app);
    }
}

void modules_update_all(App* app) {
    if (app->modules == nullptr)
        return;
    for (ModuleId id : kUpdateOrder) {
        if (app->modules[id].update != nullptr)
            app->modules[id].update(app);
    }
}

void modules_teardown_all(App* app) {
    if (app->modules == nullptr)
        return;
    for (int k = MODULE_COUNT - 1; k >= 0; --k) {
        const Module& m = app->modules[kInitOrder[k]];
        if (m.teardown != nullptr)
            m.teardown(app);
    }
}

// a = 2: rows 42 48 54 60; a = 20: 24 30 36 42; a = 40: 22 22 22 22 (slot 3 arrives);
// odd a: unchanged; a <= 0 or a >= 46: all 22 and the counter ends.
void slots_animate(Slot slots[SLOT_COUNT], int32_t* counter, int32_t a) {
    if (a <= 0) {
        animation_over(slots, counter);
        return;
    }
    if (a % 2 != 0)
        return;
    for (int i = 0; i < SLOT_COUNT; ++i) {
        const int32_t y = 44 - a + 6 * i;
        slots[i].y = y < SLOT_REST_ROW ? SLOT_REST_ROW : y;
    }
    if (a >= kAnimEnd)
        animation_over(slots, counter);
}

// Counter 1 (the default): this frame a = 1, counter becomes 2; next frame a = 2 ...
void slots_animate_frame(Slot slots[SLOT_COUNT], int32_t* counter) {
    const int32_t a = *counter;
    if (a == 0)
        return;
    *counter = a == INT32_MAX ? 0 : a + 1; // a counter at the top ends instead of wrapping
    slots_animate(slots, counter, a);
}
