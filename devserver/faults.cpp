#include "devserver/faults.h"

#include <fnmatch.h>

namespace talvex::devserver {
namespace {

enum class Arg { None, Required };

struct KindInfo {
    FaultKind kind;
    const char* name;
    Arg arg;
    int64_t min, max; // range of the argument
    bool upload;      // applies to uploads and so takes a glob
};

constexpr int64_t kMaxMs = 3600000;

constexpr KindInfo kKinds[] = {
    {FaultKind::AnswerClose, "answer-close", Arg::None, 0, 0, true},
    {FaultKind::RefuseAfterHeader, "refuse-after-header", Arg::None, 0, 0, true},
    {FaultKind::AnswerLate, "answer-late", Arg::Required, 0, kMaxMs, true},
    {FaultKind::UnrelatedAnswers, "unrelated-answers", Arg::Required, 1, kMaxMs, true},
    {FaultKind::LoginSilent, "login-silent", Arg::None, 0, 0, false},
    {FaultKind::DropAfter, "drop-after", Arg::Required, 0, int64_t{1} << 50, true},
    {FaultKind::NoNotices, "no-notices", Arg::None, 0, 0, false},
    {FaultKind::NeverRead, "never-read", Arg::None, 0, 0, true},
};

const KindInfo* Info(FaultKind kind)
{
    for (const KindInfo& k : kKinds)
        if (k.kind == kind)
            return &k;
    return nullptr;
}

bool ParseArg(std::string_view text, int64_t min, int64_t max, int64_t& out)
{
    if (text.empty() || text.size() > 18)
        return false;
    int64_t v = 0;
    for (char c : text) {
        if (c < '0' || c > '9')
            return false;
        v = v * 10 + (c - '0');
    }
    if (v < min || v > max)
        return false;
    out = v;
    return true;
}

} // namespace

std::string FaultText(const Fault& fault)
{
    const KindInfo* k = Info(fault.kind);
    if (!k)
        return "?";
    std::string text = k->name;
    if (k->arg == Arg::Required)
        text += ":" + std::to_string(fault.arg);
    if (!fault.glob.empty())
        text += "@" + fault.glob;
    return text;
}

bool ParseFault(std::string_view text, Fault& out, std::string& error)
{
    out = {};
    const size_t at = text.find('@');
    const bool hasGlob = at != std::string_view::npos;
    const std::string_view head = text.substr(0, at);
    const size_t colon = head.find(':');
    const std::string_view name = head.substr(0, colon);
    const KindInfo* info = nullptr;
    for (const KindInfo& k : kKinds)
        if (name == k.name)
            info = &k;
    if (!info) {
        error = "unknown fault \"" + std::string(name) + "\"";
        return false;
    }
    out.kind = info->kind;
    if (colon == std::string_view::npos) {
        if (info->arg == Arg::Required) {
            error = "fault " + std::string(name) + " needs a number: " + std::string(name) + ":N";
            return false;
        }
    } else if (info->arg == Arg::None) {
        error = "fault " + std::string(name) + " takes no number";
        return false;
    } else if (!ParseArg(head.substr(colon + 1), info->min, info->max, out.arg)) {
        error = "fault " + std::string(name) + " needs a number from " + std::to_string(info->min) + " to " +
                std::to_string(info->max) + ", not \"" + std::string(head.substr(colon + 1)) + "\"";
        return false;
    }
    if (hasGlob) {
        if (!info->upload) {
            error = "fault " + std::string(name) + " takes no @GLOB (it does not concern uploads)";
            return false;
        }
        out.glob = std::string(text.substr(at + 1));
        if (out.glob.empty()) {
            error = "fault " + std::string(name) + ": empty glob after @";
            return false;
        }
    }
    return true;
}

const Fault* FindUploadFault(const std::vector<Fault>& faults, const std::string& fileName)
{
    for (const Fault& f : faults) {
        const KindInfo* info = Info(f.kind);
        if (info && info->upload && (f.glob.empty() || ::fnmatch(f.glob.c_str(), fileName.c_str(), 0) == 0))
            return &f;
    }
    return nullptr;
}

const Fault* FindFault(const std::vector<Fault>& faults, FaultKind kind)
{
    for (const Fault& f : faults)
        if (f.kind == kind)
            return &f;
    return nullptr;
}

} // namespace talvex::devserver
