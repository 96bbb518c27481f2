#pragma once
// The web side of the development server: the user check page and the DRM authentication
// page, answered over plain HTTP, one request per connection.

#include "devserver/accounts.h"
#include "devserver/config.h"
#include "devserver/net.h"

#include <map>
#include <string>
#include <string_view>

namespace talvex::devserver {

// %XX and '+' decoded to bytes; a malformed escape is kept as it is.
std::string PercentDecode(std::string_view text);
// Query parameters by lower-case name; values decoded to bytes.
std::map<std::string, std::string> ParseQuery(std::string_view query);

class WebService {
public:
    WebService(const ServerConfig& config, const AccountBook& accounts, uint16_t webPort)
        : m_config(config), m_accounts(accounts), m_webPort(webPort) {}

    void Serve(Connection& conn);

    // Page texts (UTF-8) for the decoded parameters; exposed for tests.
    std::string CheckUserPage(const std::string& userId, const std::string& password) const;
    std::string DrmAuthPage(const std::string& drmId, const std::string& drmPass) const;

private:
    const ServerConfig& m_config;
    const AccountBook& m_accounts;
    uint16_t m_webPort;
};

} // namespace talvex::devserver
