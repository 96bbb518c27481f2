#pragma once
// The web user check: before any TLXSP connection the client asks the service's web host
// whether the id and password are valid and where the user's server is. Also the DRM
// authentication page, fetched the same way. Qt-free; blocking, bounded in time and size.

#include <string>
#include <string_view>

namespace talvex {

// Outcome kinds, as the main frame receives them.
enum WebCheckKind : int {
    kWebCheckOk = 1,            // STATUS-CODE 200
    kWebCheckUnreachable = 3,   // no answer, no "TLXSP/1.0", or a status other than 200/400/500
    kWebCheckNoAccount = 4,     // STATUS-CODE 400
    kWebCheckWrongPassword = 5, // STATUS-CODE 500
};

struct WebCheckRequest {
    std::string host;         // web host name or address
    int port = 80;            // 0 or 80: plain HTTP default
    std::string userId;       // UTF-8
    std::string password;     // UTF-8
    long timeoutSeconds = 15; // connect and whole request
};

// The answer record. Texts are UTF-8 (decoded from the wire encoding).
struct WebCheckRecord {
    std::string serviceSetId; // SERVICESET_ID
    std::string userRoot;     // USER_ROOT, normalised: "%s/", '\\' -> '/', "//" -> '/'
    std::string hostIp;       // HOST_IP
    int statusCode = 0;       // STATUS-CODE
    int serviceType = 0;      // SERVICE_TYPE
    int useDrm = 0;           // USE_DRM
    std::string drmId;        // DRM_ID
    std::string drmPass;      // DRM_PASS
};

struct WebCheckResult {
    int kind = kWebCheckUnreachable;
    WebCheckRecord record;
    std::string error; // why the answer could not be had (never holds the password)
};

// Byte-wise: ASCII letters and digits kept, white space as '+', every other byte as %XX
// (upper-case hex).
std::string UrlEncode(std::string_view bytes);

// "%s/" of the value, then every '\\' as '/', then every "//" as '/'.
std::string NormaliseUserRoot(std::string_view value);

// Reads an answer text: kind and record (the user root normalised).
WebCheckResult ParseWebCheckAnswer(std::string_view text);

// Runs the check over HTTP: the id and password go out in the wire encoding, URL-encoded.
WebCheckResult RunWebCheck(const WebCheckRequest& request);

// Packaging parameters from the DRM authentication page.
struct DrmAuthParams {
    std::string fileName, cpCode, seed, keyId, priKey, pubKey, contentId, genUrl;
};

struct DrmAuthRequest {
    std::string host;
    int port = 80;
    std::string drmId;   // UTF-8
    std::string drmPass; // UTF-8
    long timeoutSeconds = 15;
};

struct DrmAuthResult {
    bool ok = false; // the answer began with "cpcode"
    DrmAuthParams params;
    std::string error;
};

// Reads "name$*$value$_$name$*$value..." (names without regard to case, values trimmed,
// unknown names ignored). False when the text does not begin with "cpcode".
bool ParseDrmAuthAnswer(std::string_view text, DrmAuthParams& params);

// GET "/pack/auth.asp?uid=%s&upass=%s" on the DRM web host.
DrmAuthResult RunDrmAuth(const DrmAuthRequest& request);

} // namespace talvex
