#pragma once
// CRenameDlg: the source name (read-only) and the target name of a rename. The target may be
// an absolute remote path ("/" or "\" allowed), which moves the item.

#include <QDialog>

class QLineEdit;
class QPushButton;

class CRenameDlg : public QDialog {
    Q_OBJECT
public:
    explicit CRenameDlg(const QString& sourceName, QWidget* parent = nullptr);

    QString m_strSource;
    QString m_strTarget;

    QLineEdit* SourceEdit() const { return m_pSource; }
    QLineEdit* TargetEdit() const { return m_pTarget; }

    // The characters a target may not hold; path separators are allowed: : < > * " ? |
    static bool HasForbiddenChar(const QString& text);

public slots:
    void accept() override;

private:
    QLineEdit* m_pSource;
    QLineEdit* m_pTarget;
};
