#include "accounts/login_dlg.h"

#include "app/prompt.h"
#include "app/registry_key.h"

#include <QApplication>
#include <QCheckBox>
#include <QDialogButtonBox>
#include <QGridLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QVBoxLayout>

CLoginDlg::CLoginDlg(QWidget* parent)
    : QDialog(parent), m_pUserId(new QLineEdit(this)), m_pPassword(new QLineEdit(this)), m_pSave(new QCheckBox(this))
{
    setWindowTitle(Str(207));
    setWindowIcon(QApplication::windowIcon());
    m_pUserId->setObjectName(QStringLiteral("userId"));
    m_pPassword->setObjectName(QStringLiteral("password"));
    m_pPassword->setEchoMode(QLineEdit::Password);
    m_pSave->setObjectName(QStringLiteral("save"));
    m_pSave->setText(Str(210));

    auto* fields = new QGridLayout;
    // Each label is its field's: a screen reader says it with the field.
    auto* userIdLabel = new QLabel(Str(208), this);
    userIdLabel->setBuddy(m_pUserId);
    auto* passwordLabel = new QLabel(Str(209), this);
    passwordLabel->setBuddy(m_pPassword);
    fields->addWidget(userIdLabel, 0, 0);
    fields->addWidget(m_pUserId, 0, 1);
    fields->addWidget(passwordLabel, 1, 0);
    fields->addWidget(m_pPassword, 1, 1);
    fields->addWidget(m_pSave, 2, 1);
    fields->setColumnMinimumWidth(1, 180);

    auto* buttons = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel, this);
    buttons->button(QDialogButtonBox::Ok)->setText(Str(195));
    buttons->button(QDialogButtonBox::Cancel)->setText(Str(196));
    connect(buttons, &QDialogButtonBox::accepted, this, &CLoginDlg::accept);
    connect(buttons, &QDialogButtonBox::rejected, this, &CLoginDlg::reject);

    auto* layout = new QVBoxLayout(this);
    layout->addLayout(fields);
    layout->addWidget(buttons);

    // The last saved user id, if any: filled in, box ticked, password next.
    CRegistryKey key;
    QString saved;
    if (key.Open(RegistryRoot::LocalMachine, QString::fromLatin1(kClientKey))
        && key.ReadString(QString::fromLatin1(kValueUserId), saved) && !saved.isEmpty()) {
        m_pUserId->setText(saved);
        m_pSave->setChecked(true);
    }
}

void CLoginDlg::showEvent(QShowEvent* event)
{
    QDialog::showEvent(event);
    (m_pUserId->text().isEmpty() ? m_pUserId : m_pPassword)->setFocus();
}

void CLoginDlg::accept()
{
    // Nothing is trimmed: an id of blanks counts as filled in and is sent as typed.
    const QString userId = m_pUserId->text();
    const QString password = m_pPassword->text();
    if (!RequireFilled(this, m_pUserId, userId, Str(272)) || !RequireFilled(this, m_pPassword, password, Str(273)))
        return;
    m_strUserId = userId;
    m_strPassword = password;
    m_bSave = m_pSave->isChecked();
    QDialog::accept();
}
