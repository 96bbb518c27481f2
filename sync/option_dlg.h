#pragma once
// COptionDlg: the upload options. "동시 전송 개수" (한개 / 두개: upload channels from the next
// login), "수동동기화" (whether the manual sync command is offered) and the upload speed limit
// (KB/s, 0: none; applies at once), reconnecting on its own, how long a silent connection is
// waited for before it counts as lost (from the next connection on), whether desktop
// notifications are sent (an upload or a scheduled run ended, the connection was lost, while the
// window is not in front) and whether closing the window leaves the program in the tray. The
// choices are kept in the settings store.
//
// The dialog shows what is saved. An environment override (TALVEX_UPLOAD_LIMIT) applies to the
// run it was given to: the dialog says so under the field, and only a field the user changed
// is saved (SaveChanges), so the override never becomes a setting.

#include "protocol/records.h"

#include <QDialog>

#include <optional>

class QCheckBox;
class QLabel;
class QRadioButton;
class QSpinBox;

struct UploadOptions {
    int channels = 1;       // 1 or 2
    bool manualSync = true; // the manual sync command is offered
    int limitKBps = 0;      // all upload channels together; 0: no limit
    // How long a file answered on a sync-service account waits for its confirming notice before
    // it counts failed as unconfirmed (settings value "ConfirmTimeout", seconds; kept by hand).
    int confirmTimeoutSeconds = 300;
    // A lost connection is made again on its own, for at most reconnectMinutes; off: the
    // lost connection's message, and the program ends.
    bool autoReconnect = false;
    int reconnectMinutes = 10;
    // The dead-path bound of every connection (settings value "StallTimeout", seconds): sent
    // data unacknowledged, or an idle connection's keepalives unanswered, this long and the
    // connection counts as lost. A link dark for less (a Wi-Fi roaming) costs no reconnect.
    int stallTimeoutSeconds = talvex::kDefaultStallTimeoutSeconds;
    bool notify = true; // desktop notifications (settings value "DesktopNotify")
    // Closing the window leaves Talvex running with its icon in the tray, where the desktop has
    // one (settings value "KeepInTray").
    bool keepInTray = false;

    // The saved options (the settings file, without environment overrides).
    static UploadOptions Load();
    // Writes every option; false when the settings could not be written.
    bool Save() const;
    // Writes only the options that differ from before (what the dialog started with); nothing
    // when none does. False when the settings could not be written.
    bool SaveChanges(const UploadOptions& before) const;
};

class CClientSession;

class COptionDlg : public QDialog {
    Q_OBJECT
public:
    explicit COptionDlg(const UploadOptions& options, QWidget* parent = nullptr);
    // "옵션": the dialog starts from what is saved; on OK what the user changed is saved and
    // applied to session (a limit the environment set for this run stays in force unless its
    // field changed). The options chosen; none when the dialog was cancelled.
    static std::optional<UploadOptions> Edit(QWidget* parent, CClientSession& session);

    UploadOptions Options() const;

    QRadioButton* OneButton() const { return m_pOne; }
    QRadioButton* TwoButton() const { return m_pTwo; }
    QCheckBox* ManualSyncBox() const { return m_pManualSync; }
    QSpinBox* LimitBox() const { return m_pLimit; }
    QCheckBox* ReconnectBox() const { return m_pReconnect; }
    QSpinBox* ReconnectMinutesBox() const { return m_pReconnectFor; }
    QSpinBox* StallTimeoutBox() const { return m_pStallTimeout; }
    QCheckBox* NotifyBox() const { return m_pNotify; }
    QCheckBox* KeepInTrayBox() const { return m_pKeepInTray; }
    // Says that TALVEX_UPLOAD_LIMIT sets this run's limit; hidden when it does not.
    QLabel* LimitOverrideLabel() const { return m_pLimitOverride; }

private:
    QRadioButton* m_pOne;
    QRadioButton* m_pTwo;
    QCheckBox* m_pManualSync;
    QSpinBox* m_pLimit;
    QLabel* m_pLimitOverride;
    QCheckBox* m_pReconnect;
    QSpinBox* m_pReconnectFor;
    QSpinBox* m_pStallTimeout;
    QCheckBox* m_pNotify;
    QCheckBox* m_pKeepInTray;
};
