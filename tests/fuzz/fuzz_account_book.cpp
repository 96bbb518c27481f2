// Account book files, and password texts.
#include "accounts/account_book.h"

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>
#include <unistd.h>

using namespace talvex;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    static const std::string path = "/tmp/talvex-fuzz-book-" + std::to_string(::getpid()) + ".xml";
    std::FILE* f = std::fopen(path.c_str(), "wb");
    if (!f)
        return 0;
    std::fwrite(data, 1, size, f);
    std::fclose(f);
    CAccountBook book;
    book.Load(path);
    std::string out;
    book.Serialize(out);
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    UnscramblePassword(text);
    ScramblePassword(text);
    return 0;
}
