#include "sync/plugin_hooks.h"

#include "platform/log.h"

#include <gtest/gtest.h>

#include <dirent.h>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <unistd.h>

using talvex::CPluginHooks;
namespace fs = std::filesystem;

namespace {

class PluginHooksTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        std::string tmpl = (fs::temp_directory_path() / "talvex-plugins-XXXXXX").string();
        dir = ::mkdtemp(tmpl.data());
        log = (dir / "calls.log").string();
        ::setenv("TALVEX_TEST_PLUGIN_LOG", log.c_str(), 1);
    }
    void TearDown() override
    {
        ::unsetenv("TALVEX_TEST_PLUGIN_LOG");
        fs::remove_all(dir);
    }

    void Place(const char* built, const std::string& name) { fs::copy_file(built, dir / name); }

    std::vector<std::string> Calls() const
    {
        std::vector<std::string> lines;
        std::ifstream in(log);
        for (std::string line; std::getline(in, line);)
            lines.push_back(line);
        fs::remove(log);
        return lines;
    }

    // The given names in the order the folder lists them.
    std::vector<std::string> InFolderOrder(const std::vector<std::string>& names) const
    {
        std::vector<std::string> out;
        DIR* d = ::opendir(dir.c_str());
        while (const dirent* e = ::readdir(d))
            for (const auto& n : names)
                if (n == e->d_name)
                    out.push_back(n);
        ::closedir(d);
        return out;
    }

    fs::path dir;
    std::string log;
};

} // namespace

TEST_F(PluginHooksTest, EmptyOrMissingFolderCallsNothing)
{
    CPluginHooks hooks;
    hooks.Load(dir.string());
    EXPECT_TRUE(hooks.ModulePaths().empty());
    for (int kind = 0; kind < 12; ++kind) {
        EXPECT_EQ(hooks.Count(kind), 0);
        hooks.Call(kind, "a", "b", "c");
    }
    hooks.Load((dir / "absent").string());
    EXPECT_TRUE(hooks.ModulePaths().empty());
    EXPECT_TRUE(Calls().empty());
}

TEST_F(PluginHooksTest, LoadsLibrariesSkipsOthersAndCallsByKind)
{
    Place(TEST_PLUGIN_FULL, "full.so");
    Place(TEST_PLUGIN_RENAME, "rename.so");
    fs::create_directory(dir / "folder.so");     // matches the pattern, cannot load
    std::ofstream(dir / "junk.so") << "not a library";
    Place(TEST_PLUGIN_FULL, "other.txt");        // a library, but not by its name

    CPluginHooks hooks;
    hooks.Load(dir.string() + "/");
    const auto order = InFolderOrder({"full.so", "rename.so"});
    ASSERT_EQ(hooks.ModulePaths().size(), 2u);
    for (size_t i = 0; i < order.size(); ++i) {
        EXPECT_EQ(fs::path(hooks.ModulePaths()[i]).filename(), order[i]);
    }
    EXPECT_EQ(hooks.Count(CPluginHooks::kRename), 2);
    EXPECT_EQ(hooks.Count(CPluginHooks::kDelete), 1);
    for (int kind = CPluginHooks::kLogin; kind <= CPluginHooks::kDuplicationFile; ++kind) {
        if (kind != CPluginHooks::kRename) {
            EXPECT_EQ(hooks.Count(kind), 1) << kind;
        }
    }

    for (int kind = 0; kind <= 10; ++kind)
        hooks.Call(kind, "/set/root/a.txt", "/set/root/b.txt", "third");
    std::vector<std::string> expected = {
        "full.so Login /set/root/a.txt|1|-",
        "full.so Logout /set/root/a.txt|1|-",
        "full.so Sync /set/root/a.txt|/set/root/b.txt|third",
        "full.so Delete /set/root/a.txt|/set/root/b.txt|-",
    };
    for (const auto& name : order)
        expected.push_back(name + " Rename /set/root/a.txt|/set/root/b.txt|-");
    expected.push_back("full.so TLXN /set/root/a.txt|/set/root/b.txt|third");
    expected.push_back("full.so DuplicationFile /set/root/a.txt|/set/root/b.txt|third");
    EXPECT_EQ(Calls(), expected);

    // Texts may be empty; Delete gets an empty second text from its callers.
    hooks.Call(CPluginHooks::kDelete, "/x", "");
    EXPECT_EQ(Calls(), std::vector<std::string>{"full.so Delete /x||-"});

    hooks.Unload();
    EXPECT_TRUE(hooks.ModulePaths().empty());
    EXPECT_EQ(hooks.Count(CPluginHooks::kRename), 0);
    hooks.Call(CPluginHooks::kRename, "a", "b");
    EXPECT_TRUE(Calls().empty());
}

TEST_F(PluginHooksTest, AtMostTenHooksPerNameInLoadOrder)
{
    std::vector<std::string> names;
    for (int i = 0; i < 12; ++i) {
        names.push_back("copy" + std::to_string(i) + ".so");
        Place(TEST_PLUGIN_FULL, names.back());
    }
    CPluginHooks hooks;
    hooks.Load(dir.string());
    ASSERT_EQ(hooks.ModulePaths().size(), 12u); // all stay loaded
    EXPECT_EQ(hooks.Count(CPluginHooks::kDelete), CPluginHooks::kSlots);
    hooks.Call(CPluginHooks::kDelete, "/gone", "");
    const auto order = InFolderOrder(names);
    std::vector<std::string> expected;
    for (int i = 0; i < CPluginHooks::kSlots; ++i)
        expected.push_back(order[static_cast<size_t>(i)] + " Delete /gone||-");
    EXPECT_EQ(Calls(), expected);
}

TEST_F(PluginHooksTest, SeveralFoldersAreLoadedInTurnAndAReloadStartsAfresh)
{
    fs::create_directories(dir / "bin");
    fs::create_directories(dir / "lib" / "talvex" / "plugins");
    fs::copy_file(TEST_PLUGIN_FULL, dir / "bin" / "own.so");
    fs::copy_file(TEST_PLUGIN_FULL, dir / "lib" / "talvex" / "plugins" / "installed.so");
    CPluginHooks hooks;
    hooks.Load(std::vector<std::string>{(dir / "bin").string(), (dir / "lib/talvex/plugins").string()});
    ASSERT_EQ(hooks.ModulePaths().size(), 2u);
    EXPECT_EQ(hooks.ModulePaths()[0], (dir / "bin" / "own.so").string()); // the program's own first
    EXPECT_EQ(hooks.Count(CPluginHooks::kSync), 2);
    hooks.Load((dir / "bin").string());
    EXPECT_EQ(hooks.Count(CPluginHooks::kSync), 1);
}

TEST_F(PluginHooksTest, CodeOthersCouldHaveWrittenIsNeverLoaded)
{
    const fs::path logDir = dir / "log";
    fs::create_directories(logDir);
    talvex::SetLogFolderForTesting(logDir.string());
    auto logText = [&] {
        std::string text;
        for (const auto& e : fs::directory_iterator(logDir)) {
            std::ifstream in(e.path());
            text += std::string(std::istreambuf_iterator<char>(in), {});
        }
        return text;
    };
    const fs::path plugins = dir / "plugins";
    fs::create_directories(plugins);
    fs::permissions(plugins, fs::perms::owner_all | fs::perms::group_read | fs::perms::group_exec);
    fs::copy_file(TEST_PLUGIN_FULL, plugins / "full.so");
    const fs::perms library = fs::perms::owner_all | fs::perms::group_read | fs::perms::group_exec
                              | fs::perms::others_read | fs::perms::others_exec;
    fs::permissions(plugins / "full.so", library);

    CPluginHooks hooks;
    hooks.Load(plugins.string());
    ASSERT_EQ(hooks.ModulePaths().size(), 1u); // as shipped: the owner's, nobody else's to write

    // A library the group (or anyone) may write to.
    for (fs::perms wider : {fs::perms::group_write, fs::perms::others_write}) {
        fs::permissions(plugins / "full.so", library | wider);
        hooks.Load(plugins.string());
        EXPECT_TRUE(hooks.ModulePaths().empty());
        EXPECT_EQ(hooks.Count(CPluginHooks::kLogin), 0);
    }
    EXPECT_NE(logText().find("Plug-in " + (plugins / "full.so").string() + " not loaded"), std::string::npos) << logText();
    fs::permissions(plugins / "full.so", library);

    // A folder the group may write to: someone could have put any library there.
    fs::permissions(plugins, fs::perms::group_write, fs::perm_options::add);
    hooks.Load(plugins.string());
    EXPECT_TRUE(hooks.ModulePaths().empty());
    EXPECT_NE(logText().find("Plug-in folder " + plugins.string() + "/ not used"), std::string::npos) << logText();
    fs::permissions(plugins, fs::perms::group_write, fs::perm_options::remove);

    // A library of another user (only root can hand one over).
    if (::geteuid() == 0) {
        ASSERT_EQ(::chown((plugins / "full.so").c_str(), 65534, 65534), 0);
        hooks.Load(plugins.string());
        EXPECT_TRUE(hooks.ModulePaths().empty());
        ASSERT_EQ(::chown((plugins / "full.so").c_str(), 0, 0), 0);
    }
    hooks.Load(plugins.string());
    EXPECT_EQ(hooks.ModulePaths().size(), 1u);
    EXPECT_TRUE(Calls().empty());
}
