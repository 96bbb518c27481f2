#include "protocol/mailbox.h"

#include <cstdlib>
#include <sys/eventfd.h>
#include <unistd.h>

namespace talvex {

Mailbox::Mailbox() : m_wakeFd(::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC))
{
    if (m_wakeFd < 0)
        std::abort(); // out of descriptors at thread start: nothing sensible can go on
}

Mailbox::~Mailbox() { ::close(m_wakeFd); }

bool Mailbox::Post(MailMessage message)
{
    {
        std::lock_guard lock(m_mutex);
        if (m_closed)
            return false;
        m_messages.push_back(std::move(message));
    }
    const uint64_t one = 1;
    [[maybe_unused]] ssize_t n = ::write(m_wakeFd, &one, sizeof one);
    return true;
}

std::optional<MailMessage> Mailbox::Take()
{
    std::lock_guard lock(m_mutex);
    if (m_messages.empty())
        return std::nullopt;
    MailMessage m = std::move(m_messages.front());
    m_messages.pop_front();
    return m;
}

std::optional<MailMessage> Mailbox::TakeFirst(uint32_t id)
{
    std::lock_guard lock(m_mutex);
    for (auto it = m_messages.begin(); it != m_messages.end(); ++it) {
        if (it->id == id) {
            MailMessage m = std::move(*it);
            m_messages.erase(it);
            return m;
        }
    }
    return std::nullopt;
}

bool Mailbox::Contains(uint32_t id) const
{
    std::lock_guard lock(m_mutex);
    for (const MailMessage& m : m_messages)
        if (m.id == id)
            return true;
    return false;
}

void Mailbox::Close()
{
    std::deque<MailMessage> dropped;
    {
        std::lock_guard lock(m_mutex);
        m_closed = true;
        dropped.swap(m_messages);
    }
}

bool Mailbox::IsClosed() const
{
    std::lock_guard lock(m_mutex);
    return m_closed;
}

void Mailbox::ClearWake()
{
    uint64_t value = 0;
    [[maybe_unused]] ssize_t n = ::read(m_wakeFd, &value, sizeof value);
}

} // namespace talvex
