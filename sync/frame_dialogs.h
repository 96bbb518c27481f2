#pragma once
// The modal dialogs the window's flows open, as replaceable calls: the window fills them with
// the real dialogs, tests with scripted answers.

#include "protocol/records.h"

#include <QString>

class QWidget;
namespace talvex {
class IPasswordStore;
}

#include <functional>
#include <memory>

struct CFrameDialogs {
    // The login dialog; true with the values on OK. A user id passed in is filled in.
    std::function<bool(QString& userId, QString& password, bool& save)> showLogin;
    // The account book; true with the chosen account's values when it was left with "접속".
    std::function<bool(QString& userId, QString& password)> showManager;
    // A sync job's result: the complete dialog (no failed file) and the result dialog.
    using SyncResultShow = std::function<void(std::unique_ptr<talvex::CSyncNoticeList> result, bool check)>;
    SyncResultShow showSyncComplete;
    SyncResultShow showSyncResult;
};

// The real dialogs, opened over window; the account book keeps its passwords in passwords
// when it is given.
CFrameDialogs DefaultFrameDialogs(QWidget* window, talvex::IPasswordStore* passwords = nullptr);
