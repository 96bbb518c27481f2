#pragma once
// CFolderDlg: asks for one name, either of a new remote folder or of a file to find.

#include <QDialog>

class QLabel;
class QLineEdit;
class QPushButton;

class CFolderDlg : public QDialog {
    Q_OBJECT
public:
    enum Mode { NewFolder = 0, FindFile = 1 };
    explicit CFolderDlg(Mode mode, QWidget* parent = nullptr);

    QString m_strName;

    // Runs the dialog; true with the name typed on OK.
    static bool Ask(Mode mode, QWidget* parent, QString& name);

    QLineEdit* NameEdit() const { return m_pName; }
    QLabel* NameLabel() const { return m_pLabel; }
    QPushButton* OkButton() const { return m_pOk; }

    // True when text holds a character no remote name may hold: : < > * " / ? \ |
    static bool HasForbiddenChar(const QString& text);

public slots:
    void accept() override;

private:
    Mode m_nMode;
    QLineEdit* m_pName;
    QLabel* m_pLabel;
    QPushButton* m_pOk;
};
