// Response header blocks as the three connections read them.
#include "protocol/message.h"

#include <cstddef>
#include <cstdint>
#include <string_view>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    for (auto order : {talvex::tlxsp::HeaderOrder::Upload, talvex::tlxsp::HeaderOrder::Command,
                       talvex::tlxsp::HeaderOrder::Control}) {
        talvex::CTlxspResponse response;
        const ptrdiff_t end = talvex::tlxsp::ReadHeaderBlock(text, response, order);
        if (end >= 0 && static_cast<size_t>(end) + 4 > size)
            __builtin_trap(); // the end of a block must lie inside the text
    }
    talvex::tlxsp::LeadingInt32(text);
    talvex::tlxsp::LeadingInt64(text);
    return 0;
}
