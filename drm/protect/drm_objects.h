#pragma once
// The three media-protection objects the packaging flow drives: a key generator, a content
// header and a protector. Each call answers true on success; on false, LastError() says why.
// The packaging code relies on nothing they return except the content key and the header
// text. Qt-free.
//
// Our own implementation (CreateOpenSslFactory) derives the content key with HKDF-SHA256,
// signs the header with Ed25519 and encrypts the media bytes with AES-256-GCM in chunks; the
// file format is described in drm/protect/README.md.

#include <cstdint>
#include <memory>
#include <string>

namespace talvex::drm {

class IKeyGenerator {
public:
    virtual ~IKeyGenerator() = default;
    virtual bool SetKeyId(const std::string& keyId) = 0;
    virtual bool SetSeed(const std::string& seed) = 0;
    // The content key as Base64 text; needs the key id and the seed.
    virtual bool GenerateKey(std::string& contentKey) = 0;
    virtual std::string LastError() const = 0;
};

class IHeader {
public:
    virtual ~IHeader() = default;
    virtual bool SetVersion(const std::string& version) = 0;
    virtual bool SetLicenseUrl(const std::string& url) = 0;
    virtual bool SetKeyId(const std::string& keyId) = 0;
    virtual bool SetContentId(const std::string& contentId) = 0;
    // Attributes keep the order in which they are set; setting a name again replaces its value.
    virtual bool SetAttribute(const std::string& name, const std::string& value) = 0;
    virtual bool SetContentKey(const std::string& contentKey) = 0;
    // PriKey: Base64 of the 32-byte Ed25519 private key. Fails when a field is missing.
    virtual bool Sign(const std::string& privateKey) = 0;
    // PubKey: Base64 of the 32-byte Ed25519 public key. Fails unless it checks the signature.
    virtual bool Verify(const std::string& publicKey) = 0;
    // The signed header text; fails before Sign.
    virtual bool GetHeaderText(std::string& text) = 0;
    virtual std::string LastError() const = 0;
};

class IProtector {
public:
    virtual ~IProtector() = default;
    virtual bool SetHeader(const std::string& headerText) = 0;
    virtual bool SetKeyId(const std::string& keyId) = 0;
    virtual bool SetContentKey(const std::string& contentKey) = 0;
    // Fails unless the path names a regular file that can be read.
    virtual bool SetInputFile(const std::string& path) = 0;
    // Writes the protected file: into a temporary file beside the output, renamed into place
    // once complete, so a failure leaves neither a partial output nor a temporary behind.
    virtual bool ProtectFile(const std::string& outputPath) = 0;
    virtual std::string LastError() const = 0;
};

class IDrmFactory {
public:
    virtual ~IDrmFactory() = default;
    // Null when the object cannot be created (its algorithms are not available).
    virtual std::unique_ptr<IKeyGenerator> CreateKeyGenerator() = 0;
    virtual std::unique_ptr<IHeader> CreateHeader() = 0;
    virtual std::unique_ptr<IProtector> CreateProtector() = 0;
};

std::unique_ptr<IDrmFactory> CreateOpenSslFactory();

// Test hooks of the OpenSSL protector: a fixed file salt (16 bytes; empty = random) and the
// plaintext bytes per chunk (0 = the default). They make the output reproducible.
struct ProtectorTuning {
    std::string fixedSalt;
    uint32_t chunkBytes = 0;
};
std::unique_ptr<IProtector> CreateOpenSslProtector(const ProtectorTuning& tuning);

} // namespace talvex::drm
