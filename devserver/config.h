#pragma once
// Settings of one development-server instance (command-line options of talvex-devserver).

#include "devserver/faults.h"
#include "devserver/sync_jobs.h"

#include <cstdint>
#include <string>
#include <vector>

namespace talvex::devserver {

struct ServerConfig {
    std::string bind = "127.0.0.1";
    // The HOST_IP its user check gives; empty: the bind address (127.0.0.1 for 0.0.0.0). Tests
    // send a login to another server with it (the same user id on another host).
    std::string hostIp;
    uint16_t webPort = 8080;
    uint16_t commandPort = 20001;
    uint16_t controlPort = 20002;
    std::string root = "./devserver-data";   // one folder per account below it
    int64_t maxUploadBytes = int64_t{4} << 30; // largest DATA-LENGTH accepted
    std::string refuseUploads;               // uploads of files whose name matches get 500 (empty: none)
    size_t maxConnections = 512;             // on all three ports together
    size_t maxHeaderBytes = 16384;           // a TLXSP or HTTP header block
    int headerTimeoutMs = 30000;             // from the first byte of a header block to its end
    int bodyIdleMs = 60000;                  // longest pause inside a body
    int sendTimeoutMs = 60000;
    int httpIdleMs = 10000;                  // an HTTP client must send its request within this
    SyncJobOptions sync;
    std::vector<Fault> faults;               // misbehaviour on purpose (--fault); empty: none
};

} // namespace talvex::devserver
