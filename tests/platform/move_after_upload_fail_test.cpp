// Moving an uploaded file to another volume copies it; a copy that fails part-way (disk full,
// file-size limit) must leave the original where it was, byte for byte, and nothing half
// written under the move folder that could pass for the file.

#include "platform/move_after_upload.h"
#include "platform/publish_file.h"
#include "tests/common/file_size_limit.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <stdio.h>
#include <sys/stat.h>
#include <unistd.h>

namespace fs = std::filesystem;

namespace {

std::string Read(const fs::path& p)
{
    std::ifstream in(p, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

std::vector<std::string> RegularFilesBelow(const fs::path& dir)
{
    std::vector<std::string> out;
    std::error_code ec;
    for (auto it = fs::recursive_directory_iterator(dir, ec); it != fs::recursive_directory_iterator(); ++it)
        if (it->is_regular_file())
            out.push_back(it->path().string());
    return out;
}

// Two folders on different volumes (shared memory and the temporary folder), or none.
bool TwoVolumes(fs::path& source, fs::path& target)
{
    const std::string tag = "talvex-xmove-" + std::to_string(::getpid());
    source = fs::path("/dev/shm") / tag;
    target = fs::temp_directory_path() / tag;
    std::error_code ec;
    fs::create_directories(source, ec);
    if (ec)
        return false;
    fs::create_directories(target);
    struct stat a {}, b {};
    if (::stat(source.c_str(), &a) != 0 || ::stat(target.c_str(), &b) != 0 || a.st_dev == b.st_dev) {
        fs::remove_all(source, ec);
        fs::remove_all(target, ec);
        return false;
    }
    return true;
}

// Stands in for renameat2 so that files below g_farPrefix seem to be on another volume.
std::string g_farPrefix;
int FromAnotherVolume(const char* from, const char* to)
{
    if (std::string(from).rfind(g_farPrefix, 0) == 0) {
        errno = EXDEV;
        return -1;
    }
    return ::renameat2(AT_FDCWD, from, AT_FDCWD, to, RENAME_NOREPLACE);
}

// A failing copy to another volume and then a working one, from source to target.
void FailThenMove(const fs::path& source, const fs::path& target)
{
    std::string payload;
    for (int i = 0; i < 40000; ++i)
        payload += static_cast<char>('a' + i % 26);
    const fs::path file = source / "photo.jpg";
    std::ofstream(file, std::ios::binary) << payload;

    std::string result;
    const int rc = talvex::test::RunWithFileSizeLimit(8192, [&] {
        std::string why;
        const std::string moved = talvex::MoveAfterUpload(file.string(), target.string(), "album/photo.jpg", &why);
        if (!moved.empty())
            return 11; // reported as moved
        return why.empty() ? 12 : 0;
    });
    EXPECT_EQ(rc, 0) << "the move must fail and say why (11: reported as moved, 12: no reason)";
    EXPECT_EQ(Read(file), payload);
    const std::vector<std::string> left = RegularFilesBelow(target);
    EXPECT_TRUE(left.empty()) << left[0] << " is a partial copy";

    // Without the limit the same move works and removes the original.
    const std::string moved = talvex::MoveAfterUpload(file.string(), target.string(), "album/photo.jpg");
    EXPECT_EQ(moved, (target / "album" / "photo.jpg").string());
    EXPECT_EQ(Read(moved), payload);
    EXPECT_FALSE(fs::exists(file));
}

} // namespace

TEST(MoveAfterUploadAcrossVolumes, ACopyThatFailsPartWayKeepsTheOriginalAndLeavesNoPart)
{
    // On one volume, the rename saying "another volume"...
    const fs::path dir = fs::temp_directory_path() / ("talvex-xmove-one-" + std::to_string(::getpid()));
    std::error_code ec;
    fs::remove_all(dir, ec);
    fs::create_directories(dir / "far");
    fs::create_directories(dir / "keep");
    g_farPrefix = (dir / "far").string() + "/";
    talvex::SetRenameNoReplaceCallForTesting(&FromAnotherVolume);
    {
        SCOPED_TRACE("one volume");
        FailThenMove(dir / "far", dir / "keep");
    }
    talvex::SetRenameNoReplaceCallForTesting(nullptr);
    fs::remove_all(dir, ec);

    // ... and across two real volumes when there are two.
    fs::path source, target;
    if (!TwoVolumes(source, target)) {
        std::printf("no second volume: the move across two real volumes is not checked\n");
        return;
    }
    {
        SCOPED_TRACE("two volumes");
        FailThenMove(source, target);
    }
    fs::remove_all(source, ec);
    fs::remove_all(target, ec);
}
