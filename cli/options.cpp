#include "cli/options.h"

#include "cli/option_table.h"

#include "platform/host_port.h"
#include "platform/text_codec.h"

#include <cstdlib>
#include <filesystem>
#include <iostream>
#include <string_view>

namespace talvex::cli {
namespace {

bool ParseInt(const std::string& text, int low, int high, int& out)
{
    if (text.empty())
        return false;
    char* end = nullptr;
    const long v = std::strtol(text.c_str(), &end, 10);
    if (*end != '\0' || v < low || v > high)
        return false;
    out = static_cast<int>(v);
    return true;
}

const char* Env(const char* name)
{
    const char* v = std::getenv(name);
    return v && *v ? v : nullptr;
}

// A local folder as the file system knows it: absolute, "." and ".." and doubled or trailing
// slashes gone, links resolved as far as the path exists.
std::filesystem::path FolderKey(const std::string& path)
{
    namespace fs = std::filesystem;
    std::error_code ec;
    fs::path key = fs::weakly_canonical(fs::absolute(path, ec), ec);
    if (ec)
        key = fs::absolute(path, ec).lexically_normal();
    fs::path out;
    for (const fs::path& part : key)
        if (!part.empty())
            out /= part;
    return out;
}

// True when inner is outer or lies below it, by whole names ("a/bc" is not below "a/b").
bool SameOrInside(const std::filesystem::path& inner, const std::filesystem::path& outer)
{
    auto i = inner.begin();
    for (auto o = outer.begin(); o != outer.end(); ++o, ++i)
        if (i == inner.end() || *i != *o)
            return false;
    return true;
}

} // namespace

std::string MoveFolderConflict(const std::string& moveTo, const std::vector<std::string>& locals)
{
    const std::filesystem::path move = FolderKey(moveTo);
    for (const std::string& local : locals)
        if (SameOrInside(move, FolderKey(local)))
            return "--move-to " + moveTo + " is " + (FolderKey(local) == move ? "" : "inside ") + local
                   + ", which is being uploaded: the moved files would be uploaded again";
    return {};
}

WaitsMs WaitsOf(const Options& options)
{
    return {int64_t{options.timeoutSeconds} * 1000, int64_t{options.confirmTimeoutSeconds} * 1000,
            int64_t{options.stallTimeoutSeconds} * 1000};
}

std::shared_ptr<UploadRateLimiter> UploadLimitOf(const Options& options, std::shared_ptr<const Clock> clock)
{
    if (options.uploadLimitKBps <= 0)
        return nullptr;
    return std::make_shared<UploadRateLimiter>(UploadRateLimiter::FromKBps(options.uploadLimitKBps), std::move(clock));
}

const char* UsageText()
{
    return "usage: talvex-cli [OPTIONS] COMMAND [ARGS]\n"
           "options:\n"
           "  --web-host HOST[:PORT]   logon web host (env TALVEX_WEB_HOST; port 80 by default)\n"
           "  --control-port N         control session port (20002)\n"
           "  --command-port N         command and upload port (20001)\n"
           "  --user ID                user id (env TALVEX_USER)\n"
           "  --password PW            password (env TALVEX_PASSWORD)\n"
           "  --password-stdin         read the password from the first line of standard input\n"
           "  --password-from-keyring  the password the account book keeps in the desktop keyring for\n"
           "                           --user at --web-host\n"
           "  --work-dir DIR           folder of the log and the temporary .tlx files\n"
           "  --encoding NAME          wire encoding (CP949)\n"
           "  --timeout SECONDS        longest wait for one answer (60)\n"
           "  --stall-timeout SECONDS  a connection whose sent data or keepalive probes go unanswered\n"
           "                           this long counts as lost (45; 1-3600); a link dark for less\n"
           "                           goes on where it was, within a second of coming back\n"
           "  --poll-ms N              interval of GETSYNCED and notice polls (5000)\n"
           "  --sync-timeout SECONDS   longest wait for a sync result (3600)\n"
           "  --confirm-timeout SECONDS  put: longest wait for a file's confirming notice after\n"
           "                           its answer (300); then it counts failed, unconfirmed\n"
           "  --send-buffer BYTES      socket send buffer of uploads (0 = system tuning, the default)\n"
           "  --limit-rate KBPS        upload speed limit in KB/s, 1 KB = 1024 bytes (0 = none, the default)\n"
           "  --json                   standard output in JSON Lines, schema version 1 (every\n"
           "                           command); a failed run ends with an error object on\n"
           "                           standard error\n"
           "  --                       ends the options: every word after it is the command or an\n"
           "                           operand, also one that starts with \"-\"\n"
           "commands:\n"
           "  check                          web user check only\n"
           "  ls [REMOTE_DIR]                list a remote folder\n"
           "  search TEXT [--in DIR]         search below a remote folder\n"
           "  mkdir PATH | rmdir PATH | rm PATH... | mv OLD NEW\n"
           "                                 rmdir, rm and mv take --dry-run: what the change needs\n"
           "                                 is looked up (the entry there, of its kind; mv: a free\n"
           "                                 target) and nothing is changed; exit 1 when it would fail\n"
           "  put [--move-to DIR] [--wait-confirm] [--stats] [--retries N] LOCAL... REMOTE_DIR\n"
           "                                 on a sync-service account --move-to waits for each\n"
           "                                 file's confirming notice: a file moves only once confirmed;\n"
           "                                 --retries N: after a lost connection wait 1, 2, 4 ... 60 s\n"
           "                                 and connect again, up to N times (0)\n"
           "  put --dry-run LOCAL... REMOTE_DIR\n"
           "                                 check every file as put would (readable, a file, a name\n"
           "                                 the wire can carry, a request within its limit) and print\n"
           "                                 what would go where; nothing is sent or journaled; exit 1\n"
           "                                 when a file would fail here\n"
           "  put --resume [--retries N]     send again what the account's upload journal holds\n"
           "                                 unfinished (after a put was stopped or lost its connection)\n"
           "  sync start | sync check [REMOTE_PATH]\n"
           "  notices                        fetch pending change notices once; notices belong to the\n"
           "                                 account: this takes them from every other client of it\n"
           "                                 (a window or a put --wait-confirm then never sees them)\n"
           "talvex-cli completion bash|zsh|fish\n"
           "                                 the shell's completion script (first argument)\n"
           "talvex-cli drm-unpack FILE (--seed SEED | --seed-stdin) --out PATH [--pub-key BASE64] [--json]\n"
           "                                 restore a packaged media file (offline; first argument)\n"
           "exit codes: 0 ok; 1 refused (also a folder ls or search cannot list) or sync failures;\n"
           "  2 usage (also an --encoding that cannot be used); 3 logon server unreachable;\n"
           "  4 account not found; 5 wrong password; 6 connection failed, lost or timed out; 7 login refused;\n"
           "  8 put --resume: the upload journal cannot be written\n";
}

int ParseOptions(int argc, char** argv, Options& o, std::string& error)
{
    if (const char* v = Env("TALVEX_WEB_HOST"))
        SplitHostPort(v, o.webHost, o.webPort);
    if (const char* v = Env("TALVEX_USER"))
        o.user = v;
    if (const char* v = Env("TALVEX_PASSWORD"))
        o.password = v;
    bool passwordStdin = false;
    bool endOfOptions = false;

    auto fail = [&](std::string why) {
        error = std::move(why);
        return static_cast<int>(kExitUsage);
    };

    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        auto value = [&](std::string& out) {
            if (i + 1 >= argc)
                return false;
            out = argv[++i];
            return true;
        };
        auto intValue = [&](int low, int high, int& out) {
            std::string text;
            return value(text) && ParseInt(text, low, high, out);
        };
        if (arg == "--" && !endOfOptions) {
            endOfOptions = true; // every word after it is the command or an operand, "-" or not
            continue;
        }
        if (endOfOptions || (!o.command.empty() && arg.rfind("--", 0) != 0)) {
            if (o.command.empty())
                o.command = arg;
            else
                o.args.push_back(arg);
            continue;
        }
        if (arg == "-h" || arg == "--help")
            return fail("help");
        if (arg.rfind("--", 0) == 0 && !FindOption(arg, o.command))
            return fail("unknown option " + arg); // the table names every option and its commands
        if (arg == "--web-host") {
            std::string text;
            if (!value(text) || !SplitHostPort(text, o.webHost, o.webPort))
                return fail("--web-host needs HOST[:PORT]");
        } else if (arg == "--control-port") {
            if (!intValue(1, 65535, o.controlPort))
                return fail("--control-port needs a port number");
        } else if (arg == "--command-port") {
            if (!intValue(1, 65535, o.commandPort))
                return fail("--command-port needs a port number");
        } else if (arg == "--user") {
            if (!value(o.user))
                return fail("--user needs an id");
        } else if (arg == "--password") {
            if (!value(o.password))
                return fail("--password needs a value");
        } else if (arg == "--password-stdin") {
            passwordStdin = true;
        } else if (arg == "--password-from-keyring") {
            o.passwordFromKeyring = true;
        } else if (arg == "--work-dir") {
            if (!value(o.workDir) || o.workDir.empty())
                return fail("--work-dir needs a folder");
        } else if (arg == "--encoding") {
            if (!value(o.encoding) || o.encoding.empty())
                return fail("--encoding needs a name");
            if (!IsWireEncoding(o.encoding))
                return fail("--encoding " + o.encoding + ": unknown, or not one that keeps ASCII as it is "
                            "(CP949, EUC-KR, UTF-8 ...)");
        } else if (arg == "--timeout") {
            if (!intValue(1, 86400, o.timeoutSeconds))
                return fail("--timeout needs seconds (1-86400)");
        } else if (arg == "--stall-timeout") {
            if (!intValue(1, kMaxStallTimeoutSeconds, o.stallTimeoutSeconds))
                return fail("--stall-timeout needs seconds (1-" + std::to_string(kMaxStallTimeoutSeconds) + ")");
        } else if (arg == "--poll-ms") {
            if (!intValue(10, 3600000, o.pollMs))
                return fail("--poll-ms needs milliseconds (10-3600000)");
        } else if (arg == "--sync-timeout") {
            if (!intValue(1, 7 * 86400, o.syncTimeoutSeconds))
                return fail("--sync-timeout needs seconds");
        } else if (arg == "--confirm-timeout") {
            if (!intValue(1, 7 * 86400, o.confirmTimeoutSeconds))
                return fail("--confirm-timeout needs seconds (1-604800)");
        } else if (arg == "--send-buffer") {
            if (!intValue(0, 64 << 20, o.sendBufferBytes))
                return fail("--send-buffer needs bytes (0-67108864)");
        } else if (arg == "--limit-rate") {
            if (!intValue(0, kMaxUploadLimitKBps, o.uploadLimitKBps))
                return fail("--limit-rate needs KB/s (0-" + std::to_string(kMaxUploadLimitKBps) + ")");
        } else if (arg == "--in" && o.command == "search") {
            if (!value(o.searchIn))
                return fail("--in needs a remote folder");
        } else if (arg == "--move-to" && o.command == "put") {
            if (!value(o.moveTo) || o.moveTo.empty())
                return fail("--move-to needs a folder");
        } else if (arg == "--wait-confirm" && o.command == "put") {
            o.waitConfirm = true;
        } else if (arg == "--json") {
            o.json = true;
        } else if (arg == "--dry-run") { // the table names the commands that take it
            o.dryRun = true;
        } else if (arg == "--stats" && o.command == "put") {
            o.stats = true;
        } else if (arg == "--resume" && o.command == "put") {
            o.resume = true;
        } else if (arg == "--retries" && o.command == "put") {
            if (!intValue(0, 1000, o.retries))
                return fail("--retries needs a number (0-1000)");
        } else if (arg.rfind("--", 0) == 0) {
            return fail("unknown option " + arg);
        } else {
            o.command = arg;
        }
    }

    if (passwordStdin && o.passwordFromKeyring)
        return fail("--password-stdin and --password-from-keyring exclude each other");
    if (o.passwordFromKeyring && o.user.empty())
        return fail("--password-from-keyring needs --user (or TALVEX_USER)");
    if (passwordStdin) {
        std::string line;
        if (!std::getline(std::cin, line))
            return fail("--password-stdin: nothing on standard input");
        if (!line.empty() && line.back() == '\r')
            line.pop_back();
        o.password = line;
    }

    const std::string& c = o.command;
    const size_t n = o.args.size();
    if (c.empty())
        return fail("no command");
    const bool ok = (c == "check" && n == 0) || (c == "ls" && n <= 1) || (c == "search" && n == 1)
                    || ((c == "mkdir" || c == "rmdir") && n == 1) || (c == "rm" && n >= 1)
                    || (c == "mv" && n == 2) || (c == "put" && (o.resume ? n == 0 : n >= 2)) || (c == "notices" && n == 0)
                    || (c == "sync" && n >= 1
                        && ((o.args[0] == "start" && n == 1) || (o.args[0] == "check" && n <= 2)));
    if (!ok)
        return fail("wrong arguments for '" + c + "'");
    if (c == "put" && o.resume && o.dryRun)
        return fail("--dry-run checks the files named: not with --resume");
    if (c == "put" && o.resume && !o.moveTo.empty())
        return fail("--resume takes each file's move folder from the journal: no --move-to");
    if (c == "put" && !o.moveTo.empty()) {
        const std::string conflict =
            MoveFolderConflict(o.moveTo, std::vector<std::string>(o.args.begin(), o.args.end() - 1));
        if (!conflict.empty())
            return fail(conflict);
    }
    if (o.user.empty())
        return fail("no user id (--user or TALVEX_USER)");
    return kExitOk;
}

} // namespace talvex::cli
