#include "panes/folder_dlg.h"

#include "app/prompt.h"
#include "panes/name_char_filter.h"

#include <QDialogButtonBox>
#include <QGridLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>

namespace {
const QString kForbidden = QStringLiteral(":<>*\"/?\\|");
} // namespace

CFolderDlg::CFolderDlg(Mode mode, QWidget* parent)
    : QDialog(parent), m_nMode(mode), m_pName(new QLineEdit(this)), m_pLabel(new QLabel(this)), m_pOk(nullptr)
{
    setObjectName(QStringLiteral("CFolderDlg"));
    setWindowTitle(Str(mode == NewFolder ? 200 : 201));
    m_pLabel->setText(Str(mode == NewFolder ? 202 : 203));
    m_pLabel->setObjectName(QStringLiteral("label1013"));
    m_pLabel->setBuddy(m_pName);
    m_pName->setObjectName(QStringLiteral("edit1004"));
    m_pName->setMaxLength(255);
    new CNameCharFilter(m_pName, kForbidden, PromptIcon::Error);

    auto* buttons = new QDialogButtonBox(this);
    m_pOk = buttons->addButton(Str(195), QDialogButtonBox::AcceptRole);
    buttons->addButton(Str(196), QDialogButtonBox::RejectRole);
    m_pOk->setDefault(true);
    connect(buttons, &QDialogButtonBox::accepted, this, &CFolderDlg::accept);
    connect(buttons, &QDialogButtonBox::rejected, this, &CFolderDlg::reject);

    auto* layout = new QGridLayout(this);
    layout->addWidget(m_pLabel, 0, 0);
    layout->addWidget(m_pName, 0, 1);
    layout->addWidget(buttons, 1, 0, 1, 2);
    m_pName->setFocus();
}

bool CFolderDlg::HasForbiddenChar(const QString& text)
{
    return CNameCharFilter::ContainsAnyOf(text, kForbidden);
}

bool CFolderDlg::Ask(Mode mode, QWidget* parent, QString& name)
{
    CFolderDlg dlg(mode, parent);
    if (dlg.exec() != QDialog::Accepted)
        return false;
    name = dlg.m_strName;
    return true;
}

void CFolderDlg::accept()
{
    const QString name = m_pName->text().trimmed();
    if (name.isEmpty()) {
        ShowMessage(this, m_nMode == NewFolder ? 204 : 205, PromptIcon::Warning);
        m_pName->setFocus();
        return;
    }
    // Pasted text passes no key filter: a folder name is checked once more as a whole.
    if (m_nMode == NewFolder && HasForbiddenChar(name)) {
        ShowMessage(this, 206, PromptIcon::Error);
        m_pName->setFocus();
        return;
    }
    m_strName = name;
    QDialog::accept();
}
