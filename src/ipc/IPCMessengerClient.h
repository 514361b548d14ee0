// The client end of the box's local IPC messenger. Public: the header that
// applications include.
//
// One IPCMessengerClient is one connection endpoint and is itself a thread:
//   run()                 connect with paced retries, then set the connection up
//   receiveFrames()       read frames, build messages, hand them to handlers
//   tearDownConnection()  end the connection and its sender, then reconnect
// Each connection has a sender thread (IPCOutMessageSender) that writes what
// sendMessage() queued. Handlers are told of connections and messages on the
// client thread; an IPCInbox (IPCInbox.h) carries them to a thread of the
// application's own.
#pragma once

#include <fcntl.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstddef>
#include <cstring>
#include <exception>
#include <memory>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "IPCFrameReader.h"
#include "IPCMessage.h"
#include "IPCMessageFactory.h"
#include "IPCOutMessageSender.h"
#include "IPCValueMessages.h"
#include "kesu/private/KesuLog.h"
#include "STBThread.h"
#include "kesu/common/AutoRetrier.h"
#include "kesu/private/pthread_helper.h"
#include "kesu/private/thread_annotations.h"

class IPCMessengerClient : public STBThread {
public:
    // Observer of one client. Every callback runs on the client thread with the
    // client's handler lock held, so a callback must not call addHandler() or
    // removeHandler() (the lock is error-checking: the process would end).
    // It may call sendMessage(), and stop(), which from a callback only asks
    // the client thread to end once the callback has returned; from then on
    // no handler hears of anything but the end of the connection. An exception
    // thrown by a callback is logged and swallowed; the other handlers are
    // still told and the connection goes on.
    //
    // For each handler, onConnected() and onDisconnected() alternate: every
    // onConnected() is followed by exactly one onDisconnected(), before the
    // next onConnected() and before the owner's stop() returns, whatever ends
    // the connection. A handler added during a connection hears of its
    // messages, and of connections from the next one on.
    class IPCMessengerHandler {
    public:
        // `message` is lent for the duration of the call only.
        virtual void onNewMessageReceived(IPCMessage const* message) = 0;
        // After each successful connection.
        virtual void onConnected() {}
        // When a connection this handler was told of has ended.
        virtual void onDisconnected() {}

    protected:
        ~IPCMessengerHandler() = default;  // never owned or deleted by the client
    };

    using OutMessageSender = IPCOutMessageSender;

    static constexpr const char* kDefaultSocketPath = "/tmp/kesu_messenger";
    static constexpr unsigned kRetryPollUs = 200000;  // sleep between readiness checks while waiting to retry

    IPCMessengerClient() : IPCMessengerClient(kDefaultSocketPath) {}
    // Another server path, for tests and development servers. A path that
    // does not fit a Unix-domain address makes every connection attempt fail.
    explicit IPCMessengerClient(std::string const& socketPath);
    // Stops the client thread if stop() has not already ended it.
    ~IPCMessengerClient() override;

    void addHandler(IPCMessengerHandler* handler) KESU_EXCLUDES(handlersMutex) {
        pthread_helper::scoped_lock lock(handlersMutex);
        handlers.insert(handler);
    }
    void removeHandler(IPCMessengerHandler* handler) KESU_EXCLUDES(handlersMutex) {
        pthread_helper::scoped_lock lock(handlersMutex);
        handlers.erase(handler);
        toldOfConnection.erase(handler);
    }

    // Takes ownership of a heap-allocated message in every case. It is
    // serialised on the calling thread, then queued for the current
    // connection's sender, or deleted at once when there is no sender still
    // able to write or its queue has no room. The caller learns nothing of the
    // outcome; see setDeliveryCallback() and setDropCallback().
    void sendMessage(std::unique_ptr<IPCMessage> message) KESU_EXCLUDES(outSenderMutex);
    // The same, for a message from `new`.
    void sendMessage(IPCMessage* message) KESU_EXCLUDES(outSenderMutex) {
        sendMessage(std::unique_ptr<IPCMessage>(message));
    }

    // The message types announced to the server after every connection (no
    // announcement while empty). Call before start().
    void setAllowedMessages(std::set<IPCMessageType> types) { allowedMessages = std::move(types); }

    // Accept only a server that runs under this user ID: after each connect,
    // the server's credentials are read from the socket, and a server of
    // another user counts as a failed attempt, closed before anything is
    // written or dispatched. Call before start(). Without it, any server at
    // the path is trusted.
    void setTrustedServerUid(uid_t uid) {
        trustedServerUid = uid;
        checkServerUid = true;
    }

    // Called on a sender thread for each message whose frame was written whole
    // to a connected socket. Call before start(). The callback must not call
    // sendMessage() or stop(): the end of a connection waits for the sender
    // thread while holding the lock that sendMessage() takes.
    void setDeliveryCallback(IPCDeliveryCallback callback) { deliveryCallback = std::move(callback); }

    // Bounds what one connection holds queued, in bytes of frames (8-byte
    // header and payload). A message whose frame does not fit is deleted at
    // once, as when there is no connection. Call before start(); 0: no bound.
    // The default holds one frame of the largest payload a reader accepts.
    void setSendQueueLimit(size_t bytes) { sendQueueLimitBytes = bytes; }

    // Called with each message that the send queue had no room for, just
    // before it is deleted, on the thread that called sendMessage() and with
    // no lock of the client held but those that thread already held (in a
    // handler callback: the handler lock). Call before start().
    void setDropCallback(IPCDropCallback callback) { dropCallback = std::move(callback); }

    // Starts the client thread, which connects at once. After any stop() (the
    // owner's, another thread's or a callback's) it waits for the previous
    // run to end, then runs the client again. Does nothing while the client
    // runs, and when called from a handler callback.
    void start() KESU_EXCLUDES(lifecycleMutex, socketMutex);

    // Ends the connection and the client thread; returns once the thread has
    // ended. Safe in every state, also before start(), and from any number of
    // threads at once. Called from a handler callback, it returns at once and
    // the client thread ends after the callback; the owner's stop() or the
    // destructor then waits for it.
    void stop() KESU_EXCLUDES(lifecycleMutex, socketMutex, outSenderMutex);

    void run() override;

private:
    friend class IPCInbox;

    // What an IPCInbox is to the client: besides being a handler, it takes
    // each received message whole once the handlers have heard of it, so the
    // application gets the decoded message itself, not a copy. Internal.
    class MessageSink {
    public:
        // On the client thread, after the handlers, with no lock of the
        // client held. May wait for room, until the client is stopping; the
        // message is then dropped. The sink may hold back its wake-up until
        // announce().
        virtual void take(std::unique_ptr<IPCMessage> message) = 0;
        // On the client thread, before it waits for the server: whatever
        // take() held back is news now.
        virtual void announce() = 0;
        // On any thread, once a stop has been requested: a take() that waits returns.
        virtual void wake() = 0;

    protected:
        ~MessageSink() = default;
    };
    // Registered by the inbox's constructor; removed by its destructor, once
    // the client thread has ended.
    void addSink(MessageSink* sink) KESU_EXCLUDES(sinksMutex) {
        pthread_helper::scoped_lock lock(sinksMutex);
        sinks.push_back(sink);
        sinkCount.store(sinks.size());
    }
    void removeSink(MessageSink* sink) KESU_EXCLUDES(sinksMutex) {
        pthread_helper::scoped_lock lock(sinksMutex);
        sinks.erase(std::remove(sinks.begin(), sinks.end(), sink), sinks.end());
        sinkCount.store(sinks.size());
    }
    // True when a sink took the message.
    bool handOver(std::unique_ptr<IPCMessage> message) KESU_EXCLUDES(sinksMutex);

    // Raises the stop request and wakes the client thread, the sender and
    // a sink waiting for room.
    void requestStop() KESU_EXCLUDES(socketMutex, outSenderMutex, sinksMutex);
    bool stopping() const { return stopRequested.load() || !isRunning(); }
    // Opens the socket of one attempt, unless a stop was requested; -1 then.
    int openSocket() KESU_EXCLUDES(socketMutex);
    // Closes the attempt's socket, unless stop() has taken it over.
    void releaseSocket(int fd) KESU_EXCLUDES(socketMutex);
    // False, with a log line, when the server at the other end of `fd` runs
    // under another user than the trusted one.
    bool serverIsTrusted(int fd) const;
    void setUpConnection(int fd) KESU_EXCLUDES(handlersMutex, outSenderMutex);
    void receiveFrames(int fd) KESU_EXCLUDES(handlersMutex);
    void tellOfDisconnection() KESU_EXCLUDES(handlersMutex);
    void tearDownConnection() KESU_EXCLUDES(socketMutex, outSenderMutex);

    // A handler's exceptions are logged and swallowed.
    template <class Call>
    static void callLogged(Call call);

    // Held by start() and by stop() on every thread but the client's, for the
    // whole of each: stops and restarts never interleave, and a stop waits
    // for the run it ended, never for one that a start() began meanwhile.
    // The client thread never takes it, so an owner may hold it while it
    // waits for that thread.
    // Lock order: lifecycleMutex, then handlersMutex, then outSenderMutex,
    // then the sender's queueMutex. socketMutex is taken alone, or under
    // lifecycleMutex. sinksMutex comes after lifecycleMutex and
    // handlersMutex, before an inbox's queueMutex, and is never held while a
    // sink waits.
    pthread_helper::mutex lifecycleMutex KESU_ACQUIRED_BEFORE(handlersMutex, socketMutex);
    pthread_helper::mutex handlersMutex KESU_ACQUIRED_BEFORE(outSenderMutex);
    std::set<IPCMessengerHandler*> handlers KESU_GUARDED_BY(handlersMutex);  // not owned
    // The handlers told of the present connection: each is owed an onDisconnected().
    std::set<IPCMessengerHandler*> toldOfConnection KESU_GUARDED_BY(handlersMutex);

    pthread_helper::mutex socketMutex;
    int socketFd KESU_GUARDED_BY(socketMutex) = 0;  // 0 means no socket; only values above 0 are shut down or closed

    // The client thread's; start() makes it anew while no thread runs, so
    // that every run makes its first attempt at once.
    static AutoRetrier makeConnectRetrier() { return AutoRetrier("ipc_connection", 1000, 100000, 50); }
    AutoRetrier connectRetrier = makeConnectRetrier();

    pthread_helper::mutex outSenderMutex;
    std::unique_ptr<OutMessageSender> outSender KESU_GUARDED_BY(outSenderMutex);  // null between connections

    pthread_helper::mutex sinksMutex;
    std::vector<MessageSink*> sinks KESU_GUARDED_BY(sinksMutex);  // not owned
    // sinks.size(), written under sinksMutex: a client without an inbox
    // takes no lock per message for the hand-over.
    std::atomic<size_t> sinkCount{0};
    // Client thread only: the sinks of the message handed over last, taken
    // under sinksMutex and called without it, so that a stop can wake them.
    // A sink is removed only once the client thread has ended.
    std::vector<MessageSink*> sinksInTurn;

    std::set<IPCMessageType> allowedMessages;  // set before start, read by the client thread
    IPCDeliveryCallback deliveryCallback;      // set before start, called by sender threads
    IPCDropCallback dropCallback;              // set before start, called by submitters
    size_t sendQueueLimitBytes = OutMessageSender::kDefaultQueueLimitBytes;  // set before start
    bool checkServerUid = false;  // set before start, read by the client thread
    uid_t trustedServerUid = 0;

    // Raised by stop() under socketMutex, cleared by start() under it while no
    // client thread runs; read without a lock by the client thread.
    std::atomic<bool> stopRequested{false};

    sockaddr_un serverAddress{};
    socklen_t serverAddressLength = 0;  // 0: the path does not fit

    // The client whose run() the calling thread executes, if any.
    static inline thread_local IPCMessengerClient const* clientOfThisThread = nullptr;
};

inline IPCMessengerClient::IPCMessengerClient(std::string const& socketPath) {
    serverAddress.sun_family = AF_UNIX;
    if (socketPath.size() < sizeof serverAddress.sun_path) {
        std::memcpy(serverAddress.sun_path, socketPath.c_str(), socketPath.size() + 1);
        // Family and path, without the terminating NUL.
        serverAddressLength = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + socketPath.size());
    }
}

inline IPCMessengerClient::~IPCMessengerClient() {
    {
        pthread_helper::scoped_lock lock(socketMutex);
        if (socketFd > 0) KESU_LOG(4, 52, kLogFileClient, "Closing connection");
    }
    // Also joins a client thread that a callback's stop() has let run out:
    // it still uses the members destroyed after this.
    stop();
}

inline void IPCMessengerClient::sendMessage(std::unique_ptr<IPCMessage> owned) {
    if (stopRequested.load()) return;  // the connection is going away
    // Here, outside every lock: the queue's bound counts each frame at its size.
    owned->serialize();
    {
        pthread_helper::scoped_lock lock(outSenderMutex);
        if (!outSender || !outSender->isSending()) return;
        owned = outSender->enqueue(std::move(owned));
    }
    if (owned && dropCallback) dropCallback(*owned);
}

inline void IPCMessengerClient::start() {
    if (clientOfThisThread == this) return;  // it runs: the callback is on its thread
    pthread_helper::scoped_lock lifecycle(lifecycleMutex);
    // A run that a stop ended (from a callback, perhaps) may still be
    // finishing; it must be over before the request is cleared.
    if (stopRequested.load()) STBThread::stop();
    if (isRunning()) return;
    connectRetrier = makeConnectRetrier();
    {
        pthread_helper::scoped_lock lock(socketMutex);
        stopRequested.store(false);
    }
    STBThread::start(nullptr);
}

inline void IPCMessengerClient::stop() {
    // A thread cannot wait for itself. The callback that asked returns to
    // the receive loop, which ends the connection; its tear-down closes the
    // socket once the connection's sender has let go.
    if (clientOfThisThread == this) {
        requestStop();
        return;
    }
    pthread_helper::scoped_lock lifecycle(lifecycleMutex);
    requestStop();
    STBThread::stop();
}

inline void IPCMessengerClient::requestStop() {
    {
        pthread_helper::scoped_lock lock(socketMutex);
        stopRequested.store(true);
        // Shut down, not closed: a blocked receive (or a sender blocked in a
        // write) returns at once, while the descriptor number stays ours until
        // the client thread has let go of it, so it is never reused under a
        // thread that still reads or writes it.
        if (socketFd > 0) ::shutdown(socketFd, SHUT_RDWR);
    }
    // Told now rather than by the tear-down: the sender's thread then ends
    // while the client thread wakes up, not after it.
    {
        pthread_helper::scoped_lock lock(outSenderMutex);
        if (outSender) outSender->requestStop();
    }
    // An inbox that nobody drains holds the client thread in a hand-over.
    pthread_helper::scoped_lock lock(sinksMutex);
    for (MessageSink* sink : sinks) sink->wake();
}

inline int IPCMessengerClient::openSocket() {
    pthread_helper::scoped_lock lock(socketMutex);
    // Tested under the lock stop() takes: a stop either comes before (no
    // socket is made) or after (it finds the socket and shuts it down).
    if (stopRequested.load()) return -1;
    // Close-on-exec from the start: a child that another thread spawns at any
    // moment must not inherit the connection.
    socketFd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (socketFd == 0) {
        // 0 means "no socket" throughout the client (the host process has
        // closed its standard input); move the socket to a number above it.
        int moved = ::fcntl(0, F_DUPFD_CLOEXEC, 1);
        if (moved == -1) KESU_LOG(1, 122, kLogFileClient, "Can't set cloexec");
        ::close(0);
        socketFd = moved;
    }
    return socketFd;
}

inline void IPCMessengerClient::releaseSocket(int fd) {
    pthread_helper::scoped_lock lock(socketMutex);
    if (socketFd == fd && fd != 0) ::close(fd);
    socketFd = 0;
}

inline void IPCMessengerClient::run() {
    struct ThreadMark {
        explicit ThreadMark(IPCMessengerClient const* client) { clientOfThisThread = client; }
        ~ThreadMark() { clientOfThisThread = nullptr; }
    } mark(this);
    while (!stopping()) {
        if (!connectRetrier.readyToTry()) {
            ::usleep(kRetryPollUs);
            continue;
        }
        int fd = openSocket();
        if (fd == -1 && stopRequested.load()) return;

        // Non-blocking for the connect only: a server whose backlog is full
        // would otherwise block it beyond the reach of stop(). Such a server
        // counts as a failed attempt.
        int flags = ::fcntl(fd, F_GETFL);
        bool connected = flags != -1 && ::fcntl(fd, F_SETFL, flags | O_NONBLOCK) == 0 && serverAddressLength != 0 &&
            ::connect(fd, reinterpret_cast<sockaddr const*>(&serverAddress), serverAddressLength) == 0 &&
            ::fcntl(fd, F_SETFL, flags) == 0;
        if (!connected) {
            const int connectError = errno;  // of the call that failed; logging may change errno
            // The fixed line as log scrapers know it, then the reason on a line of its own.
            KESU_LOG(1, 129, kLogFileClient, "Can not connect to IPC Messagenger server");
            if (serverAddressLength == 0)
                KESU_LOG(1, 130, kLogFileClient, "The socket path does not fit a Unix-domain address");
            else
                KESU_LOG(1, 130, kLogFileClient, "%s: %s", serverAddress.sun_path, std::strerror(connectError));
            connectRetrier.reportFailure();
            releaseSocket(fd);
            continue;
        }
        if (stopping()) {
            // stop() came during the connect: no handler hears of this connection.
            releaseSocket(fd);
            return;
        }
        if (!serverIsTrusted(fd)) {
            connectRetrier.reportFailure();
            releaseSocket(fd);
            continue;
        }
        KESU_LOG(3, 138, kLogFileClient, "Connected to IPC server");
        connectRetrier.reportSuccess();
        setUpConnection(fd);
        receiveFrames(fd);
        tellOfDisconnection();
        tearDownConnection();
    }
}

inline bool IPCMessengerClient::serverIsTrusted(int fd) const {
    if (!checkServerUid) return true;
    ucred peer{};
    socklen_t size = sizeof peer;
    if (::getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &peer, &size) != 0) {
        KESU_LOG(1, 131, kLogFileClient, "Can't read the server's credentials. Not trusted.");
        return false;
    }
    if (peer.uid == trustedServerUid) return true;
    KESU_LOG(1, 131, kLogFileClient, "Server runs as user %u, not as the trusted user %u. Not trusted.",
             static_cast<unsigned>(peer.uid), static_cast<unsigned>(trustedServerUid));
    return false;
}

inline void IPCMessengerClient::setUpConnection(int fd) {
    auto sender = std::make_unique<OutMessageSender>(fd, &deliveryCallback, sendQueueLimitBytes);
    if (!allowedMessages.empty()) {
        // Queued before the sender is installed: the announcement is the
        // connection's first frame, whatever other threads submit meanwhile.
        auto announcement = std::make_unique<IPCMessageAllowedMessageList>(allowedMessages);
        announcement->serialize();
        std::unique_ptr<IPCMessage> refused = sender->enqueue(std::move(announcement));
        if (refused && dropCallback) dropCallback(*refused);
    }
    {
        pthread_helper::scoped_lock lock(outSenderMutex);
        // Started before it is installed, so sendMessage() on another thread
        // finds no sender or a running one; the assignment deletes a previous
        // sender only after the new one runs.
        sender->start(nullptr);
        outSender = std::move(sender);
    }
    pthread_helper::scoped_lock lock(handlersMutex);
    for (IPCMessengerHandler* handler : handlers) {
        if (stopping()) break;  // asked by a handler before, perhaps: the others hear nothing
        // Before the call: a handler that stops the client from it is still owed the end.
        toldOfConnection.insert(handler);
        callLogged([handler] { handler->onConnected(); });
    }
}

inline void IPCMessengerClient::receiveFrames(int fd) {
    // `fd` is this connection's descriptor; stop() never closes it, so it
    // cannot turn into another file under the loop. The stop test comes
    // before every frame: a socket that is shut down still yields what it had
    // buffered, and a stop asked from a callback must end dispatch at once.
    // Raised by a hand-over to a sink; the sinks announce it before the
    // reader waits for the server, so a burst of frames wakes the
    // application once.
    bool unannounced = false;
    const auto announce = [this] {
        for (MessageSink* sink : sinksInTurn) sink->announce();
    };
    while (!stopping()) {
        IPCMessageStruct frame;
        if (ipc_frame::receiveFrame(
                fd, frame, [this] { return !stopping(); }, unannounced, announce) != ipc_frame::FrameOutcome::Frame)
            return;
        std::unique_ptr<IPCMessage> message = IPCMessageFactory::getMessage(std::move(frame));
        message->unserialize();
        {
            IPCMessage const* lent = message.get();
            pthread_helper::scoped_lock lock(handlersMutex);
            for (IPCMessengerHandler* handler : handlers) {
                if (stopping()) break;
                callLogged([handler, lent] { handler->onNewMessageReceived(lent); });
            }
        }
        // Without the handler lock: a full inbox holds this thread here until
        // its application drains it, and that application may add or remove
        // handlers meanwhile.
        if (handOver(std::move(message))) unannounced = true;
    }
}

inline bool IPCMessengerClient::handOver(std::unique_ptr<IPCMessage> message) {
    if (sinkCount.load() == 0) return false;
    {
        pthread_helper::scoped_lock lock(sinksMutex);
        sinksInTurn.assign(sinks.begin(), sinks.end());  // keeps its capacity: no allocation per message
    }
    const size_t count = sinksInTurn.size();
    for (size_t i = 0; i < count; ++i) {
        if (stopping()) return false;  // a stop ends dispatch: no sink hears of the message
        if (i + 1 == count) {
            sinksInTurn[i]->take(std::move(message));
            return true;
        }
        // Several inboxes on one client are rare: all but the last get a decode of their own.
        std::unique_ptr<IPCMessage> copy = IPCMessageFactory::getMessage(message->messageStruct);
        copy->unserialize();
        sinksInTurn[i]->take(std::move(copy));
    }
    return false;
}

// Whatever ended the connection: the peer, an error, a broken frame, a
// failed write or a stop from any thread.
inline void IPCMessengerClient::tellOfDisconnection() {
    pthread_helper::scoped_lock lock(handlersMutex);
    for (IPCMessengerHandler* handler : toldOfConnection) callLogged([handler] { handler->onDisconnected(); });
    toldOfConnection.clear();
}

inline void IPCMessengerClient::tearDownConnection() {
    {
        // A sender blocked in a write to a peer that does not read would never
        // notice its stop; the shutdown fails that write at once.
        pthread_helper::scoped_lock lock(socketMutex);
        if (socketFd > 0) ::shutdown(socketFd, SHUT_RDWR);
    }
    {
        // Waits for the sender thread while holding outSenderMutex: a
        // concurrent sendMessage() then finds no sender and deletes its message.
        pthread_helper::scoped_lock lock(outSenderMutex);
        outSender.reset();
    }
    // Closed only once no thread of this connection can touch the descriptor.
    pthread_helper::scoped_lock lock(socketMutex);
    if (socketFd > 0) ::close(socketFd);
    socketFd = 0;
}

template <class Call>
void IPCMessengerClient::callLogged(Call call) {
    try {
        call();
    } catch (std::exception const& e) {
        KESU_LOG(1, 240, kLogFileClient, "Handler failed: %s", e.what());
    } catch (...) {
        KESU_LOG(1, 240, kLogFileClient, "Handler failed: unknown exception");
    }
}
