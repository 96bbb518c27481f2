#pragma once
// The modal dialog of a sync job whose files all went through: the total count only.

#include "protocol/records.h"

#include <QDialog>

class QLineEdit;

class CSyncCompDlg : public QDialog {
    Q_OBJECT
public:
    CSyncCompDlg(const talvex::CSyncNoticeList& result, bool check, QWidget* parent = nullptr);

    QString TotalText() const;

private:
    QLineEdit* m_pTotal = nullptr;
};
