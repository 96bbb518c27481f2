#include "devserver/http.h"

#include "devserver/server_log.h"
#include "drm/protect/drm_format.h"
#include "platform/text_codec.h"

#include <cstdint>
#include <cstdio>

namespace talvex::devserver {
namespace {

std::string Lower(std::string s)
{
    for (char& c : s)
        if (c >= 'A' && c <= 'Z')
            c = static_cast<char>(c + 32);
    return s;
}

int HexValue(char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

// Deterministic key material of a DRM account, so that the same account always gets the same
// packaging parameters.
std::string KeyText(const std::string& seedText, const char* purpose, size_t bytes)
{
    uint64_t h = 1469598103934665603ULL;
    for (unsigned char c : seedText + "|" + purpose)
        h = (h ^ c) * 1099511628211ULL;
    static const char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::string raw;
    for (size_t i = 0; i < bytes; ++i) {
        h += 0x9E3779B97F4A7C15ULL; // splitmix64
        uint64_t z = h;
        z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ULL;
        z = (z ^ (z >> 27)) * 0x94D049BB133111EBULL;
        raw.push_back(static_cast<char>((z ^ (z >> 31)) & 0xff));
    }
    std::string out;
    for (size_t i = 0; i < raw.size(); i += 3) {
        uint32_t v = static_cast<unsigned char>(raw[i]) << 16;
        if (i + 1 < raw.size())
            v |= static_cast<unsigned char>(raw[i + 1]) << 8;
        if (i + 2 < raw.size())
            v |= static_cast<unsigned char>(raw[i + 2]);
        out += kAlphabet[(v >> 18) & 63];
        out += kAlphabet[(v >> 12) & 63];
        out += i + 1 < raw.size() ? kAlphabet[(v >> 6) & 63] : '=';
        out += i + 2 < raw.size() ? kAlphabet[v & 63] : '=';
    }
    return out;
}

std::string HttpAnswer(int code, const char* reason, const std::string& body, bool head)
{
    std::string out = "HTTP/1.1 " + std::to_string(code) + " " + reason + "\r\n";
    out += "Content-Type: text/html; charset=" + WireEncoding() + "\r\n";
    out += "Content-Length: " + std::to_string(body.size()) + "\r\n";
    out += "Cache-Control: no-store\r\nConnection: close\r\n\r\n";
    if (!head)
        out += body;
    return out;
}

std::string ToWireOrKeep(const std::string& utf8)
{
    std::string wire;
    return ToWire(utf8, wire) ? wire : utf8;
}

} // namespace

std::string PercentDecode(std::string_view text)
{
    std::string out;
    out.reserve(text.size());
    for (size_t i = 0; i < text.size(); ++i) {
        const char c = text[i];
        if (c == '+') {
            out.push_back(' ');
        } else if (c == '%' && i + 2 < text.size() && HexValue(text[i + 1]) >= 0 && HexValue(text[i + 2]) >= 0) {
            out.push_back(static_cast<char>(HexValue(text[i + 1]) * 16 + HexValue(text[i + 2])));
            i += 2;
        } else {
            out.push_back(c);
        }
    }
    return out;
}

std::map<std::string, std::string> ParseQuery(std::string_view query)
{
    std::map<std::string, std::string> out;
    size_t pos = 0;
    while (pos <= query.size() && out.size() < 64) {
        size_t amp = query.find('&', pos);
        if (amp == std::string_view::npos)
            amp = query.size();
        const std::string_view pair = query.substr(pos, amp - pos);
        const size_t eq = pair.find('=');
        const std::string name = Lower(PercentDecode(pair.substr(0, eq)));
        if (!name.empty() && !out.count(name))
            out[name] = eq == std::string_view::npos ? std::string() : PercentDecode(pair.substr(eq + 1));
        pos = amp + 1;
    }
    return out;
}

std::string WebService::CheckUserPage(const std::string& userId, const std::string& password) const
{
    const Account* a = m_accounts.Find(userId);
    if (!a)
        return "TLXSP/1.0 400 Not Found<br>STATUS-CODE : 400<br><br>";
    if (a->password != password)
        return "TLXSP/1.0 500 Wrong Password<br>STATUS-CODE : 500<br><br>";
    const std::string host = !m_config.hostIp.empty() ? m_config.hostIp
                             : m_config.bind == "0.0.0.0" ? "127.0.0.1"
                                                          : m_config.bind;
    std::string page = "TLXSP/1.0 200 OK<br>";
    page += "STATUS-CODE : 200<br>";
    page += "HOST_IP : " + host + "<br>";
    page += "SERVICESET_ID : " + a->serviceSetId + "<br>";
    page += "SERVICE_TYPE : " + std::to_string(a->serviceType) + "<br>";
    page += "USER_ROOT : " + a->userRoot + "<br>";
    page += "USE_DRM : " + std::to_string(a->useDrm) + "<br>";
    if (a->useDrm == 1) {
        page += "DRM_ID : " + a->drmId + "<br>";
        page += "DRM_PASS : " + a->drmPass + "<br>";
    }
    return page + "<br>";
}

std::string WebService::DrmAuthPage(const std::string& drmId, const std::string& drmPass) const
{
    const Account* a = m_accounts.FindDrm(drmId);
    if (!a || a->drmPass != drmPass)
        return "error$*$unknown DRM account";
    const std::string host = m_config.bind == "0.0.0.0" ? "127.0.0.1" : m_config.bind;
    std::string page = "cpcode$*$CP" + KeyText(a->drmId, "cpcode", 6).substr(0, 8);
    page += "$_$FileName$*$" + a->drmId + ".lic";
    page += "$_$Seed$*$" + KeyText(a->drmId, "seed", 30);
    page += "$_$KeyID$*$" + KeyText(a->drmId, "keyid", 18);
    page += "$_$ContentID$*$" + KeyText(a->drmId, "contentid", 12);
    page += "$_$genurl$*$http://" + host + ":" + std::to_string(m_webPort) + "/pack/license.asp";
    // A real Ed25519 pair: 32 private bytes and the public key that belongs to them.
    const std::string priKey = KeyText(a->drmId, "private", 32);
    std::string pubKey;
    if (!drm::PublicKeyOf(priKey, pubKey))
        return "error$*$no signing key";
    page += "$_$PriKey$*$" + priKey;
    page += "$_$PubKey$*$" + pubKey;
    return page;
}

void WebService::Serve(Connection& conn)
{
    std::string block;
    const IoStatus read = conn.ReadHeaderBlock(block, m_config.maxHeaderBytes, m_config.httpIdleMs, m_config.httpIdleMs);
    if (read != IoStatus::Ok) {
        if (read == IoStatus::TooLarge)
            conn.SendAll(HttpAnswer(431, "Request Header Fields Too Large", "", false), m_config.sendTimeoutMs);
        return;
    }
    const std::string line = block.substr(0, block.find_first_of("\r\n"));
    const size_t sp1 = line.find(' ');
    const size_t sp2 = sp1 == std::string::npos ? std::string::npos : line.find(' ', sp1 + 1);
    if (sp2 == std::string::npos) {
        conn.SendAll(HttpAnswer(400, "Bad Request", "", false), m_config.sendTimeoutMs);
        return;
    }
    const std::string method = line.substr(0, sp1);
    std::string target = line.substr(sp1 + 1, sp2 - sp1 - 1);
    const bool head = method == "HEAD";
    if (method != "GET" && !head) {
        conn.SendAll(HttpAnswer(405, "Method Not Allowed", "", false), m_config.sendTimeoutMs);
        return;
    }
    if (target.rfind("http://", 0) == 0) { // absolute form
        const size_t slash = target.find('/', 7);
        target = slash == std::string::npos ? "/" : target.substr(slash);
    }
    const size_t q = target.find('?');
    const std::string path = Lower(PercentDecode(target.substr(0, q)));
    const auto params = ParseQuery(q == std::string::npos ? std::string_view() : std::string_view(target).substr(q + 1));
    auto param = [&](const char* name) {
        const auto it = params.find(name);
        std::string utf8;
        // Parameters arrive in the wire encoding; one that does not decode matches no account.
        if (it == params.end() || !FromWire(it->second, utf8))
            return std::string("\x01");
        return utf8;
    };

    std::string page;
    if (path == "/velocis/checkuser.asp") {
        const std::string id = param("userid");
        page = CheckUserPage(id, param("password"));
        ServerLog("web check for id %s\n", AccountBook::IsSafeId(id) ? id.c_str() : "(unprintable)");
    } else if (path == "/pack/auth.asp") {
        page = DrmAuthPage(param("uid"), param("upass"));
    } else {
        conn.SendAll(HttpAnswer(404, "Not Found", "<html><body>not found</body></html>", head), m_config.sendTimeoutMs);
        return;
    }
    conn.SendAll(HttpAnswer(200, "OK", ToWireOrKeep(page), head), m_config.sendTimeoutMs);
}

} // namespace talvex::devserver
