// TeamSpeak 3 module "TS3": frame-loop side (update, draw, watchdog), the reader's
// loop over one ClientQuery connection, and the rules that turn snapshots into
// notices, the channel list and labels. The system is reached only through Ts3Host.
#include "modules/mod_ts3.h"

#include <cstdio>
#include <cstring>
#include <new>

#include "core/app.h"
#include "draw/draw.h"
#include "draw/notice.h"
#include "screen/slots.h"
#include "services/settings.h"
#include "services/util.h"

namespace {

const char kTs3Tag[] = "TS3";

// Notice keys of this module.
constexpr int kKeyServer = 11;
constexpr int kKeyChannel = 12;
constexpr int kKeyConnected = 13;
constexpr int kKeyDropped = 14;
constexpr int kKeyChannelList = 15;

constexpr uint32_t kReaderLockMs = 50;
constexpr uint32_t kFrameLockMs = 100;
constexpr uint32_t kWatchdogMs = 4000;
constexpr uint32_t kConnectMs = 1000;
constexpr uint32_t kGreetingMs = 3000;
constexpr uint32_t kAnswerMs = 1500; // each answer, from its command
constexpr uint32_t kSendMs = 1000;
constexpr uint32_t kSliceMs = 100; // the longest single wait of the reader
constexpr uint32_t kStopWaitMs = 500;
constexpr uint32_t kKeyNoticeMs = 5000;

bool earlier(uint32_t a, uint32_t b) {
    return static_cast<int32_t>(a - b) < 0;
}

bool stopped(const Ts3Reader* r) {
    return r->stop.load() != 0;
}

void clear_snapshot(Ts3Snapshot* s, int32_t link) {
    memset(s, 0, sizeof *s);
    s->link = link;
}

// ---------------------------------------------------------------- reader

// The local snapshot into `shared`, counted, under the lock (tried 50 ms); false
// when the lock was not granted (the reader tries again on its next pass).
// Nothing is stored while nothing changed (`shared` is written only by this thread).
bool publish(Ts3Reader* r) {
    const Ts3Host* h = r->host;
    if (memcmp(&r->local, &r->shared, sizeof r->local) == 0)
        return true;
    if (!h->lock_take(h->ctx, r->lock, kReaderLockMs))
        return false;
    memcpy(&r->shared, &r->local, sizeof r->shared);
    r->stores.fetch_add(1);
    h->lock_release(h->ctx, r->lock);
    return true;
}

// Waits up to ms for more bytes (in slices, the stamp moved after each); false when
// the connection closed or the reader was stopped.
bool receive(Ts3Reader* r, uint32_t ms) {
    const Ts3Host* h = r->host;
    size_t room = 0;
    char* tail = ts3_line_tail(&r->in, &room);
    // A reader that can be woken waits longer: the stop and a press end its wait.
    const uint32_t cap = h->wake ? TS3_QUIET_MS : kSliceMs;
    const int n = h->recv(h->ctx, r, tail, room, ms < cap ? ms : cap);
    r->stamp.store(h->now(h->ctx));
    if (n < 0 || stopped(r))
        return false;
    if (n > 0)
        ts3_line_added(&r->in, static_cast<size_t>(n));
    return true;
}

struct Session {
    bool refresh = true; // a full refresh is due at once
    bool dirty = false;  // the local snapshot changed since it was stored
    uint32_t last_refresh = 0;
    int32_t use = 0; // the server tab the user switched to, to select (0 none)
};

void take_event(Ts3Reader* r, Session* s, const char* line) {
    const Ts3Text t{r->host->to_ansi, r->host->ctx};
    bool refresh = false;
    int32_t tab = 0;
    if (strncmp(line, "notifycurrentserverconnectionchanged", 36) == 0 &&
        ts3_field_int(line, line + strlen(line), "schandlerid", &tab) && tab > 0 &&
        tab != r->schandler)
        s->use = tab; // the query follows the tab shown
    if (ts3_apply_event(&r->local, line, r->schandler, &t, &refresh))
        s->dirty = true;
    if (refresh)
        s->refresh = true;
}

// Sends one command and reads its answer up to its "error" line: the last data line
// into `data` (empty when none), events on the way are applied. *error = the error id.
// False when the answer did not come within kAnswerMs or the connection ended.
bool command(Ts3Reader* r, Session* s, const char* text, int32_t* error, char* data) {
    const Ts3Host* h = r->host;
    char out[TS3_APIKEY * 2 + 64];
    const int n = snprintf(out, sizeof out, "%s\n", text);
    if (n <= 0 || n >= static_cast<int>(sizeof out))
        return false;
    if (!h->send(h->ctx, r, out, static_cast<size_t>(n), kSendMs))
        return false;
    data[0] = '\0';
    const uint32_t start = h->now(h->ctx);
    for (;;) {
        while (ts3_line_next(&r->in, r->line, sizeof r->line)) {
            if (ts3_is_event(r->line)) {
                take_event(r, s, r->line);
                continue;
            }
            const int32_t id = ts3_error_id(r->line);
            if (id >= 0) {
                *error = id;
                return true;
            }
            memcpy(data, r->line, strlen(r->line) + 1);
        }
        const uint32_t spent = h->now(h->ctx) - start;
        if (spent >= kAnswerMs || !receive(r, kAnswerMs - spent))
            return false;
    }
}

// The greeting up to its "selected schandlerid=N" line, within kGreetingMs.
bool greeting(Ts3Reader* r) {
    const Ts3Host* h = r->host;
    const uint32_t start = h->now(h->ctx);
    bool client = false;
    for (;;) {
        while (ts3_line_next(&r->in, r->line, sizeof r->line)) {
            if (strncmp(r->line, "TS3 Client", 10) == 0)
                client = true;
            else if (!client)
                return false; // not a ClientQuery port
            else if (strncmp(r->line, "selected", 8) == 0) {
                const char* end = r->line + strlen(r->line);
                int32_t id = 0;
                r->schandler = ts3_field_int(r->line, end, "schandlerid", &id) ? id : 0;
                return true;
            }
        }
        const uint32_t spent = h->now(h->ctx) - start;
        if (spent >= kGreetingMs || !receive(r, kGreetingMs - spent))
            return false;
    }
}

// Server name, own client and channel, channel name and the client list; a client on
// no server answers "whoami" with an error. False when an answer did not come.
bool refresh(Ts3Reader* r, Session* s, char* data) {
    const Ts3Text t{r->host->to_ansi, r->host->ctx};
    Ts3Snapshot* l = &r->local;
    int32_t err = 0;
    if (!command(r, s, "whoami", &err, data))
        return false;
    const char* end = data + strlen(data);
    int32_t clid = 0, cid = 0;
    if (err != 0 || !ts3_field_int(data, end, "clid", &clid) ||
        !ts3_field_int(data, end, "cid", &cid)) {
        const uint32_t connection = l->connection;
        clear_snapshot(l, TS3_NO_SERVER);
        l->connection = connection;
        s->dirty = true;
        return true;
    }
    l->own_id = clid;
    l->own_channel = cid;
    if (!command(r, s, "servervariable virtualserver_name", &err, data))
        return false;
    if (err == 0 &&
        ts3_field(data, data + strlen(data), "virtualserver_name", l->server, sizeof l->server))
        t.to_ansi(t.ctx, l->server, sizeof l->server);
    char cmd[64];
    snprintf(cmd, sizeof cmd, "channelvariable cid=%d channel_name", static_cast<int>(cid));
    if (!command(r, s, cmd, &err, data))
        return false;
    if (err == 0 &&
        ts3_field(data, data + strlen(data), "channel_name", l->channel, sizeof l->channel))
        t.to_ansi(t.ctx, l->channel, sizeof l->channel);
    if (!command(r, s, "clientlist -voice", &err, data))
        return false;
    if (err == 0)
        ts3_apply_clientlist(l, data, &t);
    l->link = TS3_CONNECTED;
    s->dirty = true;
    return true;
}

// Flips the own microphone once for all presses seen; false when the answer did not
// come (the presses stay pending for the next connection).
bool flip_microphone(Ts3Reader* r, Session* s, char* data) {
    const int32_t want = r->mute_request.load();
    if (want == 0 || r->local.link != TS3_CONNECTED)
        return true;
    const bool muted = ts3_own_muted(&r->local);
    int32_t err = 0;
    if (!command(r, s,
                 muted ? "clientupdate client_input_muted=0" : "clientupdate client_input_muted=1",
                 &err, data))
        return false;
    r->mute_request.fetch_sub(want); // presses made during the call stay pending
    if (err == 0) {
        for (int32_t i = 0; i < r->local.count; ++i)
            if (r->local.clients[i].clid == r->local.own_id)
                r->local.clients[i].input_muted = muted ? 0 : 1;
        s->dirty = true;
    }
    return true;
}

// One connection, from the greeting until it ends or the reader is stopped.
void session(Ts3Reader* r, char* data) {
    const Ts3Host* h = r->host;
    Session s;
    if (!greeting(r))
        return;
    int32_t err = 0;
    // The key's answer is not judged: a client without keys does not know "auth". The
    // registration is refused while a client that wants a key has none that fits.
    if (r->apikey[0] != '\0') {
        char key[TS3_APIKEY * 2];
        ts3_escape(r->apikey, key, sizeof key);
        char cmd[TS3_APIKEY * 2 + 16];
        snprintf(cmd, sizeof cmd, "auth apikey=%s", key);
        if (!command(r, &s, cmd, &err, data))
            return;
    }
    if (!command(r, &s, "clientnotifyregister schandlerid=0 event=any", &err, data))
        return;
    const bool refused = err != 0;
    if (refused) {
        // Held until the client closes it: the key is read once, at start-up.
        r->local.link = TS3_NO_KEY;
        s.dirty = true;
        while (!stopped(r)) {
            if (s.dirty && publish(r))
                s.dirty = false;
            if (!receive(r, s.dirty ? kSliceMs : TS3_QUIET_MS))
                return;
            while (ts3_line_next(&r->in, r->line, sizeof r->line)) {
            }
        }
        return;
    }
    while (!stopped(r)) {
        const uint32_t now = h->now(h->ctx);
        if (s.use != 0) {
            char cmd[48];
            snprintf(cmd, sizeof cmd, "use schandlerid=%d", static_cast<int>(s.use));
            if (!command(r, &s, cmd, &err, data))
                return;
            if (err == 0)
                r->schandler = s.use;
            s.use = 0;
            s.refresh = true;
        }
        if (s.refresh || ts3_refresh_due(now, s.last_refresh)) {
            if (!refresh(r, &s, data))
                return;
            s.refresh = false;
            s.last_refresh = now ? now : 1;
        }
        if (!flip_microphone(r, &s, data))
            return;
        if (s.dirty && publish(r))
            s.dirty = false;
        // A snapshot the lock kept back is tried again in 100 ms; otherwise the wait
        // lasts until bytes come, a press, or the next refresh.
        if (!receive(r, s.dirty ? kSliceMs : ts3_quiet_wait(h->now(h->ctx), s.last_refresh)))
            return;
        while (ts3_line_next(&r->in, r->line, sizeof r->line))
            if (ts3_is_event(r->line))
                take_event(r, &s, r->line);
    }
}

// ---------------------------------------------------------------- module side

void start_reader(App* app) {
    Ts3Module* m = &app->ts3;
    const Ts3Host* h = m->host;
    const uint32_t now = h->now(h->ctx);
    m->start_stamp = 0;
    m->stores_taken = 0;
    m->key_told = 0;
    clear_snapshot(&m->current, TS3_NO_QUERY);
    m->channel_text[0] = '\0';
    Ts3Reader* r = new (std::nothrow) Ts3Reader();
    if (r) {
        r->host = h;
        r->left_behind = &m->left_behind;
        r->sock = -1;
        r->port = m->port;
        memcpy(r->apikey, m->apikey, sizeof r->apikey);
        r->refs.store(2);
        r->stamp.store(now);
        clear_snapshot(&r->local, TS3_NO_QUERY);
        clear_snapshot(&r->shared, TS3_NO_QUERY);
        r->lock = h->lock_create(h->ctx);
        if (r->lock && h->thread_start(h->ctx, r, m->lowest != 0)) {
            m->reader = r;
            return;
        }
        if (r->lock)
            h->lock_close(h->ctx, r->lock);
        delete r;
    }
    h->log(h->ctx, 1140, "TS3 thread could not be started");
    m->start_stamp = now ? now : 1;
}

// Lets go of the module's reader: asks it to stop, waits up to wait_ms and drops the
// module's reference. With `counted`, a reader that has not ended by then counts as
// left behind until it returns.
void abandon_reader(Ts3Module* m, uint32_t wait_ms, bool counted) {
    Ts3Reader* r = m->reader;
    if (!r)
        return;
    const Ts3Host* h = m->host;
    m->reader = nullptr;
    r->stop.store(1);
    h->thread_forget(h->ctx, r, wait_ms);
    if (counted) {
        int32_t running = 0;
        if (r->fate.compare_exchange_strong(running, 1))
            m->left_behind.fetch_add(1);
    }
    ts3_reader_release(r);
    clear_snapshot(&m->current, TS3_NO_QUERY);
}

} // namespace

// ---------------------------------------------------------------- rules

void ts3_post_changes(const Ts3Snapshot* prev, const Ts3Snapshot* cur, NoticeQueue* q,
                      uint32_t now) {
    if (!text_iequal(prev->server, cur->server))
        post_notice(q, now, kKeyServer, 0, "TS3: Server \"%s\"", cur->server);
    if (!text_iequal(prev->channel, cur->channel))
        post_notice(q, now, kKeyChannel, 0, "TS3: Channel \"%s\"", cur->channel);
    for (int32_t i = 0; i < cur->count && i < TS3_MAX_CLIENTS; ++i) {
        const Ts3Client* c = &cur->clients[i];
        if (c->clid != cur->own_id && !ts3_find(prev, c->clid))
            post_notice(q, now, kKeyConnected, 0, "TS3: \"%s\" connected", c->nick);
    }
    for (int32_t i = 0; i < prev->count && i < TS3_MAX_CLIENTS; ++i) {
        const Ts3Client* c = &prev->clients[i];
        if (!ts3_find(cur, c->clid))
            post_notice(q, now, kKeyDropped, 0, "TS3: \"%s\" dropped", c->nick);
    }
}

// Channel "Lobby" with ann, then bob (microphone or speakers muted), both in the own
// channel:  TS3: Channel "Lobby": ann, (bob)
// Clients of other channels add nothing; a name that would take the text past 510
// characters is left out, a later shorter one may still fit.
size_t ts3_channel_text(const Ts3Snapshot* cur, char out[TS3_CHANNEL_TEXT]) {
    int len = snprintf(out, TS3_CHANNEL_TEXT, "TS3: Channel \"%s\":", cur->channel);
    if (len < 0) {
        out[0] = '\0';
        return 0;
    }
    if (len > TS3_CHANNEL_TEXT - 1)
        len = TS3_CHANNEL_TEXT - 1;
    bool listed = false;
    for (int32_t i = 0; i < cur->count && i < TS3_MAX_CLIENTS; ++i) {
        const Ts3Client* c = &cur->clients[i];
        if (c->cid != cur->own_channel)
            continue;
        const int k = static_cast<int>(strnlen(c->nick, TS3_NICK - 1));
        if (len + k + 4 > TS3_CHANNEL_TEXT - 2)
            continue;
        const bool bracket = c->input_muted || c->output_muted;
        if (listed)
            out[len++] = ',';
        out[len++] = ' ';
        if (bracket)
            out[len++] = '(';
        memcpy(out + len, c->nick, static_cast<size_t>(k));
        len += k;
        if (bracket)
            out[len++] = ')';
        out[len] = '\0';
        listed = true;
    }
    return static_cast<size_t>(len);
}

// Speakers in the order they began, leftwards from x (160 alone; left of the TS2
// labels when those take the right end); the own client draws nothing here; a label
// wider than the room left is skipped and a later narrower one may still fit.
int ts3_draw_labels(const Ts3Snapshot* cur, LcdBitmap* frame, int x) {
    const int32_t n = cur->speakers < TS3_MAX_SPEAKERS ? cur->speakers : TS3_MAX_SPEAKERS;
    for (int32_t k = 0; k < n; ++k) {
        const int32_t id = cur->speaker_ids[k];
        if (id == cur->own_id)
            continue;
        const Ts3Client* c = ts3_find(cur, id);
        if (!c || !c->talking)
            continue;
        char name[TS3_NICK]; // at most 63 characters, as the TS2 labels
        const size_t len = strnlen(c->nick, TS3_NICK - 1);
        memcpy(name, c->nick, len);
        name[len] = '\0';
        x = ts2_place_label(frame, x, name);
    }
    return x;
}

// ---------------------------------------------------------------- reader thread

void ts3_reader_release(Ts3Reader* r) {
    if (r->refs.fetch_sub(1) != 1)
        return;
    const Ts3Host* h = r->host;
    if (r->lock)
        h->lock_close(h->ctx, r->lock);
    if (h->pause_close)
        h->pause_close(h->ctx, r);
    delete r;
}

void ts3_reader_run(Ts3Reader* r) {
    const Ts3Host* h = r->host;
    // The answers' data lines; on the heap with the record, not on the thread's stack.
    char* data = new (std::nothrow) char[TS3_LINE];
    while (data && !stopped(r)) {
        r->stamp.store(h->now(h->ctx));
        r->in.len = 0;
        r->in.skipping = 0;
        if (h->open(h->ctx, r, r->port, kConnectMs)) {
            const uint32_t connection = r->local.connection + 1;
            clear_snapshot(&r->local, TS3_NO_SERVER);
            r->local.connection = connection;
            session(r, data);
            h->close(h->ctx, r);
        }
        r->stamp.store(h->now(h->ctx));
        if (stopped(r))
            break;
        const uint32_t connection = r->local.connection;
        clear_snapshot(&r->local, TS3_NO_QUERY);
        r->local.connection = connection;
        publish(r);
        // Tried again every two seconds; the stamp moves before and after the pause
        // (or at every slice), well inside the watchdog's four seconds.
        if (h->pause) {
            h->pause(h->ctx, r, TS3_RETRY_MS);
            r->stamp.store(h->now(h->ctx));
        } else {
            for (uint32_t slept = 0; slept < TS3_RETRY_MS && !stopped(r); slept += kSliceMs) {
                h->sleep(h->ctx, kSliceMs);
                r->stamp.store(h->now(h->ctx));
            }
        }
    }
    delete[] data;
    int32_t abandoned = 1;
    if (!r->fate.compare_exchange_strong(abandoned, 2))
        r->fate.store(2);
    else
        r->left_behind->fetch_sub(1);
    ts3_reader_release(r);
}

// ---------------------------------------------------------------- module

void mod_ts3_init(App* app) {
    Ts3Module* m = &app->ts3;
    m->tag = kTs3Tag;
    if (!m->host)
        m->host = ts3_system_host();
    m->reader = nullptr;
    m->left_behind.store(0);
    m->channel_text[0] = '\0';
    clear_snapshot(&m->current, TS3_NO_QUERY);
    clear_snapshot(&m->previous, TS3_NO_QUERY);
    m->lowest = app->cpu.processors >= 2 ? 1 : 0;
    const int32_t port = settings_get_int(&app->settings, "ts3_port", TS3_DEFAULT_PORT);
    m->port = port > 0 && port < 65536 ? static_cast<uint16_t>(port) : TS3_DEFAULT_PORT;
    m->apikey[0] = '\0';
    if (const char* key = settings_get(&app->settings, "ts3_apikey"))
        snprintf(m->apikey, sizeof m->apikey, "%s", key);
    start_reader(app);
}

void mod_ts3_update(App* app) {
    Ts3Module* m = &app->ts3;
    const Ts3Host* h = m->host;
    if (!h)
        return;
    const uint32_t now = h->now(h->ctx);
    Ts3Reader* r = m->reader;
    if (!r) {
        m->channel_text[0] = '\0';
        // None while TS3_MAX_LEFT_BEHIND readers are still away; a reader that could
        // not be started is tried again every 4 s.
        if (m->left_behind.load() < TS3_MAX_LEFT_BEHIND &&
            (m->start_stamp == 0 || earlier(m->start_stamp + kWatchdogMs, now)))
            start_reader(app);
        return;
    }
    if (earlier(r->stamp.load() + kWatchdogMs, now)) {
        h->log(h->ctx, 1161, "TS3 thread timeout -- restarting");
        abandon_reader(m, 0, true);
        if (m->left_behind.load() < TS3_MAX_LEFT_BEHIND)
            start_reader(app);
        return;
    }
    // The lock is taken only when the reader stored something since the last look.
    m->fresh = 0;
    if (r->stores.load() != m->stores_taken) {
        if (!h->lock_take(h->ctx, r->lock, kFrameLockMs)) {
            h->log(h->ctx, 1172, "TS3 mutex timed out");
            return;
        }
        memcpy(&m->current, &r->shared, sizeof m->current);
        m->stores_taken = r->stores.load();
        h->lock_release(h->ctx, r->lock);
        m->fresh = 1;
    }
    Ts3Snapshot* cur = &m->current;
    if (cur->link == TS3_NO_KEY && m->key_told != cur->connection) {
        m->key_told = cur->connection;
        post_notice(&app->notices, app->frame.now, NOTICE_UNKEYED, kKeyNoticeMs,
                    "TS3: Set ts3_apikey (ClientQuery settings)");
    }
    if (cur->link == TS3_NO_SERVER && m->previous.server[0] != '\0') {
        post_notice(&app->notices, app->frame.now, NOTICE_UNKEYED, 0, "TS3: Disconnected");
        clear_snapshot(&m->previous, TS3_NO_QUERY);
    }
    if (cur->link != TS3_CONNECTED) {
        m->channel_text[0] = '\0';
        return;
    }
    // Notices and the channel list change only with a new snapshot; the labels are
    // drawn in every frame.
    if (m->fresh) {
        ts3_post_changes(&m->previous, cur, &app->notices, app->frame.now);
        ts3_channel_text(cur, m->channel_text);
        memcpy(&m->previous, cur, sizeof *cur);
    }
    ts3_draw_labels(cur, app_frame(app), LCD_WIDTH - app->ts2.label_columns);
}

int mod_ts3_draw(App* app, int slot) {
    Ts3Module* m = &app->ts3;
    const Ts3Host* h = m->host;
    if (!h)
        return 0;
    Slot* s = &app->slots[slot];
    LcdBitmap* frame = app_frame(app);
    const int x = s->x;
    const int y = s->y;
    if (!m->reader) {
        if (m->left_behind.load() < TS3_MAX_LEFT_BEHIND)
            return 0;
        slot_draw_frame(frame, s, kTs3Tag);
        draw_text(frame, 0, x + 18, y + 14, "WAIT");
        return 1;
    }
    const Ts3Snapshot* cur = &m->current;
    if (cur->link == TS3_NO_QUERY)
        return 0;
    slot_draw_frame(frame, s, kTs3Tag);
    if (cur->link == TS3_NO_KEY) {
        draw_text(frame, 0, x + 18, y + 14, "KEY");
        return 1;
    }
    if (cur->link != TS3_CONNECTED)
        return 1;
    if (s->button == 2) {
        s->button = 0;
        if (m->channel_text[0] != '\0')
            post_notice(&app->notices, app->frame.now, kKeyChannelList, 1000, "%s",
                        m->channel_text);
    }
    if (s->button == 1) {
        s->button = 0;
        m->reader->mute_request.fetch_add(1);
        if (m->host->wake)
            m->host->wake(m->host->ctx, m->reader); // acted on now, not after the wait
    }
    ts2_draw_voice(frame, x, y, cur->count, ts3_channel_count(cur),
                   ts3_own_talking(cur) ? TS2_MIC_SPEAKING
                   : ts3_own_muted(cur) ? TS2_MIC_HOLLOW
                                        : TS2_MIC_FILLED);
    return 1;
}

void mod_ts3_teardown(App* app) {
    Ts3Module* m = &app->ts3;
    if (!m->host)
        return;
    abandon_reader(m, kStopWaitMs, false);
}
