#pragma once
// The modeless dialog shown while a manual sync, a sync check or a rename runs on the server.
// Its bar only shows that something is going on; its button hides it, the job goes on.

#include <QDialog>

class QProgressBar;
class QPushButton;
class QTimer;

class CStartSyncDlg : public QDialog {
    Q_OBJECT
public:
    enum Mode : int { kManualSync = 0, kCheckSync = 1, kRename = 2 };

    explicit CStartSyncDlg(int mode, QWidget* parent = nullptr);

    int Mode() const { return m_nMode; }
    QProgressBar* Bar() const { return m_pBar; }
    QPushButton* Button() const { return m_pButton; }

protected:
    void showEvent(QShowEvent* event) override;
    void hideEvent(QHideEvent* event) override;

private:
    void Step();

    int m_nMode;
    QProgressBar* m_pBar = nullptr;
    QPushButton* m_pButton = nullptr;
    QTimer* m_pTimer = nullptr;
};
