#include "platform/move_after_upload.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <unistd.h>

namespace fs = std::filesystem;

namespace {
void Touch(const fs::path& p, const std::string& text = "x")
{
    fs::create_directories(p.parent_path());
    std::ofstream(p) << text;
}
} // namespace

TEST(MoveAfterUpload, TakenNamesGetTheNextFreeNumberAfterTheExtension)
{
    const fs::path dir = fs::temp_directory_path() / ("talvex-move-" + std::to_string(::getpid()));
    fs::remove_all(dir);
    Touch(dir / "src" / "a.txt", "payload");
    Touch(dir / "keep" / "docs" / "a.txt");
    Touch(dir / "keep" / "docs" / "a.txt_[1]");

    const std::string moved = talvex::MoveAfterUpload((dir / "src" / "a.txt").string(), (dir / "keep").string(), "docs/a.txt");
    EXPECT_EQ(moved, (dir / "keep" / "docs" / "a.txt_[2]").string());
    EXPECT_FALSE(fs::exists(dir / "src" / "a.txt"));
    std::ifstream in(moved);
    std::string text;
    in >> text;
    EXPECT_EQ(text, "payload");

    // Missing folders are made; a remote name that climbs out is refused and the file stays.
    Touch(dir / "src" / "b.txt");
    EXPECT_EQ(talvex::MoveAfterUpload((dir / "src" / "b.txt").string(), (dir / "new").string(), "x/y/b.txt"),
              (dir / "new" / "x" / "y" / "b.txt").string());
    Touch(dir / "src" / "c.txt");
    std::string why;
    EXPECT_EQ(talvex::MoveAfterUpload((dir / "src" / "c.txt").string(), (dir / "keep").string(), "../../c.txt", &why), "");
    EXPECT_FALSE(why.empty());
    EXPECT_TRUE(fs::exists(dir / "src" / "c.txt"));
    fs::remove_all(dir);
}
