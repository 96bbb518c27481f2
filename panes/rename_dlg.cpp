#include "panes/rename_dlg.h"

#include "app/prompt.h"
#include "panes/name_char_filter.h"

#include <QDialogButtonBox>
#include <QGridLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>

namespace {
// Path separators are allowed: the target may move the item.
const QString kForbidden = QStringLiteral(":<>*\"?|");
} // namespace

CRenameDlg::CRenameDlg(const QString& sourceName, QWidget* parent)
    : QDialog(parent), m_strSource(sourceName), m_pSource(new QLineEdit(this)), m_pTarget(new QLineEdit(this))
{
    setObjectName(QStringLiteral("CRenameDlg"));
    setWindowTitle(Str(211));
    auto* sourceLabel = new QLabel(Str(212), this);
    sourceLabel->setObjectName(QStringLiteral("label1016"));
    auto* targetLabel = new QLabel(Str(213), this);
    targetLabel->setObjectName(QStringLiteral("label1017"));
    sourceLabel->setBuddy(m_pSource);
    targetLabel->setBuddy(m_pTarget);
    m_pSource->setObjectName(QStringLiteral("edit1012"));
    m_pSource->setText(sourceName);
    m_pSource->setReadOnly(true);
    m_pTarget->setObjectName(QStringLiteral("edit1013"));
    new CNameCharFilter(m_pTarget, kForbidden, PromptIcon::Warning);

    auto* buttons = new QDialogButtonBox(this);
    QPushButton* ok = buttons->addButton(Str(195), QDialogButtonBox::AcceptRole);
    buttons->addButton(Str(196), QDialogButtonBox::RejectRole);
    ok->setDefault(true);
    connect(buttons, &QDialogButtonBox::accepted, this, &CRenameDlg::accept);
    connect(buttons, &QDialogButtonBox::rejected, this, &CRenameDlg::reject);

    auto* layout = new QGridLayout(this);
    layout->addWidget(sourceLabel, 0, 0);
    layout->addWidget(m_pSource, 0, 1);
    layout->addWidget(targetLabel, 1, 0);
    layout->addWidget(m_pTarget, 1, 1);
    layout->addWidget(buttons, 2, 0, 1, 2);
    resize(360, sizeHint().height());
    m_pTarget->setFocus();
}

bool CRenameDlg::HasForbiddenChar(const QString& text)
{
    return CNameCharFilter::ContainsAnyOf(text, kForbidden);
}

void CRenameDlg::accept()
{
    const QString target = m_pTarget->text().trimmed();
    if (target.isEmpty()) {
        ShowMessage(this, 283, PromptIcon::Warning);
        m_pTarget->setFocus();
        return;
    }
    // Pasted text passes no key filter: the whole target is checked once more.
    if (HasForbiddenChar(target)) {
        ShowMessage(this, 206, PromptIcon::Warning);
        m_pTarget->setFocus();
        return;
    }
    m_strTarget = target;
    QDialog::accept();
}
