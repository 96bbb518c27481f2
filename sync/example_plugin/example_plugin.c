/* Example Talvex plug-in: reports deleted, renamed and synchronised files on standard error.
 * Build it as a shared library and place it in the program's folder. */
#include "talvex_plugin.h"

#include <stdio.h>

TALVEX_PLUGIN_EXPORT int Delete(const char* path, const char* unused)
{
    (void)unused;
    fprintf(stderr, "example plug-in: deleted %s\n", path);
    return 0;
}

TALVEX_PLUGIN_EXPORT int Rename(const char* oldPath, const char* newPath)
{
    fprintf(stderr, "example plug-in: renamed %s to %s\n", oldPath, newPath);
    return 0;
}

TALVEX_PLUGIN_EXPORT int Sync(const char* first, const char* second, const char* third)
{
    fprintf(stderr, "example plug-in: synchronised %s %s %s\n", first, second, third);
    return 0;
}
