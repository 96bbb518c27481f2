#pragma once
// Where the service lives and how uploads go there: web host, DRM web host, TLXSP ports, wire
// encoding, socket send buffer, upload speed limit. Read from the "Deployment" group of the settings file; environment variables
// override each value (tests and the development server use them). Out of the box they
// point at the local development server.

#include <QString>

struct DeploymentSettings {
    QString webHost = QStringLiteral("127.0.0.1");
    int webPort = 8080;
    QString drmWebHost = QStringLiteral("127.0.0.1");
    int drmWebPort = 8080;
    int commandPort = 20001;
    int controlPort = 20002;
    QString wireEncoding = QStringLiteral("CP949");
    int sendBufferBytes = 0;     // 0: leave the socket buffer to the system's tuning
    int uploadLimitKBps = 0;     // all upload channels together, 1 KB = 1,024 bytes; 0: no limit

    // Settings file first, then TALVEX_WEB_HOST (HOST[:PORT]), TALVEX_DRM_WEB_HOST,
    // TALVEX_COMMAND_PORT, TALVEX_CONTROL_PORT, TALVEX_ENCODING, TALVEX_SEND_BUFFER,
    // TALVEX_UPLOAD_LIMIT: what this run uses.
    static DeploymentSettings Load();
    // The settings file alone, without the environment: what is saved, and what a dialog shows
    // and compares against. An override applies to the run it was given to and is never saved.
    static DeploymentSettings LoadSaved();
    // The upload limit TALVEX_UPLOAD_LIMIT sets for this run, or -1 when it sets none.
    static int UploadLimitOverride();
    // Writes the speed limit into the settings file; false when it could not be written.
    static bool SaveUploadLimit(int kbps);
};

// Splits "host[:port]"; the port stays as given when the text names none or a bad one.
// The highest upload limit the settings take, in KB/s (about 10 GB/s).
inline constexpr int kMaxUploadLimitKBps = 10 * 1024 * 1024;

void SplitHostPort(const QString& text, QString& host, int& port);
