#pragma once
// Command line of talvex-cli.

#include "protocol/records.h"
#include "protocol/upload_rate.h"

#include <memory>
#include <string>
#include <vector>

namespace talvex::cli {

enum ExitCode : int {
    kExitOk = 0,
    kExitRefused = 1,        // the server refused, or the sync had failures
    kExitUsage = 2,
    kExitLogonServer = 3,    // logon server unreachable or its answer unusable
    kExitNoAccount = 4,
    kExitWrongPassword = 5,
    kExitConnection = 6,     // TLXSP connection failed, lost, or an answer timed out
    kExitLoginRefused = 7,
    kExitJournal = 8,        // put --resume: the upload journal cannot be written (read-only, full disk)
};

// The highest upload limit taken, in KB/s (about 10 GB/s).
inline constexpr int kMaxUploadLimitKBps = 10 * 1024 * 1024;

struct Options {
    std::string webHost = "127.0.0.1";
    int webPort = 80;
    int controlPort = 20002;
    int commandPort = 20001;
    std::string user;
    std::string password;
    // --password-from-keyring: the password is the desktop keyring's entry of the account
    // (the account book's, named by the web host and the user id); main() reads it.
    bool passwordFromKeyring = false;
    std::string workDir;       // empty: the per-user data folder's cli/ folder
    std::string encoding = "CP949";
    int timeoutSeconds = 60;   // longest wait for one answer
    // The dead-path bound of every connection: sent data unacknowledged, or an idle
    // connection's keepalives unanswered, this long and the connection counts as lost
    // (CChannelStartInfo::stallTimeoutMs). A link dark for less costs no reconnect.
    int stallTimeoutSeconds = kDefaultStallTimeoutSeconds;
    int pollMs = 5000;         // GETSYNCED (and notice) poll interval
    int syncTimeoutSeconds = 3600; // longest wait for a sync result, polls included
    int confirmTimeoutSeconds = 300; // put: longest wait for a file's confirming notice after its answer
    int sendBufferBytes = 0;   // SO_SNDBUF of uploads; 0 = the system's tuning
    int uploadLimitKBps = 0;   // all uploads of the session together; 0 = no limit

    std::string command;
    std::vector<std::string> args; // positional arguments of the command
    // Command options
    std::string searchIn = "/";
    std::string moveTo;
    bool waitConfirm = false;
    bool stats = false; // put: print where the time went
    bool json = false;   // --json: standard output carries JSON Lines only (cli/json_output.h)
    bool dryRun = false; // put: check and show what would be sent; send and write nothing
    bool resume = false; // put: send the unfinished entries of the account's upload journal again
    int retries = 0;     // put: reconnections after a lost connection
};

// Fills options from argv and the environment. Returns kExitOk, or kExitUsage with the reason
// in error ("help" when usage was asked for).
int ParseOptions(int argc, char** argv, Options& options, std::string& error);

const char* UsageText();

// The waits the options set, in milliseconds: for one answer (--timeout), for a file's confirming
// notice after its answer (--confirm-timeout), and for a dark link (--stall-timeout).
struct WaitsMs {
    int64_t answer = 0, confirm = 0, stall = 0;
};
WaitsMs WaitsOf(const Options& options);

// The session's upload speed limit (--limit-rate, KB/s of 1,024 bytes), or null for none; it
// counts time on clock (null: the system's).
std::shared_ptr<UploadRateLimiter> UploadLimitOf(const Options& options, std::shared_ptr<const Clock> clock = nullptr);

// put --move-to: the reason the move folder cannot be used, or an empty text. A move folder
// that is one of the local folders being uploaded, or lies inside one, would have the moved
// files found and uploaded again. Paths are compared as the file system resolves them.
std::string MoveFolderConflict(const std::string& moveTo, const std::vector<std::string>& locals);

} // namespace talvex::cli
