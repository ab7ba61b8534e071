// Settings file: line syntax, the one include, number conversions, the general keys
// and the start-up warnings. Every test works in a fresh temporary directory because
// the file name is fixed.
#include <gtest/gtest.h>

#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <unistd.h>
#include <vector>

#include "draw/notice.h"
#include "services/settings.h"

namespace {

// Moves into a fresh temporary directory for its lifetime; removes what it wrote.
struct TempDir {
    char old_cwd[4096] = "";
    char dir[32] = "/tmp/korvane_settings_XXXXXX";
    std::vector<std::string> files;
    bool ok = getcwd(old_cwd, sizeof old_cwd) && mkdtemp(dir) && chdir(dir) == 0;
    ~TempDir() {
        for (const std::string& name : files)
            remove(name.c_str());
        if (ok && chdir(old_cwd) == 0)
            rmdir(dir);
    }
    // Bytes exactly as given: binary mode keeps "\r\n".
    void write(const std::string& name, const std::string& content) {
        ASSERT_TRUE(ok) << "no temporary directory";
        FILE* f = fopen(name.c_str(), "wb");
        ASSERT_NE(f, nullptr) << name;
        fwrite(content.data(), 1, content.size(), f);
        fclose(f);
        files.push_back(std::string(dir) + "/" + name);
    }
};

// "lcdkorvane.txt" with `content`, read into a list that is freed at the end.
struct ReadList {
    SettingsList list{};
    int result;
    ReadList(TempDir& dir, const std::string& content) {
        dir.write("lcdkorvane.txt", content);
        result = settings_read(&list, "lcdkorvane.txt");
    }
    ~ReadList() { settings_free(&list); }
    int entries() const {
        int n = 0;
        for (const SettingEntry* e = list.head; e; e = e->next)
            ++n;
        return n;
    }
    std::string get(const char* key) const {
        const char* v = settings_get(&list, key);
        return v ? v : "<none>";
    }
};

struct Loaded {
    SettingsList list{};
    GeneralSettings general{};
    NoticeQueue notices{};
    ~Loaded() {
        settings_free(&list);
        notice_free_all(&notices);
    }
    std::vector<std::string> notice_texts() const {
        std::vector<std::string> out;
        for (const Notice* n = notices.first; n; n = n->next)
            out.push_back(n->text);
        return out;
    }
};

TEST(SettingsSyntax, LinesToValues) {
    struct Case {
        const char* name;
        std::string content;
        const char* key;
        std::string expected; // "<none>" when absent
        int entries;
    };
    const Case cases[] = {
        {"mixed-case key, blanks around the value", "Date_Format  dd.MM.yyyy   \n", "date_format",
         "dd.MM.yyyy", 1},
        {"lookup ignores case", "email_days 3\n", "EMAIL_DAYS", "3", 1},
        {"second value wins, one entry", "email_days 3\nEMAIL_DAYS 9\n", "email_days", "9", 1},
        {"a key is no prefix of another", "date 1\ndate_format x\n", "date", "1", 2},
        {"last line without line feed", "a 1\ntime_format HH:mm", "time_format", "HH:mm", 2},
        {"key alone", "animate_start\n", "animate_start", "<none>", 0},
        {"key and blanks only", "animate_start \t \n", "animate_start", "<none>", 0},
        {"comment after blanks", "   # date_format x\n", "date_format", "<none>", 0},
        {"number sign inside a value", "date_format x # y\n", "date_format", "x # y", 1},
        {"number sign inside a key", "a#b c\n", "a#b", "c", 1},
        {"inner blanks and tabs kept", "slot_0\tSTW  CLK+\tNET \n", "slot_0", "STW  CLK+\tNET", 1},
        {"CRLF line ends", "date_format dd.MM\r\nemail_days 5\r\n", "date_format", "dd.MM", 2},
        {"CRLF key alone", "animate_start\r\n", "animate_start", "<none>", 0},
        {"vertical tab and form feed are blanks", "\v\fkey\fval\v\n", "key", "val", 1},
        {"high bytes are ordinary", "k\xe9y v\xe4lue\xa0\n", "K\xe9Y", "v\xe4lue\xa0", 1},
        {"only ASCII letters fold", "\xc4 x\n", "\xe4", "<none>", 1},
        {"zero byte ends what is parsed", std::string("date_format ab\0cd\ne 4\n", 22),
         "date_format", "ab", 2},
        {"zero byte inside a key", std::string("da\0te_format ab\ne 4\n", 20), "da", "<none>", 1},
        {"blank lines", "\n\n  \n\t\n", "x", "<none>", 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        TempDir dir;
        ReadList r(dir, c.content);
        EXPECT_EQ(r.result, 1);
        EXPECT_EQ(r.get(c.key), c.expected);
        EXPECT_EQ(r.entries(), c.entries);
    }
}

TEST(SettingsSyntax, LongLinesAreReadInPiecesOf1023) {
    // 1500 characters: "first " + 1017 x (1023 in all), then "second " + 470 y (477).
    // 1023 characters and a line feed: the line feed is read alone, as an empty line.
    const std::pair<std::string, std::vector<std::pair<const char*, std::string>>> cases[] = {
        {"first " + std::string(1017, 'x') + "second " + std::string(470, 'y') + "\n",
         {{"first", std::string(1017, 'x')}, {"second", std::string(470, 'y')}}},
        {"whole " + std::string(1017, 'z') + "\nnext 1\n",
         {{"whole", std::string(1017, 'z')}, {"next", "1"}}},
    };
    for (const auto& c : cases) {
        TempDir dir;
        ReadList r(dir, c.first);
        EXPECT_EQ(r.entries(), 2);
        for (const auto& kv : c.second)
            EXPECT_EQ(r.get(kv.first), kv.second) << kv.first;
    }
}

TEST(SettingsInclude, OneFileDepthFirst) {
    struct Case {
        const char* name;
        std::vector<std::pair<const char*, const char*>> files; // the first is lcdkorvane.txt
        std::vector<std::pair<const char*, const char*>> expected;
    };
    const Case cases[] = {
        {"include A then include B: only A read",
         {{"lcdkorvane.txt", "days 1\ninclude a.txt\ndate after\ninclude b.txt\n"},
          {"a.txt", "days 2\ndate from_a\ntime A\n"},
          {"b.txt", "time B\nonly_b 1\n"}},
         {{"days", "2"},
          {"date", "after"},
          {"time", "A"},
          {"only_b", "<none>"},
          {"include", "b.txt"}}},
        {"include inside the included file not followed",
         {{"lcdkorvane.txt", "include a.txt\nafter 1\n"},
          {"a.txt", "x 1\ninclude b.txt\ny 2\n"},
          {"b.txt", "z 3\n"}},
         {{"x", "1"}, {"y", "2"}, {"z", "<none>"}, {"after", "1"}, {"include", "b.txt"}}},
        {"missing include skipped silently, and used up",
         {{"lcdkorvane.txt", "include missing.txt\nkey v\nInclude a.txt\n"}, {"a.txt", "a 1\n"}},
         {{"key", "v"}, {"a", "<none>"}, {"include", "a.txt"}}},
        {"key spelled INCLUDE is followed",
         {{"lcdkorvane.txt", "INCLUDE a.txt\n"}, {"a.txt", "from_a yes"}},
         {{"from_a", "yes"}}},
        {"a file including itself is read twice, not forever",
         {{"lcdkorvane.txt", "include lcdkorvane.txt\ncount 1\n"}},
         {{"count", "1"}}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        TempDir dir;
        for (size_t i = 1; i < c.files.size(); ++i)
            dir.write(c.files[i].first, c.files[i].second);
        ReadList r(dir, c.files[0].second);
        EXPECT_EQ(r.result, 1);
        for (const auto& kv : c.expected)
            EXPECT_EQ(r.get(kv.first), kv.second) << kv.first;
    }
}

TEST(SettingsRead, MissingFileLeavesTheListAlone) {
    TempDir dir;
    ReadList r(dir, "kept 1\n");
    EXPECT_EQ(settings_read(&r.list, "no_such_file.txt"), 0);
    EXPECT_EQ(settings_read(&r.list, nullptr), 0);
    EXPECT_EQ(r.entries(), 1);
    EXPECT_EQ(settings_get(&r.list, nullptr), nullptr);
    settings_free(&r.list);
    EXPECT_EQ(r.list.head, nullptr);
}

TEST(SettingsNumbers, SignedLookupAndUnsignedGeneralKeys) {
    struct Case {
        const char* value;
        int32_t as_signed;   // settings_get_int
        int32_t as_unsigned; // "email_days", "animate_start"
    };
    const Case cases[] = {
        {"42", 42, 42},
        {"-1", -1, -1},
        {"3x", 3, 3},
        {"x", 0, 0},
        {"+12", 12, 12},
        {"- 5", 0, 0},
        {"2147483648", INT32_MAX, INT32_MIN},
        {"4294967295", INT32_MAX, -1},
        {"4294967296", INT32_MAX, -1},
        {"-2147483649", INT32_MIN, 2147483647},
        {"-4294967295", INT32_MIN, 1},
        {"-4294967296", INT32_MIN, -1},
        {"99999999999999999999999", INT32_MAX, -1},
        {"-99999999999999999999999", INT32_MIN, -1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.value);
        TempDir dir;
        dir.write("lcdkorvane.txt",
                  std::string("email_days ") + c.value + "\nanimate_start " + c.value + "\n");
        Loaded l;
        settings_load_general(&l.list, &l.general, &l.notices, 0);
        EXPECT_EQ(settings_get_int(&l.list, "EMAIL_DAYS", -3), c.as_signed);
        EXPECT_EQ(settings_get_int(&l.list, "absent", -3), -3);
        EXPECT_EQ(l.general.email_days, c.as_unsigned);
        EXPECT_EQ(l.general.animate_start, c.as_unsigned);
    }
}

TEST(SettingsGeneral, TextsAndLimits) {
    struct Case {
        std::string content;
        std::string email, date, time;
        int32_t days, animate;
    };
    const std::string t31(31, 't');
    const Case cases[] = {
        {"", "", "ddd yyyy-MM-dd", "HH:mm:ss", 7, 1},
        {"email_address me@x.org\nDate_Format  dd.MM.yyyy   \ntime_format h:mm tt\n"
         "email_days 3\nanimate_start 0\n",
         "me@x.org", "dd.MM.yyyy", "h:mm tt", 3, 0},
        {"email_address " + std::string(300, 'a') + "\ndate_format " + std::string(40, 'd') +
             "\ntime_format " + t31 + "x\n",
         std::string(255, 'a'), std::string(31, 'd'), t31, 7, 1},
        {"email_address " + std::string(255, 'b') + "\ntime_format " + t31 + "\n",
         std::string(255, 'b'), "ddd yyyy-MM-dd", t31, 7, 1},
        {"animate_start\nemail_days\n", "", "ddd yyyy-MM-dd", "HH:mm:ss", 7, 1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.content.substr(0, 40));
        TempDir dir;
        dir.write("lcdkorvane.txt", c.content);
        Loaded l;
        memset(&l.general, 'z', sizeof l.general); // replaced by the defaults
        settings_load_general(&l.list, &l.general, &l.notices, 0);
        EXPECT_EQ(std::string(l.general.email_address), c.email);
        EXPECT_EQ(std::string(l.general.date_format), c.date);
        EXPECT_EQ(std::string(l.general.time_format), c.time);
        EXPECT_EQ(l.general.email_days, c.days);
        EXPECT_EQ(l.general.animate_start, c.animate);
    }
}

TEST(SettingsGeneral, StartUpNoticesComeBeforeTheBanner) {
    const std::string kMissing = "Warning: Cannot open settings file 'lcdkorvane.txt'";
    const std::string kEdit = "Please edit the 'lcdkorvane.txt' file!";
    struct Case {
        const char* content; // nullptr: no file
        std::vector<std::string> notices;
    };
    const Case cases[] = {
        {nullptr, {kMissing}},  {"not_edited 1\n", {kEdit}}, {"NOT_EDITED -1\n", {kEdit}},
        {"not_edited 0\n", {}}, {"not_edited x\n", {}},      {"not_edited\n", {}},
        {"email_days 3\n", {}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.content ? c.content : "no file");
        TempDir dir;
        if (c.content)
            dir.write("lcdkorvane.txt", c.content);
        Loaded l;
        settings_load_general(&l.list, &l.general, &l.notices, 1234);
        post_notice(&l.notices, 1234, NOTICE_BANNER, 1000, "LCDKorvane 2.6.7");
        std::vector<std::string> expected = c.notices;
        expected.push_back("LCDKorvane 2.6.7");
        EXPECT_EQ(l.notice_texts(), expected);
        if (!c.notices.empty()) {
            EXPECT_EQ(l.notices.first->key, 0);
            EXPECT_EQ(l.notices.first->duration, 5000);
        }
        if (!c.content) {
            EXPECT_EQ(l.list.head, nullptr);
        }
    }
}

TEST(SettingsGeneral, LoadingAgainReplacesTheList) {
    TempDir dir;
    dir.write("lcdkorvane.txt", "a 1\n");
    Loaded l;
    settings_load_general(&l.list, &l.general, &l.notices, 0);
    dir.write("lcdkorvane.txt", "c 3\n");
    settings_load_general(&l.list, &l.general, &l.notices, 0);
    EXPECT_EQ(settings_get(&l.list, "a"), nullptr);
    EXPECT_STREQ(settings_get(&l.list, "c"), "3");
}

} // namespace
