#include "panes/upload_drop.h"

#include "panes/local_view.h"
#include "panes/remote_view.h"

#include <QAbstractItemView>
#include <QDragMoveEvent>
#include <QDropEvent>
#include <QMimeData>
#include <QUrl>

CUploadDropTarget::CUploadDropTarget(QAbstractItemView& view, CLocalListCtrl& local, HoverHook hover, LeaveHook leave)
    : QObject(&view), m_view(view), m_local(&local), m_hover(std::move(hover)), m_leave(std::move(leave))
{
    view.setAcceptDrops(true);
    view.viewport()->setAcceptDrops(true);
    view.viewport()->installEventFilter(this);
}

bool CUploadDropTarget::Accepts(const QMimeData* data) const
{
    if (!m_local || !data || !m_local->Host().IsRemoteReady())
        return false;
    const QString internal = QString::fromLatin1(CLocalListCtrl::kSelectionMime);
    if (data->hasFormat(internal))
        return data->data(internal) == m_local->SelectionToken() && m_local->CanStartDrag();
    if (!data->hasUrls())
        return false;
    for (const QUrl& url : data->urls())
        if (url.isLocalFile())
            return true;
    return false;
}

bool CUploadDropTarget::eventFilter(QObject* watched, QEvent* event)
{
    if (watched != m_view.viewport())
        return false;
    switch (event->type()) {
    case QEvent::DragEnter:
    case QEvent::DragMove: {
        auto* move = static_cast<QDragMoveEvent*>(event);
        bool take = Accepts(move->mimeData());
        if (take && m_hover)
            take = m_hover(move->source(), m_view.viewport()->mapToGlobal(move->position().toPoint()));
        else if (!take && m_leave)
            m_leave();
        if (take) {
            move->setDropAction(Qt::CopyAction);
            move->accept();
        } else {
            move->ignore();
        }
        return true;
    }
    case QEvent::DragLeave:
        if (m_leave)
            m_leave();
        return true;
    case QEvent::Drop:
        if (m_leave)
            m_leave();
        Drop(*static_cast<QDropEvent*>(event));
        return true;
    default: return false;
    }
}

void CUploadDropTarget::Drop(QDropEvent& event)
{
    if (!Accepts(event.mimeData())) {
        event.ignore();
        return;
    }
    if (event.mimeData()->hasFormat(QString::fromLatin1(CLocalListCtrl::kSelectionMime))) {
        m_local->UploadSelection();
    } else {
        QStringList paths;
        for (const QUrl& url : event.mimeData()->urls())
            if (url.isLocalFile())
                paths.append(url.toLocalFile());
        m_local->UploadPaths(paths);
    }
    event.setDropAction(Qt::CopyAction);
    event.accept();
}

CUploadDropTarget* InstallUploadDropTarget(QAbstractItemView& view, CLocalListCtrl& local,
                                           CUploadDropTarget::HoverHook hover, CUploadDropTarget::LeaveHook leave)
{
    return new CUploadDropTarget(view, local, std::move(hover), std::move(leave));
}

CUploadDropTarget* InstallRemoteDropTarget(CRemoteView& remote, CLocalListCtrl& local)
{
    QPointer<CRemoteView> pane(&remote);
    return InstallUploadDropTarget(
        *remote.List(), local,
        [pane](const QObject* source, const QPoint& globalPos) {
            return pane && pane->HoverDropTarget(qobject_cast<const QWidget*>(source), globalPos);
        },
        [pane] {
            if (pane)
                pane->ClearDropTarget();
        });
}
