// Pieces shared by kesu-bench's cases: sockets that make exactly the calls
// the library makes (recv with no flags, send with MSG_NOSIGNAL), the frame
// header written by hand (the raw references use no library code), a
// one-shot latch, and the sizes of each timed batch. Benchmark code only.
#pragma once

#include <benchmark/benchmark.h>
#include <poll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>
#include <thread>

namespace kesu_bench {

using Clock = std::chrono::steady_clock;

// A plain type: the client builds an IPCMessage whose decoding reads nothing,
// so the receive figures are the transport's, not a codec's.
constexpr uint32_t kBenchType = 7;
// Payload of the round-trip cases: a small control message.
constexpr size_t kLatencyPayloadBytes = 16;
constexpr size_t kHeaderBytes = 8;

// A case that cannot set itself up has no figure to give: say why and end.
[[noreturn]] inline void fail(std::string const& what) {
    std::fprintf(stderr, "kesu-bench: %s (errno: %s)\n", what.c_str(), std::strerror(errno));
    std::exit(2);
}

// A throughput case: one benchmark per payload size, timed batch by batch.
inline void throughputCase(benchmark::internal::Benchmark* b) {
    for (int64_t bytes : {0, 16, 256, 4096, 65536}) b->Arg(bytes);
    b->UseManualTime()->Unit(benchmark::kMillisecond);
}

// A round-trip case: one iteration is one round trip, on the wall clock.
inline void roundTripCase(benchmark::internal::Benchmark* b) { b->UseRealTime()->Unit(benchmark::kMicrosecond); }

// Frames of one timed batch: `most`, at most 32 MiB on the wire (a fast
// producer buffers a whole batch: the send case raises the library's queue
// bound above it).
// KESU_BENCH_FRAMES sets it outright, for profilers.
inline size_t batchFrames(size_t payloadBytes, size_t most) {
    if (const char* fixed = std::getenv("KESU_BENCH_FRAMES"))
        return static_cast<size_t>(std::strtoul(fixed, nullptr, 10));
    return std::max<size_t>(1, std::min<size_t>(most, (32u << 20) / (payloadBytes + kHeaderBytes)));
}

// One timed batch: how long it took and the process's voluntary context
// switches meanwhile (each is a thread that blocked: a wake-up to come).
struct Batch {
    double seconds;
    long switches;
};

inline long voluntarySwitches() {
    rusage usage{};
    ::getrusage(RUSAGE_SELF, &usage);
    return usage.ru_nvcsw;
}

inline double secondsBetween(Clock::time_point from, Clock::time_point to) {
    return std::chrono::duration<double>(to - from).count();
}

// Runs `batch(payloadBytes, frames)` once per iteration, reports its own
// timing (UseManualTime) and lets the library count frames and bytes.
inline void timeBatches(benchmark::State& state, Batch (*batch)(size_t, size_t), size_t mostFrames) {
    auto payloadBytes = static_cast<size_t>(state.range(0));
    size_t frames = batchFrames(payloadBytes, mostFrames);
    long switches = 0;
    for (auto _ : state) {
        Batch b = batch(payloadBytes, frames);
        state.SetIterationTime(b.seconds);
        switches += b.switches;
    }
    auto total = static_cast<int64_t>(frames) * state.iterations();
    state.SetItemsProcessed(total);
    state.SetBytesProcessed(total * static_cast<int64_t>(payloadBytes));
    state.counters["switches_per_frame"] = static_cast<double>(switches) / static_cast<double>(total);
}

// A fresh socket path in a directory of this process's own.
inline std::string freshPath(const char* stem) {
    static char dir[] = "/tmp/kesu-bench.XXXXXX";
    [[maybe_unused]] static const bool made = [] {
        if (::mkdtemp(dir) == nullptr) fail("mkdtemp");
        return std::atexit([] { ::rmdir(dir); }) == 0;
    }();
    static std::atomic<int> counter{0};
    return std::string(dir) + "/" + stem + std::to_string(counter++);
}

// A stream socket listening at `path`, or connected to it.
inline int unixSocket(std::string const& path, bool listening) {
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    if (path.size() >= sizeof address.sun_path) fail("socket path too long: " + path);
    std::memcpy(address.sun_path, path.c_str(), path.size() + 1);
    auto* at = reinterpret_cast<sockaddr*>(&address);
    int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0 ||
        (listening ? ::bind(fd, at, sizeof address) != 0 || ::listen(fd, 4) != 0
                   : ::connect(fd, at, sizeof address) != 0))
        fail((listening ? "listen on " : "connect to ") + path);
    return fd;
}

// The listening socket's one client. Two minutes: under valgrind a client
// thread takes long to start.
inline int acceptOne(int listenFd) {
    pollfd ready{listenFd, POLLIN, 0};
    if (::poll(&ready, 1, 120000) != 1) fail("no client connected");
    int fd = ::accept4(listenFd, nullptr, nullptr, SOCK_CLOEXEC);
    if (fd < 0) fail("accept");
    return fd;
}

// The library's read: recv() with no flags until `size` bytes are in.
inline bool recvAll(int fd, void* buffer, size_t size) {
    for (size_t done = 0; done < size;) {
        ssize_t n = ::recv(fd, static_cast<char*>(buffer) + done, size - done, 0);
        if (n <= 0) return false;
        done += static_cast<size_t>(n);
    }
    return true;
}

// The library's write: send() with MSG_NOSIGNAL until `size` bytes are out.
inline bool sendAll(int fd, const void* buffer, size_t size) {
    for (size_t done = 0; done < size;) {
        ssize_t n = ::send(fd, static_cast<const char*>(buffer) + done, size - done, MSG_NOSIGNAL);
        if (n <= 0) return false;
        done += static_cast<size_t>(n);
    }
    return true;
}

// Marker, 24-bit type, 32-bit length, big-endian.
inline void putHeader(char* out, size_t payloadBytes) {
    const uint32_t fields[2] = {0x6D000000u | kBenchType, static_cast<uint32_t>(payloadBytes)};
    for (int i = 0; i < 8; ++i) out[i] = static_cast<char>(fields[i / 4] >> (24 - 8 * (i % 4)));
}

inline uint32_t headerLength(const char* header) {
    const auto* p = reinterpret_cast<const unsigned char*>(header);
    return uint32_t{p[4]} << 24 | uint32_t{p[5]} << 16 | uint32_t{p[6]} << 8 | uint32_t{p[7]};
}

// Reads and discards until the peer hangs up (or `bytes` have come, if given).
inline uint64_t drain(int fd, uint64_t bytes = UINT64_MAX) {
    static thread_local char sink[256 * 1024];
    uint64_t got = 0;
    while (got < bytes) {
        ssize_t n = ::recv(fd, sink, sizeof sink, 0);
        if (n <= 0) break;
        got += static_cast<uint64_t>(n);
    }
    return got;
}

// A one-shot event between threads, with the time it was raised.
class Latch {
public:
    void raise() {
        Clock::time_point now = Clock::now();
        std::lock_guard<std::mutex> lock(mutex);
        if (raised) return;
        raised = true;
        raisedAt = now;
        cond.notify_all();
    }
    // Ends the program when nothing comes in five minutes: a benchmark that
    // hangs has no figure to give.
    Clock::time_point await(const char* what) {
        std::unique_lock<std::mutex> lock(mutex);
        if (!cond.wait_for(lock, std::chrono::minutes(5), [this] { return raised; }))
            fail(std::string("timed out waiting for ") + what);
        return raisedAt;
    }

private:
    std::mutex mutex;
    std::condition_variable cond;
    bool raised = false;
    Clock::time_point raisedAt;
};

// A socket at a fresh path and a thread that serves the one client that
// connects, then drains until the client hangs up, so that the client never
// sees the connection end under it.
class OneClientServer {
public:
    template <class Serve>
    explicit OneClientServer(Serve serve)
        : path(freshPath("server")), listenFd(unixSocket(path, true)), thread([this, serve] {
              int fd = acceptOne(listenFd);
              serve(fd);
              drain(fd);
              ::close(fd);
          }) {}
    ~OneClientServer() {
        thread.join();
        ::close(listenFd);
        ::unlink(path.c_str());
    }
    OneClientServer(OneClientServer const&) = delete;
    OneClientServer& operator=(OneClientServer const&) = delete;

    const std::string path;

private:
    int listenFd;
    std::thread thread;
};

}  // namespace kesu_bench
