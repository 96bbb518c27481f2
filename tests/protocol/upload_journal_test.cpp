// The upload journal: what it keeps of each state, what a batch is, how it refuses files it
// cannot trust, what resume makes of changed files, and above all what is left after the
// process is killed at any moment.

#include "platform/move_after_upload.h"
#include "platform/publish_file.h"
#include "protocol/message_ids.h"
#include "protocol/upload_backlog.h"
#include "protocol/upload_journal.h"
#include "protocol/upload_tracker.h"
#include "tests/common/journal_disk_faults.h"
#include "tests/protocol/tracker_reports.h"

#include <gtest/gtest.h>
#include <sqlite3.h>

#include <algorithm>
#include <chrono>
#include <csignal>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <random>
#include <set>
#include <stdio.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

using namespace talvex;
using talvex::test::AnswerReport;
using talvex::test::ChannelReport;
using talvex::test::DiskFaults;
namespace fs = std::filesystem;

namespace {

constexpr uint32_t kChannel = kUploadMessageBase + 1;

CSyncNoticeList Notice(const std::string& path, int32_t number)
{
    CSyncNoticeList list;
    list.notices.push_back(CSyncNotice{path, number, kNoticePutFile});
    return list;
}

CFileStamp StampOf(const std::string& path)
{
    struct stat st{};
    if (::stat(path.c_str(), &st) != 0)
        return {};
    return {static_cast<int64_t>(st.st_size), static_cast<int64_t>(st.st_mtim.tv_sec) * 1000000000 + st.st_mtim.tv_nsec,
            static_cast<uint64_t>(st.st_ino), static_cast<uint64_t>(st.st_dev)};
}

// The channel's part: the body starts (the stamp is taken) and goes out whole.
void SendWhole(CUploadTracker& tracker, const std::shared_ptr<CUploadRequest>& r, uint32_t channel)
{
    tracker.Sending(r, channel);
    r->stamp = StampOf(r->localPath);
    tracker.Apply(ChannelReport(channel, UE_DONE, r));
}

// Runs steps on the journal at path in a child killed right after them (what they did not
// commit is lost with it); true when the kill ended the child.
bool KilledAfter(const std::string& path, const std::function<void(CUploadJournal&)>& steps)
{
    const pid_t child = ::fork();
    if (child < 0)
        return false;
    if (child == 0) {
        CUploadJournal::Opened opened = CUploadJournal::Open(path);
        if (!opened.journal)
            ::_exit(3);
        steps(*opened.journal);
        ::raise(SIGKILL);
    }
    int status = 0;
    ::waitpid(child, &status, 0);
    return WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL;
}

class UploadJournalTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        static int counter = 0;
        dir = fs::temp_directory_path() / ("talvex-journal-" + std::to_string(::getpid()) + "-" + std::to_string(++counter));
        fs::remove_all(dir);
        fs::create_directories(dir / "local");
        path = (dir / "data" / "journal" / "account.sqlite").string();
    }
    void TearDown() override { fs::remove_all(dir); }

    std::shared_ptr<CUploadRequest> File(const std::string& name, const std::string& bytes = "content")
    {
        const fs::path p = dir / "local" / name;
        std::ofstream(p, std::ios::binary) << bytes;
        auto r = std::make_shared<CUploadRequest>();
        r->localPath = p.string();
        r->remotePath = "up/" + name;
        r->size = static_cast<int64_t>(bytes.size());
        return r;
    }
    std::unique_ptr<CUploadJournal> OpenJournal()
    {
        CUploadJournal::Opened opened = CUploadJournal::Open(path);
        EXPECT_TRUE(opened.journal) << opened.error;
        EXPECT_TRUE(opened.setAside.empty()) << opened.reason;
        return std::move(opened.journal);
    }
    // localPath -> state of every entry (failed ones with their reason as state 100 + reason).
    std::map<std::string, int> States()
    {
        auto journal = OpenJournal();
        std::map<std::string, int> out;
        if (!journal)
            return out;
        CJournalResume found = journal->LoadUnfinished();
        for (const CJournalEntry& e : found.unfinished)
            out[e.localPath] = static_cast<int>(e.state);
        for (const CJournalEntry& e : found.failed)
            out[e.localPath] = 100 + static_cast<int>(e.failure);
        return out;
    }
    std::vector<fs::path> SetAside() const
    {
        std::vector<fs::path> out;
        for (const auto& e : fs::directory_iterator(fs::path(path).parent_path()))
            if (e.path().filename().string().find(".sqlite.") != std::string::npos &&
                e.path().filename().string().find("-wal") == std::string::npos)
                out.push_back(e.path());
        return out;
    }

    fs::path dir;
    std::string path;
};

} // namespace

// ---- states, batches, the file ------------------------------------------------------------

TEST_F(UploadJournalTest, EachStateIsKeptUntilConfirmedAndFailuresKeepTheirReason)
{
    auto queued = File("queued.txt"), sending = File("sending.txt"), sent = File("sent.txt");
    auto answered = File("answered.txt"), confirmed = File("confirmed.txt"), refused = File("refused.txt");
    auto cancelled = File("cancelled.txt"), removed = File("removed.txt");
    {
        auto journal = OpenJournal();
        ASSERT_TRUE(journal);
        CUploadTracker tracker(true);
        tracker.SetJournal(journal.get());
        for (const auto& r : {queued, sending, sent, answered, confirmed, refused, cancelled, removed})
            tracker.Add(r);
        EXPECT_NE(queued->journalId, 0);
        EXPECT_NE(queued->journalId, sending->journalId);
        tracker.Sending(sending, kChannel);
        for (const auto& r : {sent, answered, confirmed, refused})
            SendWhole(tracker, r, kChannel);
        tracker.Apply(AnswerReport(kChannel, "up/answered.txt", 200));
        tracker.Apply(AnswerReport(kChannel, "up/confirmed.txt", 200));
        tracker.Apply(AnswerReport(kChannel, "up/refused.txt", 403));
        CSyncNoticeList notice = Notice("up/confirmed.txt", 200);
        tracker.ApplyNotices(notice);
        tracker.Sending(cancelled, kChannel);
        tracker.Apply(ChannelReport(kChannel, UE_CANCELLED, cancelled));
        tracker.Forget(removed.get());
        journal->Flush();
    }
    const std::map<std::string, int> expected = {
        {queued->localPath, static_cast<int>(UploadState::Waiting)},
        {sending->localPath, static_cast<int>(UploadState::Sending)},
        {sent->localPath, static_cast<int>(UploadState::Sent)},
        {answered->localPath, static_cast<int>(UploadState::Answered)},
        {refused->localPath, 100 + static_cast<int>(UploadFailure::Refused)},
    };
    EXPECT_EQ(States(), expected) << "confirmed, cancelled and removed entries leave; the rest keep their state";

    auto journal = OpenJournal();
    CJournalResume found = journal->LoadUnfinished();
    ASSERT_EQ(found.failed.size(), 1u);
    EXPECT_EQ(found.failed[0].status, 403);
    EXPECT_EQ(found.failed[0].remotePath, "up/refused.txt");
    for (const CJournalEntry& e : found.unfinished)
        if (e.localPath == sent->localPath) {
            EXPECT_EQ(e.stamp, StampOf(sent->localPath)) << "the stamp taken when the body started";
            EXPECT_EQ(e.size, sent->size);
            EXPECT_GT(e.queuedAtMs, 0);
        }
    journal->Forget(std::vector<int64_t>{found.failed[0].id});
    EXPECT_EQ(journal->LoadUnfinished().failed.size(), 0u);
    journal->ForgetAll();
    EXPECT_EQ(journal->LoadUnfinished().unfinished.size(), 0u);
}

TEST_F(UploadJournalTest, ABatchIsCommittedWholeOrNotAtAll)
{
    auto a = File("a.txt"), b = File("b.txt"), c = File("c.txt");
    // A child adds three files and dies before Flush: none of them is there. Then it adds them,
    // flushes, moves one on and dies again: the flushed batch is there, the rest is not.
    for (bool flush : {false, true}) {
        ASSERT_TRUE(KilledAfter(path, [&](CUploadJournal& journal) {
            journal.SetBatchLimits(1 << 30, 1 << 30);
            CUploadTracker tracker(false);
            tracker.SetJournal(&journal);
            for (const auto& r : {a, b, c})
                tracker.Add(std::make_shared<CUploadRequest>(*r));
            if (flush)
                journal.Flush();
        }));
        const std::map<std::string, int> states = States();
        if (!flush) {
            EXPECT_TRUE(states.empty()) << "an uncommitted batch was partly kept";
        } else {
            EXPECT_EQ(states.size(), 3u);
            for (const auto& [p, state] : states)
                EXPECT_EQ(state, static_cast<int>(UploadState::Waiting)) << p;
        }
    }
    // A batch is committed by the first change made 250 ms or more after it began, counted from
    // its beginning whatever the clock read then (zero, or a machine up for a long time): a
    // child killed after changes at +0, +249, +250 (committed with the two before) and +250
    // again (a new batch) leaves exactly three.
    for (const int64_t start : {int64_t{0}, int64_t{1} << 42}) {
        ASSERT_TRUE(KilledAfter(path, [&](CUploadJournal& journal) {
            journal.ForgetAll();
            journal.Flush();
            int64_t now = start;
            journal.SetClock([&now] { return now; });
            int i = 0;
            for (const int64_t at : {0, 249, 250, 250}) {
                now = start + at;
                CUploadRequest r = *a;
                r.remotePath += std::to_string(i++);
                journal.Queued(r);
            }
        }));
        EXPECT_EQ(OpenJournal()->LoadUnfinished().unfinished.size(), 3u) << "clock starting at " << start;
    }
    // A batch that reaches its size limit, 1,000 changes, is committed by the change that fills
    // it and not before: a child killed after 999 changes leaves none, after 1,000 all of them.
    for (const int changes : {999, 1000}) {
        ASSERT_TRUE(KilledAfter(path, [&](CUploadJournal& journal) {
            journal.ForgetAll();
            journal.Flush();
            journal.SetBatchLimits(CUploadJournal::kMaxBatch, 1 << 30);
            for (int i = 0; i < changes; ++i) {
                CUploadRequest r = *a;
                r.remotePath += std::to_string(i);
                journal.Queued(r);
            }
        }));
        EXPECT_EQ(OpenJournal()->LoadUnfinished().unfinished.size(), changes == 1000 ? 1000u : 0u) << changes;
    }
    auto journal = OpenJournal();
    journal->ForgetAll();
    journal->SetBatchLimits(4, 1 << 30);
    for (int i = 0; i < 10; ++i) {
        CUploadRequest r = *a;
        r.remotePath += std::to_string(i); // one entry per file and remote path
        journal->Queued(r);
    }
    journal.reset(); // the destructor commits the rest
    EXPECT_EQ(OpenJournal()->LoadUnfinished().unfinished.size(), 10u);
}

TEST_F(UploadJournalTest, TheFileIsTheOwnersAloneAndOneProcessHoldsIt)
{
    const mode_t old = ::umask(0);
    auto journal = OpenJournal();
    ::umask(old);
    ASSERT_TRUE(journal);
    struct stat st{};
    ASSERT_EQ(::stat(path.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
    ASSERT_EQ(::stat(fs::path(path).parent_path().c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0700u);
    auto r = File("x.txt");
    journal->Queued(*r);
    journal->Flush();
    if (::stat((path + "-wal").c_str(), &st) == 0) {
        EXPECT_EQ(st.st_mode & 0777, 0600u);
    }

    CUploadJournal::Opened second = CUploadJournal::Open(path);
    EXPECT_FALSE(second.journal) << "two holders of one journal";
    EXPECT_NE(second.error.find("in use"), std::string::npos) << second.error;
    EXPECT_TRUE(second.setAside.empty()) << "a journal in use was taken for a damaged one";
    journal.reset();
    EXPECT_EQ(States().size(), 1u);

    EXPECT_EQ(CUploadJournal::FileName("10.0.0.1", "set1", "demo"), CUploadJournal::FileName("10.0.0.1", "set1", "demo"));
    EXPECT_NE(CUploadJournal::FileName("10.0.0.1", "set1", "demo"), CUploadJournal::FileName("10.0.0.1", "set1d", "emo"));
    EXPECT_NE(CUploadJournal::FileName("10.0.0.1", "set1", "demo"), CUploadJournal::FileName("10.0.0.2", "set1", "demo"));
    EXPECT_EQ(CUploadJournal::PathFor("/data/cli/", "h", "s", "u"), "/data/cli/journal/" + CUploadJournal::FileName("h", "s", "u"));
}

TEST_F(UploadJournalTest, ANewerOrDamagedFileIsSetAsideAndANewJournalStarts)
{
    // Newer: a journal whose schema this version does not know.
    {
        auto journal = OpenJournal();
        auto r = File("kept.txt");
        journal->Queued(*r);
    }
    {
        sqlite3* db = nullptr;
        ASSERT_EQ(sqlite3_open(path.c_str(), &db), SQLITE_OK);
        ASSERT_EQ(sqlite3_exec(db, "PRAGMA user_version=99", nullptr, nullptr, nullptr), SQLITE_OK);
        sqlite3_close(db);
    }
    CUploadJournal::Opened newer = CUploadJournal::Open(path);
    ASSERT_TRUE(newer.journal) << newer.error;
    EXPECT_NE(newer.reason.find("newer"), std::string::npos) << newer.reason;
    EXPECT_NE(newer.setAside.find(".newer-"), std::string::npos) << newer.setAside;
    EXPECT_TRUE(fs::exists(newer.setAside)) << "the newer journal must be kept";
    EXPECT_TRUE(newer.journal->LoadUnfinished().unfinished.empty());
    newer.journal.reset();
    {
        sqlite3* db = nullptr;
        ASSERT_EQ(sqlite3_open(newer.setAside.c_str(), &db), SQLITE_OK);
        sqlite3_stmt* stmt = nullptr;
        ASSERT_EQ(sqlite3_prepare_v2(db, "SELECT count(*) FROM uploads", -1, &stmt, nullptr), SQLITE_OK);
        ASSERT_EQ(sqlite3_step(stmt), SQLITE_ROW);
        EXPECT_EQ(sqlite3_column_int(stmt, 0), 1) << "the set-aside file was changed";
        sqlite3_finalize(stmt);
        sqlite3_close(db);
    }
    fs::remove(newer.setAside);

    // Damaged: garbage, a file cut short, a database that is not a journal.
    const auto fill = [&](const std::function<void()>& damage, const char* what) {
        fs::remove(path);
        fs::remove(path + "-wal");
        damage();
        CUploadJournal::Opened opened = CUploadJournal::Open(path);
        ASSERT_TRUE(opened.journal) << what << ": " << opened.error;
        EXPECT_NE(opened.setAside.find(".damaged-"), std::string::npos) << what << ": " << opened.setAside;
        EXPECT_FALSE(opened.reason.empty()) << what;
        EXPECT_TRUE(fs::exists(opened.setAside)) << what;
        auto r = File("new.txt");
        opened.journal->Queued(*r); // the new one works
        opened.journal->Flush();
        EXPECT_TRUE(opened.journal->Healthy()) << what;
        opened.journal.reset();
        for (const fs::path& p : SetAside())
            fs::remove(p);
    };
    fill([&] { std::ofstream(path, std::ios::binary) << std::string(8192, '\x5a'); }, "garbage");
    fill(
        [&] {
            {
                auto journal = OpenJournal();
                for (int i = 0; i < 300; ++i) {
                    auto r = File("f" + std::to_string(i) + ".txt", std::string(200, 'x'));
                    journal->Queued(*r);
                }
            }
            // Pages past the first overwritten: the header is fine, the tree is not.
            std::fstream f(path, std::ios::in | std::ios::out | std::ios::binary);
            f.seekp(4096);
            f << std::string(3 * 4096, '\x01');
        },
        "overwritten pages");
    fill(
        [&] {
            sqlite3* db = nullptr;
            sqlite3_open(path.c_str(), &db);
            sqlite3_exec(db, "CREATE TABLE other (x)", nullptr, nullptr, nullptr);
            sqlite3_close(db);
        },
        "another program's database");
}

TEST_F(UploadJournalTest, AJournalThatCannotBeWrittenIsSaidAsSuchAndNeverSetAside)
{
    auto a = File("a.txt"), b = File("b.txt");
    {
        auto journal = OpenJournal();
        journal->Queued(*a);
        journal->Queued(*b);
    }
    const auto sizeBefore = fs::file_size(path);
    // Read-only: the disk, and (where the permission bits bind this process) the file's mode.
    std::vector<std::pair<const char*, std::function<void()>>> kinds = {{"read-only disk", [] { DiskFaults::readOnly = true; }}};
    if (::geteuid() != 0)
        kinds.push_back({"mode 0400", [&] { fs::permissions(path, fs::perms::owner_read, fs::perm_options::replace); }});
    for (const auto& [what, make] : kinds) {
        CUploadJournal::Opened opened;
        {
            DiskFaults faults;
            make();
            opened = CUploadJournal::Open(path);
        }
        fs::permissions(path, fs::perms::owner_read | fs::perms::owner_write, fs::perm_options::replace);
        EXPECT_FALSE(opened.journal) << what;
        EXPECT_TRUE(opened.cannotWrite) << what << ": " << opened.error;
        EXPECT_NE(opened.error.find(path), std::string::npos) << what << ": the message names the file";
        EXPECT_TRUE(opened.setAside.empty()) << what << ": set aside as " << opened.setAside;
        EXPECT_TRUE(SetAside().empty()) << what;
        EXPECT_EQ(States().size(), 2u) << what << ": the entries are all still there";
    }
    EXPECT_GE(fs::file_size(path), sizeBefore);

    // A disk that fills while the journal is written: told once, at that moment; what was
    // committed before stays; nothing more is written, whatever comes.
    std::vector<std::string> told;
    {
        auto journal = OpenJournal();
        journal->SetFailureListener([&](const std::string& why) { told.push_back(why); });
        DiskFaults faults;
        DiskFaults::budget = 0;
        for (int i = 0; i < 3; ++i) {
            auto r = File("full" + std::to_string(i) + ".txt");
            journal->Queued(*r);
            journal->Flush();
        }
        EXPECT_FALSE(journal->Healthy());
        EXPECT_EQ(told.size(), 1u);
    }
    ASSERT_EQ(told.size(), 1u);
    EXPECT_NE(told[0].find("commit"), std::string::npos) << told[0];
    EXPECT_EQ(States().size(), 2u);
}

// ---- the queue's backlog: waiting files kept in the journal --------------------------------

TEST_F(UploadJournalTest, TheBacklogGivesItsFilesBackInTheirOrderWithoutHoldingThem)
{
    std::unique_ptr<CUploadJournal> journal;
    auto names = [](const std::vector<std::shared_ptr<CUploadRequest>>& taken) {
        std::string out;
        for (const auto& r : taken)
            out += (out.empty() ? "" : " ") + fs::path(r->localPath).filename().string();
        return out;
    };
    auto queued = [&](const std::string& name) {
        auto r = File(name);
        journal->Queued(*r);
        return r;
    };
    // An earlier run's entries, ids 1 to 4: one answered, one failed, two to send again.
    journal = OpenJournal();
    ASSERT_TRUE(journal);
    auto e1 = queued("e1"), e2 = queued("e2"), e3 = queued("e3"), e4 = queued("e4");
    journal->Answered(*e2);
    journal->Settled(*e3, UploadState::Failed, UploadFailure::Refused, 500);
    journal.reset();
    journal = OpenJournal();
    ASSERT_TRUE(journal);
    // This run's: consecutive ids, one the expansion could not read, one the journal never had.
    auto a = queued("a"), b = queued("b"), c = queued("c"), unread = queued("unread"), d = queued("d");
    unread->readError = EACCES;
    auto loose = File("loose");
    CUploadBacklog backlog;
    backlog.SetJournal(journal.get());
    backlog.Keep({a, b, c, unread, d, loose});
    // The failed one sent again takes its entry over, under a new id: it leaves the resume's range.
    e3->journalId = 0;
    journal->Queued(*e3);
    ASSERT_EQ(e3->journalId, 10);
    backlog.Keep({e3});
    backlog.KeepFirst(0, 4, {2, 14}); // e1 and e4 (7 bytes each); e2 answered, e3 taken over
    EXPECT_EQ(backlog.Kept().files, 9);
    EXPECT_EQ(backlog.InMemory(), 2u) << "only what the journal cannot give back";
    a.reset(), b.reset(), c.reset(), d.reset();

    const struct {
        size_t take;
        const char* expected;
    } steps[] = {
        {1, "e1"},     // the resume's range first; e2 (answered) and e3 (failed, then taken over) are not in it
        {2, "e4 a"},   // across the end of a range
        {2, "b c"},
        {1, "unread"}, // held, in its place
        {2, "d loose"},
        {5, "e3"},
        {5, ""},
    };
    for (const auto& step : steps)
        EXPECT_EQ(names(backlog.Take(step.take)), step.expected) << "take " << step.take;
    EXPECT_TRUE(backlog.Empty());
    EXPECT_EQ(backlog.TakeLost().files, 0);

    // Thousands kept: none in memory until taken, then one read batch at most.
    std::vector<std::shared_ptr<CUploadRequest>> many;
    for (int i = 0; i < 3000; ++i)
        many.push_back(queued("m" + std::to_string(i)));
    const int64_t firstId = many.front()->journalId;
    std::weak_ptr<CUploadRequest> watched = many[1500];
    backlog.Keep(std::move(many));
    EXPECT_TRUE(watched.expired()) << "a kept request leaves memory";
    EXPECT_EQ(backlog.InMemory(), 0u);
    EXPECT_EQ(names(backlog.Take(2)), "m0 m1");
    EXPECT_LE(backlog.InMemory(), CUploadBacklog::kReadBatch);
    EXPECT_EQ(backlog.Take(1).front()->journalId, firstId + 2);
    // A cancel: the rest leave the journal, and the totals say how many.
    const CUploadBacklog::Totals dropped = backlog.Clear(true);
    EXPECT_EQ(dropped.files, 2997);
    EXPECT_EQ(dropped.size, 2997 * 7);
    EXPECT_TRUE(backlog.Empty());
    journal->Flush();
    std::vector<std::shared_ptr<CUploadRequest>> left;
    int64_t after = firstId + 2;
    ASSERT_TRUE(journal->LoadWaiting(after, firstId + 2999, 10, left));
    EXPECT_TRUE(left.empty());
    EXPECT_EQ(after, firstId + 2999);

    // A journal that lost its reader: the range is given up and counted, the held ones still come.
    backlog.Keep({queued("x1"), queued("x2")});
    backlog.Keep({File("held")});
    backlog.SetJournal(nullptr);
    EXPECT_EQ(names(backlog.Take(5)), "held");
    EXPECT_EQ(backlog.TakeLost().files, 2);
    backlog.SetJournal(journal.get());

    // A disk that fills: the commit before letting go fails, so everything is held as it is.
    {
        DiskFaults faults;
        DiskFaults::budget = 0;
        std::vector<std::shared_ptr<CUploadRequest>> full;
        for (int i = 0; i < 3; ++i)
            full.push_back(queued("f" + std::to_string(i)));
        backlog.Keep(std::move(full));
        EXPECT_FALSE(journal->Healthy());
        EXPECT_EQ(backlog.InMemory(), 3u);
        EXPECT_EQ(names(backlog.Take(5)), "f0 f1 f2");
    }
}

// ---- one entry per file, paths, moved files ----------------------------------------------

TEST_F(UploadJournalTest, OneEntryPerFileWithAbsolutePathsAndMovedFilesCountAsDone)
{
    // A relative path is kept absolute, against the folder the upload started in.
    const fs::path before = fs::current_path();
    fs::current_path(dir / "local");
    auto rel = File("rel.txt");
    rel->localPath = "./sub/../rel.txt";
    {
        auto journal = OpenJournal();
        journal->Queued(*rel);
        EXPECT_EQ(rel->localPath, (dir / "local" / "rel.txt").string());
    }
    fs::current_path(dir);
    EXPECT_EQ(States().count((dir / "local" / "rel.txt").string()), 1u) << "resumed from another folder";
    fs::current_path(before);

    // The same file put twice by two runs: one entry, taken over (with a new id) by the second.
    auto a = File("a.txt");
    int64_t firstId = 0;
    {
        auto journal = OpenJournal();
        CUploadRequest r = *a;
        journal->Queued(r);
        firstId = r.journalId;
        CUploadRequest again = *a; // a second upload in the same run keeps its own entry
        journal->Queued(again);
        EXPECT_NE(again.journalId, r.journalId);
        journal->Forget(again.journalId);
    }
    {
        auto journal = OpenJournal();
        CUploadRequest r = *a;
        r.moveFolder = (dir / "moved").string();
        journal->Queued(r);
        EXPECT_GT(r.journalId, firstId);
        CJournalResume found = journal->LoadUnfinished();
        EXPECT_EQ(std::count_if(found.unfinished.begin(), found.unfinished.end(),
                                [&](const CJournalEntry& e) { return e.localPath == a->localPath; }),
                  1);
        // A failure of this run is taken over by the file's next upload (a resend).
        CUploadRequest failed = *a;
        failed.remotePath = "up/other.txt";
        journal->Queued(failed);
        journal->Settled(failed, UploadState::Failed, UploadFailure::Refused, 500);
        CUploadRequest resend = *a;
        resend.remotePath = "up/other.txt";
        journal->Queued(resend);
        EXPECT_NE(resend.journalId, failed.journalId);
        found = journal->LoadUnfinished();
        EXPECT_TRUE(found.failed.empty()) << "the resend took the failure's entry over";
        journal->ForgetAll();
    }
    // Copies left by an older version (one entry per put): the newest counts, the rest leave.
    {
        auto journal = OpenJournal();
        CUploadRequest r = *a;
        journal->Queued(r);
    }
    {
        sqlite3* db = nullptr;
        ASSERT_EQ(sqlite3_open(path.c_str(), &db), SQLITE_OK);
        ASSERT_EQ(sqlite3_exec(db,
                               "INSERT INTO uploads (local_path, remote_path, move_folder, size, state, queued_at, "
                               "changed_at) SELECT local_path, remote_path, move_folder, size, 3, 1, 1 FROM uploads",
                               nullptr, nullptr, nullptr),
                  SQLITE_OK);
        sqlite3_close(db);
        auto journal = OpenJournal();
        EXPECT_EQ(journal->CountUnfinishedFiles(), 2);
        ASSERT_TRUE(journal->DropCopies());
        EXPECT_EQ(journal->CountUnfinishedFiles(), 1) << "the copy is found before the window's question counts";
        CJournalResume found = journal->LoadUnfinished();
        ASSERT_EQ(found.unfinished.size(), 1u);
        EXPECT_EQ(found.unfinished[0].state, UploadState::Answered) << "the newest of the two";
        EXPECT_EQ(journal->LoadUnfinished().unfinished.size(), 1u);
        journal->ForgetAll();
    }

    // Moved away once confirmed, the run ending before the entry left: done, wherever the move
    // put it (its own name, or the next free one; renamed on one volume, copied to another or
    // through a bind mount of the same one), and never a file that merely has the name.
    enum Where { SameVolume, OtherVolume, BindMount };
    struct Case {
        const char* name;
        int takenBefore; // names the move found taken: target, target_[1], ...
        bool moved;      // else the same bytes appear under the name and the file goes
        Where where;
    };
    const std::vector<Case> cases = {{"m0.bin", 0, true, SameVolume},  {"m1.bin", 2, true, SameVolume},
                                     {"m2.bin", 1, false, SameVolume}, {"m3.bin", 1, true, OtherVolume},
                                     {"m4.bin", 0, false, OtherVolume}, {"m5.bin", 0, true, BindMount},
                                     {"m6.bin", 0, false, BindMount}};
    const fs::path other = fs::path("/dev/shm") / ("talvex-journal-" + std::to_string(::getpid()));
    const fs::path mounted = dir / "bound";
    struct Unmount {
        fs::path at, other;
        ~Unmount()
        {
            ::umount2(at.c_str(), MNT_DETACH);
            std::error_code ec;
            fs::remove_all(other, ec);
        }
    } unmount{mounted, other};
    fs::create_directories(other / "moved" / "up");
    fs::create_directories(dir / "bind-source" / "up");
    fs::create_directories(mounted);
    struct stat here{}, there{};
    ASSERT_EQ(::stat(dir.c_str(), &here), 0);
    ASSERT_EQ(::stat(other.c_str(), &there), 0);
    ASSERT_NE(here.st_dev, there.st_dev) << "/dev/shm is the other volume";
    // A bind mount needs the right to mount: without it, those rows are left out.
    const bool bound = ::mount((dir / "bind-source").c_str(), mounted.c_str(), nullptr, MS_BIND, nullptr) == 0;
    const std::map<Where, fs::path> moveFolders = {
        {SameVolume, dir / "moved"}, {OtherVolume, other / "moved"}, {BindMount, mounted}};
    fs::create_directories(dir / "moved" / "up");
    std::map<std::string, std::string> expected; // local -> where it went ("" failed)
    {
        auto journal = OpenJournal();
        CUploadTracker tracker(true);
        tracker.SetJournal(journal.get());
        for (const Case& c : cases) {
            if (c.where == BindMount && !bound)
                continue;
            const fs::path moveFolder = moveFolders.at(c.where);
            auto r = File(c.name, std::string(300, c.name[1]));
            r->moveFolder = moveFolder.string();
            for (int n = 0; n < c.takenBefore; ++n)
                std::ofstream(SuffixedName((moveFolder / "up" / c.name).string(), n)) << "someone else's " << n;
            tracker.Add(r);
            SendWhole(tracker, r, kChannel);
            tracker.Apply(AnswerReport(kChannel, r->remotePath, 200));
            journal->Flush();
            const std::string target = SuffixedName((moveFolder / "up" / c.name).string(), c.takenBefore);
            if (c.moved) {
                std::string why;
                ASSERT_EQ(MoveAfterUpload(r->localPath, moveFolder.string(), r->remotePath, &why), target) << why;
                struct stat st{};
                ASSERT_EQ(::stat(target.c_str(), &st), 0);
                EXPECT_EQ(st.st_ino == r->stamp.inode, c.where == SameVolume) << "renamed on one volume, else copied";
                expected[r->localPath] = target;
            } else {
                // The same bytes under the name, but not this file: the file itself is gone. On
                // one mount even its time is the file's; elsewhere only the time tells.
                std::ofstream(target, std::ios::binary) << std::string(300, c.name[1]);
                const int64_t mtime = r->stamp.mtimeNs + (c.where == SameVolume ? 0 : 1000000000);
                const struct timespec times[2] = {{0, UTIME_OMIT}, {mtime / 1000000000, mtime % 1000000000}};
                ASSERT_EQ(::utimensat(AT_FDCWD, target.c_str(), times, 0), 0);
                fs::remove(r->localPath);
                expected[r->localPath] = "";
            }
        }
    }
    auto journal = OpenJournal();
    CJournalResume found = journal->LoadUnfinished();
    EXPECT_TRUE(found.unfinished.empty());
    std::map<std::string, std::string> got;
    for (const auto& m : found.moved)
        got[m.entry.localPath] = m.movedTo;
    for (const CJournalEntry& e : found.failed) {
        EXPECT_EQ(e.failure, UploadFailure::ReadError);
        EXPECT_EQ(e.status, ENOENT);
        got[e.localPath] = "";
    }
    EXPECT_EQ(got, expected);
    found = journal->LoadUnfinished();
    EXPECT_TRUE(found.moved.empty() && found.unfinished.empty()) << "moved entries leave the journal";
}

TEST_F(UploadJournalTest, RowsThatCannotBeProvenAreFailedAndNeverResumed)
{
    auto good = File("good.txt");
    {
        auto journal = OpenJournal();
        journal->Queued(*good);
    }
    const std::string huge(70000, 'h');
    const std::vector<std::pair<const char*, std::string>> rows = {
        {"relative path", "'rel/a.txt', 'up/a.txt', '', 7, 0"},
        {"empty remote", "'/tmp/x.txt', '', '', 7, 0"},
        {"null texts", "NULL, NULL, NULL, NULL, NULL"},
        {"unknown state", "'/tmp/y.txt', 'up/y.txt', '', 7, 4"},
        {"negative state", "'/tmp/z.txt', 'up/z.txt', '', 7, -3"},
        {"state as text", "'/tmp/w.txt', 'up/w.txt', '', 7, 'sent'"},
        {"huge path", "'/" + huge + "', 'up/h.txt', '', 7, 0"},
        {"relative move folder", "'/tmp/v.txt', 'up/v.txt', 'moved', 7, 0"},
        {"failure out of range", "'/tmp/u.txt', 'up/u.txt', '', 7, 5"},
    };
    {
        sqlite3* db = nullptr;
        ASSERT_EQ(sqlite3_open(path.c_str(), &db), SQLITE_OK);
        // The table's NOT NULL constraints stand in the way of what a damaged file may hold.
        ASSERT_EQ(sqlite3_exec(db, "PRAGMA ignore_check_constraints=ON; PRAGMA writable_schema=OFF", nullptr, nullptr, nullptr),
                  SQLITE_OK);
        for (const auto& [what, values] : rows) {
            const std::string sql = "INSERT INTO uploads (local_path, remote_path, move_folder, size, state, failure, "
                                    "queued_at, changed_at) VALUES (" + values + ", 99, 0, 0)";
            if (sqlite3_exec(db, sql.c_str(), nullptr, nullptr, nullptr) != SQLITE_OK) {
                // NULLs into NOT NULL columns: typed the other way round instead.
                const std::string typed = "INSERT INTO uploads (local_path, remote_path, move_folder, size, state, "
                                          "failure, queued_at, changed_at) VALUES (x'00', 3.5, x'', 'big', 2, 99, 0, 0)";
                ASSERT_EQ(sqlite3_exec(db, typed.c_str(), nullptr, nullptr, nullptr), SQLITE_OK) << what;
            }
        }
        sqlite3_close(db);
    }
    auto journal = OpenJournal();
    CJournalResume found = journal->LoadUnfinished();
    ASSERT_EQ(found.unfinished.size(), 1u) << "only the entry this version wrote is resumed";
    EXPECT_EQ(found.unfinished[0].localPath, good->localPath);
    EXPECT_EQ(found.failed.size(), rows.size());
    for (const CJournalEntry& e : found.failed)
        EXPECT_NE(e.failure, UploadFailure::None);
    EXPECT_EQ(journal->LoadUnfinished().failed.size(), rows.size()) << "told as failed, kept until forgotten";
}

// Rows with every part: the columns a write leaves, and a row written by hand read back field
// by field (the journal's layout, pinned both ways).
TEST_F(UploadJournalTest, ARowWithEveryPartIsWrittenAndReadAsItsColumnsSay)
{
    auto sent = File("사진 Ä.bin", "every part");
    sent->moveFolder = "/m/옮김";
    auto answeredLater = File("later.bin", "later");
    auto refused = File("refused.bin", "no");
    {
        auto journal = OpenJournal();
        CUploadTracker tracker(true);
        tracker.SetJournal(journal.get());
        tracker.Add(sent);
        SendWhole(tracker, sent, kChannel);
        // Changes of one batch written together: a later change without a stamp keeps the one
        // the body's start gave, and so does a failure.
        tracker.Add(answeredLater);
        SendWhole(tracker, answeredLater, kChannel);
        journal->Answered(*answeredLater);
        tracker.Add(refused);
        SendWhole(tracker, refused, kChannel);
        journal->Settled(*refused, UploadState::Failed, UploadFailure::Refused, 500);
        journal->Flush();
    }
    const CFileStamp stamp = StampOf(sent->localPath);
    const auto stampText = [](const CFileStamp& s) {
        return std::to_string(s.size) + "|" + std::to_string(s.mtimeNs) + "|" + std::to_string(s.inode) + "|" +
               std::to_string(s.device);
    };
    sqlite3* db = nullptr;
    ASSERT_EQ(sqlite3_open(path.c_str(), &db), SQLITE_OK);
    std::vector<std::string> rows;
    const auto collect = [](void* out, int n, char** values, char**) {
        std::string row;
        for (int i = 0; i < n; ++i)
            row += (i ? "|" : "") + std::string(values[i] ? values[i] : "NULL");
        static_cast<std::vector<std::string>*>(out)->push_back(row);
        return 0;
    };
    ASSERT_EQ(sqlite3_exec(db, "SELECT local_path, remote_path, move_folder, size, stamp_size, stamp_mtime_ns, stamp_inode, "
                               "stamp_device, state, failure, status, queued_at > 0, changed_at >= queued_at FROM uploads "
                               "ORDER BY id",
                           collect, &rows, nullptr),
              SQLITE_OK);
    EXPECT_EQ(rows, (std::vector<std::string>{
                        sent->localPath + "|up/사진 Ä.bin|/m/옮김|10|10|" + std::to_string(stamp.mtimeNs) + "|" +
                            std::to_string(stamp.inode) + "|" + std::to_string(stamp.device) + "|2|0|0|1|1",
                        answeredLater->localPath + "|up/later.bin||5|" + stampText(StampOf(answeredLater->localPath)) + "|3|0|0|1|1",
                        refused->localPath + "|up/refused.bin||2|" + stampText(StampOf(refused->localPath)) + "|5|4|500|1|1"}));

    // By hand: answered, with a stamp that is the file's; failed, with its reason and status.
    const auto answered = File("읽기 B.bin", "answer");
    const CFileStamp b = StampOf(answered->localPath);
    const std::string insert =
        "DELETE FROM uploads; INSERT INTO uploads VALUES (500, '" + answered->localPath + "', 'up/읽기 B.bin', '/m/b', 6, 6, " +
        std::to_string(b.mtimeNs) + ", " + std::to_string(b.inode) + ", " + std::to_string(b.device) +
        ", 3, 0, 0, 1700000000000, 1700000000123); INSERT INTO uploads VALUES (501, '/gone/c.bin', 'up/c.bin', '', 9, -1, 0, 0, 0, "
        "5, 4, 507, 1700000000001, 1700000000200);";
    ASSERT_EQ(sqlite3_exec(db, insert.c_str(), nullptr, nullptr, nullptr), SQLITE_OK);
    sqlite3_close(db);
    CJournalResume found = OpenJournal()->LoadUnfinished();
    ASSERT_EQ(found.unfinished.size(), 1u);
    const CJournalEntry& a = found.unfinished[0];
    EXPECT_EQ(a.id, 500);
    EXPECT_EQ(a.localPath, answered->localPath);
    EXPECT_EQ(a.remotePath, "up/읽기 B.bin");
    EXPECT_EQ(a.moveFolder, "/m/b");
    EXPECT_EQ(a.size, 6);
    EXPECT_EQ(a.stamp, b);
    EXPECT_EQ(a.state, UploadState::Answered);
    EXPECT_EQ(a.queuedAtMs, 1700000000000);
    EXPECT_EQ(a.changedAtMs, 1700000000123);
    ASSERT_EQ(found.failed.size(), 1u);
    const CJournalEntry& f = found.failed[0];
    EXPECT_EQ(f.id, 501);
    EXPECT_EQ(f.remotePath, "up/c.bin");
    EXPECT_EQ(f.size, 9);
    EXPECT_EQ(f.failure, UploadFailure::Refused);
    EXPECT_EQ(f.status, 507);
    EXPECT_EQ(f.queuedAtMs, 1700000000001);
    EXPECT_EQ(f.changedAtMs, 1700000000200);
}

// ---- resume --------------------------------------------------------------------------------

TEST_F(UploadJournalTest, ResumeFailsFilesThatAreGoneOrChangedAndKeepsTheRest)
{
    auto same = File("same.txt", "unchanged"), grown = File("grown.txt", "short");
    auto touched = File("touched.txt", "same size"), gone = File("gone.txt", "soon gone");
    auto answered = File("answered.txt", "answered"), queuedGrown = File("queued-grown.txt", "q");
    auto replaced = File("replaced.txt", "replaced");
    // Grown after it was queued and before its body started: sent as it was then, its entry
    // takes the size sent, and nothing changed since: not a change.
    auto grewBeforeTurn = File("grew-before-turn.txt", "short");
    // Folders and files trade places: a folder entry is a folder still, or a file now; a file
    // entry a folder now.
    auto folder = [&](const std::string& name) {
        fs::create_directories(dir / "local" / name);
        auto r = std::make_shared<CUploadRequest>();
        r->localPath = (dir / "local" / name).string();
        r->remotePath = "up/" + name + "/";
        r->size = -1;
        return r;
    };
    auto keptFolder = folder("kept"), folderNowFile = folder("folder-now-file");
    auto fileNowFolder = File("file-now-folder");
    {
        auto journal = OpenJournal();
        CUploadTracker tracker(true);
        tracker.SetJournal(journal.get());
        for (const auto& r : {same, grown, touched, gone, answered, queuedGrown, replaced, grewBeforeTurn, keptFolder,
                              folderNowFile, fileNowFolder})
            tracker.Add(r);
        std::ofstream(grewBeforeTurn->localPath, std::ios::app) << " and longer";
        for (const auto& r : {same, grown, touched, gone, answered, replaced, grewBeforeTurn})
            SendWhole(tracker, r, kChannel);
        tracker.Apply(AnswerReport(kChannel, "up/same.txt", 200));
        tracker.Apply(AnswerReport(kChannel, "up/grown.txt", 200));
        tracker.Apply(AnswerReport(kChannel, "up/touched.txt", 200));
        tracker.Apply(AnswerReport(kChannel, "up/gone.txt", 200));
        tracker.Apply(AnswerReport(kChannel, "up/answered.txt", 200));
        tracker.Apply(AnswerReport(kChannel, "up/grew-before-turn.txt", 200));
    }
    std::ofstream(grown->localPath, std::ios::app) << " and longer";
    std::ofstream(queuedGrown->localPath, std::ios::app) << "q";
    struct timespec times[2] = {{0, UTIME_OMIT}, {12345, 0}};
    ASSERT_EQ(::utimensat(AT_FDCWD, touched->localPath.c_str(), times, 0), 0);
    fs::remove(gone->localPath);
    fs::remove(replaced->localPath); // a new file of the same size under the same name
    std::ofstream(dir / "local" / "placeholder") << "x"; // keeps the old inode from being reused at once
    std::ofstream(replaced->localPath, std::ios::binary) << "replaced";
    fs::remove(folderNowFile->localPath);
    std::ofstream(folderNowFile->localPath) << "a file now";
    fs::remove(fileNowFolder->localPath);
    fs::create_directories(fileNowFolder->localPath);

    auto journal = OpenJournal();
    CJournalResume found = journal->LoadUnfinished();
    std::map<std::string, const CJournalEntry*> failed, unfinished;
    for (const auto& e : found.failed)
        failed[e.localPath] = &e;
    for (const auto& e : found.unfinished)
        unfinished[e.localPath] = &e;
    ASSERT_EQ(unfinished.size(), 4u);
    EXPECT_EQ(unfinished.at(keptFolder->localPath)->state, UploadState::Waiting);
    EXPECT_EQ(unfinished.at(grewBeforeTurn->localPath)->state, UploadState::Answered);
    EXPECT_EQ(unfinished.at(grewBeforeTurn->localPath)->size, 16);
    EXPECT_EQ(unfinished.at(same->localPath)->state, UploadState::Answered);
    EXPECT_EQ(unfinished.at(answered->localPath)->state, UploadState::Answered);
    ASSERT_EQ(failed.size(), 7u);
    for (const auto& [r, status] : {std::pair{folderNowFile, ENOTDIR}, std::pair{fileNowFolder, EISDIR}}) {
        EXPECT_EQ(failed.at(r->localPath)->failure, UploadFailure::ReadError) << r->localPath;
        EXPECT_EQ(failed.at(r->localPath)->status, status) << r->localPath;
    }
    EXPECT_EQ(failed.at(grown->localPath)->failure, UploadFailure::Changed);
    EXPECT_EQ(failed.at(touched->localPath)->failure, UploadFailure::Changed);
    EXPECT_EQ(failed.at(queuedGrown->localPath)->failure, UploadFailure::Changed) << "no stamp: the size decides";
    EXPECT_EQ(failed.at(replaced->localPath)->failure, UploadFailure::Changed) << "another file under the same name";
    EXPECT_EQ(failed.at(gone->localPath)->failure, UploadFailure::ReadError);
    EXPECT_EQ(failed.at(gone->localPath)->status, ENOENT);
    // What resume decided is kept: the next look finds the same failures.
    journal.reset();
    EXPECT_EQ(OpenJournal()->LoadUnfinished().failed.size(), 7u);
}

TEST(UploadTrackerResume, AnAnsweredEntryWaitsForItsNoticeAndItsDeadline)
{
    for (const int64_t start : {int64_t{0}, int64_t{1} << 42}) {
        SCOPED_TRACE("clock starting at " + std::to_string(start));
        int64_t now = start;
        std::vector<CUploadItem> settled;
        CUploadTracker tracker(true, [&](const CUploadItem& item) { settled.push_back(item); }, [&] { return now; });
        auto a = std::make_shared<CUploadRequest>();
        a->localPath = "/nonexistent/a";
        a->remotePath = "r/a.txt";
        auto b = std::make_shared<CUploadRequest>(*a);
        b->remotePath = "r/b.txt";
        tracker.AddAnswered(a);
        tracker.AddAnswered(b);
        EXPECT_EQ(tracker.AwaitingNotices(), 2u);
        EXPECT_TRUE(tracker.PathBusy("/R/A.TXT")) << "another upload of the path must wait for this one";
        CSyncNoticeList notice = Notice("r/a.txt", 200);
        tracker.ApplyNotices(notice);
        tracker.NoticesAsked();
        ASSERT_EQ(settled.size(), 1u);
        EXPECT_EQ(settled[0].state, UploadState::Confirmed);
        now += 4999;
        tracker.NoticesAsked();
        tracker.Expire({0, 5000});
        EXPECT_EQ(settled.size(), 1u) << "a millisecond early";
        now += 1;
        tracker.NoticesAsked();
        tracker.Expire({0, 5000});
        ASSERT_EQ(settled.size(), 2u);
        EXPECT_EQ(settled[1].failure, UploadFailure::TimedOut);
        EXPECT_EQ(tracker.Unsettled(), 0u);
    }

    // Without confirmation by notice the answer was the confirmation.
    CUploadTracker plain(false);
    auto a = std::make_shared<CUploadRequest>();
    a->remotePath = "r/a.txt";
    plain.AddAnswered(a);
    EXPECT_EQ(plain.Confirmed(), 1u);
    EXPECT_EQ(plain.Unsettled(), 0u);
}

TEST(UploadTrackerResend, FilesSentWholeOnALostChannelGoBackOnceInTheirOrder)
{
    std::vector<CUploadItem> settled;
    CUploadTracker tracker(false, [&](const CUploadItem& item) { settled.push_back(item); });
    std::vector<std::shared_ptr<CUploadRequest>> files;
    for (const char* name : {"m0", "m1", "m2", "m3"}) {
        auto r = std::make_shared<CUploadRequest>();
        r->localPath = std::string("/nonexistent/") + name;
        r->remotePath = std::string("many/") + name;
        files.push_back(r);
        tracker.Add(r);
    }
    // m3 and m1 share no path: sent in the order m3, m1, m2 to show the order is the queue's.
    for (int i : {0, 3, 1, 2})
        SendWhole(tracker, files[i], kChannel);
    tracker.Apply(AnswerReport(kChannel, "many/m0", 200));
    tracker.Apply(ChannelReport(kChannel, UE_RESET));
    EXPECT_EQ(tracker.Failed(), 0u) << "files the server never kept were failed";
    std::vector<std::shared_ptr<CUploadRequest>> again = tracker.TakeResends();
    ASSERT_EQ(again.size(), 3u);
    EXPECT_EQ(again[0], files[1]);
    EXPECT_EQ(again[1], files[2]);
    EXPECT_EQ(again[2], files[3]);
    EXPECT_TRUE(tracker.TakeResends().empty()) << "handed out twice";
    EXPECT_FALSE(tracker.PathBusy("many/m1")) << "a waiting file holds its path";

    // Lost a second time: now they fail.
    for (const auto& r : again)
        SendWhole(tracker, r, kChannel + 1);
    tracker.Apply(ChannelReport(kChannel + 1, UE_RESET));
    EXPECT_EQ(tracker.Failed(), 3u);
    EXPECT_TRUE(tracker.TakeResends().empty());

    // A whole reconnection sends again whatever was in flight, whatever the limit.
    auto late = std::make_shared<CUploadRequest>(*files[0]);
    late->remotePath = "many/late";
    tracker.Add(late);
    SendWhole(tracker, late, kChannel + 2);
    tracker.Apply(ChannelReport(kChannel + 2, UE_RESET));
    SendWhole(tracker, tracker.TakeResends().at(0), kChannel + 3);
    tracker.RequeueInFlight();
    EXPECT_EQ(tracker.TakeResends().size(), 1u);
    EXPECT_EQ(tracker.Failed(), 3u);
}

// ---- killed at any moment ----------------------------------------------------------------

namespace {

// A journal that only remembers, committed or not, each entry's state by local path.
class ModelJournal : public IUploadJournal {
public:
    void Queued(CUploadRequest& r) override
    {
        if (r.journalId == 0) {
            r.journalId = ++m_lastId;
            m_paths[r.journalId] = r.localPath;
        }
        m_work[m_paths[r.journalId]] = static_cast<int>(UploadState::Waiting);
    }
    void Sending(const CUploadRequest& r) override { Set(r, static_cast<int>(UploadState::Sending)); }
    void Sent(const CUploadRequest& r) override { Set(r, static_cast<int>(UploadState::Sent)); }
    void Answered(const CUploadRequest& r) override { Set(r, static_cast<int>(UploadState::Answered)); }
    void Settled(const CUploadRequest& r, UploadState state, UploadFailure why, int32_t) override
    {
        if (state == UploadState::Failed && why != UploadFailure::Cancelled)
            Set(r, 100 + static_cast<int>(why));
        else
            Forget(r.journalId);
    }
    void Forget(int64_t id) override { m_work.erase(m_paths[id]); }
    void Flush() override { m_committed = m_work; }
    const std::map<std::string, int>& Committed() const { return m_committed; }

private:
    void Set(const CUploadRequest& r, int state) { m_work[m_paths[r.journalId]] = state; }
    int64_t m_lastId = 0;
    std::map<int64_t, std::string> m_paths;
    std::map<std::string, int> m_work, m_committed;
};

// One upload run, step by step, the same every time: sends, answers (some refused), notices
// (some failing, some never coming), lost channels whose files go again. Each step ends with
// a Flush, then `after(step)`.
// Every third file has a move folder: once confirmed it is moved there.
void PlayRun(IUploadJournal& journal, const std::vector<std::string>& locals, const std::string& moveFolder,
             const std::function<void(int)>& after)
{
    CUploadTracker tracker(true);
    tracker.SetJournal(&journal);
    std::vector<std::shared_ptr<CUploadRequest>> files;
    for (const std::string& local : locals) {
        auto r = std::make_shared<CUploadRequest>();
        r->localPath = local;
        r->remotePath = "kill/" + fs::path(local).filename().string();
        r->size = StampOf(local).size;
        if (files.size() % 3 == 0)
            r->moveFolder = moveFolder;
        files.push_back(r);
        tracker.Add(r);
    }
    int step = 0;
    auto endStep = [&] {
        journal.Flush();
        after(step++);
    };
    endStep();
    uint32_t channel = kChannel;
    std::vector<std::shared_ptr<CUploadRequest>> onChannel; // sent, not answered
    auto answerAll = [&] {
        for (const auto& r : onChannel) {
            const size_t n = static_cast<size_t>(std::stoi(fs::path(r->localPath).stem().string().substr(1)));
            tracker.Apply(AnswerReport(channel, r->remotePath, n % 7 == 3 ? 500 : 200));
        }
        onChannel.clear();
    };
    for (size_t i = 0; i < files.size(); ++i) {
        SendWhole(tracker, files[i], channel);
        onChannel.push_back(files[i]);
        endStep();
        if (i % 3 == 2) {
            answerAll();
            endStep();
        }
        if (i % 5 == 4) {
            for (size_t k = 0; k <= i; ++k)
                if (k % 4 != 1) { // those never get a notice in this run
                    CSyncNoticeList n = Notice(files[k]->remotePath, k % 11 == 5 ? 500 : 200);
                    tracker.ApplyNotices(n);
                }
            endStep();
        }
        if (i % 8 == 7) {
            tracker.Apply(ChannelReport(channel, UE_RESET));
            onChannel.clear();
            ++channel;
            endStep();
            for (const auto& r : tracker.TakeResends()) {
                SendWhole(tracker, r, channel);
                onChannel.push_back(r);
            }
            endStep();
        }
    }
    answerAll();
    endStep();
}

// The moves of a confirmed file are counted; the one numbered `dieAfter` kills the process
// right after the rename, before the entry's removal is committed.
struct MoveKiller {
    static inline int renames = 0;
    static inline int dieAfter = 0;
    static int Rename(const char* from, const char* to)
    {
        const int rc = ::renameat2(AT_FDCWD, from, AT_FDCWD, to, RENAME_NOREPLACE);
        if (rc == 0 && ++renames == dieAfter)
            ::raise(SIGKILL);
        return rc;
    }
};

} // namespace

TEST_F(UploadJournalTest, AKillAtAnyMomentLeavesAJournalThatResumesExactlyTheUnfinishedFiles)
{
    const std::string moveFolder = (dir / "moved").string();
    std::vector<std::string> locals;
    // Every run moves files away: each starts from the same files again.
    auto resetFiles = [&] {
        fs::remove_all(moveFolder);
        locals.clear();
        for (int i = 0; i < 40; ++i)
            locals.push_back(File("f" + std::to_string(i) + ".bin", std::string(100 + i, 'k'))->localPath);
    };
    resetFiles();
    SetRenameNoReplaceCallForTesting(&MoveKiller::Rename);
    struct Restore {
        ~Restore() { SetRenameNoReplaceCallForTesting(nullptr); }
    } restore;

    // The states the journal passes through, one per step, and how many files the run moves.
    std::vector<std::map<std::string, int>> model;
    MoveKiller::renames = 0;
    MoveKiller::dieAfter = 0;
    {
        ModelJournal journal;
        PlayRun(journal, locals, moveFolder, [&](int) { model.push_back(journal.Committed()); });
    }
    const int moves = MoveKiller::renames;
    ASSERT_GE(moves, 5) << "the run must move files";
    resetFiles();
    const int steps = static_cast<int>(model.size());
    ASSERT_GT(steps, 60);
    ASSERT_FALSE(model.back().empty()) << "the run must leave files unfinished (answered without notice, refused)";

    // A child plays the run on the real journal. It tells every step it has committed through
    // `pipeFd`, dies by itself right after `killAfterStep`, and at the end of the run waits on
    // `gateFd` (closed by the parent) instead of exiting: a kill aimed at it always finds it
    // inside the run, however slow or busy the machine is.
    auto runChild = [&](int killAfterStep, int pipeFd, int gateFd) {
        CUploadJournal::Opened opened = CUploadJournal::Open(path);
        if (!opened.journal)
            ::_exit(3);
        opened.journal->SetBatchLimits(1 << 30, 1 << 30); // a step is one transaction, however slow
        PlayRun(*opened.journal, locals, moveFolder, [&](int step) {
            if (pipeFd >= 0)
                (void)!::write(pipeFd, &step, sizeof step);
            if (step == killAfterStep)
                ::raise(SIGKILL);
        });
        if (gateFd >= 0) {
            char c;
            (void)!::read(gateFd, &c, 1);
        }
        opened.journal.reset();
        ::_exit(0);
    };
    // How long a step takes here: the random kills fall within a few steps of the one aimed at.
    const auto t0 = std::chrono::steady_clock::now();
    {
        const pid_t child = ::fork();
        ASSERT_GE(child, 0);
        if (child == 0)
            runChild(-1, -1, -1);
        int status = 0;
        ::waitpid(child, &status, 0);
        ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    }
    const auto stepUs = std::max<int64_t>(
        1, std::chrono::duration_cast<std::chrono::microseconds>(std::chrono::steady_clock::now() - t0).count() / steps);
    EXPECT_EQ(States(), model.back()) << "a run to its end";

    std::mt19937 random(20240607);
    int exactKills = 0, randomKills = 0, moveKills = 0;
    for (int round = 0; round < 60; ++round) {
        fs::remove(path);
        fs::remove(path + "-wal");
        fs::remove(path + "-shm");
        resetFiles();
        int fds[2], gate[2];
        ASSERT_EQ(::pipe(fds), 0);
        ASSERT_EQ(::pipe(gate), 0);
        // A third of the rounds: the child dies right after a step's commit. A third: once the
        // child has told of a chosen step, at a random moment within the next few steps (often
        // in the middle of a commit); the gate keeps it alive past its last step, so every kill
        // lands. A third: right after one of its moves, before that file's record is committed.
        const int kind = round % 3;
        const bool exact = kind == 0, atMove = kind == 2;
        const int target = static_cast<int>(random() % static_cast<unsigned>(steps));
        MoveKiller::renames = 0;
        MoveKiller::dieAfter = atMove ? 1 + static_cast<int>(random() % static_cast<unsigned>(moves)) : 0;
        const pid_t child = ::fork();
        ASSERT_GE(child, 0);
        if (child == 0) {
            ::close(fds[0]);
            ::close(gate[1]);
            runChild(exact ? target : -1, fds[1], gate[0]);
        }
        ::close(fds[1]);
        ::close(gate[0]);
        int last = -1, step = 0;
        if (kind == 1) {
            while (last < target && ::read(fds[0], &step, sizeof step) == static_cast<ssize_t>(sizeof step))
                last = step;
            std::this_thread::sleep_for(std::chrono::microseconds(random() % static_cast<unsigned>(3 * stepUs + 1)));
            ::kill(child, SIGKILL);
        }
        int status = 0;
        ::waitpid(child, &status, 0);
        ::close(gate[1]);
        while (::read(fds[0], &step, sizeof step) == static_cast<ssize_t>(sizeof step))
            last = step;
        ::close(fds[0]);
        ASSERT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL) << "round " << round << " ended by itself";
        ++(exact ? exactKills : atMove ? moveKills : randomKills);

        // The journal is one the run passed through: the last step it told of, or the one it
        // was committing when it died. A file it finds moved (in its move folder with the stamp
        // of its body) was answered in that state and is done now, never failed.
        std::map<std::string, int> states;
        std::set<std::string> moved;
        {
            auto journal = OpenJournal();
            CJournalResume found = journal->LoadUnfinished();
            for (const CJournalEntry& e : found.unfinished)
                states[e.localPath] = static_cast<int>(e.state);
            for (const CJournalEntry& e : found.failed)
                states[e.localPath] = 100 + static_cast<int>(e.failure);
            for (const CJournalResume::Moved& m : found.moved) {
                EXPECT_EQ(m.movedTo, (fs::path(moveFolder) / m.entry.remotePath).string());
                EXPECT_FALSE(fs::exists(m.entry.localPath));
                moved.insert(m.entry.localPath);
            }
        }
        // The journal is this state of the run, its moved files found done: each was sent
        // whole (sent or answered) in that state.
        auto passedThrough = [&](const std::map<std::string, int>& state) {
            std::map<std::string, int> rest = state;
            for (const std::string& local : moved) {
                auto it = rest.find(local);
                if (it == rest.end() || (it->second != static_cast<int>(UploadState::Sent) &&
                                         it->second != static_cast<int>(UploadState::Answered)))
                    return false;
                rest.erase(it);
            }
            return rest == states;
        };
        const std::map<std::string, int> none;
        const auto& told = last >= 0 ? model[static_cast<size_t>(last)] : none;
        const auto& next = last + 1 < steps ? model[static_cast<size_t>(last + 1)] : told;
        if (exact) {
            ASSERT_EQ(states, told) << "killed right after step " << last;
            ASSERT_TRUE(moved.empty()) << "a committed step holds every move it made";
        } else if (atMove) {
            ASSERT_TRUE(passedThrough(told)) << "killed at a move after step " << last;
            ASSERT_FALSE(moved.empty()) << "the file just moved is found done";
        } else {
            ASSERT_TRUE(passedThrough(told) || passedThrough(next)) << "killed after step " << last << " of " << steps;
        }

        // Resume: exactly the unfinished files, the answered ones to wait, none of them twice.
        auto journal = OpenJournal();
        CJournalResume found = journal->LoadUnfinished();
        CUploadTracker tracker(true);
        tracker.SetJournal(journal.get());
        size_t toSend = 0, toAwait = 0;
        for (const CJournalEntry& e : found.unfinished) {
            ASSERT_EQ(states.at(e.localPath), static_cast<int>(e.state));
            if (e.state == UploadState::Answered) {
                tracker.AddAnswered(e.Request());
                ++toAwait;
            } else {
                tracker.Add(e.Request());
                ++toSend;
            }
        }
        size_t answered = 0, unfinished = 0;
        for (const auto& [local, state] : states) {
            answered += state == static_cast<int>(UploadState::Answered);
            unfinished += state < 100;
        }
        EXPECT_EQ(toAwait, answered);
        EXPECT_EQ(toSend + toAwait, unfinished);
        EXPECT_EQ(found.failed.size(), states.size() - unfinished);
        EXPECT_EQ(tracker.AwaitingNotices(), answered);
    }
    EXPECT_EQ(exactKills, 20);
    EXPECT_EQ(randomKills, 20);
    EXPECT_EQ(moveKills, 20);
}
