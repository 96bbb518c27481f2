#pragma once
// CScheduleDlg: edits the schedule. Every period (hours 1–24 or minutes 1–60 on the arrows; a
// typed value is taken as typed) or at a set time (that choice is offered but disabled), the
// local source folder (chosen by browsing only), the remote target (typed) and, optionally, the
// local folder the uploaded source files are moved to. OK checks every field first and writes
// the record only when all of them pass.

#include <QDialog>
#include <QSpinBox>

#include <functional>

class QCheckBox;
class QDateEdit;
class QGroupBox;
class QLabel;
class QLineEdit;
class QPushButton;
class QRadioButton;
class QTimeEdit;
class CScheduleInfo;

// The period edit with its up-down arrows: the arrows keep to their range, the edit takes any
// number typed.
class CPeriodSpinBox : public QSpinBox {
    Q_OBJECT
public:
    explicit CPeriodSpinBox(QWidget* parent = nullptr);
    void SetUpDownRange(int low, int high);
    int UpDownLow() const { return m_nLow; }
    int UpDownHigh() const { return m_nHigh; }
    void stepBy(int steps) override;

protected:
    StepEnabled stepEnabled() const override;

private:
    int m_nLow = 1, m_nHigh = 24;
};

class CScheduleDlg : public QDialog {
    Q_OBJECT
public:
    // Asks for a local folder; an empty text when nothing was chosen.
    using FolderBrowser = std::function<QString(QWidget* parent, const QString& title, const QString& start)>;
    // Replaces the folder browser of every schedule dialog (tests); empty restores the real one.
    static void SetFolderBrowser(FolderBrowser browser);

    explicit CScheduleDlg(CScheduleInfo& info, QWidget* parent = nullptr);

    QRadioButton* EveryPeriodButton() const { return m_pEveryPeriod; }
    QRadioButton* AtTimeButton() const { return m_pAtTime; }
    QRadioButton* HoursButton() const { return m_pHours; }
    QRadioButton* MinutesButton() const { return m_pMinutes; }
    CPeriodSpinBox* PeriodEdit() const { return m_pPeriod; }
    QDateEdit* DatePicker() const { return m_pDate; }
    QTimeEdit* TimePicker() const { return m_pTime; }
    QLineEdit* SourceEdit() const { return m_pSource; }
    QLineEdit* TargetEdit() const { return m_pTarget; }
    QLineEdit* MovePathEdit() const { return m_pMovePath; }
    QPushButton* SourceBrowseButton() const { return m_pSourceBrowse; }
    QPushButton* TargetBrowseButton() const { return m_pTargetBrowse; }
    QPushButton* MoveBrowseButton() const { return m_pMoveBrowse; }
    QCheckBox* MoveBox() const { return m_pMove; }
    QPushButton* OkButton() const { return m_pOk; }
    QPushButton* CancelButton() const { return m_pCancel; }

public slots:
    void accept() override;

private:
    void OnEveryPeriod();
    void OnAtTime();
    void OnHours();
    void OnMinutes();
    void ShowPeriodSet(bool show);
    void Browse(QLineEdit* edit);

    CScheduleInfo& m_info;
    QRadioButton* m_pEveryPeriod;
    QRadioButton* m_pAtTime;
    QRadioButton* m_pHours;
    QRadioButton* m_pMinutes;
    QLabel* m_pPeriodLabel;
    CPeriodSpinBox* m_pPeriod;
    QDateEdit* m_pDate;
    QTimeEdit* m_pTime;
    QLineEdit* m_pSource;
    QPushButton* m_pSourceBrowse;
    QLineEdit* m_pTarget;
    QPushButton* m_pTargetBrowse;
    QCheckBox* m_pMove;
    QLineEdit* m_pMovePath;
    QPushButton* m_pMoveBrowse;
    QPushButton* m_pOk;
    QPushButton* m_pCancel;
};
