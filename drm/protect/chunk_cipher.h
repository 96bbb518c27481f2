#pragma once
// AES-256-GCM over one chunk of the payload: the nonce is the chunk index (64 bits, big
// endian) and the final-chunk flag (32 bits), the additional data the digest of everything
// before the first chunk. Internal to the protection layer.

#include <cstdint>
#include <string>
#include <string_view>

typedef struct evp_cipher_ctx_st EVP_CIPHER_CTX;

namespace talvex::drm {

class ChunkCipher {
public:
    ChunkCipher();
    ~ChunkCipher();
    ChunkCipher(const ChunkCipher&) = delete;
    ChunkCipher& operator=(const ChunkCipher&) = delete;

    // key: 32 bytes; aad: the preamble digest.
    bool Init(bool encrypt, const std::string& key, const std::string& aad);
    // Encrypt: out gets size bytes and then the 16-byte tag. Decrypt: in holds size bytes
    // and the tag; out gets size bytes; false when the tag does not check.
    bool Process(uint64_t index, bool final, const char* in, size_t size, char* out);

private:
    EVP_CIPHER_CTX* m_ctx = nullptr;
    bool m_encrypt = true;
    std::string m_aad;
};

std::string Sha256(std::string_view bytes);
// HKDF-SHA256 (extract and expand); false when the library refuses.
bool Hkdf(std::string_view key, std::string_view salt, std::string_view info, size_t length, std::string& out);
// Big-endian numbers.
std::string Be32(uint32_t v);
uint32_t ReadBe32(const char* p);

// The digest that binds header, chunk size and salt to every chunk.
std::string PreambleDigest(std::string_view header, uint32_t chunkBytes, std::string_view salt);
// The payload key of one file.
bool PayloadKey(const std::string& contentKey, const std::string& salt, std::string& key);

} // namespace talvex::drm
