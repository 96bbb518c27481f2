#pragma once
// Drop targets for uploads. Any item view can take drops of the local pane's selection (which
// uploads that selection) and of files dragged from the desktop's file manager (local files
// only, uploaded the same way). A drop of anything else is refused. The drop point does not
// choose the destination: orders go to the remote pane's current folder.

#include <QObject>
#include <QPointer>

#include <functional>

class QAbstractItemView;
class QDropEvent;
class QMimeData;
class CLocalListCtrl;
class CRemoteView;

class CUploadDropTarget : public QObject {
    Q_OBJECT
public:
    // Optional: shows where a drag is over the view; returns whether a drop is taken there.
    using HoverHook = std::function<bool(const QObject* source, const QPoint& globalPos)>;
    // Optional: the drag left the view or was dropped.
    using LeaveHook = std::function<void()>;

    CUploadDropTarget(QAbstractItemView& view, CLocalListCtrl& local, HoverHook hover = {}, LeaveHook leave = {});

    // Whether a drag carrying these data would be taken (before the hover hook).
    bool Accepts(const QMimeData* data) const;

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    void Drop(QDropEvent& event);

    QAbstractItemView& m_view;
    QPointer<CLocalListCtrl> m_local;
    HoverHook m_hover;
    LeaveHook m_leave;
};

// Makes view a drop target for uploads; the target lives as long as the view.
CUploadDropTarget* InstallUploadDropTarget(QAbstractItemView& view, CLocalListCtrl& local,
                                           CUploadDropTarget::HoverHook hover = {},
                                           CUploadDropTarget::LeaveHook leave = {});

// The remote pane's list as a drop target, with its drop-target row following the pointer.
CUploadDropTarget* InstallRemoteDropTarget(CRemoteView& remote, CLocalListCtrl& local);
