// Error-log line building, the LCDMon.exe path rule and the macro-key decoder.
#include <gtest/gtest.h>

#include <cstdint>
#include <memory>
#include <string>

#include "services/rawinput.h"
#include "services/util.h"

namespace {

std::string line(const char* msg, uint32_t code = 0, const char* sys = nullptr,
                 const char* file = "src/main", int ln = 236) {
    char out[2048];
    size_t n = log_build_line(out, sizeof out, "2026-12-08", "14:03:07", file, ln, msg, code, sys);
    EXPECT_EQ(n, strlen(out));
    return out;
}

TEST(LogLine, Fields) {
    struct {
        const char* msg;
        uint32_t code;
        const char* sys;
        const char* expected;
    } cases[] = {
        {"failed to set waitable timer", 0, nullptr,
         "2026-12-08 14:03:07 | src/main(236) | failed to set waitable timer"},
        {"x", 5, "Access denied.\r\n",
         "2026-12-08 14:03:07 | src/main(236) | x | 00000005=Access denied.  "},
        {"x", 0x80070005u, nullptr, "2026-12-08 14:03:07 | src/main(236) | x | 80070005"},
        {"x", 7, "", "2026-12-08 14:03:07 | src/main(236) | x | 00000007"},
        {"line\nbreak\ttab", 0, nullptr, "2026-12-08 14:03:07 | src/main(236) | line break tab"},
        {"caf\xe9", 0, nullptr, "2026-12-08 14:03:07 | src/main(236) | caf "},
        {"restarting update thread\n", 0, nullptr,
         "2026-12-08 14:03:07 | src/main(236) | restarting update thread "},
        {"100% sure", 0, nullptr, "2026-12-08 14:03:07 | src/main(236) | 100% sure"},
    };
    for (auto& c : cases)
        EXPECT_EQ(line(c.msg, c.code, c.sys), c.expected) << c.msg;
}

TEST(LogLine, LongMessageIsCutTo1023Characters) {
    std::string msg(2000, 'a');
    std::string l = line(msg.c_str());
    std::string prefix = "2026-12-08 14:03:07 | src/main(236) | ";
    ASSERT_EQ(l.size(), prefix.size() + 1023);
    EXPECT_EQ(l.substr(prefix.size()), std::string(1023, 'a'));
}

TEST(LogLine, SmallBufferNeverOverruns) {
    char out[16];
    memset(out, 'Z', sizeof out);
    size_t n = log_build_line(out, 10, "2026-12-08", "14:03:07", "src/x", 1, "msg", 5, "text");
    EXPECT_LT(n, 10u);
    EXPECT_EQ(out[n], '\0');
    for (int i = 10; i < 16; ++i)
        EXPECT_EQ(out[i], 'Z') << i;
}

TEST(LcdMonPath, OneBackslash) {
    struct {
        const char* dir;
        const char* expected;
    } cases[] = {
        {"C:\\Program Files\\Logitech\\LCD Manager",
         "C:\\Program Files\\Logitech\\LCD Manager\\LCDMon.exe"},
        {"C:\\Program Files\\Logitech\\LCD Manager\\",
         "C:\\Program Files\\Logitech\\LCD Manager\\LCDMon.exe"},
        {"", "\\LCDMon.exe"},
        {nullptr, "\\LCDMon.exe"},
    };
    for (auto& c : cases) {
        char out[512];
        ASSERT_TRUE(build_lcdmon_path(c.dir, out, sizeof out));
        EXPECT_STREQ(out, c.expected);
    }
}

TEST(LcdMonPath, TooLongIsRefusedNotTruncated) {
    std::string dir(501, 'd'); // 501 + 1 + 10 = 512, plus the zero: one too many
    char out[512];
    EXPECT_FALSE(build_lcdmon_path(dir.c_str(), out, sizeof out));
    EXPECT_STREQ(out, "");
    dir.pop_back(); // exactly fits
    EXPECT_TRUE(build_lcdmon_path(dir.c_str(), out, sizeof out));
    EXPECT_EQ(strlen(out), 511u);
}

TEST(RawInputDecode, FirstMatchingRowWins) {
    struct {
        int byte;
        uint8_t value;
        const char* expected;
    } cases[] = {
        {6, 0x21, "M1"}, {7, 0x60, "MR"},  {7, 0x20, "G12"},   {1, 0x01, "G01"},   {8, 0x40, "G18"},
        {8, 0x04, "M3"}, {5, 0x40, "G17"}, {0, 0xFF, nullptr}, {1, 0x80, nullptr},
    };
    for (auto& c : cases) {
        uint8_t report[9] = {};
        report[c.byte] = c.value;
        const char* got = rawinput_decode(report, sizeof report);
        if (c.expected)
            EXPECT_STREQ(got, c.expected) << "byte " << c.byte;
        else
            EXPECT_EQ(got, nullptr) << "byte " << c.byte;
    }
}

TEST(RawInputDecode, ShortReportReadsOnlyItsBytes) {
    uint8_t report[7] = {0, 0, 0, 0, 0, 0, 0x20}; // byte 6 = G06; bytes 7, 8 absent
    EXPECT_STREQ(rawinput_decode(report, sizeof report), "G06");
    EXPECT_EQ(rawinput_decode(report, 6), nullptr);
    EXPECT_EQ(rawinput_decode(nullptr, 9), nullptr);
}

// Pauses are measured as unsigned differences, so a pause that spans the wrap of the
// 32-bit tick counter (every 49.7 days) lasts as long as any other.
TEST(TickWait, OverOnlyAfterTheFullPause) {
    struct {
        uint32_t start, now, ms;
        bool over;
    } cases[] = {
        {1000, 1000, 1000, false},
        {1000, 1999, 1000, false},
        {1000, 2000, 1000, true},
        {0xFFFFFF00u, 0xFFFFFF00u, 1000, false}, // start + ms wraps
        {0xFFFFFF00u, 0xFFFFFFFFu, 1000, false},
        {0xFFFFFF00u, 0x00000010u, 1000, false}, // counter wrapped, 272 ms gone
        {0xFFFFFF00u, 0x000002E7u, 1000, false},
        {0xFFFFFF00u, 0x000002E8u, 1000, true}, // exactly 1000 ms gone
        {0xFFFFF448u, 0x00000000u, 3000, true},
        {0xFFFFF449u, 0x00000000u, 3000, false},
        {5, 5, 0, true},
    };
    for (auto& c : cases)
        EXPECT_EQ(tick_wait_over(c.start, c.now, c.ms), c.over)
            << c.start << " + " << c.ms << " at " << c.now;
}

// The window watch against a fake window system: what it answers, and which of the
// two calls (a lookup, a check of the window found last) it made.
struct FakeWindows {
    void* found; // what a lookup finds
    bool alive;  // the window found last still exists
    int finds;
    int checks;
} g_windows;

const WindowWatchHost kFakeWindows = {
    [] {
        ++g_windows.finds;
        return g_windows.found;
    },
    [](void*) {
        ++g_windows.checks;
        return g_windows.alive;
    },
};

TEST(WindowWatch, LooksUpOnlyWhenTheWindowFoundLastIsGoneOrASecondOld) {
    void* const w7 = reinterpret_cast<void*>(7);
    void* const w9 = reinterpret_cast<void*>(9);
    struct {
        const char* name;
        WindowWatch before;
        uint32_t now;
        void* found;
        bool alive;
        bool present;
        int finds, checks;
        WindowWatch after;
    } cases[] = {
        {"nothing known: lookup", {nullptr, 1000}, 1001, w7, false, true, 1, 0, {w7, 1001}},
        {"nothing known, none there",
         {nullptr, 1000},
         1001,
         nullptr,
         false,
         false,
         1,
         0,
         {nullptr, 1001}},
        {"known and alive: check only", {w7, 1000}, 1999, w9, true, true, 0, 1, {w7, 1000}},
        {"known but gone: lookup at once",
         {w7, 1000},
         1100,
         nullptr,
         false,
         false,
         1,
         1,
         {nullptr, 1100}},
        {"gone, a new window there", {w7, 1000}, 1100, w9, false, true, 1, 1, {w9, 1100}},
        {"a second old: lookup without a check",
         {w7, 1000},
         2000,
         nullptr,
         true,
         false,
         1,
         0,
         {nullptr, 2000}},
        {"a second old, renamed away", {w7, 1000}, 2000, w9, true, true, 1, 0, {w9, 2000}},
        {"tick counter wrapped, 500 ms",
         {w7, 0xFFFFFF00u},
         0x000000F4u,
         w9,
         true,
         true,
         0,
         1,
         {w7, 0xFFFFFF00u}},
        {"tick counter wrapped, 1000 ms",
         {w7, 0xFFFFFF00u},
         0x000002E8u,
         w9,
         true,
         true,
         1,
         0,
         {w9, 0x000002E8u}},
    };
    for (auto& c : cases) {
        g_windows = FakeWindows{c.found, c.alive, 0, 0};
        WindowWatch w = c.before;
        EXPECT_EQ(window_watch_present(&w, c.now, &kFakeWindows), c.present) << c.name;
        EXPECT_EQ(g_windows.finds, c.finds) << c.name << ": lookups";
        EXPECT_EQ(g_windows.checks, c.checks) << c.name << ": checks";
        EXPECT_EQ(w.window, c.after.window) << c.name;
        EXPECT_EQ(w.looked, c.after.looked) << c.name;
    }
}

// A fetched HID input record: header, report size and count, then the reports, laid
// out as a 32-bit (reports at 24) or a 64-bit program (at 32) receives it. Each
// record lives in a heap block of exactly its size, so a read past it is caught.
TEST(RawInputRecord, DecodesOnlyWholeReportsInsideTheRecord) {
    const RawHidLayout x86{16, 20, 24}, x64{24, 28, 32};
    struct Case {
        const char* name;
        const RawHidLayout* layout;
        size_t size; // bytes fetched
        uint32_t each, count;
        size_t key_report; // report whose byte 6 says M1; 99 = none
        size_t decoded;
        const char* key;
    } cases[] = {
        {"32-bit, one report", &x86, 24 + 9, 9, 1, 0, 1, "M1"},
        {"64-bit, one report", &x64, 32 + 9, 9, 1, 0, 1, "M1"},
        {"64-bit, report cut short", &x64, 32 + 8, 9, 1, 99, 0, nullptr},
        {"64-bit, header only", &x64, 24, 9, 1, 99, 0, nullptr},
        {"64-bit, count field cut", &x64, 30, 9, 1, 99, 0, nullptr},
        {"32-bit, second report partial", &x86, 24 + 8 + 4, 8, 2, 99, 1, nullptr},
        {"64-bit, key in second report", &x64, 32 + 2 * 9, 9, 2, 1, 2, "M1"},
        {"count larger than the record", &x64, 32 + 3 * 9, 9, 0xFFFFFFFFu, 2, 3, "M1"},
        {"report size that wraps a 32-bit sum", &x86, 24 + 9, 0xFFFFFFF0u, 1, 99, 0, nullptr},
        {"report size 0", &x86, 24 + 9, 0, 1, 99, 0, nullptr},
    };
    for (const Case& c : cases) {
        std::unique_ptr<uint8_t[]> rec(new uint8_t[c.size]());
        auto put32 = [&](size_t at, uint32_t v) {
            for (size_t k = 0; k < 4 && at + k < c.size; ++k)
                rec[at + k] = static_cast<uint8_t>(v >> (8 * k));
        };
        put32(c.layout->size_at, c.each);
        put32(c.layout->count_at, c.count);
        const size_t key_at = c.layout->reports_at + c.key_report * c.each + 6;
        if (c.key_report != 99 && key_at < c.size)
            rec[key_at] = 0x01;
        const char* key = "unset";
        EXPECT_EQ(rawinput_decode_record(rec.get(), c.size, *c.layout, &key), c.decoded) << c.name;
        if (c.key)
            EXPECT_STREQ(key, c.key) << c.name;
        else
            EXPECT_EQ(key, nullptr) << c.name;
    }
}

// The one case-insensitive comparison: settings keys, slot tags and zone names.
TEST(TextIequal, OnlyAsciiLettersFold) {
    struct {
        const char* a;
        const char* b;
        size_t n; // SIZE_MAX: whole texts (text_iequal)
        bool equal;
    } cases[] = {
        {"Date_Format", "date_format", SIZE_MAX, true},
        {"net", "NET", SIZE_MAX, true},
        {"NE", "NET", SIZE_MAX, false},
        {"NET", "NE", SIZE_MAX, false},
        {"", "", SIZE_MAX, true},
        {"\xC4", "\xE4", SIZE_MAX, false}, // A and a with diaeresis: not ASCII
        {"[", "{", SIZE_MAX, false},       // 0x5B and 0x7B differ by the case bit only
        {"@", "`", SIZE_MAX, false},
        {"CETx", "cet", 3, true},
        {"CE", "cet", 3, false},
        {"cet", "CE", 3, false},
        {"x", "y", 0, true},
    };
    for (auto& c : cases) {
        const bool got = c.n == SIZE_MAX ? text_iequal(c.a, c.b) : text_iequal_n(c.a, c.b, c.n);
        EXPECT_EQ(got, c.equal) << "\"" << c.a << "\" vs \"" << c.b << "\", " << c.n;
    }
}

TEST(ReadLe, LowByteFirst) {
    const uint8_t bytes[] = {0x34, 0x12, 0xFE, 0xFF, 0xFF, 0xFF};
    EXPECT_EQ(read_le16(bytes), 0x1234);
    EXPECT_EQ(read_le32(bytes + 2), 0xFFFFFFFEu);
    EXPECT_EQ(static_cast<int32_t>(read_le32(bytes + 2)), -2);
    EXPECT_EQ(read_le32(bytes), 0xFFFE1234u);
}

} // namespace
