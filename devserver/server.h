#pragma once
// One development server: the web port, the command port and the control port, sharing the
// accounts, the storage root and the per-account state.

#include "devserver/accounts.h"
#include "devserver/config.h"
#include "devserver/http.h"
#include "devserver/net.h"
#include "devserver/sync_jobs.h"
#include "devserver/tlxsp.h"

#include <memory>
#include <string>

namespace talvex::devserver {

class Server {
public:
    Server(ServerConfig config, AccountBook accounts);
    ~Server(); // stops

    // Prepares the storage root and the accounts' folders and starts listening. False with a
    // message when a port cannot be opened or the root cannot be made.
    bool Start(std::string& error);
    // Stops accepting, ends every connection and waits for their threads.
    void Stop();

    uint16_t WebPort() const { return m_web.Port(); }
    uint16_t CommandPort() const { return m_command.Port(); }
    uint16_t ControlPort() const { return m_control.Port(); }
    const AccountBook& Accounts() const { return m_accounts; }
    size_t ActiveConnections() { return m_counter.Active(); }

private:
    ServerConfig m_config;
    AccountBook m_accounts;
    ServerState m_state;
    StopSignal m_stop;
    ConnectionCounter m_counter;
    TlxspService m_tlxsp;
    std::unique_ptr<WebService> m_webService;
    Listener m_web, m_command, m_control;
    bool m_started = false;
};

} // namespace talvex::devserver
