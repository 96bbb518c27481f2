#pragma once
// One logged-in conversation with the service, driven from the command line: web user check,
// control session, LOGIN____, and on demand the command channel and an upload channel. The
// destructor logs out and closes every connection.

#include "cli/options.h"
#include "protocol/message_ids.h"
#include "protocol/report_sink.h"
#include "protocol/worker.h"

#include <chrono>
#include <memory>
#include <optional>
#include <string>

namespace talvex::cli {

// What the web user check told us.
struct LogonInfo {
    std::string hostIp;
    int serviceType = 0;
    std::string userRoot;
    std::string serviceSetId;
    int useDrm = 0;
};

class Session {
public:
    explicit Session(const Options& options);
    ~Session();

    // Web user check only. Returns an exit code (messages already printed).
    int CheckUser(LogonInfo& info);
    // Web check, control session and LOGIN____; then the channels asked for.
    int Open(bool commandChannel, bool uploadChannel);

    // The waits below return nothing after a time-out or a lost connection (printed, with
    // LastError() telling the exit code).
    std::optional<Report> WaitControl(uint32_t message, std::chrono::milliseconds timeout);
    std::optional<Report> WaitCommand(uint32_t message, std::chrono::milliseconds timeout);
    // The first report of either message.
    std::optional<Report> WaitCommand(uint32_t message, uint32_t orMessage, std::chrono::milliseconds timeout);
    // The next report of the upload channel, whatever it is.
    std::optional<Report> WaitUpload(std::chrono::milliseconds timeout);
    // The same, without a word when none came in time.
    std::optional<Report> PollUpload(std::chrono::milliseconds timeout) { return m_uploadReports.Next(timeout); }
    // Replaces a broken upload channel by a new one (as the queue does after a reset).
    int ReopenUploadChannel();
    // The connection was lost: every worker goes, reports still queued are dropped, and the
    // whole sequence is made again (web check, control session, LOGIN____, upload channel).
    int Reconnect();
    // This account's upload journal in the work folder (known once the web check answered).
    std::string JournalPath() const;
    // The server as the journal's key names it: the web host with its port.
    std::string ServerName() const;
    // The message number the open upload channel reports with.
    uint32_t UploadChannelNumber() const { return kUploadMessageBase + m_uploadCounter; }

    Worker& Control() { return *m_control; }
    Worker& Command() { return *m_command; }
    Worker& Upload() { return *m_upload; }

    const LogonInfo& Logon() const { return m_logon; }
    // The session LOGIN____ gave (empty before it).
    const std::string& SessionId() const { return m_sessionId; }
    // Sync-service accounts confirm uploads by notices.
    bool IsSyncService() const { return m_logon.serviceType == 1 || m_logon.serviceType == 2; }
    const std::string& WorkDir() const { return m_workDir; }
    // Where this run's answer files go (a folder of its own inside the work folder).
    const std::string& AnswerDir() const { return m_runDir.empty() ? m_workDir : m_runDir; }
    std::chrono::milliseconds AnswerTimeout() const { return std::chrono::seconds(m_options.timeoutSeconds); }
    int LastError() const { return m_lastError; }
    // Says that the connection was lost, and why when the socket told (Report::error): no
    // answer within the dead-path bound, or a server that cannot be reached.
    void PrintLost(int error) const;
    // The root listing the command channel fetched when it connected.
    std::unique_ptr<CRemoteEntryList> TakeRootListing() { return std::move(m_rootListing); }

private:
    CChannelStartInfo StartInfo(int port) const;
    std::optional<Report> Wait(BlockingReportQueue& queue, uint32_t message, uint32_t orMessage,
                               std::chrono::milliseconds timeout, uint32_t failedMessage);
    int OpenCommandChannel();
    int OpenUploadChannel();

    const Options& m_options;
    std::string m_workDir;
    std::string m_runDir; // this run's own temporary answer files, removed at the end
    LogonInfo m_logon;
    std::string m_sessionId;
    int m_lastError = kExitOk;
    uint32_t m_uploadCounter = 0;
    std::unique_ptr<CRemoteEntryList> m_rootListing;
    std::shared_ptr<UploadRateLimiter> m_uploadLimit; // shared by every upload channel; null = none

    // Sinks before workers: the workers report to them until they are gone.
    BlockingReportQueue m_controlReports;
    BlockingReportQueue m_commandReports;
    BlockingReportQueue m_uploadReports;
    std::unique_ptr<Worker> m_control;
    std::unique_ptr<Worker> m_command;
    std::unique_ptr<Worker> m_upload;
};

// Prints a table text to standard error (one line; a question part of the text is left out).
void PrintError(unsigned stringId);
void PrintErrorText(const std::string& text);

} // namespace talvex::cli
