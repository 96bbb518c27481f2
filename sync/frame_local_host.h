#pragma once
// The local pane's host inside the main frame: orders go to the frame, the remote folder and the
// folder rows to the remote pane.

#include "panes/local_host.h"
#include "panes/remote_view.h"
#include "sync/main_frame.h"

class CFrameLocalHost final : public ILocalHost {
public:
    explicit CFrameLocalHost(CMainFrame& frame) : m_frame(frame) {}
    void AddUploadOrders(std::vector<talvex::CUploadOrder> orders) override { m_frame.AddUploadOrders(std::move(orders)); }
    QString RemoteFolder() const override { return m_frame.RemoteView()->CurrentPath(); }
    bool IsRemoteReady() const override { return m_frame.IsRemoteReady(); }
    void AddRemoteFolderRow(const QString& name) override { m_frame.RemoteView()->AddFolderRow(name); }

private:
    CMainFrame& m_frame;
};
