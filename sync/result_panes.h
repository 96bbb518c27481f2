#pragma once
// CResultPanes: the result pages of the tab pane and what moves files between them. A file
// whose bytes are all sent gets a progress row; when the upload bookkeeping settles it, the row
// moves on: a confirmed file to the completed page (its plug-ins told, and on sync-service
// accounts its row shown in the remote list when its folder is on show), a failed one to the
// fail page with the files that failed before all their bytes were sent. Upload notices left
// over by the queue give failed files a second chance; the fail page sends its files again
// through the queue. The search command and its results live here too.
//
// The completed and failed totals of the status bar are the queue's: they follow the same
// settlements; a late confirmation of a failed file corrects both.

#include "protocol/records.h"
#include "protocol/upload_request.h"

#include <QObject>
#include <QString>

#include <functional>
#include <vector>

class CClientSession;
struct CResultRowTexts;
class CCompleteResultView;
class CFailView;
class CFindView;
class CFlatTabView;
class CProcessView;
class CRemoteView;
class CSyncJob;
class CUploadQueue;
namespace talvex {
class CPluginHooks;
struct CUploadItem;
} // namespace talvex

class CResultPanes : public QObject {
    Q_OBJECT
public:
    using OrderSink = std::function<void(std::vector<talvex::CUploadOrder>)>;

    // Puts the four pages into tabs; resend: where the fail page's orders go (the queue).
    CResultPanes(CClientSession& session, CUploadQueue& queue, CSyncJob& syncJob, CRemoteView& remote,
                 talvex::CPluginHooks& plugins, CFlatTabView& tabs, OrderSink resend, QObject* parent = nullptr);

    CProcessView* ProcessView() const { return m_pProcess; }
    CCompleteResultView* CompleteView() const { return m_pComplete; }
    CFailView* FailView() const { return m_pFail; }
    CFindView* FindView() const { return m_pFind; }

    // "파일찾기": asks for the text; on OK the search goes out.
    void Find();
    // Sends a search of the whole account for text.
    void Search(const QString& text);
    // The session ended: the progress and completed pages are emptied.
    void Clear();
    // A session of this account (host, service set and user id) has begun.
    void OnLoggedIn(const QString& account);
    bool IsProgressEmpty() const;

    // The search text dialog; tests replace it. True on OK with the text.
    std::function<bool(QString& text)> m_askFindText;

signals:
    void statusChanged(int kind);
    // A text for the message pane of the status bar (empty: clear it).
    void messageChanged(const QString& text);

private:
    void OnFileSent(const talvex::CUploadRequest& request);
    void OnSettled(const talvex::CUploadItem& item);
    void OnNotices(talvex::CSyncNoticeList& notices);
    void ShowInRemoteList(const CResultRowTexts& texts);

    CClientSession& m_session;
    CUploadQueue& m_queue;
    CRemoteView& m_remote;
    talvex::CPluginHooks& m_plugins;
    CFlatTabView& m_tabs;
    CProcessView* m_pProcess;
    bool m_bSettling = false;   // a settled file's row is leaving the progress page
    QString m_strFailAccount;   // the account the fail page's rows came from
    CCompleteResultView* m_pComplete;
    CFailView* m_pFail;
    CFindView* m_pFind;
};
