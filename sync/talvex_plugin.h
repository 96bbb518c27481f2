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
 *   Sync             the three texts of a synchronisation notice: number, kind and path
 *   Login, Logout    reserved: a text and the integer 1 (not called at present)
 *   TLXN, DuplicationFile  reserved: three texts (not called at present)
 *
 * At most ten plug-ins are called for each hook name; further ones are loaded but not called.
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
