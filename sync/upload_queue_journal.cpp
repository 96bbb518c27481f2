// The upload queue and its journal: opening the account's journal, the resume at login, and
// the failures the fail page lets go.

#include "sync/upload_queue.h"

#include "app/client_session.h"
#include "platform/log.h"
#include "platform/workdir.h"
#include "protocol/upload_expander.h"
#include "protocol/upload_journal.h"
#include "res/string_table.h"

#include <algorithm>
#include <limits>

using namespace talvex;

void CUploadQueue::OpenJournal()
{
    CloseJournal();
    const QByteArray off = qgetenv("TALVEX_JOURNAL");
    if (off == "off" || off == "0")
        return;
    const QByteArray dir = qgetenv("TALVEX_JOURNAL_DIR");
    const std::string folder = dir.isEmpty() ? AppDir() : WithTrailingSlash(dir.toStdString());
    const DeploymentSettings& deployment = m_session.Deployment();
    // The account as the fail page knows it: the server the web check named (HOST_IP), its
    // service set and the user id, behind this web host and port. The same user id on another
    // server has a journal of its own, so none of its failures come back into this one.
    const std::string webHost = deployment.webHost.toStdString() + ":" + std::to_string(deployment.webPort) + "/"
                                + m_session.Host().toStdString();
    CUploadJournal::Opened opened = CUploadJournal::Open(CUploadJournal::PathFor(
        folder, webHost, m_session.ServiceSetId().toStdString(), m_session.UserId().toStdString()));
    if (!opened.setAside.empty())
        Log("upload journal set aside as %s: %s\n", opened.setAside.c_str(), opened.reason.c_str());
    if (!opened.journal) {
        Log("no upload journal: %s\n", opened.error.c_str());
        if (opened.cannotWrite)
            emit journalProblem(QString::fromUtf8(kTextJournalCannotWrite) + " (" + QString::fromStdString(opened.error) + ")");
        return;
    }
    m_journal = std::move(opened.journal);
    // Said at once: uploads go on, but what happens from now on cannot be resumed.
    m_journal->SetFailureListener([this](const std::string& why) {
        emit journalProblem(QString::fromUtf8(kTextJournalStopped) + " (" + QString::fromStdString(why) + ")");
    });
    m_tracker.SetJournal(m_journal.get());
    m_backlog.SetJournal(m_journal.get());
}

void CUploadQueue::CloseJournal()
{
    m_tracker.SetJournal(nullptr);
    // What waited in the journal stays there for the next login's resume.
    m_backlog.Clear(false);
    m_backlog.SetJournal(nullptr);
    m_journal.reset(); // commits what is open
}

int CUploadQueue::ResumeFromJournal(const std::function<bool(int)>& ask)
{
    if (!m_journal || !m_bStarted)
        return 0;
    // The question comes before anything is read: the files are counted in the journal (a
    // million entries take well under a second), then read a batch at a time.
    if (!m_journal->DropCopies())
        return 0;
    const int64_t files = m_journal->CountUnfinishedFiles();
    const bool again = files == 0 || (ask && ask(static_cast<int>(std::min<int64_t>(files, std::numeric_limits<int>::max()))));
    constexpr size_t kBatch = 2048;
    // The files to send again stay in the journal, the queue keeping only the range of their
    // ids; files of this run (none, unless it resumes late) and any read after the journal
    // stopped being written are held as they are.
    const int64_t floor = m_journal->OpenedWithLastId();
    int64_t first = 0, last = 0;
    CUploadBacklog::Totals inRange;
    std::vector<std::shared_ptr<CUploadRequest>> held;
    int queued = 0;
    int64_t cursor = 0;
    for (;;) {
        CJournalResume batch = m_journal->LoadBatch(cursor, kBatch);
        if (batch.unfinished.empty() && batch.failed.empty() && batch.moved.empty())
            break;
        // Failures stay in the journal until they are resent (the resend takes their entries
        // over) or removed from the fail page: a second end before that loses none of them.
        for (const CJournalEntry& entry : batch.failed)
            emit restoredFailure(entry.FailedItem());
        // Confirmed and moved before the last session ended: done, as the user last saw them.
        for (const CJournalResume::Moved& moved : batch.moved)
            Log("upload journal: %s was confirmed and moved to %s\n", moved.entry.localPath.c_str(),
                moved.movedTo.c_str());
        if (!again) {
            std::vector<int64_t> done;
            for (const CJournalEntry& entry : batch.unfinished)
                done.push_back(entry.id);
            m_journal->Forget(done);
            continue;
        }
        for (const CJournalEntry& entry : batch.unfinished) {
            std::shared_ptr<CUploadRequest> request = entry.Request();
            if (request->size >= 0) {
                ++m_totals.count;
                m_totals.size += request->size;
            }
            if (entry.state == UploadState::Answered) {
                // The server has it: never sent again, it waits for its notice.
                m_tracker.AddAnswered(request);
                emit fileSent(*request);
            } else if (entry.id <= floor && m_journal->Healthy() && held.empty()) {
                first = first == 0 ? entry.id : first;
                last = entry.id;
                if (request->size >= 0) {
                    ++inRange.files;
                    inRange.size += request->size;
                }
            } else
                held.push_back(std::move(request));
            ++queued;
        }
    }
    // The files to send again wait ahead of new orders' files: rows come on show as the ones
    // before them go (Fill), whatever their number.
    m_backlog.HoldFirst(std::move(held));
    if (first != 0)
        m_backlog.KeepFirst(first - 1, last, inRange);
    if (queued > 0)
        RefreshTotals();
    m_journal->Flush();
    Fill();
    Dispatch();
    return queued;
}

void CUploadQueue::ForgetFailure(const QString& localPath, const QString& remotePath)
{
    if (m_journal)
        m_journal->ForgetFailed(localPath.toStdString(), remotePath.toStdString());
}
