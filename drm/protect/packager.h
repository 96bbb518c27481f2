#pragma once
// Packaging of one media file with the three protection objects, and the texts of its
// outcomes. Qt-free.

#include "drm/protect/drm_objects.h"

#include <cstdint>
#include <mutex>
#include <set>
#include <string>
#include <sys/types.h>
#include <utility>

namespace talvex::drm {

enum PackOutcome : int {
    kPackOk = 0,
    kPackFailed = -1,
    kPackNotMedia = -2,
    kPackSamePath = -3, // the output would be the input file itself
};

// Target entry states (the row's item data) and their images.
enum PackState : int { kStateWaiting = 0, kStateTaken = -1, kStateDone = 1, kStateFailed = 2, kStateNotMedia = 3, kStateSamePath = 4 };

struct OutcomeRow {
    int state;
    int image;
    const char* status;    // status column
    const char* logSuffix; // appended to the path for the log line
};
// The row of an outcome; an unknown outcome reads as a failure.
OutcomeRow OutcomeOf(int outcome);
int ImageOfState(int state);

// What the authentication page gave, as texts.
struct PackagingParams {
    std::string fileName, cpCode, seed, keyId, priKey, pubKey, contentId, genUrl;
};

struct PackObjects {
    IKeyGenerator& keys;
    IHeader& header;
    IProtector& protector;
};

struct PackResult {
    int outcome = kPackFailed;
    std::string error;      // why, for the log file
    std::string outputPath; // the name the output was given (kPackOk)
};

// The files of one packaging run, by identity (device and inode, so any spelling of a path
// names the same file): its inputs and the outputs it has written. An output takes a free
// name rather than replace one of them. Thread-safe.
class PackagingRun {
public:
    // Remembers a file of the run; a path that names no file is ignored.
    void AddFile(const std::string& path);
    bool HasFile(const std::string& path) const;
    void Clear();

private:
    mutable std::mutex m_mutex;
    std::set<std::pair<dev_t, ino_t>> m_files;
};

// First 24 characters of the Base64 text of the file name (all of it when shorter).
std::string KeyIdText(const std::string& fileName);
// ".asf", ".wma" or ".wmv" as the last four characters, without regard to case.
bool IsMediaPath(const std::string& path);

// Protects inputPath into outputPath (its folder is created when missing): key, header and
// protector calls in that order, then the media check (a file that is already protected is
// not a media file), then the identity check (an output that is the input file under another
// spelling is refused without touching either), then the protected file is written beside
// the output and given its name. The output replaces an earlier protected file only; a name
// taken by anything else, or by a file of the run, makes it take "name_[1].ext",
// "name_[2].ext", ... (PackResult::outputPath says which). run, when given, learns the output.
PackResult PackageOneFile(PackObjects& objects, const PackagingParams& params, const std::string& inputPath,
                          const std::string& outputPath, PackagingRun* run = nullptr);

// Where a file lands below the target root: the part of its folder below the entry that was
// added ("" for a file added by itself), and its name.
std::string RelativeOutputPath(const std::string& addedEntryPath, bool entryIsFolder, const std::string& filePath);
// "name.ext" -> "name_[n].ext".
std::string NumberedName(const std::string& relativePath, int n);
// targetRoot joined with a relative path by one '/'.
std::string JoinPath(const std::string& folder, const std::string& relative);

// Size column of a packaged file: size / 1000 as "N KB " (64-bit).
std::string PackedSizeText(int64_t bytes);

} // namespace talvex::drm
