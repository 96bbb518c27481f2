#pragma once
// Shared set-up of the engine tests: a fake server, a report queue and a private working folder.

#include "fake_server.h"

#include "platform/log.h"
#include "platform/text_codec.h"
#include "protocol/worker.h"

#include <atomic>
#include <condition_variable>
#include <deque>
#include <dirent.h>
#include <mutex>
#include <thread>
#include <gtest/gtest.h>
#include <string>
#include <vector>

class EngineTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        char dir[] = "/tmp/talvex-engine-XXXXXX";
        ASSERT_NE(::mkdtemp(dir), nullptr);
        workDir = std::string(dir) + "/";
        talvex::SetWireEncoding("CP949");
        talvex::SetLogFolderForTesting(workDir);
    }
    void TearDown() override
    {
        StopCollecting();
        for (const std::string& f : Files())
            std::remove((workDir + f).c_str());
        ::rmdir(workDir.c_str());
    }

    talvex::CChannelStartInfo Info(std::string session = {})
    {
        talvex::CChannelStartInfo info;
        info.host = "127.0.0.1";
        info.port = server.Port();
        info.sessionId = std::move(session);
        info.workDir = workDir;
        info.messageNumber = talvex::kUploadMessageBase + 1;
        return info;
    }

    // Takes reports off the queue as soon as they come, so that a worker never waits for the
    // test (which may be busy reading what the worker sends).
    void StartCollecting()
    {
        m_collecting = true;
        m_collector = std::thread([this] {
            while (m_collecting) {
                std::optional<talvex::Report> r = reports.Next(std::chrono::milliseconds(20));
                if (r) {
                    std::lock_guard lock(m_collectMutex);
                    m_collected.push_back(std::move(*r));
                    m_collectedChanged.notify_all();
                }
            }
        });
    }
    void StopCollecting()
    {
        m_collecting = false;
        if (m_collector.joinable())
            m_collector.join();
    }
    std::optional<talvex::Report> NextReport(std::chrono::milliseconds timeout)
    {
        if (!m_collector.joinable())
            return reports.Next(timeout);
        std::unique_lock lock(m_collectMutex);
        if (!m_collectedChanged.wait_for(lock, timeout, [&] { return !m_collected.empty(); }))
            return std::nullopt;
        talvex::Report r = std::move(m_collected.front());
        m_collected.pop_front();
        return r;
    }

    // The next report, which must have the given message (and code, for upload channels).
    talvex::Report Expect(uint32_t message, std::chrono::milliseconds timeout = std::chrono::seconds(5))
    {
        std::optional<talvex::Report> r = NextReport(timeout);
        if (!r) {
            ADD_FAILURE() << "no report, expected " << message;
            return {};
        }
        EXPECT_EQ(r->message, message);
        return std::move(*r);
    }
    talvex::Report ExpectUpload(int32_t event, std::chrono::milliseconds timeout = std::chrono::seconds(5))
    {
        talvex::Report r = Expect(talvex::kUploadMessageBase + 1, timeout);
        EXPECT_EQ(r.code, event);
        return r;
    }
    bool NoReport(std::chrono::milliseconds timeout = std::chrono::milliseconds(200))
    {
        std::optional<talvex::Report> r = NextReport(timeout);
        if (r)
            ADD_FAILURE() << "unexpected report " << r->message << " code " << r->code;
        return !r;
    }

    std::vector<std::string> Files() const
    {
        std::vector<std::string> out;
        if (DIR* d = ::opendir(workDir.c_str())) {
            while (dirent* e = ::readdir(d))
                if (e->d_name[0] != '.')
                    out.emplace_back(e->d_name);
            ::closedir(d);
        }
        return out;
    }
    // Temporary files of the engine left in the working folder.
    std::vector<std::string> TlxFiles() const
    {
        std::vector<std::string> out;
        for (const std::string& f : Files())
            if (f.size() > 4 && f.compare(f.size() - 4, 4, ".tlx") == 0)
                out.push_back(f);
        return out;
    }
    static std::unique_ptr<talvex::CThreadCommand> Cmd(uint32_t id, std::string a = {}, std::string b = {})
    {
        return std::make_unique<talvex::CThreadCommand>(talvex::CThreadCommand{id, std::move(a), std::move(b)});
    }

    // Every report waits until the test takes it, the upload channel's too (the command-line
    // client's queue keeps those and lets the channel go on): a test sees the worker where the
    // report left it.
    struct RendezvousQueue final : talvex::BlockingReportQueue {
        void Send(talvex::Report& report) override
        {
            report.selfContained = false;
            BlockingReportQueue::Send(report);
        }
    };
    // Declared before the workers of the tests, so it outlives them.
    RendezvousQueue reports;
    fake::Server server;
    std::string workDir;

private:
    std::atomic<bool> m_collecting{false};
    std::thread m_collector;
    std::mutex m_collectMutex;
    std::condition_variable m_collectedChanged;
    std::deque<talvex::Report> m_collected;
};
