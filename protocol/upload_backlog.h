#pragma once
// CUploadBacklog: the files a queue has made and not yet put on show, kept in the upload
// journal rather than in memory. A folder of a million files is a million journal entries
// already (every request is journaled as soon as it is made); the backlog keeps only which
// ranges of entry ids are waiting, in their order, and reads them back a batch at a time as
// the queue takes them. Requests the journal could not take (it stopped being written, the
// entry was never made, an entry the expansion could not read) are held as they are, in their
// place in the order.
//
// The queue's order is kept: rows on show, then the backlog in the order requests were kept,
// then what the expansion has made since. A range holds only ids that were kept (consecutive
// ids, or, for a resume, every entry of the range the journal still counts as waiting, sending
// or sent), so reading it back never brings a row on show a second time.
//
// Single-threaded, on the journal's thread. The journal must outlive the backlog's use of it
// (SetJournal(nullptr) or Clear before it closes).

#include "protocol/upload_request.h"

#include <cstdint>
#include <deque>
#include <memory>
#include <vector>

namespace talvex {

class CUploadJournal;

class CUploadBacklog {
public:
    struct Totals {
        int64_t files = 0; // requests that are not folders
        int64_t size = 0;  // their sizes when made
    };
    // Entries read back from the journal at a time.
    static constexpr size_t kReadBatch = 1024;

    void SetJournal(CUploadJournal* journal) { m_journal = journal; }

    // Requests behind everything kept. Those with a journal entry leave memory once their
    // entries are committed (the journal is flushed here); the rest are held.
    void Keep(std::vector<std::shared_ptr<CUploadRequest>> requests);
    // Entries a resume found waiting, ahead of everything kept: every entry with an id in
    // (after, last] that the journal counts as waiting, sending or sent; totals are theirs.
    void KeepFirst(int64_t after, int64_t last, Totals totals);
    // Requests held as they are, ahead of everything kept.
    void HoldFirst(std::vector<std::shared_ptr<CUploadRequest>> requests);

    // Up to max requests, in order. Entries that cannot be read back (the journal's file broke)
    // are given up and counted in Lost().
    std::vector<std::shared_ptr<CUploadRequest>> Take(size_t max);
    // Everything is dropped; forget: their journal entries are removed too (a cancel), otherwise
    // they stay for the next login's resume. Returns what was dropped.
    Totals Clear(bool forget);
    // What was given up since the last call (Take could not read it back).
    Totals TakeLost();

    bool Empty() const { return m_segments.empty(); }
    // Files and sizes kept, in memory or in the journal.
    Totals Kept() const;
    // Requests held in memory as objects (read back and not taken, or held).
    size_t InMemory() const;

private:
    // Held requests first, then the entries of (after, last] not read back yet.
    struct Segment {
        std::deque<std::shared_ptr<CUploadRequest>> held;
        int64_t after = 0;
        int64_t last = 0;
        Totals unread; // of the range
        bool RangeDone() const { return after >= last; }
    };
    // Reads the next batch of the front segment's range into its held requests.
    void ReadBack(Segment& segment, size_t want);

    CUploadJournal* m_journal = nullptr;
    std::deque<Segment> m_segments;
    Totals m_lost;
};

} // namespace talvex
