#include "sync/schedule_controller.h"

#include "app/prompt.h"
#include "panes/flat_tab_view.h"
#include "panes/folder_walk.h"
#include "res/string_table.h"
#include "sync/schedule_dlg.h"
#include "sync/schedule_view.h"

#include <QFileInfo>

using namespace talvex;

CScheduleController::CScheduleController(CScheduleView& view, CFlatTabView& tabs, IsIdle queueEmpty, AddOrder addOrder,
                                         QWidget* window)
    : m_pView(&view), m_tabs(tabs), m_queueEmpty(std::move(queueEmpty)),
      m_addOrder(std::move(addOrder)), m_pWindow(window)
{
    view.SetRunHook([this] { RunScheduledSync(); });
    m_dialog = [](CScheduleInfo& info, QWidget* parent) {
        CScheduleDlg dlg(info, parent);
        return dlg.exec() == QDialog::Accepted;
    };
}

CScheduleController::~CScheduleController()
{
    // The page may outlive the record by a moment while the window is taken down.
    if (m_pView) {
        m_pView->SetRunHook({});
        m_pView->SetInfo(nullptr);
    }
}

void CScheduleController::Edit()
{
    if (!m_dialog || !m_dialog(m_info, m_pWindow) || !m_pView)
        return;
    m_pView->SetInfo(&m_info);
    m_pView->Refresh();
    m_tabs.SelectPage(CFlatTabView::SchedulePage);
}

void CScheduleController::Cancel()
{
    m_info.Reset();
    // A cancelled schedule does not run any more; the page shows no schedule.
    if (m_pView)
        m_pView->Forget();
}

void CScheduleController::RunScheduledSync()
{
    if (m_online && !m_online()) {
        // Orders are never kept for a later session: they would go to whichever account logs in.
        if (m_pView && m_info.active)
            m_pView->AddLogLine(QString::fromUtf8(kTextScheduleSkipOffline));
        return;
    }
    const bool pending = (m_queueEmpty && !m_queueEmpty()) || (m_progressEmpty && !m_progressEmpty());
    if (pending) {
        if (m_pView)
            m_pView->AddLogLine(Str(261));
        return;
    }
    QString source = m_info.sourcePath.trimmed();
    if (!m_info.active || source.isEmpty())
        return;
    if (!QFileInfo(source).isDir()) {
        // Said in the log, so that a folder moved away does not go unnoticed.
        if (m_pView)
            m_pView->AddLogLine(QString::fromUtf8(kTextScheduleSourceMissing).replace(QStringLiteral("%s"), source));
        return;
    }
    if (!HasAnyFile(source))
        return;
    if (!source.endsWith(QLatin1Char('/')))
        source.append(QLatin1Char('/'));
    CUploadOrder order;
    order.kind = 1;
    order.source = source.toStdString();
    order.remoteFolder = m_info.targetPath.toStdString();
    // The source files are moved only while the user wants them moved.
    if (m_info.moveOption)
        order.moveFolder = m_info.movePath.trimmed().toStdString();
    if (m_addOrder)
        m_addOrder(std::move(order));
}

bool CScheduleController::HasAnyFile(const QString& folder)
{
    // Pipes, sockets and devices are never uploaded: they do not count.
    return QFileInfo(folder).isDir() && !WalkFolder(folder, [](const QFileInfo& entry) { return !entry.isFile(); });
}
