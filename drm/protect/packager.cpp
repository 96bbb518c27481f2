#include "drm/protect/packager.h"

#include "drm/protect/drm_format.h"
#include "platform/publish_file.h"
#include "res/string_table.h"

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <sys/stat.h>
#include <unistd.h>

namespace talvex::drm {

OutcomeRow OutcomeOf(int outcome)
{
    switch (outcome) {
    case kPackOk: return {kStateDone, 2, kTextDrmSucceeded, kTextDrmLogSucceeded};
    case kPackNotMedia: return {kStateNotMedia, 3, kTextDrmNotMedia, kTextDrmLogNotMedia};
    case kPackSamePath: return {kStateSamePath, 3, kTextDrmSamePath, kTextDrmLogSamePath};
    default: return {kStateFailed, 3, kTextDrmFailed, kTextDrmLogFailed};
    }
}

int ImageOfState(int state)
{
    switch (state) {
    case kStateWaiting: return 0;
    case kStateTaken: return 1;
    case kStateDone: return 2;
    default: return 3;
    }
}

std::string KeyIdText(const std::string& fileName)
{
    return Base64Encode(fileName).substr(0, 24);
}

bool IsMediaPath(const std::string& path)
{
    if (path.size() < 4)
        return false;
    std::string ext = path.substr(path.size() - 4);
    for (char& c : ext)
        if (c >= 'A' && c <= 'Z')
            c = static_cast<char>(c + 32);
    return ext == ".asf" || ext == ".wma" || ext == ".wmv";
}

void PackagingRun::AddFile(const std::string& path)
{
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0)
        return;
    std::lock_guard lock(m_mutex);
    m_files.emplace(st.st_dev, st.st_ino);
}

bool PackagingRun::HasFile(const std::string& path) const
{
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0)
        return false;
    std::lock_guard lock(m_mutex);
    return m_files.count({st.st_dev, st.st_ino}) > 0;
}

void PackagingRun::Clear()
{
    std::lock_guard lock(m_mutex);
    m_files.clear();
}

PackResult PackageOneFile(PackObjects& o, const PackagingParams& p, const std::string& inputPath,
                          const std::string& outputPath, PackagingRun* run)
{
    PackResult r;
    auto failed = [&r](const std::string& why) {
        r.outcome = kPackFailed;
        r.error = why;
        return r;
    };
    const size_t slash = inputPath.rfind('/');
    const std::string fileName = slash == std::string::npos ? inputPath : inputPath.substr(slash + 1);
    const std::string keyId = KeyIdText(fileName);

    std::string contentKey, headerText;
    if (!o.keys.SetKeyId(keyId) || !o.keys.SetSeed(p.seed) || !o.keys.GenerateKey(contentKey))
        return failed("key: " + o.keys.LastError());

    static const char* const kEmpty = "";
    IHeader& h = o.header;
    const std::pair<const char*, const std::string*> attributes[] = {
        {"author", nullptr},      {"author_url", nullptr}, {"email", nullptr},
        {"copyright", nullptr},   {"description", nullptr}, {"cpcode", &p.cpCode},
        {"filename", &fileName},  {"genurl", &p.genUrl},   {"down_authurl", nullptr},
    };
    bool ok = h.SetVersion("2.2") && h.SetLicenseUrl(p.genUrl) && h.SetKeyId(keyId) && h.SetContentId(p.contentId);
    for (const auto& [name, value] : attributes)
        ok = ok && h.SetAttribute(name, value ? *value : kEmpty);
    ok = ok && h.SetContentKey(contentKey) && h.Sign(p.priKey) && h.Verify(p.pubKey) && h.GetHeaderText(headerText);
    if (!ok)
        return failed("header: " + h.LastError());

    IProtector& pr = o.protector;
    if (!pr.SetHeader(headerText) || !pr.SetKeyId(keyId) || !pr.SetContentKey(contentKey) || !pr.SetInputFile(inputPath))
        return failed("protector: " + pr.LastError());

    // A protected file is no media file, whatever its name says: packaging it again would only
    // wrap the package (a folder packaged into a target inside itself finds its own outputs).
    if (!IsMediaPath(inputPath) || IsProtectedFile(inputPath)) {
        r.outcome = kPackNotMedia;
        return r;
    }

    const size_t outSlash = outputPath.rfind('/');
    if (outSlash != std::string::npos && outSlash > 0) {
        std::error_code ec;
        std::filesystem::create_directories(outputPath.substr(0, outSlash), ec);
    }
    // The same file under another spelling (a "." or "..", a doubled slash, a link) is still
    // the input: compare the files themselves, not their names.
    struct stat in {}, out {};
    if (outputPath == inputPath
        || (::stat(inputPath.c_str(), &in) == 0 && ::stat(outputPath.c_str(), &out) == 0 && in.st_dev == out.st_dev
            && in.st_ino == out.st_ino)) {
        r.outcome = kPackSamePath;
        return r;
    }

    // Written under a temporary name in the output's folder, then given the output's name by a
    // rename that replaces nothing but an earlier protected file that is not a file of this run.
    const std::string folder = outSlash == std::string::npos ? std::string() : outputPath.substr(0, outSlash + 1);
    const std::string name = outSlash == std::string::npos ? outputPath : outputPath.substr(outSlash + 1);
    std::string temp;
    const int fd = CreateUniqueFile(folder + "." + name + ".tlxtmp-", 0600, temp);
    if (fd < 0)
        return failed("cannot create a temporary file beside " + outputPath + ": " + std::strerror(errno));
    ::close(fd);
    if (!pr.ProtectFile(temp)) {
        ::unlink(temp.c_str());
        return failed("protect: " + pr.LastError());
    }
    auto mayReplace = [&](const std::string& existing) {
        struct stat st {};
        return ::lstat(existing.c_str(), &st) == 0 && S_ISREG(st.st_mode) && IsProtectedFile(existing)
               && !(run && run->HasFile(existing));
    };
    std::error_code ec;
    const std::string published = PublishUnderFreeName(
        temp, [&](int n) { return n == 0 ? outputPath : NumberedName(outputPath, n); }, ec, mayReplace);
    if (published.empty()) {
        ::unlink(temp.c_str());
        return failed("cannot give the output its name " + outputPath + ": " + ec.message());
    }
    if (run)
        run->AddFile(published);
    r.outcome = kPackOk;
    r.outputPath = published;
    return r;
}

std::string RelativeOutputPath(const std::string& addedEntryPath, bool entryIsFolder, const std::string& filePath)
{
    const size_t slash = filePath.rfind('/');
    const std::string name = slash == std::string::npos ? filePath : filePath.substr(slash + 1);
    if (!entryIsFolder)
        return name;
    std::string root = addedEntryPath;
    while (root.size() > 1 && root.back() == '/')
        root.pop_back();
    const std::string folder = slash == std::string::npos ? std::string() : filePath.substr(0, slash);
    std::string below;
    if (folder.size() > root.size() && folder.compare(0, root.size(), root) == 0
        && (root == "/" || folder[root.size()] == '/'))
        below = folder.substr(root == "/" ? 1 : root.size() + 1);
    while (!below.empty() && below.front() == '/')
        below.erase(below.begin());
    return below.empty() ? name : below + "/" + name;
}

std::string NumberedName(const std::string& relativePath, int n)
{
    const size_t slash = relativePath.rfind('/');
    const size_t dot = relativePath.rfind('.');
    const std::string mark = "_[" + std::to_string(n) + "]";
    if (dot == std::string::npos || (slash != std::string::npos && dot < slash) || dot == (slash == std::string::npos ? 0 : slash + 1))
        return relativePath + mark;
    return relativePath.substr(0, dot) + mark + relativePath.substr(dot);
}

std::string JoinPath(const std::string& folder, const std::string& relative)
{
    if (folder.empty())
        return relative;
    return folder.back() == '/' ? folder + relative : folder + "/" + relative;
}

std::string PackedSizeText(int64_t bytes)
{
    return std::to_string(bytes / 1000) + " KB ";
}

} // namespace talvex::drm
