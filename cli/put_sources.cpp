// talvex-cli put: what a run sends: the journal, the expansion of the named sources, --resume and --dry-run.
#include "cli/put_uploader.h"
#include "cli/command_util.h"
#include "cli/json_output.h"
#include "platform/move_after_upload.h"
#include "protocol/message_ids.h"
#include "res/string_table.h"

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <iostream>
#include <string_view>

namespace fs = std::filesystem;

namespace talvex::cli {

bool Uploader::JournalOff()
{
    const char* v = std::getenv("TALVEX_JOURNAL");
    return v && std::string_view(v) == "off";
}

int Uploader::OpenJournal()
{
    if (JournalOff()) {
        if (m_options.resume) {
            PrintErrorText("--resume needs the upload journal (TALVEX_JOURNAL=off)");
            return kExitUsage;
        }
        return kExitOk;
    }
    CUploadJournal::Opened opened = CUploadJournal::Open(m_session.JournalPath());
    if (!opened.setAside.empty())
        PrintErrorText("업로드 기록을 쓸 수 없어 옆에 두고 새로 시작합니다 (" + opened.reason + "): " + opened.setAside);
    if (!opened.journal) {
        if (opened.cannotWrite)
            PrintErrorText(std::string(kTextJournalCannotWrite) + " (" + opened.error + ")");
        else
            PrintErrorText("업로드 기록을 열 수 없습니다 (" + opened.error + ")");
        if (m_options.resume)
            return opened.cannotWrite ? kExitJournal : kExitRefused;
        return kExitOk; // the uploads go on without a journal
    }
    m_journal = std::move(opened.journal);
    // Said at once; the uploads go on, their outcomes true, but cannot be resumed.
    m_journal->SetFailureListener([this](const std::string& why) {
        m_report.EndLine();
        PrintErrorText(std::string(kTextJournalStopped) + " (" + why + "): " + m_journal->Path());
    });
    m_tracker.SetJournal(m_journal.get());
    return kExitOk;
}

int Uploader::Expand()
{
    if (int rc = ExpandInto(m_journal.get()); rc != kExitOk)
        return rc;
    if (m_journal) {
        m_journal->Flush(); // every file of the run is in the journal before the first is sent
        if (!m_journal->Healthy()) {
            // Its last batch may be lost with the write that failed: the run goes on from
            // memory, as without a journal.
            m_pending.clear();
            m_requestCount = 0;
            m_missing = 0;
            if (int rc = ExpandInto(nullptr); rc != kExitOk)
                return rc;
        } else {
            m_streaming = true;
            m_cursor = m_cursorMin = m_journal->OpenedWithLastId(); // this run's entries come after
            m_cursorLast = m_journal->LastId();
        }
    }
    // Entries that could not be read (they fail when their turn comes, told in this run and
    // never journaled: nothing of them could be resumed), or every file when there is no
    // journal to read them back from.
    m_tracker.SetJournal(m_streaming ? nullptr : m_journal.get());
    for (const auto& request : m_pending)
        m_tracker.Add(request);
    m_tracker.SetJournal(m_journal.get());
    return kExitOk;
}

int Uploader::ExpandInto(CUploadJournal* journal)
{
    return ExpandSources([&](std::unique_ptr<CUploadRequest> r) {
        ++m_requestCount;
        if (journal && r->readError == 0) {
            journal->Queued(*r);
            return;
        }
        m_pending.push_back(std::move(r)); // handed to the tracker by Expand
    });
}

int Uploader::ExpandSources(const UploadRequestSink& sink)
{
    const std::string remoteDir = m_options.args.back();
    const std::string moveFolder = m_options.moveTo.empty() ? std::string() : AbsoluteLocal(m_options.moveTo);
    for (size_t i = 0; i + 1 < m_options.args.size(); ++i) {
        // The form the journal keeps, so that a resume from any folder sends the files meant.
        const std::string local = AbsoluteLocal(m_options.args[i]);
        std::error_code ec;
        if (!fs::exists(fs::symlink_status(local, ec))) { // a link to nothing fails with its reason below
            PrintErrorText(std::string(kTextQueueReadError) + ": " + m_options.args[i]);
            ++m_missing;
            m_report.File(local, {}, 0, m_options.dryRun ? "would-fail" : "failed", UploadFailure::ReadError, ENOENT);
            continue;
        }
        CUploadOrder order;
        order.kind = fs::is_directory(local, ec) ? 1 : 0;
        order.source = local;
        order.name = fs::path(local).filename().string();
        if (order.name.empty()) {
            PrintErrorText("올릴 이름이 없습니다 (파일 시스템의 맨 위): " + m_options.args[i]);
            return kExitUsage;
        }
        order.remoteFolder = remoteDir;
        order.moveFolder = moveFolder;
        const ExpansionStats stats = ExpandUploadOrder(order, sink);
        m_filesTotal += stats.files;
        m_bytesTotal += stats.totalSize;
    }
    return kExitOk;
}

int Uploader::DryRun()
{
    PutPlan plan(m_report, m_session.SessionId());
    const int rc = ExpandSources([&](std::unique_ptr<CUploadRequest> r) { plan.Add(*r); });
    return rc != kExitOk ? rc : plan.Finish(m_missing);
}

bool Uploader::Refill()
{
    if (!m_options.resume) {
        // This run's own entries, just made by the expansion: read back as they were queued.
        // Each file is looked at when its turn comes, as the window does (one changed since
        // goes as it is then; one gone fails with its reason).
        std::vector<std::shared_ptr<CUploadRequest>> batch;
        while (m_streaming && m_pending.empty()) {
            batch.clear();
            const bool read = m_journal->LoadWaiting(m_cursor, m_cursorLast, kBatch, batch);
            if (!read || batch.empty()) {
                if (!read) {
                    // Left in the journal for a resume; this run cannot send them.
                    PrintErrorText("업로드 기록을 다시 읽을 수 없어 남은 파일을 보내지 못했습니다 (--resume으로 이어 보내십시오): " +
                                   m_journal->Path());
                    m_notReadBack = true;
                }
                m_streaming = false;
                break;
            }
            for (auto& request : batch) {
                m_tracker.Add(request, true);
                m_pending.push_back(std::move(request));
            }
        }
        return !m_pending.empty();
    }
    while (m_streaming && m_pending.empty()) {
        CJournalResume batch = m_journal->LoadBatch(m_cursor, kBatch, m_cursorMin);
        if (batch.unfinished.empty() && batch.failed.empty() && batch.moved.empty()) {
            m_streaming = false;
            break;
        }
        std::vector<int64_t> told;
        for (const CJournalEntry& e : batch.failed) {
            m_report.Failure(e.FailedItem());
            ++m_loadedFailed;
            told.push_back(e.id);
        }
        m_journal->Forget(told);
        // Confirmed and moved by the run that sent them, which ended before it could say so.
        for (const CJournalResume::Moved& moved : batch.moved) {
            std::cerr << "이미 올라가 옮겨짐: " << moved.entry.localPath << " -> " << moved.movedTo << '\n';
            ++m_resumedMoved;
            m_report.File(moved.entry.localPath, moved.entry.remotePath, std::max<int64_t>(0, moved.entry.size), "moved",
                     UploadFailure::None, 0, moved.movedTo);
        }
        for (const CJournalEntry& e : batch.unfinished) {
            if (e.state == UploadState::Answered) {
                std::cerr << "확인 기다림: " << e.localPath << '\n';
                m_tracker.AddAnswered(e.Request());
                continue;
            }
            if (m_options.resume)
                std::cerr << "다시 보냄: " << e.localPath << '\n';
            auto request = e.Request();
            m_tracker.Add(request, true);
            m_pending.push_back(std::move(request));
        }
    }
    return !m_pending.empty();
}

int Uploader::Resume()
{
    std::cerr << "이어 보낼 서버: " << m_session.ServerName() << '\n';
    if (!m_journal->Probe() || !m_journal->DropCopies()) {
        // Nothing sent now could be recorded: every later resume would send it all again.
        PrintErrorText(std::string(kTextJournalCannotWrite) + " (" + m_journal->LastError() + "): " +
                       m_journal->Path());
        return kExitJournal;
    }
    // Read in batches as they are sent (Refill), from the first entry on.
    m_streaming = true;
    m_cursor = m_cursorMin = 0;
    return kExitOk;
}

void Uploader::FlushJournal()
{
    if (m_journal)
        m_journal->Flush();
}

} // namespace talvex::cli
