#pragma once
// COptionDlg: the upload options. "동시 전송 개수" (한개 / 두개: upload channels from the next
// login), "수동동기화" (whether the manual sync command is offered) and the upload speed limit
// (KB/s, 0: none; applies at once) and, last, whether desktop notifications are sent (an upload
// or a scheduled run ended, the connection was lost, while the window is not in front). The
// choices are kept in the settings store.

#include <QDialog>

class QCheckBox;
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
    bool notify = true; // desktop notifications (settings value "DesktopNotify")

    static UploadOptions Load();
    // False when the settings could not be written.
    bool Save() const;
};

class COptionDlg : public QDialog {
    Q_OBJECT
public:
    explicit COptionDlg(const UploadOptions& options, QWidget* parent = nullptr);

    UploadOptions Options() const;

    QRadioButton* OneButton() const { return m_pOne; }
    QRadioButton* TwoButton() const { return m_pTwo; }
    QCheckBox* ManualSyncBox() const { return m_pManualSync; }
    QSpinBox* LimitBox() const { return m_pLimit; }
    QCheckBox* ReconnectBox() const { return m_pReconnect; }
    QSpinBox* ReconnectMinutesBox() const { return m_pReconnectFor; }
    QCheckBox* NotifyBox() const { return m_pNotify; }

private:
    QRadioButton* m_pOne;
    QRadioButton* m_pTwo;
    QCheckBox* m_pManualSync;
    QSpinBox* m_pLimit;
    QCheckBox* m_pReconnect;
    QSpinBox* m_pReconnectFor;
    QCheckBox* m_pNotify;
};
