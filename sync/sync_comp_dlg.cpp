#include "sync/sync_comp_dlg.h"

#include "app/prompt.h"

#include <QDialogButtonBox>
#include <QGridLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>

CSyncCompDlg::CSyncCompDlg(const talvex::CSyncNoticeList& result, bool check, QWidget* parent) : QDialog(parent)
{
    setObjectName(QStringLiteral("CSyncCompDlg"));
    setWindowTitle(Str(check ? 220 : 219));

    auto* message = new QLabel(Str(227), this);
    auto* totalLabel = new QLabel(Str(221), this);
    m_pTotal = new QLineEdit(QString::number(result.totalCount), this);
    m_pTotal->setObjectName(QStringLiteral("total"));
    totalLabel->setBuddy(m_pTotal);
    m_pTotal->setReadOnly(true);

    auto* buttons = new QDialogButtonBox(this);
    QPushButton* ok = buttons->addButton(Str(195), QDialogButtonBox::AcceptRole);
    ok->setObjectName(QStringLiteral("ok"));
    ok->setDefault(true);
    connect(buttons, &QDialogButtonBox::accepted, this, &QDialog::accept);

    auto* layout = new QGridLayout(this);
    layout->addWidget(message, 0, 0, 1, 2);
    layout->addWidget(totalLabel, 1, 0);
    layout->addWidget(m_pTotal, 1, 1);
    layout->addWidget(buttons, 2, 0, 1, 2);
}

QString CSyncCompDlg::TotalText() const { return m_pTotal->text(); }
