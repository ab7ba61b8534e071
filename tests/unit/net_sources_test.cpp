// Network counter sources against a fake network: TDI interface readings (wrap,
// loopback, the 33rd interface, failed and short replies), opening and re-opening
// the TCP device, the NetworkCards walk, NDIS readings and what gets logged.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "meters/ndisstats.h"
#include "net_fake.h"

namespace {

constexpr uint32_t k4G = 0xFFFFFFFFu;

TEST(NetIncrement, CardCountersAndSums) {
    struct Case {
        uint64_t last, now;
        uint32_t expected;
    } cases[] = {
        {10, 510, 500},
        {(uint64_t{1} << 32) - 296, (uint64_t{1} << 32) + 200, 496}, // low bits wrap
        {0x1FFFFFFF0ull, 0x200000010ull, 32},
        {500, 10, 0},                          // counter reset: not traffic
        {0xFFFFFED8ull, 200, 496},             // a 32-bit counter in a 64-bit field wraps
        {0xFFFFFFFFull, 0, 1},
        {0x80000001ull, 0, 0x7FFFFFFFu},       // the largest wrap taken for traffic
        {0x80000000ull, 0, 0},                 // 2^31 would have moved: a reset
        {(uint64_t{1} << 32) + 500, 10, 0},    // a 64-bit reading went back: a reset
        {0xFFFFFE00ull, 0xFFFFFD00ull, 0},     // a step back no wrap explains
        {0x90000000ull, 0x10000000ull, 0},     // would be 2^31 bytes: a reset
        {0, uint64_t{5} << 30, k4G},           // more than a sample can hold
        {7, 7 + (uint64_t{1} << 32), k4G},     // exactly 2^32: low bits would say 0
        {7, 7 + (uint64_t{1} << 32) - 1, k4G}, // the largest that fits
    };
    for (const Case& c : cases)
        EXPECT_EQ(ndis_increment(c.last, c.now), c.expected) << c.last << " -> " << c.now;

    struct Sum {
        uint32_t a, b, expected;
    } sums[] = {{1, 2, 3}, {k4G - 2, 2, k4G}, {k4G - 2, 5, k4G}, {k4G, k4G, k4G}, {0, 0, 0}};
    for (const Sum& s : sums)
        EXPECT_EQ(net_add_saturated(s.a, s.b), s.expected) << s.a << " + " << s.b;
}

TEST(NetParse, RepliesNeedTheirFields) {
    uint8_t entry[225] = {};
    FakeNet::put32(entry, 7);
    FakeNet::put32(entry + 4, 24);
    FakeNet::put32(entry + 40, 0x11223344);
    FakeNet::put32(entry + 64, 0x55667788);
    struct Case {
        uint32_t returned;
        bool ok;
    } cases[] = {{225, true}, {68, true}, {67, false}, {44, false}, {0, false}};
    for (const Case& c : cases) {
        IfStats s{};
        ASSERT_EQ(tdi_parse_ifentry(entry, c.returned, &s), c.ok) << c.returned;
        if (c.ok) {
            EXPECT_EQ(s.if_index, 7u);
            EXPECT_EQ(s.if_type, 24u);
            EXPECT_EQ(s.in_octets, 0x11223344u);
            EXPECT_EQ(s.out_octets, 0x55667788u);
        }
    }
    uint8_t stats[152];
    ndis_prepare_stats(stats);
    EXPECT_EQ(std::vector<uint8_t>(stats, stats + 5), (std::vector<uint8_t>{0x80, 1, 152, 0, 0}));
    FakeNet::put64(stats + 24, 0x0102030405060708ull);
    FakeNet::put64(stats + 56, 0x1112131415161718ull);
    uint64_t in = 0, out = 0;
    EXPECT_FALSE(ndis_parse_stats(stats, 63, &in, &out));
    ASSERT_TRUE(ndis_parse_stats(stats, 64, &in, &out));
    EXPECT_EQ(in, 0x0102030405060708ull);
    EXPECT_EQ(out, 0x1112131415161718ull);
    EXPECT_EQ(tdi_entity_count(17, 32768), 2);
    EXPECT_EQ(tdi_entity_count(0xFFFFFFFF, 32768), 4096); // never past the buffer
}

// ---- TCP device source --------------------------------------------------------------------

struct Tcp {
    FakeNet net;
    NetHost host;
    TcpSource tcp;
    Tcp() : host(net.host()) { tcp_reset(&tcp, &host); }
    ~Tcp() {
        tcp_close(&tcp);
        EXPECT_EQ(net.handles, 0) << "handles left open";
        EXPECT_EQ(net.libraries, 0) << "NTDLL.DLL left loaded";
        EXPECT_TRUE(net.bad_requests.empty()) << net.bad_requests[0];
    }
};

FakeIf eth(uint32_t instance, uint32_t index, uint32_t in, uint32_t out) {
    FakeIf i;
    i.instance = instance;
    i.if_index = index;
    i.in = in;
    i.out = out;
    return i;
}

struct TdiStep {
    std::vector<FakeIf> ifs; // the device's interfaces from this step on
    bool refresh;            // tcp_refresh before the reading
    int32_t count;
    uint32_t in, out;
};

struct TdiScript {
    const char* name;
    std::vector<FakeIf> start;
    std::vector<TdiStep> steps;
};

class TdiRead : public ::testing::TestWithParam<TdiScript> {};

TEST_P(TdiRead, AddsTheBytesMoved) {
    const TdiScript& sc = GetParam();
    Tcp t;
    t.net.ifs = sc.start;
    ASSERT_TRUE(tcp_open(&t.tcp));
    int n = 0;
    for (const TdiStep& st : sc.steps) {
        ++n;
        t.net.ifs = st.ifs;
        if (st.refresh) {
            ASSERT_TRUE(tcp_refresh(&t.tcp));
        }
        uint32_t in = 12345, out = 12345;
        EXPECT_EQ(tcp_read(&t.tcp, &in, &out), st.count) << sc.name << " step " << n;
        EXPECT_EQ(in, st.in) << sc.name << " step " << n;
        EXPECT_EQ(out, st.out) << sc.name << " step " << n;
    }
}

std::vector<FakeIf> many(int n, uint32_t in) {
    std::vector<FakeIf> v;
    for (int i = 0; i < n; ++i)
        v.push_back(eth(static_cast<uint32_t>(i), static_cast<uint32_t>(100 + i), in, in));
    return v;
}

FakeIf with(FakeIf i, void (*change)(FakeIf&)) {
    change(i);
    return i;
}

INSTANTIATE_TEST_SUITE_P(
    Cases, TdiRead,
    ::testing::Values(
        TdiScript{"wrap_past_2_32",
                  {eth(1, 5, 0xFFFFFED8u, 100)},
                  {{{eth(1, 5, 200, 150)}, false, 1, 496, 50}}},
        TdiScript{
            "loopback_only_is_no_interface",
            {with(eth(1, 1, 0, 0), [](FakeIf& i) { i.if_type = 24; })},
            {{{with(eth(1, 1, 5000, 5000), [](FakeIf& i) { i.if_type = 24; })}, false, 0, 0, 0}}},
        TdiScript{"two_interfaces_sum",
                  {eth(1, 5, 1000, 10), eth(2, 9, 0, 0)},
                  {{{eth(1, 5, 1500, 20), eth(2, 9, 300, 40)}, false, 2, 800, 50},
                   {{eth(1, 5, 1500, 20), eth(2, 9, 300, 40)}, false, 2, 0, 0}}},
        TdiScript{"thirty_third_counted_but_adds_nothing",
                  many(33, 0),
                  {{many(33, 10), false, 33, 320, 320}}},
        TdiScript{"failed_query_is_covered_by_the_next",
                  {eth(1, 5, 0, 0), eth(2, 6, 0, 0)},
                  {{{with(eth(1, 5, 100, 0), [](FakeIf& i) { i.fail = true; }), eth(2, 6, 7, 0)},
                    false,
                    1,
                    7,
                    0},
                   {{eth(1, 5, 300, 0), eth(2, 6, 7, 0)}, false, 2, 300, 0}}},
        TdiScript{
            "short_reply_is_a_failed_query",
            {eth(1, 5, 1000, 1000)},
            {{{with(eth(1, 5, 1100, 1100), [](FakeIf& i) { i.reply_bytes = 44; })}, false, 0, 0, 0},
             {{eth(1, 5, 1200, 1300)}, false, 1, 200, 300}}},
        TdiScript{"not_an_interface_mib",
                  {with(eth(1, 5, 0, 0), [](FakeIf& i) { i.type = 0x201; }), eth(2, 6, 0, 0)},
                  {{{with(eth(1, 5, 99, 99), [](FakeIf& i) { i.type = 0x201; }), eth(2, 6, 1, 2)},
                    false,
                    1,
                    1,
                    2}}},
        TdiScript{"index_zero_counted_but_tracked_nowhere",
                  {eth(1, 0, 50, 50), eth(2, 6, 0, 0)},
                  {{{eth(1, 0, 5000, 5000), eth(2, 6, 10, 10)}, false, 2, 10, 10},
                   {{eth(1, 0, 9000, 9000), eth(2, 6, 20, 20)}, false, 2, 10, 10}}},
        TdiScript{"new_interface_baselined_at_first_sight",
                  {eth(1, 5, 0, 0)},
                  {{{eth(1, 5, 10, 10), eth(2, 8, 77777, 88888)}, true, 2, 10, 10},
                   {{eth(1, 5, 10, 10), eth(2, 8, 77778, 88890)}, false, 2, 1, 2}}},
        TdiScript{"gone_interface_keeps_its_entry",
                  {eth(1, 5, 0, 0), eth(2, 8, 0, 0)},
                  {{{eth(1, 5, 10, 10)}, true, 1, 10, 10},
                   {{eth(1, 5, 10, 10), eth(2, 8, 30, 40)}, true, 2, 30, 40}}}),
    [](const ::testing::TestParamInfo<TdiScript>& info) { return info.param.name; });

TEST(TdiOpen, FailuresLeaveItClosedAndReScansRetry) {
    struct Case {
        const char* name;
        bool ntdll, device, list_fails;
        bool opened;
        int libraries, handles; // held after the failed or successful open
    } cases[] = {
        {"opens", true, true, false, true, 1, 1},
        {"no_ntdll", false, true, false, false, 0, 0},
        {"device_refuses", true, false, false, false, 0, 0},
        {"list_fails", true, true, true, false, 0, 0},
    };
    for (const Case& c : cases) {
        Tcp t;
        t.net.have_ntdll = c.ntdll;
        t.net.have_tcp = c.device;
        t.net.list_fails = c.list_fails;
        t.net.ifs = {eth(1, 5, 100, 100)};
        EXPECT_EQ(tcp_open(&t.tcp), c.opened) << c.name;
        EXPECT_EQ(t.net.libraries, c.libraries) << c.name;
        EXPECT_EQ(t.net.handles, c.handles) << c.name;
        t.net.ifs = {eth(1, 5, 5000, 6000)};
        uint32_t in = 9, out = 9;
        EXPECT_EQ(tcp_read(&t.tcp, &in, &out), c.opened ? 1 : 0) << c.name;
        // The device comes (back): the next re-scan opens it and takes a baseline.
        t.net.have_ntdll = t.net.have_tcp = true;
        t.net.list_fails = false;
        EXPECT_TRUE(tcp_refresh(&t.tcp)) << c.name;
        EXPECT_EQ(t.net.libraries, 1) << c.name;
        EXPECT_EQ(t.net.handles, 1) << c.name;
        t.net.ifs = {eth(1, 5, 5010, 6020)};
        EXPECT_EQ(tcp_read(&t.tcp, &in, &out), 1) << c.name;
        EXPECT_EQ(in, 10u) << c.name;
        EXPECT_EQ(out, 20u) << c.name;
        EXPECT_TRUE(t.net.logs.empty()) << c.name << ": " << t.net.logs[0];
    }
}

TEST(TdiOpen, AFailedListClosesTheDeviceUntilTheNextReScan) {
    Tcp t;
    t.net.ifs = {eth(1, 5, 0, 0)};
    ASSERT_TRUE(tcp_open(&t.tcp));
    t.net.list_fails = true;
    EXPECT_FALSE(tcp_refresh(&t.tcp));
    EXPECT_EQ(t.net.handles, 0);
    EXPECT_EQ(t.net.libraries, 0);
    uint32_t in = 0, out = 0;
    EXPECT_EQ(tcp_read(&t.tcp, &in, &out), 0);
    t.net.list_fails = false;
    t.net.ifs = {eth(1, 5, 400, 400)};
    EXPECT_TRUE(tcp_refresh(&t.tcp));
    t.net.ifs = {eth(1, 5, 450, 420)};
    EXPECT_EQ(tcp_read(&t.tcp, &in, &out), 1);
    EXPECT_EQ(in, 50u); // from the re-open's baseline, not from 0
    EXPECT_EQ(out, 20u);
}

TEST(TdiRead, WithoutCountersOnlyStores) {
    Tcp t;
    t.net.ifs = {eth(1, 5, 0, 0)};
    ASSERT_TRUE(tcp_open(&t.tcp));
    t.net.ifs = {eth(1, 5, 800, 900)};
    uint32_t out = 0;
    EXPECT_EQ(tcp_read(&t.tcp, nullptr, &out), 1);
    EXPECT_EQ(out, 900u);
    t.net.ifs = {eth(1, 5, 1000, 1000)};
    uint32_t in = 0;
    EXPECT_EQ(tcp_read(&t.tcp, &in, nullptr), 1);
    EXPECT_EQ(in, 200u);
}

// ---- NDIS source ---------------------------------------------------------------------------

struct Ndis {
    FakeNet net;
    NetHost host;
    NdisSource ndis;
    Ndis() : host(net.host()) { ndis_reset(&ndis, &host); }
    ~Ndis() {
        ndis_close(&ndis);
        EXPECT_EQ(net.handles, 0) << "handles left open";
        EXPECT_EQ(net.keys, 0) << "registry keys left open";
        EXPECT_TRUE(net.bad_requests.empty()) << net.bad_requests[0];
    }
    std::vector<std::string> watched() const {
        std::vector<std::string> v;
        for (const NdisDevice& d : ndis.devices) {
            if (net_handle_valid(d.handle))
                v.push_back(d.service_name);
        }
        return v;
    }
};

FakeCard card(const std::string& subkey, const std::string& service, uint64_t in = 0,
              uint64_t out = 0) {
    FakeCard c;
    c.subkey = subkey;
    c.service = service;
    c.description = "card " + subkey;
    c.in = in;
    c.out = out;
    return c;
}

TEST(NdisScan, WalksTheCardList) {
    struct Case {
        const char* name;
        std::vector<FakeCard> cards;
        std::vector<std::string> watched;
    } cases[] = {
        {"two_cards", {card("1", "{A}"), card("2", "{B}")}, {"{A}", "{B}"}},
        {"subkey_of_16_ends_the_scan",
         {card("1", "{A}"), card("0123456789abcdef", "{B}"), card("3", "{C}")},
         {"{A}"}},
        {"subkey_of_15_is_fine",
         {card("0123456789abcde", "{A}"), card("2", "{B}")},
         {"{A}", "{B}"}},
        {"one_service_two_subkeys", {card("1", "{A}"), card("2", "{A}")}, {"{A}"}},
        {"service_names_are_case_sensitive", {card("1", "{a}"), card("2", "{A}")}, {"{a}", "{A}"}},
        {"service_not_a_text",
         {[] {
              FakeCard c = card("1", "{A}");
              c.service_type = 7;
              return c;
          }(),
          card("2", "{B}")},
         {"{B}"}},
    };
    for (const Case& c : cases) {
        Ndis n;
        n.net.cards = c.cards;
        ndis_open(&n.ndis);
        EXPECT_EQ(n.watched(), c.watched) << c.name;
        ndis_scan(&n.ndis, false); // a re-scan opens nothing twice
        EXPECT_EQ(n.watched(), c.watched) << c.name;
        EXPECT_EQ(n.net.handles, static_cast<int>(c.watched.size())) << c.name;
        EXPECT_TRUE(n.net.logs.empty()) << c.name;
    }
}

TEST(NdisScan, SixteenCardsAtMost) {
    Ndis n;
    for (int i = 0; i < 18; ++i)
        n.net.cards.push_back(card(std::to_string(i), "{" + std::to_string(i) + "}"));
    ndis_open(&n.ndis);
    EXPECT_EQ(n.watched().size(), 16u);
    EXPECT_EQ(n.watched().back(), "{15}");
    uint32_t in, out;
    EXPECT_EQ(ndis_read(&n.ndis, &in, &out), 16);
}

TEST(NdisScan, NoKeyNoCards) {
    Ndis n;
    n.net.have_cards_key = false;
    n.net.cards = {card("1", "{A}")};
    ndis_open(&n.ndis);
    uint32_t in = 5, out = 5;
    EXPECT_EQ(ndis_read(&n.ndis, &in, &out), 0);
    EXPECT_TRUE(n.net.logs.empty());
}

TEST(NdisRead, IncrementsAndLateCards) {
    Ndis n;
    n.net.cards = {card("1", "{A}", 5000000000ull, 100), card("2", "{B}", 0, 0)};
    n.net.cards[1].present = false; // not there at start-up
    ndis_open(&n.ndis);
    ASSERT_EQ(n.net.logs.size(), 1u);
    EXPECT_EQ(n.net.logs[0], "failed to open NDIS device 'card 2' at '\\\\.\\{B}'");

    struct Step {
        uint64_t a_in, a_out, b_in, b_out;
        bool b_present, rescan;
        int32_t count;
        uint32_t in, out;
    } steps[] = {
        // The start-up baseline: only what moved since counts.
        {5000000300ull, 150, 0, 0, false, false, 1, 300, 50},
        // B appears with large counters; the re-scan opens it without a message and
        // its first answer is its baseline.
        {5000000300ull, 150, 0x1234567890ull, 77, true, true, 2, 0, 0},
        {5000000400ull, 150, 0x1234567990ull, 80, true, false, 2, 100 + 256, 3},
        // B's counters fall back (the card was reset): no spike, a new baseline.
        {5000000400ull, 150, 10, 20, true, false, 2, 0, 0},
        {5000000400ull, 150, 15, 30, true, false, 2, 5, 10},
        // B's device stops answering: its entry stays and B is asked again later.
        {5000000500ull, 150, 25, 40, false, false, 1, 100, 0},
        {5000000500ull, 150, 25, 40, true, true, 2, 10, 10},
    };
    int i = 0;
    for (const Step& s : steps) {
        ++i;
        n.net.cards[0].in = s.a_in;
        n.net.cards[0].out = s.a_out;
        n.net.cards[1].in = s.b_in;
        n.net.cards[1].out = s.b_out;
        n.net.cards[1].fail = !s.b_present && net_handle_valid(n.ndis.devices[1].handle);
        n.net.cards[1].present = s.b_present || n.net.cards[1].fail;
        if (s.rescan)
            ndis_scan(&n.ndis, false);
        uint32_t in = 1, out = 1;
        EXPECT_EQ(ndis_read(&n.ndis, &in, &out), s.count) << "step " << i;
        EXPECT_EQ(in, s.in) << "step " << i;
        EXPECT_EQ(out, s.out) << "step " << i;
    }
    EXPECT_EQ(n.net.logs.size(), 1u) << "only the start-up scan logs";
}

TEST(NdisRead, FailuresLoggedOnlyAtTheBaseline) {
    Ndis n;
    n.net.cards = {card("1", "{A}", 1000, 1000), card("2", "{B}", 0, 0)};
    n.net.cards[0].fail = true;
    n.net.cards[1].reply_bytes = 40; // too short to hold the counters
    ndis_open(&n.ndis);
    EXPECT_EQ(n.net.logs, (std::vector<std::string>{
                              "NDIS device failed OID_GEN_STATISTICS: 'card 1' at '{A}'\n",
                              "NDIS device failed OID_GEN_STATISTICS: 'card 2' at '{B}'\n"}));
    uint32_t in = 0, out = 0;
    EXPECT_EQ(ndis_read(&n.ndis, &in, &out), 0);
    // A answers at last: that first answer is its baseline, not 1000 bytes at once.
    n.net.cards[0].fail = false;
    EXPECT_EQ(ndis_read(&n.ndis, &in, &out), 1);
    EXPECT_EQ(in, 0u);
    n.net.cards[0].in = 1200;
    EXPECT_EQ(ndis_read(&n.ndis, &in, &out), 1);
    EXPECT_EQ(in, 200u);
    EXPECT_EQ(n.net.logs.size(), 2u);
}

TEST(NdisRead, SumsHoldAtTheTop) {
    Ndis n;
    n.net.cards = {card("1", "{A}", 0, 0), card("2", "{B}", 0, 0)};
    ndis_open(&n.ndis);
    n.net.cards[0].in = 0xC0000000u;
    n.net.cards[1].in = 0xC0000000u;
    uint32_t in = 0, out = 0;
    EXPECT_EQ(ndis_read(&n.ndis, &in, &out), 2);
    EXPECT_EQ(in, k4G);
}

} // namespace
