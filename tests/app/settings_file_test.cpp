// The settings file against fixed bytes: a file an earlier version wrote (or a user edited)
// is read with the same meaning, the values the client writes land as these lines, and a
// write that fails part-way (disk full) leaves the old file as it was with no temporary.

#include "app/deployment_settings.h"
#include "app/registry_key.h"
#include "tests/common/file_size_limit.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QTest>

#include <sys/stat.h>

namespace {

QByteArray ReadBytes(const QString& path)
{
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

void WriteBytes(const QString& path, const QByteArray& bytes)
{
    QFile f(path);
    QVERIFY(f.open(QIODevice::WriteOnly | QIODevice::Truncate));
    f.write(bytes);
}

// The file as the client leaves it after a login with "저장" ticked as 홍길동 and detailed
// sizes chosen, under the deployment a user set by hand.
const QByteArray kStoredSettings =
    "[Deployment]\n"
    "CommandPort=21001\n"
    "ControlPort=21002\n"
    "DrmWebHost=drm.example.test:8443\n"
    "SendBufferBytes=0\n"
    "WebHost=web.example.test:8081\n"
    "WireEncoding=CP949\n"
    "\n"
    "[HKEY_LOCAL_MACHINE]\n"
    "Software\\Parvanetix\\Talvex\\Client\\FileSize=Detail\n"
    "Software\\Parvanetix\\Talvex\\Client\\KeyExists=1\n"
    "Software\\Parvanetix\\Talvex\\Client\\UserID=\xed\x99\x8d\xea\xb8\xb8\xeb\x8f\x99\n";

} // namespace

class SettingsFileTest : public QObject {
    Q_OBJECT
private slots:
    void init()
    {
        m_dir = std::make_unique<QTemporaryDir>();
        m_file = m_dir->path() + QStringLiteral("/talvex.ini");
        qputenv("TALVEX_CONFIG_FILE", m_file.toUtf8());
        for (const char* name : {"TALVEX_WEB_HOST", "TALVEX_DRM_WEB_HOST", "TALVEX_COMMAND_PORT",
                                 "TALVEX_CONTROL_PORT", "TALVEX_ENCODING", "TALVEX_SEND_BUFFER"})
            qunsetenv(name);
    }
    void cleanup() { m_dir.reset(); }

    void aStoredFileIsReadWithItsMeaning()
    {
        WriteBytes(m_file, kStoredSettings);
        CRegistryKey key;
        QVERIFY(key.Open(RegistryRoot::LocalMachine, QString::fromLatin1(kClientKey)));
        QString value;
        QVERIFY(key.ReadString(QString::fromLatin1(kValueUserId), value));
        QCOMPARE(value, QStringLiteral("홍길동"));
        QVERIFY(key.ReadString(QString::fromLatin1(kValueFileSize), value));
        QCOMPARE(value, QStringLiteral("Detail"));

        const DeploymentSettings d = DeploymentSettings::Load();
        QCOMPARE(d.webHost, QStringLiteral("web.example.test"));
        QCOMPARE(d.webPort, 8081);
        QCOMPARE(d.drmWebHost, QStringLiteral("drm.example.test"));
        QCOMPARE(d.drmWebPort, 8443);
        QCOMPARE(d.commandPort, 21001);
        QCOMPARE(d.controlPort, 21002);
        QCOMPARE(d.wireEncoding, QStringLiteral("CP949"));
        QCOMPARE(d.sendBufferBytes, 0);
    }

    void theClientsValuesAreWrittenAsTheseLines()
    {
        WriteBytes(m_file, kStoredSettings.left(kStoredSettings.indexOf("[HKEY_LOCAL_MACHINE]")));
        {
            CRegistryKey key;
            QVERIFY(!key.Open(RegistryRoot::LocalMachine, QString::fromLatin1(kClientKey)));
            QVERIFY(key.Create(RegistryRoot::LocalMachine, QString::fromLatin1(kClientKey)));
            QVERIFY(key.WriteString(QString::fromLatin1(kValueUserId), QStringLiteral("홍길동")));
            QVERIFY(key.WriteString(QString::fromLatin1(kValueFileSize), QString::fromLatin1(kFileSizeDetail)));
        }
        QCOMPARE(ReadBytes(m_file), kStoredSettings);

        // Deleting a value removes its line and nothing else.
        {
            CRegistryKey key;
            QVERIFY(key.Open(RegistryRoot::LocalMachine, QString::fromLatin1(kClientKey)));
            QVERIFY(key.DeleteValue(QString::fromLatin1(kValueFileSize)));
        }
        QByteArray expected = kStoredSettings;
        expected.replace("Software\\Parvanetix\\Talvex\\Client\\FileSize=Detail\n", "");
        QCOMPARE(ReadBytes(m_file), expected);
    }

    void aWriteThatFailsPartWayKeepsTheOldFile()
    {
        WriteBytes(m_file, kStoredSettings);
        const int rc = talvex::test::RunWithFileSizeLimit(kStoredSettings.size() + 64, [] {
            CRegistryKey key;
            if (!key.Open(RegistryRoot::LocalMachine, QString::fromLatin1(kClientKey)))
                return 10;
            // Far longer than the limit lets the new file grow.
            return key.WriteString(QString::fromLatin1(kValueUserId), QString(4000, QLatin1Char('x'))) ? 11 : 0;
        });
        QCOMPARE(ReadBytes(m_file), kStoredSettings);
        QCOMPARE(rc, 0);
        QCOMPARE(QDir(m_dir->path()).entryList(QDir::Files | QDir::Hidden), QStringList{QStringLiteral("talvex.ini")});
    }

    void theFileIsTheOwnersOnlyWhateverTheUmaskAndAWiderFileIsNarrowed()
    {
        auto mode = [&] {
            struct stat st {};
            return ::stat(QFile::encodeName(m_file).constData(), &st) == 0 ? int(st.st_mode & 0777) : -1;
        };
        qunsetenv("TALVEX_UPLOAD_LIMIT");
        const mode_t saved = ::umask(0);
        for (const mode_t mask : {mode_t(022), mode_t(077), mode_t(0)}) {
            ::umask(mask);
            QFile::remove(m_file);
            {
                CRegistryKey key; // a new file
                QVERIFY(key.Create(RegistryRoot::LocalMachine, QString::fromLatin1(kClientKey)));
                QCOMPARE(mode(), 0600);
                QVERIFY(QFile::setPermissions(m_file, QFileDevice::ReadOwner | QFileDevice::WriteOwner
                                                          | QFileDevice::ReadGroup | QFileDevice::ReadOther));
                QCOMPARE(mode(), 0644); // as an earlier version left it
                QVERIFY(key.WriteString(QString::fromLatin1(kValueUserId), QStringLiteral("홍길동")));
                QCOMPARE(mode(), 0600);
            }
            // The option dialog's speed limit goes through the same save.
            QFile::remove(m_file);
            QVERIFY(DeploymentSettings::SaveUploadLimit(512));
            QCOMPARE(mode(), 0600);
            QCOMPARE(DeploymentSettings::Load().uploadLimitKBps, 512);
        }
        ::umask(saved);
    }

private:
    std::unique_ptr<QTemporaryDir> m_dir;
    QString m_file;
};

QTEST_MAIN(SettingsFileTest)
#include "settings_file_test.moc"
