// The packaging worker: reports per file, a size that cannot be read, stop after the current
// file, jobs added while it runs, and destruction that waits instead of killing.

#include "drm/protect/packager.h"
#include "drm/protect/packaging_worker.h"

#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <unistd.h>

namespace fs = std::filesystem;
using namespace talvex::drm;
using namespace std::chrono_literals;

namespace {

class RecordingSink final : public IPackagingSink {
public:
    void OnTaken(uint64_t id) override { Add("taken " + std::to_string(id)); }
    void OnDone(uint64_t id, int outcome, int64_t size) override
    {
        Add("done " + std::to_string(id) + " " + std::to_string(outcome) + " " + std::to_string(size));
    }
    void OnFinished(const std::vector<uint64_t>& notTaken) override
    {
        std::string line = "finished";
        for (uint64_t id : notTaken)
            line += " " + std::to_string(id);
        Add(line);
    }
    // Waits (bounded) until n "finished" lines have come.
    bool WaitFinished(int n)
    {
        std::unique_lock lock(m_mutex);
        return m_cv.wait_for(lock, 20s, [&] { return m_finished >= n; });
    }
    std::vector<std::string> Lines()
    {
        std::lock_guard lock(m_mutex);
        return m_lines;
    }

private:
    void Add(std::string line)
    {
        std::lock_guard lock(m_mutex);
        if (line.rfind("finished", 0) == 0)
            ++m_finished;
        m_lines.push_back(std::move(line));
        m_cv.notify_all();
    }
    std::mutex m_mutex;
    std::condition_variable m_cv;
    std::vector<std::string> m_lines;
    int m_finished = 0;
};

class WorkerTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        m_dir = fs::temp_directory_path() / ("talvex-drm-worker-" + std::to_string(::getpid()));
        fs::remove_all(m_dir);
        fs::create_directories(m_dir);
    }
    void TearDown() override { fs::remove_all(m_dir); }
    PackJob Job(uint64_t id, const std::string& out) { return {id, "/in/" + out, (m_dir / out).string()}; }
    fs::path m_dir;
};

TEST_F(WorkerTest, EveryOutcomeIsReportedAndAnUnreadableOutputCountsAsFailed)
{
    RecordingSink sink;
    // The job id decides the outcome; job 5 "succeeds" without leaving any output to measure.
    PackagingWorker worker(
        [&](const PackJob& j) {
            if (j.id == 1 || j.id == 6) {
                std::ofstream(j.outputPath) << std::string(j.id == 1 ? 2500 : 10, 'x');
                return 0;
            }
            if (j.id == 5)
                return 0;
            return -static_cast<int>(j.id) + 1; // 2 -> -1, 3 -> -2, 4 -> -3
        },
        sink);
    ASSERT_TRUE(worker.Add({Job(1, "a"), Job(2, "b"), Job(3, "c"), Job(4, "d"), Job(5, "e"), Job(6, "f")}));
    ASSERT_TRUE(sink.WaitFinished(1));
    worker.Join();
    EXPECT_FALSE(worker.Running());
    EXPECT_EQ(sink.Lines(), (std::vector<std::string>{"taken 1", "done 1 0 2500", "taken 2", "done 2 -1 -1", "taken 3",
                                                      "done 3 -2 -1", "taken 4", "done 4 -3 -1", "taken 5",
                                                      "done 5 -1 -1", "taken 6", "done 6 0 10", "finished"}));
    EXPECT_FALSE(worker.Add({}));
}

TEST_F(WorkerTest, StopEndsAfterTheCurrentFileAndGivesBackTheRest)
{
    RecordingSink sink;
    std::mutex gate;
    std::unique_lock hold(gate); // the first file waits here until the stop has been asked for
    PackagingWorker worker(
        [&](const PackJob&) {
            std::lock_guard pass(gate);
            return -1;
        },
        sink);
    worker.Add({Job(1, "a"), Job(2, "b"), Job(3, "c")});
    for (int i = 0; i < 2000 && sink.Lines().empty(); ++i)
        std::this_thread::sleep_for(1ms);
    worker.RequestStop();
    hold.unlock();
    ASSERT_TRUE(sink.WaitFinished(1));
    EXPECT_EQ(sink.Lines(), (std::vector<std::string>{"taken 1", "done 1 -1 -1", "finished 2 3"}));

    // A new run after a stop takes the jobs given to it.
    worker.Add({Job(2, "b")});
    ASSERT_TRUE(sink.WaitFinished(2));
    EXPECT_EQ(sink.Lines().back(), "finished");
}

TEST_F(WorkerTest, JobsAddedWhileRunningJoinTheRunAndDestructionWaitsForTheCurrentFile)
{
    RecordingSink sink;
    std::atomic<int> packed{0};
    std::mutex gate;
    std::unique_lock hold(gate);
    {
        PackagingWorker worker(
            [&](const PackJob&) {
                std::lock_guard pass(gate);
                std::this_thread::sleep_for(20ms);
                ++packed;
                return -2;
            },
            sink);
        worker.Add({Job(1, "a")});
        worker.Add({Job(2, "b")}); // joins the running worker: one run, one end
        EXPECT_TRUE(worker.Running());
        for (int i = 0; i < 2000 && sink.Lines().empty(); ++i)
            std::this_thread::sleep_for(1ms);
        hold.unlock();
        // Leaving the scope asks the worker to stop and waits for it.
    }
    EXPECT_GE(packed.load(), 1);
    const auto lines = sink.Lines();
    ASSERT_FALSE(lines.empty());
    EXPECT_EQ(lines.back().rfind("finished", 0), 0u);
    EXPECT_EQ(std::count_if(lines.begin(), lines.end(), [](const std::string& l) { return l.rfind("finished", 0) == 0; }), 1);
    EXPECT_EQ(std::count(lines.begin(), lines.end(), "done 1 -2 -1"), 1);
}

} // namespace
