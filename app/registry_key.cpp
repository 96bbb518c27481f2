#include "app/registry_key.h"

#include <QDir>
#include <QFileInfo>
#include <QSettings>
#include <QStandardPaths>

namespace {
// A group exists once it holds this marker: an empty group leaves no trace in an ini file.
constexpr const char* kExistsMarker = "KeyExists";
} // namespace

QString CRegistryKey::SettingsFile()
{
    const QString overridden = qEnvironmentVariable("TALVEX_CONFIG_FILE");
    if (!overridden.isEmpty())
        return overridden;
    return QStandardPaths::writableLocation(QStandardPaths::GenericConfigLocation)
           + QStringLiteral("/Talvex/talvex.ini");
}

CRegistryKey::CRegistryKey() = default;

CRegistryKey::~CRegistryKey() { Close(); }

QString CRegistryKey::GroupFor(RegistryRoot root, const QString& subkey) const
{
    QString path = subkey;
    path.replace(QLatin1Char('\\'), QLatin1Char('/'));
    const QString prefix = root == RegistryRoot::LocalMachine ? QStringLiteral("HKEY_LOCAL_MACHINE")
                                                              : QStringLiteral("HKEY_CURRENT_USER");
    return prefix + QLatin1Char('/') + path;
}

bool CRegistryKey::Finish(bool ok)
{
    m_nResult = ok ? 0 : -1;
    return ok;
}

bool CRegistryKey::Open(RegistryRoot root, const QString& subkey)
{
    Close();
    auto* settings = new QSettings(SettingsFile(), QSettings::IniFormat);
    const QString group = GroupFor(root, subkey);
    if (settings->status() != QSettings::NoError || !settings->contains(group + QLatin1Char('/') + kExistsMarker)) {
        delete settings;
        return Finish(false);
    }
    m_pSettings = settings;
    m_strPath = group;
    return Finish(true);
}

bool CRegistryKey::Create(RegistryRoot root, const QString& subkey)
{
    if (Open(root, subkey))
        return true;
    const QString file = SettingsFile();
    QDir().mkpath(QFileInfo(file).absolutePath());
    auto* settings = new QSettings(file, QSettings::IniFormat);
    const QString group = GroupFor(root, subkey);
    settings->setValue(group + QLatin1Char('/') + kExistsMarker, 1);
    settings->sync();
    if (settings->status() != QSettings::NoError) {
        delete settings;
        return Finish(false);
    }
    m_pSettings = settings;
    m_strPath = group;
    return Finish(true);
}

bool CRegistryKey::WriteString(const QString& name, const QString& value)
{
    if (!m_pSettings)
        return Finish(false);
    m_pSettings->setValue(m_strPath + QLatin1Char('/') + name, value);
    m_pSettings->sync();
    return Finish(m_pSettings->status() == QSettings::NoError);
}

bool CRegistryKey::ReadString(const QString& name, QString& value)
{
    if (!m_pSettings)
        return Finish(false);
    const QString key = m_strPath + QLatin1Char('/') + name;
    if (!m_pSettings->contains(key))
        return Finish(false);
    const QString text = m_pSettings->value(key).toString();
    // The stored text with its terminating zero must fit the read buffer; a longer value
    // is not read at all.
    if (text.toUtf8().size() + 1 > kReadBufferBytes)
        return Finish(false);
    value = text;
    return Finish(true);
}

bool CRegistryKey::DeleteValue(const QString& name)
{
    if (!m_pSettings)
        return Finish(false);
    const QString key = m_strPath + QLatin1Char('/') + name;
    const bool existed = m_pSettings->contains(key);
    m_pSettings->remove(key);
    m_pSettings->sync();
    return Finish(existed && m_pSettings->status() == QSettings::NoError);
}

void CRegistryKey::Close()
{
    delete m_pSettings;
    m_pSettings = nullptr;
    m_strPath.clear();
}
