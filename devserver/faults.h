#pragma once
// Faults the development server can be told to commit on purpose (--fault), so that a
// client's handling of a misbehaving server can be tried end to end.

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace talvex::devserver {

enum class FaultKind {
    AnswerClose,       // answer the upload, then close the connection
    RefuseAfterHeader, // answer 500 after the header, read none of the body, hold the connection
    AnswerLate,        // answer ARG ms after the upload was stored; reading goes on meanwhile
    UnrelatedAnswers,  // never answer the upload; every ARG ms write an answer for another path
    LoginSilent,       // read LOGIN____ and never answer it
    DropAfter,         // read ARG bytes of the body, then reset the connection; nothing is stored
    NoNotices,         // sync-service accounts never get change notices
    NeverRead,         // read the upload's header, then nothing more and no answer; hold the connection
};

struct Fault {
    FaultKind kind = FaultKind::AnswerClose;
    int64_t arg = 0;
    std::string glob; // upload faults: file names (last name of PATH) it applies to; empty: all
};

// Reads KIND[:ARG][@GLOB]. False with a message when the kind is unknown, an argument is
// missing, not wanted or out of range, or a glob is given to a fault that takes none.
bool ParseFault(std::string_view text, Fault& out, std::string& error);
// The fault as it is written on the command line.
std::string FaultText(const Fault& fault);

// The first upload fault (in the order given) whose glob matches the file name; nullptr when none.
const Fault* FindUploadFault(const std::vector<Fault>& faults, const std::string& fileName);
// The first fault of that kind; nullptr when none was given.
const Fault* FindFault(const std::vector<Fault>& faults, FaultKind kind);

} // namespace talvex::devserver
