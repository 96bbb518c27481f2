#pragma once
// The accounts the development server knows: read from an accounts file, or the built-in set.

#include <optional>
#include <string>
#include <vector>

namespace talvex::devserver {

struct Account {
    std::string id;           // UTF-8; also the name of the user's folder under the storage root
    std::string password;     // UTF-8
    int serviceType = 0;      // 1 or 2: sync-service account (gets notices)
    std::string serviceSetId = "devset";
    std::string userRoot;     // shown to the client as USER_ROOT; "/<id>" when not given
    int useDrm = 0;
    std::string drmId, drmPass;
    int syncTargets = 1;      // 0: sync jobs are refused with 404
};

class AccountBook {
public:
    // The built-in accounts: demo (normal), sync (sync service), drm (DRM), and a Korean id.
    static AccountBook Defaults();
    // Reads an accounts file (format in README.md). False with a message naming the line.
    static bool Load(const std::string& path, AccountBook& out, std::string& error);

    const Account* Find(const std::string& id) const;
    const Account* FindDrm(const std::string& drmId) const;
    const std::vector<Account>& All() const { return m_accounts; }
    bool BuiltIn() const { return m_builtIn; }

    // A name usable as a folder: not empty, not "." or "..", no '/', '\\' or control bytes.
    static bool IsSafeId(const std::string& id);

private:
    std::vector<Account> m_accounts;
    bool m_builtIn = false;
};

} // namespace talvex::devserver
