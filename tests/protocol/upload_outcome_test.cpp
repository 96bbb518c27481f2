// Outcomes that need evidence: a file that changed while it was sent, answers and notices that
// never come, two copies of one remote path, an answer for the body still going out, entries
// that could not be read. Each case is the order of events a faulty server or a busy disk
// produces, played into the shared bookkeeping.

#include "protocol/message_ids.h"
#include "protocol/upload_tracker.h"
#include "tests/protocol/tracker_reports.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

using namespace talvex;
using talvex::test::AnswerReport;
using talvex::test::ChannelReport;
namespace fs = std::filesystem;

namespace {

constexpr uint32_t kChannelA = kUploadMessageBase + 1;
constexpr uint32_t kChannelB = kUploadMessageBase + 2;

struct Fixture {
    fs::path dir = fs::temp_directory_path() / ("talvex-outcome-" + std::to_string(::getpid()));
    int64_t now = 1000;
    std::vector<CUploadItem> settled;
    Fixture()
    {
        fs::remove_all(dir);
        fs::create_directories(dir / "moved");
    }
    ~Fixture() { fs::remove_all(dir); }
    CUploadTracker Tracker(bool byNotice)
    {
        return CUploadTracker(byNotice, [this](const CUploadItem& i) { settled.push_back(i); }, [this] { return now; });
    }
    // A real file, stamped as the channel stamps it when its body starts.
    std::shared_ptr<CUploadRequest> File(const std::string& name, const std::string& bytes = "0123456789")
    {
        const fs::path local = dir / name;
        std::ofstream(local, std::ios::binary) << bytes;
        auto r = std::make_shared<CUploadRequest>();
        r->localPath = local.string();
        r->remotePath = "up/" + name;
        r->size = static_cast<int64_t>(bytes.size());
        r->moveFolder = (dir / "moved").string();
        return r;
    }
    static void Stamp(CUploadRequest& r)
    {
        struct stat st {};
        ASSERT_EQ(::stat(r.localPath.c_str(), &st), 0);
        r.stamp = CFileStamp{st.st_size, st.st_mtim.tv_sec * 1000000000 + st.st_mtim.tv_nsec,
                             static_cast<uint64_t>(st.st_ino), static_cast<uint64_t>(st.st_dev)};
    }
};

void SendWhole(CUploadTracker& t, const std::shared_ptr<CUploadRequest>& r, uint32_t channel)
{
    t.Add(r);
    t.Sending(r, channel);
    Fixture::Stamp(*r);
    t.Apply(ChannelReport(channel, UE_DONE, r));
}

CSyncNoticeList PutNotice(const std::string& path, int32_t number)
{
    CSyncNoticeList list;
    list.notices.push_back({path, number, kNoticePutFile});
    return list;
}

} // namespace

TEST(UploadOutcome, AFileThatChangedBetweenItsBodyAndItsConfirmationFailsAndStaysWhereItIs)
{
    // Every order of answer and notice, with the change before the one that settles.
    for (const bool noticeFirst : {false, true}) {
        Fixture f;
        CUploadTracker t = f.Tracker(true);
        auto grown = f.File("grown.bin");
        auto same = f.File("same.bin");
        SendWhole(t, grown, kChannelA);
        SendWhole(t, same, kChannelA);
        std::ofstream(grown->localPath, std::ios::app) << "more";
        if (noticeFirst) {
            CSyncNoticeList early = PutNotice("/up/grown.bin", 200);
            t.ApplyNotices(early);
            CSyncNoticeList early2 = PutNotice("/up/same.bin", 200);
            t.ApplyNotices(early2);
        }
        t.Apply(AnswerReport(kChannelA, "up/grown.bin", 200));
        t.Apply(AnswerReport(kChannelA, "up/same.bin", 200));
        if (!noticeFirst) {
            CSyncNoticeList late = PutNotice("/up/grown.bin", 200);
            late.notices.push_back({"/up/same.bin", 200, kNoticePutFile});
            t.ApplyNotices(late);
        }
        ASSERT_EQ(f.settled.size(), 2u) << noticeFirst;
        EXPECT_EQ(f.settled[0].failure, UploadFailure::Changed);
        EXPECT_TRUE(f.settled[0].movedTo.empty());
        EXPECT_TRUE(fs::exists(grown->localPath)) << "a changed file is never moved";
        EXPECT_EQ(f.settled[1].state, UploadState::Confirmed);
        EXPECT_TRUE(fs::exists(f.dir / "moved" / "up" / "same.bin"));
        EXPECT_EQ(t.Confirmed(), 1u);
        EXPECT_EQ(t.Failed(), 1u);
    }

    // On a normal account the answer settles: a file replaced by another of the same size fails
    // as well. One that grew before its body started was sent as it was then: it is uploaded,
    // its size the one sent.
    Fixture f;
    CUploadTracker t = f.Tracker(false);
    auto replaced = f.File("replaced.bin");
    SendWhole(t, replaced, kChannelA);
    const std::string other = replaced->localPath + ".new";
    std::ofstream(other) << "9876543210";
    fs::rename(other, replaced->localPath);
    auto shorter = f.File("shorter.bin");
    shorter->size = 4; // queued when it had 4 bytes; 10 when its body started
    SendWhole(t, shorter, kChannelA);
    t.Apply(AnswerReport(kChannelA, "up/replaced.bin", 200));
    t.Apply(AnswerReport(kChannelA, "up/shorter.bin", 200));
    ASSERT_EQ(f.settled.size(), 2u);
    EXPECT_EQ(f.settled[0].failure, UploadFailure::Changed);
    EXPECT_EQ(f.settled[1].state, UploadState::Confirmed);
    EXPECT_EQ(shorter->size, 10);
    EXPECT_TRUE(fs::exists(replaced->localPath));
    EXPECT_STREQ(UploadFailureText(UploadFailure::Changed),
                 "파일이 전송 중에 변경되었습니다 (서버의 사본에 두 내용이 섞였을 수 있습니다. 다시 보내면 바로잡힙니다)");
}

// Each deadline with its clock starting at zero and at a large value: none may pass because
// the machine has been up long enough.
TEST(UploadOutcome, ConfirmationsAndAnswersThatNeverComeEndAtTheirDeadlines)
{
    for (const int64_t start : {int64_t{0}, int64_t{1} << 42}) {
        SCOPED_TRACE("clock starting at " + std::to_string(start));
        Fixture f;
        f.now = start;
        CUploadTracker t = f.Tracker(true);
        t.SetNoticeGapMs(10000);
        const UploadDeadlines bounds{60000, 300000, 0};
        auto a = f.File("a.txt");
        auto b = f.File("b.txt");
        SendWhole(t, a, kChannelA);
        t.Apply(AnswerReport(kChannelA, "up/a.txt", 200)); // answered: waits for its notice
        SendWhole(t, b, kChannelB);                        // sent: waits for its answer

        // Answers for paths nobody sent on that channel do not count as hearing from it.
        f.now = start + 30000;
        t.Apply(AnswerReport(kChannelB, "zz-unrelated/1", 200));
        f.now = start + 59999;
        EXPECT_TRUE(t.Expire(bounds).empty());
        EXPECT_TRUE(f.settled.empty());
        f.now = start + 60000;
        EXPECT_EQ(t.Expire(bounds), std::vector<uint32_t>{kChannelB});
        ASSERT_EQ(f.settled.size(), 1u);
        EXPECT_EQ(f.settled[0].request, b);
        EXPECT_EQ(f.settled[0].failure, UploadFailure::NoAnswer);
        EXPECT_TRUE(t.Expire(bounds).empty()) << "a channel is given up once";

        // The confirmation clock runs only while notices are asked for: an hour without a poll
        // (a long body going out) costs nothing; then polls every 5 s, and a pause between two
        // polls counts at most the gap (10 s).
        f.now = start + 3600000;
        t.Expire(bounds);
        EXPECT_EQ(f.settled.size(), 1u);
        EXPECT_EQ(t.NoticeClockMs(), 0);
        t.NoticesAsked(); // the first poll only starts the clock
        for (int poll = 1; poll <= 40; ++poll) {
            f.now += 5000;
            t.NoticesAsked();
        }
        f.now += 600000; // ten minutes without a poll: 10 s of them count
        t.NoticesAsked();
        EXPECT_EQ(t.NoticeClockMs(), 40 * 5000 + 10000);
        for (int poll = 1; poll < 18; ++poll) {
            f.now += 5000;
            t.NoticesAsked();
        }
        EXPECT_EQ(t.NoticeClockMs(), 299000 - 4000); // one poll short
        t.Expire(bounds);
        EXPECT_EQ(f.settled.size(), 1u);
        f.now += 4000;
        t.NoticesAsked();
        EXPECT_EQ(t.NoticeClockMs(), 299000);
        t.Expire(bounds);
        EXPECT_EQ(f.settled.size(), 1u);
        f.now += 1000;
        t.NoticesAsked();
        t.Expire(bounds);
        ASSERT_EQ(f.settled.size(), 2u) << "300 s of polling without its notice";
        EXPECT_EQ(f.settled[1].request, a);
        EXPECT_EQ(f.settled[1].failure, UploadFailure::TimedOut);
        EXPECT_TRUE(f.settled[1].movedTo.empty());
        EXPECT_TRUE(fs::exists(a->localPath)) << "an unconfirmed file is not moved";
        EXPECT_EQ(t.AwaitingNotices(), 0u);
        EXPECT_FALSE(t.PathBusy("up/a.txt"));

        // A notice that comes after the deadline matches nothing here and is left for whoever
        // keeps the failed rows.
        CSyncNoticeList late = PutNotice("/up/a.txt", 200);
        t.ApplyNotices(late);
        EXPECT_EQ(late.notices.size(), 1u);
        EXPECT_EQ(t.Confirmed(), 0u);

        // Progress of a body on the channel is hearing from it: a long body never expires the
        // answers sent before it.
        auto c = f.File("c.txt");
        auto big = f.File("big.bin");
        SendWhole(t, c, kChannelA);
        t.Sending(big, kChannelA);
        for (int i = 0; i < 10; ++i) {
            f.now += 30000;
            t.Apply(ChannelReport(kChannelA, UE_PROGRESS));
            EXPECT_TRUE(t.Expire(bounds).empty());
        }
        EXPECT_EQ(t.AwaitingAnswers(), 1u);
    }
}

// A refusal with files sent behind it: their answers must follow within the grace, or the
// server left the refused body unread and never read them either. They go back to be sent
// again, once, and the channel is given up; answers that do follow keep the channel.
TEST(UploadOutcome, FilesBehindARefusalThatHearNothingMoreGoAgainOnANewChannel)
{
    for (const int64_t start : {int64_t{0}, int64_t{1} << 42}) {
        SCOPED_TRACE("clock starting at " + std::to_string(start));
        Fixture f;
        f.now = start;
        CUploadTracker t = f.Tracker(false);
        const UploadDeadlines bounds{60000, 0, 2000};
        auto s1 = f.File("s1.txt"), s2 = f.File("s2.txt"), s3 = f.File("s3.txt");
        for (const auto& r : {s1, s2, s3})
            SendWhole(t, r, kChannelA);
        t.Apply(AnswerReport(kChannelA, "up/s1.txt", 500));
        ASSERT_EQ(f.settled.size(), 1u);
        EXPECT_EQ(f.settled[0].failure, UploadFailure::Refused);
        f.now = start + 1999;
        EXPECT_TRUE(t.Expire(bounds).empty());
        f.now = start + 2000;
        EXPECT_EQ(t.Expire(bounds), std::vector<uint32_t>{kChannelA});
        EXPECT_EQ(f.settled.size(), 1u) << "the files behind are not failed";
        const auto again = t.TakeResends();
        ASSERT_EQ(again.size(), 2u);
        EXPECT_EQ(again[0], s2);
        EXPECT_EQ(again[1], s3);

        // A refusal with nothing behind it yet: the grace runs from each file sent after it.
        const uint32_t kChannelC = kChannelB + 1;
        auto lone = f.File("lone.txt"), after = f.File("after.txt");
        SendWhole(t, lone, kChannelC);
        t.Apply(AnswerReport(kChannelC, "up/lone.txt", 500));
        f.now += 10000;
        SendWhole(t, after, kChannelC);
        f.now += 1999;
        EXPECT_TRUE(t.Expire(bounds).empty());
        f.now += 1;
        EXPECT_EQ(t.Expire(bounds), std::vector<uint32_t>{kChannelC});
        EXPECT_EQ(t.TakeResends(), std::vector<std::shared_ptr<CUploadRequest>>{after});

        // The same on a channel whose server answers on: nothing is given up.
        auto r1 = f.File("r1.txt"), r2 = f.File("r2.txt");
        SendWhole(t, r1, kChannelB);
        SendWhole(t, r2, kChannelB);
        t.Apply(AnswerReport(kChannelB, "up/r1.txt", 403));
        f.now += 500;
        t.Apply(AnswerReport(kChannelB, "up/r2.txt", 200));
        f.now += 60000 - 1;
        EXPECT_TRUE(t.Expire(bounds).empty());
        EXPECT_EQ(t.Confirmed(), 1u);
    }
}

TEST(UploadOutcome, OneUploadOfARemotePathIsInFlightUntilItSettles)
{
    Fixture f;
    CUploadTracker t = f.Tracker(true);
    auto first = f.File("same.txt");
    auto second = f.File("same.txt");
    EXPECT_FALSE(t.PathBusy("up/same.txt"));
    t.Add(first);
    EXPECT_FALSE(t.PathBusy("up/same.txt")) << "waiting is not in flight";
    t.Sending(first, kChannelA);
    // Case and a leading "/" make no other path.
    EXPECT_TRUE(t.PathBusy("/UP/Same.TXT"));
    EXPECT_FALSE(t.PathBusy("up/same.txt2"));
    Fixture::Stamp(*first);
    t.Apply(ChannelReport(kChannelA, UE_DONE, first));
    t.Apply(AnswerReport(kChannelA, "up/same.txt", 200));
    EXPECT_TRUE(t.PathBusy("up/same.txt")) << "answered, waiting for its notice";
    // The channel that sent it is lost: the answered file is not affected, still in flight.
    t.ChannelLost(kChannelA);
    EXPECT_TRUE(t.PathBusy("up/same.txt"));
    CSyncNoticeList n = PutNotice("up/same.txt", 200);
    t.ApplyNotices(n);
    EXPECT_FALSE(t.PathBusy("up/same.txt"));
    ASSERT_EQ(f.settled.size(), 1u);
    EXPECT_EQ(f.settled[0].request, first);

    // Sent again after a lost channel (talvex-cli does), it is counted once.
    t.Add(second);
    t.Sending(second, kChannelA);
    t.Sending(second, kChannelB);
    t.Apply(ChannelReport(kChannelB, UE_OPEN_FAILED, second));
    EXPECT_FALSE(t.PathBusy("up/same.txt"));
}

TEST(UploadOutcome, AnAnswerForTheBodyStillGoingOutSettlesThatFile)
{
    Fixture f;
    CUploadTracker t = f.Tracker(false);
    auto earlier = f.File("earlier.txt");
    auto big = f.File("big.bin");
    SendWhole(t, earlier, kChannelA);
    t.Add(big);
    t.Sending(big, kChannelA);
    t.Apply(AnswerReport(kChannelA, "up/earlier.txt", 200));
    t.Apply(AnswerReport(kChannelA, "up/big.bin", 500, big)); // refused after its header
    ASSERT_EQ(f.settled.size(), 2u);
    EXPECT_EQ(f.settled[1].request, big);
    EXPECT_EQ(f.settled[1].failure, UploadFailure::Refused);
    EXPECT_EQ(f.settled[1].status, 500);
    // The channel then ends the connection; nothing else is failed by it.
    EXPECT_EQ(t.Apply(ChannelReport(kChannelA, UE_SEND_FAILED, big)), nullptr);
    EXPECT_EQ(t.Failed(), 1u);
    EXPECT_EQ(t.Confirmed(), 1u);

    // A 200 for bytes the server never read proves nothing: the file failed.
    auto cut = f.File("cut.bin");
    t.Add(cut);
    t.Sending(cut, kChannelB);
    t.Apply(AnswerReport(kChannelB, "up/cut.bin", 200, cut));
    EXPECT_EQ(f.settled.back().failure, UploadFailure::SendFailed);
    EXPECT_EQ(t.Confirmed(), 1u);
}

TEST(UploadOutcome, UnreadableEntriesAndCancelsAreToldApart)
{
    Fixture f;
    CUploadTracker t = f.Tracker(false);
    auto unreadable = f.File("locked/");
    unreadable->size = -1;
    unreadable->readError = EACCES;
    t.Add(unreadable);
    const CUploadItem* item = t.FailUnread(unreadable);
    ASSERT_NE(item, nullptr);
    EXPECT_EQ(item->failure, UploadFailure::ReadError);
    EXPECT_EQ(item->status, EACCES);
    auto cancelled = f.File("c.bin");
    t.Add(cancelled);
    t.Sending(cancelled, kChannelA);
    t.Apply(ChannelReport(kChannelA, UE_CANCELLED, cancelled));
    EXPECT_EQ(t.Failed(), 1u) << "a cancel is not a failure";
    EXPECT_EQ(t.Cancelled(), 1u);
    EXPECT_EQ(t.Unsettled(), 0u);
}
