// TeamSpeak 3 ClientQuery lines: splitting received bytes into lines, the escapes of
// values, key=value fields of list entries, and the snapshot rules that read answers
// and events. Outside data throughout: every read is bounded by the line's end.
#include <cstring>

#include "modules/mod_ts3.h"

namespace {

bool is_end(char c) {
    return c == '\n' || c == '\r';
}

void convert(const Ts3Text* t, char* text, size_t cap) {
    if (t && t->to_ansi)
        t->to_ansi(t->ctx, text, cap);
}

// The word of a key=value list: `key` followed by '=' or by the word's end.
const char* find_key(const char* from, const char* end, const char* key, const char** vend) {
    const size_t k = strlen(key);
    const char* p = from;
    while (p < end) {
        while (p < end && *p == ' ')
            ++p;
        const char* w = p;
        while (p < end && *p != ' ')
            ++p;
        const size_t n = static_cast<size_t>(p - w);
        if (n >= k && memcmp(w, key, k) == 0 && (n == k || w[k] == '=')) {
            *vend = p;
            return n == k ? p : w + k + 1;
        }
    }
    return nullptr;
}

int32_t field_or(const char* from, const char* end, const char* key, int32_t def) {
    int32_t v = def;
    return ts3_field_int(from, end, key, &v) ? v : def;
}

bool starts(const char* line, const char* word) {
    const size_t n = strlen(word);
    return strncmp(line, word, n) == 0 && (line[n] == ' ' || line[n] == '\0');
}

void remove_speaker(Ts3Snapshot* s, int32_t clid) {
    int32_t k = 0;
    for (int32_t i = 0; i < s->speakers; ++i)
        if (s->speaker_ids[i] != clid)
            s->speaker_ids[k++] = s->speaker_ids[i];
    s->speakers = k;
}

Ts3Client* find_mut(Ts3Snapshot* s, int32_t clid) {
    return const_cast<Ts3Client*>(ts3_find(s, clid));
}

// The fields an entry or event gives about one client; those missing stay.
void read_client(Ts3Client* c, const char* from, const char* end, const Ts3Text* t) {
    if (ts3_field(from, end, "client_nickname", c->nick, sizeof c->nick))
        convert(t, c->nick, sizeof c->nick);
    int32_t v = 0;
    if (ts3_field_int(from, end, "client_input_muted", &v))
        c->input_muted = v != 0;
    if (ts3_field_int(from, end, "client_output_muted", &v))
        c->output_muted = v != 0;
    if (ts3_field_int(from, end, "client_flag_talking", &v))
        c->talking = v != 0;
}

void remove_client(Ts3Snapshot* s, int32_t clid) {
    int32_t k = 0;
    for (int32_t i = 0; i < s->count; ++i)
        if (s->clients[i].clid != clid)
            s->clients[k++] = s->clients[i];
    s->count = k;
    remove_speaker(s, clid);
}

} // namespace

// ---------------------------------------------------------------- lines

char* ts3_line_tail(Ts3LineBuf* b, size_t* room) {
    if (b->len >= sizeof b->data) {
        // A line longer than the buffer: dropped up to its end.
        b->len = 0;
        b->skipping = 1;
    }
    *room = sizeof b->data - b->len;
    return b->data + b->len;
}

void ts3_line_added(Ts3LineBuf* b, size_t n) {
    const size_t room = sizeof b->data - b->len;
    b->len += n < room ? n : room;
}

// "TS3 Client\n\rWelcome\n\r" -> "TS3 Client", then "Welcome"; "a\r\nb\n" -> "a", "b";
// "abc" (no end yet) -> none, until its end arrives.
bool ts3_line_next(Ts3LineBuf* b, char* out, size_t cap) {
    for (;;) {
        size_t start = 0;
        while (start < b->len && is_end(b->data[start]))
            ++start;
        if (start > 0) {
            // Ends of a line that was being skipped close it.
            if (b->skipping)
                b->skipping = 0;
            memmove(b->data, b->data + start, b->len - start);
            b->len -= start;
        }
        size_t e = 0;
        while (e < b->len && !is_end(b->data[e]))
            ++e;
        if (e == b->len)
            return false;
        const bool skip = b->skipping != 0;
        b->skipping = 0;
        if (!skip && cap > 0) {
            const size_t n = e < cap - 1 ? e : cap - 1;
            memcpy(out, b->data, n);
            out[n] = '\0';
        }
        memmove(b->data, b->data + e, b->len - e);
        b->len -= e;
        if (!skip && cap > 0)
            return true;
    }
}

// ---------------------------------------------------------------- values

// "Lobby\sNo\p1" -> "Lobby No|1"; "a\/b\\c" -> "a/b\c"; "x\ty" (a tab, not an escape)
// stays; "\q" -> "q"; a lone "\" at the end is dropped.
size_t ts3_unescape(const char* in, size_t n, char* out, size_t cap) {
    if (cap == 0)
        return 0;
    size_t k = 0;
    for (size_t i = 0; i < n && k + 1 < cap; ++i) {
        char c = in[i];
        if (c == '\\') {
            if (++i >= n)
                break;
            switch (in[i]) {
            case 's':
                c = ' ';
                break;
            case 'p':
                c = '|';
                break;
            case 'a':
                c = '\a';
                break;
            case 'b':
                c = '\b';
                break;
            case 'f':
                c = '\f';
                break;
            case 'n':
                c = '\n';
                break;
            case 'r':
                c = '\r';
                break;
            case 't':
                c = '\t';
                break;
            case 'v':
                c = '\v';
                break;
            default:
                c = in[i];
                break; // "\\" and "\/" too
            }
        }
        out[k++] = c;
    }
    out[k] = '\0';
    return k;
}

// "a b|c/d\e" -> "a\sb\pc\/d\\e"; a text whose escapes would pass cap - 1 stops
// before the character that does not fit.
size_t ts3_escape(const char* in, char* out, size_t cap) {
    if (cap == 0)
        return 0;
    size_t k = 0;
    for (const char* p = in; *p; ++p) {
        char e = 0;
        switch (*p) {
        case '\\':
            e = '\\';
            break;
        case '/':
            e = '/';
            break;
        case ' ':
            e = 's';
            break;
        case '|':
            e = 'p';
            break;
        case '\a':
            e = 'a';
            break;
        case '\b':
            e = 'b';
            break;
        case '\f':
            e = 'f';
            break;
        case '\n':
            e = 'n';
            break;
        case '\r':
            e = 'r';
            break;
        case '\t':
            e = 't';
            break;
        case '\v':
            e = 'v';
            break;
        default:
            break;
        }
        const size_t need = e ? 2 : 1;
        if (k + need + 1 > cap)
            break;
        if (e) {
            out[k++] = '\\';
            out[k++] = e;
        } else {
            out[k++] = *p;
        }
    }
    out[k] = '\0';
    return k;
}

// ---------------------------------------------------------------- fields

const char* ts3_entry_end(const char* from, const char* end) {
    const char* p = from;
    while (p < end && *p != '|')
        ++p;
    return p;
}

// In "clid=5 client_nickname=ann\sb client_away": clid -> "5", client_nickname ->
// "ann b", client_away -> "", cid -> missing; "clid" does not match "clid_x=1".
bool ts3_field(const char* from, const char* end, const char* key, char* out, size_t cap) {
    const char* vend = nullptr;
    const char* v = find_key(from, end, key, &vend);
    if (!v)
        return false;
    ts3_unescape(v, static_cast<size_t>(vend - v), out, cap);
    return true;
}

// "clid=42" -> 42; "clid=-3" -> -3; "clid=" / "clid=4x" / "clid=99999999999" -> false.
bool ts3_field_int(const char* from, const char* end, const char* key, int32_t* v) {
    char text[16];
    const char* vend = nullptr;
    const char* p = find_key(from, end, key, &vend);
    if (!p || vend - p <= 0 || vend - p >= static_cast<long>(sizeof text))
        return false;
    memcpy(text, p, static_cast<size_t>(vend - p));
    text[vend - p] = '\0';
    const char* q = text;
    const bool neg = *q == '-';
    if (neg)
        ++q;
    if (*q == '\0')
        return false;
    int64_t n = 0;
    for (; *q; ++q) {
        if (*q < '0' || *q > '9')
            return false;
        n = n * 10 + (*q - '0');
        if (n > 2147483648LL)
            return false;
    }
    if (neg)
        n = -n;
    if (n > INT32_MAX || n < INT32_MIN)
        return false;
    *v = static_cast<int32_t>(n);
    return true;
}

// "error id=0 msg=ok" -> 0; "error id=1796 msg=..." -> 1796; "clid=1" -> -1;
// "error msg=x" (no id) -> -1.
int32_t ts3_error_id(const char* line) {
    if (!starts(line, "error"))
        return -1;
    int32_t id = -1;
    const char* end = line + strlen(line);
    if (!ts3_field_int(line, end, "id", &id) || id < 0)
        return -1;
    return id;
}

bool ts3_is_event(const char* line) {
    return strncmp(line, "notify", 6) == 0;
}

// ---------------------------------------------------------------- snapshot rules

const Ts3Client* ts3_find(const Ts3Snapshot* s, int32_t clid) {
    for (int32_t i = 0; i < s->count && i < TS3_MAX_CLIENTS; ++i)
        if (s->clients[i].clid == clid)
            return &s->clients[i];
    return nullptr;
}

// Speakers 4, 2: 7 begins -> 4, 2, 7; 2 stops -> 4, 7; a ninth begins -> not listed.
void ts3_set_talking(Ts3Snapshot* s, int32_t clid, int32_t talking) {
    if (Ts3Client* c = find_mut(s, clid))
        c->talking = talking != 0;
    bool listed = false;
    for (int32_t i = 0; i < s->speakers; ++i)
        listed = listed || s->speaker_ids[i] == clid;
    if (!talking)
        remove_speaker(s, clid);
    else if (!listed && s->speakers < TS3_MAX_SPEAKERS)
        s->speaker_ids[s->speakers++] = clid;
}

void ts3_apply_clientlist(Ts3Snapshot* s, const char* line, const Ts3Text* t) {
    const char* end = line + strlen(line);
    int32_t n = 0;
    for (const char* p = line; p < end && n < TS3_MAX_CLIENTS;) {
        const char* e = ts3_entry_end(p, end);
        int32_t clid = 0;
        if (ts3_field_int(p, e, "clid", &clid)) {
            Ts3Client c{};
            c.clid = clid;
            c.cid = field_or(p, e, "cid", 0);
            read_client(&c, p, e, t);
            s->clients[n++] = c;
        }
        p = e < end ? e + 1 : e;
    }
    s->count = n;
    // Speakers who still talk keep their order; new talkers follow.
    int32_t k = 0;
    for (int32_t i = 0; i < s->speakers; ++i) {
        const Ts3Client* c = ts3_find(s, s->speaker_ids[i]);
        if (c && c->talking)
            s->speaker_ids[k++] = s->speaker_ids[i];
    }
    s->speakers = k;
    for (int32_t i = 0; i < n; ++i)
        if (s->clients[i].talking)
            ts3_set_talking(s, s->clients[i].clid, 1);
}

bool ts3_apply_event(Ts3Snapshot* s, const char* line, int32_t schandler, const Ts3Text* t,
                     bool* refresh) {
    const char* end = line + strlen(line);
    int32_t handler = 0;
    if (starts(line, "notifycurrentserverconnectionchanged")) {
        *refresh = true;
        return false;
    }
    if (ts3_field_int(line, end, "schandlerid", &handler) && schandler > 0 && handler != schandler)
        return false; // another server tab
    int32_t clid = 0;
    const bool has_clid = ts3_field_int(line, end, "clid", &clid);
    if (starts(line, "notifytalkstatuschange") && has_clid) {
        ts3_set_talking(s, clid, field_or(line, end, "status", 0));
        return true;
    }
    if (starts(line, "notifycliententerview")) {
        // One event may list several clients.
        bool changed = false;
        for (const char* p = line; p < end;) {
            const char* e = ts3_entry_end(p, end);
            int32_t id = 0;
            if (ts3_field_int(p, e, "clid", &id)) {
                Ts3Client* c = find_mut(s, id);
                if (!c && s->count < TS3_MAX_CLIENTS) {
                    c = &s->clients[s->count++];
                    *c = Ts3Client{};
                    c->clid = id;
                }
                if (c) {
                    c->cid = field_or(p, e, "ctid", c->cid);
                    read_client(c, p, e, t);
                    changed = true;
                }
            }
            p = e < end ? e + 1 : e;
        }
        return changed;
    }
    if (starts(line, "notifyclientleftview") && has_clid) {
        if (clid == s->own_id) {
            *refresh = true;
            return false;
        }
        const bool known = ts3_find(s, clid) != nullptr;
        remove_client(s, clid);
        return known;
    }
    if (starts(line, "notifyclientmoved") && has_clid) {
        const int32_t to = field_or(line, end, "ctid", 0);
        if (Ts3Client* c = find_mut(s, clid))
            c->cid = to;
        if (clid == s->own_id) {
            s->own_channel = to;
            *refresh = true; // the channel's name
        }
        return true;
    }
    if (starts(line, "notifyclientupdated") && has_clid) {
        Ts3Client* c = find_mut(s, clid);
        if (!c)
            return false;
        read_client(c, line, end, t);
        return true;
    }
    if (starts(line, "notifyconnectstatuschange")) {
        char status[32];
        if (!ts3_field(line, end, "status", status, sizeof status))
            return false;
        if (strcmp(status, "disconnected") == 0) {
            s->link = TS3_NO_SERVER;
            s->count = 0;
            s->speakers = 0;
            s->server[0] = '\0';
            s->channel[0] = '\0';
            return true;
        }
        if (strcmp(status, "connection_established") == 0)
            *refresh = true;
        return false;
    }
    return false;
}

int32_t ts3_channel_count(const Ts3Snapshot* s) {
    int32_t n = 0;
    for (int32_t i = 0; i < s->count && i < TS3_MAX_CLIENTS; ++i)
        n += s->clients[i].cid == s->own_channel;
    return n;
}

bool ts3_own_talking(const Ts3Snapshot* s) {
    const Ts3Client* c = ts3_find(s, s->own_id);
    return c && c->talking;
}

bool ts3_own_muted(const Ts3Snapshot* s) {
    const Ts3Client* c = ts3_find(s, s->own_id);
    return c && c->input_muted;
}

// last 0 -> due; last 1000: now 2999 -> not due, now 3000 -> due; across the wrap too.
bool ts3_refresh_due(uint32_t now, uint32_t last) {
    return last == 0 || now - last >= TS3_RETRY_MS;
}

uint32_t ts3_quiet_wait(uint32_t now, uint32_t last) {
    if (last == 0 || now - last >= TS3_RETRY_MS)
        return 1;
    const uint32_t left = TS3_RETRY_MS - (now - last);
    return left < TS3_QUIET_MS ? left : TS3_QUIET_MS;
}
