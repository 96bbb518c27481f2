#pragma once
// COptionDlg: the upload options. "동시 전송 개수" (한개 / 두개: upload channels from the next
// login) and "수동동기화" (whether the manual sync command is offered). The choices are kept
// in the settings store beside the other client values.

#include <QDialog>

class QCheckBox;
class QRadioButton;

struct UploadOptions {
    int channels = 1;       // 1 or 2
    bool manualSync = true; // the manual sync command is offered

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

private:
    QRadioButton* m_pOne;
    QRadioButton* m_pTwo;
    QCheckBox* m_pManualSync;
};
