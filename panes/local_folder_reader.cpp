#include "panes/local_folder_reader.h"

#include <fcntl.h>
#include <sys/stat.h>

CLocalFolderReader::CLocalFolderReader(const QByteArray& folder)
{
    m_dir = ::opendir(folder.constData());
}

CLocalFolderReader::~CLocalFolderReader()
{
    if (m_dir)
        ::closedir(m_dir);
}

bool CLocalFolderReader::Next(FolderEntry& entry)
{
    if (!m_dir)
        return false;
    for (;;) {
        const dirent* e = ::readdir(m_dir);
        if (!e)
            return false;
        const char* name = e->d_name;
        if (name[0] == '.' && (name[1] == '\0' || (name[1] == '.' && name[2] == '\0')))
            continue;
        // A link shows as what it points to; a broken one as the link itself.
        struct stat st {};
        bool known = ::fstatat(::dirfd(m_dir), name, &st, 0) == 0
            || ::fstatat(::dirfd(m_dir), name, &st, AT_SYMLINK_NOFOLLOW) == 0;
        const bool folder = known ? S_ISDIR(st.st_mode) : e->d_type == DT_DIR;
        entry.name = QByteArray(name);
        entry.folder = folder;
        entry.size = known ? static_cast<int64_t>(st.st_size) : 0;
        entry.modified = known ? static_cast<int64_t>(st.st_mtim.tv_sec) : 0;
        return true;
    }
}
