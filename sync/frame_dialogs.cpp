#include "sync/frame_dialogs.h"

#include "accounts/login_dlg.h"
#include "accounts/manager_dlg.h"
#include "sync/sync_comp_dlg.h"
#include "sync/sync_job.h"
#include "sync/sync_result_dlg.h"

#include <QLineEdit>

using talvex::CSyncNoticeList;

CFrameDialogs DefaultFrameDialogs(QWidget* window, talvex::IPasswordStore* passwords)
{
    CFrameDialogs dialogs;
    dialogs.showLogin = [window](QString& userId, QString& password, bool& save) {
        CLoginDlg dlg(window);
        if (!userId.isEmpty())
            dlg.UserIdEdit()->setText(userId);
        if (dlg.exec() != QDialog::Accepted)
            return false;
        userId = dlg.m_strUserId;
        password = dlg.m_strPassword;
        save = dlg.m_bSave;
        return true;
    };
    dialogs.showManager = [window, passwords](QString& userId, QString& password) {
        bool chosen = false;
        CManagerDlg dlg(
            [&](const QString& id, const QString& pw) {
                userId = id;
                password = pw;
                chosen = true;
            },
            window, passwords);
        dlg.exec();
        return chosen;
    };
    dialogs.showSyncComplete = [window](std::unique_ptr<CSyncNoticeList> result, bool check) {
        CSyncCompDlg dlg(*result, check, window);
        dlg.exec();
    };
    dialogs.showSyncResult = [window](std::unique_ptr<CSyncNoticeList> result, bool check) {
        CSyncResultDlg dlg(std::move(result), check, CSyncJob::ResultFile(), window);
        dlg.exec();
    };
    return dialogs;
}
