#include "drm/protect/drm_format.h"

#include "drm/protect/atomic_file.h"
#include "drm/protect/chunk_cipher.h"

#include <openssl/core_names.h>
#include <openssl/evp.h>
#include <openssl/kdf.h>

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <memory>
#include <sys/stat.h>
#include <unistd.h>

namespace talvex::drm {
namespace {

constexpr char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

int Base64Value(char c)
{
    if (c >= 'A' && c <= 'Z')
        return c - 'A';
    if (c >= 'a' && c <= 'z')
        return c - 'a' + 26;
    if (c >= '0' && c <= '9')
        return c - '0' + 52;
    if (c == '+')
        return 62;
    if (c == '/')
        return 63;
    return -1;
}

struct PkeyFree {
    void operator()(EVP_PKEY* p) const { EVP_PKEY_free(p); }
};
struct MdCtxFree {
    void operator()(EVP_MD_CTX* p) const { EVP_MD_CTX_free(p); }
};

// Header text: one "NAME:value" line each, values escaped so that a line is always one line.
std::string Escape(std::string_view v)
{
    static const char kHex[] = "0123456789ABCDEF";
    std::string out;
    for (unsigned char c : v) {
        if (c < 0x20 || c == 0x7f || c == '%' || c == '=') {
            out += '%';
            out += kHex[c >> 4];
            out += kHex[c & 15];
        } else {
            out += static_cast<char>(c);
        }
    }
    return out;
}

int HexDigit(char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

bool Unescape(std::string_view v, std::string& out)
{
    out.clear();
    for (size_t i = 0; i < v.size(); ++i) {
        if (v[i] != '%') {
            out += v[i];
            continue;
        }
        if (i + 2 >= v.size())
            return false;
        const int hi = HexDigit(v[i + 1]), lo = HexDigit(v[i + 2]);
        if (hi < 0 || lo < 0)
            return false;
        out += static_cast<char>(hi * 16 + lo);
        i += 2;
    }
    return true;
}

} // namespace

std::string Base64Encode(std::string_view bytes)
{
    std::string out;
    out.reserve((bytes.size() + 2) / 3 * 4);
    for (size_t i = 0; i < bytes.size(); i += 3) {
        uint32_t v = static_cast<unsigned char>(bytes[i]) << 16;
        if (i + 1 < bytes.size())
            v |= static_cast<unsigned char>(bytes[i + 1]) << 8;
        if (i + 2 < bytes.size())
            v |= static_cast<unsigned char>(bytes[i + 2]);
        out += kAlphabet[(v >> 18) & 63];
        out += kAlphabet[(v >> 12) & 63];
        out += i + 1 < bytes.size() ? kAlphabet[(v >> 6) & 63] : '=';
        out += i + 2 < bytes.size() ? kAlphabet[v & 63] : '=';
    }
    return out;
}

bool Base64Decode(std::string_view text, std::string& bytes)
{
    bytes.clear();
    if (text.size() % 4 != 0)
        return false;
    for (size_t i = 0; i < text.size(); i += 4) {
        const bool last = i + 4 == text.size();
        int v[4];
        for (int k = 0; k < 4; ++k) {
            const char c = text[i + k];
            if (c == '=' && last && k >= 2 && (k == 3 || text[i + 3] == '=')) {
                v[k] = -2;
                continue;
            }
            v[k] = Base64Value(c);
            if (v[k] < 0)
                return false;
        }
        bytes += static_cast<char>((v[0] << 2) | (v[1] >> 4));
        if (v[2] >= 0)
            bytes += static_cast<char>(((v[1] & 15) << 4) | (v[2] >> 2));
        if (v[3] >= 0)
            bytes += static_cast<char>(((v[2] & 3) << 6) | v[3]);
    }
    return true;
}

std::string Be32(uint32_t v)
{
    const char b[4] = {static_cast<char>(v >> 24), static_cast<char>(v >> 16), static_cast<char>(v >> 8),
                       static_cast<char>(v)};
    return std::string(b, 4);
}

uint32_t ReadBe32(const char* p)
{
    const auto* u = reinterpret_cast<const unsigned char*>(p);
    return (uint32_t{u[0]} << 24) | (uint32_t{u[1]} << 16) | (uint32_t{u[2]} << 8) | u[3];
}

std::string Sha256(std::string_view bytes)
{
    unsigned char md[EVP_MAX_MD_SIZE];
    unsigned int len = 0;
    if (EVP_Digest(bytes.data(), bytes.size(), md, &len, EVP_sha256(), nullptr) != 1)
        return {};
    return std::string(reinterpret_cast<char*>(md), len);
}

bool Hkdf(std::string_view key, std::string_view salt, std::string_view info, size_t length, std::string& out)
{
    out.clear();
    if (key.empty())
        return false;
    EVP_KDF* kdf = EVP_KDF_fetch(nullptr, "HKDF", nullptr);
    if (!kdf)
        return false;
    EVP_KDF_CTX* ctx = EVP_KDF_CTX_new(kdf);
    EVP_KDF_free(kdf);
    if (!ctx)
        return false;
    char digest[] = "SHA256";
    OSSL_PARAM params[5];
    int n = 0;
    params[n++] = OSSL_PARAM_construct_utf8_string(OSSL_KDF_PARAM_DIGEST, digest, 0);
    params[n++] = OSSL_PARAM_construct_octet_string(OSSL_KDF_PARAM_KEY, const_cast<char*>(key.data()), key.size());
    if (!salt.empty())
        params[n++] = OSSL_PARAM_construct_octet_string(OSSL_KDF_PARAM_SALT, const_cast<char*>(salt.data()), salt.size());
    params[n++] = OSSL_PARAM_construct_octet_string(OSSL_KDF_PARAM_INFO, const_cast<char*>(info.data()), info.size());
    params[n] = OSSL_PARAM_construct_end();
    out.resize(length);
    const bool ok = EVP_KDF_derive(ctx, reinterpret_cast<unsigned char*>(out.data()), length, params) == 1;
    EVP_KDF_CTX_free(ctx);
    if (!ok)
        out.clear();
    return ok;
}

bool DeriveContentKey(const std::string& seed, const std::string& keyId, std::string& key)
{
    return !seed.empty() && !keyId.empty() && Hkdf(seed, {}, "talvex-drm/content-key:" + keyId, 32, key);
}

bool KeyCheckValue(const std::string& contentKey, std::string& kcv)
{
    return contentKey.size() == 32 && Hkdf(contentKey, {}, "talvex-drm/key-check", kKeyCheckBytes, kcv);
}

bool PayloadKey(const std::string& contentKey, const std::string& salt, std::string& key)
{
    return contentKey.size() == 32 && salt.size() == kSaltBytes && Hkdf(contentKey, salt, "talvex-drm/payload", 32, key);
}

std::string PreambleDigest(std::string_view header, uint32_t chunkBytes, std::string_view salt)
{
    std::string preamble(kFileMagic, sizeof kFileMagic);
    preamble += Be32(static_cast<uint32_t>(header.size()));
    preamble += header;
    preamble += Be32(chunkBytes);
    preamble += salt;
    return Sha256(preamble);
}

ChunkCipher::ChunkCipher() : m_ctx(EVP_CIPHER_CTX_new()) {}

ChunkCipher::~ChunkCipher()
{
    EVP_CIPHER_CTX_free(m_ctx);
}

bool ChunkCipher::Init(bool encrypt, const std::string& key, const std::string& aad)
{
    m_encrypt = encrypt;
    m_aad = aad;
    if (!m_ctx || key.size() != 32)
        return false;
    const auto* k = reinterpret_cast<const unsigned char*>(key.data());
    return encrypt ? EVP_EncryptInit_ex(m_ctx, EVP_aes_256_gcm(), nullptr, k, nullptr) == 1
                   : EVP_DecryptInit_ex(m_ctx, EVP_aes_256_gcm(), nullptr, k, nullptr) == 1;
}

bool ChunkCipher::Process(uint64_t index, bool final, const char* in, size_t size, char* out)
{
    unsigned char iv[12];
    for (int i = 0; i < 8; ++i)
        iv[i] = static_cast<unsigned char>(index >> (56 - 8 * i));
    iv[8] = iv[9] = iv[10] = 0;
    iv[11] = final ? 1 : 0;
    int len = 0;
    const auto* src = reinterpret_cast<const unsigned char*>(in);
    auto* dst = reinterpret_cast<unsigned char*>(out);
    const auto* aad = reinterpret_cast<const unsigned char*>(m_aad.data());
    if (m_encrypt) {
        if (EVP_EncryptInit_ex(m_ctx, nullptr, nullptr, nullptr, iv) != 1
            || EVP_EncryptUpdate(m_ctx, nullptr, &len, aad, static_cast<int>(m_aad.size())) != 1)
            return false;
        if (size > 0 && EVP_EncryptUpdate(m_ctx, dst, &len, src, static_cast<int>(size)) != 1)
            return false;
        if (EVP_EncryptFinal_ex(m_ctx, dst + size, &len) != 1)
            return false;
        return EVP_CIPHER_CTX_ctrl(m_ctx, EVP_CTRL_GCM_GET_TAG, kTagBytes, dst + size) == 1;
    }
    if (EVP_DecryptInit_ex(m_ctx, nullptr, nullptr, nullptr, iv) != 1
        || EVP_DecryptUpdate(m_ctx, nullptr, &len, aad, static_cast<int>(m_aad.size())) != 1)
        return false;
    if (size > 0 && EVP_DecryptUpdate(m_ctx, dst, &len, src, static_cast<int>(size)) != 1)
        return false;
    unsigned char tag[kTagBytes];
    std::memcpy(tag, src + size, kTagBytes);
    if (EVP_CIPHER_CTX_ctrl(m_ctx, EVP_CTRL_GCM_SET_TAG, kTagBytes, tag) != 1)
        return false;
    return EVP_DecryptFinal_ex(m_ctx, dst + size, &len) == 1;
}

bool PublicKeyOf(const std::string& privateKeyBase64, std::string& publicKeyBase64)
{
    std::string raw;
    if (!Base64Decode(privateKeyBase64, raw) || raw.size() != 32)
        return false;
    std::unique_ptr<EVP_PKEY, PkeyFree> key(EVP_PKEY_new_raw_private_key(
        EVP_PKEY_ED25519, nullptr, reinterpret_cast<const unsigned char*>(raw.data()), raw.size()));
    if (!key)
        return false;
    unsigned char pub[32];
    size_t len = sizeof pub;
    if (EVP_PKEY_get_raw_public_key(key.get(), pub, &len) != 1 || len != 32)
        return false;
    publicKeyBase64 = Base64Encode(std::string_view(reinterpret_cast<char*>(pub), len));
    return true;
}

std::string HeaderSignedPart(const HeaderFields& f)
{
    std::string text = "TLXDRM-HEADER\n";
    text += "VERSION:" + Escape(f.version) + "\n";
    text += "KID:" + Escape(f.keyId) + "\n";
    text += "CID:" + Escape(f.contentId) + "\n";
    text += "LAINFO:" + Escape(f.licenseUrl) + "\n";
    for (const auto& [name, value] : f.attributes)
        text += "ATTR:" + Escape(name) + "=" + Escape(value) + "\n";
    text += "KCV:" + Base64Encode(f.keyCheck) + "\n";
    text += "PUBKEY:" + Base64Encode(f.publicKey) + "\n";
    return text;
}

bool ParseHeaderText(std::string_view text, HeaderFields& f, std::string& error)
{
    f = {};
    if (text.size() > kMaxHeaderBytes) {
        error = "the header is too long";
        return false;
    }
    std::vector<std::string_view> lines;
    size_t pos = 0;
    while (pos < text.size()) {
        const size_t nl = text.find('\n', pos);
        if (nl == std::string_view::npos) {
            error = "the header does not end with a line feed";
            return false;
        }
        lines.push_back(text.substr(pos, nl - pos));
        pos = nl + 1;
    }
    auto field = [&](size_t i, std::string_view name, std::string_view& value) {
        if (i >= lines.size() || lines[i].substr(0, name.size()) != name || lines[i].size() <= name.size()
            || lines[i][name.size()] != ':')
            return false;
        value = lines[i].substr(name.size() + 1);
        return true;
    };
    std::string_view v;
    size_t i = 0;
    if (lines.empty() || lines[i++] != "TLXDRM-HEADER") {
        error = "not a protected-file header";
        return false;
    }
    if (!field(i++, "VERSION", v) || !Unescape(v, f.version) || !field(i++, "KID", v) || !Unescape(v, f.keyId)
        || !field(i++, "CID", v) || !Unescape(v, f.contentId) || !field(i++, "LAINFO", v)
        || !Unescape(v, f.licenseUrl)) {
        error = "the header's fields are malformed";
        return false;
    }
    while (field(i, "ATTR", v)) {
        const size_t eq = v.find('=');
        std::string name, value;
        if (eq == std::string_view::npos || !Unescape(v.substr(0, eq), name) || !Unescape(v.substr(eq + 1), value)) {
            error = "a header attribute is malformed";
            return false;
        }
        f.attributes.emplace_back(std::move(name), std::move(value));
        ++i;
    }
    std::string_view kcv, pub, sig;
    if (!field(i++, "KCV", kcv) || !Base64Decode(kcv, f.keyCheck) || f.keyCheck.size() != kKeyCheckBytes
        || !field(i++, "PUBKEY", pub) || !Base64Decode(pub, f.publicKey) || f.publicKey.size() != 32) {
        error = "the header's key fields are malformed";
        return false;
    }
    const size_t signedEnd = static_cast<size_t>(lines[i - 1].data() + lines[i - 1].size() + 1 - text.data());
    if (!field(i++, "SIG", sig) || !Base64Decode(sig, f.signature) || f.signature.size() != 64 || i != lines.size()) {
        error = "the header's signature is missing or malformed";
        return false;
    }
    f.signedPart = std::string(text.substr(0, signedEnd));
    return true;
}

bool VerifyHeaderSignature(const HeaderFields& f, std::string& error)
{
    std::unique_ptr<EVP_PKEY, PkeyFree> key(EVP_PKEY_new_raw_public_key(
        EVP_PKEY_ED25519, nullptr, reinterpret_cast<const unsigned char*>(f.publicKey.data()), f.publicKey.size()));
    std::unique_ptr<EVP_MD_CTX, MdCtxFree> ctx(EVP_MD_CTX_new());
    if (!key || !ctx || EVP_DigestVerifyInit(ctx.get(), nullptr, nullptr, nullptr, key.get()) != 1) {
        error = "the header's public key cannot be used";
        return false;
    }
    if (EVP_DigestVerify(ctx.get(), reinterpret_cast<const unsigned char*>(f.signature.data()), f.signature.size(),
                         reinterpret_cast<const unsigned char*>(f.signedPart.data()), f.signedPart.size())
        != 1) {
        error = "the header's signature does not check";
        return false;
    }
    return true;
}

bool IsProtectedFile(const std::string& path)
{
    // Only regular files are opened, and without blocking: a FIFO or a device under a media
    // name must neither hold the caller up nor be touched.
    struct stat before {};
    if (::stat(path.c_str(), &before) != 0 || !S_ISREG(before.st_mode))
        return false;
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0)
        return false;
    struct stat st {};
    char magic[sizeof kFileMagic];
    const bool is = ::fstat(fd, &st) == 0 && S_ISREG(st.st_mode)
                    && ReadFull(fd, magic, sizeof magic) == static_cast<long long>(sizeof magic)
                    && std::memcmp(magic, kFileMagic, sizeof kFileMagic) == 0;
    ::close(fd);
    return is;
}

bool UnprotectFile(const std::string& inputPath, const std::string& seed, const std::string& pinnedPublicKey,
                   const std::string& outputPath, UnprotectInfo& info, std::string& error)
{
    info = {};
    const int fd = ::open(inputPath.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        error = "cannot open " + inputPath + ": " + std::strerror(errno);
        return false;
    }
    struct Closer {
        int fd;
        ~Closer() { ::close(fd); }
    } closer{fd};
    char fixed[sizeof kFileMagic + 4];
    if (ReadFull(fd, fixed, sizeof fixed) != static_cast<long long>(sizeof fixed)
        || std::memcmp(fixed, kFileMagic, sizeof kFileMagic) != 0) {
        error = inputPath + " is not a protected file";
        return false;
    }
    const uint32_t headerBytes = ReadBe32(fixed + sizeof kFileMagic);
    if (headerBytes == 0 || headerBytes > kMaxHeaderBytes) {
        error = "the header length is out of range";
        return false;
    }
    std::string header(headerBytes, '\0');
    if (ReadFull(fd, header.data(), header.size()) != static_cast<long long>(header.size())) {
        error = "the file ends inside its header";
        return false;
    }
    HeaderFields& f = info.header;
    if (!ParseHeaderText(header, f, error) || !VerifyHeaderSignature(f, error))
        return false;
    if (!pinnedPublicKey.empty()) {
        std::string pinned;
        if (!Base64Decode(pinnedPublicKey, pinned) || pinned != f.publicKey) {
            error = "the header is signed with another key";
            return false;
        }
    }
    char after[4 + kSaltBytes];
    if (ReadFull(fd, after, sizeof after) != static_cast<long long>(sizeof after)) {
        error = "the file ends before its payload";
        return false;
    }
    const uint32_t chunkBytes = ReadBe32(after);
    if (chunkBytes == 0 || chunkBytes > kMaxChunkBytes) {
        error = "the chunk size is out of range";
        return false;
    }
    const std::string salt(after + 4, kSaltBytes);
    std::string contentKey, kcv, payloadKey;
    if (!DeriveContentKey(seed, f.keyId, contentKey) || !KeyCheckValue(contentKey, kcv)) {
        error = "no content key can be made from this seed";
        return false;
    }
    if (kcv != f.keyCheck) {
        error = "the seed does not open this file";
        return false;
    }
    ChunkCipher cipher;
    if (!PayloadKey(contentKey, salt, payloadKey)
        || !cipher.Init(false, payloadKey, PreambleDigest(header, chunkBytes, salt))) {
        error = "the cipher cannot be set up";
        return false;
    }
    AtomicOutput out;
    if (!out.Open(outputPath, error))
        return false;
    std::string in(chunkBytes + kTagBytes, '\0'), plain(chunkBytes, '\0');
    for (uint64_t index = 0;; ++index) {
        const long long got = ReadFull(fd, in.data(), in.size());
        if (got < 0) {
            error = "cannot read " + inputPath + ": " + std::strerror(errno);
            return false;
        }
        if (got < static_cast<long long>(kTagBytes)) {
            error = "the payload is truncated";
            return false;
        }
        const bool final = got < static_cast<long long>(in.size());
        const size_t size = static_cast<size_t>(got) - kTagBytes;
        if (!cipher.Process(index, final, in.data(), size, plain.data())) {
            error = "chunk " + std::to_string(index) + " of the payload does not check";
            return false;
        }
        if (!out.Write(std::string_view(plain.data(), size), error))
            return false;
        info.bytes += size;
        if (final)
            break;
    }
    return out.Commit(error);
}

} // namespace talvex::drm
