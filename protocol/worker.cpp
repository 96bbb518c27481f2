#include "protocol/worker.h"

#include <chrono>
#include <ctime>

namespace talvex {

namespace {
class SteadyClock final : public Clock {
public:
    int64_t Seconds() const override { return static_cast<int64_t>(std::time(nullptr)); }
    int64_t Ticks() const override
    {
        return std::chrono::duration_cast<std::chrono::nanoseconds>(
                   std::chrono::steady_clock::now().time_since_epoch())
            .count();
    }
    int64_t TicksPerSecond() const override { return 1000000000; }
};
} // namespace

std::shared_ptr<const Clock> SystemClock()
{
    static const std::shared_ptr<const Clock> clock = std::make_shared<SteadyClock>();
    return clock;
}

Worker::Worker(std::shared_ptr<WorkerContext> context, std::thread thread)
    : m_context(std::move(context)), m_thread(std::move(thread))
{
}

Worker::~Worker()
{
    if (!m_thread.joinable())
        return;
    m_context->stopping = true;
    m_context->sink.WakeSenders();
    Quit();
    m_thread.join();
}

bool Worker::Post(uint32_t id, std::unique_ptr<CThreadCommand> command)
{
    if (command && command->messageId == 0)
        command->messageId = id;
    MailMessage m;
    m.id = id;
    m.command = std::move(command);
    return m_context->mailbox.Post(std::move(m));
}

bool Worker::PostUpload(std::shared_ptr<CUploadRequest> request)
{
    MailMessage m;
    m.id = UM_UPLOAD;
    m.upload = std::move(request);
    return m_context->mailbox.Post(std::move(m));
}

void Worker::Join()
{
    if (m_thread.joinable())
        m_thread.join();
}

void Worker::Detach()
{
    Quit();
    if (m_thread.joinable())
        m_thread.detach();
}

} // namespace talvex
