// The protection objects on OpenSSL 3.

#include "drm/protect/atomic_file.h"
#include "drm/protect/chunk_cipher.h"
#include "drm/protect/drm_format.h"
#include "drm/protect/drm_objects.h"

#include <openssl/evp.h>
#include <openssl/kdf.h>
#include <openssl/rand.h>

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace talvex::drm {
namespace {

bool Fail(std::string& error, std::string why)
{
    error = std::move(why);
    return false;
}

bool DecodeContentKey(const std::string& text, std::string& key)
{
    return Base64Decode(text, key) && key.size() == 32;
}

class KeyGenerator final : public IKeyGenerator {
public:
    bool SetKeyId(const std::string& keyId) override
    {
        if (keyId.empty())
            return Fail(m_error, "empty key id");
        m_keyId = keyId;
        return true;
    }
    bool SetSeed(const std::string& seed) override
    {
        if (seed.empty())
            return Fail(m_error, "empty seed");
        m_seed = seed;
        return true;
    }
    bool GenerateKey(std::string& contentKey) override
    {
        std::string key;
        if (m_keyId.empty() || m_seed.empty())
            return Fail(m_error, "the key id and the seed must be set first");
        if (!DeriveContentKey(m_seed, m_keyId, key))
            return Fail(m_error, "the key derivation failed");
        contentKey = Base64Encode(key);
        return true;
    }
    std::string LastError() const override { return m_error; }

private:
    std::string m_keyId, m_seed, m_error;
};

class Header final : public IHeader {
public:
    bool SetVersion(const std::string& version) override { return Set(m_f.version, version); }
    bool SetLicenseUrl(const std::string& url) override { return Set(m_f.licenseUrl, url, true); }
    bool SetKeyId(const std::string& keyId) override { return Set(m_f.keyId, keyId); }
    bool SetContentId(const std::string& contentId) override { return Set(m_f.contentId, contentId, true); }
    bool SetAttribute(const std::string& name, const std::string& value) override
    {
        if (name.empty())
            return Fail(m_error, "an attribute needs a name");
        m_signed.clear();
        for (auto& a : m_f.attributes)
            if (a.first == name) {
                a.second = value;
                return true;
            }
        m_f.attributes.emplace_back(name, value);
        return true;
    }
    bool SetContentKey(const std::string& contentKey) override
    {
        std::string key;
        if (!DecodeContentKey(contentKey, key) || !KeyCheckValue(key, m_f.keyCheck))
            return Fail(m_error, "not a content key");
        m_signed.clear();
        return true;
    }
    bool Sign(const std::string& privateKey) override
    {
        m_signed.clear();
        if (m_f.version.empty() || m_f.keyId.empty() || m_f.keyCheck.empty())
            return Fail(m_error, "the version, the key id and the content key must be set before signing");
        std::string raw, pub;
        if (!Base64Decode(privateKey, raw) || raw.size() != 32 || !PublicKeyOf(privateKey, pub)
            || !Base64Decode(pub, m_f.publicKey))
            return Fail(m_error, "not an Ed25519 private key");
        EVP_PKEY* key = EVP_PKEY_new_raw_private_key(EVP_PKEY_ED25519, nullptr,
                                                     reinterpret_cast<const unsigned char*>(raw.data()), raw.size());
        EVP_MD_CTX* ctx = EVP_MD_CTX_new();
        const std::string part = HeaderSignedPart(m_f);
        unsigned char sig[64];
        size_t len = sizeof sig;
        const bool ok = key && ctx && EVP_DigestSignInit(ctx, nullptr, nullptr, nullptr, key) == 1
                        && EVP_DigestSign(ctx, sig, &len, reinterpret_cast<const unsigned char*>(part.data()), part.size())
                               == 1;
        EVP_MD_CTX_free(ctx);
        EVP_PKEY_free(key);
        if (!ok || len != 64)
            return Fail(m_error, "the signature failed");
        m_f.signature.assign(reinterpret_cast<char*>(sig), len);
        m_f.signedPart = part;
        m_signed = part + "SIG:" + Base64Encode(m_f.signature) + "\n";
        return true;
    }
    bool Verify(const std::string& publicKey) override
    {
        std::string raw, error;
        if (m_signed.empty())
            return Fail(m_error, "the header is not signed");
        if (!Base64Decode(publicKey, raw) || raw != m_f.publicKey)
            return Fail(m_error, "the public key does not belong to the signing key");
        if (!VerifyHeaderSignature(m_f, error))
            return Fail(m_error, error);
        return true;
    }
    bool GetHeaderText(std::string& text) override
    {
        if (m_signed.empty())
            return Fail(m_error, "the header is not signed");
        text = m_signed;
        return true;
    }
    std::string LastError() const override { return m_error; }

private:
    bool Set(std::string& field, const std::string& value, bool mayBeEmpty = false)
    {
        if (value.empty() && !mayBeEmpty)
            return Fail(m_error, "empty header field");
        field = value;
        m_signed.clear();
        return true;
    }

    HeaderFields m_f;
    std::string m_signed, m_error;
};

class Protector final : public IProtector {
public:
    explicit Protector(ProtectorTuning tuning) : m_tuning(std::move(tuning)) {}

    bool SetHeader(const std::string& headerText) override
    {
        HeaderFields f;
        std::string error;
        if (!ParseHeaderText(headerText, f, error))
            return Fail(m_error, error);
        m_header = headerText;
        m_fields = std::move(f);
        return true;
    }
    bool SetKeyId(const std::string& keyId) override
    {
        if (keyId.empty())
            return Fail(m_error, "empty key id");
        m_keyId = keyId;
        return true;
    }
    bool SetContentKey(const std::string& contentKey) override
    {
        if (!DecodeContentKey(contentKey, m_contentKey))
            return Fail(m_error, "not a content key");
        return true;
    }
    bool SetInputFile(const std::string& path) override
    {
        struct stat st {};
        if (::stat(path.c_str(), &st) != 0)
            return Fail(m_error, "cannot find " + path + ": " + std::strerror(errno));
        if (!S_ISREG(st.st_mode))
            return Fail(m_error, path + " is not a regular file");
        if (::access(path.c_str(), R_OK) != 0)
            return Fail(m_error, "cannot read " + path + ": " + std::strerror(errno));
        m_input = path;
        return true;
    }
    bool ProtectFile(const std::string& outputPath) override;
    std::string LastError() const override { return m_error; }

private:
    ProtectorTuning m_tuning;
    std::string m_header, m_keyId, m_contentKey, m_input, m_error;
    HeaderFields m_fields;
};

bool Protector::ProtectFile(const std::string& outputPath)
{
    if (m_header.empty() || m_keyId.empty() || m_contentKey.empty() || m_input.empty())
        return Fail(m_error, "the header, the key id, the content key and the input must be set first");
    std::string kcv;
    if (m_fields.keyId != m_keyId)
        return Fail(m_error, "the header belongs to another key id");
    if (!KeyCheckValue(m_contentKey, kcv) || kcv != m_fields.keyCheck)
        return Fail(m_error, "the header belongs to another content key");
    const uint32_t chunkBytes = m_tuning.chunkBytes ? m_tuning.chunkBytes : kDefaultChunkBytes;
    if (chunkBytes > kMaxChunkBytes)
        return Fail(m_error, "chunk size out of range");
    std::string salt = m_tuning.fixedSalt;
    if (salt.empty()) {
        salt.resize(kSaltBytes);
        if (RAND_bytes(reinterpret_cast<unsigned char*>(salt.data()), static_cast<int>(salt.size())) != 1)
            return Fail(m_error, "no random bytes for the salt");
    } else if (salt.size() != kSaltBytes) {
        return Fail(m_error, "the salt must have 16 bytes");
    }
    std::string payloadKey;
    ChunkCipher cipher;
    if (!PayloadKey(m_contentKey, salt, payloadKey)
        || !cipher.Init(true, payloadKey, PreambleDigest(m_header, chunkBytes, salt)))
        return Fail(m_error, "the cipher cannot be set up");

    const int fd = ::open(m_input.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return Fail(m_error, "cannot open " + m_input + ": " + std::strerror(errno));
    struct Closer {
        int fd;
        ~Closer() { ::close(fd); }
    } closer{fd};
    ::posix_fadvise(fd, 0, 0, POSIX_FADV_SEQUENTIAL);

    AtomicOutput out;
    if (!out.Open(outputPath, m_error))
        return false;
    std::string preamble(kFileMagic, sizeof kFileMagic);
    preamble += Be32(static_cast<uint32_t>(m_header.size()));
    preamble += m_header;
    preamble += Be32(chunkBytes);
    preamble += salt;
    if (!out.Write(preamble, m_error))
        return false;
    std::string plain(chunkBytes, '\0'), sealed(chunkBytes + kTagBytes, '\0');
    for (uint64_t index = 0;; ++index) {
        const long long got = ReadFull(fd, plain.data(), plain.size());
        if (got < 0)
            return Fail(m_error, "cannot read " + m_input + ": " + std::strerror(errno));
        // Every chunk but the last is full; a full last chunk is followed by an empty final one.
        const bool final = got < static_cast<long long>(plain.size());
        const size_t size = static_cast<size_t>(got);
        if (!cipher.Process(index, final, plain.data(), size, sealed.data()))
            return Fail(m_error, "the encryption failed");
        if (!out.Write(std::string_view(sealed.data(), size + kTagBytes), m_error))
            return false;
        if (final)
            break;
    }
    return out.Commit(m_error);
}

bool CipherAvailable()
{
    EVP_CIPHER* gcm = EVP_CIPHER_fetch(nullptr, "AES-256-GCM", nullptr);
    EVP_CIPHER_free(gcm);
    return gcm != nullptr;
}

bool KdfAvailable()
{
    EVP_KDF* kdf = EVP_KDF_fetch(nullptr, "HKDF", nullptr);
    EVP_KDF_free(kdf);
    return kdf != nullptr;
}

bool SignatureAvailable()
{
    EVP_SIGNATURE* sig = EVP_SIGNATURE_fetch(nullptr, "ED25519", nullptr);
    EVP_SIGNATURE_free(sig);
    return sig != nullptr;
}

class OpenSslFactory final : public IDrmFactory {
public:
    std::unique_ptr<IKeyGenerator> CreateKeyGenerator() override
    {
        return KdfAvailable() ? std::make_unique<KeyGenerator>() : nullptr;
    }
    std::unique_ptr<IHeader> CreateHeader() override
    {
        return SignatureAvailable() && KdfAvailable() ? std::make_unique<Header>() : nullptr;
    }
    std::unique_ptr<IProtector> CreateProtector() override { return CreateOpenSslProtector({}); }
};

} // namespace

std::unique_ptr<IProtector> CreateOpenSslProtector(const ProtectorTuning& tuning)
{
    return CipherAvailable() && KdfAvailable() ? std::make_unique<Protector>(tuning) : nullptr;
}

std::unique_ptr<IDrmFactory> CreateOpenSslFactory()
{
    return std::make_unique<OpenSslFactory>();
}

} // namespace talvex::drm
