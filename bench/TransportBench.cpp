// The library's own paths against the socket limit: receive, send and the
// round trip of a reply, each beside a raw loop that makes the same system
// calls, and the send and reply paths also beside the raw loop behind a plain
// mutex and condition-variable queue (raw_queue): the library's structure
// without the library. The Inbox cases put the receive and the reply through
// an IPCInbox dispatched by a poll loop on a thread of its own, beside the
// same paths through a direct handler.
#include <poll.h>

#include <deque>
#include <optional>
#include <utility>
#include <vector>

#include "BenchSupport.h"
#include "kesu/ipc/IPCInbox.h"
#include "kesu/ipc/IPCMessengerClient.h"

namespace kesu_bench {
namespace {

// Writes whole frames as fast as the socket takes them, 256 KiB per call, so
// that the reader, not the writer, sets the pace.
void flood(int fd, size_t payloadBytes, size_t frames, Latch& started) {
    const size_t frameBytes = payloadBytes + kHeaderBytes;
    const size_t perBlock = std::clamp<size_t>((256u << 10) / frameBytes, 1, frames);
    std::vector<char> block(perBlock * frameBytes, 'p');
    for (size_t i = 0; i < perBlock; ++i) putHeader(block.data() + i * frameBytes, payloadBytes);
    started.raise();
    for (size_t left = frames; left > 0;) {
        size_t now = std::min(left, perBlock);
        if (!sendAll(fd, block.data(), now * frameBytes)) fail("flood: the client went away");
        left -= now;
    }
}

// Header, then payload: the sender thread's two writes.
bool writeFrame(int fd, std::vector<char> const& payload) {
    char header[kHeaderBytes];
    putHeader(header, payload.size());
    return sendAll(fd, header, sizeof header) && sendAll(fd, payload.data(), payload.size());
}

// The queue an application would write first: one mutex, one condition
// variable, one pop per wake-up, a writer thread.
class QueuedWriter {
public:
    explicit QueuedWriter(int socket) : fd(socket), thread([this] { run(); }) {}
    ~QueuedWriter() {
        {
            std::lock_guard<std::mutex> lock(queueMutex);
            quitting = true;
        }
        queueCond.notify_one();
        thread.join();
    }
    QueuedWriter(QueuedWriter const&) = delete;
    QueuedWriter& operator=(QueuedWriter const&) = delete;

    void push(std::vector<char> payload) {
        {
            std::lock_guard<std::mutex> lock(queueMutex);
            queue.push_back(std::move(payload));
        }
        queueCond.notify_one();
    }

private:
    void run() {
        for (;;) {
            std::vector<char> payload;
            {
                std::unique_lock<std::mutex> lock(queueMutex);
                queueCond.wait(lock, [this] { return quitting || !queue.empty(); });
                if (queue.empty()) return;
                payload = std::move(queue.front());
                queue.pop_front();
            }
            if (!writeFrame(fd, payload)) return;
        }
    }

    int fd;
    std::mutex queueMutex;
    std::condition_variable queueCond;
    std::deque<std::vector<char>> queue;
    bool quitting = false;
    std::thread thread;
};

// Raises `done` at the expected number of dispatched frames.
class CountingHandler final : public IPCMessengerClient::IPCMessengerHandler {
public:
    CountingHandler(size_t frames, size_t bytes) : expected(frames), payloadBytes(bytes) {}
    void onNewMessageReceived(IPCMessage const* message) override {
        if (message->messageStruct.data.size() != payloadBytes) fail("the client dispatched a frame of the wrong size");
        if (++count == expected) done.raise();
    }
    void onConnected() override { connected.raise(); }

    Latch done;
    Latch connected;

private:
    const size_t expected;
    const size_t payloadBytes;
    size_t count = 0;  // client thread only
};

// The application's thread of an inbox case: a poll loop that dispatches
// whenever the inbox's descriptor is readable, until destroyed.
class InboxLoop {
public:
    InboxLoop(IPCInbox& inbox, IPCInboxHandler& handler)
        : thread([this, &inbox, &handler] {
              pollfd ready{inbox.fd(), POLLIN, 0};
              while (!quitting.load())
                  if (::poll(&ready, 1, 50) == 1) inbox.dispatch(handler);
          }) {}
    ~InboxLoop() {
        quitting = true;
        thread.join();
    }
    InboxLoop(InboxLoop const&) = delete;
    InboxLoop& operator=(InboxLoop const&) = delete;

private:
    std::atomic<bool> quitting{false};
    std::thread thread;
};

// Raises `done` at the expected number of dispatched frames, on the loop's thread.
class CountingInboxHandler final : public IPCInboxHandler {
public:
    CountingInboxHandler(size_t frames, size_t bytes) : expected(frames), payloadBytes(bytes) {}
    void onMessage(std::unique_ptr<IPCMessage> message) override {
        if (message->messageStruct.data.size() != payloadBytes) fail("the inbox delivered a frame of the wrong size");
        if (++count == expected) done.raise();
    }

    Latch done;

private:
    const size_t expected;
    const size_t payloadBytes;
    size_t count = 0;  // loop thread only
};

// ---- receive: the clock runs from the server's first byte to the last frame's arrival

Batch receiveKesu(size_t payloadBytes, size_t frames) {
    Latch started;
    OneClientServer server([&](int fd) { flood(fd, payloadBytes, frames, started); });
    CountingHandler handler(frames, payloadBytes);
    IPCMessengerClient client(server.path);
    client.addHandler(&handler);
    long switches = voluntarySwitches();
    client.start();
    Clock::time_point finished = handler.done.await("the client's last frame");
    switches = voluntarySwitches() - switches;
    client.stop();
    client.removeHandler(&handler);
    return {secondsBetween(started.await("the server's start"), finished), switches};
}

// The same through an inbox: the clock stops at the last frame's dispatch on the loop's thread.
Batch receiveInbox(size_t payloadBytes, size_t frames) {
    Latch started;
    OneClientServer server([&](int fd) { flood(fd, payloadBytes, frames, started); });
    CountingInboxHandler handler(frames, payloadBytes);
    IPCMessengerClient client(server.path);
    IPCInbox inbox(client);
    long switches = voluntarySwitches();
    Clock::time_point finished;
    {
        InboxLoop loop(inbox, handler);
        client.start();
        finished = handler.done.await("the inbox's last frame");
        switches = voluntarySwitches() - switches;
        client.stop();
    }
    return {secondsBetween(started.await("the server's start"), finished), switches};
}

// What the library's receive loop does, without the library: recv 8, recv
// the length into a fresh zero-filled buffer.
Batch receiveRaw(size_t payloadBytes, size_t frames) {
    Latch started;
    OneClientServer server([&](int fd) { flood(fd, payloadBytes, frames, started); });
    long switches = voluntarySwitches();
    int fd = unixSocket(server.path, false);
    for (size_t i = 0; i < frames; ++i) {
        char header[kHeaderBytes];
        if (!recvAll(fd, header, sizeof header)) fail("raw receive: the server went away");
        std::vector<char> payload(headerLength(header), 0);
        if (!recvAll(fd, payload.data(), payload.size())) fail("raw receive: the server went away");
        if (payload.size() != payloadBytes) fail("raw receive: a frame of the wrong size");
    }
    Clock::time_point finished = Clock::now();
    switches = voluntarySwitches() - switches;
    ::close(fd);
    return {secondsBetween(started.await("the server's start"), finished), switches};
}

// ---- send: the clock runs from the first submission to the server's last byte

// A server that raises `drained` once `frames` frames of `payloadBytes` are in.
auto drainFrames(size_t payloadBytes, size_t frames, Latch& drained) {
    return [=, &drained](int fd) {
        uint64_t bytes = uint64_t{frames} * (payloadBytes + kHeaderBytes);
        if (drain(fd, bytes) < bytes) fail("drain: the client went away before its last frame");
        drained.raise();
    };
}

Batch sendKesu(size_t payloadBytes, size_t frames) {
    Latch drained;
    OneClientServer server(drainFrames(payloadBytes, frames, drained));
    CountingHandler handler(0, 0);
    IPCMessengerClient client(server.path);
    // Above any batch: the queue's accounting runs, and nothing is dropped.
    client.setSendQueueLimit(64u << 20);
    client.addHandler(&handler);
    client.start();
    handler.connected.await("the client's connection");
    IPCMessageStruct prototype{static_cast<IPCMessageType>(kBenchType), std::vector<char>(payloadBytes, 's')};
    long switches = voluntarySwitches();
    Clock::time_point start = Clock::now();
    for (size_t i = 0; i < frames; ++i) client.sendMessage(new IPCMessage(prototype));
    Clock::time_point finished = drained.await("the server's last frame");
    switches = voluntarySwitches() - switches;
    client.stop();
    client.removeHandler(&handler);
    return {secondsBetween(start, finished), switches};
}

// The socket limit of the sender's calls, on the caller's thread or on a
// writer thread behind a queue (a payload buffer per submission).
Batch sendRaw(size_t payloadBytes, size_t frames, bool queued) {
    Latch drained;
    OneClientServer server(drainFrames(payloadBytes, frames, drained));
    int fd = unixSocket(server.path, false);
    const std::vector<char> payload(payloadBytes, 's');
    std::optional<QueuedWriter> writer;
    if (queued) writer.emplace(fd);
    long switches = voluntarySwitches();
    Clock::time_point start = Clock::now();
    for (size_t i = 0; i < frames; ++i)
        if (queued)
            writer->push(payload);
        else if (!writeFrame(fd, payload))
            fail("raw send: the server went away");
    Clock::time_point finished = drained.await("the server's last frame");
    switches = voluntarySwitches() - switches;
    writer.reset();
    ::close(fd);
    return {secondsBetween(start, finished), switches};
}

// ---- round trip: this thread plays the server, writes a 16-byte frame
// (header, then payload) and reads the reply whole. One iteration is one
// round trip; one-way latency is half of it.

// Replies to every message with a copy, from the callback, through
// sendMessage: the path of an application answering a request.
class LibraryEcho final : public IPCMessengerClient::IPCMessengerHandler {
public:
    explicit LibraryEcho(std::string const& path) : client(path) {
        client.addHandler(this);
        client.start();
    }
    ~LibraryEcho() {
        client.stop();
        client.removeHandler(this);
    }
    void onNewMessageReceived(IPCMessage const* message) override {
        client.sendMessage(new IPCMessage(message->messageStruct));
    }

private:
    IPCMessengerClient client;
};

// The same reply from the loop's thread of an inbox.
class InboxEcho final : public IPCInboxHandler {
public:
    explicit InboxEcho(std::string const& path) : client(path), inbox(client), loop(inbox, *this) { client.start(); }
    ~InboxEcho() { client.stop(); }  // then the loop ends, then the inbox goes
    void onMessage(std::unique_ptr<IPCMessage> message) override {
        client.sendMessage(std::make_unique<IPCMessage>(message->messageStruct));
    }

private:
    IPCMessengerClient client;
    IPCInbox inbox;
    InboxLoop loop;
};

// The same game by hand: recv 8, recv the payload into a fresh buffer, write
// header and payload back, or hand them to a queued writer thread.
class RawEcho {
public:
    RawEcho(std::string const& path, bool queued)
        : fd(unixSocket(path, false)), thread([this, queued] {
              if (!queued) return echo(nullptr);
              QueuedWriter writer(fd);
              echo(&writer);
          }) {}
    ~RawEcho() {
        ::shutdown(fd, SHUT_RDWR);
        thread.join();
        ::close(fd);
    }
    RawEcho(RawEcho const&) = delete;
    RawEcho& operator=(RawEcho const&) = delete;

private:
    void echo(QueuedWriter* writer) {
        for (;;) {
            char header[kHeaderBytes];
            if (!recvAll(fd, header, sizeof header)) return;
            std::vector<char> payload(headerLength(header), 0);
            if (!recvAll(fd, payload.data(), payload.size())) return;
            if (writer != nullptr)
                writer->push(std::move(payload));
            else if (!writeFrame(fd, payload))
                return;
        }
    }

    int fd;
    std::thread thread;
};

template <class Echo, class... Options>
void roundTripOf(benchmark::State& state, size_t payloadBytes, Options... options) {
    const std::string path = freshPath("latency");
    const int listenFd = unixSocket(path, true);
    int fd = -1;
    {
        Echo echo(path, options...);
        fd = acceptOne(listenFd);
        std::vector<char> frame(kHeaderBytes + payloadBytes);
        putHeader(frame.data(), payloadBytes);
        std::vector<char> reply(frame.size());
        for (auto _ : state)
            if (!sendAll(fd, frame.data(), kHeaderBytes) || !sendAll(fd, frame.data() + kHeaderBytes, payloadBytes) ||
                !recvAll(fd, reply.data(), reply.size()))
                fail("round trip: no reply");
    }
    ::close(fd);
    ::close(listenFd);
    ::unlink(path.c_str());
}

template <class Echo, class... Options>
void roundTrip(benchmark::State& state, Options... options) {
    roundTripOf<Echo>(state, kLatencyPayloadBytes, options...);
}

// One round trip of the payload given as the case's argument.
template <class Echo>
void sizedRoundTrip(benchmark::State& state) {
    roundTripOf<Echo>(state, static_cast<size_t>(state.range(0)));
}

[[maybe_unused]] const bool registered = [] {
    using BatchFn = Batch (*)(size_t, size_t);
    const std::pair<const char*, BatchFn> batches[] = {
        {"Receive/kesu", &receiveKesu},
        {"Receive/raw", &receiveRaw},
        {"Send/kesu", &sendKesu},
        {"Send/raw", [](size_t bytes, size_t frames) { return sendRaw(bytes, frames, false); }},
        {"Send/raw_queue", [](size_t bytes, size_t frames) { return sendRaw(bytes, frames, true); }}};
    for (auto const& [name, batch] : batches)
        benchmark::RegisterBenchmark(name, &timeBatches, batch, size_t{100000})->Apply(throughputCase);
    benchmark::RegisterBenchmark("Latency/kesu", &roundTrip<LibraryEcho>)->Apply(roundTripCase);
    benchmark::RegisterBenchmark("Latency/raw", &roundTrip<RawEcho, bool>, false)->Apply(roundTripCase);
    benchmark::RegisterBenchmark("Latency/raw_queue", &roundTrip<RawEcho, bool>, true)->Apply(roundTripCase);
    const std::pair<const char*, BatchFn> inboxBatches[] = {{"Inbox/receive_direct", &receiveKesu},
                                                            {"Inbox/receive_inbox", &receiveInbox}};
    for (auto const& [name, batch] : inboxBatches)
        benchmark::RegisterBenchmark(name, &timeBatches, batch, size_t{100000})
            ->Arg(16)
            ->Arg(4096)
            ->UseManualTime()
            ->Unit(benchmark::kMillisecond);
    benchmark::RegisterBenchmark("Inbox/latency_direct", &sizedRoundTrip<LibraryEcho>)
        ->Arg(16)
        ->Arg(4096)
        ->Apply(roundTripCase);
    benchmark::RegisterBenchmark("Inbox/latency_inbox", &sizedRoundTrip<InboxEcho>)
        ->Arg(16)
        ->Arg(4096)
        ->Apply(roundTripCase);
    return true;
}();

}  // namespace
}  // namespace kesu_bench
