#include "cli/put_report.h"

#include "cli/json_output.h"
#include "cli/session.h"
#include "cli/options.h"
#include "protocol/upload_channel.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <fcntl.h>
#include <iostream>
#include <unistd.h>

namespace talvex::cli {

PutReport::PutReport(bool resume) : m_bResume(resume), m_bTty(::isatty(2) == 1) {}

void PutReport::Failure(const CUploadItem& item)
{
    EndLine();
    PrintErrorText(UploadFailureReason(item.failure, item.status) + ": " + item.request->localPath);
    const CUploadRequest& r = *item.request;
    File(r.localPath, r.remotePath, std::max<int64_t>(0, r.size),
         item.failure == UploadFailure::Cancelled ? "cancelled" : "failed", item.failure, item.status);
}

void PutReport::File(const std::string& local, const std::string& remote, int64_t bytes, const char* outcome,
                     UploadFailure why, int32_t status, const std::string& movedTo) const
{
    if (!JsonOutput())
        return;
    Json file = JsonObject("file");
    file["local"] = local;
    file["remote"] = remote.empty() ? Json() : Json("/" + remote);
    file["bytes"] = bytes;
    file["outcome"] = outcome;
    file["reason_code"] = why == UploadFailure::None ? Json() : Json(FailureWord(why, status));
    file["reason"] = why == UploadFailure::None ? Json() : Json(UploadFailureReason(why, status));
    file["moved_to"] = movedTo.empty() ? Json() : Json(movedTo);
    EmitJson(file);
}

void PutReport::Progress(int64_t bytesDone, int64_t bytesTotal, uint64_t filesDone, int64_t filesTotal, int64_t rate)
{
    if (!JsonOutput())
        return;
    const auto now = Clock::now();
    if (now - m_lastProgress < std::chrono::milliseconds(250))
        return;
    m_lastProgress = now;
    Json progress = JsonObject("progress");
    progress["bytes_done"] = bytesDone;
    progress["bytes_total"] = m_bResume ? Json() : Json(bytesTotal);
    progress["files_done"] = filesDone;
    progress["files_total"] = m_bResume ? Json() : Json(filesTotal);
    progress["rate"] = rate;
    EmitJson(progress);
}

void PutReport::Line(const CUploadRequest& r, const CUploadProgress& p)
{
    if (!m_bTty || r.IsFolder())
        return;
    char line[256];
    const double mbps = p.speed / 1048576.0;
    if (p.percent >= 0)
        std::snprintf(line, sizeof line, "\r%3d%%  %8.2f MB/s  %6lld KB  ", p.percent, mbps,
                      static_cast<long long>(p.sent / 1024));
    else
        std::snprintf(line, sizeof line, "\r      %8.2f MB/s  %6lld KB  ", mbps, static_cast<long long>(p.sent / 1024));
    std::cerr << line << r.remotePath << std::flush;
    m_bLineShown = true;
}

void PutReport::EndLine()
{
    if (m_bLineShown)
        std::cerr << '\n';
    m_bLineShown = false;
}

void PutReport::Summary(uint64_t uploaded, uint64_t failed, int64_t bytes, int code) const
{
    if (!JsonOutput())
        return;
    Json summary = JsonObject("summary");
    summary["uploaded"] = uploaded;
    summary["failed"] = failed;
    summary["bytes"] = bytes;
    summary["seconds"] = std::chrono::duration<double>(Clock::now() - m_started).count();
    summary["exit_code"] = code;
    EmitJson(summary);
}

void PutPlan::Add(const CUploadRequest& r)
{
    const bool folder = r.IsFolder();
    UploadFailure why = UploadFailure::None;
    int32_t status = r.readError;
    if (status != 0) {
        why = UploadFailure::ReadError;
    } else if (!folder) {
        const int fd = ::open(r.localPath.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY);
        if (fd < 0) {
            why = UploadFailure::ReadError;
            status = errno;
        } else {
            ::close(fd);
        }
    }
    std::string header;
    if (why == UploadFailure::None)
        if (const int32_t error = FormatPutFileRequest(m_sessionId, r, folder || r.size == 0 ? -1 : r.size, header);
            error != 0)
            why = HeaderFailure(error);
    if (why != UploadFailure::None) {
        ++m_nFailed;
        PrintErrorText(UploadFailureReason(why, status) + ": " + r.localPath);
        m_report.File(r.localPath, r.remotePath, std::max<int64_t>(0, r.size), "would-fail", why, status);
        return;
    }
    if (!folder) {
        ++m_nFiles;
        m_nBytes += r.size;
    }
    if (JsonOutput()) {
        Json planned = JsonObject("planned");
        planned["local"] = r.localPath;
        planned["remote"] = "/" + r.remotePath;
        planned["kind"] = folder ? "folder" : "file";
        planned["bytes"] = folder ? 0 : r.size;
        EmitJson(planned);
        return;
    }
    std::cout << (folder ? std::string("-") : std::to_string(r.size)) << '\t' << r.localPath << "\t/" << r.remotePath
              << '\n';
}

int PutPlan::Finish(uint64_t missing) const
{
    const uint64_t failed = m_nFailed + missing;
    const int code = failed ? kExitRefused : kExitOk;
    if (JsonOutput()) {
        Json summary = JsonObject("dry-run-summary");
        summary["would_upload"] = m_nFiles;
        summary["bytes"] = m_nBytes;
        summary["would_fail"] = failed;
        summary["exit_code"] = code;
        EmitJson(summary);
    } else {
        std::cout << "would upload " << m_nFiles << " (" << m_nBytes << " bytes), would fail " << failed << '\n';
    }
    return code;
}

} // namespace talvex::cli
