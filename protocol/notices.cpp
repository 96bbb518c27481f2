#include "protocol/notices.h"

#include "platform/profile_reader.h"
#include "platform/text_codec.h"
#include "platform/text_util.h"
#include "protocol/listing.h"
#include "protocol/message.h"

#include <sys/stat.h>

namespace talvex {

int32_t NoticeKindOf(std::string_view word)
{
    using namespace tlxsp;
    if (SameCommand(word, kPutFile))
        return kNoticePutFile;
    if (SameCommand(word, kMkDir))
        return kNoticeMkDir;
    if (SameCommand(word, kRmDir))
        return kNoticeRmDir;
    if (SameCommand(word, kDelFile))
        return kNoticeDelFile;
    if (SameCommand(word, kRename))
        return kNoticeRename;
    return kNoticeUnknown;
}

void ParseNotices(std::string_view text, CSyncNoticeList& list)
{
    list.notices.clear();
    LineReader lines(text);
    for (std::string_view line; lines.Next(line);) {
        CSyncNotice notice;
        const size_t s1 = line.find(' ');
        notice.number = tlxsp::LeadingInt32(line.substr(0, s1));
        if (s1 != std::string_view::npos) {
            const std::string_view rest = line.substr(s1 + 1);
            const size_t s2 = rest.find(' ');
            notice.kind = NoticeKindOf(rest.substr(0, s2));
            if (s2 != std::string_view::npos)
                notice.text = FromWireLossy(rest.substr(s2 + 1));
        }
        list.notices.push_back(std::move(notice));
    }
}

bool ReadNoticeFile(const std::string& path, CSyncNoticeList& list)
{
    std::string text;
    if (!ReadWholeFile(path, text, static_cast<size_t>(tlxsp::kMaxBodyBytes)))
        return false;
    ParseNotices(text, list);
    return true;
}

std::unique_ptr<CSyncNoticeList> ReadSyncResultFile(const std::string& path)
{
    struct stat st{};
    if (::stat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode))
        return nullptr;
    auto result = std::make_unique<CSyncNoticeList>();
    // TotalSize and FailSize are part of the result but not kept.
    result->totalCount = ProfileInt(ReadProfileString(path, "CheckSync", "TotalCount", ""));
    result->failCount = ProfileInt(ReadProfileString(path, "CheckSync", "FailCount", ""));
    return result;
}

} // namespace talvex
