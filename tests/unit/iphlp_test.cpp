// The IP Helper source against a fake iphlpapi.dll: which rows count, 64-bit resets
// and 32-bit wraps, adapters that come and go, an empty table, failing calls, the
// 32-bit table's buffer, and "net_method iphlp" in the meter.
#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "core/app.h"
#include "meters/iphlp.h"
#include "meters/net.h"
#include "net_fake.h"

namespace {

struct FakeRow {
    uint64_t id;
    uint64_t in = 0, out = 0;
    uint32_t type = 6;    // ethernet
    uint8_t flags = 0x05; // HardwareInterface | ConnectorPresent
};

FakeRow eth(uint64_t id, uint64_t in = 0, uint64_t out = 0) {
    FakeRow r;
    r.id = id;
    r.in = in;
    r.out = out;
    return r;
}
FakeRow row(uint64_t id, uint32_t type, uint8_t flags, uint64_t in, uint64_t out) {
    FakeRow r = eth(id, in, out);
    r.type = type;
    r.flags = flags;
    return r;
}

// iphlpapi.dll as the source sees it: GetIfTable2 (or only GetIfTable) over `rows`.
struct FakeIphlp {
    int32_t api = IPHLP_TABLE2; // what the library offers
    bool fail = false;          // the table call fails
    std::vector<FakeRow> rows;
    int loaded = 0, tables_out = 0, table_calls = 0;
    std::vector<std::vector<uint8_t>*> live; // tables handed out and not yet freed

    IphlpHost host() {
        IphlpHost h{};
        h.load = [](void* c, IphlpProcs* p) {
            FakeIphlp* f = self(c);
            *p = IphlpProcs{};
            if (f->api == IPHLP_NONE)
                return int32_t{IPHLP_NONE};
            f->loaded++;
            p->library = reinterpret_cast<void*>(0x77);
            return f->api;
        };
        h.unload = [](void* c, IphlpProcs* p) {
            if (p->library)
                self(c)->loaded--;
            *p = IphlpProcs{};
        };
        h.get_table2 = [](void* c, const IphlpProcs*, const uint8_t** table, size_t* bytes) {
            FakeIphlp* f = self(c);
            f->table_calls++;
            if (f->fail || f->api != IPHLP_TABLE2)
                return false;
            auto* t =
                new std::vector<uint8_t>(IPHLP_TABLE2_ROWS_AT + f->rows.size() * IPHLP_ROW2_BYTES);
            FakeNet::put32(t->data(), static_cast<uint32_t>(f->rows.size()));
            for (size_t i = 0; i < f->rows.size(); ++i) {
                uint8_t* r = t->data() + IPHLP_TABLE2_ROWS_AT + i * IPHLP_ROW2_BYTES;
                memset(r, 0xEE, IPHLP_ROW2_BYTES); // fields the reader must not need
                FakeNet::put64(r + IPHLP_ROW2_LUID, f->rows[i].id);
                FakeNet::put32(r + IPHLP_ROW2_INDEX, static_cast<uint32_t>(i + 1));
                FakeNet::put32(r + IPHLP_ROW2_TYPE, f->rows[i].type);
                r[IPHLP_ROW2_FLAGS] = f->rows[i].flags;
                FakeNet::put64(r + IPHLP_ROW2_IN, f->rows[i].in);
                FakeNet::put64(r + IPHLP_ROW2_OUT, f->rows[i].out);
            }
            f->live.push_back(t);
            f->tables_out++;
            *table = t->data();
            *bytes = t->size();
            return true;
        };
        h.free_table2 = [](void* c, const IphlpProcs*, const uint8_t* table) {
            FakeIphlp* f = self(c);
            for (size_t i = 0; i < f->live.size(); ++i) {
                if (f->live[i]->data() == table) {
                    delete f->live[i];
                    f->live.erase(f->live.begin() + static_cast<long>(i));
                    f->tables_out--;
                    return;
                }
            }
            ADD_FAILURE() << "freed a table that was not handed out";
        };
        h.get_table1 = [](void* c, const IphlpProcs*, uint8_t* buf, uint32_t* bytes) {
            FakeIphlp* f = self(c);
            f->table_calls++;
            if (f->fail || f->api != IPHLP_TABLE1)
                return uint32_t{31};
            const uint32_t need =
                static_cast<uint32_t>(IPHLP_TABLE1_ROWS_AT + f->rows.size() * IPHLP_ROW1_BYTES);
            if (*bytes < need) {
                *bytes = need;
                return IPHLP_BUFFER_SMALL;
            }
            memset(buf, 0xEE, *bytes);
            FakeNet::put32(buf, static_cast<uint32_t>(f->rows.size()));
            for (size_t i = 0; i < f->rows.size(); ++i) {
                uint8_t* r = buf + IPHLP_TABLE1_ROWS_AT + i * IPHLP_ROW1_BYTES;
                FakeNet::put32(r + IPHLP_ROW1_INDEX, static_cast<uint32_t>(f->rows[i].id));
                FakeNet::put32(r + IPHLP_ROW1_TYPE, f->rows[i].type);
                FakeNet::put32(r + IPHLP_ROW1_IN, static_cast<uint32_t>(f->rows[i].in));
                FakeNet::put32(r + IPHLP_ROW1_OUT, static_cast<uint32_t>(f->rows[i].out));
            }
            return IPHLP_OK;
        };
        h.ctx = this;
        return h;
    }
    static FakeIphlp* self(void* c) { return static_cast<FakeIphlp*>(c); }
};

struct Source {
    FakeIphlp lib;
    IphlpHost host;
    IphlpSource s;
    explicit Source(int32_t api = IPHLP_TABLE2) : host(lib.host()) {
        lib.api = api;
        iphlp_reset(&s, &host);
    }
    ~Source() {
        iphlp_close(&s);
        EXPECT_EQ(lib.loaded, 0) << "iphlpapi.dll left loaded";
        EXPECT_EQ(lib.tables_out, 0) << "a table not given back with FreeMibTable";
        EXPECT_EQ(s.table1, nullptr);
    }
};

TEST(IphlpRows, WhichRowsCount) {
    struct Case {
        const char* name;
        int32_t api;
        uint32_t type;
        uint8_t flags;
        bool counts;
    } cases[] = {
        {"ethernet_adapter", IPHLP_TABLE2, 6, 0x05, true},
        {"wifi_adapter", IPHLP_TABLE2, 71, 0x01, true},
        {"filter_row_of_it", IPHLP_TABLE2, 6, 0x03, false},
        {"filter_row_without_hardware", IPHLP_TABLE2, 6, 0x02, false},
        {"virtual_or_intermediate", IPHLP_TABLE2, 6, 0x00, false},
        {"loopback", IPHLP_TABLE2, 24, 0x01, false},
        {"tunnel", IPHLP_TABLE2, 131, 0x01, false},
        {"old_table_ethernet", IPHLP_TABLE1, 6, 0x00, true},
        {"old_table_ppp", IPHLP_TABLE1, 23, 0x00, true},
        {"old_table_loopback", IPHLP_TABLE1, 24, 0x00, false},
        {"old_table_tunnel", IPHLP_TABLE1, 131, 0x00, false},
    };
    for (const Case& c : cases) {
        IphlpRow r{};
        r.type = c.type;
        r.flags = c.flags;
        EXPECT_EQ(iphlp_row_counts(c.api, r), c.counts) << c.name;
    }
}

TEST(IphlpRows, CountBoundedByTheBytesAndIncrements) {
    std::vector<uint8_t> t(IPHLP_TABLE2_ROWS_AT + 2 * IPHLP_ROW2_BYTES, 0);
    struct Case {
        int32_t api;
        uint32_t said;
        size_t bytes;
        uint32_t rows;
    } cases[] = {
        {IPHLP_TABLE2, 2, t.size(), 2},
        {IPHLP_TABLE2, 9, t.size(), 2},     // says more than it holds
        {IPHLP_TABLE2, 2, t.size() - 1, 1}, // the second row is cut
        {IPHLP_TABLE2, 0, t.size(), 0},
        {IPHLP_TABLE2, 2, 7, 0},
        {IPHLP_TABLE1, 0xFFFFFFFF, t.size(), static_cast<uint32_t>((t.size() - 4) / 860)},
        {IPHLP_TABLE1, 1, 3, 0},
    };
    for (const Case& c : cases) {
        FakeNet::put32(t.data(), c.said);
        EXPECT_EQ(iphlp_row_count(c.api, t.data(), c.bytes), c.rows)
            << c.api << " says " << c.said << " in " << c.bytes;
    }
    EXPECT_EQ(iphlp_row_count(IPHLP_TABLE2, nullptr, 100), 0u);

    struct Inc {
        uint64_t last, now;
        uint32_t expected;
    } incs[] = {{10, 510, 500},
                {(uint64_t{1} << 32) - 296, (uint64_t{1} << 32) + 200, 496},
                {500, 10, 0},
                {0, uint64_t{5} << 30, 0xFFFFFFFFu}};
    for (const Inc& i : incs)
        EXPECT_EQ(iphlp_increment64(i.last, i.now), i.expected) << i.last << " -> " << i.now;
}

struct Step {
    std::vector<FakeRow> rows; // the table from this step on
    bool scan;                 // a re-scan before the reading
    int32_t count;
    uint32_t in, out;
};
struct Script {
    const char* name;
    int32_t api;
    std::vector<FakeRow> start;
    std::vector<Step> steps;
};

class IphlpRead : public ::testing::TestWithParam<Script> {};

TEST_P(IphlpRead, AddsTheBytesMoved) {
    const Script& sc = GetParam();
    Source src(sc.api);
    src.lib.rows = sc.start;
    ASSERT_TRUE(iphlp_open(&src.s)) << sc.name;
    int n = 0;
    for (const Step& st : sc.steps) {
        ++n;
        src.lib.rows = st.rows;
        if (st.scan) {
            EXPECT_TRUE(iphlp_scan(&src.s)) << sc.name << " step " << n;
        }
        uint32_t in = 12345, out = 12345;
        EXPECT_EQ(iphlp_read(&src.s, &in, &out), st.count) << sc.name << " step " << n;
        EXPECT_EQ(in, st.in) << sc.name << " step " << n;
        EXPECT_EQ(out, st.out) << sc.name << " step " << n;
    }
}

const uint64_t k2_32 = uint64_t{1} << 32;

INSTANTIATE_TEST_SUITE_P(Cases, IphlpRead,
                         ::
                             testing::Values(Script{"only_adapters_count",
                                                    IPHLP_TABLE2,
                                                    {row(1, 24, 0x00, 0, 0), eth(2, 1000, 100),
                                                     row(3, 6, 0x03, 1000, 100),
                                                     row(4, 131, 0x01, 0, 0),
                                                     row(5, 6, 0x00, 0, 0)},
                                                    {{{row(1, 24, 0x00, 9000, 9000),
                                                       eth(2, 1500, 160),
                                                       row(3, 6, 0x03, 1500, 160),
                                                       row(4, 131, 0x01, 700, 700),
                                                       row(5, 6, 0x00, 800, 800)},
                                                      false,
                                                      1,
                                                      500,
                                                      60}}},
                                             Script{"two_adapters_sum_keyed_by_luid_not_position",
                                                    IPHLP_TABLE2,
                                                    {eth(0x6000002000000, 10, 10),
                                                     eth(0x6000003000000, 0, 0)},
                                                    {{{eth(0x6000003000000, 7, 9),
                                                       eth(0x6000002000000, 110, 20)},
                                                      false,
                                                      2,
                                                      107,
                                                      19}}},
                                             Script{"counter_past_2_32_in_the_64_bit_table",
                                                    IPHLP_TABLE2,
                                                    {eth(1, k2_32 - 296, 5)},
                                                    {{{eth(1, k2_32 + 200, 5)}, false, 1, 496, 0}}},
                                             Script{"64_bit_counter_that_went_back_adds_0",
                                                    IPHLP_TABLE2,
                                                    {eth(1, 50000, 40000)},
                                                    {{{eth(1, 300, 40100)}, false, 1, 0, 100},
                                                     {{eth(1, 700, 40100)}, false, 1, 400, 0}}},
                                             Script{"32_bit_table_wraps",
                                                    IPHLP_TABLE1,
                                                    {eth(7, 0xFFFFFED8u, 100), row(1, 24, 0, 0, 0)},
                                                    {{{eth(7, 200, 150), row(1, 24, 0, 5000, 5000)},
                                                      false,
                                                      1,
                                                      496,
                                                      50}}},
                                             Script{"new_adapter_waits_for_the_scan_and_starts_at_"
                                                    "its_baseline",
                                                    IPHLP_TABLE2,
                                                    {eth(1, 0, 0)},
                                                    {{{eth(1, 10, 10), eth(2, 77777, 88888)},
                                                      false,
                                                      1,
                                                      10,
                                                      10},
                                                     {{eth(1, 10, 10), eth(2, 77780, 88890)},
                                                      true,
                                                      2,
                                                      0,
                                                      0},
                                                     {{eth(1, 11, 10), eth(2, 77781, 88893)},
                                                      false,
                                                      2,
                                                      2,
                                                      3}}},
                                             Script{"gone_adapter_is_forgotten_and_baselined_again",
                                                    IPHLP_TABLE2,
                                                    {eth(1, 0, 0), eth(2, 0, 0)},
                                                    {{{eth(1, 10, 10)}, true, 1, 10, 10},
                                                     {{eth(1, 10, 10), eth(2, 5000, 6000)},
                                                      false,
                                                      1,
                                                      0,
                                                      0},
                                                     {{eth(1, 10, 10), eth(2, 5000, 6000)},
                                                      true,
                                                      2,
                                                      0,
                                                      0},
                                                     {{eth(1, 10, 10), eth(2, 5001, 6000)},
                                                      false,
                                                      2,
                                                      1,
                                                      0}}},
                                             Script{"a_repeated_row_is_read_once",
                                                    IPHLP_TABLE2,
                                                    {eth(1, 100, 100), eth(1, 500, 100)},
                                                    {{{eth(1, 130, 100), eth(1, 500, 100)},
                                                      false,
                                                      1,
                                                      30,
                                                      0},
                                                     {{eth(1, 160, 100), eth(1, 500, 100)},
                                                      false,
                                                      1,
                                                      30,
                                                      0}}},
                                             Script{
                                                 "empty_table", IPHLP_TABLE2, {}, {{{}, false, 0, 0, 0}, {{}, true, 0, 0, 0}}},
                                             Script{
                                                 "thirty_third_adapter_not_watched",
                                                 IPHLP_TABLE2,
                                                 [] {
                                                     std::vector<FakeRow> v;
                                                     for (uint64_t i = 1; i <= 33; ++i)
                                                         v.push_back(eth(i, 0, 0));
                                                     return v;
                                                 }(),
                                                 {{[] {
                                                       std::vector<FakeRow> v;
                                                       for (uint64_t i = 1; i <= 33; ++i)
                                                           v.push_back(eth(i, 10, 1));
                                                       return v;
                                                   }(),
                                                   false, 32, 320, 32}}}),
                         [](const ::testing::TestParamInfo<Script>& info) {
                             return info.param.name;
                         });

TEST(IphlpSource, FailingCallsAndMissingFunctions) {
    {
        // A failed table: no adapters answer, nothing is forgotten, and the next
        // reading covers both intervals.
        Source src;
        src.lib.rows = {eth(1, 100, 100)};
        ASSERT_TRUE(iphlp_open(&src.s));
        src.lib.fail = true;
        src.lib.rows = {eth(1, 400, 100)};
        uint32_t in = 9, out = 9;
        EXPECT_EQ(iphlp_read(&src.s, &in, &out), 0);
        EXPECT_EQ(in, 0u);
        EXPECT_FALSE(iphlp_scan(&src.s));
        src.lib.fail = false;
        src.lib.rows = {eth(1, 900, 150)};
        EXPECT_EQ(iphlp_read(&src.s, &in, &out), 1);
        EXPECT_EQ(in, 800u);
        EXPECT_EQ(out, 50u);
    }
    {
        // Neither table function: nothing loaded, re-scans try again; when the
        // library appears its first scan is a baseline.
        Source src(IPHLP_NONE);
        src.lib.rows = {eth(1, 100, 100)};
        EXPECT_FALSE(iphlp_open(&src.s));
        EXPECT_EQ(iphlp_read(&src.s, nullptr, nullptr), 0);
        EXPECT_EQ(src.lib.table_calls, 0);
        src.lib.api = IPHLP_TABLE2;
        EXPECT_TRUE(iphlp_scan(&src.s));
        EXPECT_EQ(src.lib.loaded, 1);
        src.lib.rows = {eth(1, 130, 100)};
        uint32_t in = 0;
        EXPECT_EQ(iphlp_read(&src.s, &in, nullptr), 1);
        EXPECT_EQ(in, 30u);
    }
}

TEST(IphlpSource, OldTableBufferGrowsOnlyAtAReScan) {
    Source src(IPHLP_TABLE1);
    for (uint64_t i = 1; i <= 20; ++i) // more rows than the first buffer holds
        src.lib.rows.push_back(eth(i, 0, 0));
    ASSERT_TRUE(iphlp_open(&src.s));
    EXPECT_GE(src.s.table1_bytes, IPHLP_TABLE1_ROWS_AT + 20 * IPHLP_ROW1_BYTES);
    for (uint64_t i = 21; i <= 40; ++i)
        src.lib.rows.push_back(eth(i, 0, 0));
    for (FakeRow& r : src.lib.rows)
        r.in = 5;
    const uint8_t* buf = src.s.table1;
    const uint32_t bytes = src.s.table1_bytes;
    // A sample never takes memory: the table no longer fits, so nothing answers.
    EXPECT_EQ(iphlp_read(&src.s, nullptr, nullptr), 0);
    EXPECT_EQ(src.s.table1, buf);
    EXPECT_EQ(src.s.table1_bytes, bytes);
    // The re-scan grows the buffer, keeps the 20 known adapters and watches 12 more.
    EXPECT_TRUE(iphlp_scan(&src.s));
    EXPECT_GE(src.s.table1_bytes, IPHLP_TABLE1_ROWS_AT + 40 * IPHLP_ROW1_BYTES);
    for (FakeRow& r : src.lib.rows)
        r.in = 6;
    uint32_t in = 0;
    EXPECT_EQ(iphlp_read(&src.s, &in, nullptr), 32);
    EXPECT_EQ(in, 20u * 6 + 12u * 1); // the 20 from their open baseline, the 12 from the scan's
}

// ---- "net_method iphlp" in the meter ----------------------------------------------------

TEST(IphlpMeter, MethodNameSamplesAndTheResetNotice) {
    struct Case {
        const char* value;
        int32_t method;
        const char* name;
    } cases[] = {{"iphlp", NET_IPHLP, "IPHLP"},
                 {"IPHlp", NET_IPHLP, "IPHLP"},
                 {"iphlpapi", NET_NDIS, "NDIS"}};
    for (const Case& c : cases) {
        auto app = std::make_unique<App>();
        FakeNet net;
        NetHost host = net.host();
        FakeIphlp lib;
        lib.rows = {row(1, 24, 0, 0, 0), eth(2, 1000, 100), eth(3, 0, 0)};
        IphlpHost ihost = lib.host();
        char key[] = "net_method";
        std::string value = c.value;
        SettingEntry e{key, &value[0], nullptr};
        app->settings.head = &e;
        app->os.vista_or_later = true;
        app->net.host = &host;
        app->net.iphlp_host = &ihost;
        for (int i = 0; i < SLOT_COUNT; ++i)
            slot_setup(&app->slots[i], i, &app->settings);
        net_init(app.get());
        mod_net_init(app.get());
        const NetCollector& col = app->net.collector;
        EXPECT_EQ(col.method, c.method) << c.value;
        EXPECT_STREQ(net_method_name(&col), c.name) << c.value;
        if (c.method == NET_IPHLP) {
            lib.rows[1].in += 3000; // loopback traffic must not count
            lib.rows[0].in += 99999;
            lib.rows[2].out += 700;
            FrameState& f = app->frame;
            for (int i = 0; i < 5; ++i) {
                net.now += 100;
                f.now = net.now;
                net_sample(app.get());
            }
            EXPECT_EQ(col.devices_read, 2);
            EXPECT_EQ(col.in_history[0], 3000u);
            EXPECT_EQ(col.out_history[0], 700u);
            EXPECT_EQ(col.interval_history[0], 500u);
            app->slots[0].button = 2;
            mod_net_draw(app.get(), 0);
            ASSERT_EQ(notice_count(&app->notices), 1);
            EXPECT_STREQ(app->notices.first->text, "Net counters reset. [IPHLP x 2]");
            // The table is read on the samples (every fifth frame) and the re-scans
            // (every second second) only: 40 frames, 8 samples, 2 re-scans.
            const int calls = lib.table_calls;
            f.frame_counter = 0;
            for (int i = 0; i < 40; ++i) {
                net.now += 100;
                f.now = net.now;
                f.one_second_tick = f.frame_counter == 0;
                if (f.one_second_tick)
                    f.blink ^= 1;
                net_sample(app.get());
                if (++f.frame_counter == 10)
                    f.frame_counter = 0;
            }
            EXPECT_EQ(lib.table_calls - calls, 8 + 2);
        }
        net_close(app.get());
        EXPECT_EQ(lib.loaded, 0) << c.value;
        EXPECT_EQ(lib.tables_out, 0) << c.value;
        app->settings.head = nullptr;
        notice_free_all(&app->notices);
    }
}

} // namespace
