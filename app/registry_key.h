#pragma once
// CRegistryKey: the few settings of the program, kept in a persistent settings file in the
// user's configuration folder. A key path names a group; values are texts. Failures are
// reported only through the return values and are meant to be ignored silently by callers.

#include <QString>

#include <functional>

class QSettings;

// Applies a change to a settings file (its folder is made when missing) so that a save failing
// part-way leaves the old file whole; the file is left readable by its owner only (0600).
bool SaveSettingsChange(const QString& file, const std::function<void(QSettings&)>& change);

enum class RegistryRoot { LocalMachine, CurrentUser };

class CRegistryKey {
public:
    // Largest value ReadString accepts, counting the terminating zero of the stored text.
    static constexpr int kReadBufferBytes = 200;

    CRegistryKey();
    ~CRegistryKey();
    CRegistryKey(const CRegistryKey&) = delete;
    CRegistryKey& operator=(const CRegistryKey&) = delete;

    bool Open(RegistryRoot root, const QString& subkey);   // an existing key only
    bool Create(RegistryRoot root, const QString& subkey); // creates the key when missing
    bool WriteString(const QString& name, const QString& value);
    bool ReadString(const QString& name, QString& value);
    bool DeleteValue(const QString& name);
    void Close();

    bool IsOpen() const { return !m_strPath.isEmpty(); }
    int LastResult() const { return m_nResult; }

    // The settings file (the user's configuration folder, or $TALVEX_CONFIG_FILE).
    static QString SettingsFile();

private:
    bool Finish(bool ok);
    void Reload();
    QString GroupFor(RegistryRoot root, const QString& subkey) const;

    QSettings* m_pSettings = nullptr;
    QString m_strPath; // group of the open key; empty when closed
    int m_nResult = 0; // 0 success, -1 failure
};

// The key and the values the client uses.
inline constexpr const char* kClientKey = "Software\\Parvanetix\\Talvex\\Client";
inline constexpr const char* kValueUserId = "UserID";
inline constexpr const char* kValueFileSize = "FileSize";
inline constexpr const char* kFileSizeDetail = "Detail";
