// Network traffic meter: a collector that samples the counter sources every fifth
// frame, the panel at the right of the middle band, and the "NET" display module.
//
// Panel (columns 81..159, rows 8..20): white rate figures on two black blocks, the
// receive bar beside the upper one and the send bar beside the lower one, each up to
// 60 columns (max_in / max_out bytes per second fill it):
//
//   +-----------------+-----------------------------------------------------------+
//   |###########12K###|                                                           |
//   |#################|================================                           |
//   +-----------------+-----------------------------------------------------------+
//   |##########0.9K###|                                                           |
//   |#################|=                                                          |
//   +-----------------+-----------------------------------------------------------+
//
// "NET" slot (37 x 20 inside the frame): the send graph (OUT), the receive graph
// (IN) or both totals (TOT); the newest sample is the rightmost column, a sample of
// max / 2 bytes (max bytes per second at 500 ms) fills the 13 rows.
//
//   +NET-----------OUT-+       +NET------------TOT-+
//   |                  |       |               1.2G|
//   |          #    #  |       |                12M|
//   |      #  ### ####-|       |                   |
//   +------------------+       +-------------------+
#pragma once
#include <cstdint>

#include "meters/iphlp.h"
#include "meters/ndisstats.h"

struct App;
struct LcdBitmap;

constexpr int NET_HISTORY = 37;      // samples kept, entry 0 the newest
constexpr int NET_SAMPLE_FRAMES = 5; // a sample every fifth frame
constexpr int NET_BAR_MAX = 60;      // longest panel bar, columns 100..159
constexpr int NET_GRAPH_ROWS = 13;   // tallest graph column
constexpr uint32_t NET_DEFAULT_MAX_IN = 1048576;
constexpr uint32_t NET_DEFAULT_MAX_OUT = 81920;

enum NetMethod : int32_t { NET_OFF = 0, NET_TDI = 1, NET_NDIS = 2, NET_IPHLP = 3 };

struct NetCollector {
    uint32_t last_sample_tick;
    int32_t frame_count; // calls of net_sample since the last sample, 0..4
    int32_t method;      // NetMethod
    int32_t devices_read;
    uint64_t total_out;
    uint64_t total_in;
    uint32_t out_history[NET_HISTORY];
    uint32_t in_history[NET_HISTORY];
    uint32_t interval_history[NET_HISTORY]; // ms since the sample before
    uint32_t max_in;                        // bytes per second filling the receive bar
    uint32_t max_out;
    char in_text[16]; // panel figures, changed on the one-second tick
    char out_text[16];
};

struct NetMeter {
    const char* tag; // "NET"
    int32_t mode[4]; // per slot: 0 send graph, 1 receive graph, 2 totals
    NetCollector collector;
    TcpSource tcp;
    NdisSource ndis;
    IphlpSource iphlp;
    const NetHost* host;         // null until net_init: then the system's unless a test set one
    const IphlpHost* iphlp_host; // the same for the IP Helper source
};

// Frame-loop operations.
void net_init(App* app);
void net_sample(App* app);
void net_draw_panel(App* app);
void net_close(App* app);

// "NET" module.
void mod_net_init(App* app);
void mod_net_update(App* app);
int mod_net_draw(App* app, int slot);
void mod_net_teardown(App* app);

// Portable rules.

// "TDI" (method 1), "NDIS" (method 2), "IPHLP" (method 3), "OFF" otherwise.
const char* net_method_name(const NetCollector* c);
// The compact text of a byte count (at least 5 bytes of text), returned:
//   0 -> "0.0K"; 1536 -> "1.5K"; 10 x 2^10 - 1 -> "9.9K"; 10 x 2^10 -> "10K";
//   1000 x 2^10 - 1 -> "999K"; 1000 x 2^10 -> "0.9M"; 10 x 2^20 -> "10M";
//   1000 x 2^20 -> "0.9G"; 2^32 - 1 -> "3.9G"; 10 x 2^30 -> "10G";
//   1000 x 2^30 -> "0.9T"; 2^64 - 1 -> "15E"
char* format_bytes(uint64_t value, char* text);
// Pushes one sample into the histories (entry 36 falls off) and the totals.
void net_record(NetCollector* c, uint32_t in, uint32_t out, uint32_t now);
// Bytes per second over the newest samples whose intervals first add up to more
// than 1000 ms (all 37 when they never do); 0 when no time has passed.
//   three samples of 1024 bytes at 500 ms -> 2048; of 1000 bytes -> 2000
void net_rates(const NetCollector* c, uint64_t* in_rate, uint64_t* out_rate);
// Panel bar length for a rate: rate x 60 / max, held at 60; 0 when max is 0.
//   (max, max) -> 60; (max / 2, max) -> 30; (3 x max, max) -> 60
int32_t net_bar_length(uint64_t rate, uint32_t max);
// Graph column height of a sample of d bytes: d x 26 / m, at most 13, 0 when m is 0.
//   (m / 2, m) -> 13; (m / 26, m) -> 1; (2^32 - 1, 1) -> 13
int32_t net_graph_height(uint32_t d, uint32_t m);
// The panel for given rates (the texts are the collector's own).
void net_panel_render(const NetCollector* c, LcdBitmap* frame, uint64_t in_rate, uint64_t out_rate);
