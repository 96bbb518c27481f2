#include "sync/frame_reconnect.h"

#include "app/client_session.h"
#include "res/string_table.h"
#include "sync/option_dlg.h"

using namespace talvex;

CFrameReconnect::CFrameReconnect(CClientSession& session, Hooks hooks, QObject* parent)
    : QObject(parent), m_reconnect(session), m_hooks(std::move(hooks))
{
    connect(&m_reconnect, &CReconnect::attempting, this, [this](int attempt) {
        m_hooks.statusLine(QString::fromUtf8(kTextReconnecting).arg(attempt));
        m_hooks.commandsChanged();
    });
    connect(&m_reconnect, &CReconnect::succeeded, this, [this] { m_hooks.statusLine({}); });
    connect(&m_reconnect, &CReconnect::gaveUp, this, [this] {
        m_hooks.statusLine({});
        emit gaveUp();
    });
    connect(&session, &CClientSession::listingArrived, this, [this] {
        if (m_strReopenFolder.isEmpty())
            return;
        const QString folder = m_strReopenFolder;
        m_strReopenFolder.clear();
        if (folder != QStringLiteral("/"))
            m_hooks.reopen(folder);
    });
}

void CFrameReconnect::Begin(const QString& folder)
{
    m_strReopenFolder = folder;
    m_reconnect.Begin(UploadOptions::Load().reconnectMinutes * 60);
}

void CFrameReconnect::Stop()
{
    m_reconnect.Stop();
    m_strReopenFolder.clear();
}
