#include "engine_fixture.h"

#include <poll.h>
#include <thread>

using namespace talvex;
using namespace std::chrono_literals;

TEST(Mailbox, OrderSelectionWakeAndClose)
{
    Mailbox box;
    const auto readable = [&box] {
        pollfd p{box.WakeFd(), POLLIN, 0};
        return ::poll(&p, 1, 0) == 1;
    };
    EXPECT_FALSE(readable());
    for (uint32_t id : {1u, static_cast<uint32_t>(UM_CANCEL), 3u})
        ASSERT_TRUE(box.Post(MailMessage{id, nullptr, nullptr}));
    EXPECT_TRUE(readable());
    box.ClearWake(); // one clear for the three posts: the descriptor is written once
    EXPECT_FALSE(readable());
    EXPECT_TRUE(box.Contains(UM_CANCEL));
    EXPECT_FALSE(box.TakeFront(UM_CANCEL)); // not at the head
    EXPECT_TRUE(box.TakeFirst(UM_CANCEL));
    ASSERT_TRUE(box.Post(MailMessage{4u, nullptr, nullptr})); // a post after the clear wakes again
    EXPECT_TRUE(readable());
    EXPECT_EQ(box.TakeFront(1u)->id, 1u);
    box.Close();
    EXPECT_FALSE(box.Take()); // pending messages dropped with their records
    auto record = std::make_unique<CThreadCommand>();
    EXPECT_FALSE(box.Post(MailMessage{UM_LOGIN, std::move(record), nullptr}));
}

TEST(Mailbox, TakeThroughTakesTheMessageAndThoseOfOneKindBeforeIt)
{
    Mailbox box;
    const uint32_t upload = UM_UPLOAD, cancel = UM_CANCEL;
    for (uint32_t id : {upload, 7u, upload, cancel, upload, cancel})
        ASSERT_TRUE(box.Post(MailMessage{id, nullptr, nullptr}));
    EXPECT_TRUE(box.TakeThrough(UM_QUIT, UM_UPLOAD).empty()); // no such message: nothing taken
    std::vector<uint32_t> ids;
    for (const MailMessage& m : box.TakeThrough(UM_CANCEL, UM_UPLOAD))
        ids.push_back(m.id);
    EXPECT_EQ(ids, (std::vector<uint32_t>{upload, upload, cancel}));
    // The rest in their order: the other kind before, and everything after the first cancel.
    for (uint32_t id : {7u, upload, cancel})
        EXPECT_EQ(box.Take()->id, id);
    EXPECT_FALSE(box.Take());
}

TEST(ReportQueue, SendWaitsUntilTakenAndCopiesLentNotices)
{
    BlockingReportQueue queue;
    std::atomic<bool> returned{false};
    std::thread sender([&] {
        CSyncNoticeList lent;
        lent.notices.push_back({"/a", 200, kNoticePutFile});
        Report r;
        r.message = UM_GETNOTIED;
        r.notices = &lent;
        queue.Send(r);
        returned = true;
        lent.notices.clear(); // the receiver's copy must not change
    });
    std::this_thread::sleep_for(100ms);
    EXPECT_FALSE(returned);
    std::optional<Report> r = queue.Next(1s);
    ASSERT_TRUE(r);
    sender.join();
    ASSERT_NE(r->notices, nullptr);
    ASSERT_EQ(r->notices->notices.size(), 1u);
    EXPECT_EQ(r->notices->notices[0].text, "/a");

    // A report that lends nothing is kept: Send returns at once, the reports come in order.
    for (int32_t code : {1, 2, 3}) {
        Report kept;
        kept.message = kUploadMessageBase + 1;
        kept.code = code;
        kept.selfContained = true;
        queue.Send(kept); // no reader: it would wait for ever if it waited
    }
    EXPECT_EQ(queue.Pending(), 3u);
    for (int32_t code : {1, 2, 3})
        EXPECT_EQ(queue.Next(1s)->code, code);
}

class WorkerLifecycle : public EngineTest {};

TEST_F(WorkerLifecycle, DestroyingAWorkerBlockedInItsSinkDoesNotHang)
{
    auto worker = StartControlSession(Info(), reports);
    auto conn = server.Accept();
    ASSERT_TRUE(conn);
    // The worker now waits in Send with UM_CONTROL_CONNECTED that nobody takes.
    std::this_thread::sleep_for(100ms);
    const auto start = std::chrono::steady_clock::now();
    worker.reset();
    EXPECT_LT(std::chrono::steady_clock::now() - start, 3s);
    // It logged out on its way out.
    auto logout = conn->ReadRequest();
    ASSERT_TRUE(logout);
    EXPECT_NE(logout->find("LOGOUT___"), std::string::npos);
}

TEST_F(WorkerLifecycle, PostingToAnEndedWorkerDropsTheRecord)
{
    auto worker = StartCommandChannel(Info("S"), reports);
    auto conn = server.Accept();
    ASSERT_TRUE(conn);
    conn->Close();
    Expect(UM_CONNECTION_LOST);
    for (int i = 0; i < 100 && !worker->HasEnded(); ++i)
        std::this_thread::sleep_for(10ms);
    EXPECT_TRUE(worker->HasEnded());
    EXPECT_FALSE(worker->Post(UM_MKDIR, Cmd(UM_MKDIR, "/x")));
}
