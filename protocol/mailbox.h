#pragma once
// The mailbox of a worker: any thread posts {message id, owned record}; the worker waits on the
// mailbox's wake descriptor together with its socket in one poll.
// Posting to a closed mailbox (its worker has ended) drops the record; it never fails otherwise.

#include "protocol/records.h"

#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <optional>
#include <vector>

namespace talvex {

struct MailMessage {
    uint32_t id = 0;
    std::unique_ptr<CThreadCommand> command;   // owned by the worker once posted
    std::shared_ptr<CUploadRequest> upload;    // UM_UPLOAD: shared with the queue item
};

class Mailbox {
public:
    Mailbox();
    ~Mailbox();
    Mailbox(const Mailbox&) = delete;
    Mailbox& operator=(const Mailbox&) = delete;

    // False when the mailbox is closed; the message is dropped then.
    bool Post(MailMessage message);
    std::optional<MailMessage> Take();
    // Removes and returns the first message with that id, leaving the others in order.
    std::optional<MailMessage> TakeFirst(uint32_t id);
    // Removes and returns the first message when it has that id.
    std::optional<MailMessage> TakeFront(uint32_t id);
    // Removes the first message with that id and every message with earlierId before it, and
    // returns them in order (that id last); nothing when there is no message with that id.
    std::vector<MailMessage> TakeThrough(uint32_t id, uint32_t earlierId);
    bool Contains(uint32_t id) const;
    // Drops every message; later posts are dropped too.
    void Close();
    bool IsClosed() const;

    // Readable while a post has not been acknowledged with ClearWake.
    int WakeFd() const { return m_wakeFd; }
    void ClearWake();

private:
    mutable std::mutex m_mutex;
    std::deque<MailMessage> m_messages;
    bool m_closed = false;
    bool m_woken = false; // the descriptor is readable: posted since the last ClearWake
    int m_wakeFd = -1;
};

} // namespace talvex
