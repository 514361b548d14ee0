// The library's own paths against the socket limit: receive, send and
// round trip, each against references that make the same system calls.
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <condition_variable>
#include <cstdio>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "CompareParts.h"
#include "CompareSupport.h"
#include "ipc/IPCMessengerClient.h"

namespace kesu_bench {
namespace {

// Bytes a flooding server hands to one send() call.
constexpr size_t kFloodBlockBytes = 256 * 1024;
// Bytes a draining server asks of one recv() call.
constexpr size_t kDrainChunkBytes = 256 * 1024;

// ---- servers -------------------------------------------------------------

// Accepts one client and writes `frames` frames to it as fast as the socket
// takes them; then waits for the client to hang up, so that the client never
// sees the connection end under it.
class FloodServer {
public:
    FloodServer(std::string const& path, size_t payloadBytes, uint64_t frameCount)
        : listenFd(listenUnix(path)), payload(payloadBytes), frames(frameCount), thread([this] { run(); }) {}
    ~FloodServer() {
        if (thread.joinable()) thread.join();
        ::close(listenFd);
    }
    FloodServer(FloodServer const&) = delete;
    FloodServer& operator=(FloodServer const&) = delete;

    // When the first byte went out; valid once the client has read all.
    Clock::time_point startedAt() const { return Clock::time_point(Clock::duration(started.load())); }

private:
    void run() {
        int fd = acceptOne(listenFd);
        size_t perBlock = 0;
        std::vector<char> block = frameBlock(payload, kFloodBlockBytes, perBlock);
        size_t frameBytes = payload + 8;
        started.store(Clock::now().time_since_epoch().count());
        uint64_t left = frames;
        while (left > 0) {
            size_t now = static_cast<size_t>(std::min<uint64_t>(left, perBlock));
            if (!sendFully(fd, block.data(), now * frameBytes)) dieMessage("flood server: client went away");
            left -= now;
        }
        awaitPeerClose(fd);
        ::close(fd);
    }

    int listenFd;
    size_t payload;
    uint64_t frames;
    // Read by the client's thread, ordered by nothing but the socket.
    std::atomic<Clock::rep> started{0};
    std::thread thread;
};

// Accepts one client and counts the frames it writes; raises `done` at the
// last expected frame, then drains until the client hangs up.
class DrainServer {
public:
    DrainServer(std::string const& path, uint64_t frameCount)
        : listenFd(listenUnix(path)), frames(frameCount), thread([this] { run(); }) {}
    ~DrainServer() {
        if (thread.joinable()) thread.join();
        ::close(listenFd);
    }
    DrainServer(DrainServer const&) = delete;
    DrainServer& operator=(DrainServer const&) = delete;

    Latch done;

private:
    void run() {
        int fd = acceptOne(listenFd);
        std::vector<char> chunk(kDrainChunkBytes);
        FrameCounter counter;
        while (counter.frames() < frames) {
            ssize_t n = ::recv(fd, chunk.data(), chunk.size(), 0);
            if (n <= 0) dieMessage("drain server: client went away before its last frame");
            if (!counter.feed(chunk.data(), static_cast<size_t>(n))) dieMessage("drain server: not a frame");
        }
        done.raise();
        awaitPeerClose(fd);
        ::close(fd);
    }

    int listenFd;
    uint64_t frames;
    std::thread thread;
};

// Accepts one client and plays `rounds` ping-pongs with it: write a frame
// (header, then payload), read the reply frame whole, time the pair.
class PingServer {
public:
    PingServer(std::string const& path, int warmUpRounds, int timedRounds)
        : listenFd(listenUnix(path)), warmUp(warmUpRounds), timed(timedRounds), thread([this] { run(); }) {}
    ~PingServer() {
        if (thread.joinable()) thread.join();
        ::close(listenFd);
    }
    PingServer(PingServer const&) = delete;
    PingServer& operator=(PingServer const&) = delete;

    Latch done;
    Samples const& roundTrips() const { return samples; }  // valid once done

private:
    void run() {
        int fd = acceptOne(listenFd);
        std::vector<char> payload(kLatencyPayloadBytes, 'q');
        std::vector<char> reply(kLatencyPayloadBytes);
        unsigned char header[8];
        encodeRawHeader(kBenchType, static_cast<uint32_t>(payload.size()), header);
        samples.reserve(static_cast<size_t>(timed));
        for (int i = 0; i < warmUp + timed; ++i) {
            Clock::time_point start = Clock::now();
            unsigned char replyHeader[8];
            if (!sendFully(fd, header, sizeof header) || !sendFully(fd, payload.data(), payload.size()) ||
                !recvFully(fd, replyHeader, sizeof replyHeader) ||
                rawHeaderLength(replyHeader) != kLatencyPayloadBytes || !recvFully(fd, reply.data(), reply.size()))
                dieMessage("ping server: no reply");
            if (i >= warmUp) samples.push_back(microsecondsBetween(start, Clock::now()));
        }
        done.raise();
        awaitPeerClose(fd);
        ::close(fd);
    }

    int listenFd;
    int warmUp;
    int timed;
    Samples samples;
    std::thread thread;
};

// ---- library clients -----------------------------------------------------

// Counts what the client dispatches; raises `done` at the expected count.
class CountingHandler final : public IPCMessengerClient::IPCMessengerHandler {
public:
    CountingHandler(uint64_t expectedFrames, size_t expectedPayloadBytes)
        : expected(expectedFrames), payloadBytes(expectedPayloadBytes) {}

    void onNewMessageReceived(IPCMessage const* message) override {
        if (message->messageStruct.data.size() != payloadBytes) wrongFrames.fetch_add(1);
        if (++count == expected) done.raise();
    }

    Latch done;
    std::atomic<uint64_t> wrongFrames{0};

private:
    const uint64_t expected;
    const size_t payloadBytes;
    uint64_t count = 0;  // client thread only
};

// Raises `connected` once the client has a connection and its sender.
class ConnectHandler final : public IPCMessengerClient::IPCMessengerHandler {
public:
    void onNewMessageReceived(IPCMessage const* /*message*/) override {}
    void onConnected() override { connected.raise(); }

    Latch connected;
};

// Replies to every message with a copy of it, from the callback, through
// sendMessage: the path an application answering a request takes.
class EchoHandler final : public IPCMessengerClient::IPCMessengerHandler {
public:
    explicit EchoHandler(IPCMessengerClient& owner) : client(owner) {}
    void onNewMessageReceived(IPCMessage const* message) override {
        client.sendMessage(new IPCMessage(message->messageStruct));
    }

private:
    IPCMessengerClient& client;
};

// ---- receive -------------------------------------------------------------

Trial receiveKesu(TempDir& dir, size_t payloadBytes, uint64_t frames) {
    std::string path = dir.file("receive");
    FloodServer server(path, payloadBytes, frames);
    CountingHandler handler(frames, payloadBytes);
    IPCMessengerClient client(path);
    client.addHandler(&handler);
    long switchesBefore = voluntarySwitches();
    client.start();
    Clock::time_point finished = handler.done.await("the library client's last frame");
    long switches = voluntarySwitches() - switchesBefore;
    client.stop();
    client.removeHandler(&handler);
    if (handler.wrongFrames.load() != 0) dieMessage("the library client dispatched frames of the wrong size");
    Trial trial;
    trial.frames = frames;
    trial.seconds = secondsBetween(server.startedAt(), finished);
    trial.switchesPerFrame = static_cast<double>(switches) / static_cast<double>(frames);
    return trial;
}

// What the library's receive loop does, without the library: recv 8, recv
// the length into a fresh zero-filled buffer, count.
Trial receiveRaw(TempDir& dir, size_t payloadBytes, uint64_t frames) {
    std::string path = dir.file("receive-raw");
    FloodServer server(path, payloadBytes, frames);
    long switchesBefore = voluntarySwitches();
    int fd = connectUnix(path);
    uint64_t wrong = 0;
    for (uint64_t i = 0; i < frames; ++i) {
        unsigned char header[8];
        if (!recvFully(fd, header, sizeof header)) dieMessage("raw receive: server went away");
        std::vector<char> payload(rawHeaderLength(header), 0);
        if (!payload.empty() && !recvFully(fd, payload.data(), payload.size()))
            dieMessage("raw receive: server went away");
        if (payload.size() != payloadBytes) ++wrong;
    }
    Clock::time_point finished = Clock::now();
    long switches = voluntarySwitches() - switchesBefore;
    ::shutdown(fd, SHUT_RDWR);
    ::close(fd);
    if (wrong != 0) dieMessage("raw receive: frames of the wrong size");
    Trial trial;
    trial.frames = frames;
    trial.seconds = secondsBetween(server.startedAt(), finished);
    trial.switchesPerFrame = static_cast<double>(switches) / static_cast<double>(frames);
    return trial;
}

// ---- send ----------------------------------------------------------------

Trial sendKesu(TempDir& dir, size_t payloadBytes, uint64_t frames) {
    std::string path = dir.file("send");
    DrainServer server(path, frames);
    ConnectHandler handler;
    IPCMessengerClient client(path);
    client.addHandler(&handler);
    client.start();
    handler.connected.await("the library client's connection");
    IPCMessageStruct prototype;
    prototype.type = static_cast<IPCMessageType>(kBenchType);
    prototype.data.assign(payloadBytes, 's');

    long switchesBefore = voluntarySwitches();
    Clock::time_point start = Clock::now();
    for (uint64_t i = 0; i < frames; ++i) client.sendMessage(new IPCMessage(prototype));
    Clock::time_point finished = server.done.await("the drain server's last frame");
    long switches = voluntarySwitches() - switchesBefore;
    client.stop();
    client.removeHandler(&handler);
    Trial trial;
    trial.frames = frames;
    trial.seconds = secondsBetween(start, finished);
    trial.switchesPerFrame = static_cast<double>(switches) / static_cast<double>(frames);
    return trial;
}

void writeRawFrame(int fd, unsigned char const header[8], std::vector<char> const& payload) {
    if (!sendFully(fd, header, 8) || (!payload.empty() && !sendFully(fd, payload.data(), payload.size())))
        dieMessage("raw send: server went away");
}

// The socket limit of the sender's calls: write header, write payload.
Trial sendRaw(TempDir& dir, size_t payloadBytes, uint64_t frames) {
    std::string path = dir.file("send-raw");
    DrainServer server(path, frames);
    int fd = connectUnix(path);
    std::vector<char> payload(payloadBytes, 's');
    long switchesBefore = voluntarySwitches();
    Clock::time_point start = Clock::now();
    for (uint64_t i = 0; i < frames; ++i) {
        unsigned char header[8];
        encodeRawHeader(kBenchType, static_cast<uint32_t>(payload.size()), header);
        writeRawFrame(fd, header, payload);
    }
    Clock::time_point finished = server.done.await("the drain server's last frame");
    long switches = voluntarySwitches() - switchesBefore;
    ::shutdown(fd, SHUT_RDWR);
    ::close(fd);
    Trial trial;
    trial.frames = frames;
    trial.seconds = secondsBetween(start, finished);
    trial.switchesPerFrame = static_cast<double>(switches) / static_cast<double>(frames);
    return trial;
}

// The same loop on a writer thread behind the queue an application would
// write first: one mutex, one condition variable, one pop per wake-up, a
// payload buffer per submission.
Trial sendRawQueue(TempDir& dir, size_t payloadBytes, uint64_t frames) {
    std::string path = dir.file("send-queue");
    DrainServer server(path, frames);
    int fd = connectUnix(path);

    std::mutex queueMutex;
    std::condition_variable queueCond;
    std::deque<std::vector<char>> queue;
    bool quitting = false;
    std::thread writer([&] {
        for (;;) {
            std::vector<char> payload;
            {
                std::unique_lock<std::mutex> lock(queueMutex);
                queueCond.wait(lock, [&] { return quitting || !queue.empty(); });
                if (queue.empty()) return;
                payload = std::move(queue.front());
                queue.pop_front();
            }
            unsigned char header[8];
            encodeRawHeader(kBenchType, static_cast<uint32_t>(payload.size()), header);
            writeRawFrame(fd, header, payload);
        }
    });

    std::vector<char> prototype(payloadBytes, 's');
    long switchesBefore = voluntarySwitches();
    Clock::time_point start = Clock::now();
    for (uint64_t i = 0; i < frames; ++i) {
        std::vector<char> payload(prototype);
        {
            std::lock_guard<std::mutex> lock(queueMutex);
            queue.push_back(std::move(payload));
        }
        queueCond.notify_one();
    }
    Clock::time_point finished = server.done.await("the drain server's last frame");
    long switches = voluntarySwitches() - switchesBefore;
    {
        std::lock_guard<std::mutex> lock(queueMutex);
        quitting = true;
    }
    queueCond.notify_one();
    writer.join();
    ::shutdown(fd, SHUT_RDWR);
    ::close(fd);
    Trial trial;
    trial.frames = frames;
    trial.seconds = secondsBetween(start, finished);
    trial.switchesPerFrame = static_cast<double>(switches) / static_cast<double>(frames);
    return trial;
}

// ---- round trip ----------------------------------------------------------

constexpr int kWarmUpRounds = 200;

Samples latencyKesu(TempDir& dir, int rounds) {
    std::string path = dir.file("latency");
    PingServer server(path, kWarmUpRounds, rounds);
    IPCMessengerClient client(path);
    EchoHandler handler(client);
    client.addHandler(&handler);
    client.start();
    server.done.await("the library client's last reply");
    client.stop();
    client.removeHandler(&handler);
    return server.roundTrips();
}

// Two threads playing the same game by hand: recv 8, recv the payload into a
// fresh buffer, write header and payload back.
Samples latencyRaw(TempDir& dir, int rounds) {
    std::string path = dir.file("latency-raw");
    PingServer server(path, kWarmUpRounds, rounds);
    int fd = connectUnix(path);
    std::thread echo([fd] {
        for (;;) {
            unsigned char header[8];
            if (!recvFully(fd, header, sizeof header)) return;
            std::vector<char> payload(rawHeaderLength(header), 0);
            if (!payload.empty() && !recvFully(fd, payload.data(), payload.size())) return;
            unsigned char replyHeader[8];
            encodeRawHeader(kBenchType, static_cast<uint32_t>(payload.size()), replyHeader);
            if (!sendFully(fd, replyHeader, sizeof replyHeader) || !sendFully(fd, payload.data(), payload.size()))
                return;
        }
    });
    server.done.await("the raw client's last reply");
    ::shutdown(fd, SHUT_RDWR);
    echo.join();
    ::close(fd);
    return server.roundTrips();
}

// The raw pattern with the library's one structural cost: the reply is
// handed to a writer thread through a mutex and condition-variable queue,
// as the library's sender thread is handed its messages.
Samples latencyRawQueue(TempDir& dir, int rounds) {
    std::string path = dir.file("latency-queue");
    PingServer server(path, kWarmUpRounds, rounds);
    int fd = connectUnix(path);
    std::mutex queueMutex;
    std::condition_variable queueCond;
    std::deque<std::vector<char>> queue;
    bool quitting = false;
    std::thread writer([&] {
        for (;;) {
            std::vector<char> payload;
            {
                std::unique_lock<std::mutex> lock(queueMutex);
                queueCond.wait(lock, [&] { return quitting || !queue.empty(); });
                if (queue.empty()) return;
                payload = std::move(queue.front());
                queue.pop_front();
            }
            unsigned char header[8];
            encodeRawHeader(kBenchType, static_cast<uint32_t>(payload.size()), header);
            if (!sendFully(fd, header, sizeof header) || !sendFully(fd, payload.data(), payload.size())) return;
        }
    });
    std::thread reader([&] {
        for (;;) {
            unsigned char header[8];
            if (!recvFully(fd, header, sizeof header)) break;
            std::vector<char> payload(rawHeaderLength(header), 0);
            if (!payload.empty() && !recvFully(fd, payload.data(), payload.size())) break;
            {
                std::lock_guard<std::mutex> lock(queueMutex);
                queue.push_back(std::move(payload));
            }
            queueCond.notify_one();
        }
        std::lock_guard<std::mutex> lock(queueMutex);
        quitting = true;
        queueCond.notify_one();
    });
    server.done.await("the queued raw client's last reply");
    ::shutdown(fd, SHUT_RDWR);
    reader.join();
    writer.join();
    ::close(fd);
    return server.roundTrips();
}

// ---- driving -------------------------------------------------------------

using TrialFunction = Trial (*)(TempDir&, size_t, uint64_t);

struct Contender {
    const char* name;
    TrialFunction run;
    std::vector<Trial> trials;
};

// Runs every contender `trials` times, rotating who goes first so that no
// one always meets a warm or a cold machine, and records the medians. The
// first contender's ratio to each other one is taken trial by trial (trials
// of one round run back to back, on the same machine weather), then the
// median: steadier than a ratio of two medians on a machine shared with others.
void compareThroughput(const char* part, size_t payloadBytes, uint64_t frames, std::vector<Contender>& contenders,
                       Budget const& budget, Records& records) {
    TempDir dir;
    for (int t = 0; t < budget.trials; ++t) {
        for (size_t k = 0; k < contenders.size(); ++k) {
            Contender& contender = contenders[(k + static_cast<size_t>(t)) % contenders.size()];
            contender.trials.push_back(contender.run(dir, payloadBytes, frames));
        }
    }
    std::fprintf(stderr, "%-8s %6zu B %7llu frames:", part, payloadBytes, static_cast<unsigned long long>(frames));
    for (Contender const& contender : contenders) {
        std::vector<double> rates;
        std::vector<double> switches;
        for (Trial const& trial : contender.trials) {
            rates.push_back(trial.framesPerSecond());
            switches.push_back(trial.switchesPerFrame);
        }
        double rate = median(rates);
        records.add(part, payloadBytes, contender.name, "fps", rate);
        records.add(part, payloadBytes, contender.name, "csw", median(switches));
        std::fprintf(stderr, "  %s %.0f/s", contender.name, rate);
    }
    Contender const& subject = contenders.front();
    for (size_t k = 1; k < contenders.size(); ++k) {
        std::vector<double> ratios;
        for (size_t t = 0; t < subject.trials.size(); ++t) {
            double reference = contenders[k].trials[t].framesPerSecond();
            if (reference > 0) ratios.push_back(subject.trials[t].framesPerSecond() / reference);
        }
        records.add(part, payloadBytes, subject.name, (std::string("vs_") + contenders[k].name).c_str(), median(ratios));
    }
    std::fputc('\n', stderr);
}

}  // namespace

void runReceivePart(Budget const& budget, Records& records) {
    for (size_t size : kPayloadSizes) {
        std::vector<Contender> contenders = {{"kesu", &receiveKesu, {}}, {"raw", &receiveRaw, {}}};
        compareThroughput("receive", size, budget.frames(size), contenders, budget, records);
    }
}

void runSendPart(Budget const& budget, Records& records) {
    for (size_t size : kPayloadSizes) {
        std::vector<Contender> contenders = {
            {"kesu", &sendKesu, {}}, {"raw", &sendRaw, {}}, {"raw+queue", &sendRawQueue, {}}};
        compareThroughput("send", size, budget.frames(size), contenders, budget, records);
    }
}

void runLatencyPart(Budget const& budget, Records& records) {
    TempDir dir;
    const int blocks = budget.quick ? 1 : 4;
    const int perBlock = budget.roundTrips() / blocks;
    struct Pattern {
        const char* name;
        Samples (*run)(TempDir&, int);
        Samples samples;
        std::vector<double> blockMedians;
    };
    Pattern patterns[] = {
        {"kesu", &latencyKesu, {}, {}}, {"raw", &latencyRaw, {}, {}}, {"raw+queue", &latencyRawQueue, {}, {}}};
    for (int b = 0; b < blocks; ++b) {
        for (Pattern& pattern : patterns) {
            Samples block = pattern.run(dir, perBlock);
            pattern.blockMedians.push_back(median(block));
            pattern.samples.insert(pattern.samples.end(), block.begin(), block.end());
        }
    }
    std::fprintf(stderr, "latency  %6zu B round trip median:", kLatencyPayloadBytes);
    for (Pattern const& pattern : patterns) {
        records.add("latency", kLatencyPayloadBytes, pattern.name, "rtt_p50_us", median(pattern.samples));
        records.add("latency", kLatencyPayloadBytes, pattern.name, "rtt_p99_us", percentile(pattern.samples, 99));
        std::fprintf(stderr, "  %s %.1f us", pattern.name, median(pattern.samples));
    }
    // Block by block, as for throughput: blocks of one round run back to back.
    for (Pattern const* subject : {&patterns[0], &patterns[2]}) {
        std::vector<double> ratios;
        for (int b = 0; b < blocks; ++b)
            ratios.push_back(subject->blockMedians[static_cast<size_t>(b)] / patterns[1].blockMedians[static_cast<size_t>(b)]);
        records.add("latency", kLatencyPayloadBytes, subject->name, "vs_raw", median(ratios));
    }
    std::fputc('\n', stderr);
}

bool profileOne(std::string const& part, std::string const& implementation, size_t payloadBytes, uint64_t frames) {
    TrialFunction run = nullptr;
    if (part == "receive" && implementation == "kesu") run = &receiveKesu;
    if (part == "receive" && implementation == "raw") run = &receiveRaw;
    if (part == "send" && implementation == "kesu") run = &sendKesu;
    if (part == "send" && implementation == "raw") run = &sendRaw;
    if (part == "send" && implementation == "raw+queue") run = &sendRawQueue;
    if (run == nullptr) return false;
    TempDir dir;
    Trial trial = run(dir, payloadBytes, frames);
    std::fprintf(stderr, "%s %s %zu B: %llu frames in %.3f s, %.0f frames/s, %.3f voluntary switches/frame\n",
                 part.c_str(), implementation.c_str(), payloadBytes, static_cast<unsigned long long>(trial.frames),
                 trial.seconds, trial.framesPerSecond(), trial.switchesPerFrame);
    return true;
}

}  // namespace kesu_bench
