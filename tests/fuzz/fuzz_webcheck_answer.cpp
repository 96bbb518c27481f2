// Answers of the user check page and the DRM authentication page.
#include "protocol/webcheck.h"

#include <cstddef>
#include <cstdint>
#include <string_view>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    const talvex::WebCheckResult result = talvex::ParseWebCheckAnswer(text);
    if (result.kind != 1 && result.kind != 3 && result.kind != 4 && result.kind != 5)
        __builtin_trap();
    talvex::DrmAuthParams params;
    talvex::ParseDrmAuthAnswer(text, params);
    talvex::NormaliseUserRoot(text);
    talvex::UrlEncode(text);
    return 0;
}
