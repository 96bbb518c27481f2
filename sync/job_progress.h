#pragma once
// The one progress dialog of the jobs that wait for the server (a manual sync, a sync check, a
// rename waiting for its notice). A new job's dialog replaces the last one; a closed dialog
// stays until then, so that whoever looks at it after the job sees how it ended.

#include "sync/start_sync_dlg.h"

#include <memory>

class CJobProgress {
public:
    explicit CJobProgress(QWidget* parent) : m_pParent(parent) {}

    void Open(int mode)
    {
        Close();
        m_pDlg.reset();
        m_pDlg = std::make_unique<CStartSyncDlg>(mode, m_pParent);
        m_pDlg->show();
    }
    void Close()
    {
        if (m_pDlg)
            m_pDlg->hide();
    }
    CStartSyncDlg* Dialog() const { return m_pDlg.get(); }

private:
    QWidget* m_pParent;
    std::unique_ptr<CStartSyncDlg> m_pDlg;
};
