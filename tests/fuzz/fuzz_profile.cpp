// ini texts such as the sync result file.
#include "platform/profile_reader.h"
#include "platform/text_codec.h"

#include <cstddef>
#include <cstdint>
#include <string_view>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    for (const char* key : {"TotalCount", "FailCount", "1", "2"})
        talvex::ProfileInt(talvex::ProfileStringFromText(text, "CheckSync", key, ""));
    talvex::FromWireLossy(text);
    return 0;
}
