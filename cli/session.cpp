#include "cli/session.h"

#include "cli/json_output.h"

#include "platform/text_codec.h"
#include "platform/workdir.h"
#include "protocol/message_ids.h"
#include "protocol/upload_journal.h"
#include "protocol/upload_rate.h"
#include "protocol/webcheck.h"
#include "res/string_table.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <iostream>
#include <stdlib.h>

namespace talvex::cli {

void PrintErrorText(const std::string& text)
{
    // Questions of the window ("다시 시도하시겠습니까?") make no sense here: keep the first line.
    const size_t nl = text.find('\n');
    const std::string line = nl == std::string::npos ? text : text.substr(0, nl);
    NoteErrorText(line);
    std::cerr << "talvex-cli: " << line << '\n';
}

void PrintError(unsigned stringId) { PrintErrorText(std::string(LoadString(stringId))); }

Session::Session(const Options& options) : m_options(options)
{
    m_workDir = options.workDir.empty() ? UserDataDir() + "cli/" : WithTrailingSlash(options.workDir);
    std::error_code ec;
    std::filesystem::create_directories(m_workDir, ec);
    SetAppDir(m_workDir);
    // Answer files of this run, apart from those of any other run with the same work folder.
    std::string pattern = m_workDir + "run-XXXXXX";
    if (::mkdtemp(pattern.data()))
        m_runDir = WithTrailingSlash(pattern);
    SetWireEncoding(options.encoding);
    m_uploadLimit = UploadLimitOf(options);
}

Session::~Session()
{
    // Channels first; the control session logs out (LOGOUT___) as it quits.
    if (m_upload)
        m_upload->Quit();
    if (m_command)
        m_command->Quit();
    if (m_control)
        m_control->Quit();
    m_upload.reset();
    m_command.reset();
    m_control.reset();
    if (!m_runDir.empty()) {
        std::error_code ec;
        std::filesystem::remove_all(m_runDir, ec);
    }
}

CChannelStartInfo Session::StartInfo(int port) const
{
    CChannelStartInfo info;
    info.host = m_logon.hostIp;
    info.port = port;
    info.sessionId = m_sessionId;
    info.workDir = AnswerDir();
    info.sendBufferBytes = m_options.sendBufferBytes;
    const WaitsMs waits = WaitsOf(m_options);
    info.stallTimeoutMs = static_cast<int>(waits.stall);
    // A send the server does not take is given up no sooner than a dark link would be.
    info.sendStallMs = std::max(info.sendStallMs, info.stallTimeoutMs + 5000);
    // After a cut body, the answers of the files sent before it are awaited as long as any answer.
    info.answerWaitMs = static_cast<int>(waits.answer);
    info.rateLimit = m_uploadLimit;
    return info;
}

int Session::CheckUser(LogonInfo& info)
{
    WebCheckRequest request;
    request.host = m_options.webHost;
    request.port = m_options.webPort;
    request.userId = m_options.user;
    request.password = m_options.password;
    request.timeoutSeconds = m_options.timeoutSeconds < 15 ? m_options.timeoutSeconds : 15;
    const WebCheckResult result = RunWebCheck(request);
    switch (result.kind) {
    case 1:
        info.hostIp = result.record.hostIp;
        info.serviceType = result.record.serviceType;
        info.userRoot = result.record.userRoot;
        info.serviceSetId = result.record.serviceSetId;
        info.useDrm = result.record.useDrm;
        return kExitOk;
    case 4:
        PrintError(244);
        return kExitNoAccount;
    case 5:
        PrintError(245);
        return kExitWrongPassword;
    default:
        if (!result.error.empty())
            PrintErrorText(result.error);
        PrintError(243);
        return kExitLogonServer;
    }
}

std::optional<Report> Session::Wait(BlockingReportQueue& queue, uint32_t message, uint32_t orMessage,
                                    std::chrono::milliseconds timeout, uint32_t failedMessage)
{
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    for (;;) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0)
            break;
        std::optional<Report> report = queue.Next(left);
        if (!report)
            break;
        if (report->message == message || report->message == orMessage)
            return report;
        if (report->message == UM_CONNECTION_LOST) {
            PrintLost(report->error);
            m_lastError = kExitConnection;
            return std::nullopt;
        }
        if (report->message == failedMessage) {
            PrintError(239);
            m_lastError = kExitConnection;
            return std::nullopt;
        }
        if (report->message == UM_REQUEST_NOT_SENT && report->response) {
            PrintErrorText("요청을 보낼 수 없습니다 (서버에 쓸 수 없는 문자가 있습니다): " + report->response->path);
            m_lastError = kExitUsage;
            return std::nullopt;
        }
        // Anything else (a root listing nobody asked for, a late notice) is not awaited here.
    }
    PrintErrorText("서버가 응답하지 않습니다 (시간 초과)");
    m_lastError = kExitConnection;
    return std::nullopt;
}

void Session::PrintLost(int error) const
{
    if (error == ETIMEDOUT)
        PrintErrorText("서버와의 연결이 끊겼습니다: " + std::to_string(m_options.stallTimeoutSeconds) +
                       "초 동안 응답이 없습니다 (--stall-timeout)");
    else if (IsNetworkLoss(error))
        PrintErrorText("서버와의 연결이 끊겼습니다: 서버에 닿을 수 없습니다 (" + std::string(std::strerror(error)) + ")");
    else
        PrintError(329);
}

std::optional<Report> Session::WaitControl(uint32_t message, std::chrono::milliseconds timeout)
{
    return Wait(m_controlReports, message, message, timeout, UM_CONTROL_CONNECT_FAILED);
}

std::optional<Report> Session::WaitCommand(uint32_t message, std::chrono::milliseconds timeout)
{
    return Wait(m_commandReports, message, message, timeout, UM_COMMAND_CONNECT_FAILED);
}

std::optional<Report> Session::WaitCommand(uint32_t message, uint32_t orMessage, std::chrono::milliseconds timeout)
{
    return Wait(m_commandReports, message, orMessage, timeout, UM_COMMAND_CONNECT_FAILED);
}

std::optional<Report> Session::WaitUpload(std::chrono::milliseconds timeout)
{
    std::optional<Report> report = m_uploadReports.Next(timeout);
    if (!report) {
        PrintErrorText("서버가 응답하지 않습니다 (시간 초과)");
        m_lastError = kExitConnection;
    }
    return report;
}

int Session::Open(bool commandChannel, bool uploadChannel)
{
    if (int rc = CheckUser(m_logon); rc != kExitOk)
        return rc;

    m_control = StartControlSession(StartInfo(m_options.controlPort), m_controlReports);
    if (!WaitControl(UM_CONTROL_CONNECTED, AnswerTimeout()))
        return m_lastError;

    m_control->Post(UM_LOGIN, std::make_unique<CThreadCommand>(CThreadCommand{UM_LOGIN, m_options.user, m_options.password}));
    std::optional<Report> login = WaitControl(UM_LOGIN_RESULT, AnswerTimeout());
    if (!login)
        return m_lastError;
    const int status = login->response ? login->response->statusCode : 0;
    if (status != 200) {
        PrintError(status == 400 ? 242 : 241);
        m_control->Quit();
        return kExitLoginRefused;
    }
    m_sessionId = login->response->sessionId;

    if (commandChannel)
        if (int rc = OpenCommandChannel(); rc != kExitOk)
            return rc;
    if (uploadChannel)
        if (int rc = OpenUploadChannel(); rc != kExitOk)
            return rc;
    return kExitOk;
}

int Session::OpenCommandChannel()
{
    m_command = StartCommandChannel(StartInfo(m_options.commandPort), m_commandReports);
    // The channel lists "/" by itself as soon as it is connected.
    std::optional<Report> root = WaitCommand(UM_BROWSE, AnswerTimeout());
    if (!root)
        return m_lastError;
    m_rootListing = std::move(root->entries);
    return kExitOk;
}

int Session::OpenUploadChannel()
{
    CChannelStartInfo info = StartInfo(m_options.commandPort);
    info.messageNumber = kUploadMessageBase + ++m_uploadCounter;
    m_upload = StartUploadChannel(info, m_uploadReports);
    for (;;) {
        std::optional<Report> report = WaitUpload(AnswerTimeout());
        if (!report)
            return m_lastError;
        if (report->message != info.messageNumber)
            continue; // the channel before it, ending
        if (report->code == UE_CONNECTED)
            return kExitOk;
        if (report->code == UE_CONNECT_FAILED || report->code == UE_RESET) {
            PrintError(240);
            m_lastError = kExitConnection;
            return kExitConnection;
        }
    }
}

int Session::Reconnect()
{
    const bool commandChannel = m_command != nullptr;
    for (std::unique_ptr<Worker>* worker : {&m_upload, &m_command, &m_control})
        if (*worker)
            (*worker)->Quit();
    m_upload.reset();
    m_command.reset();
    m_control.reset();
    for (BlockingReportQueue* queue : {&m_controlReports, &m_commandReports, &m_uploadReports})
        while (queue->Next(std::chrono::milliseconds(0))) {
        }
    m_sessionId.clear();
    m_rootListing.reset();
    m_lastError = kExitOk;
    return Open(commandChannel, true);
}

std::string Session::ServerName() const { return m_options.webHost + ":" + std::to_string(m_options.webPort); }

std::string Session::JournalPath() const
{
    return CUploadJournal::PathFor(m_workDir, ServerName(), m_logon.serviceSetId, m_options.user);
}

int Session::ReopenUploadChannel()
{
    if (m_upload) {
        m_upload->Quit();
        m_upload.reset();
    }
    return OpenUploadChannel();
}

} // namespace talvex::cli
