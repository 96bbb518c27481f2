/*
 * Talvex plug-in interface.
 *
 * A plug-in is a shared library (*.so on Linux, *.dll on Windows) placed in the program's
 * folder. At start-up Talvex loads every such library and looks up the hook functions below
 * by their exact names; a plug-in exports any subset of them. Hooks are called on the
 * user-interface thread, one after the other, so a hook should return quickly.
 *
 * Texts are zero-terminated UTF-8 strings that stay valid only for the duration of the call;
 * copy what you want to keep. A hook's return value is ignored (return 0).
 *
 * What Talvex passes:
 *   Delete           full server path of the deleted file ("/<service set><user root><path>"), ""
 *   Rename           full server path of the old name, full server path of the new name
 *   Sync             after the server confirmed an uploaded file: its full server path
 *                    ("/<service set><user root><path>"), an empty text, and its remote name
 *                    ("<path>": from the account's root folder, without a leading "/", as the
 *                    completed page shows it)
 *   Login, Logout    reserved: a text and the integer 1 (not called at present)
 *   TLXN, DuplicationFile  reserved: three texts (not called at present)
 *
 * At most ten plug-ins are called for each hook name; further ones are loaded but not called.
 *
 * Example: user "demo" of service set "S1" uploads photos/a.jpg into the remote folder
 * /backup/; once the server has confirmed it, every plug-in's Sync is called as
 *   Sync("/S1/demo/backup/photos/a.jpg", "", "backup/photos/a.jpg");
 * (sync/example_plugin/example_plugin.c prints these texts).
 */
#ifndef TALVEX_PLUGIN_H
#define TALVEX_PLUGIN_H

#if defined(_WIN32)
#define TALVEX_PLUGIN_EXPORT __declspec(dllexport)
#else
#define TALVEX_PLUGIN_EXPORT __attribute__((visibility("default")))
#endif

#ifdef __cplusplus
extern "C" {
#endif

typedef int (*TalvexTextFlagHook)(const char* text, int flag);
typedef int (*TalvexTwoTextHook)(const char* first, const char* second);
typedef int (*TalvexThreeTextHook)(const char* first, const char* second, const char* third);

TALVEX_PLUGIN_EXPORT int Login(const char* text, int flag);
TALVEX_PLUGIN_EXPORT int Logout(const char* text, int flag);
TALVEX_PLUGIN_EXPORT int Sync(const char* first, const char* second, const char* third);
TALVEX_PLUGIN_EXPORT int Delete(const char* path, const char* unused);
TALVEX_PLUGIN_EXPORT int Rename(const char* oldPath, const char* newPath);
TALVEX_PLUGIN_EXPORT int TLXN(const char* first, const char* second, const char* third);
TALVEX_PLUGIN_EXPORT int DuplicationFile(const char* first, const char* second, const char* third);

#ifdef __cplusplus
}
#endif

#endif /* TALVEX_PLUGIN_H */
