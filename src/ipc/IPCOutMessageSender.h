// The sender thread of one connection. Internal to the client; known to
// users as IPCMessengerClient::OutMessageSender.
//
// Submitters append to `queue` and wake the thread; the thread takes all that
// is queued in one step and writes it, one frame per message in queue order,
// without holding any lock while it writes, so submitting never waits on the
// socket and a busy sender pays one lock hand-off per batch, not per message.
// The sender owns every queued message and deletes it after writing it, after
// a failed write, or when destroyed.
// It never closes the socket: the client does, after destroying the sender.
#pragma once

#include <atomic>
#include <deque>
#include <functional>
#include <memory>

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

class IPCOutMessageSender : public STBThread {
public:
    // The idle thread wakes this often to notice a stop of its STBThread.
    static constexpr unsigned kIdleWaitMs = 200;

    // `onWritten` may be null; it must outlive the sender.
    explicit IPCOutMessageSender(int connectedFd, IPCDeliveryCallback const* onWritten = nullptr)
        : socketFd(connectedFd), deliveryCallback(onWritten) {}
    ~IPCOutMessageSender() override;

    // Takes ownership of a non-null message. Only while isSending() is true
    // will the message ever be written; the client checks that under its own
    // lock before calling.
    void enqueue(IPCMessage* message) KESU_EXCLUDES(queueMutex) {
        std::unique_ptr<IPCMessage> owned(message);
        {
            pthread_helper::scoped_lock lock(queueMutex);
            queue.push_back(owned.release());
        }
        // Signalled once the lock is released: a sender woken while it is
        // still held would only block on it again, a second wake-up per
        // message. The sender cannot go away meanwhile: the client calls this
        // holding the lock that guards the sender's life.
        queueCond.signal();
    }

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

    // Lock order: the client's outSenderMutex, then queueMutex.
    pthread_helper::mutex queueMutex;
    std::deque<IPCMessage*> queue KESU_GUARDED_BY(queueMutex);  // owned; never null; oldest first
    std::deque<IPCMessage*> batch;                         // sender thread only; owned; taken from `queue`
    bool quitting KESU_GUARDED_BY(queueMutex) = false;     // raised by requestStop()
    pthread_helper::cond queueCond;                        // a message was added, or quitting raised
    const int socketFd;                                    // the client's; written to, never closed here
    std::atomic<bool> running{true};                       // cleared by run() as its very last step
    IPCDeliveryCallback const* const deliveryCallback;     // the client's; may be null
};

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
}

inline void IPCOutMessageSender::run() {
    while (isRunning()) {
        {
            pthread_helper::scoped_lock lock(queueMutex);
            if (quitting) break;
            if (queue.empty()) {
                queueCond.timedwait(queueMutex, kIdleWaitMs);
                // Woken, timed out or spuriously: the next pass looks again.
                if (queue.empty()) continue;
            }
            batch.swap(queue);  // no copy of the queue; the deques reuse their blocks
        }
        bool failed = false;
        while (!batch.empty() && isRunning()) {
            std::unique_ptr<IPCMessage> message(batch.front());  // deleted on every way out
            batch.pop_front();
            if (!writeMessage(*message)) {
                failed = true;
                break;
            }
        }
        if (failed) break;  // what is left of the batch goes with the sender
    }
    // Last: a submitter that finds the flag clear may rely on the message
    // that failed being gone already.
    running.store(false, std::memory_order_release);
}

inline bool IPCOutMessageSender::writeMessage(IPCMessage& message) {
    message.serialize();
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
