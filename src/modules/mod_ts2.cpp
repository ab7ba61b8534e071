// TeamSpeak 2 module "TS2": frame-loop side (update, draw, watchdog), the poller's
// loop, and the rules over snapshots. The system is reached only through Ts2Host.
#include "modules/mod_ts2.h"

#include <cstdio>
#include <cstring>
#include <new>

#include "core/app.h"
#include "draw/draw.h"
#include "draw/notice.h"
#include "screen/slots.h"
#include "services/util.h"

namespace {

const char kTs2Tag[] = "TS2";

// Notice keys of this module.
constexpr int kKeyConnected = 2;
constexpr int kKeyChannel = 3;
constexpr int kKeyServer = 4;
constexpr int kKeyDropped = 5;
constexpr int kKeyChannelList = 6;

// Offsets inside the user record and the records it holds.
constexpr int kOwnChannel = TS2_USER + 50; // the user's channel record
constexpr int kPlayerId = 0;
constexpr int kPlayerChannel = 4;
constexpr int kPlayerNick = 8;
constexpr int kPlayerFlags = 46;
constexpr int kChannelId = 0;
constexpr int kChannelPlayers = 8;
constexpr int kChannelName = 20;
constexpr int kServerCount = 478;

constexpr int32_t kBracketFlags = 0x08 | 0x10 | 0x20;

constexpr uint32_t kPollerLockMs = 50;
constexpr uint32_t kFrameLockMs = 100;
constexpr uint32_t kWatchdogMs = 4000;
constexpr uint32_t kStallMs = 2000;
constexpr uint32_t kPollWindowMs = 20;
constexpr uint32_t kPollPauseMs = 10; // the shortest pause of the poll loop
constexpr uint32_t kFrameMs = 100;
constexpr uint32_t kStopWaitMs = 500;

// The microphone pictures, 13 x 14.
const char kMicFilled[] = "             "
                          "   XXX       "
                          "  XXXXX      "
                          "  XXXXX      "
                          "  XXXXX      "
                          "   XXXXX     "
                          "      XXX    "
                          "       XXX   "
                          "        XXX  "
                          "         XXX "
                          "          XX "
                          "            X"
                          "  XXXXXXX   X"
                          "XX       XXX ";
const char kMicHollow[] = "             "
                          "   XXX       "
                          "  X   X      "
                          "  X   X      "
                          "  X   X      "
                          "   XXX X     "
                          "      X X    "
                          "       X X   "
                          "        X X  "
                          "         X X "
                          "          XX "
                          "    X X     X"
                          "  XXX XXX   X"
                          "XX  X X  XXX ";
const char kMicSpeaking[] = "  X   X  X  X"
                            " X XXX X  X X"
                            "X XXXXX X X  "
                            "X XXXXX X    "
                            "X XXXXX X    "
                            " X XXXXX     "
                            "  X   XXX    "
                            "       XXX   "
                            "        XXX  "
                            "         XXX "
                            "          XX "
                            "            X"
                            "  XXXXXXX   X"
                            "XX       XXX ";

// a is earlier than b on the wrapping tick clock.
bool earlier(uint32_t a, uint32_t b) {
    return static_cast<int32_t>(a - b) < 0;
}

bool stopped(const Ts2Poller* p) {
    return p->stop.load() != 0;
}

void put_field(uint8_t* record, int offset, int32_t v) {
    const uint32_t u = static_cast<uint32_t>(v);
    for (int i = 0; i < 4; ++i)
        record[offset + i] = static_cast<uint8_t>(u >> (8 * i));
}

void set_pixel(LcdBitmap* frame, int x, int y, uint8_t v) {
    if (x >= 0 && x < LCD_WIDTH && y >= 0 && y < LCD_HEIGHT)
        frame->pixels[y * LCD_WIDTH + x] = v;
}

void fill(LcdBitmap* frame, int x0, int x1, int y0, int y1, uint8_t v) {
    for (int y = y0; y <= y1; ++y)
        for (int x = x0; x <= x1; ++x)
            set_pixel(frame, x, y, v);
}

size_t nick(const uint8_t* player, char* out, size_t cap) {
    return ts2_text(player, kPlayerNick, TS2_NICK_BYTES, out, cap);
}

size_t server_name(const Ts2Snapshot* s, char* out, size_t cap) {
    return ts2_text(s->bytes + TS2_SERVER, 0, TS2_SERVER_NAME_BYTES, out, cap);
}

size_t channel_name(const Ts2Snapshot* s, char* out, size_t cap) {
    return ts2_text(s->bytes + kOwnChannel, kChannelName, TS2_CHANNEL_NAME_BYTES, out, cap);
}

bool has_player(const Ts2Snapshot* s, int32_t id) {
    const int32_t n = ts2_player_count(s);
    for (int32_t i = 0; i < n; ++i)
        if (ts2_field(ts2_player(s, i), kPlayerId) == id)
            return true;
    return false;
}

// One pass of the poll loop's client round: returns false when the loop must end.
// Asks the client only in the last 20 ms before a frame is due, once per frame.
bool poll_round(Ts2Poller* p, bool* failed) {
    const Ts2Host* h = p->host;
    uint8_t* local = p->local.bytes;
    const int32_t want = p->mute_request.load();
    if (want != 0) {
        if (h->get_user_info(p, local + TS2_USER) != 0 || stopped(p))
            return false;
        const int32_t flags = ts2_field(local + TS2_USER, kPlayerFlags) ^ TS2_FLAG_MIC;
        if (h->set_player_flags(p, flags) != 0 || stopped(p))
            return false;
        p->mute_request.fetch_sub(want); // presses made during the call stay pending
    }
    const uint32_t now = h->now(h->ctx);
    if (ts2_poll_due(now, p->frame_deadline->load(), p->poll_stamp.load())) {
        memset(local, 0, TS2_SNAPSHOT_BYTES);
        const int32_t r = h->get_server_info(p, local + TS2_SERVER);
        if (stopped(p))
            return false;
        if (r == -1) {
            p->link_state.store(0);
            p->poll_stamp.store(now);
        } else if (r != 0) {
            h->sleep(h->ctx, p, 900);
        } else {
            p->link_state.store(1);
            put_field(local, TS2_PLAYER_COUNT, TS2_MAX_PLAYERS);
            put_field(local, TS2_SPEAKER_COUNT, TS2_MAX_SPEAKERS);
            *failed = h->get_players(p, local + TS2_PLAYERS, local + TS2_PLAYER_COUNT) != 0 ||
                      h->get_user_info(p, local + TS2_USER) != 0 ||
                      h->get_speakers(p, local + TS2_SPEAKERS, local + TS2_SPEAKER_COUNT) != 0;
            if (stopped(p))
                return false;
            if (!*failed && h->lock_take(h->ctx, p->lock, kPollerLockMs)) {
                // Checked under the lock: a replaced poller never writes the module.
                if (!stopped(p)) {
                    memcpy(p->mod->shared.bytes, local, TS2_SNAPSHOT_BYTES);
                    p->poll_stamp.store(now);
                }
                h->lock_release(h->ctx, p->lock);
            }
        }
    }
    return !*failed && !earlier(p->poll_stamp.load() + kStallMs, now) && !stopped(p);
}

// Lets go of the module's poller: asks it to stop, waits up to wait_ms, and drops
// the module's reference, or with `keep` moves it to the pollers left behind (there
// is room: no poller is started while there is none). A thread still inside the
// library ends by itself later.
void abandon_poller(Ts2Module* m, uint32_t wait_ms, bool keep) {
    Ts2Poller* p = m->poller;
    if (!p)
        return;
    const Ts2Host* h = m->host;
    m->poller = nullptr;
    p->stop.store(1);
    h->wake(h->ctx, p);
    if (h->look_wake)
        h->look_wake(h->ctx, p);
    h->thread_forget(h->ctx, p, wait_ms);
    for (Ts2Poller*& slot : m->left_behind) {
        if (keep && !slot) {
            slot = p;
            return;
        }
    }
    ts2_poller_release(p);
}

// Drops the pollers left behind that have come back from the library; returns how
// many are still inside it.
int32_t sweep_left_behind(Ts2Module* m) {
    int32_t inside = 0;
    for (Ts2Poller*& slot : m->left_behind) {
        if (slot && slot->finished.load()) {
            ts2_poller_release(slot);
            slot = nullptr;
        }
        inside += slot ? 1 : 0;
    }
    return inside;
}

void start_poller(App* app) {
    Ts2Module* m = &app->ts2;
    const Ts2Host* h = m->host;
    const uint32_t now = h->now(h->ctx);
    m->start_stamp = 0;
    Ts2Poller* p = new (std::nothrow) Ts2Poller();
    if (p) {
        p->host = h;
        p->mod = m;
        p->frame_deadline = &app->frame.frame_deadline;
        p->refs.store(2);
        p->poll_stamp.store(now);
        p->link_state.store(-1);
        p->lock = m->lock ? h->lock_duplicate(h->ctx, m->lock) : nullptr;
        if (p->lock && h->thread_start(h->ctx, p, m->lowest != 0)) {
            m->poller = p;
            return;
        }
        if (p->lock)
            h->lock_close(h->ctx, p->lock);
        delete p;
    }
    h->log(h->ctx, 1040, "TS2 thread could not be started");
    m->start_stamp = now ? now : 1;
}

void restart_poller(App* app) {
    Ts2Module* m = &app->ts2;
    const Ts2Host* h = m->host;
    abandon_poller(m, 0, true);
    if (m->lock && h->lock_take(h->ctx, m->lock, kFrameLockMs)) {
        memset(m->shared.bytes, 0, TS2_SNAPSHOT_BYTES);
        h->lock_release(h->ctx, m->lock);
    }
    if (sweep_left_behind(m) < TS2_MAX_LEFT_BEHIND)
        start_poller(app);
}

} // namespace

// ---------------------------------------------------------------- records

// Bytes 01 02 00 80 -> 0x80000201 (negative).
int32_t ts2_field(const uint8_t* record, int offset) {
    return static_cast<int32_t>(read_le32(record + offset));
}

// "ann\0xyz" -> "ann"; a field full of letters with no zero -> all field_bytes of it.
size_t ts2_text(const uint8_t* record, int offset, int field_bytes, char* out, size_t cap) {
    if (cap == 0)
        return 0;
    size_t n = 0;
    const uint8_t* p = record + offset;
    while (n < static_cast<size_t>(field_bytes) && n + 1 < cap && p[n] != 0) {
        out[n] = static_cast<char>(p[n]);
        ++n;
    }
    out[n] = '\0';
    return n;
}

// 3 -> 3; 129 -> 128; -1 -> 0.
int32_t ts2_player_count(const Ts2Snapshot* s) {
    const int32_t n = ts2_field(s->bytes, TS2_PLAYER_COUNT);
    return n < 0 ? 0 : (n > TS2_MAX_PLAYERS ? TS2_MAX_PLAYERS : n);
}

// 2 -> 2; 9 -> 8; INT32_MIN -> 0.
int32_t ts2_speaker_count(const Ts2Snapshot* s) {
    const int32_t n = ts2_field(s->bytes, TS2_SPEAKER_COUNT);
    return n < 0 ? 0 : (n > TS2_MAX_SPEAKERS ? TS2_MAX_SPEAKERS : n);
}

const uint8_t* ts2_player(const Ts2Snapshot* s, int32_t i) {
    return s->bytes + TS2_PLAYERS + i * TS2_PLAYER_BYTES;
}

int32_t ts2_own_id(const Ts2Snapshot* s) {
    return ts2_field(s->bytes + TS2_USER, kPlayerId);
}
int32_t ts2_own_flags(const Ts2Snapshot* s) {
    return ts2_field(s->bytes + TS2_USER, kPlayerFlags);
}
int32_t ts2_own_channel(const Ts2Snapshot* s) {
    return ts2_field(s->bytes + kOwnChannel, kChannelId);
}
int32_t ts2_channel_players(const Ts2Snapshot* s) {
    return ts2_field(s->bytes + kOwnChannel, kChannelPlayers);
}
int32_t ts2_server_count(const Ts2Snapshot* s) {
    return ts2_field(s->bytes + TS2_SERVER, kServerCount);
}

// ---------------------------------------------------------------- rules

// deadline 1000: now 979 -> false (too early); now 980, stamp 900 -> true;
// now 990, stamp 980 -> false (this frame had its poll); also across the tick wrap.
bool ts2_poll_due(uint32_t now, uint32_t deadline, uint32_t stamp) {
    return !earlier(now + kPollWindowMs, deadline) && earlier(stamp + kPollWindowMs, deadline);
}

// deadline 1000, stamp 900: now 950 -> 30 (to 980); now 975 -> 10; now 985 -> 10
// (late, asked again); stamp 985 (had its poll): now 990 -> 90 (to 1080); now 1090 -> 10.
uint32_t ts2_poll_pause(uint32_t now, uint32_t deadline, uint32_t stamp) {
    const bool polled = !earlier(stamp + kPollWindowMs, deadline);
    const uint32_t opens = deadline - kPollWindowMs + (polled ? kFrameMs : 0);
    const int32_t left = static_cast<int32_t>(opens - now);
    if (left < static_cast<int32_t>(kPollPauseMs))
        return kPollPauseMs;
    return left > static_cast<int32_t>(kFrameMs) ? kFrameMs : static_cast<uint32_t>(left);
}

void ts2_post_changes(const Ts2Snapshot* prev, const Ts2Snapshot* cur, NoticeQueue* q,
                      uint32_t now) {
    char a[TS2_SERVER_NAME_BYTES + 1], b[TS2_SERVER_NAME_BYTES + 1];
    server_name(prev, a, sizeof a);
    server_name(cur, b, sizeof b);
    if (!text_iequal(a, b))
        post_notice(q, now, kKeyServer, 0, "TS2: Server \"%s\"", b);
    channel_name(prev, a, sizeof a);
    channel_name(cur, b, sizeof b);
    if (!text_iequal(a, b))
        post_notice(q, now, kKeyChannel, 0, "TS2: Channel \"%s\"", b);

    const int32_t own = ts2_own_id(cur);
    const int32_t n = ts2_player_count(cur);
    for (int32_t i = 0; i < n; ++i) {
        const uint8_t* p = ts2_player(cur, i);
        const int32_t id = ts2_field(p, kPlayerId);
        if (id != own && !has_player(prev, id)) {
            nick(p, a, sizeof a);
            post_notice(q, now, kKeyConnected, 0, "TS2: \"%s\" connected", a);
        }
    }
    const int32_t m = ts2_player_count(prev);
    for (int32_t i = 0; i < m; ++i) {
        const uint8_t* p = ts2_player(prev, i);
        if (!has_player(cur, ts2_field(p, kPlayerId))) {
            nick(p, a, sizeof a);
            post_notice(q, now, kKeyDropped, 0, "TS2: \"%s\" dropped", a);
        }
    }
}

// Channel "Lobby" with ann, then bob (flag 0x08), both in the user's channel:
//   TS2: Channel "Lobby": ann, (bob)
// A player of another channel adds nothing (no comma either); a name that would take
// the text past 510 characters is left out, a later shorter one may still fit.
size_t ts2_channel_text(const Ts2Snapshot* cur, char out[TS2_CHANNEL_TEXT]) {
    char name[TS2_CHANNEL_NAME_BYTES + 1];
    channel_name(cur, name, sizeof name);
    int len = snprintf(out, TS2_CHANNEL_TEXT, "TS2: Channel \"%s\":", name);
    if (len < 0) {
        out[0] = '\0';
        return 0;
    }
    const int32_t channel = ts2_own_channel(cur);
    const int32_t n = ts2_player_count(cur);
    bool listed = false;
    for (int32_t i = 0; i < n; ++i) {
        const uint8_t* p = ts2_player(cur, i);
        if (ts2_field(p, kPlayerChannel) != channel)
            continue;
        char who[TS2_NICK_BYTES + 1];
        const int k = static_cast<int>(nick(p, who, sizeof who));
        if (len + k + 4 > TS2_CHANNEL_TEXT - 2)
            continue;
        const bool bracket = (ts2_field(p, kPlayerFlags) & kBracketFlags) != 0;
        if (listed)
            out[len++] = ',';
        out[len++] = ' ';
        if (bracket)
            out[len++] = '(';
        memcpy(out + len, who, static_cast<size_t>(k));
        len += k;
        if (bracket)
            out[len++] = ')';
        out[len] = '\0';
        listed = true;
    }
    return static_cast<size_t>(len);
}

// A black box of w + 1 columns by 11 rows (rows 9..19) with its corners cut and the
// name in white, in a one-pixel white margin: w + 3 columns, ending at column x - 1.
// With x = 160 and "ann" (w 12): margin at columns 145 and 159, box at 146..158.
void ts2_draw_label(LcdBitmap* frame, int x, int w, const char* name) {
    const int b = x - w - 2;
    draw_text(frame, TEXT_INVERT | TEXT_OPAQUE, b + 1, 10, name);
    fill(frame, b, b, 10, 17, 255);
    fill(frame, b, b + w, 18, 18, 255);
    fill(frame, b + 1, b + w - 1, 9, 9, 255);
    fill(frame, b + 1, b + w - 1, 19, 19, 255);
    fill(frame, b, b, 9, 9, 0);
    fill(frame, b + w, b + w, 9, 9, 0);
    fill(frame, b, b, 19, 19, 0);
    fill(frame, b + w, b + w, 19, 19, 0);
    fill(frame, b - 1, b - 1, 9, 19, 0);
    fill(frame, b + w + 1, b + w + 1, 9, 19, 0);
    fill(frame, b - 1, b + w + 1, 8, 8, 0);
    fill(frame, b - 1, b + w + 1, 20, 20, 0);
}

// The label of `name` left of cursor x when it fits (its left margin at column 0 or
// more); returns the cursor for the next label: x less the label's w + 3 columns, or
// x unchanged when it did not fit.
int ts2_place_label(LcdBitmap* frame, int x, const char* name) {
    const int w = draw_text(frame, TEXT_MEASURE, 0, 0, name);
    if (x - w - 1 < 0)
        return x;
    ts2_draw_label(frame, x, w, name);
    return x - (w + 3);
}

// The server count (small, top right), the players in the user's channel (large,
// right) and the microphone picture at (x + 1, y + 7). The counts show only above 1,
// the channel's only while the server's does.
void ts2_draw_voice(LcdBitmap* frame, int x, int y, int32_t servers, int32_t here, int mic) {
    if (servers > 1) {
        char text[16];
        snprintf(text, sizeof text, "%d", static_cast<int>(servers));
        int w = draw_text(frame, TEXT_MEASURE, 0, 0, text);
        draw_text(frame, 0, w == 0 ? x + 1 : x + 1 + (37 - w), y + 1, text);
        if (here > 1) {
            snprintf(text, sizeof text, "%d", static_cast<int>(here));
            w = draw_text(frame, TEXT_LARGE | TEXT_MEASURE, 0, 0, text);
            draw_text(frame, TEXT_LARGE, w == 0 ? x + 1 : x + 1 + (37 - w), y + 10, text);
        }
    }
    const char* picture = mic == TS2_MIC_SPEAKING ? kMicSpeaking
                          : mic == TS2_MIC_HOLLOW ? kMicHollow
                                                  : kMicFilled;
    draw_picture(frame, 0, x + 1, y + 7, 13, 14, picture);
}

// Speakers in list order from the right edge; the user's own id only sets the result;
// an id repeated in the list or matching no player draws nothing; a label wider than
// the room left is skipped and a later narrower one may still fit.
int32_t ts2_draw_labels(const Ts2Snapshot* cur, LcdBitmap* frame) {
    int x = LCD_WIDTH;
    return ts2_draw_labels_from(cur, frame, &x);
}

int32_t ts2_draw_labels_from(const Ts2Snapshot* cur, LcdBitmap* frame, int* cursor) {
    const int32_t own = ts2_own_id(cur);
    const int32_t count = ts2_speaker_count(cur);
    const int32_t players = ts2_player_count(cur);
    int32_t speaking = 0;
    int x = *cursor;
    for (int32_t k = 0; k < count; ++k) {
        const int32_t id = ts2_field(cur->bytes, TS2_SPEAKERS + 4 * k);
        bool repeated = false;
        for (int32_t j = 0; j < k && !repeated; ++j)
            repeated = ts2_field(cur->bytes, TS2_SPEAKERS + 4 * j) == id;
        if (repeated)
            continue;
        if (id == own) {
            speaking = 1;
            continue;
        }
        for (int32_t i = 0; i < players; ++i) {
            const uint8_t* p = ts2_player(cur, i);
            if (ts2_field(p, kPlayerId) != id)
                continue;
            char name[TS2_LABEL_CHARS + 1];
            nick(p, name, sizeof name);
            x = ts2_place_label(frame, x, name);
            break;
        }
    }
    *cursor = x;
    return speaking;
}

// ---------------------------------------------------------------- poller

void ts2_poller_release(Ts2Poller* p) {
    if (p->refs.fetch_sub(1) != 1)
        return;
    const Ts2Host* h = p->host;
    if (p->lock)
        h->lock_close(h->ctx, p->lock);
    h->wake_close(h->ctx, p);
    delete p;
}

void ts2_poller_run(Ts2Poller* p) {
    const Ts2Host* h = p->host;
    while (!stopped(p)) {
        if (h->look_wait && p->frame_looks.load() && !p->frame_saw.load()) {
            // The frame loop looks in every frame and wakes the poller when it sees the
            // window appear or stops looking; the second's bound is only for the stop
            // flag's sake.
            h->look_wait(h->ctx, p, 1000);
            continue;
        }
        // A look of its own before the library: when the frame loop saw the window, it
        // confirms a look that may be up to a frame old (the client may just have quit).
        if (!h->client_present(h->ctx, nullptr)) {
            // Only a stop can come now (no library, so no microphone press): a nap
            // that a wake does not cut short, then the stop flag.
            if (h->nap)
                h->nap(h->ctx, 100);
            else
                h->sleep(h->ctx, p, 100);
            continue;
        }
        h->sleep(h->ctx, p, 900);
        if (stopped(p))
            break;
        p->poll_stamp.store(h->now(h->ctx));
        if (!h->client_load(h->ctx, p)) {
            p->no_library.store(1);
            continue;
        }
        p->link_state.store(-1);
        p->no_library.store(0);
        p->library_loaded.store(1);
        bool failed = false;
        do {
            h->sleep(
                h->ctx, p,
                ts2_poll_pause(h->now(h->ctx), p->frame_deadline->load(), p->poll_stamp.load()));
        } while (!stopped(p) && poll_round(p, &failed));
        h->client_unload(h->ctx, p);
        p->library_loaded.store(0);
        p->link_state.store(-1);
    }
    p->finished.store(1);
    ts2_poller_release(p);
}

int32_t ts2_link_state(const Ts2Module* m) {
    return m->poller ? m->poller->link_state.load() : -1;
}
int32_t ts2_library_loaded(const Ts2Module* m) {
    return m->poller ? m->poller->library_loaded.load() : 0;
}
int32_t ts2_no_library(const Ts2Module* m) {
    return m->poller ? m->poller->no_library.load() : 0;
}
int32_t ts2_left_behind(const Ts2Module* m) {
    int32_t n = 0;
    for (const Ts2Poller* p : m->left_behind)
        n += p ? 1 : 0;
    return n;
}

// ---------------------------------------------------------------- module

void mod_ts2_init(App* app) {
    Ts2Module* m = &app->ts2;
    m->tag = kTs2Tag;
    if (!m->host)
        m->host = ts2_system_host();
    const Ts2Host* h = m->host;
    m->speaking = 0;
    m->window = WindowWatch{nullptr, 0};
    m->present = 0;
    m->present_known = 0;
    m->taken_known = 0;
    m->poller = nullptr;
    for (Ts2Poller*& slot : m->left_behind)
        slot = nullptr;
    m->channel_text[0] = '\0';
    memset(m->shared.bytes, 0, TS2_SNAPSHOT_BYTES);
    memset(m->previous.bytes, 0, TS2_SNAPSHOT_BYTES);
    m->lowest = app->cpu.processors >= 2 ? 1 : 0;
    m->lock = h->lock_create(h->ctx);
    start_poller(app);
}

void mod_ts2_update(App* app) {
    Ts2Module* m = &app->ts2;
    const Ts2Host* h = m->host;
    m->channel_text[0] = '\0';
    m->speaking = 0;
    m->label_columns = 0;
    // Looked up once a frame: the draws of this frame go by the same answer.
    m->present = h && h->client_present(h->ctx, &m->window) ? 1 : 0;
    m->present_known = 1;
    m->present_tick = app->frame.now;
    Ts2Poller* p = m->poller;
    if (p && h->look_wake) {
        // The poller goes by this look: a window that appears wakes it in this frame,
        // as its own look every 100 ms would have seen it.
        const int32_t saw = p->frame_saw.exchange(m->present);
        if (!p->frame_looks.load())
            p->frame_looks.store(1);
        if (m->present && !saw)
            h->look_wake(h->ctx, p);
    }
    if (!m->present)
        return;
    const uint32_t now = h->now(h->ctx);
    if (!p) {
        // A poller that could not be started is tried again every 4 s; while the
        // watchdog's limit of pollers left in the library is reached, none is
        // started until one of them comes back.
        if (sweep_left_behind(m) < TS2_MAX_LEFT_BEHIND &&
            earlier(m->start_stamp + kWatchdogMs, now))
            start_poller(app);
        return;
    }
    if (!p->library_loaded.load())
        return;
    if (earlier(p->poll_stamp.load() + kWatchdogMs, now)) {
        h->log(h->ctx, 1067, "TS2 thread timeout -- restarting");
        restart_poller(app);
        return;
    }
    const int32_t link = p->link_state.load();
    if (link == -1)
        return;
    if (link == 0) {
        if (m->previous.bytes[TS2_SERVER] != 0) {
            post_notice(&app->notices, app->frame.now, NOTICE_UNKEYED, 0, "TS2: Disconnected");
            memset(m->previous.bytes, 0, TS2_SNAPSHOT_BYTES);
        }
        return;
    }
    if (!h->lock_take(h->ctx, m->lock, kFrameLockMs)) {
        h->log(h->ctx, 1086, "TS2 mutex timed out");
        return;
    }
    ts2_post_changes(&m->previous, &m->shared, &app->notices, app->frame.now);
    ts2_channel_text(&m->shared, m->channel_text);
    int left = LCD_WIDTH;
    m->speaking = ts2_draw_labels_from(&m->shared, app_frame(app), &left);
    m->label_columns = LCD_WIDTH - left;
    memcpy(m->previous.bytes, m->shared.bytes, TS2_SPEAKER_COUNT);
    h->lock_release(h->ctx, m->lock);
    m->taken_known = 1;
    m->taken_tick = app->frame.now;
}

int mod_ts2_draw(App* app, int slot) {
    Ts2Module* m = &app->ts2;
    const Ts2Host* h = m->host;
    if (!h)
        return 0;
    // The update of this frame looked already; a draw without one looks itself.
    const bool looked = m->present_known && m->present_tick == app->frame.now;
    if (!(looked ? m->present != 0 : h->client_present(h->ctx, &m->window)))
        return 0;
    Slot* s = &app->slots[slot];
    LcdBitmap* frame = app_frame(app);
    const int x = s->x;
    const int y = s->y;
    slot_draw_frame(frame, s, kTs2Tag);
    if (!ts2_library_loaded(m)) {
        if (ts2_no_library(m))
            draw_text(frame, 0, x + 6, y + 14, "NO DLL");
        else
            draw_text(frame, 0, x + 18, y + 14, "WAIT");
        return 1;
    }
    if (ts2_link_state(m) != 1)
        return 1;
    // What the draw reads (server and user records) the update of this frame copied
    // into `previous` under the lock: read there, without the lock. A draw without
    // such an update reads the shared snapshot under the lock.
    const bool taken = m->taken_known && m->taken_tick == app->frame.now;
    const Ts2Snapshot* snap = taken ? &m->previous : &m->shared;
    if (!taken && !h->lock_take(h->ctx, m->lock, kFrameLockMs))
        return 1;
    if (s->button == 2) {
        s->button = 0;
        if (m->channel_text[0] != '\0')
            post_notice(&app->notices, app->frame.now, kKeyChannelList, 1000, "%s",
                        m->channel_text);
    }
    if (s->button == 1) {
        s->button = 0;
        m->poller->mute_request.fetch_add(1);
        h->wake(h->ctx, m->poller); // acted on now, not at the next frame's poll
    }
    ts2_draw_voice(frame, x, y, ts2_server_count(snap), ts2_channel_players(snap),
                   m->speaking                            ? TS2_MIC_SPEAKING
                   : (ts2_own_flags(snap) & TS2_FLAG_MIC) ? TS2_MIC_HOLLOW
                                                          : TS2_MIC_FILLED);
    if (!taken)
        h->lock_release(h->ctx, m->lock);
    return 1;
}

void mod_ts2_frames_paused(App* app) {
    Ts2Module* m = &app->ts2;
    const Ts2Host* h = m->host;
    Ts2Poller* p = m->poller;
    if (!p || !h || !h->look_wake || !p->frame_looks.load())
        return;
    p->frame_looks.store(0);
    h->look_wake(h->ctx, p);
}

void mod_ts2_teardown(App* app) {
    Ts2Module* m = &app->ts2;
    const Ts2Host* h = m->host;
    if (!h)
        return;
    abandon_poller(m, kStopWaitMs, false);
    for (Ts2Poller*& slot : m->left_behind) {
        if (slot)
            ts2_poller_release(slot); // its thread holds its own reference
        slot = nullptr;
    }
    if (m->lock) {
        h->lock_close(h->ctx, m->lock);
        m->lock = nullptr;
    }
}
