#pragma once
// The TLXSP side of the development server: request parsing, answer formatting and the
// thirteen commands on the control and command ports.

#include "devserver/accounts.h"
#include "devserver/config.h"
#include "devserver/net.h"
#include "devserver/sync_jobs.h"

#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace talvex::devserver {

struct TlxspRequest {
    std::string command; // upper case
    std::vector<std::pair<std::string, std::string>> headers; // names upper case, values trimmed
    const std::string* Find(std::string_view name) const;
};

// Parses a header block (without its closing empty line). False when the first line is not
// "TLXSP/1.0 <kind> <command>"; `command` still holds the third word when there is one.
bool ParseTlxspRequest(std::string_view block, TlxspRequest& out);

struct TlxspAnswer {
    std::string command;
    int status = 200;
    std::optional<std::string> requestId, sessionId, path, path2;
    bool withLength = false; // DATA-LENGTH line even for an empty body
    std::string body;
};
std::string FormatTlxspAnswer(const TlxspAnswer& answer);

enum class PortKind { Control, Command };

class TlxspService {
public:
    TlxspService(const ServerConfig& config, const AccountBook& accounts, ServerState& state)
        : m_config(config), m_accounts(accounts), m_state(state) {}

    // Serves one connection until the peer closes it, a framing error makes it unusable, or
    // the server stops.
    void Serve(Connection& conn, PortKind port);

private:
    struct Context;
    void ServeRequests(Connection& conn, PortKind port);
    bool HandleUpload(Connection& conn, Context& ctx, int64_t length, TlxspAnswer& answer);
    // The upload faults that act before the body is read; false when none applies.
    bool FaultBeforeBody(Connection& conn, Context& ctx, int64_t length, TlxspAnswer& answer);
    // Delivers, delays or withholds the answer of a request a fault applies to; false when the
    // connection is to end.
    bool AnswerWithFault(Connection& conn, const Context& ctx, const TlxspAnswer& answer, bool keepOpen);
    void HandleControl(Context& ctx, TlxspAnswer& answer);
    void HandleCommand(Context& ctx, TlxspAnswer& answer);
    void Notify(const Context& ctx, const char* command, const std::string& wirePath, int number = 200);

    const ServerConfig& m_config;
    const AccountBook& m_accounts;
    ServerState& m_state;
};

} // namespace talvex::devserver
