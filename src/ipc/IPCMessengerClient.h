// The client end of the box's local IPC messenger. Public: the header that
// applications include.
//
// One IPCMessengerClient is one connection endpoint and is itself a thread:
//   run()                 connect with paced retries, then set the connection up
//   receiveFrames()       read frames, build messages, hand them to handlers
//   tearDownConnection()  end the connection and its sender, then reconnect
// Each connection has a sender thread (IPCOutMessageSender) that writes what
// sendMessage() queued. Handlers are told of connections and messages on the
// client thread.
#pragma once

#include <fcntl.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <atomic>
#include <cstddef>
#include <cstring>
#include <exception>
#include <memory>
#include <set>
#include <string>
#include <utility>

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
    // the client thread to end once the callback has returned. An exception
    // thrown by a callback is logged and swallowed; the other handlers are
    // still told and the connection goes on.
    class IPCMessengerHandler {
    public:
        // `message` is lent for the duration of the call only.
        virtual void onNewMessageReceived(IPCMessage const* message) = 0;
        // After each successful connection.
        virtual void onConnected() {}
        // When a connection that was established ends by the peer, a read
        // error or a broken frame, and also when stop() interrupts a receive.
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
    }

    // Takes ownership of a heap-allocated message in every case. It is queued
    // for the current connection's sender, or deleted at once when there is no
    // sender still able to write. The caller learns nothing of the outcome;
    // see setDeliveryCallback().
    void sendMessage(IPCMessage* message) KESU_EXCLUDES(outSenderMutex);

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
    // sendMessage(): the end of a connection waits for the sender thread while
    // holding the lock that sendMessage() takes.
    void setDeliveryCallback(IPCDeliveryCallback callback) { deliveryCallback = std::move(callback); }

    void start() {
        stopRequested.store(false);  // no lock: the thread does not exist yet
        STBThread::start(nullptr);
    }

    // Ends the connection and the client thread; returns once the thread has
    // ended. Safe in every state, also before start(). Called from a handler
    // callback, it returns at once and the client thread ends after the
    // callback; the owner's stop() or the destructor then waits for it.
    void stop() KESU_EXCLUDES(socketMutex);

    void run() override;

private:
    // Opens the socket of one attempt, unless a stop was requested; -1 then.
    int openSocket() KESU_EXCLUDES(socketMutex);
    // Closes the attempt's socket, unless stop() has taken it over.
    void releaseSocket(int fd) KESU_EXCLUDES(socketMutex);
    // False, with a log line, when the server at the other end of `fd` runs
    // under another user than the trusted one.
    bool serverIsTrusted(int fd) const;
    void setUpConnection(int fd) KESU_EXCLUDES(handlersMutex, outSenderMutex);
    void receiveFrames(int fd) KESU_EXCLUDES(handlersMutex);
    void tearDownConnection() KESU_EXCLUDES(socketMutex, outSenderMutex);

    template <class Call>
    void callEachHandler(Call call) KESU_EXCLUDES(handlersMutex);

    // Lock order: handlersMutex, then outSenderMutex, then the sender's
    // queueMutex. socketMutex is never held together with another lock.
    pthread_helper::mutex handlersMutex KESU_ACQUIRED_BEFORE(outSenderMutex);
    std::set<IPCMessengerHandler*> handlers KESU_GUARDED_BY(handlersMutex);  // not owned

    pthread_helper::mutex socketMutex;
    int socketFd KESU_GUARDED_BY(socketMutex) = 0;  // 0 means no socket; only values above 0 are shut down or closed

    AutoRetrier connectRetrier{"ipc_connection", 1000, 100000, 50};  // client thread only

    pthread_helper::mutex outSenderMutex;
    std::unique_ptr<OutMessageSender> outSender KESU_GUARDED_BY(outSenderMutex);  // null between connections

    std::set<IPCMessageType> allowedMessages;  // set before start, read by the client thread
    IPCDeliveryCallback deliveryCallback;      // set before start, called by sender threads
    bool checkServerUid = false;               // set before start, read by the client thread
    uid_t trustedServerUid = 0;

    // Raised by stop() under socketMutex, cleared by start() before the thread
    // exists; read without a lock by the client thread.
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

inline void IPCMessengerClient::sendMessage(IPCMessage* message) {
    std::unique_ptr<IPCMessage> owned(message);  // ours on every path from here
    if (stopRequested.load()) return;            // the connection is going away
    pthread_helper::scoped_lock lock(outSenderMutex);
    if (outSender && outSender->isSending()) outSender->enqueue(owned.release());
}

inline void IPCMessengerClient::stop() {
    {
        pthread_helper::scoped_lock lock(socketMutex);
        stopRequested.store(true);
        // Shut down, not closed: a blocked receive (or a sender blocked in a
        // write) returns at once, while the descriptor number stays ours until
        // the client thread has let go of it, so it is never reused under a
        // thread that still reads or writes it.
        if (socketFd > 0) ::shutdown(socketFd, SHUT_RDWR);
    }
    {
        // Told now rather than by the tear-down: the sender's thread then ends
        // while the client thread wakes up, not after it.
        pthread_helper::scoped_lock lock(outSenderMutex);
        if (outSender) outSender->requestStop();
    }
    // A thread cannot wait for itself. The callback that asked returns to
    // the receive loop, which finds the socket shut down and ends; its
    // tear-down closes the socket once the connection's sender has let go.
    if (clientOfThisThread == this) return;
    STBThread::stop();
    pthread_helper::scoped_lock lock(socketMutex);
    if (socketFd > 0) ::close(socketFd);
    socketFd = 0;
}

inline int IPCMessengerClient::openSocket() {
    pthread_helper::scoped_lock lock(socketMutex);
    // Tested under the lock stop() takes: a stop either comes before (no
    // socket is made) or after (it finds the socket and shuts it down).
    if (stopRequested.load()) return -1;
    socketFd = ::socket(AF_UNIX, SOCK_STREAM, 0);
    if (socketFd == 0) {
        // 0 means "no socket" throughout the client (the host process has
        // closed its standard input); move the socket to a number above it.
        int moved = ::fcntl(0, F_DUPFD_CLOEXEC, 1);
        ::close(0);
        socketFd = moved;
    }
    if (::fcntl(socketFd, F_SETFD, FD_CLOEXEC) != 0) KESU_LOG(1, 122, kLogFileClient, "Can't set cloexec");
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
    while (isRunning() && !stopRequested.load()) {
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
        bool connected = flags != -1 && ::fcntl(fd, F_SETFL, flags | O_NONBLOCK) == 0 &&
                         serverAddressLength != 0 &&
                         ::connect(fd, reinterpret_cast<sockaddr const*>(&serverAddress), serverAddressLength) == 0 &&
                         ::fcntl(fd, F_SETFL, flags) == 0;
        if (!connected) {
            KESU_LOG(1, 129, kLogFileClient, "Can not connect to IPC Messagenger server");
            connectRetrier.reportFailure();
            releaseSocket(fd);
            continue;
        }
        if (stopRequested.load()) {
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
    {
        pthread_helper::scoped_lock lock(outSenderMutex);
        // Started before it is installed, so sendMessage() on another thread
        // finds no sender or a running one; the assignment deletes a previous
        // sender only after the new one runs.
        auto sender = std::make_unique<OutMessageSender>(fd, &deliveryCallback);
        sender->start(nullptr);
        outSender = std::move(sender);
    }
    if (!allowedMessages.empty()) sendMessage(new IPCMessageAllowedMessageList(allowedMessages));
    callEachHandler([](IPCMessengerHandler* handler) { handler->onConnected(); });
}

inline void IPCMessengerClient::receiveFrames(int fd) {
    // `fd` is this connection's descriptor; stop() never closes it while this
    // thread runs, so it cannot turn into another file under the loop.
    while (isRunning()) {
        IPCMessageStruct frame;
        ipc_frame::FrameOutcome outcome = ipc_frame::receiveFrame(fd, frame, [this] { return isRunning(); });
        if (outcome == ipc_frame::FrameOutcome::Stopped) return;
        if (outcome != ipc_frame::FrameOutcome::Frame) {
            callEachHandler([](IPCMessengerHandler* handler) { handler->onDisconnected(); });
            return;
        }
        std::unique_ptr<IPCMessage> message = IPCMessageFactory::getMessage(std::move(frame));
        message->unserialize();
        IPCMessage const* lent = message.get();
        callEachHandler([lent](IPCMessengerHandler* handler) { handler->onNewMessageReceived(lent); });
    }
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
void IPCMessengerClient::callEachHandler(Call call) {
    pthread_helper::scoped_lock lock(handlersMutex);
    for (IPCMessengerHandler* handler : handlers) {
        try {
            call(handler);
        } catch (std::exception const& e) {
            KESU_LOG(1, 240, kLogFileClient, "Handler failed: %s", e.what());
        } catch (...) {
            KESU_LOG(1, 240, kLogFileClient, "Handler failed: unknown exception");
        }
    }
}
