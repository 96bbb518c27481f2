#pragma once
// What talvex-cli put tells while it runs: each failure on standard error, the progress line of
// the file under way on a terminal, and with --json the "file", "progress" and "summary" objects
// (docs/cli-json.md).

#include "protocol/records.h"
#include "protocol/upload_tracker.h"

#include <chrono>
#include <cstdint>
#include <string>

namespace talvex::cli {

class PutReport {
public:
    using Clock = std::chrono::steady_clock;

    // resume: the totals of the run are not known (the progress objects leave them null).
    explicit PutReport(bool resume);

    // A file (or a folder) failed: said, and told as a "file" object.
    void Failure(const CUploadItem& item);
    // put --json: one "file" object as a file (or a folder that failed) settles.
    void File(const std::string& local, const std::string& remote, int64_t bytes, const char* outcome,
              UploadFailure why = UploadFailure::None, int32_t status = 0, const std::string& movedTo = {}) const;
    // put --json: a "progress" object at most four times a second while a body goes out.
    void Progress(int64_t bytesDone, int64_t bytesTotal, uint64_t filesDone, int64_t filesTotal, int64_t rate);
    // The terminal's progress line of the file under way (nothing for a folder or off a terminal).
    void Line(const CUploadRequest& r, const CUploadProgress& p);
    // The file's line is done: the next output starts on a line of its own.
    void EndLine();
    bool LineShown() const { return m_bLineShown; }
    // The closing "summary" object of put --json: the counts, the bytes uploaded, the seconds the
    // run took and the exit status it returns.
    void Summary(uint64_t uploaded, uint64_t failed, int64_t bytes, int code) const;

private:
    const bool m_bResume;
    const bool m_bTty;
    bool m_bLineShown = false;
    const Clock::time_point m_started = Clock::now();
    Clock::time_point m_lastProgress{};
};

// put --dry-run: each entry checked as the run would check it before sending (an entry that is
// a file or a folder and can be read, a request the wire can carry within its limit); what
// would go where on standard output (or as "planned" objects), failures as the run tells them.
class PutPlan {
public:
    PutPlan(PutReport& report, std::string sessionId) : m_report(report), m_sessionId(std::move(sessionId)) {}
    void Add(const CUploadRequest& r);
    // The summary, with the named sources that are not there; the exit status.
    int Finish(uint64_t missing) const;

private:
    PutReport& m_report;
    const std::string m_sessionId;
    uint64_t m_nFiles = 0, m_nFailed = 0;
    int64_t m_nBytes = 0;
};

} // namespace talvex::cli
