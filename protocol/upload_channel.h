#pragma once
// An upload channel: sends one file at a time with PUTFILE__ (or creates one folder), measures
// the speed, reports progress at most 15 times a second, and passes the server's answers on.
//
// The body goes out in pieces of up to kPieceBytes: from the file to the socket inside the kernel
// (sendfile) where the file system allows it, otherwise read and sent through one buffer, so
// memory stays the same for any file size. The file is announced as it is when its body starts
// (DATA-LENGTH is the open file's size, whatever it was when its folder was read), and exactly
// DATA-LENGTH bytes follow the header: a file that grows meanwhile is cut there (and fails as
// changed when it is settled); a file that becomes shorter meanwhile fails the transfer
// (UE_SEND_FAILED) and closes the connection, as does any send failure (UE_RESET for a reset
// connection; the report's error tells why, IsNetworkLoss sorts it; a loss names the file whose
// body it cut, and only that one: a UE_RESET without a request began no body) and a cancel that leaves
// the body unfinished (UE_CANCELLED): the server could not tell where the next request starts. The channel's worker ends then; its owner makes a new one.
// A file of up to kOneSendBytes goes with its header in one send and has no progress reports
// (unless a rate limit is set: then it goes in pieces as any other). Small files given one after
// another go together: the channel takes the uploads waiting at the head of its mailbox, reads
// each whole and sends them, headers and bodies, in one send of up to kBatchBytes; each is
// reported done once the send took all of it. A file that cannot go that way (empty, larger,
// unreadable, changed between its size and its read, or no file) ends the batch and takes the
// usual path after it. A loss during the send names the file whose bytes it cut; the files
// behind that one were never begun and are not reported.
//
// Between pieces the channel looks for a cancel or a quit, and it waits for room in the socket,
// or for the session's speed limit (CChannelStartInfo::rateLimit), only together with its
// mailbox, so either is served at once.
//
// The channel knows which of its files were sent whole and are not answered yet. An answer
// for the file whose body is still going out (the server refused it after its header) is
// handed on with that request, and the body stops there: the connection is ended, since the
// stream cannot go on. A cancel that cuts a body short closes the sending side only and still
// reads the answers to the files sent whole before it (CChannelStartInfo::answerWaitMs at
// most), then ends the connection (UE_RESET without a request). When the body starts, the
// file's size, modification time and identity are noted in the request (CFileStamp). A file
// that cannot be opened fails with its errno in readError; an entry that is no regular file
// (a FIFO, a device, a socket put where the file was) is refused without being read.

#include "protocol/socket_channel.h"
#include "protocol/upload_progress.h"

#include <deque>
#include <optional>
#include <string>
#include <vector>

namespace talvex {

// The PUTFILE__ request of a request in the session, with DATA-LENGTH length (without one when
// length < 0, as for a folder or an empty file): 0, or the RequestError that forbids sending it
// (a name the wire encoding cannot write, a control character, a request over the header
// limit). The channel sends it; talvex-cli put --dry-run asks it of every entry.
int32_t FormatPutFileRequest(std::string_view sessionId, const CUploadRequest& request, int64_t length,
                             std::string& header);

class UploadChannel final : public SocketChannel {
public:
    static constexpr int64_t kPieceBytes = 256 * 1024;
    static constexpr int64_t kOneSendBytes = 64 * 1024;
    static constexpr size_t kBatchBytes = 64 * 1024; // small files sent together, at most

    UploadChannel(const CChannelStartInfo& info, WorkerContext& context, std::shared_ptr<const Clock> clock);

protected:
    std::string BodyPathFor(const CTlxspResponse&) override { return {}; }
    void OnResponse(std::unique_ptr<CTlxspResponse> response, const Body* body) override;
    void OnConnected() override;
    void OnMessage(MailMessage& message) override;
    void OnConnectionLost() override;
    bool CloseBeforeRead() const override { return true; }

private:
    enum class Step { Done, Cancelled, Failed };

    // error: why the connection failed (Report::error), for the events that end it.
    void Event(int32_t event, std::shared_ptr<CUploadRequest> request = nullptr, int error = 0);
    void SendProgress();
    void CreateFolder(const std::shared_ptr<CUploadRequest>& request);
    void UploadFile(const std::shared_ptr<CUploadRequest>& request);
    // Small files, from `first` on, sent together; false when `first` itself cannot go so (it
    // takes the usual path then). Leaves in `next` an upload taken from the mailbox that ended
    // the batch, to be handled after it.
    bool SendSmallFiles(const std::shared_ptr<CUploadRequest>& first, std::optional<MailMessage>& next);
    enum class Added { Yes, NoRoom, NotSmall };
    // Reads a small file whole into m_batch behind its header.
    Added AddToBatch(const std::shared_ptr<CUploadRequest>& request);
    // Sends count bytes of the file from offset (which it advances), counting each part as it
    // leaves. errno tells why it failed (EIO: the file ended early).
    Step SendPiece(int file, int64_t& offset, int64_t count);
    Step SendCopied(const char* data, size_t size);
    // Waits until the socket takes more, or a cancel or quit arrives, or the stall limit passes.
    Step WaitWritable();
    // The part of want the speed limit lets go now; 0 after a cancel (cancelled is set then).
    int64_t Allowance(int64_t want, bool& cancelled);
    void Sent(int64_t bytes);
    bool CancelRequested();
    // A cancel waiting in the mailbox takes this upload, not begun yet, and those given before
    // the cancel: reported cancelled, and the channel ends once the earlier ones are answered.
    bool CancelledUnbegun(const std::shared_ptr<CUploadRequest>& request);
    void Fail(const std::shared_ptr<CUploadRequest>& request, int error);
    // After a cancel cut a body short: the answers to the files sent whole before it.
    void AwaitEarlierAnswers();
    // Reports the uploads a cancel took out of the mailbox cancelled (nothing of them was sent).
    void CancelTakenAhead();

    std::shared_ptr<const Clock> m_clock;
    int64_t m_total = 0;
    int64_t m_stillToSend = 0;
    CSpeedWindow m_window;
    ProgressLimiter m_limiter;
    int64_t m_startTime = 0;
    bool m_cancel = false;   // the cancel event
    std::vector<std::shared_ptr<CUploadRequest>> m_cancelledAhead; // given before the cancel, unsent
    bool m_zeroCopy = true;  // this file: cleared when the kernel cannot send from it
    std::vector<char> m_buffer; // the read-and-send path only
    std::string m_batch;        // small files' requests and bodies, sent together
    struct Member {
        std::shared_ptr<CUploadRequest> request;
        size_t end = 0; // where its bytes end in m_batch
    };
    std::vector<Member> m_members;
    std::deque<std::shared_ptr<CUploadRequest>> m_unanswered; // sent whole, not answered yet, oldest first
    std::shared_ptr<CUploadRequest> m_current;  // the file whose body is going out
    bool m_answeredEarly = false;               // the server answered m_current before its body was through
    std::shared_ptr<CUploadRequest> m_lostWith; // the body the connection's loss was reported with
};

} // namespace talvex
