#pragma once
// An output file written beside its final name and renamed into place only when complete.
// Until Commit() succeeds the final name is never touched; a destroyed, uncommitted output
// removes its temporary file. Qt-free.

#include <string>
#include <string_view>

namespace talvex::drm {

class AtomicOutput {
public:
    AtomicOutput() = default;
    AtomicOutput(const AtomicOutput&) = delete;
    AtomicOutput& operator=(const AtomicOutput&) = delete;
    ~AtomicOutput();

    // Creates the temporary file ".NAME.tlxtmp-XXXXXX" in the final file's folder.
    bool Open(const std::string& finalPath, std::string& error);
    bool Write(std::string_view bytes, std::string& error);
    // Flushes to disk and renames over the final name.
    bool Commit(std::string& error);
    // Removes the temporary file (also done by the destructor).
    void Discard();
    const std::string& TempPath() const { return m_tempPath; }

private:
    std::string m_finalPath, m_tempPath;
    int m_fd = -1;
};

// Reads up to size bytes, retrying short reads; returns the count (less only at end of file)
// or -1 on an error.
long long ReadFull(int fd, char* buffer, size_t size);

} // namespace talvex::drm
