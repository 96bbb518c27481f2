#include "sync/plugin_hooks.h"

#include "platform/log.h"
#include "platform/plugin_dirs.h"
#include "sync/talvex_plugin.h"

#include <cstring>

#if defined(_WIN32)
#include <windows.h>
#else
#include <dirent.h>
#include <dlfcn.h>
#endif

namespace talvex {
namespace {

// Export names by row.
constexpr const char* kHookNames[CPluginHooks::kNames] = {
    "Login", "Logout", "Sync", "Delete", "Rename", "TLXN", "DuplicationFile",
};

#if defined(_WIN32)
constexpr const char* kLibrarySuffix = ".dll";
#else
constexpr const char* kLibrarySuffix = ".so";
#endif

bool HasLibrarySuffix(const std::string& name)
{
    const size_t n = std::strlen(kLibrarySuffix);
    if (name.size() <= n)
        return false;
#if defined(_WIN32)
    return _stricmp(name.c_str() + name.size() - n, kLibrarySuffix) == 0;
#else
    return name.compare(name.size() - n, n, kLibrarySuffix) == 0;
#endif
}

// Folder entries in the order the file system lists them.
std::vector<std::string> ListLibraries(const std::string& dir)
{
    std::vector<std::string> names;
#if defined(_WIN32)
    WIN32_FIND_DATAA data;
    HANDLE find = ::FindFirstFileA((dir + "*.dll").c_str(), &data);
    if (find == INVALID_HANDLE_VALUE)
        return names;
    do {
        const std::string name = data.cFileName;
        if (name != "." && name != "..")
            names.push_back(name);
    } while (::FindNextFileA(find, &data));
    ::FindClose(find);
#else
    DIR* d = ::opendir(dir.c_str());
    if (!d)
        return names;
    while (const dirent* entry = ::readdir(d)) {
        const std::string name = entry->d_name;
        if (name != "." && name != ".." && HasLibrarySuffix(name))
            names.push_back(name);
    }
    ::closedir(d);
#endif
    return names;
}

void* OpenLibrary(const std::string& path)
{
#if defined(_WIN32)
    return reinterpret_cast<void*>(::LoadLibraryA(path.c_str()));
#else
    return ::dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
#endif
}

void CloseLibrary(void* module)
{
#if defined(_WIN32)
    ::FreeLibrary(reinterpret_cast<HMODULE>(module));
#else
    ::dlclose(module);
#endif
}

template <typename Fn>
Fn LookUp(void* module, const char* name)
{
#if defined(_WIN32)
    FARPROC proc = ::GetProcAddress(reinterpret_cast<HMODULE>(module), name);
    Fn fn = nullptr;
    static_assert(sizeof fn == sizeof proc);
    std::memcpy(&fn, &proc, sizeof fn);
    return fn;
#else
    void* symbol = ::dlsym(module, name);
    Fn fn = nullptr;
    static_assert(sizeof fn == sizeof symbol);
    std::memcpy(&fn, &symbol, sizeof fn);
    return fn;
#endif
}

} // namespace

CPluginHooks::~CPluginHooks()
{
    Unload();
}

int CPluginHooks::CountIndex(int row)
{
    static constexpr int kIndex[kNames] = {0, 1, 2, 4, 3, 5, 6};
    return kIndex[row];
}

int CPluginHooks::Count(int kind) const
{
    if (kind < kLogin || kind > kDuplicationFile)
        return 0;
    return m_counts[CountIndex(kind - kLogin)];
}

void CPluginHooks::Load(const std::string& programDir) { Load(std::vector<std::string>{programDir}); }

void CPluginHooks::Load(const std::vector<std::string>& dirs)
{
    Unload();
    for (std::string dir : dirs) {
#if defined(_WIN32)
        if (!dir.empty() && dir.back() != '\\' && dir.back() != '/')
            dir += '\\';
#else
        if (!dir.empty() && dir.back() != '/')
            dir += '/';
#endif
#if !defined(_WIN32)
        // Code that someone else could have put there is never run.
        if (const std::string why = UntrustedPluginReason(dir); !why.empty()) {
            Log("Plug-in folder %s not used: %s\n", dir.c_str(), why.c_str());
            continue;
        }
#endif
        // Every library is opened by its full path: a bare name would let the loader pick up a
        // library of the same name from somewhere else on its search path.
        for (const std::string& name : ListLibraries(dir)) {
            const std::string path = dir + name;
#if !defined(_WIN32)
            if (const std::string why = UntrustedPluginReason(path); !why.empty()) {
                Log("Plug-in %s not loaded: %s\n", path.c_str(), why.c_str());
                continue;
            }
#endif
            void* module = OpenLibrary(path);
            if (!module)
                continue;
            m_modules.push_back(module);
            m_paths.push_back(path);
        }
    }
    for (size_t m = 0; m < m_modules.size(); ++m) {
        for (int row = 0; row < kNames; ++row) {
            const Hook hook = LookUp<Hook>(m_modules[m], kHookNames[row]);
            if (!hook)
                continue;
            std::int32_t& count = m_counts[CountIndex(row)];
            if (count >= kSlots) {
                Log("Plug-in %s: hook %s not used, %d libraries already provide it\n", m_paths[m].c_str(),
                    kHookNames[row], kSlots);
                continue;
            }
            m_hooks[row][count++] = hook;
        }
    }
    if (!m_modules.empty())
        Log("Plug-ins loaded: %zu\n", m_modules.size());
}

void CPluginHooks::Call(int kind, const std::string& first, const std::string& second,
                        const std::string& third) const
{
    if (kind < kLogin || kind > kDuplicationFile)
        return;
    const int row = kind - kLogin;
    const int count = m_counts[CountIndex(row)];
    for (int slot = 0; slot < count; ++slot) {
        const Hook hook = m_hooks[row][slot];
        if (!hook)
            continue;
        switch (kind) {
        case kLogin:
        case kLogout:
            reinterpret_cast<TalvexTextFlagHook>(hook)(first.c_str(), 1);
            break;
        case kDelete:
        case kRename:
            reinterpret_cast<TalvexTwoTextHook>(hook)(first.c_str(), second.c_str());
            break;
        default:
            reinterpret_cast<TalvexThreeTextHook>(hook)(first.c_str(), second.c_str(), third.c_str());
            break;
        }
    }
}

void CPluginHooks::Unload()
{
    for (int row = 0; row < kRows; ++row)
        for (int slot = 0; slot < kSlots; ++slot)
            m_hooks[row][slot] = nullptr;
    for (auto& count : m_counts)
        count = 0;
    for (void* module : m_modules)
        CloseLibrary(module);
    m_modules.clear();
    m_paths.clear();
}

} // namespace talvex
