// Per-frame cost of the network meter: a plain frame (panel and two NET slots) and a
// sampling frame (re-scan and reading of the source), for both sources against an
// in-memory network; and proof that neither allocates per frame ("allocs_per_frame").
#include <benchmark/benchmark.h>

#include <cstring>
#include <memory>

#include "core/app.h"
#include "draw/draw.h"
#include "meters/ndisstats.h"
#include "meters/net.h"

#include "alloc_count.h"

namespace {

// Interfaces and cards whose counters move at every statistics query.
struct BenchNet {
    int interfaces = 4;
    int cards = 2;
    uint32_t tick = 1000;
    uint64_t counter = 0;
};

void put32(uint8_t* p, uint32_t v) {
    memcpy(p, &v, 4); // little-endian hosts
}

uint32_t b_tick(void* c) {
    return static_cast<BenchNet*>(c)->tick;
}
void b_tcp_open(void*, void** ntdll, void** device) {
    *ntdll = reinterpret_cast<void*>(0x10);
    *device = reinterpret_cast<void*>(0x100);
}
void b_release(void*, void*) {}
bool b_ioctl(void* c, void*, uint32_t code, const void* in, uint32_t, void* out, uint32_t out_bytes,
             uint32_t* returned) {
    BenchNet* n = static_cast<BenchNet*>(c);
    uint8_t* o = static_cast<uint8_t*>(out);
    n->counter += 1500;
    if (code == IOCTL_NDIS_QUERY_GLOBAL_STATS) {
        memcpy(o + 24, &n->counter, 8);
        memcpy(o + 56, &n->counter, 8);
        *returned = NET_NDIS_STATS_BYTES;
        return true;
    }
    const uint8_t* req = static_cast<const uint8_t*>(in);
    uint32_t cls, id, instance;
    memcpy(&instance, req + 4, 4);
    memcpy(&cls, req + 8, 4);
    memcpy(&id, req + 16, 4);
    if (cls == TDI_CLASS_GENERIC && id == TDI_ENTITY_LIST_ID) {
        for (int i = 0; i < n->interfaces && static_cast<uint32_t>(i * 8 + 8) <= out_bytes; ++i) {
            put32(o + i * 8, TDI_IF_ENTITY);
            put32(o + i * 8 + 4, static_cast<uint32_t>(i));
        }
        *returned = static_cast<uint32_t>(n->interfaces * 8);
    } else if (cls == TDI_CLASS_GENERIC) {
        put32(o, TDI_IF_MIB);
        *returned = 4;
    } else {
        put32(o, instance + 1);
        put32(o + 4, 6);
        put32(o + 40, static_cast<uint32_t>(n->counter));
        put32(o + 64, static_cast<uint32_t>(n->counter / 3));
        *returned = NET_IFENTRY_BYTES;
    }
    return true;
}
bool b_cards_key(void*, void** key) {
    *key = reinterpret_cast<void*>(0x2000);
    return true;
}
bool b_enum(void* c, void*, uint32_t index, char* name, uint32_t) {
    if (index >= static_cast<uint32_t>(static_cast<BenchNet*>(c)->cards))
        return false;
    name[0] = static_cast<char>('1' + index);
    name[1] = '\0';
    return true;
}
bool b_subkey(void*, void*, const char* name, void** sub) {
    *sub = reinterpret_cast<void*>(static_cast<uintptr_t>(0x3000 + name[0]));
    return true;
}
bool b_value(void*, void* key, const char*, char* buf, uint32_t, uint32_t* bytes, uint32_t* type) {
    buf[0] = '{';
    buf[1] = static_cast<char>(reinterpret_cast<uintptr_t>(key) & 0xFF);
    buf[2] = '}';
    buf[3] = '\0';
    *bytes = 4;
    *type = NET_REG_SZ;
    return true;
}
void b_close_key(void*, void*) {}
bool b_open(void*, const char* path, void** handle) {
    *handle = reinterpret_cast<void*>(static_cast<uintptr_t>(0x1000 + path[5]));
    return true;
}
void b_log(void*, int, const char*) {}

struct Bench {
    std::unique_ptr<App> app = std::make_unique<App>();
    BenchNet net;
    NetHost host{b_tick,   b_tcp_open, b_release,   b_release, b_ioctl, b_cards_key, b_enum,
                 b_subkey, b_value,    b_close_key, b_open,    b_log,   &net};

    explicit Bench(bool vista) {
        app->os.vista_or_later = vista;
        app->net.host = &host;
        for (int i = 0; i < SLOT_COUNT; ++i) {
            app->slots[i].x = i * 40 + (i >= 2 ? 1 : 0);
            app->slots[i].y = 22;
        }
        net_init(app.get());
        mod_net_init(app.get());
        app->net.mode[1] = 1;
        app->net.mode[2] = 2;
    }
    ~Bench() { net_close(app.get()); }
    void frame() {
        FrameState& f = app->frame;
        net.tick += 100;
        f.now = net.tick;
        f.one_second_tick = f.frame_counter == 0;
        if (f.one_second_tick)
            f.blink ^= 1;
        net_sample(app.get());
        memset(app->lcd.frame.pixels, 0, LCD_PIXELS);
        net_draw_panel(app.get());
        for (int s = 0; s < 3; ++s)
            mod_net_draw(app.get(), s);
        if (++f.frame_counter == 10)
            f.frame_counter = 0;
    }
};

// Ten frames in a row: two with a sample, one with a re-scan every other second.
void BM_NetFrame(benchmark::State& state) {
    Bench b(state.range(0) != 0);
    for (int i = 0; i < 40; ++i)
        b.frame(); // histories filled
    run_frames(state, [&] {
        b.frame();
        benchmark::DoNotOptimize(b.app->lcd.frame.pixels);
    });
}
BENCHMARK(BM_NetFrame)->Arg(0)->Arg(1)->ArgName("ndis");

// A sampling frame with a re-scan: every call reads the source.
void BM_NetSamplingFrame(benchmark::State& state) {
    Bench b(state.range(0) != 0);
    run_frames(state, [&] {
        FrameState& f = b.app->frame;
        f.one_second_tick = 1;
        f.blink = 1;
        b.app->net.collector.frame_count = NET_SAMPLE_FRAMES - 1;
        b.net.tick += 500;
        net_sample(b.app.get());
        benchmark::DoNotOptimize(b.app->net.collector.in_history);
    });
}
BENCHMARK(BM_NetSamplingFrame)->Arg(0)->Arg(1)->ArgName("ndis");

} // namespace
