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

#include "notice.h"
#include "settings.h"

namespace {

// Moves into a new temporary directory for the test's lifetime and removes the files
// it wrote on the way out.
class TempDir {
  public:
    TempDir() {
        if (!getcwd(old_cwd_, sizeof old_cwd_))
            old_cwd_[0] = '\0';
        char tmpl[] = "/tmp/korvane_settings_XXXXXX";
        if (mkdtemp(tmpl)) {
            dir_ = tmpl;
            ok_ = chdir(tmpl) == 0;
        }
    }
    ~TempDir() {
        if (ok_) {
            for (auto it = files_.rbegin(); it != files_.rend(); ++it)
                remove(it->c_str());
            if (old_cwd_[0]) {
                int rc = chdir(old_cwd_);
                (void)rc;
            }
            rmdir(dir_.c_str());
        }
    }
    bool ok() const { return ok_; }
    // Writes bytes exactly as given (binary mode, so "\r\n" stays as it is).
    void write(const std::string& name, const std::string& content) {
        FILE* f = fopen(name.c_str(), "wb");
        ASSERT_NE(f, nullptr) << name;
        ASSERT_EQ(fwrite(content.data(), 1, content.size(), f), content.size());
        fclose(f);
        files_.push_back(dir_ + "/" + name);
    }

  private:
    char old_cwd_[4096];
    std::string dir_;
    std::vector<std::string> files_;
    bool ok_ = false;
};

// A list read from one settings file, freed at the end.
struct ReadList {
    SettingsList list{};
    int result = 0;
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
        return v ? std::string(v) : std::string("<none>");
    }
};

// The general keys and the notices after settings_load_general.
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
        {"last line without line feed", "a 1\ntime_format HH:mm", "time_format", "HH:mm", 2},
        {"key alone", "animate_start\n", "animate_start", "<none>", 0},
        {"key alone without line feed", "animate_start", "animate_start", "<none>", 0},
        {"key and blanks only", "animate_start \t \n", "animate_start", "<none>", 0},
        {"comment after blanks", "   # date_format x\n", "date_format", "<none>", 0},
        {"comment key", "#date_format x\n", "#date_format", "<none>", 0},
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
        {"quotes have no meaning", "email_address \"a b\"\n", "email_address", "\"a b\"", 1},
        {"empty file", "", "x", "<none>", 0},
        {"blank lines", "\n\n  \n\t\n", "x", "<none>", 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        TempDir dir;
        ASSERT_TRUE(dir.ok());
        ReadList r(dir, c.content);
        EXPECT_EQ(r.result, 1);
        EXPECT_EQ(r.get(c.key), c.expected);
        EXPECT_EQ(r.entries(), c.entries);
    }
}

TEST(SettingsSyntax, RepeatedKeyKeepsItsFirstSpellingAndPlace) {
    TempDir dir;
    ASSERT_TRUE(dir.ok());
    ReadList r(dir, "Email_Days 3\nother 1\nEMAIL_DAYS 9\n");
    ASSERT_EQ(r.entries(), 2);
    // Newest entry first: "other", then the entry created by the first line.
    EXPECT_STREQ(r.list.head->key, "other");
    EXPECT_STREQ(r.list.head->next->key, "Email_Days");
    EXPECT_STREQ(r.list.head->next->value, "9");
}

TEST(SettingsSyntax, LongLinesAreReadInPiecesOf1023) {
    struct Case {
        const char* name;
        std::string content;
        std::vector<std::pair<const char*, std::string>> expected;
    };
    // 1500 characters: "first " + 1017 x (1023 in all), then "second " + 470 y (477).
    const std::string line1500 =
        "first " + std::string(1017, 'x') + "second " + std::string(470, 'y') + "\n";
    // 1022 characters and the line feed fit one read.
    const std::string line1022 = "whole " + std::string(1016, 'z') + "\nnext 1\n";
    // 1023 characters: the line feed is read alone as an empty line.
    const std::string line1023 = "whole " + std::string(1017, 'z') + "\nnext 1\n";
    const Case cases[] = {
        {"1500 characters",
         line1500,
         {{"first", std::string(1017, 'x')}, {"second", std::string(470, 'y')}}},
        {"1022 characters", line1022, {{"whole", std::string(1016, 'z')}, {"next", "1"}}},
        {"1023 characters", line1023, {{"whole", std::string(1017, 'z')}, {"next", "1"}}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        TempDir dir;
        ASSERT_TRUE(dir.ok());
        ReadList r(dir, c.content);
        EXPECT_EQ(r.entries(), static_cast<int>(c.expected.size()));
        for (const auto& kv : c.expected)
            EXPECT_EQ(r.get(kv.first), kv.second) << kv.first;
    }
}

TEST(SettingsInclude, OneFileDepthFirst) {
    struct File {
        const char* name;
        const char* content;
    };
    struct Case {
        const char* name;
        std::vector<File> files; // the first is lcdkorvane.txt
        std::vector<std::pair<const char*, const char*>> expected;
    };
    const Case cases[] = {
        {"include A then include B: only A read",
         {{"lcdkorvane.txt", "email_days 1\ninclude a.txt\ndate_format after\ninclude b.txt\n"},
          {"a.txt", "email_days 2\ndate_format from_a\ntime_format A\n"},
          {"b.txt", "time_format B\nonly_b 1\n"}},
         {{"email_days", "2"},
          {"date_format", "after"},
          {"time_format", "A"},
          {"only_b", "<none>"},
          {"include", "b.txt"}}},
        {"include inside the included file not followed",
         {{"lcdkorvane.txt", "include a.txt\nafter 1\n"},
          {"a.txt", "x 1\ninclude b.txt\ny 2\n"},
          {"b.txt", "z 3\n"}},
         {{"x", "1"}, {"y", "2"}, {"z", "<none>"}, {"after", "1"}, {"include", "b.txt"}}},
        {"missing include skipped silently",
         {{"lcdkorvane.txt", "include missing.txt\nkey v\n"}},
         {{"key", "v"}, {"include", "missing.txt"}}},
        {"key spelled INCLUDE is followed",
         {{"lcdkorvane.txt", "INCLUDE a.txt\n"}, {"a.txt", "from_a yes"}},
         {{"from_a", "yes"}, {"include", "a.txt"}}},
        {"a file including itself is read twice, not forever",
         {{"lcdkorvane.txt", "include lcdkorvane.txt\ncount 1\n"}},
         {{"count", "1"}, {"include", "lcdkorvane.txt"}}},
        {"missing first include, second not followed either",
         {{"lcdkorvane.txt", "include missing.txt\ninclude a.txt\n"}, {"a.txt", "from_a yes\n"}},
         {{"from_a", "<none>"}, {"include", "a.txt"}}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        TempDir dir;
        ASSERT_TRUE(dir.ok());
        for (size_t i = 1; i < c.files.size(); ++i)
            dir.write(c.files[i].name, c.files[i].content);
        ReadList r(dir, c.files[0].content);
        EXPECT_EQ(r.result, 1);
        for (const auto& kv : c.expected)
            EXPECT_EQ(r.get(kv.first), kv.second) << kv.first;
    }
}

TEST(SettingsRead, MissingFileLeavesTheListAlone) {
    TempDir dir;
    ASSERT_TRUE(dir.ok());
    ReadList r(dir, "kept 1\n");
    EXPECT_EQ(settings_read(&r.list, "no_such_file.txt"), 0);
    EXPECT_EQ(settings_read(&r.list, nullptr), 0);
    EXPECT_EQ(r.entries(), 1);
    EXPECT_EQ(settings_get(&r.list, nullptr), nullptr);
    settings_free(&r.list);
    EXPECT_EQ(r.list.head, nullptr);
    EXPECT_EQ(settings_get(&r.list, "kept"), nullptr);
}

TEST(SettingsGetInt, SignedConversionClampsTo32Bits) {
    struct Case {
        const char* value;
        int32_t expected;
    };
    const Case cases[] = {
        {"42", 42},
        {"-7 days", -7},
        {"+5", 5},
        {"007", 7},
        {"x", 0},
        {"- 5", 0},
        {"3x", 3},
        {"2147483647", INT32_MAX},
        {"2147483648", INT32_MAX},
        {"4294967295", INT32_MAX},
        {"99999999999999999999999999", INT32_MAX},
        {"-2147483648", INT32_MIN},
        {"-2147483649", INT32_MIN},
        {"-99999999999999999999999999", INT32_MIN},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.value);
        TempDir dir;
        ASSERT_TRUE(dir.ok());
        ReadList r(dir, std::string("n ") + c.value + "\n");
        EXPECT_EQ(settings_get_int(&r.list, "n", -3), c.expected);
        EXPECT_EQ(settings_get_int(&r.list, "absent", -3), -3);
    }
}

TEST(SettingsGeneral, NumbersUseTheUnsignedConversion) {
    struct Case {
        const char* value;
        int32_t expected;
    };
    const Case cases[] = {
        {"-1", -1},
        {"3x", 3},
        {"x", 0},
        {"0", 0},
        {"+12", 12},
        {"-0", 0},
        {"2147483648", INT32_MIN},
        {"4294967295", -1},
        {"4294967296", -1},
        {"-4294967295", 1},
        {"-4294967296", -1},
        {"99999999999999999999999", -1},
        {"-99999999999999999999999", -1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.value);
        TempDir dir;
        ASSERT_TRUE(dir.ok());
        dir.write("lcdkorvane.txt",
                  std::string("email_days ") + c.value + "\nanimate_start " + c.value + "\n");
        Loaded l;
        settings_load_general(&l.list, &l.general, &l.notices, 0);
        EXPECT_EQ(l.general.email_days, c.expected);
        EXPECT_EQ(l.general.animate_start, c.expected);
        EXPECT_TRUE(l.notice_texts().empty());
    }
}

TEST(SettingsGeneral, TextsAndLimits) {
    struct Case {
        const char* name;
        std::string content;
        std::string email, date, time;
        int32_t days, animate;
    };
    const std::string a300(300, 'a'), d40(40, 'd'), t31(31, 't');
    const Case cases[] = {
        {"defaults", "", "", "ddd yyyy-MM-dd", "HH:mm:ss", 7, 1},
        {"all set",
         "email_address me@x.org\nDate_Format  dd.MM.yyyy   \ntime_format h:mm tt\n"
         "email_days 3\nanimate_start 0\n",
         "me@x.org", "dd.MM.yyyy", "h:mm tt", 3, 0},
        {"long values cut",
         "email_address " + a300 + "\ndate_format " + d40 + "\ntime_format " + t31 + "x\n",
         std::string(255, 'a'), std::string(31, 'd'), t31, 7, 1},
        {"values at the limits stay whole",
         "email_address " + std::string(255, 'b') + "\ntime_format " + t31 + "\n",
         std::string(255, 'b'), "ddd yyyy-MM-dd", t31, 7, 1},
        {"key alone keeps the default", "animate_start\nemail_days\n", "", "ddd yyyy-MM-dd",
         "HH:mm:ss", 7, 1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        TempDir dir;
        ASSERT_TRUE(dir.ok());
        dir.write("lcdkorvane.txt", c.content);
        Loaded l;
        // Whatever the record held before is replaced by defaults.
        memset(&l.general, 'z', sizeof l.general);
        settings_load_general(&l.list, &l.general, &l.notices, 0);
        EXPECT_EQ(std::string(l.general.email_address), c.email);
        EXPECT_EQ(std::string(l.general.date_format), c.date);
        EXPECT_EQ(std::string(l.general.time_format), c.time);
        EXPECT_EQ(l.general.email_days, c.days);
        EXPECT_EQ(l.general.animate_start, c.animate);
    }
}

TEST(SettingsGeneral, StartUpNotices) {
    const std::string kMissing = "Warning: Cannot open settings file 'lcdkorvane.txt'";
    const std::string kEdit = "Please edit the 'lcdkorvane.txt' file!";
    struct Case {
        const char* name;
        bool file_exists;
        const char* content;
        std::vector<std::string> notices;
    };
    const Case cases[] = {
        {"missing file", false, "", {kMissing}},
        {"not edited", true, "not_edited 1\n", {kEdit}},
        {"not edited, any non-zero number", true, "NOT_EDITED -1\n", {kEdit}},
        {"edited", true, "not_edited 0\n", {}},
        {"not_edited without digits", true, "not_edited x\n", {}},
        {"not_edited without value", true, "not_edited\n", {}},
        {"no not_edited key", true, "email_days 3\n", {}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        TempDir dir;
        ASSERT_TRUE(dir.ok());
        if (c.file_exists)
            dir.write("lcdkorvane.txt", c.content);
        Loaded l;
        settings_load_general(&l.list, &l.general, &l.notices, 1234);
        EXPECT_EQ(l.notice_texts(), c.notices);
        for (const Notice* n = l.notices.first; n; n = n->next) {
            EXPECT_EQ(n->key, 0);
            EXPECT_EQ(n->duration, 5000);
        }
        if (!c.file_exists) {
            EXPECT_EQ(l.list.head, nullptr);
            EXPECT_STREQ(l.general.date_format, "ddd yyyy-MM-dd");
            EXPECT_EQ(l.general.email_days, 7);
        }
    }
}

TEST(SettingsGeneral, WarningsComeBeforeTheBanner) {
    TempDir dir;
    ASSERT_TRUE(dir.ok());
    Loaded l;
    settings_load_general(&l.list, &l.general, &l.notices, 0);
    post_notice(&l.notices, 0, NOTICE_BANNER, 1000, "LCDKorvane 2.6.7");
    ASSERT_EQ(l.notice_texts().size(), 2u);
    EXPECT_EQ(l.notice_texts()[0], "Warning: Cannot open settings file 'lcdkorvane.txt'");
    EXPECT_EQ(l.notice_texts()[1], "LCDKorvane 2.6.7");
}

TEST(SettingsGeneral, LoadingAgainReplacesTheList) {
    TempDir dir;
    ASSERT_TRUE(dir.ok());
    dir.write("lcdkorvane.txt", "a 1\nb 2\n");
    Loaded l;
    settings_load_general(&l.list, &l.general, &l.notices, 0);
    dir.write("lcdkorvane.txt", "c 3\n");
    settings_load_general(&l.list, &l.general, &l.notices, 0);
    EXPECT_EQ(settings_get(&l.list, "a"), nullptr);
    EXPECT_STREQ(settings_get(&l.list, "c"), "3");
}

} // namespace
