#pragma once
// What the commands of talvex-cli share: building a request for a channel, and one request
// over the command channel with its answer.

#include "cli/session.h"

#include <cstdint>
#include <memory>
#include <optional>
#include <string>

namespace talvex::cli {

std::unique_ptr<CThreadCommand> Cmd(uint32_t id, std::string text1 = {}, std::string text2 = {});

// Sends a request over the command channel and waits for its answer; nothing after a time-out
// or a lost connection (the session says which).
std::optional<Report> CommandRequest(Session& session, uint32_t request, uint32_t answer, std::string text1,
                                     std::string text2 = {});

// The TLXSP status of an answer; 0 when it carried none.
int StatusOf(const Report& r);

} // namespace talvex::cli
