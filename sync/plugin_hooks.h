#pragma once
// CPluginHooks: the plug-in libraries of the program folder and their hook functions
// (see sync/talvex_plugin.h for what a plug-in exports).
//
// Load opens every shared library of the folder (*.so, or *.dll on Windows) in the order the
// file system lists them, by its full path, and looks up the seven hook names in each; Call
// runs every hook of one kind in load order; Unload closes the libraries in load order.
// A library that does not load is skipped, and so is a library or a folder that the group or
// other users may write to or that belongs to another user than root or the one running the
// program (a line in the log says so). Each hook name holds at most kSlots hooks: an
// eleventh library exporting the same name stays loaded, but that hook is not called
// (a line in the log says so). Qt-free: the platform loader is used directly.

#include <cstdint>
#include <string>
#include <vector>

namespace talvex {

class CPluginHooks {
public:
    enum Kind {
        kLogin = 2,
        kLogout = 3,
        kSync = 4,
        kDelete = 5,
        kRename = 6,
        kTlxn = 7,
        kDuplicationFile = 8,
    };
    static constexpr int kRows = 20;
    static constexpr int kSlots = 10;
    static constexpr int kNames = 7;

    CPluginHooks() = default;
    ~CPluginHooks();
    CPluginHooks(const CPluginHooks&) = delete;
    CPluginHooks& operator=(const CPluginHooks&) = delete;

    // programDir: the folder of the executable. A previous Load is undone first.
    void Load(const std::string& programDir);
    // The libraries of each folder in turn (an installation's plug-in folder after the
    // program's own); a previous Load is undone first.
    void Load(const std::vector<std::string>& dirs);
    // Calls every hook of the kind; kinds outside 2 to 8 do nothing. Kinds 2 and 3 get the
    // first text and 1, kinds 5 and 6 the first two texts, kinds 4, 7 and 8 all three.
    void Call(int kind, const std::string& first = {}, const std::string& second = {},
              const std::string& third = {}) const;
    void Unload();

    // Full paths of the loaded libraries, in load order.
    const std::vector<std::string>& ModulePaths() const { return m_paths; }
    // Number of hooks of the kind (0 for kinds outside 2 to 8).
    int Count(int kind) const;

private:
    using Hook = void (*)();
    static int CountIndex(int row);

    std::vector<void*> m_modules;
    std::vector<std::string> m_paths;
    Hook m_hooks[kRows][kSlots] = {};
    // Login, Logout, Sync, Rename, Delete, TLXN, DuplicationFile: Rename's count comes before
    // Delete's while their rows are the other way round.
    std::int32_t m_counts[kNames] = {};
};

} // namespace talvex
