#include "devserver/server.h"

#include "devserver/server_log.h"
#include "devserver/store.h"

#include <cerrno>
#include <cstring>
#include <sys/stat.h>

namespace talvex::devserver {

Server::Server(ServerConfig config, AccountBook accounts)
    : m_config(std::move(config))
    , m_accounts(std::move(accounts))
    , m_state(m_config.sync)
    , m_counter(m_config.maxConnections)
    , m_tlxsp(m_config, m_accounts, m_state)
{
}

Server::~Server()
{
    Stop();
}

bool Server::Start(std::string& error)
{
    if (m_stop.Fd() < 0) {
        error = "cannot create the stop pipe";
        return false;
    }
    while (m_config.root.size() > 1 && m_config.root.back() == '/')
        m_config.root.pop_back();
    if (::mkdir(m_config.root.c_str(), 0755) != 0 && errno != EEXIST) {
        error = "cannot create the storage root " + m_config.root + ": " + std::strerror(errno);
        return false;
    }
    // Bodies cut short by a killed server left their partial files; nothing uploads yet.
    if (const size_t removed = RemovePartialUploads(m_config.root); removed > 0)
        ServerLog("removed %zu half-written files left by an earlier run\n", removed);
    for (const Account& a : m_accounts.All()) {
        if (UserTree(m_config.root + "/" + a.id).Prepare() != StoreStatus::Ok) {
            error = "cannot create the folder of account " + a.id + " under " + m_config.root;
            return false;
        }
    }
    if (!m_web.Open(m_config.bind, m_config.webPort, error) || !m_command.Open(m_config.bind, m_config.commandPort, error) ||
        !m_control.Open(m_config.bind, m_config.controlPort, error))
        return false;
    m_webService = std::make_unique<WebService>(m_config, m_accounts, m_web.Port());
    m_web.Start([this](Connection& c) { m_webService->Serve(c); }, m_stop, m_counter);
    m_command.Start([this](Connection& c) { m_tlxsp.Serve(c, PortKind::Command); }, m_stop, m_counter);
    m_control.Start([this](Connection& c) { m_tlxsp.Serve(c, PortKind::Control); }, m_stop, m_counter);
    m_started = true;
    return true;
}

void Server::Stop()
{
    if (!m_started)
        return;
    m_started = false;
    m_stop.Raise();
    m_web.Join();
    m_command.Join();
    m_control.Join();
    m_counter.WaitForNone();
}

} // namespace talvex::devserver
