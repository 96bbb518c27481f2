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

/* Called once the server has confirmed an uploaded file, for example
 *   Sync("/S1/demo/backup/photos/a.jpg", "", "backup/photos/a.jpg")
 * for photos/a.jpg uploaded into /backup/ by user "demo" of service set "S1": the remote name
 * is from the account's root folder, without a leading "/". The middle text is always empty. */
TALVEX_PLUGIN_EXPORT int Sync(const char* serverPath, const char* unused, const char* remoteName)
{
    (void)unused;
    fprintf(stderr, "example plug-in: uploaded %s (server path %s)\n", remoteName, serverPath);
    return 0;
}
