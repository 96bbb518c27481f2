// Plug-in folders of a program (its own folder, and the installation's plug-in folder when
// the program sits in a bin folder) and where an installed copy keeps its data.

#include "platform/plugin_dirs.h"
#include "platform/workdir.h"

#include <cstdlib>
#include <filesystem>
#include <unistd.h>

#include <gtest/gtest.h>

using talvex::PluginDirs;
using Dirs = std::vector<std::string>;

TEST(PluginDirs, InstalledProgramGetsItsFolderThenThePrefixPluginFolder)
{
    EXPECT_EQ(PluginDirs("/usr/bin/"), (Dirs{"/usr/bin/", "/usr/lib/talvex/plugins/"}));
    EXPECT_EQ(PluginDirs("/usr/local/bin/"), (Dirs{"/usr/local/bin/", "/usr/local/lib/talvex/plugins/"}));
    EXPECT_EQ(PluginDirs("/opt/talvex/bin/"), (Dirs{"/opt/talvex/bin/", "/opt/talvex/lib/talvex/plugins/"}));
    // A prefix of "/" (a program in /bin) still names an absolute folder.
    EXPECT_EQ(PluginDirs("/bin/"), (Dirs{"/bin/", "/lib/talvex/plugins/"}));
}

TEST(PluginDirs, SpellingsOfTheSameFolderGiveTheSameAnswer)
{
    const Dirs expected{"/usr/bin/", "/usr/lib/talvex/plugins/"};
    for (const char* dir : {"/usr/bin", "/usr/bin/", "/usr/bin//", "/usr//bin/", "/usr/bin/.", "/usr/./bin/",
                            "/usr/share/../bin/"})
        EXPECT_EQ(PluginDirs(dir), expected) << dir;
}

TEST(PluginDirs, ProgramOutsideABinFolderHasOnlyItsOwnFolder)
{
    EXPECT_EQ(PluginDirs("/home/kim/talvex/build/app/"), (Dirs{"/home/kim/talvex/build/app/"}));
    EXPECT_EQ(PluginDirs("/home/kim/talvex/build/app"), (Dirs{"/home/kim/talvex/build/app/"}));
    // Only a folder named exactly "bin" marks an installation.
    EXPECT_EQ(PluginDirs("/usr/sbin/"), (Dirs{"/usr/sbin/"}));
    EXPECT_EQ(PluginDirs("/srv/cabin/"), (Dirs{"/srv/cabin/"}));
    EXPECT_EQ(PluginDirs("/srv/bin.old/"), (Dirs{"/srv/bin.old/"}));
    EXPECT_EQ(PluginDirs("/usr/bin/.."), (Dirs{"/usr/"}));
    EXPECT_EQ(PluginDirs("/"), (Dirs{"/"}));
}

TEST(PluginDirs, EmptyProgramFolderGivesNoFolder)
{
    EXPECT_TRUE(PluginDirs("").empty());
}

TEST(PluginDirs, RelativeProgramFolderStaysRelative)
{
    EXPECT_EQ(PluginDirs("./"), (Dirs{"./"}));
    EXPECT_EQ(PluginDirs("bin"), (Dirs{"bin/", "lib/talvex/plugins/"}));
    EXPECT_EQ(PluginDirs("stage/bin/"), (Dirs{"stage/bin/", "stage/lib/talvex/plugins/"}));
}

TEST(WorkingFolder, AnInstalledCopyKeepsItsDataInTheUsersFolderEvenWhereItCouldWrite)
{
    const std::filesystem::path root = std::filesystem::temp_directory_path() / ("talvex-wd-" + std::to_string(::getpid()));
    std::filesystem::create_directories(root / "prefix" / "bin");
    std::filesystem::create_directories(root / "build" / "app");
    ::setenv("XDG_DATA_HOME", (root / "data").c_str(), 1);
    // A build tree it can write into is its own working folder.
    EXPECT_EQ(talvex::ResolveAppDir((root / "build" / "app").string()), (root / "build" / "app").string() + "/");
    // <prefix>/bin is writable here, yet the data go to the user's folder.
    EXPECT_EQ(talvex::ResolveAppDir((root / "prefix" / "bin").string()), (root / "data" / "talvex").string() + "/");
    EXPECT_TRUE(std::filesystem::is_directory(root / "data" / "talvex"));
    std::filesystem::remove_all(root);
}
