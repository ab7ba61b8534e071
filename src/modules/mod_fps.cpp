// FRAPS module "FPS".
#include "modules/mod_fps.h"

#include <cstdio>

#include "core/app.h"
#include "draw/draw.h"
#include "screen/slots.h"
#include "services/util.h"

namespace {
const char kFpsTag[] = "FPS";
constexpr uint32_t kMaxShown = 9999999; // what 7 digits hold
} // namespace

size_t fps_rate_text(const uint8_t* record, char out[8]) {
    out[0] = '\0';
    if (!record)
        return 0;
    uint32_t rate = read_le32(record + 4);
    if (rate == 0)
        return 0;
    if (rate > kMaxShown)
        rate = kMaxShown;
    int n = snprintf(out, 8, "%u", static_cast<unsigned>(rate));
    return n > 0 ? static_cast<size_t>(n) : 0;
}

void mod_fps_init(App* app) {
    FpsModule* fps = &app->fps;
    fps->tag = kFpsTag;
    fps->text[0] = '\0';
    if (!fps->host)
        fps->host = fps_system_host();
    const FpsHost* host = fps->host;
    fps->load_watch = host->load_watch_open ? host->load_watch_open(host->ctx) : nullptr;
    fps->missing_known = 0;
    fps->missing_count = 0;
}

namespace {

// Whether FRAPS's library is here, with its record. The library is asked for on every
// tick, except while it was found missing and no library has been loaded or unloaded
// since: the answer is then the same without asking.
bool fps_library_record(FpsModule* fps, const uint8_t** record) {
    const FpsHost* host = fps->host;
    *record = nullptr;
    uint32_t count = 0;
    const bool counted = fps->load_watch && host->load_count(host->ctx, fps->load_watch, &count);
    if (counted && fps->missing_known && count == fps->missing_count)
        return false;
    const bool present = host->shared_record(host->ctx, record);
    // Counted before asking: a load during the question is seen at the next tick.
    fps->missing_known = !present && counted ? 1 : 0;
    fps->missing_count = count;
    return present;
}

} // namespace

void mod_fps_update(App* app) {
    FpsModule* fps = &app->fps;
    if (!app->frame.one_second_tick)
        return;
    fps->text[0] = '\0';
    const FpsHost* host = fps->host;
    const uint8_t* record = nullptr;
    if (fps_library_record(fps, &record))
        fps_rate_text(record, fps->text);
    else if (host->fraps_running(host->ctx))
        host->invite(host->ctx, app);
}

void mod_fps_teardown(App* app) {
    FpsModule* fps = &app->fps;
    const FpsHost* host = fps->host;
    if (host && fps->load_watch && host->load_watch_close)
        host->load_watch_close(host->ctx, fps->load_watch);
    fps->load_watch = nullptr;
    fps->missing_known = 0;
}

int mod_fps_draw(App* app, int slot) {
    FpsModule* fps = &app->fps;
    if (fps->text[0] == '\0')
        return 0;
    Slot* s = &app->slots[slot];
    LcdBitmap* frame = app_frame(app);
    slot_draw_frame(frame, s, kFpsTag);
    int w = draw_text(frame, TEXT_LARGE | TEXT_MEASURE, 0, 0, fps->text);
    draw_text(frame, TEXT_LARGE, w == 0 ? s->x + 1 : s->x + 38 - w, s->y + 10, fps->text);
    return 1;
}
