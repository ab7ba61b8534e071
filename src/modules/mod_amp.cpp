// Winamp module "AMP".
#include "modules/mod_amp.h"

#include <cstring>

#include "core/app.h"
#include "draw/draw.h"
#include "draw/notice.h"
#include "modules/media_text.h"
#include "screen/slots.h"
#include "services/util.h"

namespace {

const char kAmpTag[] = "AMP";
const char kSuffix[] = "- Winamp";
constexpr int kDuration = 1500;

// Window messages (WM_USER) and their (wParam, lParam).
constexpr int32_t kBitrate[2] = {1, 126};  // kbit/s, below 1 = none
constexpr int32_t kPosition[2] = {0, 105}; // ms
constexpr int32_t kLength[2] = {1, 105};   // s, 0 or less = unknown

void announce(App* app) {
    post_notice(&app->notices, app->frame.now, NOTICE_TRACK, kDuration, "%s", app->amp.title);
}

} // namespace

// Cuts a window title at the last "- Winamp" (ignoring case) and the blanks before it:
//   "3. Artist - Song - Winamp"     -> "3. Artist - Song"
//   "Song - WINAMP", "Song   - Winamp" -> "Song"
//   "A - Winamp - Winamp [Stopped]" -> "A - Winamp"
//   "Winamp 5.666 Build 3516", "Winam", "- Winamp" -> ""
// Only the first 519 characters of the window title count (the read buffer), and the
// song is cut to 511.
size_t amp_song_title(const char* window_title, char out[AMP_TITLE_MAX]) {
    size_t len = strnlen(window_title, AMP_TITLE_READ - 1);
    const size_t n = sizeof kSuffix - 1;
    size_t song = 0;
    if (len >= n) {
        for (size_t k = len - n + 1; k-- > 0;) {
            if (text_iequal_n(window_title + k, kSuffix, n)) {
                while (k > 0 && window_title[k - 1] == ' ')
                    --k;
                song = k;
                break;
            }
        }
    }
    if (song > AMP_TITLE_MAX - 1)
        song = AMP_TITLE_MAX - 1;
    memcpy(out, window_title, song);
    out[song] = '\0';
    return song;
}

// The remaining time of a song of known length, else the elapsed time (a stream):
//   (30000, 240) -> "3:30"; (60000, 7200) -> "1:59:00"; (754000, 0) -> "12:34";
//   (500, 0) -> "0:00"; (0, 0), (250000, 240) -> "" (nothing left to show)
size_t amp_time_text(char* out, size_t cap, int32_t position_ms, int32_t length_s, int32_t blink) {
    int64_t length_ms = static_cast<int64_t>(length_s) * 1000;
    int64_t t = length_ms > 0 ? length_ms - position_ms : position_ms;
    if (t <= 0) {
        if (cap > 0)
            out[0] = '\0';
        return 0;
    }
    return media_time_text(out, cap, t / 1000, blink);
}

// Samples 128, 192, 160 then a tick -> "160k"; a sample of 0 clears the sum, and
// the text keeps its last value for the next time a bitrate is known.
bool amp_bitrate_sample(AmpModule* amp, int32_t kbps, int32_t one_second_tick) {
    if (kbps < 1) {
        amp->bitrate_sum = 0;
        amp->sample_count = 0;
        return false;
    }
    amp->bitrate_sum += kbps;
    amp->sample_count += 1;
    if (one_second_tick && amp->sample_count != 0) {
        media_bitrate_text(amp->bitrate_text, sizeof amp->bitrate_text,
                           static_cast<int32_t>(amp->bitrate_sum / amp->sample_count));
        amp->bitrate_sum = 0;
        amp->sample_count = 0;
    }
    return true;
}

void mod_amp_init(App* app) {
    AmpModule* amp = &app->amp;
    amp->tag = kAmpTag;
    amp->window = nullptr;
    amp->bitrate_sum = 0;
    amp->sample_count = 0;
    amp->bitrate_text[0] = '\0';
    amp->title[0] = '\0';
    if (!amp->host)
        amp->host = amp_system_host();
}

void mod_amp_update(App* app) {
    AmpModule* amp = &app->amp;
    const AmpHost* host = amp->host;
    if (app->frame.one_second_tick)
        amp->window = host->find_window(host->ctx);
    if (!amp->window)
        return;
    char raw[AMP_TITLE_READ];
    raw[0] = '\0';
    int got = host->get_title(host->ctx, amp->window, raw, static_cast<int>(sizeof raw));
    raw[sizeof raw - 1] = '\0';
    if (got <= 0) {
        amp->window = nullptr;
        return;
    }
    char song[AMP_TITLE_MAX];
    if (amp_song_title(raw, song) == 0) {
        amp->window = nullptr;
        return;
    }
    if (strcmp(song, amp->title) == 0)
        return;
    memcpy(amp->title, song, sizeof song);
    announce(app);
}

void mod_amp_teardown(App*) {}

int mod_amp_draw(App* app, int slot) {
    AmpModule* amp = &app->amp;
    if (!amp->window)
        return 0;
    const AmpHost* host = amp->host;
    Slot* s = &app->slots[slot];
    LcdBitmap* frame = app_frame(app);
    slot_draw_frame(frame, s, kAmpTag);
    if (s->button == 1) {
        s->button = 0;
        announce(app);
    }

    // A player that does not answer in time gives no line; the other questions of
    // this frame are then not asked.
    int32_t kbps = 0;
    bool answering = host->query(host->ctx, amp->window, kBitrate[0], kBitrate[1], &kbps);
    if (!answering)
        kbps = 0;
    if (amp_bitrate_sample(amp, kbps, app->frame.one_second_tick))
        draw_text_right(frame, s->x, s->y + 7, amp->bitrate_text);

    int32_t position = 0, length = 0;
    if (!answering || !host->query(host->ctx, amp->window, kPosition[0], kPosition[1], &position) ||
        !host->query(host->ctx, amp->window, kLength[0], kLength[1], &length))
        return 1;
    char text[32];
    if (amp_time_text(text, sizeof text, position, length, app->frame.blink) > 0)
        draw_text_right(frame, s->x, s->y + 14, text);
    return 1;
}
