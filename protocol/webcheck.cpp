#include "protocol/webcheck.h"

#include "platform/log.h"
#include "platform/text_codec.h"
#include "platform/text_util.h"

#include <curl/curl.h>

#include <cstdlib>
#include <mutex>

namespace talvex {
namespace {

constexpr size_t kMaxAnswerBytes = 64 * 1024;

// The text between the first and the second ':' of a line.
std::string ValueOf(std::string_view line)
{
    const size_t first = line.find(':');
    if (first == std::string_view::npos)
        return {};
    const size_t second = line.find(':', first + 1);
    return std::string(Trim(line.substr(first + 1, second == std::string_view::npos ? std::string_view::npos : second - first - 1)));
}

void ReplaceAll(std::string& s, std::string_view from, std::string_view to)
{
    size_t pos = 0;
    while ((pos = s.find(from, pos)) != std::string::npos) {
        s.replace(pos, from.size(), to);
        pos += to.size();
    }
}

struct HttpText {
    bool reached = false; // an HTTP answer came back
    std::string body;     // raw bytes, at most kMaxAnswerBytes
    std::string error;
};

size_t CollectBody(char* data, size_t size, size_t count, void* user)
{
    auto* body = static_cast<std::string*>(user);
    const size_t n = size * count;
    const size_t room = kMaxAnswerBytes - std::min(kMaxAnswerBytes, body->size());
    body->append(data, std::min(n, room));
    return n <= room ? n : 0; // more than the bound: the transfer stops here
}

// One GET of `pathAndQuery` on http://host:port. The query may hold secrets: it is never logged.
HttpText HttpGetText(const std::string& host, int port, const std::string& pathAndQuery, long timeoutSeconds)
{
    static std::once_flag once;
    std::call_once(once, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });

    HttpText out;
    if (host.empty()) {
        out.error = "no web host";
        return out;
    }
    CURL* curl = curl_easy_init();
    if (!curl) {
        out.error = "the HTTP library could not start";
        return out;
    }
    const bool ipv6Literal = host.find(':') != std::string::npos && host.front() != '[';
    const std::string url = "http://" + (ipv6Literal ? "[" + host + "]" : host) + ":" +
                            std::to_string(port > 0 ? port : 80) + pathAndQuery;
    const long timeout = timeoutSeconds > 0 ? timeoutSeconds : 15;

    // The agent is the only User-Agent: the extra "User-Agent: Quillmark" is added only where
    // none is present, and the session's agent always is.
    curl_slist* headers = curl_slist_append(nullptr, "Accept: text/*");
    curl_easy_setopt(curl, CURLOPT_URL, url.c_str());
    curl_easy_setopt(curl, CURLOPT_USERAGENT, "Kestrava_HTTP_Session");
    curl_easy_setopt(curl, CURLOPT_HTTPHEADER, headers);
    curl_easy_setopt(curl, CURLOPT_HTTPGET, 1L);
    curl_easy_setopt(curl, CURLOPT_FOLLOWLOCATION, 0L);
    curl_easy_setopt(curl, CURLOPT_PROTOCOLS_STR, "http");
    curl_easy_setopt(curl, CURLOPT_CONNECTTIMEOUT, timeout);
    curl_easy_setopt(curl, CURLOPT_TIMEOUT, timeout);
    curl_easy_setopt(curl, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, CollectBody);
    curl_easy_setopt(curl, CURLOPT_WRITEDATA, &out.body);
    // The proxy comes from the environment (http_proxy, no_proxy), as libcurl reads it by default.

    const CURLcode rc = curl_easy_perform(curl);
    long httpStatus = 0;
    curl_easy_getinfo(curl, CURLINFO_RESPONSE_CODE, &httpStatus);
    out.reached = httpStatus != 0;
    if (rc != CURLE_OK && !(rc == CURLE_WRITE_ERROR && out.body.size() >= kMaxAnswerBytes)) {
        out.error = curl_easy_strerror(rc);
        Log("web request to %s:%d failed: %s\n", host.c_str(), port > 0 ? port : 80, out.error.c_str());
    } else if (rc == CURLE_WRITE_ERROR) {
        Log("web answer from %s:%d cut at %zu bytes\n", host.c_str(), port > 0 ? port : 80, kMaxAnswerBytes);
    }
    curl_slist_free_all(headers);
    curl_easy_cleanup(curl);
    return out;
}

// The answer read as the page's lines joined without their line ends.
std::string JoinLines(const std::string& raw)
{
    std::string out;
    out.reserve(raw.size());
    for (char c : raw)
        if (c != '\r' && c != '\n')
            out.push_back(c);
    return out;
}

bool EncodeForQuery(const std::string& utf8, std::string& out)
{
    std::string wire;
    if (!ToWire(utf8, wire))
        return false;
    out = UrlEncode(wire);
    return true;
}

} // namespace

std::string UrlEncode(std::string_view bytes)
{
    static const char kHex[] = "0123456789ABCDEF";
    std::string out;
    out.reserve(bytes.size() * 3);
    for (char ch : bytes) {
        const auto c = static_cast<unsigned char>(ch);
        if ((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9')) {
            out.push_back(ch);
        } else if (IsBlank(ch)) {
            out.push_back('+');
        } else {
            out.push_back('%');
            out.push_back(kHex[c >> 4]);
            out.push_back(kHex[c & 15]);
        }
    }
    return out;
}

std::string NormaliseUserRoot(std::string_view value)
{
    std::string root = std::string(value) + "/";
    for (char& c : root)
        if (c == '\\')
            c = '/';
    while (root.find("//") != std::string::npos)
        ReplaceAll(root, "//", "/");
    return root;
}

WebCheckResult ParseWebCheckAnswer(std::string_view text)
{
    WebCheckResult result;
    if (text.empty() || text.find("TLXSP/1.0") == std::string_view::npos) {
        result.error = text.empty() ? "empty answer" : "not a user check answer";
        return result;
    }
    const size_t end = text.find("<br><br>");
    // Without the closing "<br><br>" only the first line is looked at.
    const std::string_view header = end == std::string_view::npos ? text.substr(0, text.find("<br>")) : text.substr(0, end);

    WebCheckRecord& r = result.record;
    std::string rawRoot;
    size_t pos = 0;
    while (pos <= header.size()) {
        size_t next = header.find("<br>", pos);
        if (next == std::string_view::npos)
            next = header.size();
        const std::string_view line = header.substr(pos, next - pos);
        pos = next + 4;
        auto has = [&](std::string_view word) { return line.find(word) != std::string_view::npos; };
        if (has("TLXSP/1.0"))
            continue;
        else if (has("HOST_IP"))
            r.hostIp = ValueOf(line);
        else if (has("SERVICESET_ID"))
            r.serviceSetId = ValueOf(line);
        else if (has("SERVICE_TYPE"))
            r.serviceType = LeadingInt32(ValueOf(line));
        else if (has("USER_ROOT"))
            rawRoot = ValueOf(line);
        else if (has("STATUS-CODE"))
            r.statusCode = LeadingInt32(ValueOf(line));
        else if (has("USE_DRM"))
            r.useDrm = LeadingInt32(ValueOf(line));
        else if (has("DRM_ID"))
            r.drmId = ValueOf(line);
        else if (has("DRM_PASS"))
            r.drmPass = ValueOf(line);
    }
    r.userRoot = NormaliseUserRoot(rawRoot);
    switch (r.statusCode) {
    case 200: result.kind = kWebCheckOk; break;
    case 400: result.kind = kWebCheckNoAccount; break;
    case 500: result.kind = kWebCheckWrongPassword; break;
    default:
        result.kind = kWebCheckUnreachable;
        result.error = "status " + std::to_string(r.statusCode);
        break;
    }
    return result;
}

WebCheckResult RunWebCheck(const WebCheckRequest& request)
{
    WebCheckResult result;
    std::string id, pw;
    if (!EncodeForQuery(request.userId, id) || !EncodeForQuery(request.password, pw)) {
        result.error = "the id or the password cannot be written in the wire encoding " + WireEncoding();
        Log("web check for %s not sent: %s\n", request.userId.c_str(), result.error.c_str());
        return result;
    }
    const HttpText answer = HttpGetText(request.host, request.port,
                                        "/Velocis/checkuser.asp?UserID=" + id + "&Password=" + pw, request.timeoutSeconds);
    result = ParseWebCheckAnswer(FromWireLossy(JoinLines(answer.body)));
    if (result.kind == kWebCheckUnreachable && !answer.error.empty())
        result.error = answer.error;
    Log("web check for %s: kind %d (status %d)\n", request.userId.c_str(), result.kind, result.record.statusCode);
    return result;
}

bool ParseDrmAuthAnswer(std::string_view text, DrmAuthParams& params)
{
    params = {};
    if (text.substr(0, 6) != "cpcode")
        return false;
    size_t pos = 0;
    while (pos < text.size()) {
        const size_t star = text.find("$*$", pos);
        if (star == std::string_view::npos)
            break; // a trailing part without "$*$" names nothing
        const std::string_view name = text.substr(pos, star - pos);
        const size_t valueStart = star + 3;
        size_t sep = text.find("$_$", valueStart);
        const std::string value(Trim(text.substr(valueStart, sep == std::string_view::npos ? std::string_view::npos : sep - valueStart)));
        pos = sep == std::string_view::npos ? text.size() : sep + 3;
        struct Field {
            const char* name;
            std::string DrmAuthParams::*member;
        };
        static const Field kFields[] = {
            {"FileName", &DrmAuthParams::fileName}, {"CPCode", &DrmAuthParams::cpCode},
            {"Seed", &DrmAuthParams::seed},         {"KeyID", &DrmAuthParams::keyId},
            {"ContentID", &DrmAuthParams::contentId}, {"genurl", &DrmAuthParams::genUrl},
            {"PriKey", &DrmAuthParams::priKey},     {"PubKey", &DrmAuthParams::pubKey},
        };
        for (const Field& f : kFields)
            if (EqualNoCase(name, f.name))
                params.*f.member = value;
    }
    return true;
}

DrmAuthResult RunDrmAuth(const DrmAuthRequest& request)
{
    DrmAuthResult result;
    std::string id, pw;
    if (!EncodeForQuery(request.drmId, id) || !EncodeForQuery(request.drmPass, pw)) {
        result.error = "the DRM id or password cannot be written in the wire encoding " + WireEncoding();
        return result;
    }
    const HttpText answer = HttpGetText(request.host, request.port, "/pack/auth.asp?uid=" + id + "&upass=" + pw,
                                        request.timeoutSeconds);
    result.ok = ParseDrmAuthAnswer(FromWireLossy(JoinLines(answer.body)), result.params);
    if (!result.ok)
        result.error = answer.error.empty() ? "the DRM id or password was not accepted" : answer.error;
    Log("DRM authentication for %s: %s\n", request.drmId.c_str(), result.ok ? "accepted" : result.error.c_str());
    return result;
}

} // namespace talvex
