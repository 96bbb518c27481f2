#pragma once
// What every test of the real window against a development server sets up: a settings file of
// its own, the client pointed at the server, the scripted prompt in place; and the helpers
// those tests share (a server over a storage folder, files in it, connecting a frame).

#include "app/prompt.h"
#include "devserver/accounts.h"
#include "devserver/server.h"
#include "sync/main_frame.h"
#include "sync/start_sync_dlg.h"
#include "tests/common/client_env.h"
#include "tests/common/scripted_prompt.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>
#include <QTest>

#include <chrono>
#include <memory>
#include <string>

namespace talvex::test {

class FrameTestEnv {
public:
    // Before each test: a fresh settings file, the client pointed at server, the prompt scripted.
    void Begin(const devserver::Server& server)
    {
        m_config = std::make_unique<QTemporaryDir>();
        qputenv("TALVEX_CONFIG_FILE", (m_config->path() + QStringLiteral("/talvex.ini")).toUtf8());
        // Each test's upload journals of its own: nothing of another test comes back at a login.
        qputenv("TALVEX_JOURNAL_DIR", (m_config->path() + QStringLiteral("/")).toUtf8());
        PointClientAt(server);
        SetPrompt(&prompt);
        prompt.Clear();
    }
    void End() { SetPrompt(nullptr); }

    ScriptedPrompt prompt;

private:
    std::unique_ptr<QTemporaryDir> m_config;
};

// A development server on loopback ports of its own over root; the built-in accounts unless an
// accounts file is named.
inline std::unique_ptr<devserver::Server> StartDevServer(const std::string& root, const std::string& accountsFile = {},
                                                         devserver::ServerConfig config = {})
{
    config.root = root;
    config.webPort = config.commandPort = config.controlPort = 0;
    devserver::AccountBook accounts = devserver::AccountBook::Defaults();
    std::string error;
    if (!accountsFile.empty() && !devserver::AccountBook::Load(accountsFile, accounts, error))
        return nullptr;
    auto server = std::make_unique<devserver::Server>(config, accounts);
    if (!server->Start(error))
        return nullptr;
    return server;
}

inline void WriteFile(const QString& path, const QByteArray& bytes)
{
    QDir().mkpath(QFileInfo(path).path());
    QFile file(path);
    QVERIFY(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
    file.write(bytes);
}

// Connects with these credentials (no dialog) and waits for the session.
inline void ConnectFrame(CMainFrame& frame, const QString& id, const QString& password)
{
    frame.ConnectAs(id, password);
    QTRY_VERIFY_WITH_TIMEOUT(frame.IsConnected(), 15000);
}

inline QList<CStartSyncDlg*> VisibleProgressDialogs(const CMainFrame& frame)
{
    QList<CStartSyncDlg*> open;
    for (CStartSyncDlg* dlg : frame.findChildren<CStartSyncDlg*>())
        if (dlg->isVisible())
            open.append(dlg);
    return open;
}

} // namespace talvex::test
