// Packaging throughput of one large media file against a plain copy of the same file, in one
// run and on the same disk; both write beside the output, flush and rename, as packaging
// does. Each measured step runs in a child process of its own, so its peak resident memory
// (which must stay flat whatever the file's size) is its own. Size: TALVEX_DRM_BENCH_MB
// (default 1024).

#include "drm/protect/atomic_file.h"
#include "drm/protect/drm_format.h"
#include "drm/protect/drm_objects.h"
#include "drm/protect/packager.h"

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <spawn.h>
#include <string>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

extern char** environ;
namespace fs = std::filesystem;
using namespace talvex::drm;

namespace {

// Fixed test material (RFC 8032 test 1 key pair).
PackagingParams Params()
{
    PackagingParams p;
    p.cpCode = "CPBENCH";
    p.seed = "bench-seed-0123456789";
    p.contentId = "bench";
    p.genUrl = "http://127.0.0.1/pack/license.asp";
    std::string raw;
    const char* hex = "9d61b19deffd5a60ba844af492ec2cc44449c5697b326919703bac031cae7f60";
    for (int i = 0; i < 64; i += 2)
        raw += static_cast<char>(std::strtol(std::string(hex + i, 2).c_str(), nullptr, 16));
    p.priKey = Base64Encode(raw);
    PublicKeyOf(p.priKey, p.pubKey);
    return p;
}

int Copy(const std::string& in, const std::string& out)
{
    const int fd = ::open(in.c_str(), O_RDONLY);
    if (fd < 0)
        return 1;
    AtomicOutput o;
    std::string error;
    if (!o.Open(out, error))
        return 1;
    std::vector<char> buffer(kDefaultChunkBytes);
    for (;;) {
        const long long n = ReadFull(fd, buffer.data(), buffer.size());
        if (n < 0)
            return 1;
        if (n == 0)
            break;
        if (!o.Write(std::string_view(buffer.data(), static_cast<size_t>(n)), error))
            return 1;
    }
    ::close(fd);
    return o.Commit(error) ? 0 : 1;
}

int Package(const std::string& in, const std::string& out)
{
    auto factory = CreateOpenSslFactory();
    auto keys = factory->CreateKeyGenerator();
    auto header = factory->CreateHeader();
    auto protector = factory->CreateProtector();
    PackObjects objects{*keys, *header, *protector};
    const PackResult r = PackageOneFile(objects, Params(), in, out);
    if (r.outcome != kPackOk)
        std::fprintf(stderr, "packaging failed: %s\n", r.error.c_str());
    return r.outcome == kPackOk ? 0 : 1;
}

int Unpack(const std::string& in, const std::string& out)
{
    UnprotectInfo info;
    std::string error;
    if (!UnprotectFile(in, Params().seed, Params().pubKey, out, info, error)) {
        std::fprintf(stderr, "unpacking failed: %s\n", error.c_str());
        return 1;
    }
    return 0;
}

struct Step {
    double seconds = 0;
    double cpuSeconds = 0;
    long peakKiB = 0;
    bool ok = false;
};

// Runs this program again as "step IN OUT" and measures it.
Step Run(const char* self, const char* step, const std::string& in, const std::string& out)
{
    std::vector<std::string> args = {self, step, in, out};
    std::vector<char*> argv;
    for (auto& a : args)
        argv.push_back(a.data());
    argv.push_back(nullptr);
    Step s;
    const auto start = std::chrono::steady_clock::now();
    pid_t pid = -1;
    if (posix_spawn(&pid, self, nullptr, nullptr, argv.data(), environ) != 0)
        return s;
    int status = 0;
    rusage usage{};
    if (::wait4(pid, &status, 0, &usage) != pid)
        return s;
    s.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    s.peakKiB = usage.ru_maxrss;
    s.cpuSeconds = usage.ru_utime.tv_sec + usage.ru_stime.tv_sec + (usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
    s.ok = WIFEXITED(status) && WEXITSTATUS(status) == 0;
    return s;
}

} // namespace

int main(int argc, char** argv)
{
    if (argc == 4) {
        const std::string step = argv[1];
        if (step == "copy")
            return Copy(argv[2], argv[3]);
        if (step == "package")
            return Package(argv[2], argv[3]);
        if (step == "unpack")
            return Unpack(argv[2], argv[3]);
        return 2;
    }
    const char* mbText = std::getenv("TALVEX_DRM_BENCH_MB");
    const long mb = mbText ? std::atol(mbText) : 1024;
    const fs::path dir = fs::temp_directory_path() / ("talvex-bench-drm-" + std::to_string(::getpid()));
    fs::create_directories(dir);
    const std::string input = (dir / "movie.wmv").string();
    {
        // Incompressible content, written once; every step then reads it from the page cache.
        std::vector<char> block(1 << 20);
        uint64_t x = 0x9E3779B97F4A7C15ULL;
        const int fd = ::open(input.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        for (long i = 0; i < mb && fd >= 0; ++i) {
            for (size_t k = 0; k + 8 <= block.size(); k += 8) {
                x ^= x << 13, x ^= x >> 7, x ^= x << 17;
                std::memcpy(block.data() + k, &x, 8);
            }
            if (::write(fd, block.data(), block.size()) != static_cast<ssize_t>(block.size()))
                return 1;
        }
        ::fsync(fd);
        ::close(fd);
    }
    const char* self = "/proc/self/exe";
    char exe[4096];
    const ssize_t len = ::readlink(self, exe, sizeof exe - 1);
    if (len <= 0)
        return 1;
    exe[len] = '\0';

    // Rounds that take turns at going first, best of each: neither side gets a warmer cache or
    // the other's write-back, and neither replaces an earlier output (a rename over a large
    // file costs extra). The disk is shared with whatever else runs, so single runs vary.
    Step copy, package;
    constexpr int kRounds = 4;
    for (int round = 0; round < kRounds; ++round) {
        Step c, p;
        if (round % 2 == 0) {
            c = Run(exe, "copy", input, (dir / "copy.wmv").string());
            ::sync();
            p = Run(exe, "package", input, (dir / "packaged.wmv").string());
        } else {
            p = Run(exe, "package", input, (dir / "packaged.wmv").string());
            ::sync();
            c = Run(exe, "copy", input, (dir / "copy.wmv").string());
        }
        if (!c.ok || !p.ok) {
            std::fprintf(stderr, "a step failed\n");
            fs::remove_all(dir);
            return 1;
        }
        if (round == 0 || c.seconds < copy.seconds)
            copy = c;
        if (round == 0 || p.seconds < package.seconds)
            package = p;
        fs::remove(dir / "copy.wmv");
        if (round + 1 < kRounds)
            fs::remove(dir / "packaged.wmv");
        ::sync();
    }
    const Step unpack = Run(exe, "unpack", (dir / "packaged.wmv").string(), (dir / "back.wmv").string());
    const bool same = unpack.ok && fs::file_size(dir / "back.wmv") == fs::file_size(input);
    const double bytes = static_cast<double>(mb) * 1048576.0;
    const double ratio = copy.seconds / package.seconds;
    std::printf("DRM packaging of a %ld MiB file (chunks of %u KiB)\n", mb, kDefaultChunkBytes / 1024);
    auto line = [&](const char* what, const Step& s, const char* note) {
        std::printf("  %-10s %8.1f MB/s  %6.2f s (cpu %5.2f s)  peak memory %6ld KiB%s\n", what, bytes / s.seconds / 1e6,
                    s.seconds, s.cpuSeconds, s.peakKiB, note);
    };
    line("plain copy", copy, "");
    line("packaging", package, "");
    line("unpacking", unpack, same ? "  same size as the original" : "  SIZE DIFFERS");
    std::printf("  packaging / copy speed: %.2f (target >= 0.5: %s)\n", ratio, ratio >= 0.5 ? "met" : "NOT met");
    fs::remove_all(dir);
    return same ? 0 : 1;
}
