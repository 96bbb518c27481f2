#include "cli/keyring_password.h"

#include "cli/options.h"

#ifdef TALVEX_KEYRING
#include "app/keyring_store.h"

#include <QCoreApplication>
#include <memory>
#endif

namespace talvex::cli {

int ReadKeyringPassword(const Options& options, std::string& password, std::string& error)
{
#ifdef TALVEX_KEYRING
    // QtKeychain answers through an event loop; the application object lives only for this.
    std::unique_ptr<QCoreApplication> app;
    if (!QCoreApplication::instance()) {
        static int argc = 1;
        static char name[] = "talvex-cli";
        static char* argv[] = {name, nullptr};
        app = std::make_unique<QCoreApplication>(argc, argv);
    }
    CKeyringStore store(QString::fromStdString(options.webHost), options.webPort);
    const std::string entry = KeyringEntryName(options.webHost, options.webPort, options.user);
    switch (store.Read(options.user, password)) {
    case StoreResult::Ok:
        if (!password.empty())
            return kExitOk;
        [[fallthrough]];
    case StoreResult::NotFound:
        error = "--password-from-keyring: the keyring holds no password for " + entry;
        return kExitUsage;
    case StoreResult::Unavailable:
        break;
    }
    error = "--password-from-keyring: no keyring answered (" + store.Reason().toStdString() + ")";
    return kExitUsage;
#else
    (void)options;
    (void)password;
    error = "--password-from-keyring: this talvex-cli was built without the desktop keyring";
    return kExitUsage;
#endif
}

} // namespace talvex::cli
