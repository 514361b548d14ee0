// Messages on the application's own thread. Public: the header that
// applications with an event loop (GLib, Qt, epoll) include.
//
// An IPCInbox keeps what its client delivers (connections, messages, ends of
// connections) in the order the client thread delivered it, until the
// application calls dispatch() on a thread of its own. Its descriptor is
// readable while events wait, so it goes into any loop as it is:
//
//   IPCMessengerClient client;
//   IPCInbox inbox(client);        // before start()
//   g_unix_fd_add(inbox.fd(), G_IO_IN, onReady, &app);  // onReady: inbox.dispatch(app)
//   client.start();
//
// The client thread stops reading the socket while the inbox is at its bound,
// so a slow application slows the server down instead of growing without
// limit, and a stop still ends the client at once.
#pragma once

#include <sys/eventfd.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstring>
#include <deque>
#include <memory>
#include <utility>

#include "IPCFrame.h"
#include "IPCMessage.h"
#include "IPCMessengerClient.h"
#include "kesu/private/KesuLog.h"
#include "kesu/private/pthread_helper.h"
#include "kesu/private/thread_annotations.h"

// The application's, called by IPCInbox::dispatch() on the thread that
// calls it, with no lock of the client or the inbox held: a callback may call
// anything, sendMessage(), stop(), start(), addHandler(), removeHandler(),
// and dispatch() again. onConnected() and onDisconnected() alternate as they
// do for a handler of the client; every onConnected() is followed by its
// onDisconnected().
class IPCInboxHandler {
public:
    // The message, decoded, is the application's to keep.
    virtual void onMessage(std::unique_ptr<IPCMessage> message) = 0;
    virtual void onConnected() {}
    virtual void onDisconnected() {}

protected:
    ~IPCInboxHandler() = default;  // never owned or deleted by the inbox
};

class IPCInbox : private IPCMessengerClient::IPCMessengerHandler, private IPCMessengerClient::MessageSink {
public:
    static constexpr size_t kDefaultLimitBytes = 16 * 1024 * 1024;
    // What a held message costs beyond its frame: the message object, the
    // payload's allocation and the queue's slot (about 90 bytes on x86-64).
    // Counted so that a flood of small messages stays within the bound too.
    static constexpr size_t kMessageOverheadBytes = 128;
    // A stream that never runs dry still wakes the application this often.
    static constexpr unsigned kAnnounceEveryMessages = 32;

    // Registers with `client`; call it before client.start(). `limitBytes`
    // bounds what the held messages cost: each its frame (8-byte header and
    // payload) plus kMessageOverheadBytes; connection events count nothing.
    // While the next message does not fit, the client thread waits and reads
    // no more from the socket. A message larger than the bound still enters
    // an inbox that holds no other. Decoded members (the texts of a string
    // message) come on top.
    //
    // When no descriptor can be made (EMFILE, ENFILE, ENOMEM), the inbox logs
    // a level-1 line, does not register, and stays empty: valid() is false
    // and fd() is -1. The library throws nothing; check valid() once.
    explicit IPCInbox(IPCMessengerClient& client, size_t limitBytes = kDefaultLimitBytes);
    // Call it once the client's owner has stopped it, and before the client
    // is destroyed. Deletes the messages still held.
    ~IPCInbox();
    IPCInbox(IPCInbox const&) = delete;
    IPCInbox& operator=(IPCInbox const&) = delete;

    bool valid() const { return eventFd != -1; }
    // Readable (POLLIN) while events wait, and clear once a dispatch has
    // emptied the inbox. It is raised once per burst, not per message: when
    // the client thread has read all that the socket held, or every
    // kAnnounceEveryMessages messages of a stream that never runs dry, or
    // before it waits for room; connection events raise it at once. The
    // inbox's: never read or close it.
    int fd() const { return eventFd; }

    // Handles waiting events in order, at most `maxEvents`, each with no lock
    // held; returns how many it handled. The order holds as long as one
    // thread at a time dispatches (a nested call counts as that thread).
    // After the owner's stop() has returned, one call delivers the rest,
    // ending with the last connection's onDisconnected(). An exception from
    // `handler` leaves dispatch() at once: the event it was handling is
    // gone, the others still wait.
    size_t dispatch(IPCInboxHandler& handler, size_t maxEvents = SIZE_MAX) KESU_EXCLUDES(queueMutex);

private:
    struct Event {
        enum class Kind { Connected, Message, Disconnected };
        Kind kind = Kind::Connected;
        std::unique_ptr<IPCMessage> message;  // Message only
    };

    static size_t costBytes(IPCMessage const& message) {
        return ipc_frame::kHeaderBytes + message.messageStruct.data.size() + kMessageOverheadBytes;
    }

    // As the client's handler, on the client thread under its handler lock.
    void onNewMessageReceived(IPCMessage const*) override {}  // the message comes whole through take()
    void onConnected() override { push({Event::Kind::Connected, nullptr}); }
    void onDisconnected() override { push({Event::Kind::Disconnected, nullptr}); }
    // As the client's sink.
    void take(std::unique_ptr<IPCMessage> message) override KESU_EXCLUDES(queueMutex);
    void announce() override KESU_EXCLUDES(queueMutex) {
        pthread_helper::scoped_lock lock(queueMutex);
        raise();
    }
    void wake() override KESU_EXCLUDES(queueMutex) {
        pthread_helper::scoped_lock lock(queueMutex);  // a take() between its test and its wait still hears this
        roomCond.signal();
    }

    void push(Event event) KESU_EXCLUDES(queueMutex) {
        pthread_helper::scoped_lock lock(queueMutex);
        queue.push_back(std::move(event));
        raise();
    }
    // Raises the descriptor if events wait and it is not raised yet.
    void raise() KESU_REQUIRES(queueMutex);

    IPCMessengerClient& client;
    const size_t limitBytes;
    // Raised and cleared under queueMutex, as `raised` says.
    int eventFd = -1;

    // Lock order: the client's handlersMutex or sinksMutex, then queueMutex.
    // No callback of the application ever runs under it.
    pthread_helper::mutex queueMutex;
    std::deque<Event> queue KESU_GUARDED_BY(queueMutex);  // oldest first
    size_t queuedBytes KESU_GUARDED_BY(queueMutex) = 0;   // what the messages in `queue` cost
    bool raised KESU_GUARDED_BY(queueMutex) = false;      // eventFd is readable
    unsigned heldBack KESU_GUARDED_BY(queueMutex) = 0;    // messages taken since the descriptor was last raised
    pthread_helper::cond roomCond;                        // a dispatch made room, or a stop came
};

inline IPCInbox::IPCInbox(IPCMessengerClient& messengerClient, size_t limit)
    : client(messengerClient), limitBytes(limit) {
    eventFd = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (eventFd == -1) {
        KESU_LOG(1, 401, kLogFileInbox, "Can't make the inbox's descriptor: %s", std::strerror(errno));
        return;
    }
    client.addHandler(this);
    client.addSink(this);
}

inline IPCInbox::~IPCInbox() {
    if (eventFd == -1) return;
    client.removeSink(this);
    client.removeHandler(this);
    ::close(eventFd);
}

inline void IPCInbox::take(std::unique_ptr<IPCMessage> message) {
    const size_t bytes = costBytes(*message);
    pthread_helper::scoped_lock lock(queueMutex);
    // queuedBytes never exceeds the bound once a message is held, so the difference cannot wrap.
    while (queuedBytes != 0 && bytes > limitBytes - queuedBytes) {
        if (client.stopping()) return;  // the message goes: a stop ends dispatch
        raise();                        // what fills the inbox is news, or nobody makes room
        roomCond.wait(queueMutex);
    }
    queuedBytes += bytes;
    queue.push_back({Event::Kind::Message, std::move(message)});
    if (++heldBack >= kAnnounceEveryMessages) raise();
}

inline void IPCInbox::raise() {
    heldBack = 0;
    if (raised || queue.empty()) return;
    const uint64_t one = 1;
    if (::write(eventFd, &one, sizeof one) != sizeof one)
        KESU_LOG(1, 402, kLogFileInbox, "Can't wake the inbox's reader: %s", std::strerror(errno));
    raised = true;
}

inline size_t IPCInbox::dispatch(IPCInboxHandler& handler, size_t maxEvents) {
    size_t handled = 0;
    while (handled < maxEvents) {
        Event event;
        {
            pthread_helper::scoped_lock lock(queueMutex);
            if (queue.empty()) break;
            event = std::move(queue.front());
            queue.pop_front();
            if (event.message) {
                queuedBytes -= costBytes(*event.message);
                roomCond.signal();
            }
            if (queue.empty() && raised) {
                raised = false;
                uint64_t count = 0;
                if (::read(eventFd, &count, sizeof count) != sizeof count)
                    KESU_LOG(1, 403, kLogFileInbox, "Can't clear the inbox's descriptor: %s", std::strerror(errno));
            }
        }
        ++handled;
        switch (event.kind) {
        case Event::Kind::Connected:
            handler.onConnected();
            break;
        case Event::Kind::Message:
            handler.onMessage(std::move(event.message));
            break;
        case Event::Kind::Disconnected:
            handler.onDisconnected();
            break;
        }
    }
    return handled;
}
