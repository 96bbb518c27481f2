#pragma once
// Upload channel reports as the tracker receives them, made by hand for the tests of the
// upload bookkeeping.

#include "protocol/message_ids.h"
#include "protocol/report_sink.h"

#include <memory>
#include <string>

namespace talvex::test {

inline Report ChannelReport(uint32_t channel, int32_t code, std::shared_ptr<CUploadRequest> request = nullptr)
{
    Report r;
    r.message = channel;
    r.code = code;
    r.request = std::move(request);
    return r;
}

// A PUTFILE__ answer; sending: the request whose body was still going out when it came.
inline Report AnswerReport(uint32_t channel, const std::string& path, int32_t status,
                           std::shared_ptr<CUploadRequest> sending = nullptr)
{
    Report r = ChannelReport(channel, UE_RESPONSE, std::move(sending));
    r.response = std::make_unique<CTlxspResponse>();
    r.response->command = "PUTFILE__";
    r.response->path = path;
    r.response->statusCode = status;
    return r;
}

} // namespace talvex::test
