// The upload bookkeeping shared by the window and talvex-cli: which report, answer or notice
// settles which request, and what happens to a confirmed file's local copy.

#include "protocol/message_ids.h"
#include "protocol/upload_tracker.h"
#include "tests/protocol/tracker_reports.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <filesystem>
#include <unistd.h>
#include <fstream>
#include <vector>

using namespace talvex;
using talvex::test::AnswerReport;
using talvex::test::ChannelReport;
namespace fs = std::filesystem;

namespace {

constexpr uint32_t kChannelA = kUploadMessageBase + 1;
constexpr uint32_t kChannelB = kUploadMessageBase + 2;

std::shared_ptr<CUploadRequest> File(const std::string& remote, std::string local = "/nonexistent/local")
{
    auto r = std::make_shared<CUploadRequest>();
    r->localPath = std::move(local);
    r->remotePath = remote;
    r->size = 1;
    return r;
}

CSyncNoticeList Notices(std::vector<CSyncNotice> notices)
{
    CSyncNoticeList list;
    list.notices = std::move(notices);
    return list;
}

struct Recorder {
    std::vector<CUploadItem> settled;
    CUploadTracker::Listener Listener()
    {
        return [this](const CUploadItem& item) { settled.push_back(item); };
    }
};

// Sends request on channel through to "all bytes sent".
void SendThrough(CUploadTracker& tracker, const std::shared_ptr<CUploadRequest>& request, uint32_t channel)
{
    tracker.Add(request);
    tracker.Sending(request, channel);
    tracker.Apply(ChannelReport(channel, UE_DONE, request));
}

} // namespace

TEST(UploadTracker, OnANormalAccountTheAnswerSettlesTheFile)
{
    Recorder rec;
    CUploadTracker tracker(false, rec.Listener());
    auto ok = File("docs/a.txt");
    auto refused = File("docs/b.txt");
    auto folder = File("docs/");
    folder->size = -1;
    for (auto& r : {ok, refused, folder})
        SendThrough(tracker, r, kChannelA);
    EXPECT_EQ(tracker.AwaitingAnswers(), 3u);

    // Paths compare without case and without the leading "/".
    tracker.Apply(AnswerReport(kChannelA, "/DOCS/A.TXT", 200));
    tracker.Apply(AnswerReport(kChannelA, "/docs/b.txt", 500));
    tracker.Apply(AnswerReport(kChannelA, "/docs/", 200));
    ASSERT_EQ(rec.settled.size(), 3u);
    EXPECT_EQ(rec.settled[0].request, ok);
    EXPECT_EQ(rec.settled[0].state, UploadState::Confirmed);
    EXPECT_EQ(rec.settled[1].state, UploadState::Failed);
    EXPECT_EQ(rec.settled[1].failure, UploadFailure::Refused);
    EXPECT_EQ(rec.settled[1].status, 500);
    EXPECT_EQ(rec.settled[2].state, UploadState::Confirmed);
    EXPECT_EQ(tracker.Confirmed(), 1u); // files only
    EXPECT_EQ(tracker.Failed(), 1u);
    EXPECT_EQ(tracker.Unsettled(), 0u); // settled items are forgotten
    EXPECT_EQ(tracker.AwaitingAnswers(), 0u);
}

TEST(UploadTracker, OnASyncServiceAccountTheNoticeSettlesTheFileAndIsTakenOut)
{
    Recorder rec;
    CUploadTracker tracker(true, rec.Listener());
    auto a = File("a.txt");
    auto b = File("b.txt");
    auto folder = File("d/");
    SendThrough(tracker, a, kChannelA);
    SendThrough(tracker, b, kChannelA);
    SendThrough(tracker, folder, kChannelA);
    tracker.Apply(AnswerReport(kChannelA, "/a.txt", 200));
    tracker.Apply(AnswerReport(kChannelA, "/b.txt", 200));
    tracker.Apply(AnswerReport(kChannelA, "/d/", 200));
    ASSERT_EQ(rec.settled.size(), 1u); // the folder: it waits for no notice
    EXPECT_EQ(tracker.AwaitingNotices(), 2u);
    EXPECT_EQ(tracker.Find(a.get())->state, UploadState::Answered);

    // A rename notice of the same path settles nothing; an unknown path stays for others.
    CSyncNoticeList list = Notices({{"/a.txt", 200, kNoticeRename},
                                    {"/other.txt", 200, kNoticePutFile},
                                    {"/A.txt", 200, kNoticePutFile},
                                    {"/b.txt", 500, kNoticePutFile}});
    tracker.ApplyNotices(list);
    ASSERT_EQ(list.notices.size(), 2u);
    EXPECT_EQ(list.notices[0].kind, kNoticeRename);
    EXPECT_EQ(list.notices[1].text, "/other.txt");
    ASSERT_EQ(rec.settled.size(), 3u);
    EXPECT_EQ(rec.settled[1].request, a);
    EXPECT_EQ(rec.settled[1].state, UploadState::Confirmed);
    EXPECT_EQ(rec.settled[2].failure, UploadFailure::Unconfirmed);
    EXPECT_EQ(rec.settled[2].status, 500);
    EXPECT_EQ(tracker.AwaitingNotices(), 0u);
}

// Paths fold every ASCII letter, 'A' to 'Z', and nothing else: '@' and '[' (one before 'A' and
// one after 'Z') are 32 below '`' and '{' as capitals are below their small letters, and must
// stay apart from them. Each pair as a file sent in one form and heard of in the other, by the
// answer (the tracker's key and the channel's HasKey) and by the notice.
TEST(UploadTracker, PathsFoldEveryLetterAndNothingBesideTheAlphabet)
{
    struct Pair {
        char sent, heard;
        bool same;
    };
    std::vector<Pair> pairs = {{'@', '`', false}, {'[', '{', false}, {'`', '@', false}, {'{', '[', false},
                               {'@', '@', true},  {'[', '[', true},  {'`', '`', true},  {'{', '{', true}};
    for (char c = 'A'; c <= 'Z'; ++c) {
        pairs.push_back({c, static_cast<char>(c + 32), true});
        pairs.push_back({static_cast<char>(c + 32), c, true});
    }
    for (const Pair& p : pairs) {
        SCOPED_TRACE(std::string("sent ") + p.sent + ", heard " + p.heard);
        const std::string sent = std::string("Up/x") + p.sent;
        const std::string heard = std::string("/uP/X") + p.heard;
        EXPECT_EQ(CUploadTracker::PathKey(sent) == CUploadTracker::PathKey(heard), p.same);
        EXPECT_EQ(CUploadTracker::HasKey(sent, CUploadTracker::PathKey(heard)), p.same);

        Recorder byAnswer;
        CUploadTracker plain(false, byAnswer.Listener());
        SendThrough(plain, File(sent), kChannelA);
        plain.Apply(AnswerReport(kChannelA, heard, 200));
        EXPECT_EQ(byAnswer.settled.size(), p.same ? 1u : 0u);

        Recorder byNotice;
        CUploadTracker confirming(true, byNotice.Listener());
        SendThrough(confirming, File(sent), kChannelA);
        confirming.Apply(AnswerReport(kChannelA, sent, 200));
        CSyncNoticeList list = Notices({{heard, 200, kNoticePutFile}});
        confirming.ApplyNotices(list);
        EXPECT_EQ(byNotice.settled.size(), p.same ? 1u : 0u);
        EXPECT_EQ(list.notices.size(), p.same ? 0u : 1u);
    }
}

TEST(UploadTracker, ANoticeThatComesBeforeItsAnswerIsKeptForIt)
{
    Recorder rec;
    CUploadTracker tracker(true, rec.Listener());
    auto a = File("k/a.bin");
    auto b = File("k/b.bin");
    auto c = File("k/c.bin");
    SendThrough(tracker, a, kChannelA);
    SendThrough(tracker, b, kChannelA);
    SendThrough(tracker, c, kChannelB);

    // The notices overtake the answers still unread on a busy channel; a second notice for a
    // path with one file sent, and one for a path nobody sent, stay in the list for others.
    CSyncNoticeList list = Notices({{"k/a.bin", 200, kNoticePutFile},
                                    {"k/a.bin", 200, kNoticePutFile},
                                    {"k/b.bin", 500, kNoticePutFile},
                                    {"k/c.bin", 200, kNoticePutFile},
                                    {"k/none.bin", 200, kNoticePutFile}});
    tracker.ApplyNotices(list);
    ASSERT_EQ(list.notices.size(), 2u);
    EXPECT_EQ(list.notices[0].text, "k/a.bin");
    EXPECT_EQ(list.notices[1].text, "k/none.bin");
    EXPECT_TRUE(rec.settled.empty()); // nothing settles before its answer

    tracker.Apply(AnswerReport(kChannelA, "k/a.bin", 200));
    tracker.Apply(AnswerReport(kChannelA, "k/b.bin", 200));
    ASSERT_EQ(rec.settled.size(), 2u);
    EXPECT_EQ(rec.settled[0].request, a);
    EXPECT_EQ(rec.settled[0].state, UploadState::Confirmed);
    EXPECT_EQ(rec.settled[1].request, b);
    EXPECT_EQ(rec.settled[1].failure, UploadFailure::Unconfirmed);
    EXPECT_EQ(rec.settled[1].status, 500);
    EXPECT_EQ(tracker.AwaitingNotices(), 0u);

    // Channel B goes before c's answer is read: the notice said the server has it.
    tracker.ChannelLost(kChannelB);
    ASSERT_EQ(rec.settled.size(), 3u);
    EXPECT_EQ(rec.settled[2].request, c);
    EXPECT_EQ(rec.settled[2].state, UploadState::Confirmed);
    EXPECT_EQ(tracker.Confirmed(), 2u);
}

TEST(UploadTracker, AKeptNoticeGoesWithAFileThatFailsAndConfirmsNoLaterUpload)
{
    Recorder rec;
    CUploadTracker tracker(true, rec.Listener());
    auto first = File("x.bin");
    SendThrough(tracker, first, kChannelA);
    CSyncNoticeList list = Notices({{"x.bin", 200, kNoticePutFile}});
    tracker.ApplyNotices(list);
    EXPECT_TRUE(list.notices.empty());
    // Refused after all (the notice was about an older copy): it fails, and its kept notice
    // must not confirm the next upload of that path.
    tracker.Apply(AnswerReport(kChannelA, "x.bin", 500));
    ASSERT_EQ(rec.settled.size(), 1u);
    EXPECT_EQ(rec.settled[0].failure, UploadFailure::Refused);
    auto second = File("x.bin");
    SendThrough(tracker, second, kChannelA);
    tracker.Apply(AnswerReport(kChannelA, "x.bin", 200));
    EXPECT_EQ(rec.settled.size(), 1u);
    EXPECT_EQ(tracker.Find(second.get())->state, UploadState::Answered);
}

TEST(UploadTracker, SameRemotePathTwiceIsSettledInTheOrderSentAndOnlyOnItsChannel)
{
    Recorder rec;
    CUploadTracker tracker(true, rec.Listener());
    auto first = File("same.txt");
    auto second = File("same.txt");
    auto elsewhere = File("same.txt");
    SendThrough(tracker, first, kChannelA);
    SendThrough(tracker, second, kChannelA);
    SendThrough(tracker, elsewhere, kChannelB);

    tracker.Apply(AnswerReport(kChannelA, "/same.txt", 500));
    ASSERT_EQ(rec.settled.size(), 1u);
    EXPECT_EQ(rec.settled[0].request, first);
    tracker.Apply(AnswerReport(kChannelA, "/same.txt", 200));
    EXPECT_EQ(tracker.Find(second.get())->state, UploadState::Answered);
    EXPECT_EQ(tracker.Find(elsewhere.get())->state, UploadState::Sent); // its answer comes on B

    // An answer nobody waits for on that channel changes nothing.
    tracker.Apply(AnswerReport(kChannelA, "/same.txt", 200));
    EXPECT_EQ(tracker.Find(elsewhere.get())->state, UploadState::Sent);

    tracker.Apply(AnswerReport(kChannelB, "/same.txt", 200));
    CSyncNoticeList one = Notices({{"/same.txt", 200, kNoticePutFile}});
    tracker.ApplyNotices(one);
    EXPECT_EQ(rec.settled.back().request, second); // the older answered one first
    EXPECT_NE(tracker.Find(elsewhere.get()), nullptr);
}

TEST(UploadTracker, ChannelReportsSettleTheRequestTheyCarryAndALostChannelFailsItsAnswersToCome)
{
    Recorder rec;
    CUploadTracker tracker(false, rec.Listener());
    auto sentOnA = File("a1.txt");
    auto sentOnB = File("b1.txt");
    SendThrough(tracker, sentOnA, kChannelA);
    SendThrough(tracker, sentOnB, kChannelB);
    auto unreadable = File("x.txt");
    tracker.Add(unreadable);
    tracker.Sending(unreadable, kChannelA);
    const CUploadItem* failed = tracker.Apply(ChannelReport(kChannelA, UE_OPEN_FAILED, unreadable));
    ASSERT_NE(failed, nullptr);
    EXPECT_EQ(failed->failure, UploadFailure::ReadError);
    EXPECT_EQ(failed->request, unreadable);
    // A request the channel could not write fails with its own reason, each with its text.
    const struct {
        int32_t headerError;
        UploadFailure failure;
        const char* text;
    } unwritable[] = {
        {kRequestNotEncodable, UploadFailure::NameNotWritable, "서버의 문자 집합으로 쓸 수 없는 문자가 이름에 있습니다"},
        {kRequestBadText, UploadFailure::BadName, "이름에 보낼 수 없는 제어 문자(줄바꿈, NUL)가 있습니다"},
        {kRequestTooLong, UploadFailure::PathTooLong, "경로가 너무 깁니다 (요청 머리글 16,384바이트 초과)"},
    };
    for (const auto& c : unwritable) {
        auto name = File("name" + std::to_string(c.headerError) + ".txt");
        tracker.Add(name);
        tracker.Sending(name, kChannelA);
        name->headerError = c.headerError;
        const CUploadItem* item = tracker.Apply(ChannelReport(kChannelA, UE_OPEN_FAILED, name));
        ASSERT_NE(item, nullptr);
        EXPECT_EQ(item->failure, c.failure);
        EXPECT_STREQ(UploadFailureText(item->failure), c.text);
    }
    rec.settled.resize(1);

    // Closed by the server while idle: what was sent whole on A was not kept, it goes again
    // once; lost once more, it fails. B is untouched.
    using Requests = std::vector<std::shared_ptr<CUploadRequest>>;
    tracker.Apply(ChannelReport(kChannelA, UE_RESET));
    EXPECT_EQ(rec.settled.size(), 1u);
    EXPECT_EQ(tracker.TakeResends(), Requests{sentOnA});
    EXPECT_EQ(tracker.Find(sentOnB.get())->state, UploadState::Sent);
    tracker.Sending(sentOnA, kChannelA);
    tracker.Apply(ChannelReport(kChannelA, UE_DONE, sentOnA));
    tracker.Apply(ChannelReport(kChannelA, UE_RESET));
    ASSERT_EQ(rec.settled.size(), 2u);
    EXPECT_EQ(rec.settled[1].request, sentOnA);
    EXPECT_EQ(rec.settled[1].failure, UploadFailure::SendFailed);

    // A send failure on B behind a file sent whole there: the close may have been over that
    // one, so both go again; the second time both fail.
    auto running = File("b2.txt");
    for (int round = 0; round < 2; ++round) {
        if (round == 0) {
            tracker.Add(running);
        } else {
            tracker.Sending(sentOnB, kChannelB);
            tracker.Apply(ChannelReport(kChannelB, UE_DONE, sentOnB));
        }
        tracker.Sending(running, kChannelB);
        tracker.Apply(ChannelReport(kChannelB, UE_SEND_FAILED, running));
        EXPECT_EQ(tracker.TakeResends(), round == 0 ? (Requests{sentOnB, running}) : Requests{});
    }
    EXPECT_EQ(tracker.Unsettled(), 0u);
    EXPECT_EQ(tracker.Failed(), 4u + std::size(unwritable));
    EXPECT_EQ(tracker.AwaitingAnswers(), 0u);

    // Reports about requests the tracker does not know are ignored.
    EXPECT_EQ(tracker.Apply(ChannelReport(kChannelB, UE_DONE, File("stranger.txt"))), nullptr);

    // A connection lost to the network is no verdict of the server: the body it cut and the
    // file sent whole on it wait to be sent again, even one already sent again before (the
    // caller's reconnects bound how often). A reset, or a loss without a reason, still fails.
    const struct {
        int error;
        bool network;
    } losses[] = {{ETIMEDOUT, true}, {EHOSTUNREACH, true}, {ENETUNREACH, true},
                  {ECONNRESET, false}, {EPIPE, false}, {0, false}};
    uint32_t channel = kChannelB;
    for (const auto& loss : losses) {
        SCOPED_TRACE(loss.error);
        CUploadTracker t(false);
        auto sent = File("sent.txt");
        auto cut = File("cut.txt");
        SendThrough(t, sent, ++channel);
        t.Apply(ChannelReport(channel, UE_RESET)); // lost once already: sent again
        ASSERT_EQ(t.TakeResends().size(), 1u);
        t.Sending(sent, ++channel);
        t.Apply(ChannelReport(channel, UE_DONE, sent));
        t.Add(cut);
        t.Sending(cut, channel);
        Report lost = ChannelReport(channel, UE_SEND_FAILED, cut);
        lost.error = loss.error;
        const CUploadItem* item = t.Apply(lost);
        ASSERT_NE(item, nullptr);
        EXPECT_EQ(IsNetworkLoss(loss.error), loss.network);
        if (loss.network) {
            EXPECT_EQ(item->state, UploadState::Waiting);
            EXPECT_EQ(t.Failed(), 0u);
            EXPECT_EQ(t.TakeResends(), (std::vector<std::shared_ptr<CUploadRequest>>{sent, cut}));
            EXPECT_FALSE(t.PathBusy("cut.txt"));
        } else {
            // The file sent whole fails (lost twice); the body behind it goes again once.
            EXPECT_EQ(item->state, UploadState::Waiting);
            EXPECT_EQ(t.Failed(), 1u);
            EXPECT_EQ(t.TakeResends(), (std::vector<std::shared_ptr<CUploadRequest>>{cut}));
        }
    }
}

TEST(UploadTracker, GivingUpFailsWhatIsStillAwaited)
{
    Recorder rec;
    CUploadTracker tracker(true, rec.Listener());
    auto answered = File("a.txt");
    auto waiting = File("w.txt");
    SendThrough(tracker, answered, kChannelA);
    tracker.Apply(AnswerReport(kChannelA, "a.txt", 200));
    tracker.Add(waiting);
    tracker.FailAnswered(UploadFailure::TimedOut);
    ASSERT_EQ(rec.settled.size(), 1u);
    EXPECT_EQ(rec.settled[0].failure, UploadFailure::TimedOut);
    tracker.FailAll(UploadFailure::Cancelled);
    ASSERT_EQ(rec.settled.size(), 2u);
    EXPECT_EQ(rec.settled[1].request, waiting);
    EXPECT_EQ(tracker.Unsettled(), 0u);
}

TEST(UploadTracker, AConfirmedFileMovesToItsMoveFolderWithoutOverwriting)
{
    const fs::path dir = fs::temp_directory_path() / ("talvex-tracker-" + std::to_string(::getpid()));
    fs::remove_all(dir);
    fs::create_directories(dir / "out");
    std::ofstream(dir / "src.txt") << "new";
    std::ofstream(dir / "out" / "src.txt") << "old";
    Recorder rec;
    CUploadTracker tracker(false, rec.Listener());
    auto r = File("src.txt", (dir / "src.txt").string());
    r->moveFolder = (dir / "out").string();
    SendThrough(tracker, r, kChannelA);
    tracker.Apply(AnswerReport(kChannelA, "/src.txt", 200));
    ASSERT_EQ(rec.settled.size(), 1u);
    EXPECT_EQ(rec.settled[0].movedTo, (dir / "out" / "src.txt_[1]").string());
    EXPECT_FALSE(fs::exists(dir / "src.txt"));
    std::ifstream kept(dir / "out" / "src.txt");
    std::string old;
    kept >> old;
    EXPECT_EQ(old, "old");

    // A file that is gone cannot be moved: confirmed all the same, with the reason.
    auto gone = File("gone.txt", (dir / "gone.txt").string());
    gone->moveFolder = (dir / "out").string();
    SendThrough(tracker, gone, kChannelA);
    tracker.Apply(AnswerReport(kChannelA, "/gone.txt", 200));
    EXPECT_EQ(rec.settled.back().state, UploadState::Confirmed);
    EXPECT_TRUE(rec.settled.back().movedTo.empty());
    EXPECT_FALSE(rec.settled.back().moveError.empty());
    fs::remove_all(dir);
}
