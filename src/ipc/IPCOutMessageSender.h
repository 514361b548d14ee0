// The sender thread of one connection. Internal to the client; known to
// users as IPCMessengerClient::OutMessageSender.
//
// Submitters append to `queue` and wake the thread; the thread takes all that
// is queued in one step and writes it, one frame per message in queue order,
// without holding any lock while it writes, so submitting never waits on the
// socket and a busy sender pays one lock hand-off per batch, not per message.
// What is queued is bounded in bytes of frames, so a peer that stops reading
// costs the process a bounded amount of memory: a message that does not fit
// is handed back to its submitter. Messages arrive serialised, which is how
// the submitter knows the size of their frames.
// The sender owns every queued message and deletes it after writing it, after
// a failed write, or when destroyed.
// It never closes the socket: the client does, after destroying the sender. A
// failed write shuts the socket down, so that the client's receive loop ends
// the connection rather than leaving it up with a torn frame on it.
#pragma once

#include <atomic>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <utility>

#include "IPCFrame.h"
#include "IPCMessage.h"
#include "IPCSocketIO.h"
#include "kesu/private/KesuLog.h"
#include "STBThread.h"
#include "kesu/private/pthread_helper.h"

// Told on the sender thread after a message's frame has been written whole,
// just before the message is deleted. No lock of the client or the sender is
// held during the call.
using IPCDeliveryCallback = std::function<void(IPCMessage const& message)>;
// Told of a message that the send queue had no room for, just before it is deleted.
using IPCDropCallback = std::function<void(IPCMessage const& message)>;

class IPCOutMessageSender : public STBThread {
public:
    // The idle thread wakes this often to notice a stop of its STBThread.
    static constexpr unsigned kIdleWaitMs = 200;
    // Room for one frame of the largest payload the receiving side accepts.
    static constexpr size_t kDefaultQueueLimitBytes = ipc_frame::kHeaderBytes + ipc_frame::kMaxPayloadBytes;

    // `onWritten` may be null; it must outlive the sender. `limitBytes`
    // bounds the frames queued and being written; 0: no bound.
    explicit IPCOutMessageSender(int connectedFd, IPCDeliveryCallback const* onWritten = nullptr,
                                 size_t limitBytes = kDefaultQueueLimitBytes)
        : socketFd(connectedFd), deliveryCallback(onWritten), queueLimitBytes(limitBytes) {}
    ~IPCOutMessageSender() override;

    // Takes a serialised message: null once it is queued, or the message
    // itself when its frame does not fit in what the bound leaves. Only while
    // isSending() is true will a queued message ever be written; the client
    // checks that under its own lock before calling.
    std::unique_ptr<IPCMessage> enqueue(std::unique_ptr<IPCMessage> message) KESU_EXCLUDES(queueMutex);

    // True from construction until the thread has ended (stopped, or after the
    // first failed write).
    bool isSending() const { return running.load(std::memory_order_acquire); }

    // Makes the thread end at its next look at the queue, without waiting for
    // it; what is still queued then is never written. The destructor begins
    // with this, so calling it earlier lets the thread end while its owner is
    // still busy elsewhere.
    void requestStop() KESU_EXCLUDES(queueMutex);

    void run() override;

private:
    // False when the frame could not be written whole or a stop arrived
    // between header and payload; either way the thread ends.
    bool writeMessage(IPCMessage& message);
    static void logDropped(uint64_t count) {
        KESU_LOG(1, 362, kLogFileClient, "Send queue: %llu messages dropped while it was full",
                 static_cast<unsigned long long>(count));
    }

    // Lock order: the client's outSenderMutex, then queueMutex.
    pthread_helper::mutex queueMutex;
    std::deque<IPCMessage*> queue KESU_GUARDED_BY(queueMutex);  // owned; never null; oldest first
    std::deque<IPCMessage*> batch;                              // sender thread only; owned; taken from `queue`
    // Frames in `queue` and in `batch`: a batch counts until it is all written.
    size_t queuedBytes KESU_GUARDED_BY(queueMutex) = 0;
    // Messages refused since the queue last drained; 0 while it has room.
    uint64_t droppedInStall KESU_GUARDED_BY(queueMutex) = 0;
    bool quitting KESU_GUARDED_BY(queueMutex) = false;  // raised by requestStop()
    pthread_helper::cond queueCond;                     // a message was added, or quitting raised
    const int socketFd;                                 // the client's; written to, never closed here
    std::atomic<bool> running{true};                    // cleared by run() as its very last step
    IPCDeliveryCallback const* const deliveryCallback;  // the client's; may be null
    const size_t queueLimitBytes;
};

inline std::unique_ptr<IPCMessage> IPCOutMessageSender::enqueue(std::unique_ptr<IPCMessage> message) {
    const size_t frameBytes = ipc_frame::kHeaderBytes + message->messageStruct.data.size();
    bool stallBegins = false;
    {
        pthread_helper::scoped_lock lock(queueMutex);
        // queuedBytes never exceeds a bound that is set, so the difference cannot wrap.
        if (queueLimitBytes != 0 && frameBytes > queueLimitBytes - queuedBytes) {
            stallBegins = droppedInStall++ == 0;
        } else {
            queue.push_back(message.release());
            queuedBytes += frameBytes;
        }
    }
    if (!message) {
        // Signalled once the lock is released: a sender woken while it is
        // still held would only block on it again, a second wake-up per
        // message. The sender cannot go away meanwhile: the client calls this
        // holding the lock that guards the sender's life.
        queueCond.signal();
        return nullptr;
    }
    // Once per stall, not per message: a peer that stops reading must not flood the log too.
    if (stallBegins)
        KESU_LOG(1, 360, kLogFileClient, "Send queue full (%zu bytes): messages are dropped until it drains",
                 queueLimitBytes);
    return message;
}

inline void IPCOutMessageSender::requestStop() {
    // Raised under the lock so that a run() about to wait cannot miss it and
    // sleep out a whole idle period.
    pthread_helper::scoped_lock lock(queueMutex);
    quitting = true;
    queueCond.signal();
}

inline IPCOutMessageSender::~IPCOutMessageSender() {
    requestStop();
    STBThread::stop();
    for (IPCMessage* message : batch) delete message;  // the thread has ended: ours alone
    batch.clear();
    pthread_helper::scoped_lock lock(queueMutex);
    for (IPCMessage* message : queue) delete message;  // queued but never written
    queue.clear();
    // A stall that the end of the connection ended: its count still goes to the log.
    if (droppedInStall != 0) logDropped(droppedInStall);
}

inline void IPCOutMessageSender::run() {
    size_t batchBytes = 0;  // of the batch taken last; all written or failed once the loop is back here
    while (isRunning()) {
        uint64_t droppedUntilDrained = 0;
        {
            pthread_helper::scoped_lock lock(queueMutex);
            queuedBytes -= batchBytes;
            batchBytes = 0;
            if (quitting) break;
            if (queue.empty()) {
                // Everything queued is written: a stall, if there was one, is over.
                droppedUntilDrained = std::exchange(droppedInStall, 0);
                // Woken, timed out or spuriously: the next pass looks again.
                if (droppedUntilDrained == 0) queueCond.timedwait(queueMutex, kIdleWaitMs);
            }
            if (!queue.empty()) {
                batch.swap(queue);  // no copy of the queue; the deques reuse their blocks
                batchBytes = queuedBytes;
            }
        }
        if (droppedUntilDrained != 0) logDropped(droppedUntilDrained);
        bool failed = false;
        while (!batch.empty() && isRunning()) {
            std::unique_ptr<IPCMessage> message(batch.front());  // deleted on every way out
            batch.pop_front();
            if (!writeMessage(*message)) {
                failed = true;
                break;
            }
        }
        if (failed) {
            // No frame may follow a torn one. Shut down, the socket ends the
            // client's receive too, which then tears the connection down and
            // makes a new one; what is left of the batch goes with the sender.
            ::shutdown(socketFd, SHUT_RDWR);
            break;
        }
    }
    // Last: a submitter that finds the flag clear may rely on the message
    // that failed being gone already.
    running.store(false, std::memory_order_release);
}

inline bool IPCOutMessageSender::writeMessage(IPCMessage& message) {
    IPCMessageStruct const& raw = message.messageStruct;
    unsigned char header[ipc_frame::kHeaderBytes];
    ipc_frame::encodeHeader(raw, header);
    if (!ipc_io::writeFully(socketFd, header, sizeof header)) {
        KESU_LOG(1, 354, kLogFileClient, "Out connection error");
        return false;
    }
    // The connection is being taken down: leave the header alone on it.
    if (!isRunning()) return false;
    if (!raw.data.empty() && !ipc_io::writeFully(socketFd, raw.data.data(), raw.data.size())) {
        KESU_LOG(1, 370, kLogFileClient, "Out connection error");
        return false;
    }
    if (deliveryCallback != nullptr && *deliveryCallback) (*deliveryCallback)(message);
    return true;
}
