#include "protocol/message.h"

#include "platform/text_codec.h"
#include "platform/text_util.h"

#include <cstdio>

namespace talvex::tlxsp {
namespace {

void Line(std::string& out, std::string_view name, std::string_view value)
{
    out.append(name);
    out.append(" : ");
    out.append(value);
    out.append("\r\n");
}

std::string FirstLine(std::string_view command)
{
    std::string out;
    out.reserve(256);
    out.append(kProtocol);
    out.append(" REQUEST__ ");
    out.append(command);
    out.append("\r\n");
    return out;
}

// The third space-separated word of the first line (runs of spaces are one separator).
std::string ThirdWord(std::string_view line)
{
    int index = 0;
    size_t i = 0;
    while (i < line.size()) {
        while (i < line.size() && line[i] == ' ')
            ++i;
        if (i >= line.size())
            break;
        size_t j = i;
        while (j < line.size() && line[j] != ' ')
            ++j;
        if (index == 2)
            return std::string(Trim(line.substr(i, j - i)));
        ++index;
        i = j;
    }
    return {};
}

// The second ':'-separated piece, trimmed.
std::string_view ValueOf(std::string_view line)
{
    const size_t first = line.find(':');
    if (first == std::string_view::npos)
        return {};
    std::string_view rest = line.substr(first + 1);
    const size_t second = rest.find(':');
    if (second != std::string_view::npos)
        rest = rest.substr(0, second);
    return Trim(rest);
}

enum Field { kRequestId, kPath2, kPath, kDataLength, kStatusCode, kStatusDesc, kSessionId };

struct Name {
    std::string_view text;
    Field field;
};

constexpr Name kUploadOrder[] = {
    {"PATH", kPath}, {"DATA-LENGTH", kDataLength}, {"STATUS-CODE", kStatusCode}, {"STATUS-DESC", kStatusDesc}};
constexpr Name kCommandOrder[] = {{"REQUEST-ID", kRequestId},   {"PATH2", kPath2},
                                  {"PATH", kPath},              {"DATA-LENGTH", kDataLength},
                                  {"STATUS-CODE", kStatusCode}, {"STATUS-DESC", kStatusDesc}};
constexpr Name kControlOrder[] = {{"REQUEST-ID", kRequestId},   {"PATH", kPath},
                                  {"DATA-LENGTH", kDataLength}, {"STATUS-CODE", kStatusCode},
                                  {"STATUS-DESC", kStatusDesc}, {"SESSION-ID", kSessionId}};

template <size_t N>
void ApplyLine(std::string_view line, CTlxspResponse& out, const Name (&names)[N])
{
    for (const Name& n : names) {
        if (line.find(n.text) == std::string_view::npos)
            continue;
        const std::string_view value = ValueOf(line);
        switch (n.field) {
        case kRequestId: out.requestId = std::string(value); break;
        case kPath2: out.path2 = std::string(value); break;
        case kPath: out.path = std::string(value); break;
        case kDataLength: out.dataLength = LeadingInt32(value); break;
        case kStatusCode: out.statusCode = LeadingInt32(value); break;
        case kStatusDesc: break;
        case kSessionId: out.sessionId = std::string(value); break;
        }
        return;
    }
}

} // namespace

std::string FormatLogin(std::string_view userId, std::string_view password)
{
    std::string out = FirstLine(kLogin);
    Line(out, "REQUEST-ID", kLoginId);
    Line(out, "USER-ID", userId);
    Line(out, "USER-PW", password);
    out.append("\r\n");
    return out;
}

std::string FormatSessionOnly(std::string_view command, std::string_view requestId, std::string_view sessionId)
{
    std::string out = FirstLine(command);
    Line(out, "REQUEST-ID", requestId);
    Line(out, "SESSION-ID", sessionId);
    out.append("\r\n");
    return out;
}

std::string FormatPath(std::string_view command, std::string_view requestId, std::string_view sessionId,
                       std::string_view path)
{
    std::string out = FirstLine(command);
    Line(out, "REQUEST-ID", requestId);
    Line(out, "SESSION-ID", sessionId);
    Line(out, "PATH", path);
    out.append("\r\n");
    return out;
}

std::string FormatTwoPaths(std::string_view command, std::string_view requestId, std::string_view sessionId,
                           std::string_view path, std::string_view path2)
{
    std::string out = FirstLine(command);
    Line(out, "REQUEST-ID", requestId);
    Line(out, "SESSION-ID", sessionId);
    Line(out, "PATH", path);
    Line(out, "PATH2", path2);
    out.append("\r\n");
    return out;
}

std::string FormatSearch(std::string_view sessionId, std::string_view folder, std::string_view text)
{
    std::string out = FirstLine(kSearch);
    Line(out, "SESSION-ID", sessionId);
    Line(out, "PATH", folder);
    Line(out, "PATH2", text);
    out.append("\r\n");
    return out;
}

std::string FormatBrowseRoot(std::string_view sessionId) { return FormatBrowse(sessionId, "/"); }

std::string FormatBrowse(std::string_view sessionId, std::string_view path)
{
    std::string out = FirstLine(kBrowse);
    Line(out, "SESSION-ID", sessionId);
    Line(out, "REQUEST-ID", kBrowseId);
    Line(out, "PATH", path);
    out.append("\r\n");
    return out;
}

std::string FormatPutFile(std::string_view sessionId, std::string_view requestId, int64_t dataLength,
                          std::string_view path)
{
    std::string out = FirstLine(kPutFile);
    Line(out, "SESSION-ID", sessionId);
    Line(out, "REQUEST-ID", requestId);
    char number[32];
    std::snprintf(number, sizeof number, "%lld", static_cast<long long>(dataLength));
    Line(out, "DATA-LENGTH", number);
    Line(out, "PATH", path);
    out.append("\r\n");
    return out;
}

std::string FormatPutFileNoLength(std::string_view sessionId, std::string_view requestId, std::string_view path)
{
    std::string out = FirstLine(kPutFile);
    Line(out, "SESSION-ID", sessionId);
    Line(out, "REQUEST-ID", requestId);
    Line(out, "PATH", path);
    out.append("\r\n");
    return out;
}

int32_t ToWireText(std::string_view utf8, std::string& wire)
{
    for (char c : utf8)
        if (c == '\r' || c == '\n' || c == '\0')
            return kRequestBadText;
    if (!ToWire(utf8, wire))
        return kRequestNotEncodable;
    for (char c : wire)
        if (c == '\r' || c == '\n' || c == '\0')
            return kRequestBadText;
    return 0;
}

int32_t CheckRequestSize(std::string_view request)
{
    return request.size() > kMaxHeaderBytes ? kRequestTooLong : 0;
}

ptrdiff_t FindHeaderEnd(std::string_view text)
{
    const size_t h = text.find(kHeaderEnd);
    return h == std::string_view::npos ? -1 : static_cast<ptrdiff_t>(h);
}

ptrdiff_t ReadHeaderBlock(std::string_view text, CTlxspResponse& out, HeaderOrder order)
{
    const ptrdiff_t h = FindHeaderEnd(text);
    if (h < 0)
        return -1;
    LineReader lines(text.substr(0, static_cast<size_t>(h)), LineReader::Breaks::Header);
    for (std::string_view line; lines.Next(line);) {
        if (line.find(kProtocol) != std::string_view::npos) {
            out.command = ThirdWord(line);
            continue;
        }
        switch (order) {
        case HeaderOrder::Upload: ApplyLine(line, out, kUploadOrder); break;
        case HeaderOrder::Command: ApplyLine(line, out, kCommandOrder); break;
        case HeaderOrder::Control: ApplyLine(line, out, kControlOrder); break;
        }
    }
    return h;
}

bool SameCommand(std::string_view a, std::string_view b) { return EqualNoCase(a, b); }

} // namespace talvex::tlxsp
