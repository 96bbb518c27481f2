// Scans the sources for the calls that take a string id and checks that each id is in the
// table, so that a mistyped id is caught before a user sees an empty message box.

#include "res/string_table.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <regex>
#include <sstream>

namespace fs = std::filesystem;

TEST(StringTable, EveryIdTheCodeAsksForExists)
{
    const std::regex call(
        R"((?:\bStr|\bLoadString|\bFormatString|\bShowMessage|\bAskYesNo|\bSetDlgItemText)\s*\(\s*(?:[A-Za-z_][\w:.>-]*\s*,\s*)?(\d{2,5})\s*[,)])");
    int checked = 0;
    for (const char* folder : {"app", "sync", "panes", "accounts", "drm", "ui", "cli", "protocol"}) {
        const fs::path dir = fs::path(TALVEX_SOURCE_DIR) / folder;
        if (!fs::exists(dir))
            continue;
        for (const auto& entry : fs::recursive_directory_iterator(dir)) {
            const auto ext = entry.path().extension();
            if (ext != ".cpp" && ext != ".h")
                continue;
            std::ifstream in(entry.path());
            std::stringstream text;
            text << in.rdbuf();
            const std::string source = text.str();
            for (std::sregex_iterator it(source.begin(), source.end(), call), end; it != end; ++it) {
                const unsigned id = static_cast<unsigned>(std::stoul((*it)[1].str()));
                EXPECT_TRUE(talvex::HasString(id)) << entry.path() << " asks for string " << id;
                ++checked;
            }
        }
    }
    EXPECT_GT(checked, 10);
}
