#include "app/client_app.h"

#include "app/deployment_settings.h"
#include "app/prompt.h"
#include "platform/text_codec.h"
#include "platform/workdir.h"
#include "sync/main_frame.h"

#include <QCoreApplication>

CClientApp::CClientApp() = default;

CClientApp::~CClientApp() = default;

bool CClientApp::InitInstance()
{
    // The guard's name is the application title up to its first line break, plus " Class".
    QString title = Str(57344);
    const qsizetype nl = title.indexOf(QLatin1Char('\n'));
    if (nl >= 0)
        title.truncate(nl);
    m_instanceGuard = std::make_unique<CInstanceGuard>(title + QStringLiteral(" Class"));
    if (!m_instanceGuard->Acquire()) {
        ShowMessage(nullptr, 322, PromptIcon::None);
        return false;
    }

    m_strAppDir = QString::fromStdString(
        talvex::ResolveAppDir(QCoreApplication::applicationDirPath().toStdString()));
    talvex::SetAppDir(m_strAppDir.toStdString());
    talvex::SetWireEncoding(DeploymentSettings::Load().wireEncoding.toStdString());

    m_pFrame = std::make_unique<CMainFrame>();
    QObject::connect(m_instanceGuard.get(), &CInstanceGuard::raiseRequested, m_pFrame.get(),
                     &CMainFrame::BringToFront);
    m_pFrame->show();
    return true;
}
