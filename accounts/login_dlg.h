#pragma once
// CLoginDlg: the user id and password of a service account, and whether to remember the id.
// It talks to nobody: it checks that both fields are filled and hands the values back.

#include <QDialog>

class QCheckBox;
class QLineEdit;

class CLoginDlg : public QDialog {
    Q_OBJECT
public:
    explicit CLoginDlg(QWidget* parent = nullptr);

    // Valid after the dialog was accepted.
    QString m_strUserId;
    QString m_strPassword;
    bool m_bSave = false;

    QLineEdit* UserIdEdit() const { return m_pUserId; }
    QLineEdit* PasswordEdit() const { return m_pPassword; }
    QCheckBox* SaveBox() const { return m_pSave; }

public slots:
    void accept() override;

protected:
    void showEvent(QShowEvent* event) override;

private:
    QLineEdit* m_pUserId;
    QLineEdit* m_pPassword;
    QCheckBox* m_pSave;
};
