#include "app/deployment_settings.h"

#include "app/registry_key.h"
#include "platform/host_port.h"

#include <QSettings>

#include <functional>

void SplitHostPort(const QString& text, QString& host, int& port)
{
    std::string name;
    if (talvex::SplitHostPort(text.toStdString(), name, port))
        host = QString::fromStdString(name);
}

namespace {

void ReadInt(const QString& text, int& value, int low, int high)
{
    bool ok = false;
    const int v = text.trimmed().toInt(&ok);
    if (ok && v >= low && v <= high)
        value = v;
}

void ApplyEnv(const char* name, const std::function<void(const QString&)>& apply)
{
    const QString v = qEnvironmentVariable(name);
    if (!v.isEmpty())
        apply(v);
}

} // namespace

bool DeploymentSettings::SaveUploadLimit(int kbps)
{
    return SaveSettingsChange(CRegistryKey::SettingsFile(), [kbps](QSettings& file) {
        file.setValue(QStringLiteral("Deployment/UploadLimitKBps"), qBound(0, kbps, kMaxUploadLimitKBps));
    });
}

DeploymentSettings DeploymentSettings::LoadSaved()
{
    DeploymentSettings s;
    QSettings file(CRegistryKey::SettingsFile(), QSettings::IniFormat);
    file.beginGroup(QStringLiteral("Deployment"));
    SplitHostPort(file.value(QStringLiteral("WebHost")).toString(), s.webHost, s.webPort);
    SplitHostPort(file.value(QStringLiteral("DrmWebHost")).toString(), s.drmWebHost, s.drmWebPort);
    ReadInt(file.value(QStringLiteral("CommandPort")).toString(), s.commandPort, 1, 65535);
    ReadInt(file.value(QStringLiteral("ControlPort")).toString(), s.controlPort, 1, 65535);
    ReadInt(file.value(QStringLiteral("SendBufferBytes")).toString(), s.sendBufferBytes, 0, 64 << 20);
    ReadInt(file.value(QStringLiteral("UploadLimitKBps")).toString(), s.uploadLimitKBps, 0, kMaxUploadLimitKBps);
    const QString enc = file.value(QStringLiteral("WireEncoding")).toString().trimmed();
    if (!enc.isEmpty())
        s.wireEncoding = enc;
    file.endGroup();
    return s;
}

DeploymentSettings DeploymentSettings::Load()
{
    DeploymentSettings s = LoadSaved();
    ApplyEnv("TALVEX_WEB_HOST", [&](const QString& v) { SplitHostPort(v, s.webHost, s.webPort); });
    ApplyEnv("TALVEX_DRM_WEB_HOST", [&](const QString& v) { SplitHostPort(v, s.drmWebHost, s.drmWebPort); });
    if (qEnvironmentVariableIsEmpty("TALVEX_DRM_WEB_HOST") && !qEnvironmentVariableIsEmpty("TALVEX_WEB_HOST")) {
        // The development server answers both pages; follow the web host unless told otherwise.
        s.drmWebHost = s.webHost;
        s.drmWebPort = s.webPort;
    }
    ApplyEnv("TALVEX_COMMAND_PORT", [&](const QString& v) { ReadInt(v, s.commandPort, 1, 65535); });
    ApplyEnv("TALVEX_CONTROL_PORT", [&](const QString& v) { ReadInt(v, s.controlPort, 1, 65535); });
    ApplyEnv("TALVEX_SEND_BUFFER", [&](const QString& v) { ReadInt(v, s.sendBufferBytes, 0, 64 << 20); });
    ApplyEnv("TALVEX_UPLOAD_LIMIT", [&](const QString& v) { ReadInt(v, s.uploadLimitKBps, 0, kMaxUploadLimitKBps); });
    ApplyEnv("TALVEX_ENCODING", [&](const QString& v) { s.wireEncoding = v.trimmed(); });
    return s;
}

int DeploymentSettings::UploadLimitOverride()
{
    int value = -1;
    ReadInt(qEnvironmentVariable("TALVEX_UPLOAD_LIMIT"), value, 0, kMaxUploadLimitKBps);
    return value;
}
