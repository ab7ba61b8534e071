// Network traffic meter: the collector, the panel and the "NET" module.
#include "meters/net.h"

#include <cstring>
#include <initializer_list>

#include "core/app.h"
#include "draw/draw.h"
#include "draw/notice.h"
#include "screen/slots.h"
#include "services/settings.h"
#include "services/util.h"

namespace {

const char kNetTag[] = "NET";

constexpr int kPanelX = 81;
constexpr int kPanelRight = 159;
constexpr int kFigureEnd = 100; // rate figures end at column 99
constexpr int kBarX = 100;

// Two black blocks with their corners cut, one behind each rate figure; 19 x 13.
const char kPanelPicture[] = " XXXXXXXXXXXXXXXXX "
                             "XXXXXXXXXXXXXXXXXXX"
                             "XXXXXXXXXXXXXXXXXXX"
                             "XXXXXXXXXXXXXXXXXXX"
                             "XXXXXXXXXXXXXXXXXXX"
                             "XXXXXXXXXXXXXXXXXXX"
                             " XXXXXXXXXXXXXXXXX "
                             "XXXXXXXXXXXXXXXXXXX"
                             "XXXXXXXXXXXXXXXXXXX"
                             "XXXXXXXXXXXXXXXXXXX"
                             "XXXXXXXXXXXXXXXXXXX"
                             "XXXXXXXXXXXXXXXXXXX"
                             " XXXXXXXXXXXXXXXXX ";
static_assert(sizeof kPanelPicture == 19 * 13 + 1, "panel picture is 19 x 13");

void hline(LcdBitmap* frame, int y, int x0, int x1) {
    for (int x = x0; x <= x1; ++x)
        draw_pixel(frame, x, y);
}

// "n" followed by the unit letter.
char* long_form(char* text, uint32_t n, char unit) {
    char digits[12];
    int len = 0;
    do {
        digits[len++] = static_cast<char>('0' + n % 10);
        n /= 10;
    } while (n);
    int i = 0;
    while (len)
        text[i++] = digits[--len];
    text[i++] = unit;
    text[i] = '\0';
    return text;
}

// "d.t" followed by the unit letter.
char* short_form(char* text, uint32_t digit, uint32_t tenth, char unit) {
    text[0] = static_cast<char>('0' + digit % 10);
    text[1] = '.';
    text[2] = static_cast<char>('0' + tenth % 10);
    text[3] = unit;
    text[4] = '\0';
    return text;
}

// The figure, white on the black block, ending at column 99.
void draw_figure(LcdBitmap* frame, int y, const char* text) {
    int w = draw_text(frame, TEXT_SYMBOLS | TEXT_MEASURE | TEXT_INVERT, 0, 0, text);
    draw_text(frame, TEXT_SYMBOLS | TEXT_INVERT, kFigureEnd - w, y, text);
}

void draw_bar(LcdBitmap* frame, int y0, uint64_t rate, uint32_t max) {
    if (max == 0 || rate == 0)
        return;
    int32_t len = net_bar_length(rate, max);
    for (int y = y0; y < y0 + 3; ++y)
        hline(frame, y, kBarX, kBarX + len - 1);
}

NetMeter* meter_of(App* app) {
    return &app->net;
}

} // namespace

// ---- portable rules -----------------------------------------------------------------------

const char* net_method_name(const NetCollector* c) {
    switch (c->method) {
    case NET_TDI:
        return "TDI";
    case NET_NDIS:
        return "NDIS";
    case NET_IPHLP:
        return "IPHLP";
    default:
        return "OFF";
    }
}

char* format_bytes(uint64_t v, char* text) {
    const uint64_t K = uint64_t{1} << 10, M = uint64_t{1} << 20, G = uint64_t{1} << 30;
    const uint64_t T = uint64_t{1} << 40, P = uint64_t{1} << 50, E = uint64_t{1} << 60;
    const uint32_t hi = static_cast<uint32_t>(v >> 32);
    const uint32_t lo = static_cast<uint32_t>(v);
    if (v >= 10 * E)
        return long_form(text, hi >> 28, 'E');
    if (v >= 1000 * P) {
        uint32_t t = ((hi >> 18) * 10) >> 10;
        return short_form(text, t / 10, t % 10, 'E');
    }
    if (v >= 10 * P)
        return long_form(text, hi >> 18, 'P');
    if (v >= 1000 * T) {
        uint32_t t = static_cast<uint32_t>((uint64_t{hi} * 10) >> 18);
        return short_form(text, t / 10, t % 10, 'P');
    }
    if (v >= 10 * T)
        return long_form(text, hi >> 8, 'T');
    if (v >= 1000 * G) {
        uint32_t t = static_cast<uint32_t>((uint64_t{hi} * 10) >> 8);
        return short_form(text, t / 10, t % 10, 'T');
    }
    if (v >= 10 * G)
        return long_form(text, static_cast<uint32_t>(v >> 30), 'G');
    if (v >= (uint64_t{1} << 32)) {
        uint32_t t = static_cast<uint32_t>((v * 10) >> 30);
        return short_form(text, t / 10, t % 10, 'G');
    }
    if (v >= 1000 * M) {
        uint32_t m = lo >> 20;
        return short_form(text, m >> 10, ((m & 1023) * 10) >> 10, 'G');
    }
    if (v >= 1000 * K && v < 10 * M) {
        uint32_t k = lo >> 10;
        return short_form(text, k >> 10, ((k & 1023) * 10) >> 10, 'M');
    }
    if (v >= 10 * M)
        return long_form(text, lo >> 20, 'M');
    if (v < 10 * K)
        return short_form(text, lo >> 10, ((lo & 1023) * 10) >> 10, 'K');
    return long_form(text, lo >> 10, 'K');
}

void net_record(NetCollector* c, uint32_t in, uint32_t out, uint32_t now) {
    for (int i = NET_HISTORY - 1; i > 0; --i) {
        c->out_history[i] = c->out_history[i - 1];
        c->in_history[i] = c->in_history[i - 1];
        c->interval_history[i] = c->interval_history[i - 1];
    }
    c->out_history[0] = out;
    c->in_history[0] = in;
    c->interval_history[0] = now - c->last_sample_tick;
    c->last_sample_tick = now;
    c->total_out += out;
    c->total_in += in;
}

void net_rates(const NetCollector* c, uint64_t* in_rate, uint64_t* out_rate) {
    uint64_t in_sum = 0, out_sum = 0;
    uint32_t interval = 0;
    for (int i = 0; i < NET_HISTORY; ++i) {
        in_sum += c->in_history[i];
        out_sum += c->out_history[i];
        interval += c->interval_history[i];
        if (interval > 1000)
            break;
    }
    if (interval == 0) {
        *in_rate = 0;
        *out_rate = 0;
        return;
    }
    *in_rate = in_sum * 1000 / interval;
    *out_rate = out_sum * 1000 / interval;
}

int32_t net_bar_length(uint64_t rate, uint32_t max) {
    if (max == 0)
        return 0;
    if (rate > max)
        rate = max;
    return static_cast<int32_t>(rate * NET_BAR_MAX / max);
}

int32_t net_graph_height(uint32_t d, uint32_t m) {
    if (m == 0)
        return 0;
    uint64_t h = uint64_t{d} * 26 / m;
    return h > NET_GRAPH_ROWS ? NET_GRAPH_ROWS : static_cast<int32_t>(h);
}

void net_panel_render(const NetCollector* c, LcdBitmap* frame, uint64_t in_rate,
                      uint64_t out_rate) {
    draw_picture(frame, 0, kPanelX, 8, 19, 13, kPanelPicture);
    for (int y : {8, 14, 20})
        hline(frame, y, kPanelX + 1, kPanelRight - 1);
    for (int y = 9; y <= 19; ++y) {
        if (y == 14)
            continue;
        draw_pixel(frame, kPanelX, y);
        draw_pixel(frame, kPanelRight, y);
    }
    draw_figure(frame, 9, c->in_text);
    draw_figure(frame, 15, c->out_text);
    draw_bar(frame, 10, in_rate, c->max_in);
    draw_bar(frame, 16, out_rate, c->max_out);
}

// ---- frame-loop operations ----------------------------------------------------------------

void net_init(App* app) {
    NetMeter* n = meter_of(app);
    n->tag = kNetTag;
    if (!n->host)
        n->host = net_system_host();
    if (!n->iphlp_host)
        n->iphlp_host = iphlp_system_host();
    NetCollector* c = &n->collector;
    memset(c, 0, sizeof *c);
    c->last_sample_tick = n->host->tick(n->host->ctx);
    c->method = NET_OFF;
    c->max_in = NET_DEFAULT_MAX_IN;
    c->max_out = NET_DEFAULT_MAX_OUT;
    tcp_reset(&n->tcp, n->host);
    ndis_reset(&n->ndis, n->host);
    iphlp_reset(&n->iphlp, n->iphlp_host);

    if (const char* v = settings_get(&app->settings, "net_max_in")) {
        if (uint32_t max = settings_parse_unsigned(v))
            c->max_in = max;
    }
    if (const char* v = settings_get(&app->settings, "net_max_out")) {
        if (uint32_t max = settings_parse_unsigned(v))
            c->max_out = max;
    }
    int32_t method = NET_OFF;
    if (const char* v = settings_get(&app->settings, "net_method")) {
        if (text_iequal(v, "tdi"))
            method = NET_TDI;
        else if (text_iequal(v, "ndis"))
            method = NET_NDIS;
        else if (text_iequal(v, "iphlp"))
            method = NET_IPHLP;
    }
    if (method == NET_OFF)
        method = app->os.vista_or_later ? NET_NDIS : NET_TDI;
    if (method == NET_TDI)
        tcp_open(&n->tcp);
    else if (method == NET_IPHLP)
        iphlp_open(&n->iphlp);
    else
        ndis_open(&n->ndis);
    c->method = method; // set whether or not the source opened
}

void net_sample(App* app) {
    NetMeter* n = meter_of(app);
    NetCollector* c = &n->collector;
    if (c->method == NET_OFF)
        return;
    if (app->frame.one_second_tick && app->frame.blink) {
        if (c->method == NET_TDI)
            tcp_refresh(&n->tcp);
        else if (c->method == NET_IPHLP)
            iphlp_scan(&n->iphlp);
        else
            ndis_scan(&n->ndis, false);
    }
    if (++c->frame_count < NET_SAMPLE_FRAMES)
        return;
    c->frame_count = 0;
    uint32_t in = 0, out = 0;
    c->devices_read = 0;
    if (c->method == NET_TDI)
        c->devices_read += tcp_read(&n->tcp, &in, &out);
    else if (c->method == NET_IPHLP)
        c->devices_read += iphlp_read(&n->iphlp, &in, &out);
    else
        c->devices_read += ndis_read(&n->ndis, &in, &out);
    if (c->devices_read == 0)
        return; // no entry: the next sample's interval covers the gap
    net_record(c, in, out, n->host->tick(n->host->ctx));
}

void net_draw_panel(App* app) {
    NetCollector* c = &meter_of(app)->collector;
    if (c->method == NET_OFF)
        return;
    uint64_t in_rate, out_rate;
    net_rates(c, &in_rate, &out_rate);
    if (app->frame.one_second_tick) {
        format_bytes(in_rate, c->in_text);
        format_bytes(out_rate, c->out_text);
    }
    net_panel_render(c, app_frame(app), in_rate, out_rate);
}

void net_close(App* app) {
    NetMeter* n = meter_of(app);
    if (!n->host)
        return;
    if (n->collector.method == NET_TDI)
        tcp_close(&n->tcp);
    else if (n->collector.method == NET_NDIS)
        ndis_close(&n->ndis);
    else if (n->collector.method == NET_IPHLP)
        iphlp_close(&n->iphlp);
}

// ---- "NET" module ---------------------------------------------------------------------------

void mod_net_init(App* app) {
    NetMeter* n = meter_of(app);
    n->tag = kNetTag;
    for (int s = 0; s < SLOT_COUNT; ++s)
        n->mode[s] = slot_plus_marks(&app->slots[s], kNetTag);
}

void mod_net_update(App*) {}

void mod_net_teardown(App*) {}

int mod_net_draw(App* app, int slot) {
    NetMeter* n = meter_of(app);
    NetCollector* c = &n->collector;
    if (c->method == NET_OFF)
        return 0;
    Slot* s = &app->slots[slot];
    LcdBitmap* frame = app_frame(app);
    slot_draw_frame(frame, s, kNetTag);
    if (s->button == 1) {
        s->button = 0;
        ++n->mode[slot];
    }
    if (n->mode[slot] > 2 || n->mode[slot] < 0)
        n->mode[slot] = 0;
    if (s->button == 2) {
        s->button = 0;
        c->total_in = 0;
        c->total_out = 0;
        post_notice(&app->notices, app->frame.now, NOTICE_NET_RESET, 2000,
                    "Net counters reset. [%s x %u]", net_method_name(c),
                    static_cast<unsigned>(c->devices_read));
    }
    const int x = s->x, y = s->y;
    if (n->mode[slot] == 2) {
        draw_text(frame, TEXT_SYMBOLS, x + 25, y + 2, "TOT");
        char text[16];
        draw_text_right(frame, x, y + 7, format_bytes(c->total_in, text));
        draw_text_right(frame, x, y + 14, format_bytes(c->total_out, text));
        return 1;
    }
    const bool send = n->mode[slot] == 0;
    if (send)
        draw_text(frame, TEXT_SYMBOLS, x + 24, y + 2, "OUT");
    else
        draw_text(frame, TEXT_SYMBOLS, x + 31, y + 2, "IN");
    const uint32_t* history = send ? c->out_history : c->in_history;
    const uint32_t m = send ? c->max_out : c->max_in;
    for (int i = 0; i < NET_HISTORY; ++i) {
        int32_t h = net_graph_height(history[i], m);
        for (int r = 0; r < h; ++r)
            draw_pixel(frame, x + 37 - i, y + 20 - r);
    }
    return 1;
}
