#include "sync/option_dlg.h"

#include "app/client_session.h"
#include "app/deployment_settings.h"
#include "app/prompt.h"
#include "app/registry_key.h"
#include "res/desktop_texts.h"
#include "res/string_table.h"

#include <QButtonGroup>
#include <QCheckBox>
#include <QDialogButtonBox>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QSpinBox>
#include <QPushButton>
#include <QRadioButton>
#include <QVBoxLayout>

using namespace talvex;

namespace {

constexpr const char* kValueUploadChannels = "UploadChannels";
constexpr const char* kValueManualSync = "ManualSync";
constexpr const char* kValueConfirmTimeout = "ConfirmTimeout";
constexpr const char* kValueAutoReconnect = "AutoReconnect";
constexpr const char* kValueReconnectMinutes = "ReconnectMinutes";
constexpr const char* kValueDesktopNotify = "DesktopNotify";
constexpr const char* kValueKeepInTray = "KeepInTray";
constexpr const char* kValueStallTimeout = "StallTimeout";

} // namespace

UploadOptions UploadOptions::Load()
{
    UploadOptions options;
    options.limitKBps = DeploymentSettings::LoadSaved().uploadLimitKBps;
    CRegistryKey key;
    if (!key.Open(RegistryRoot::LocalMachine, QString::fromLatin1(kClientKey)))
        return options;
    QString value;
    if (key.ReadString(QString::fromLatin1(kValueUploadChannels), value) && value.trimmed() == QLatin1String("2"))
        options.channels = 2;
    if (key.ReadString(QString::fromLatin1(kValueManualSync), value) && value.trimmed() == QLatin1String("0"))
        options.manualSync = false;
    if (key.ReadString(QString::fromLatin1(kValueAutoReconnect), value) && value.trimmed() == QLatin1String("1"))
        options.autoReconnect = true;
    if (key.ReadString(QString::fromLatin1(kValueReconnectMinutes), value)) {
        bool ok = false;
        const int minutes = value.trimmed().toInt(&ok);
        if (ok && minutes >= 1 && minutes <= 24 * 60)
            options.reconnectMinutes = minutes;
    }
    if (key.ReadString(QString::fromLatin1(kValueConfirmTimeout), value)) {
        bool ok = false;
        const int seconds = value.trimmed().toInt(&ok);
        if (ok && seconds >= 1 && seconds <= 7 * 86400)
            options.confirmTimeoutSeconds = seconds;
    }
    if (key.ReadString(QString::fromLatin1(kValueDesktopNotify), value) && value.trimmed() == QLatin1String("0"))
        options.notify = false;
    if (key.ReadString(QString::fromLatin1(kValueKeepInTray), value) && value.trimmed() == QLatin1String("1"))
        options.keepInTray = true;
    if (key.ReadString(QString::fromLatin1(kValueStallTimeout), value)) {
        bool ok = false;
        const int seconds = value.trimmed().toInt(&ok);
        if (ok && seconds >= 1 && seconds <= kMaxStallTimeoutSeconds)
            options.stallTimeoutSeconds = seconds;
    }
    return options;
}

bool UploadOptions::Save() const
{
    CRegistryKey key;
    if (!key.Open(RegistryRoot::LocalMachine, QString::fromLatin1(kClientKey))
        && !key.Create(RegistryRoot::LocalMachine, QString::fromLatin1(kClientKey)))
        return false;
    return key.WriteString(QString::fromLatin1(kValueUploadChannels), QString::number(channels == 2 ? 2 : 1))
           && key.WriteString(QString::fromLatin1(kValueManualSync), manualSync ? QStringLiteral("1") : QStringLiteral("0"))
           && key.WriteString(QString::fromLatin1(kValueAutoReconnect), autoReconnect ? QStringLiteral("1") : QStringLiteral("0"))
           && key.WriteString(QString::fromLatin1(kValueReconnectMinutes), QString::number(reconnectMinutes))
           && key.WriteString(QString::fromLatin1(kValueDesktopNotify), notify ? QStringLiteral("1") : QStringLiteral("0"))
           && key.WriteString(QString::fromLatin1(kValueKeepInTray), keepInTray ? QStringLiteral("1") : QStringLiteral("0"))
           && key.WriteString(QString::fromLatin1(kValueStallTimeout), QString::number(stallTimeoutSeconds))
           && DeploymentSettings::SaveUploadLimit(limitKBps);
}

bool UploadOptions::SaveChanges(const UploadOptions& before) const
{
    struct Value {
        const char* name;
        QString now;
        QString then;
    };
    const auto flag = [](bool on) { return on ? QStringLiteral("1") : QStringLiteral("0"); };
    const Value values[] = {
        {kValueUploadChannels, QString::number(channels == 2 ? 2 : 1), QString::number(before.channels == 2 ? 2 : 1)},
        {kValueManualSync, flag(manualSync), flag(before.manualSync)},
        {kValueAutoReconnect, flag(autoReconnect), flag(before.autoReconnect)},
        {kValueReconnectMinutes, QString::number(reconnectMinutes), QString::number(before.reconnectMinutes)},
        {kValueDesktopNotify, flag(notify), flag(before.notify)},
        {kValueKeepInTray, flag(keepInTray), flag(before.keepInTray)},
        {kValueStallTimeout, QString::number(stallTimeoutSeconds), QString::number(before.stallTimeoutSeconds)},
    };
    bool ok = true;
    CRegistryKey key;
    bool open = false;
    for (const Value& value : values) {
        if (value.now == value.then)
            continue;
        if (!open) {
            open = key.Open(RegistryRoot::LocalMachine, QString::fromLatin1(kClientKey))
                   || key.Create(RegistryRoot::LocalMachine, QString::fromLatin1(kClientKey));
            if (!open)
                return false;
        }
        ok = key.WriteString(QString::fromLatin1(value.name), value.now) && ok;
    }
    if (limitKBps != before.limitKBps)
        ok = DeploymentSettings::SaveUploadLimit(limitKBps) && ok;
    return ok;
}

COptionDlg::COptionDlg(const UploadOptions& options, QWidget* parent)
    : QDialog(parent), m_pOne(new QRadioButton(QString::fromUtf8(kTextOptionOne))),
      m_pTwo(new QRadioButton(QString::fromUtf8(kTextOptionTwo))),
      m_pManualSync(new QCheckBox(QString::fromUtf8(kTextOptionManualSync))), m_pLimit(new QSpinBox),
      m_pLimitOverride(new QLabel),
      m_pReconnect(new QCheckBox(QString::fromUtf8(kTextOptionReconnect))), m_pReconnectFor(new QSpinBox),
      m_pStallTimeout(new QSpinBox), m_pNotify(new QCheckBox(QString::fromUtf8(kTextOptionNotify))),
      m_pKeepInTray(new QCheckBox(QString::fromUtf8(kTextOptionKeepInTray)))
{
    setWindowTitle(Str(194));
    auto* group = new QGroupBox(QString::fromUtf8(kTextOptionChannels));
    auto* groupLayout = new QVBoxLayout(group);
    groupLayout->addWidget(m_pOne);
    groupLayout->addWidget(m_pTwo);
    auto* exclusive = new QButtonGroup(this);
    exclusive->addButton(m_pOne);
    exclusive->addButton(m_pTwo);
    (options.channels == 2 ? m_pTwo : m_pOne)->setChecked(true);
    m_pManualSync->setChecked(options.manualSync);
    m_pLimit->setRange(0, kMaxUploadLimitKBps);
    m_pLimit->setValue(options.limitKBps);
    m_pLimit->setSuffix(QStringLiteral(" KB/s"));
    m_pLimit->setSpecialValueText(QString::fromUtf8(kTextOptionNoLimit));
    auto* limitRow = new QHBoxLayout;
    // Each label is its spin box's: a screen reader says it with the value.
    auto* limitLabel = new QLabel(QString::fromUtf8(kTextOptionLimit));
    limitLabel->setBuddy(m_pLimit);
    limitRow->addWidget(limitLabel);
    limitRow->addWidget(m_pLimit);
    // The field shows what is saved; a limit the environment set for this run is said here.
    m_pLimitOverride->setObjectName(QStringLiteral("limitOverride"));
    m_pLimitOverride->setWordWrap(true);
    const int forced = DeploymentSettings::UploadLimitOverride();
    if (forced >= 0)
        m_pLimitOverride->setText(QString::fromUtf8(kTextOptionLimitOverride).arg(forced));
    m_pLimitOverride->setVisible(forced >= 0);
    m_pReconnect->setChecked(options.autoReconnect);
    m_pReconnectFor->setRange(1, 24 * 60);
    m_pReconnectFor->setValue(options.reconnectMinutes);
    m_pReconnectFor->setEnabled(options.autoReconnect);
    connect(m_pReconnect, &QCheckBox::toggled, m_pReconnectFor, &QWidget::setEnabled);
    auto* reconnectRow = new QHBoxLayout;
    auto* reconnectLabel = new QLabel(QString::fromUtf8(kTextOptionReconnectFor));
    reconnectLabel->setBuddy(m_pReconnectFor);
    reconnectRow->addWidget(reconnectLabel);
    reconnectRow->addWidget(m_pReconnectFor);
    m_pStallTimeout->setObjectName(QStringLiteral("stallTimeout"));
    m_pStallTimeout->setRange(1, kMaxStallTimeoutSeconds);
    m_pStallTimeout->setValue(options.stallTimeoutSeconds);
    auto* stallRow = new QHBoxLayout;
    auto* stallLabel = new QLabel(QString::fromUtf8(kTextOptionStallTimeout));
    stallLabel->setBuddy(m_pStallTimeout);
    stallRow->addWidget(stallLabel);
    stallRow->addWidget(m_pStallTimeout);

    auto* buttons = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel);
    buttons->button(QDialogButtonBox::Ok)->setText(Str(195));
    buttons->button(QDialogButtonBox::Cancel)->setText(Str(196));
    connect(buttons, &QDialogButtonBox::accepted, this, &QDialog::accept);
    connect(buttons, &QDialogButtonBox::rejected, this, &QDialog::reject);

    auto* layout = new QVBoxLayout(this);
    layout->addWidget(group);
    layout->addWidget(m_pManualSync);
    layout->addLayout(limitRow);
    layout->addWidget(m_pLimitOverride);
    layout->addWidget(m_pReconnect);
    layout->addLayout(reconnectRow);
    layout->addLayout(stallRow);
    m_pNotify->setObjectName(QStringLiteral("desktopNotify"));
    m_pNotify->setChecked(options.notify);
    layout->addWidget(m_pNotify);
    m_pKeepInTray->setObjectName(QStringLiteral("keepInTray"));
    m_pKeepInTray->setChecked(options.keepInTray);
    layout->addWidget(m_pKeepInTray);
    layout->addWidget(buttons);
}

UploadOptions COptionDlg::Options() const
{
    UploadOptions options;
    options.channels = m_pTwo->isChecked() ? 2 : 1;
    options.manualSync = m_pManualSync->isChecked();
    options.limitKBps = m_pLimit->value();
    options.autoReconnect = m_pReconnect->isChecked();
    options.reconnectMinutes = m_pReconnectFor->value();
    options.stallTimeoutSeconds = m_pStallTimeout->value();
    options.notify = m_pNotify->isChecked();
    options.keepInTray = m_pKeepInTray->isChecked();
    return options;
}

std::optional<UploadOptions> COptionDlg::Edit(QWidget* parent, CClientSession& session)
{
    const UploadOptions saved = UploadOptions::Load();
    COptionDlg dlg(saved, parent);
    if (dlg.exec() != QDialog::Accepted)
        return std::nullopt;
    const UploadOptions options = dlg.Options();
    if (options.limitKBps != saved.limitKBps)
        session.SetUploadLimit(options.limitKBps);
    session.SetAutoReconnect(options.autoReconnect);
    session.SetStallTimeoutSeconds(options.stallTimeoutSeconds); // connections made from now on
    if (!options.SaveChanges(saved))
        ShowMessageText(parent, QString::fromUtf8(kTextOptionSaveFailed), PromptIcon::Warning);
    return options;
}
