// Every report site of the error log names a line number of its own that stays put
// when the file is edited, so a line of "errors.txt" keeps pointing at one site.
#include <gtest/gtest.h>

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
