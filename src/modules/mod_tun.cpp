// iTunes module "TUN": the frame loop's side (announcements and the slot) and the
// rules shared with the worker (track text, position, events, media keys, hand-over).
#include "modules/mod_tun.h"

#include <cstring>

#include "core/app.h"
#include "draw/draw.h"
#include "draw/notice.h"
#include "modules/media_text.h"
#include "screen/slots.h"
#include "services/settings.h"

namespace {

const char kTunTag[] = "TUN";
constexpr int kNoticeMs = 1500;
constexpr uint32_t kFrameLockWaitMs = 100;

// Appends src to out (length *n) without going past 255 characters.
void append(char out[TUN_TEXT], size_t* n, const char* src) {
    while (*src && *n < TUN_TEXT - 1)
        out[(*n)++] = *src++;
    out[*n] = '\0';
}

} // namespace

// ("Artist", "Song") -> "Artist - Song"; ("", "Song") -> " - Song";
// a 252-character artist -> the artist, " - " and nothing of the name;
// a 253-character artist -> the artist alone.
size_t tun_track_text(char out[TUN_TEXT], const char* artist, const char* name) {
    size_t n = 0;
    out[0] = '\0';
    append(out, &n, artist);
    if (strlen(artist) + 3 <= TUN_TEXT - 1) {
        append(out, &n, " - ");
        append(out, &n, name);
    }
    return n;
}

// (210, 5000) -> 0x00001388000000d2; (-1, 7) -> 0x00000007ffffffff.
uint64_t tun_pack_position(int32_t seconds, uint32_t tick) {
    return (static_cast<uint64_t>(tick) << 32) | static_cast<uint32_t>(seconds);
}

int32_t tun_position_seconds(uint64_t packed) {
    return static_cast<int32_t>(static_cast<uint32_t>(packed));
}

uint32_t tun_position_tick(uint64_t packed) {
    return static_cast<uint32_t>(packed >> 32);
}

// Duration 240 s, position 30 s read 2500 ms ago: playing -> 208, stopped -> 210;
// duration 0 (a stream), playing -> 32 (elapsed). A position the worker read after the
// frame took its time (its tick a little ahead of now) counts as just read -> 210.
int64_t tun_shown_seconds(const TunSnapshot* s, uint32_t now) {
    uint64_t packed = s->position.load();
    int64_t t = tun_position_seconds(packed);
    const int32_t since_read = static_cast<int32_t>(now - tun_position_tick(packed));
    if (s->playing.load() == 1 && since_read > 0)
        t += since_read / 1000;
    int32_t duration = s->duration.load();
    return duration > 0 ? duration - t : t;
}

// 2, 3, 4 -> refresh; 8, 9 -> quit; anything else (1, 5, -1, ...) -> ignored.
TunEvent tun_sink_event(TunSinkCounts* counts, int32_t dispid) {
    switch (dispid) {
    case 2:
    case 3:
    case 4:
        counts->refresh.fetch_add(1);
        return TUN_EVENT_REFRESH;
    case 8:
    case 9:
        counts->quit.fetch_add(1);
        return TUN_EVENT_QUIT;
    default:
        return TUN_EVENT_IGNORED;
    }
}

// Key down, down, down, up, down -> call, -, -, -, call.
bool tun_key_step(int32_t* latch, bool down) {
    if (!down) {
        *latch = 0;
        return false;
    }
    if (*latch)
        return false;
    *latch = 1;
    return true;
}

bool tun_store_text(TunSnapshot* s, const TunLock* lock, const char* text, uint32_t wait_ms) {
    if (!lock->acquire(lock->handle, wait_ms))
        return false;
    size_t n = strnlen(text, TUN_TEXT - 1);
    memcpy(s->text, text, n);
    memset(s->text + n, 0, sizeof s->text - n);
    s->stores.fetch_add(1);
    lock->release(lock->handle);
    return true;
}

bool tun_take_new_text(TunSnapshot* s, const TunLock* lock, char announced[TUN_TEXT]) {
    // Counted under the lock with every store, so an unchanged count means the text
    // is the one this frame loop last compared.
    if (s->stores.load() == s->stores_taken)
        return false;
    if (!lock->acquire(lock->handle, kFrameLockWaitMs))
        return false;
    s->stores_taken = s->stores.load();
    bool fresh = s->text[0] != '\0' && strncmp(s->text, announced, TUN_TEXT) != 0;
    if (fresh) {
        memcpy(announced, s->text, TUN_TEXT);
        announced[TUN_TEXT - 1] = '\0';
    }
    lock->release(lock->handle);
    return fresh;
}

bool tun_read_text(TunSnapshot* s, const TunLock* lock, char out[TUN_TEXT]) {
    if (!lock->acquire(lock->handle, kFrameLockWaitMs))
        return false;
    memcpy(out, s->text, TUN_TEXT);
    out[TUN_TEXT - 1] = '\0';
    lock->release(lock->handle);
    return true;
}

void mod_tun_init(App* app) {
    TunModule* tun = &app->tun;
    tun->tag = kTunTag;
    tun->snap = nullptr;
    tun->worker = nullptr;
    tun->thread = nullptr;
    tun->window = WindowWatch{nullptr, 0};
    memset(tun->announced, 0, sizeof tun->announced);
    if (!tun->host)
        tun->host = tun_system_host();
    tun->host->start(tun, settings_get_int(&app->settings, "tun_mediakeys", 0));
}

// Announces a new track (key 1, 1500 ms). The text is taken under the lock and
// posted after it is given back.
bool tun_frame_look(uint32_t wait, bool there, uint32_t before, uint32_t* look, bool* wake) {
    if (wait == 0)
        return false;
    *look = wait * 2 + (there ? 1 : 0);
    *wake = there && before != *look;
    return true;
}

// While the worker waits for iTunes' window, the frame loop looks in each frame and
// wakes it when the window is there: seen in the frame it appears in, as by a look of
// the worker's own every 100 ms.
static void share_look(TunModule* tun, TunSnapshot* s) {
    const TunHost* h = tun->host;
    const uint32_t wait = s->waiting.load();
    if (wait == 0)
        return;
    uint32_t look = 0;
    bool wake = false;
    if (!tun_frame_look(wait, h->window_present(tun), s->frame_look.load(), &look, &wake))
        return;
    s->frame_look.store(look);
    if (wake)
        h->look_wake(tun);
}

void mod_tun_frames_paused(App* app) {
    TunModule* tun = &app->tun;
    TunSnapshot* s = tun->snap;
    if (!s || !tun->host->look_wake)
        return;
    if (s->frame_look.exchange(0) != 0)
        tun->host->look_wake(tun);
}

void mod_tun_update(App* app) {
    TunModule* tun = &app->tun;
    TunSnapshot* s = tun->snap;
    if (s && tun->host->window_present && tun->host->look_wake)
        share_look(tun, s);
    if (!s || s->connected.load() == 0)
        return;
    if (tun_take_new_text(s, &tun->lock, tun->announced))
        post_notice(&app->notices, app->frame.now, NOTICE_TRACK, kNoticeMs, "%s", tun->announced);
}

int mod_tun_draw(App* app, int slot) {
    TunModule* tun = &app->tun;
    TunSnapshot* s = tun->snap;
    if (!s || s->connected.load() == 0)
        return 0;
    Slot* sl = &app->slots[slot];
    LcdBitmap* frame = app_frame(app);
    slot_draw_frame(frame, sl, kTunTag);

    if (sl->button == 1) {
        sl->button = 0;
        char text[TUN_TEXT];
        if (tun_read_text(s, &tun->lock, text) && text[0] != '\0')
            post_notice(&app->notices, app->frame.now, NOTICE_TRACK, kNoticeMs, "%s", text);
    }
    char line[32];
    if (media_bitrate_text(line, sizeof line, s->bitrate.load()) > 0)
        draw_text_right(frame, sl->x, sl->y + 7, line);
    int64_t t = tun_shown_seconds(s, app->frame.now);
    if (t > 0 && media_time_text(line, sizeof line, t, app->frame.blink) > 0)
        draw_text_right(frame, sl->x, sl->y + 14, line);
    return 1;
}

void mod_tun_teardown(App* app) {
    TunModule* tun = &app->tun;
    if (tun->host)
        tun->host->stop(tun);
    tun->snap = nullptr;
    tun->worker = nullptr;
    tun->thread = nullptr;
}
