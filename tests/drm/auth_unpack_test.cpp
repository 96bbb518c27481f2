// The parameters of the DRM authentication page (the parser, and the development server's
// real key pair) and talvex-cli drm-unpack on a file packaged with them.

#include "devserver/server.h"
#include "devserver/server_log.h"
#include "drm/protect/drm_format.h"
#include "drm/protect/drm_objects.h"
#include "drm/protect/packager.h"
#include "protocol/webcheck.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

namespace fs = std::filesystem;
using namespace talvex;

namespace {

std::string ReadAll(const fs::path& p)
{
    std::ifstream in(p, std::ios::binary);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

int Cli(const std::string& args)
{
    const std::string command = std::string(TALVEX_CLI_PATH) + " " + args + " >/dev/null 2>&1";
    const int status = std::system(command.c_str());
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

TEST(DrmAuthAnswer, PairsCapitalNamesAndTrailingText)
{
    DrmAuthParams p;
    ASSERT_TRUE(ParseDrmAuthAnswer("cpcode$*$C1$_$Seed$*$S1$_$KeyID$*$K1", p));
    EXPECT_EQ(p.cpCode, "C1");
    EXPECT_EQ(p.seed, "S1");
    EXPECT_EQ(p.keyId, "K1");
    ASSERT_TRUE(ParseDrmAuthAnswer("cpcode$*$C2$_$PRIKEY$*$ pk= $_$PUBKEY$*$PK$_$GENURL$*$http://h/l$_$trailing words", p));
    EXPECT_EQ(p.cpCode, "C2");
    EXPECT_EQ(p.priKey, "pk=");
    EXPECT_EQ(p.pubKey, "PK");
    EXPECT_EQ(p.genUrl, "http://h/l");
    EXPECT_TRUE(p.seed.empty());
    EXPECT_FALSE(ParseDrmAuthAnswer("error$*$unknown DRM account", p));
}

class DrmServerTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        devserver::SetServerLogQuiet(true);
        m_dir = fs::temp_directory_path() / ("talvex-drm-auth-" + std::to_string(::getpid()));
        fs::remove_all(m_dir);
        fs::create_directories(m_dir / "store");
        devserver::ServerConfig config;
        config.root = (m_dir / "store").string();
        config.webPort = config.commandPort = config.controlPort = 0;
        m_server = std::make_unique<devserver::Server>(config, devserver::AccountBook::Defaults());
        std::string error;
        ASSERT_TRUE(m_server->Start(error)) << error;
    }
    void TearDown() override
    {
        m_server->Stop();
        ::unsetenv("TALVEX_DRM_SEED");
        fs::remove_all(m_dir);
    }
    fs::path m_dir;
    std::unique_ptr<devserver::Server> m_server;
};

TEST_F(DrmServerTest, TheServersParametersPackageAFileThatTheCliRestores)
{
    const DrmAuthResult auth = RunDrmAuth({"127.0.0.1", m_server->WebPort(), "drmuser", "drmpass", 5});
    ASSERT_TRUE(auth.ok) << auth.error;
    std::string pub;
    ASSERT_TRUE(drm::PublicKeyOf(auth.params.priKey, pub));
    EXPECT_EQ(pub, auth.params.pubKey); // a real key pair
    EXPECT_FALSE(RunDrmAuth({"127.0.0.1", m_server->WebPort(), "drmuser", "wrong", 5}).ok);

    drm::PackagingParams p{auth.params.fileName, auth.params.cpCode, auth.params.seed, auth.params.keyId,
                           auth.params.priKey,   auth.params.pubKey, auth.params.contentId, auth.params.genUrl};
    std::string original(200000, '\0');
    for (size_t i = 0; i < original.size(); ++i)
        original[i] = static_cast<char>(i * 7);
    std::ofstream(m_dir / "clip.wmv", std::ios::binary) << original;
    auto factory = drm::CreateOpenSslFactory();
    auto keys = factory->CreateKeyGenerator();
    auto header = factory->CreateHeader();
    auto protector = factory->CreateProtector();
    drm::PackObjects objects{*keys, *header, *protector};
    const drm::PackResult r =
        drm::PackageOneFile(objects, p, (m_dir / "clip.wmv").string(), (m_dir / "out/clip.wmv").string());
    ASSERT_EQ(r.outcome, drm::kPackOk) << r.error;

    const std::string packed = (m_dir / "out/clip.wmv").string();
    const std::string back = (m_dir / "back.wmv").string();
    ::setenv("TALVEX_DRM_SEED", p.seed.c_str(), 1);
    EXPECT_EQ(Cli("drm-unpack " + packed + " --out " + back + " --pub-key " + p.pubKey), 0);
    EXPECT_EQ(ReadAll(back), original);
    fs::remove(back);
    {
        // --json: one object on standard output, nothing else there.
        const std::string command = std::string(TALVEX_CLI_PATH) + " drm-unpack " + packed + " --out " + back +
                                    " --json 2>/dev/null";
        FILE* pipe = ::popen(command.c_str(), "r");
        ASSERT_NE(pipe, nullptr);
        std::string out;
        char chunk[512];
        for (size_t n; (n = std::fread(chunk, 1, sizeof chunk, pipe)) > 0;)
            out.append(chunk, n);
        EXPECT_EQ(::pclose(pipe), 0);
        EXPECT_EQ(out.rfind("{\"type\":\"unpacked\",\"version\":1,\"file\":\"" + packed + "\",\"out\":\"" + back +
                                "\",\"bytes\":200000,",
                            0),
                  0u)
            << out;
        EXPECT_NE(out.find(",\"origin_verified\":false}\n"), std::string::npos) << out;
        EXPECT_EQ(std::count(out.begin(), out.end(), '\n'), 1) << out;
        fs::remove(back);
    }

    ::setenv("TALVEX_DRM_SEED", "not the seed", 1);
    EXPECT_EQ(Cli("drm-unpack " + packed + " --out " + back), 1);
    EXPECT_FALSE(fs::exists(back));
    EXPECT_EQ(Cli("drm-unpack " + (m_dir / "clip.wmv").string() + " --out " + back), 1); // not packaged
    EXPECT_FALSE(fs::exists(back));
    ::unsetenv("TALVEX_DRM_SEED");
    EXPECT_EQ(Cli("drm-unpack " + packed + " --out " + back), 2); // no seed
    EXPECT_EQ(Cli("drm-unpack " + packed), 2);                    // no --out
    EXPECT_EQ(Cli("drm-unpack " + packed + " --out " + back + " --seed-stdin </dev/null"), 2);
}

// Runs talvex-cli through the shell; its standard error comes back in err.
int CliErr(const std::string& args, std::string& err, const fs::path& scratch)
{
    const fs::path errFile = scratch / "stderr.txt";
    const std::string command = std::string(TALVEX_CLI_PATH) + " " + args + " >/dev/null 2>" + errFile.string();
    const int status = std::system(command.c_str());
    err = ReadAll(errFile);
    fs::remove(errFile);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

TEST_F(DrmServerTest, WithoutAPinnedKeyTheCliSaysTheOriginIsNotVerifiedAndTheOriginalHonoursTheUmask)
{
    const DrmAuthResult auth = RunDrmAuth({"127.0.0.1", m_server->WebPort(), "drmuser", "drmpass", 5});
    ASSERT_TRUE(auth.ok) << auth.error;
    drm::PackagingParams p{auth.params.fileName, auth.params.cpCode, auth.params.seed, auth.params.keyId,
                           auth.params.priKey,   auth.params.pubKey, auth.params.contentId, auth.params.genUrl};
    std::ofstream(m_dir / "clip.wmv", std::ios::binary) << "the original";
    auto factory = drm::CreateOpenSslFactory();
    auto keys = factory->CreateKeyGenerator();
    auto header = factory->CreateHeader();
    auto protector = factory->CreateProtector();
    drm::PackObjects objects{*keys, *header, *protector};
    ASSERT_EQ(drm::PackageOneFile(objects, p, (m_dir / "clip.wmv").string(), (m_dir / "out/clip.wmv").string()).outcome,
              drm::kPackOk);
    const std::string packed = (m_dir / "out/clip.wmv").string();
    ::setenv("TALVEX_DRM_SEED", p.seed.c_str(), 1);
    const std::string warning = "signature checked against the file's own key: its origin is not verified\n";

    const mode_t saved = ::umask(077);
    for (const mode_t mask : {mode_t(077), mode_t(022)}) {
        ::umask(mask);
        SCOPED_TRACE(mask);
        const fs::path back = m_dir / ("back-" + std::to_string(mask) + ".wmv");
        std::string err;
        ASSERT_EQ(CliErr("drm-unpack " + packed + " --out " + back.string(), err, m_dir), 0) << err;
        EXPECT_EQ(err, warning);
        EXPECT_EQ(ReadAll(back), "the original");
        struct stat st {};
        ASSERT_EQ(::stat(back.c_str(), &st), 0);
        EXPECT_EQ(st.st_mode & 0777, 0666u & ~mask);

        // Pinned to the signer's key: no warning.
        ASSERT_EQ(CliErr("drm-unpack " + packed + " --out " + back.string() + " --pub-key " + p.pubKey, err, m_dir), 0);
        EXPECT_EQ(err, "");
    }
    ::umask(saved);
    // Refused files say why and nothing about an origin.
    std::string err;
    EXPECT_EQ(CliErr("drm-unpack " + (m_dir / "clip.wmv").string() + " --out " + (m_dir / "x").string(), err, m_dir), 1);
    EXPECT_EQ(err.find("origin"), std::string::npos) << err;
}

} // namespace
