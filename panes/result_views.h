#pragma once
// The four result pages of the tab pane:
//  - CProcessView: files whose bytes are all sent and that wait for the server's confirmation;
//  - CCompleteResultView: files the server confirmed;
//  - CFailView: files that failed; "실패항목 재전송" sends every one of them again;
//  - CFindView: the result of a remote file search.
// The first three hold the local path (with its icon), the remote name, the size text and the
// page's fixed status text; the progress page keeps the move folder in a hidden fifth column.

#include "panes/result_list.h"
#include "protocol/records.h"
#include "protocol/upload_request.h"

#include <QHash>

#include <functional>
#include <vector>

// The texts of one upload row: local path, remote name, size text; and, for a fail row, why
// it failed when the server did not say so (empty: the page's own status text).
struct CResultRowTexts {
    QString localPath;
    QString remoteName;
    QString sizeText;
    QString status;
};

class CProcessView : public CResultView {
    Q_OBJECT
public:
    enum Column { LocalColumn = 0, RemoteColumn, SizeColumn, StatusColumn, MoveColumn };
    explicit CProcessView(QWidget* parent = nullptr);

    // The status text of rows added from now on: 311 on sync-service accounts, else 308.
    void SetSyncService(bool syncService) { m_bSyncService = syncService; }
    // key: what the row stands for, to find it again (RowOfKey).
    void AddResultRow(const CResultRowTexts& texts, const QString& moveFolder, const void* key = nullptr);
    int RowOfKey(const void* key) const { return Model()->RowOfKey(key); }
    void RemoveRow(int row) { Model()->Remove(row); }

private:
    bool m_bSyncService = false;
};

class CCompleteResultView : public CResultView {
    Q_OBJECT
public:
    explicit CCompleteResultView(QWidget* parent = nullptr);
    void AddResultRow(const CResultRowTexts& texts);
};

class CFailView : public CResultView {
    Q_OBJECT
public:
    explicit CFailView(QWidget* parent = nullptr);
    void AddResultRow(const CResultRowTexts& texts);

    // Upload notices for failed files: each notice whose path names a fail row (the first such
    // row, without regard to case) is taken out of the list; with number 200 its row leaves
    // the page and is returned, so that it can be shown as completed. Other notices stay.
    std::vector<CResultRowTexts> RecheckFailed(talvex::CSyncNoticeList& notices);
    // The first row with exactly these texts; -1 when none. Rows whose remote path no row
    // shares are told without reading the page.
    int RowOf(const QString& localPath, const QString& remoteName) const;
    // Every row, in list order and selected or not, as an order to send the file again
    // (kind 0, the remote name as the remote folder, no name, no move folder); the page is
    // left empty.
    std::vector<talvex::CUploadOrder> TakeResendOrders();
    // "실패항목 재전송": the orders go out with resendRequested. Only while the resend is allowed
    // (a session to take the orders): otherwise the rows stay and the command is gray. A page
    // of more than kResendStep rows goes out kResendStep rows a turn of the window, in order,
    // with resendProgress after each step; rows that fail meanwhile stay for a later resend, and
    // a session that ends stops it with the rest still on the page.
    void ResendFailed();
    static constexpr int kResendStep = 20000;
    bool IsResending() const { return m_resendLeft > 0; }
    void SetResendAllowed(std::function<bool()> allowed) { m_resendAllowed = std::move(allowed); }
    bool CommandAllowed(unsigned commandId) const override;

signals:
    void resendRequested(std::vector<talvex::CUploadOrder> orders);
    // done of total rows resent so far; (0, 0) when a resend in steps stopped short.
    void resendProgress(int done, int total);

private:
    // Rows of each remote path's key (the path as notices match it, hashed): a notice or a
    // restored failure for a path no row has is told at once, however long the page is.
    static quint64 KeyOf(const QString& remoteName);
    bool MayHold(quint64 key) const { return m_rowsOfKey.contains(key); }
    void CountRows(int first, int last, int by);
    // The first count rows as orders to send them again.
    std::vector<talvex::CUploadOrder> OrdersOf(int count) const;
    void ResendStep();

    std::function<bool()> m_resendAllowed;
    QHash<quint64, quint32> m_rowsOfKey;
    int m_resendLeft = 0; // rows of a resend in steps not yet sent
    int m_resendTotal = 0;
};

class CFindView : public CResultView {
    Q_OBJECT
public:
    explicit CFindView(QWidget* parent = nullptr);
    // Replaces the rows with the entries of a search answer, in their order.
    void ShowSearchResults(const talvex::CRemoteEntryList& entries);
    // "2024-05-01 13:07"; empty for a date that cannot be read.
    static QString TimeText(const talvex::OleDate& date);
};
