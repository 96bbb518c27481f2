/* Test plug-in: appends one line per call to the file named by TALVEX_TEST_PLUGIN_LOG:
 * "<library file name> <hook> <first>|<second>|<third>". */
#define _GNU_SOURCE
#include "talvex_plugin.h"

#include <dlfcn.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

static int g_marker;

static void Record(const char* hook, const char* a, const char* b, const char* c)
{
    const char* path = getenv("TALVEX_TEST_PLUGIN_LOG");
    Dl_info info;
    const char* self = "?";
    if (!path)
        return;
    if (dladdr(&g_marker, &info) && info.dli_fname) {
        const char* slash = strrchr(info.dli_fname, '/');
        self = slash ? slash + 1 : info.dli_fname;
    }
    FILE* f = fopen(path, "a");
    if (!f)
        return;
    fprintf(f, "%s %s %s|%s|%s\n", self, hook, a, b, c);
    fclose(f);
}

TALVEX_PLUGIN_EXPORT int Rename(const char* oldPath, const char* newPath)
{
    Record("Rename", oldPath, newPath, "-");
    return 0;
}

#ifndef ONLY_RENAME
TALVEX_PLUGIN_EXPORT int Login(const char* text, int flag)
{
    char number[16];
    snprintf(number, sizeof number, "%d", flag);
    Record("Login", text, number, "-");
    return 0;
}

TALVEX_PLUGIN_EXPORT int Logout(const char* text, int flag)
{
    char number[16];
    snprintf(number, sizeof number, "%d", flag);
    Record("Logout", text, number, "-");
    return 0;
}

TALVEX_PLUGIN_EXPORT int Sync(const char* a, const char* b, const char* c)
{
    Record("Sync", a, b, c);
    return 0;
}

TALVEX_PLUGIN_EXPORT int Delete(const char* path, const char* unused)
{
    Record("Delete", path, unused, "-");
    return 0;
}

TALVEX_PLUGIN_EXPORT int TLXN(const char* a, const char* b, const char* c)
{
    Record("TLXN", a, b, c);
    return 0;
}

TALVEX_PLUGIN_EXPORT int DuplicationFile(const char* a, const char* b, const char* c)
{
    Record("DuplicationFile", a, b, c);
    return 0;
}
#endif
