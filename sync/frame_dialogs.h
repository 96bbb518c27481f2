#pragma once
// The modal dialogs the window's flows open, as replaceable calls: the window fills them with
// the real dialogs, tests with scripted answers.

#include "protocol/records.h"

#include <QString>

class QWidget;

#include <functional>
#include <memory>

struct CFrameDialogs {
    // The login dialog; true with the values on OK.
    std::function<bool(QString& userId, QString& password, bool& save)> showLogin;
    // The account book; true with the chosen account's values when it was left with "접속".
    std::function<bool(QString& userId, QString& password)> showManager;
    // A sync job's result: the complete dialog (no failed file) and the result dialog.
    using SyncResultShow = std::function<void(std::unique_ptr<talvex::CSyncNoticeList> result, bool check)>;
    SyncResultShow showSyncComplete;
    SyncResultShow showSyncResult;
};

// The real dialogs, opened over window.
CFrameDialogs DefaultFrameDialogs(QWidget* window);
