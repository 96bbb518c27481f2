#pragma once
// CFrameDesktop: the window's desktop services. The secret store that keeps the account book's
// passwords (its absence said once in the status bar), and the desktop notifications of the
// window's uploads (CFrameNotices over CDesktopNotifier), whose click brings the window forward
// on the page it concerns; the upload's progress in the tray and on the dock (CDesktopProgress).
// Made with the session; the notices and the progress start once the queue exists.

#include <QObject>

#include <functional>
#include <memory>

class QWidget;
class CClientSession;
class CDesktopNotifier;
class CDesktopProgress;
class CFrameNotices;
class CKeyringStore;
class QTimer;
class CUploadQueue;

class CFrameDesktop : public QObject {
    Q_OBJECT
public:
    // statusLine shows a text in the status bar's message pane.
    CFrameDesktop(QWidget& window, CClientSession& session, std::function<void(const QString&)> statusLine);
    ~CFrameDesktop() override;

    // Before the session's own signals are connected: a lost connection is told before its box.
    void StartNotices(CUploadQueue& queue);

    CKeyringStore& Keyring() const { return *m_pKeyring; }
    CDesktopNotifier& Notifier() const { return *m_pNotifier; }
    CFrameNotices& Notices() const { return *m_pNotices; }
    CDesktopProgress* Progress() const { return m_pProgress.get(); }
    // Closing the window by its close button leaves the program in the tray: the option is on
    // and a tray shows it.
    bool KeepsRunningInTray() const;

    // The window or one of its dialogs has the focus, and the window is not minimised.
    bool IsInFront() const;

signals:
    // A notification was clicked: the window comes forward on this page (-1: the window only).
    void pageRequested(int page);

private:
    QWidget& m_window;
    CClientSession& m_session;
    std::unique_ptr<CKeyringStore> m_pKeyring;
    std::unique_ptr<CDesktopNotifier> m_pNotifier;
    std::unique_ptr<CFrameNotices> m_pNotices; // declared after the notifier it tells
    std::unique_ptr<CDesktopProgress> m_pProgress;
    QTimer* m_pProgressTimer = nullptr; // the speed, once a second while an upload runs
};
