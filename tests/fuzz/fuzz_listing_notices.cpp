// Listing and notice bodies from the server, in the default wire encoding.
#include "protocol/listing.h"
#include "protocol/notices.h"

#include <cstddef>
#include <cstdint>
#include <string_view>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    talvex::CRemoteEntryList entries;
    talvex::ParseListing(text, entries);
    talvex::CSyncNoticeList notices;
    talvex::ParseNotices(text, notices);
    return 0;
}
