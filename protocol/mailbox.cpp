#include "protocol/mailbox.h"

#include <algorithm>
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
        // One wake-up until the worker clears it: the posts behind the first find the descriptor
        // readable already (a write each would cost a system call a message).
        if (m_woken)
            return true;
        m_woken = true;
    }
    const uint64_t one = 1;
    [[maybe_unused]] ssize_t n = ::write(m_wakeFd, &one, sizeof one);
    return true;
}

std::optional<MailMessage> Mailbox::TakeFront(uint32_t id)
{
    std::lock_guard lock(m_mutex);
    if (m_messages.empty() || m_messages.front().id != id)
        return std::nullopt;
    MailMessage m = std::move(m_messages.front());
    m_messages.pop_front();
    return m;
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

std::vector<MailMessage> Mailbox::TakeThrough(uint32_t id, uint32_t earlierId)
{
    std::lock_guard lock(m_mutex);
    const auto found = std::find_if(m_messages.begin(), m_messages.end(), [id](const MailMessage& m) { return m.id == id; });
    if (found == m_messages.end())
        return {};
    std::vector<MailMessage> taken;
    std::deque<MailMessage> kept;
    const auto end = found - m_messages.begin();
    for (std::ptrdiff_t i = 0; i < end; ++i) {
        MailMessage& m = m_messages[static_cast<size_t>(i)];
        if (m.id == earlierId)
            taken.push_back(std::move(m));
        else
            kept.push_back(std::move(m));
    }
    taken.push_back(std::move(m_messages[static_cast<size_t>(end)]));
    for (size_t i = static_cast<size_t>(end) + 1; i < m_messages.size(); ++i)
        kept.push_back(std::move(m_messages[i]));
    m_messages.swap(kept);
    return taken;
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
    std::lock_guard lock(m_mutex);
    if (!m_woken)
        return;
    // Cleared under the lock: a post that follows writes again, so a message is never left
    // without a readable descriptor.
    uint64_t value = 0;
    [[maybe_unused]] ssize_t n = ::read(m_wakeFd, &value, sizeof value);
    m_woken = false;
}

} // namespace talvex
