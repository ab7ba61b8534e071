// Every report site of the error log names a line number of its own that stays put
// when the file is edited, so a line of "errors.txt" keeps pointing at one site; and
// every site clears the system error code right after its report, so the report that
// follows cannot carry a cause left over from this one.
#include <gtest/gtest.h>

#include <algorithm>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

namespace {

namespace fs = std::filesystem;

// src/ of this checkout, found from this file's own path (tests/unit/...).
fs::path source_root() {
    return fs::path(__FILE__).parent_path().parent_path().parent_path() / "src";
}

// The statement that starts at `at` (a call's name): up to its closing ");" at depth 0.
size_t statement_end(const std::string& text, size_t at) {
    int depth = 0;
    bool quoted = false;
    for (size_t i = at; i < text.size(); ++i) {
        char c = text[i];
        if (quoted) {
            if (c == '\\')
                ++i;
            else if (c == '"')
                quoted = false;
            continue;
        }
        if (c == '"')
            quoted = true;
        else if (c == '(')
            ++depth;
        else if (c == ')')
            --depth;
        else if (c == ';' && depth == 0)
            return i + 1;
    }
    return std::string::npos;
}

// The first 40 characters of the statement after `at`.
std::string next_statement(const std::string& text, size_t at) {
    size_t i = text.find_first_not_of(" \t\r\n", at);
    return i == std::string::npos ? std::string() : text.substr(i, 40);
}

struct Site {
    std::string where, next;
};

// Every call of log_error (or of a module host's log, which reports with the code of
// the moment) in src/, with the statement that follows it.
std::vector<Site> report_sites(int* files) {
    std::vector<Site> sites;
    for (const auto& entry : fs::recursive_directory_iterator(source_root())) {
        const std::string ext = entry.path().extension().string();
        if (ext != ".cpp")
            continue;
        ++*files;
        std::ifstream in(entry.path());
        std::stringstream buf;
        buf << in.rdbuf();
        const std::string text = buf.str();
        for (size_t at = text.find("log_error("); at != std::string::npos;
             at = text.find("log_error(", at + 1)) {
            const size_t line_start = text.rfind('\n', at) + 1;
            const std::string before = text.substr(line_start, at - line_start);
            // Declarations and definitions of log_error itself are no report.
            if (before.find_first_not_of(" \t") != std::string::npos)
                continue;
            const size_t end = statement_end(text, at);
            if (end == std::string::npos)
                continue;
            const int line = 1 + static_cast<int>(std::count(text.begin(), text.begin() + at, '\n'));
            sites.push_back({fs::relative(entry.path(), source_root()).string() + ":" +
                                 std::to_string(line),
                             next_statement(text, end)});
        }
    }
    return sites;
}

TEST(LogSites, EverySiteClearsTheSystemErrorCodeAfterItsReport) {
    int files = 0;
    const std::vector<Site> sites = report_sites(&files);
    EXPECT_GT(files, 20);
    EXPECT_GT(sites.size(), 20u);
    std::ostringstream bad;
    for (const Site& s : sites) {
        const bool clears = s.next.rfind("SetLastError(0);", 0) == 0 ||
                            s.next.rfind("clear_system_error();", 0) == 0;
        if (!clears)
            bad << s.where << ": followed by '" << s.next << "'\n";
    }
    EXPECT_TRUE(bad.str().empty())
        << "got report sites that leave the system error code set, expected each followed by "
           "SetLastError(0) or clear_system_error():\n"
        << bad.str();
}

TEST(LogSites, NoSitePassesTheCompilersLineNumber) {
    const fs::path root = source_root();
    ASSERT_TRUE(fs::is_directory(root)) << root;
    std::vector<std::string> found;
    int files = 0;
    for (const auto& entry : fs::recursive_directory_iterator(root)) {
        const std::string ext = entry.path().extension().string();
        if (ext != ".cpp" && ext != ".h")
            continue;
        ++files;
        std::ifstream in(entry.path());
        std::string text;
        int number = 0;
        while (std::getline(in, text)) {
            ++number;
            if (text.find("__LINE__") != std::string::npos)
                found.push_back(fs::relative(entry.path(), root).string() + ":" +
                                std::to_string(number) + ": " + text);
        }
    }
    EXPECT_GT(files, 20);
    std::ostringstream all;
    for (const std::string& f : found)
        all << f << "\n";
    EXPECT_TRUE(found.empty()) << "got report sites with __LINE__, expected fixed numbers:\n"
                               << all.str();
}

} // namespace
