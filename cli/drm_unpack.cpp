#include "cli/drm_unpack.h"

#include "cli/json_output.h"

#include "cli/options.h"
#include "drm/protect/drm_format.h"

#include <cstdlib>
#include <iostream>
#include <string>

namespace talvex::cli {

namespace {

const char kUsage[] = "usage: talvex-cli drm-unpack FILE (--seed SEED | --seed-stdin) --out PATH [--pub-key BASE64] [--json]\n"
                      "  the seed may also come from TALVEX_DRM_SEED; --pub-key pins the signer's key\n"
                      "  (without it the signature is checked against the key inside the file only)\n";

int Usage(const std::string& why)
{
    std::cerr << "talvex-cli drm-unpack: " << why << '\n' << kUsage;
    NoteErrorText(why);
    EmitJsonError(kExitUsage);
    return kExitUsage;
}

} // namespace

int RunDrmUnpack(int argc, char** argv)
{
    std::string file, seed, out, pubKey;
    bool seedStdin = false;
    if (const char* v = std::getenv("TALVEX_DRM_SEED"))
        seed = v;
    for (int i = 0; i < argc; ++i) {
        const std::string arg = argv[i];
        auto value = [&](std::string& target) {
            if (i + 1 >= argc)
                return false;
            target = argv[++i];
            return true;
        };
        if (arg == "-h" || arg == "--help") {
            std::cout << kUsage;
            return kExitOk;
        }
        if (arg == "--seed") {
            if (!value(seed) || seed.empty())
                return Usage("--seed needs a value");
        } else if (arg == "--seed-stdin") {
            seedStdin = true;
        } else if (arg == "--out") {
            if (!value(out) || out.empty())
                return Usage("--out needs a path");
        } else if (arg == "--json") {
            SetJsonOutput(true);
        } else if (arg == "--pub-key") {
            if (!value(pubKey) || pubKey.empty())
                return Usage("--pub-key needs a Base64 key");
        } else if (arg.rfind("--", 0) == 0) {
            return Usage("unknown option " + arg);
        } else if (file.empty()) {
            file = arg;
        } else {
            return Usage("one file at a time");
        }
    }
    if (seedStdin) {
        if (!std::getline(std::cin, seed))
            return Usage("--seed-stdin: nothing on standard input");
        if (!seed.empty() && seed.back() == '\r')
            seed.pop_back();
    }
    if (file.empty())
        return Usage("no file");
    if (out.empty())
        return Usage("no --out");
    if (seed.empty())
        return Usage("no seed (--seed, --seed-stdin or TALVEX_DRM_SEED)");

    drm::UnprotectInfo info;
    std::string error;
    if (!drm::UnprotectFile(file, seed, pubKey, out, info, error)) {
        std::cerr << "talvex-cli drm-unpack: " << file << ": " << error << '\n';
        NoteErrorText(file + ": " + error);
        EmitJsonError(kExitRefused);
        return kExitRefused;
    }
    if (pubKey.empty())
        std::cerr << "signature checked against the file's own key: its origin is not verified\n";
    if (JsonOutput()) {
        Json unpacked = JsonObject("unpacked");
        unpacked["file"] = file;
        unpacked["out"] = out;
        unpacked["bytes"] = info.bytes;
        unpacked["format_version"] = info.header.version;
        unpacked["content_id"] = info.header.contentId;
        unpacked["origin_verified"] = !pubKey.empty();
        EmitJson(unpacked);
        return kExitOk;
    }
    std::cout << "unpacked " << info.bytes << " bytes to " << out << " (version " << info.header.version
              << ", content id " << info.header.contentId << ")\n";
    return kExitOk;
}

} // namespace talvex::cli
