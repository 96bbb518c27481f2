// The protection layer: packaging one file with the three objects, the protected file
// format (round trip, tampering, known answer), the identity check, and failed writes.

#include "drm/protect/atomic_file.h"
#include "drm/protect/chunk_cipher.h"
#include "drm/protect/drm_format.h"
#include "drm/protect/drm_objects.h"
#include "drm/protect/packager.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

namespace fs = std::filesystem;
using namespace talvex::drm;

namespace {

// RFC 8032, test 1: a private key and the public key that belongs to it.
const std::string kPriHex = "9d61b19deffd5a60ba844af492ec2cc44449c5697b326919703bac031cae7f60";
const std::string kPubHex = "d75a980182b10ab7d54bfed3c964073a0ee172f3daa62325af021a68f707511a";

std::string FromHex(const std::string& hex)
{
    std::string out;
    for (size_t i = 0; i + 1 < hex.size(); i += 2)
        out += static_cast<char>(std::stoi(hex.substr(i, 2), nullptr, 16));
    return out;
}

std::string ToHex(const std::string& bytes)
{
    static const char kHex[] = "0123456789abcdef";
    std::string out;
    for (unsigned char c : bytes) {
        out += kHex[c >> 4];
        out += kHex[c & 15];
    }
    return out;
}

std::string ReadAll(const fs::path& p)
{
    std::ifstream in(p, std::ios::binary);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

void WriteAll(const fs::path& p, const std::string& bytes)
{
    std::ofstream out(p, std::ios::binary | std::ios::trunc);
    out << bytes;
}

std::string Pattern(size_t n)
{
    std::string s(n, '\0');
    for (size_t i = 0; i < n; ++i)
        s[i] = static_cast<char>((i * 131 + 7) & 0xff);
    return s;
}

PackagingParams Params()
{
    PackagingParams p;
    p.cpCode = "CP42";
    p.seed = "seed-0123456789";
    p.contentId = "content-7";
    p.genUrl = "http://127.0.0.1:8080/pack/license.asp";
    p.priKey = Base64Encode(FromHex(kPriHex));
    p.pubKey = Base64Encode(FromHex(kPubHex));
    return p;
}

class ProtectTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        m_dir = fs::temp_directory_path() / ("talvex-drm-protect-" + std::to_string(::getpid()));
        fs::remove_all(m_dir);
        fs::create_directories(m_dir);
    }
    void TearDown() override { fs::remove_all(m_dir); }

    // Packages with small chunks (so that a few bytes span several) and a fixed salt.
    int Pack(const fs::path& in, const fs::path& out, const PackagingParams& p = Params(), uint32_t chunk = 64)
    {
        auto factory = CreateOpenSslFactory();
        auto keys = factory->CreateKeyGenerator();
        auto header = factory->CreateHeader();
        auto protector = CreateOpenSslProtector({std::string(16, '\x5a'), chunk});
        PackObjects objects{*keys, *header, *protector};
        const PackResult r = PackageOneFile(objects, p, in.string(), out.string());
        m_lastError = r.error;
        return r.outcome;
    }

    bool Unpack(const fs::path& in, const fs::path& out, const std::string& seed = Params().seed,
                const std::string& pinned = {})
    {
        UnprotectInfo info;
        return UnprotectFile(in.string(), seed, pinned, out.string(), info, m_lastError);
    }

    std::vector<std::string> Names() const
    {
        std::vector<std::string> names;
        for (const auto& e : fs::recursive_directory_iterator(m_dir))
            names.push_back(e.path().lexically_relative(m_dir).string());
        std::sort(names.begin(), names.end());
        return names;
    }

    fs::path m_dir;
    std::string m_lastError;
};

TEST_F(ProtectTest, RoundTripGivesTheSameBytesAtEveryChunkBoundary)
{
    for (size_t size : {size_t{0}, size_t{1}, size_t{63}, size_t{64}, size_t{65}, size_t{192}, size_t{1000}}) {
        SCOPED_TRACE(size);
        const std::string original = Pattern(size);
        WriteAll(m_dir / "clip.wmv", original);
        ASSERT_EQ(Pack(m_dir / "clip.wmv", m_dir / "out/clip.wmv"), kPackOk) << m_lastError;
        const std::string sealed = ReadAll(m_dir / "out/clip.wmv");
        if (size >= 16) {
            EXPECT_EQ(sealed.find(original), std::string::npos) << "the media bytes are stored in clear";
        }
        ASSERT_TRUE(Unpack(m_dir / "out/clip.wmv", m_dir / "back.wmv")) << m_lastError;
        EXPECT_EQ(ReadAll(m_dir / "back.wmv"), original);
    }
}

TEST_F(ProtectTest, DefaultChunksRoundTripAndCarryTheHeaderFields)
{
    const std::string original = Pattern(3 * 1024 * 1024 + 5);
    WriteAll(m_dir / "Movie.WMV", original);
    auto factory = CreateOpenSslFactory();
    auto keys = factory->CreateKeyGenerator();
    auto header = factory->CreateHeader();
    auto protector = factory->CreateProtector();
    PackObjects objects{*keys, *header, *protector};
    ASSERT_EQ(PackageOneFile(objects, Params(), (m_dir / "Movie.WMV").string(), (m_dir / "o/Movie.WMV").string()).outcome,
              kPackOk);
    UnprotectInfo info;
    ASSERT_TRUE(UnprotectFile((m_dir / "o/Movie.WMV").string(), Params().seed, Params().pubKey,
                              (m_dir / "back").string(), info, m_lastError))
        << m_lastError;
    EXPECT_EQ(ReadAll(m_dir / "back"), original);
    EXPECT_EQ(info.bytes, original.size());
    EXPECT_EQ(info.header.version, "2.2");
    EXPECT_EQ(info.header.keyId, KeyIdText("Movie.WMV"));
    EXPECT_EQ(info.header.contentId, "content-7");
    EXPECT_EQ(info.header.licenseUrl, Params().genUrl);
    const std::vector<std::pair<std::string, std::string>> attributes = {
        {"author", ""},      {"author_url", ""},        {"email", ""},
        {"copyright", ""},   {"description", ""},       {"cpcode", "CP42"},
        {"filename", "Movie.WMV"}, {"genurl", Params().genUrl}, {"down_authurl", ""}};
    EXPECT_EQ(info.header.attributes, attributes);
}

TEST_F(ProtectTest, WrongSeedAndForeignSignerAreRefusedWithoutOutput)
{
    WriteAll(m_dir / "a.wma", Pattern(300));
    ASSERT_EQ(Pack(m_dir / "a.wma", m_dir / "p.wma"), kPackOk);
    EXPECT_FALSE(Unpack(m_dir / "p.wma", m_dir / "back", "another seed"));
    EXPECT_NE(m_lastError.find("seed"), std::string::npos) << m_lastError;
    std::string otherPub;
    ASSERT_TRUE(PublicKeyOf(Base64Encode(std::string(32, '\x11')), otherPub));
    EXPECT_FALSE(Unpack(m_dir / "p.wma", m_dir / "back", Params().seed, otherPub));
    EXPECT_TRUE(Unpack(m_dir / "p.wma", m_dir / "back", Params().seed, Params().pubKey)) << m_lastError;
    fs::remove(m_dir / "back");
    EXPECT_EQ(Names(), (std::vector<std::string>{"a.wma", "p.wma"}));
}

TEST_F(ProtectTest, AnyFlippedBitTruncationOrReorderingIsRefused)
{
    WriteAll(m_dir / "a.asf", Pattern(200)); // chunks of 64: 64, 64, 64, 8
    ASSERT_EQ(Pack(m_dir / "a.asf", m_dir / "p.asf"), kPackOk);
    const std::string sealed = ReadAll(m_dir / "p.asf");
    const uint32_t headerBytes = ReadBe32(sealed.data() + 8);
    const size_t payload = 12 + headerBytes + 4 + 16;
    ASSERT_EQ(sealed.size(), payload + 3 * (64 + 16) + 8 + 16);

    auto refused = [&](const std::string& bytes, const char* what) {
        WriteAll(m_dir / "t.asf", bytes);
        EXPECT_FALSE(Unpack(m_dir / "t.asf", m_dir / "back.asf")) << what;
        EXPECT_FALSE(fs::exists(m_dir / "back.asf")) << what;
    };
    // Every byte of the preamble and a sample of the payload, one bit at a time.
    for (size_t i = 0; i < sealed.size(); i += (i < payload ? 1 : 7)) {
        std::string bad = sealed;
        bad[i] = static_cast<char>(bad[i] ^ (1 << (i % 8)));
        refused(bad, ("bit flipped at " + std::to_string(i)).c_str());
    }
    refused(sealed.substr(0, sealed.size() - 24), "last chunk removed");
    refused(sealed.substr(0, payload + 80), "cut after a whole chunk");
    refused(sealed + "x", "byte appended");
    std::string swapped = sealed;
    std::swap_ranges(swapped.begin() + payload, swapped.begin() + payload + 80, swapped.begin() + payload + 80);
    refused(swapped, "two chunks swapped");
    EXPECT_TRUE(Unpack(m_dir / "p.asf", m_dir / "back.asf")) << m_lastError;
}

TEST_F(ProtectTest, KnownAnswer)
{
    std::string pub;
    ASSERT_TRUE(PublicKeyOf(Params().priKey, pub));
    EXPECT_EQ(pub, Params().pubKey); // the key pair of RFC 8032

    std::string key;
    ASSERT_TRUE(DeriveContentKey("seed-0123456789", "Y2xpcC53bXY=", key));
    EXPECT_EQ(ToHex(key), "d5d7e1415a403f6b0e4bbca39e91733d3da91f5b20c2a4290853265a6ee6ddec");

    WriteAll(m_dir / "clip.wmv", Pattern(100));
    ASSERT_EQ(Pack(m_dir / "clip.wmv", m_dir / "p.wmv", Params(), 40), kPackOk) << m_lastError;
    const std::string sealed = ReadAll(m_dir / "p.wmv");
    const uint32_t headerBytes = ReadBe32(sealed.data() + 8);
    const std::string header = sealed.substr(12, headerBytes);
    EXPECT_EQ(sealed.substr(0, 8), std::string("TLXDRM\0\1", 8));
    EXPECT_EQ(header,
              "TLXDRM-HEADER\n"
              "VERSION:2.2\n"
              "KID:Y2xpcC53bXY%3D\n"
              "CID:content-7\n"
              "LAINFO:http://127.0.0.1:8080/pack/license.asp\n"
              "ATTR:author=\n"
              "ATTR:author_url=\n"
              "ATTR:email=\n"
              "ATTR:copyright=\n"
              "ATTR:description=\n"
              "ATTR:cpcode=CP42\n"
              "ATTR:filename=clip.wmv\n"
              "ATTR:genurl=http://127.0.0.1:8080/pack/license.asp\n"
              "ATTR:down_authurl=\n"
              "KCV:YLP1iV1Mul8=\n"
              "PUBKEY:11qYAYKxCrfVS/7TyWQHOg7hcvPapiMlrwIaaPcHURo=\n"
              "SIG:uzbdMeBgbmH94l31++HgTEnkjBbH0H0yv+NNUQCK4ECdjUQD6Zac20oMzFSVMXK+wR2lHtaSiPQVgucV9jYZAQ==\n");
    // Chunk size 40, the salt, then chunks of 40, 40 and a final 20 bytes, each with its tag.
    EXPECT_EQ(ToHex(sealed.substr(12 + headerBytes, 20)), "00000028" "5a5a5a5a5a5a5a5a5a5a5a5a5a5a5a5a");
    ASSERT_EQ(sealed.size(), 12 + headerBytes + 20 + 2 * (40 + 16) + 20 + 16);
    EXPECT_EQ(ToHex(sealed.substr(12 + headerBytes + 20)), "cc06ab493a03130d1f87cb66c5096e2ed5f1c5928bb1641ea82733bfe70b0fe0da88dd75f60ad2a810874902fe6177bf528a33d1ee80f846"
              "7518e7de3a847f5803ff79d2de98275d530ca8de71528c58c16e572efa2daf34ec00a67b842c9dd15f61cb54316a9456e87fcd8a877a5ad9"
              "7d0c5b405bf6379dfdda9d11c09f3fd7ba288372387ef905a11f54498f23f9947ad9ba8b");
}

TEST_F(ProtectTest, KeyIdIsTheBase64OfTheFileNameCutAt24)
{
    EXPECT_EQ(KeyIdText("a.wmv"), "YS53bXY=");                       // 5 bytes: all 8 characters
    EXPECT_EQ(KeyIdText("abcdefghijklmn.wmv"), "YWJjZGVmZ2hpamtsbW4ud212"); // 18 bytes: exactly 24
    EXPECT_EQ(KeyIdText("abcdefghijklmno.wmv"), "YWJjZGVmZ2hpamtsbW5vLndt"); // longer: cut at 24
    EXPECT_EQ(KeyIdText("영상.wmv").size(), 16u);                    // UTF-8 bytes of the name
}

// Objects that record the calls made on them and pass them on to the real ones.
struct Recorder {
    std::vector<std::string> calls;
};

class RecordingKeys final : public IKeyGenerator {
public:
    RecordingKeys(IKeyGenerator& real, Recorder& r) : m_real(real), m_r(r) {}
    bool SetKeyId(const std::string& v) override { return Note("key.SetKeyId"), m_real.SetKeyId(v); }
    bool SetSeed(const std::string& v) override { return Note("key.SetSeed"), m_real.SetSeed(v); }
    bool GenerateKey(std::string& k) override { return Note("key.GenerateKey"), m_real.GenerateKey(k); }
    std::string LastError() const override { return m_real.LastError(); }

private:
    void Note(const char* c) { m_r.calls.push_back(c); }
    IKeyGenerator& m_real;
    Recorder& m_r;
};

class RecordingProtector final : public IProtector {
public:
    RecordingProtector(IProtector& real, Recorder& r) : m_real(real), m_r(r) {}
    bool SetHeader(const std::string& v) override { return Note("protect.SetHeader"), m_real.SetHeader(v); }
    bool SetKeyId(const std::string& v) override { return Note("protect.SetKeyId"), m_real.SetKeyId(v); }
    bool SetContentKey(const std::string& v) override { return Note("protect.SetContentKey"), m_real.SetContentKey(v); }
    bool SetInputFile(const std::string& v) override { return Note("protect.SetInputFile"), m_real.SetInputFile(v); }
    bool ProtectFile(const std::string& v) override { return Note("protect.ProtectFile"), m_real.ProtectFile(v); }
    std::string LastError() const override { return m_real.LastError(); }

private:
    void Note(const char* c) { m_r.calls.push_back(c); }
    IProtector& m_real;
    Recorder& m_r;
};

TEST_F(ProtectTest, AnMp3PassesTheKeyAndHeaderCallsThenEndsAsNotMedia)
{
    WriteAll(m_dir / "song.mp3", Pattern(50));
    auto factory = CreateOpenSslFactory();
    auto keys = factory->CreateKeyGenerator();
    auto header = factory->CreateHeader();
    auto protector = factory->CreateProtector();
    Recorder rec;
    RecordingKeys k(*keys, rec);
    RecordingProtector p(*protector, rec);
    PackObjects objects{k, *header, p};
    EXPECT_EQ(PackageOneFile(objects, Params(), (m_dir / "song.mp3").string(), (m_dir / "out/song.mp3").string()).outcome,
              kPackNotMedia);
    EXPECT_EQ(rec.calls, (std::vector<std::string>{"key.SetKeyId", "key.SetSeed", "key.GenerateKey", "protect.SetHeader",
                                                   "protect.SetKeyId", "protect.SetContentKey", "protect.SetInputFile"}));
    EXPECT_EQ(Names(), std::vector<std::string>{"song.mp3"});

    // Without parameters (the authentication was refused) nothing is packaged.
    WriteAll(m_dir / "v.wmv", Pattern(50));
    EXPECT_EQ(Pack(m_dir / "v.wmv", m_dir / "o.wmv", PackagingParams{}), kPackFailed);
    // A public key that does not belong to the private key fails the header's check.
    PackagingParams mismatched = Params();
    mismatched.pubKey = Base64Encode(std::string(32, '\x01'));
    EXPECT_EQ(Pack(m_dir / "v.wmv", m_dir / "o.wmv", mismatched), kPackFailed);
    EXPECT_EQ(Pack(m_dir / "missing.wmv", m_dir / "o.wmv"), kPackFailed);
    EXPECT_FALSE(fs::exists(m_dir / "o.wmv"));
}

TEST_F(ProtectTest, TheInputUnderAnotherSpellingIsLeftUntouched)
{
    fs::create_directories(m_dir / "media");
    const std::string original = Pattern(500);
    WriteAll(m_dir / "media/a.wmv", original);
    fs::create_directory_symlink(m_dir / "media", m_dir / "link");
    const auto before = fs::last_write_time(m_dir / "media/a.wmv");
    for (const fs::path& out : {m_dir / "media/a.wmv", m_dir / "media/./a.wmv", m_dir / "media//a.wmv",
                                m_dir / "link/a.wmv", m_dir / "media/../media/a.wmv"}) {
        SCOPED_TRACE(out.string());
        EXPECT_EQ(Pack(m_dir / "media/a.wmv", out), kPackSamePath);
    }
    fs::create_hard_link(m_dir / "media/a.wmv", m_dir / "hard.wmv");
    EXPECT_EQ(Pack(m_dir / "media/a.wmv", m_dir / "hard.wmv"), kPackSamePath);
    EXPECT_EQ(ReadAll(m_dir / "media/a.wmv"), original);
    EXPECT_EQ(fs::last_write_time(m_dir / "media/a.wmv"), before);
    EXPECT_EQ(Names(), (std::vector<std::string>{"hard.wmv", "link", "media", "media/a.wmv"}));
}

TEST_F(ProtectTest, AFailedWriteLeavesNoTemporaryAndKeepsTheEarlierOutput)
{
    WriteAll(m_dir / "big.wmv", Pattern(400000));
    WriteAll(m_dir / "small.wmv", Pattern(1000));
    fs::create_directories(m_dir / "out");
    ASSERT_EQ(Pack(m_dir / "small.wmv", m_dir / "out/big.wmv"), kPackOk);
    const std::string earlier = ReadAll(m_dir / "out/big.wmv");

    // Files may grow to 64 KiB only: the write fails part way.
    struct sigaction ignore {}, old {};
    ignore.sa_handler = SIG_IGN;
    sigaction(SIGXFSZ, &ignore, &old);
    rlimit saved{};
    getrlimit(RLIMIT_FSIZE, &saved);
    rlimit small = saved;
    small.rlim_cur = 64 * 1024;
    ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &small), 0);
    const int outcome = Pack(m_dir / "big.wmv", m_dir / "out/big.wmv", Params(), 4096);
    const int fresh = Pack(m_dir / "big.wmv", m_dir / "out/new.wmv", Params(), 4096);
    setrlimit(RLIMIT_FSIZE, &saved);
    sigaction(SIGXFSZ, &old, nullptr);

    EXPECT_EQ(outcome, kPackFailed);
    EXPECT_EQ(fresh, kPackFailed);
    EXPECT_NE(m_lastError.find("write"), std::string::npos) << m_lastError;
    EXPECT_EQ(ReadAll(m_dir / "out/big.wmv"), earlier);
    EXPECT_EQ(Names(), (std::vector<std::string>{"big.wmv", "out", "out/big.wmv", "small.wmv"}));
}

TEST_F(ProtectTest, OutputsAndRestoredOriginalsGetTheModeTheUmaskAllows)
{
    WriteAll(m_dir / "a.wmv", Pattern(300));
    auto mode = [](const fs::path& p) {
        struct stat st {};
        return ::stat(p.c_str(), &st) == 0 ? int(st.st_mode & 0777) : -1;
    };
    const mode_t saved = ::umask(0);
    for (const mode_t mask : {mode_t(077), mode_t(022), mode_t(027)}) {
        ::umask(mask);
        SCOPED_TRACE(mask);
        const fs::path out = m_dir / ("out-" + std::to_string(mask) + ".wmv");
        const fs::path back = m_dir / ("back-" + std::to_string(mask));
        ASSERT_EQ(Pack(m_dir / "a.wmv", out), kPackOk) << m_lastError;
        EXPECT_EQ(mode(out), int(0666 & ~mask));
        ASSERT_EQ(Pack(m_dir / "a.wmv", out), kPackOk) << m_lastError; // replacing an earlier package
        EXPECT_EQ(mode(out), int(0666 & ~mask));
        ASSERT_TRUE(Unpack(out, back)) << m_lastError;
        EXPECT_EQ(mode(back), int(0666 & ~mask));
    }
    ::umask(saved);
}

TEST_F(ProtectTest, AnOutputReplacesOnlyAnEarlierPackageAndAProtectedFileIsNoMedia)
{
    WriteAll(m_dir / "a.wmv", Pattern(300));
    fs::create_directories(m_dir / "out");
    WriteAll(m_dir / "out/a.wmv", "someone's own a.wmv");
    ASSERT_EQ(Pack(m_dir / "a.wmv", m_dir / "out/a.wmv"), kPackOk) << m_lastError;
    EXPECT_EQ(ReadAll(m_dir / "out/a.wmv"), "someone's own a.wmv");
    ASSERT_TRUE(Unpack(m_dir / "out/a_[1].wmv", m_dir / "back")) << m_lastError;
    EXPECT_EQ(ReadAll(m_dir / "back"), Pattern(300));
    // Packaged again: the earlier package under the free name is the one replaced.
    WriteAll(m_dir / "a.wmv", Pattern(301));
    ASSERT_EQ(Pack(m_dir / "a.wmv", m_dir / "out/a.wmv"), kPackOk) << m_lastError;
    ASSERT_TRUE(Unpack(m_dir / "out/a_[1].wmv", m_dir / "back")) << m_lastError;
    EXPECT_EQ(ReadAll(m_dir / "back"), Pattern(301));
    EXPECT_FALSE(fs::exists(m_dir / "out/a_[2].wmv"));

    // A file of the run (an input still to come, an output already written) is never replaced,
    // even when it is a package.
    auto factory = CreateOpenSslFactory();
    auto keys = factory->CreateKeyGenerator();
    auto header = factory->CreateHeader();
    auto protector = CreateOpenSslProtector({std::string(16, '\x5a'), 64});
    PackObjects objects{*keys, *header, *protector};
    PackagingRun run;
    run.AddFile((m_dir / "out/a_[1].wmv").string());
    const PackResult r = PackageOneFile(objects, Params(), (m_dir / "a.wmv").string(), (m_dir / "out/a.wmv").string(), &run);
    ASSERT_EQ(r.outcome, kPackOk) << r.error;
    EXPECT_EQ(r.outputPath, (m_dir / "out/a_[2].wmv").string());
    EXPECT_TRUE(run.HasFile(r.outputPath));

    // A protected file, whatever its name, is not packaged again.
    EXPECT_TRUE(IsProtectedFile((m_dir / "out/a_[1].wmv").string()));
    EXPECT_FALSE(IsProtectedFile((m_dir / "a.wmv").string()));
    ASSERT_EQ(::mkfifo((m_dir / "pipe.wmv").c_str(), 0600), 0);
    EXPECT_FALSE(IsProtectedFile((m_dir / "pipe.wmv").string())); // at once, without a writer
    EXPECT_EQ(Pack(m_dir / "out/a_[1].wmv", m_dir / "again/a.wmv"), kPackNotMedia);
    EXPECT_FALSE(fs::exists(m_dir / "again/a.wmv"));
    // No temporary file is left anywhere.
    for (const std::string& name : Names())
        EXPECT_EQ(name.find(".tlxtmp-"), std::string::npos) << name;
}

TEST(DrmFormat, Base64AndHeaderTextAreStrict)
{
    std::string bytes;
    EXPECT_TRUE(Base64Decode("YS53bXY=", bytes));
    EXPECT_EQ(bytes, "a.wmv");
    EXPECT_TRUE(Base64Decode("", bytes));
    for (const char* bad : {"YS53bXY", "YS5=bXY=", "YS53b*Y=", "Y==="})
        EXPECT_FALSE(Base64Decode(bad, bytes)) << bad;

    HeaderFields f;
    std::string error;
    EXPECT_FALSE(ParseHeaderText("TLXDRM-HEADER\nVERSION:2.2\n", f, error));
    EXPECT_FALSE(ParseHeaderText(std::string(kMaxHeaderBytes + 1, 'x'), f, error));
    // Values with line breaks, '=' and '%' stay one line each and come back whole.
    f.version = "2.2";
    f.keyId = "k";
    f.contentId = "a\nb";
    f.licenseUrl = "http://x/?a=1&b=%41";
    f.attributes = {{"na=me", "v\r\n%"}};
    f.keyCheck = std::string(8, '\x01');
    f.publicKey = std::string(32, '\x02');
    const std::string text = HeaderSignedPart(f) + "SIG:" + Base64Encode(std::string(64, '\x03')) + "\n";
    HeaderFields back;
    ASSERT_TRUE(ParseHeaderText(text, back, error)) << error;
    EXPECT_EQ(back.contentId, f.contentId);
    EXPECT_EQ(back.licenseUrl, f.licenseUrl);
    EXPECT_EQ(back.attributes, f.attributes);
    EXPECT_FALSE(VerifyHeaderSignature(back, error));
}

TEST(DrmOutcomes, TheRowOfEachOutcome)
{
    struct Row {
        int outcome, state, image;
        const char* status;
        const char* log;
    };
    const Row rows[] = {
        {0, 1, 2, "성공", "\t==> Packaging 성공"},
        {-1, 2, 3, "Packing 오류입니다", "\t==> Packaging fail"},
        {-2, 3, 3, "실패 : 동영상 파일이 아닙니다.", "\t==> Packaging not media file"},
        {-3, 4, 3, "실패 : Input 경로와 output 경로 같습니다.", "\t==> Packaging output root maching"},
        {7, 2, 3, "Packing 오류입니다", "\t==> Packaging fail"},
    };
    for (const Row& r : rows) {
        const OutcomeRow o = OutcomeOf(r.outcome);
        EXPECT_EQ(o.state, r.state) << r.outcome;
        EXPECT_EQ(o.image, r.image) << r.outcome;
        EXPECT_STREQ(o.status, r.status);
        EXPECT_STREQ(o.logSuffix, r.log);
        EXPECT_EQ(ImageOfState(o.state), r.image);
    }
    EXPECT_EQ(ImageOfState(0), 0);
    EXPECT_EQ(ImageOfState(-1), 1);
    EXPECT_EQ(PackedSizeText(999), "0 KB ");
    EXPECT_EQ(PackedSizeText(4'294'967'296LL), "4294967 KB "); // 4 GiB: no 32-bit wrap
    EXPECT_EQ(PackedSizeText(5'000'000'000'123LL), "5000000000 KB ");
}

TEST(DrmPaths, EachTargetKeepsItsPlaceBelowTheFolderItWasAddedWith)
{
    EXPECT_EQ(RelativeOutputPath("/m/Media", true, "/m/Media/x.WMV"), "x.WMV");
    EXPECT_EQ(RelativeOutputPath("/m/Media", true, "/m/Media/Sub/x.WMV"), "Sub/x.WMV");
    EXPECT_EQ(RelativeOutputPath("/m/Media/", true, "/m/Media/Sub/Deep/x.WMV"), "Sub/Deep/x.WMV");
    EXPECT_EQ(RelativeOutputPath("/m/Media/x.WMV", false, "/m/Media/x.WMV"), "x.WMV");
    EXPECT_EQ(RelativeOutputPath("/", true, "/top/x.wma"), "top/x.wma");
    // Another source folder added later does not move the first one's targets.
    EXPECT_EQ(RelativeOutputPath("/other/longer/root", true, "/other/longer/root/A/x.wmv"), "A/x.wmv");
    EXPECT_EQ(JoinPath("/t/drm", "Sub/x.WMV"), "/t/drm/Sub/x.WMV");
    EXPECT_EQ(JoinPath("/t/drm/", "x.WMV"), "/t/drm/x.WMV");
    EXPECT_EQ(NumberedName("Sub/x.wmv", 1), "Sub/x_[1].wmv");
    EXPECT_EQ(NumberedName("a.b/x", 2), "a.b/x_[2]");
    EXPECT_EQ(NumberedName(".hidden", 3), ".hidden_[3]");
}

} // namespace
