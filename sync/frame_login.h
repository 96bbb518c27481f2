#pragma once
// CFrameLogin: the window's side of logging in. The login dialog (a known user id filled in),
// the account book's connect, the question after a refused check ("try again?" opens the
// dialog again), the messages of a failed check and a refused login, and the DRM page of an
// account allowed to protect media once the web check has said so.

#include <QObject>
#include <QString>

class QWidget;
class CClientSession;
class CFlatTabView;
struct CFrameDialogs;

class CFrameLogin : public QObject {
    Q_OBJECT
public:
    // dialogs is the window's, read at each use (tests replace its calls).
    CFrameLogin(CClientSession& session, const CFrameDialogs& dialogs, CFlatTabView& tabs, QWidget* window);

    // The login dialog; false when it was cancelled.
    bool ShowLogin(const QString& knownUserId = QString());
    // The account book; its connect button runs the connect sequence.
    void ShowManager();
    // The connect sequence with these credentials, the save choice of the last login dialog.
    void ConnectAs(const QString& userId, const QString& password);

private:
    void AddDrmPage();

    CClientSession& m_session;
    const CFrameDialogs& m_dialogs;
    CFlatTabView& m_tabs;
    QWidget* m_window;
    bool m_bSaveUserId = false;
};
