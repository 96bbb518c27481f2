// talvex-devserver: the TLXSP and web service for loopback use.

#include "devserver/server.h"
#include "devserver/server_log.h"
#include "platform/text_codec.h"

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <pthread.h>
#include <string>
#include <unistd.h>

using namespace talvex::devserver;

namespace {

void Usage(std::FILE* out)
{
    std::fputs(
        "usage: talvex-devserver [options]\n"
        "  --root DIR              storage root, one folder per account (default ./devserver-data)\n"
        "  --web-port N            web check and DRM pages (default 8080; 0 picks a free port)\n"
        "  --command-port N        command and upload connections (default 20001)\n"
        "  --control-port N        control sessions (default 20002)\n"
        "  --ports-file FILE       once listening, write WEB_PORT=, COMMAND_PORT=, CONTROL_PORT= lines\n"
        "  --accounts FILE         accounts file (see README.md); built-in accounts without it\n"
        "  --bind ADDR             IPv4 address to listen on (default 127.0.0.1)\n"
        "  --encoding NAME         wire encoding (default CP949)\n"
        "  --max-upload BYTES      largest upload accepted (default 4294967296)\n"
        "  --refuse-upload GLOB    uploads of files whose name matches are answered 500\n"
        "  --max-connections N     connections served at once (default 512)\n"
        "  --sync-delay MS         time until a sync job has its result (default 3000)\n"
        "  --sync-fail GLOB        files whose name matches fail in sync results and notices\n"
        "                          (default *.syncfail; empty: none)\n"
        "  --fault KIND[:ARG][@GLOB]\n"
        "                          misbehave on purpose, to test clients; repeatable. GLOB limits an\n"
        "                          upload fault to files whose name matches; kinds:\n"
        "      answer-close          answer the upload, then close the connection at once\n"
        "      refuse-after-header   answer 500 right after the header, read none of the body\n"
        "      answer-late:MS        answer MS ms after the file was stored, reading on meanwhile\n"
        "      unrelated-answers:MS  never answer the upload; every MS ms answer a path nobody sent\n"
        "      drop-after:N          reset the connection after N bytes of the body; nothing stored\n"
        "      never-read            read the header, then nothing more and never answer\n"
        "      login-silent          read LOGIN____ and never answer it\n"
        "      no-notices            sync-service accounts get no change notices\n"
        "  --quiet                 no diagnostic lines\n",
        out);
}

bool ParseNumber(const char* text, long long min, long long max, long long& out)
{
    char* end = nullptr;
    errno = 0;
    const long long v = std::strtoll(text, &end, 10);
    if (errno != 0 || end == text || *end != '\0' || v < min || v > max)
        return false;
    out = v;
    return true;
}

bool WritePortsFile(const std::string& path, const Server& server)
{
    const std::string temp = path + ".tmp";
    {
        std::ofstream out(temp, std::ios::trunc);
        out << "WEB_PORT=" << server.WebPort() << "\n"
            << "COMMAND_PORT=" << server.CommandPort() << "\n"
            << "CONTROL_PORT=" << server.ControlPort() << "\n";
        out.flush();
        if (!out)
            return false;
    }
    return std::rename(temp.c_str(), path.c_str()) == 0;
}

} // namespace

int main(int argc, char** argv)
{
    ServerConfig config;
    config.sync.failPattern = "*.syncfail";
    std::string portsFile, accountsFile, encoding = "CP949";
    for (int i = 1; i < argc; ++i) {
        const std::string opt = argv[i];
        if (opt == "--help" || opt == "-h") {
            Usage(stdout);
            return 0;
        }
        if (opt == "--quiet") {
            SetServerLogQuiet(true);
            continue;
        }
        if (i + 1 >= argc) {
            std::fprintf(stderr, "talvex-devserver: %s needs a value\n", opt.c_str());
            Usage(stderr);
            return 2;
        }
        const char* value = argv[++i];
        long long n = 0;
        auto port = [&](uint16_t& target) {
            if (!ParseNumber(value, 0, 65535, n))
                return false;
            target = static_cast<uint16_t>(n);
            return true;
        };
        bool ok = true;
        if (opt == "--root") config.root = value;
        else if (opt == "--web-port") ok = port(config.webPort);
        else if (opt == "--command-port") ok = port(config.commandPort);
        else if (opt == "--control-port") ok = port(config.controlPort);
        else if (opt == "--ports-file") portsFile = value;
        else if (opt == "--accounts") accountsFile = value;
        else if (opt == "--bind") config.bind = value;
        else if (opt == "--encoding") encoding = value;
        else if (opt == "--max-upload") { ok = ParseNumber(value, 0, int64_t{1} << 50, n); config.maxUploadBytes = n; }
        else if (opt == "--max-connections") { ok = ParseNumber(value, 1, 100000, n); config.maxConnections = static_cast<size_t>(n); }
        else if (opt == "--sync-delay") { ok = ParseNumber(value, 0, 3600000, n); config.sync.delay = std::chrono::milliseconds(n); }
        else if (opt == "--sync-fail") config.sync.failPattern = value;
        else if (opt == "--refuse-upload") config.refuseUploads = value;
        else if (opt == "--fault") {
            Fault fault;
            std::string error;
            if (!ParseFault(value, fault, error)) {
                std::fprintf(stderr, "talvex-devserver: --fault %s: %s\n", value, error.c_str());
                return 2;
            }
            config.faults.push_back(std::move(fault));
        }
        else {
            std::fprintf(stderr, "talvex-devserver: unknown option %s\n", opt.c_str());
            Usage(stderr);
            return 2;
        }
        if (!ok) {
            std::fprintf(stderr, "talvex-devserver: bad value for %s\n", opt.c_str());
            return 2;
        }
    }

    std::string probe;
    talvex::SetWireEncoding(encoding);
    if (!talvex::ToWire("a", probe)) {
        std::fprintf(stderr, "talvex-devserver: unknown encoding %s\n", encoding.c_str());
        return 2;
    }
    AccountBook accounts = AccountBook::Defaults();
    if (!accountsFile.empty()) {
        std::string error;
        if (!AccountBook::Load(accountsFile, accounts, error)) {
            std::fprintf(stderr, "talvex-devserver: %s\n", error.c_str());
            return 2;
        }
    }

    // Signals are taken by sigwait below; every thread started from here on blocks them.
    sigset_t signals;
    sigemptyset(&signals);
    sigaddset(&signals, SIGINT);
    sigaddset(&signals, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &signals, nullptr);
    std::signal(SIGPIPE, SIG_IGN);

    Server server(config, accounts);
    std::string error;
    if (!server.Start(error)) {
        std::fprintf(stderr, "talvex-devserver: %s\n", error.c_str());
        return 1;
    }
    if (!portsFile.empty() && !WritePortsFile(portsFile, server)) {
        std::fprintf(stderr, "talvex-devserver: cannot write %s\n", portsFile.c_str());
        server.Stop();
        return 1;
    }

    std::printf("talvex-devserver listening on %s (storage %s, wire encoding %s)\n", config.bind.c_str(),
                config.root.c_str(), encoding.c_str());
    std::printf("  web port %u, command port %u, control port %u\n", server.WebPort(), server.CommandPort(),
                server.ControlPort());
    const Account& first = accounts.All().front();
    if (accounts.BuiltIn()) {
        // The built-in accounts are public demo accounts (see README.md).
        std::printf("  demo account: id %s, password %s\n", first.id.c_str(), first.password.c_str());
        std::printf("  also: sync (sync service), drm (DRM), 홍길동 (Korean id); passwords in README.md\n");
    } else {
        std::printf("  %zu accounts from %s, first: %s\n", accounts.All().size(), accountsFile.c_str(), first.id.c_str());
    }
    for (const Fault& f : config.faults)
        std::printf("  fault: %s\n", FaultText(f).c_str());
    std::fflush(stdout);

    int signal = 0;
    sigwait(&signals, &signal);
    std::printf("talvex-devserver: %s, stopping\n", signal == SIGINT ? "SIGINT" : "SIGTERM");
    std::fflush(stdout);
    server.Stop();
    return 0;
}
