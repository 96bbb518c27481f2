// Request header blocks and query strings as the development server reads them.
#include "devserver/http.h"
#include "devserver/tlxsp.h"

#include <cstddef>
#include <cstdint>
#include <string_view>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    talvex::devserver::TlxspRequest request;
    talvex::devserver::ParseTlxspRequest(text, request);
    talvex::devserver::ParseQuery(text);
    talvex::devserver::PercentDecode(text);
    return 0;
}
