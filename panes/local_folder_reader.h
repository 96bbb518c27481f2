#pragma once
// Reads one local folder entry by entry, so that a large folder can be read in pieces between
// other window events. "." and ".." are left out; every other entry is given, whatever it is.

#include "panes/local_list_model.h"

#include <QByteArray>

#include <dirent.h>

class CLocalFolderReader {
public:
    // folder: native bytes, ending in "/".
    explicit CLocalFolderReader(const QByteArray& folder);
    ~CLocalFolderReader();
    CLocalFolderReader(const CLocalFolderReader&) = delete;
    CLocalFolderReader& operator=(const CLocalFolderReader&) = delete;

    bool IsOpen() const { return m_dir != nullptr; }
    // The next entry; false at the end of the folder (or when it cannot be read further).
    bool Next(FolderEntry& entry);

private:
    DIR* m_dir = nullptr;
};
