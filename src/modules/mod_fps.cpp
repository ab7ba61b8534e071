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
}

void mod_fps_update(App* app) {
    FpsModule* fps = &app->fps;
    if (!app->frame.one_second_tick)
        return;
    fps->text[0] = '\0';
    const FpsHost* host = fps->host;
    const uint8_t* record = nullptr;
    if (host->shared_record(host->ctx, &record))
        fps_rate_text(record, fps->text);
    else if (host->fraps_running(host->ctx))
        host->invite(host->ctx, app);
}

void mod_fps_teardown(App*) {}

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
