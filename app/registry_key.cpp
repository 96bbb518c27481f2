#include "app/registry_key.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSettings>
#include <QStandardPaths>

#include <cerrno>
#include <fcntl.h>
#include <functional>
#include <sys/stat.h>
#include <unistd.h>

namespace {
// A group exists once it holds this marker: an empty group leaves no trace in an ini file.
constexpr const char* kExistsMarker = "KeyExists";

bool WriteAll(int fd, const QByteArray& bytes)
{
    qsizetype done = 0;
    while (done < bytes.size()) {
        const ssize_t put = ::write(fd, bytes.constData() + done, static_cast<size_t>(bytes.size() - done));
        if (put < 0 && errno == EINTR)
            continue;
        if (put <= 0)
            return false;
        done += put;
    }
    return true;
}

// Applies a change to the settings file so that a save failing part-way (a full disk) leaves
// the old file whole. QSettings' own save can put a file cut short in place of the old one and
// report success: a write that stops part-way is taken for a whole one. So the change is saved
// into a copy beside the file, the copy is read back and compared, and only then is it renamed
// over the file. The file holds the user's id and where the service is: it is the owner's
// only (0600), and a file an earlier version left readable by others is narrowed by the save.
bool SaveChange(const QString& file, const std::function<void(QSettings&)>& change)
{
    const QByteArray path = QFile::encodeName(file);
    QByteArray old;
    const mode_t mode = 0600;
    struct stat st {};
    if (::stat(path.constData(), &st) == 0) {
        QFile in(file);
        if (!in.open(QIODevice::ReadOnly))
            return false;
        old = in.readAll();
    }
    QByteArray scratch = path + ".XXXXXX";
    const int fd = ::mkstemp(scratch.data());
    if (fd < 0)
        return false;
    bool ok = ::fchmod(fd, mode) == 0 && WriteAll(fd, old);
    ok = ::close(fd) == 0 && ok;
    const QString scratchName = QFile::decodeName(scratch);
    if (ok) {
        QSettings copy(scratchName, QSettings::IniFormat);
        change(copy);
        copy.sync();
        ok = copy.status() == QSettings::NoError;
        if (ok) {
            // Read back under another name: QSettings keeps what it wrote in memory per file
            // name and would not read the file again.
            QFile saved(scratchName);
            QByteArray verify = path + ".XXXXXX";
            const int vfd = saved.open(QIODevice::ReadOnly) ? ::mkstemp(verify.data()) : -1;
            ok = vfd >= 0 && WriteAll(vfd, saved.readAll());
            if (vfd >= 0) {
                ok = ::close(vfd) == 0 && ok;
                if (ok) {
                    const QSettings back(QFile::decodeName(verify), QSettings::IniFormat);
                    const QStringList keys = copy.allKeys();
                    ok = back.status() == QSettings::NoError && back.allKeys() == keys;
                    for (qsizetype i = 0; ok && i < keys.size(); ++i)
                        ok = back.value(keys[i]).toString() == copy.value(keys[i]).toString();
                }
                ::unlink(verify.constData());
            }
        }
    }
    if (ok) {
        const int check = ::open(scratch.constData(), O_RDONLY | O_CLOEXEC);
        ok = check >= 0 && ::fsync(check) == 0;
        if (check >= 0)
            ::close(check);
    }
    if (ok)
        ok = ::rename(scratch.constData(), path.constData()) == 0;
    if (!ok)
        ::unlink(scratch.constData());
    return ok;
}
} // namespace

bool SaveSettingsChange(const QString& file, const std::function<void(QSettings&)>& change)
{
    QDir().mkpath(QFileInfo(file).absolutePath());
    return SaveChange(file, change);
}

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
    const QString group = GroupFor(root, subkey);
    if (!SaveChange(file, [&](QSettings& s) { s.setValue(group + QLatin1Char('/') + kExistsMarker, 1); }))
        return Finish(false);
    m_pSettings = new QSettings(file, QSettings::IniFormat);
    m_strPath = group;
    return Finish(true);
}

// Opens the file again after a change, so that reads see what was saved.
void CRegistryKey::Reload()
{
    const QString file = m_pSettings->fileName();
    delete m_pSettings;
    m_pSettings = new QSettings(file, QSettings::IniFormat);
}

bool CRegistryKey::WriteString(const QString& name, const QString& value)
{
    if (!m_pSettings)
        return Finish(false);
    const QString key = m_strPath + QLatin1Char('/') + name;
    const bool ok = SaveChange(m_pSettings->fileName(), [&](QSettings& s) { s.setValue(key, value); });
    Reload();
    return Finish(ok);
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
    const bool ok = existed && SaveChange(m_pSettings->fileName(), [&](QSettings& s) { s.remove(key); });
    Reload();
    return Finish(ok);
}

void CRegistryKey::Close()
{
    delete m_pSettings;
    m_pSettings = nullptr;
    m_strPath.clear();
}
