#include "panes/local_volumes.h"

#include "res/string_table.h"

#include <QDir>
#include <QFileInfo>
#include <QSet>
#include <QStorageInfo>

namespace {

bool IsUnder(const QString& path, const QString& folder)
{
    return path == folder || path.startsWith(folder + QLatin1Char('/'));
}

bool IsNetworkType(const QString& type)
{
    static const QSet<QString> kNetwork = {
        QStringLiteral("nfs"),  QStringLiteral("nfs4"),      QStringLiteral("cifs"),
        QStringLiteral("smb3"), QStringLiteral("smbfs"),     QStringLiteral("fuse.sshfs"),
        QStringLiteral("9p"),   QStringLiteral("davfs"),     QStringLiteral("fuse.davfs2"),
        QStringLiteral("afs"),  QStringLiteral("fuse.rclone"), QStringLiteral("ceph"),
        QStringLiteral("glusterfs"), QStringLiteral("fuse.glusterfs"),
    };
    return kNetwork.contains(type);
}

bool IsPseudoType(const QString& type)
{
    static const QSet<QString> kPseudo = {
        QStringLiteral("proc"),       QStringLiteral("sysfs"),     QStringLiteral("tmpfs"),
        QStringLiteral("devtmpfs"),   QStringLiteral("devpts"),    QStringLiteral("overlay"),
        QStringLiteral("squashfs"),   QStringLiteral("cgroup"),    QStringLiteral("cgroup2"),
        QStringLiteral("mqueue"),     QStringLiteral("debugfs"),   QStringLiteral("tracefs"),
        QStringLiteral("securityfs"), QStringLiteral("pstore"),    QStringLiteral("bpf"),
        QStringLiteral("configfs"),   QStringLiteral("fusectl"),   QStringLiteral("autofs"),
        QStringLiteral("hugetlbfs"),  QStringLiteral("binfmt_misc"), QStringLiteral("efivarfs"),
        QStringLiteral("ramfs"),      QStringLiteral("nsfs"),      QStringLiteral("rpc_pipefs"),
        QStringLiteral("fuse.portal"), QStringLiteral("fuse.gvfsd-fuse"), QStringLiteral("fuse.lxcfs"),
        QStringLiteral("selinuxfs"),  QStringLiteral("nfsd"),      QStringLiteral("devfs"),
    };
    return kPseudo.contains(type);
}

} // namespace

bool IsUserVolume(const QString& rootPath, const QString& fsType)
{
    if (rootPath == QLatin1String("/"))
        return true; // whatever it is built on, the root is where everything else lives
    if (IsPseudoType(fsType))
        return false;
    for (const char* system : {"/proc", "/sys", "/dev", "/boot", "/snap", "/var", "/usr", "/etc", "/opt", "/tmp"})
        if (IsUnder(rootPath, QLatin1String(system)))
            return false;
    if (IsUnder(rootPath, QStringLiteral("/run")))
        return IsUnder(rootPath, QStringLiteral("/run/media")) && rootPath != QLatin1String("/run/media");
    if (IsNetworkType(fsType))
        return true;
    if (rootPath == QLatin1String("/home"))
        return true;
    for (const char* removable : {"/media/", "/mnt/"})
        if (rootPath.startsWith(QLatin1String(removable)))
            return true;
    return rootPath == QLatin1String("/mnt");
}

QList<LocalVolume> SystemVolumes()
{
    QList<LocalVolume> volumes;
    QSet<QString> seen;
    const QString home = QDir::homePath();
    if (QFileInfo(home).isDir()) {
        volumes.append({home, QString::fromUtf8(talvex::kTextLocalHome)});
        seen.insert(home);
    }
    for (const QStorageInfo& storage : QStorageInfo::mountedVolumes()) {
        if (!storage.isValid() || !storage.isReady())
            continue;
        const QString root = storage.rootPath();
        if (seen.contains(root) || !IsUserVolume(root, QString::fromLatin1(storage.fileSystemType())))
            continue;
        if (!QFileInfo(root).isDir())
            continue; // a single file bound over another
        seen.insert(root);
        const QString name = storage.displayName();
        volumes.append({root, name.isEmpty() ? root : name});
    }
    return volumes;
}
