#pragma once
// The protected file format and its crypto helpers (see drm/protect/README.md). Qt-free.

#include <cstdint>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace talvex::drm {

inline constexpr char kFileMagic[8] = {'T', 'L', 'X', 'D', 'R', 'M', '\0', '\1'};
inline constexpr uint32_t kDefaultChunkBytes = 1u << 20; // plaintext bytes per chunk
inline constexpr uint32_t kMaxChunkBytes = 16u << 20;
inline constexpr uint32_t kMaxHeaderBytes = 64u << 10;
inline constexpr size_t kSaltBytes = 16;
inline constexpr size_t kTagBytes = 16;
inline constexpr size_t kKeyCheckBytes = 8;

// RFC 4648 Base64 with "=" padding. Decode fails on any other character or a bad length.
std::string Base64Encode(std::string_view bytes);
bool Base64Decode(std::string_view text, std::string& bytes);

// Content key: HKDF-SHA256 of the seed text, info "talvex-drm/content-key:" + key id; 32 bytes.
bool DeriveContentKey(const std::string& seed, const std::string& keyId, std::string& key);
// Key check value written into the header: HKDF-SHA256 of the content key, 8 bytes.
bool KeyCheckValue(const std::string& contentKey, std::string& kcv);

// Ed25519: the public key (Base64) of a private key (Base64 of its 32 bytes).
bool PublicKeyOf(const std::string& privateKeyBase64, std::string& publicKeyBase64);

// The fields of a header text.
struct HeaderFields {
    std::string version, keyId, contentId, licenseUrl;
    std::vector<std::pair<std::string, std::string>> attributes;
    std::string keyCheck;  // raw bytes
    std::string publicKey; // raw 32 bytes
    std::string signature; // raw 64 bytes
    std::string signedPart; // the text the signature covers
};

// The unsigned part of a header text (everything up to and including the PUBKEY line).
std::string HeaderSignedPart(const HeaderFields& f);
// Parses a whole header text; false with a reason when it is malformed.
bool ParseHeaderText(std::string_view text, HeaderFields& f, std::string& error);
// Ed25519 check of a parsed header against its own public key.
bool VerifyHeaderSignature(const HeaderFields& f, std::string& error);

// True when the file begins with the protected file's magic.
bool IsProtectedFile(const std::string& path);

// Restores the original bytes of a protected file for someone who holds the seed. The
// header signature is checked (against pinnedPublicKey, Base64, too when it is not empty),
// then every chunk; the output is written beside its final name and renamed into place, so
// a refused or broken file leaves no output behind. False with a reason on any failure.
struct UnprotectInfo {
    HeaderFields header;
    uint64_t bytes = 0;
};
bool UnprotectFile(const std::string& inputPath, const std::string& seed, const std::string& pinnedPublicKey,
                   const std::string& outputPath, UnprotectInfo& info, std::string& error);

} // namespace talvex::drm
