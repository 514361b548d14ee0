// Shared pieces of the side-by-side comparison (kesu-compare): timing, a
// temporary directory for socket paths, blocking socket helpers that make
// exactly the calls the library makes (recv with no flags, send with
// MSG_NOSIGNAL), a server-side frame counter, statistics and the record
// format that the report step reads. Benchmark code only.
#pragma once

#include <poll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/types.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>
#include <vector>

namespace kesu_bench {

using Clock = std::chrono::steady_clock;

inline double secondsBetween(Clock::time_point from, Clock::time_point to) {
    return std::chrono::duration<double>(to - from).count();
}

inline double microsecondsBetween(Clock::time_point from, Clock::time_point to) {
    return std::chrono::duration<double, std::micro>(to - from).count();
}

// Payload sizes of every throughput part.
constexpr size_t kPayloadSizes[] = {0, 16, 256, 4096, 65536};
// Payload of the round-trip parts: a small control message.
constexpr size_t kLatencyPayloadBytes = 16;
// A plain type: the client builds an IPCMessage whose decoding reads nothing,
// so the receive figures are the transport's, not a codec's.
constexpr uint32_t kBenchType = 7;

// A benchmark that cannot set itself up has no figure to give: say why and end.
[[noreturn]] inline void die(const char* what) {
    std::fprintf(stderr, "kesu-compare: %s: %s\n", what, std::strerror(errno));
    std::exit(2);
}

[[noreturn]] inline void dieMessage(std::string const& what) {
    std::fprintf(stderr, "kesu-compare: %s\n", what.c_str());
    std::exit(2);
}

// How much work each trial does, and how many trials each case gets.
struct Budget {
    bool quick = false;
    int trials = 5;  // per implementation, interleaved with the references

    // Frames of one throughput trial: enough for a few hundred milliseconds
    // at the raw socket's rate, at most `maxBytes` on the wire (the library's
    // send queue is unbounded, so a fast producer buffers a whole trial).
    uint64_t frames(size_t payloadBytes, uint64_t maxFrames = 200000, uint64_t maxBytes = 128u << 20) const {
        uint64_t n = std::min<uint64_t>(maxFrames, maxBytes / (payloadBytes + 8));
        if (quick) n = std::max<uint64_t>(n / 200, 20);
        return n;
    }
    int roundTrips() const { return quick ? 200 : 20000; }
};

// A private directory under /tmp for socket paths, removed afterwards.
class TempDir {
public:
    TempDir() {
        char pattern[] = "/tmp/kesu-compare.XXXXXX";
        if (::mkdtemp(pattern) == nullptr) die("mkdtemp");
        dir = pattern;
    }
    ~TempDir() {
        for (std::string const& name : names) ::unlink((dir + "/" + name).c_str());
        ::rmdir(dir.c_str());
    }
    TempDir(TempDir const&) = delete;
    TempDir& operator=(TempDir const&) = delete;

    std::string const& path() const { return dir; }
    // A fresh path inside the directory; removed with it.
    std::string file(std::string const& stem) {
        std::string name = stem + "-" + std::to_string(names.size());
        names.push_back(name);
        std::string full = dir + "/" + name;
        ::unlink(full.c_str());
        return full;
    }

private:
    std::string dir;
    std::vector<std::string> names;
};

inline sockaddr_un unixAddress(std::string const& path) {
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    if (path.size() >= sizeof address.sun_path) dieMessage("socket path too long: " + path);
    std::memcpy(address.sun_path, path.c_str(), path.size() + 1);
    return address;
}

inline int listenUnix(std::string const& path) {
    int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) die("socket");
    sockaddr_un address = unixAddress(path);
    if (::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) die("bind");
    if (::listen(fd, 4) != 0) die("listen");
    return fd;
}

// Seconds a server waits for its client. Generous: under valgrind a client
// thread takes a long time to start.
constexpr int kAcceptTimeoutS = 120;

inline int acceptOne(int listenFd) {
    pollfd ready{listenFd, POLLIN, 0};
    int n = ::poll(&ready, 1, kAcceptTimeoutS * 1000);
    if (n == 0) dieMessage("no client connected");
    if (n < 0) die("poll");
    int fd = ::accept4(listenFd, nullptr, nullptr, SOCK_CLOEXEC);
    if (fd < 0) die("accept");
    return fd;
}

inline int connectUnix(std::string const& path) {
    int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) die("socket");
    sockaddr_un address = unixAddress(path);
    if (::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) die("connect");
    return fd;
}

// The library's read: recv() with no flags until `size` bytes are in.
inline bool recvFully(int fd, void* buffer, size_t size) {
    auto* out = static_cast<char*>(buffer);
    size_t received = 0;
    while (received < size) {
        ssize_t n = ::recv(fd, out + received, size - received, 0);
        if (n <= 0) return false;
        received += static_cast<size_t>(n);
    }
    return true;
}

// The library's write: send() with MSG_NOSIGNAL until `size` bytes are out.
inline bool sendFully(int fd, const void* buffer, size_t size) {
    const auto* in = static_cast<const char*>(buffer);
    size_t sent = 0;
    while (sent < size) {
        ssize_t n = ::send(fd, in + sent, size - sent, MSG_NOSIGNAL);
        if (n <= 0) return false;
        sent += static_cast<size_t>(n);
    }
    return true;
}

// Waits until the peer has shut its end (or failed), discarding anything else.
inline void awaitPeerClose(int fd) {
    char sink[4096];
    while (::recv(fd, sink, sizeof sink, 0) > 0) {
    }
}

// The 8-byte header, written out by hand: the raw references use no library code.
inline void encodeRawHeader(uint32_t type, uint32_t length, unsigned char out[8]) {
    out[0] = 0x6D;
    out[1] = static_cast<unsigned char>(type >> 16);
    out[2] = static_cast<unsigned char>(type >> 8);
    out[3] = static_cast<unsigned char>(type);
    out[4] = static_cast<unsigned char>(length >> 24);
    out[5] = static_cast<unsigned char>(length >> 16);
    out[6] = static_cast<unsigned char>(length >> 8);
    out[7] = static_cast<unsigned char>(length);
}

inline uint32_t rawHeaderLength(const unsigned char in[8]) {
    return uint32_t{in[4]} << 24 | uint32_t{in[5]} << 16 | uint32_t{in[6]} << 8 | uint32_t{in[7]};
}

// Whole frames of `payloadBytes` laid end to end, at least `minBytes` long:
// a flooding server writes such a block per call, so that the reader, not
// the writer, sets the pace.
inline std::vector<char> frameBlock(size_t payloadBytes, size_t minBytes, size_t& framesInBlock) {
    size_t frameBytes = payloadBytes + 8;
    framesInBlock = std::max<size_t>(1, minBytes / frameBytes);
    std::vector<char> block(framesInBlock * frameBytes, 'p');
    for (size_t i = 0; i < framesInBlock; ++i) {
        unsigned char header[8];
        encodeRawHeader(kBenchType, static_cast<uint32_t>(payloadBytes), header);
        std::memcpy(block.data() + i * frameBytes, header, sizeof header);
    }
    return block;
}

// Counts whole frames in a byte stream cut anywhere; a draining server feeds
// it whatever recv() returns.
class FrameCounter {
public:
    // False when a header's marker is wrong: the stream is not frames.
    bool feed(const char* data, size_t size) {
        while (size > 0) {
            if (headerHave < 8) {
                size_t take = std::min(size, 8 - headerHave);
                std::memcpy(header + headerHave, data, take);
                headerHave += take;
                data += take;
                size -= take;
                if (headerHave < 8) return true;
                if (header[0] != 0x6D) return false;
                payloadLeft = rawHeaderLength(header);
                if (payloadLeft == 0) completeFrame();
                continue;
            }
            size_t take = static_cast<size_t>(std::min<uint64_t>(size, payloadLeft));
            payloadLeft -= take;
            data += take;
            size -= take;
            if (payloadLeft == 0) completeFrame();
        }
        return true;
    }
    uint64_t frames() const { return count; }

private:
    void completeFrame() {
        ++count;
        headerHave = 0;
    }

    unsigned char header[8] = {};
    size_t headerHave = 0;
    uint64_t payloadLeft = 0;
    uint64_t count = 0;
};

// Voluntary context switches of the whole process: each is a thread that
// blocked (a wake-up to come), so their count per frame shows hand-offs.
inline long voluntarySwitches() {
    rusage usage{};
    ::getrusage(RUSAGE_SELF, &usage);
    return usage.ru_nvcsw;
}

inline double median(std::vector<double> values) {
    if (values.empty()) return 0;
    std::sort(values.begin(), values.end());
    size_t mid = values.size() / 2;
    return values.size() % 2 == 1 ? values[mid] : (values[mid - 1] + values[mid]) / 2;
}

// Nearest-rank percentile, `p` in (0, 100].
inline double percentile(std::vector<double> values, double p) {
    if (values.empty()) return 0;
    std::sort(values.begin(), values.end());
    auto rank = static_cast<size_t>(p / 100.0 * static_cast<double>(values.size()) + 0.999999);
    rank = std::clamp<size_t>(rank, 1, values.size());
    return values[rank - 1];
}

// One figure per line, tab-separated: part, payload bytes, implementation,
// metric, value. A part that could not run writes the metric "skipped" and
// the reason as its value.
class Records {
public:
    explicit Records(FILE* output) : out(output) {}
    void add(const char* part, size_t payloadBytes, const char* implementation, const char* metric, double value) {
        std::fprintf(out, "%s\t%zu\t%s\t%s\t%.6g\n", part, payloadBytes, implementation, metric, value);
        std::fflush(out);
    }
    void skip(const char* part, const char* implementation, const char* reason) {
        std::fprintf(out, "%s\t0\t%s\tskipped\t%s\n", part, implementation, reason);
        std::fflush(out);
    }

private:
    FILE* out;
};

// One throughput trial: how long N frames took, and the process's voluntary
// context switches per frame meanwhile.
struct Trial {
    double seconds = 0;
    uint64_t frames = 0;
    double switchesPerFrame = 0;
    double framesPerSecond() const { return seconds > 0 ? static_cast<double>(frames) / seconds : 0; }
};

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
    // The time of the raise; ends the program when none comes in time (a
    // benchmark that hangs has no figure to give).
    Clock::time_point await(const char* what, int timeoutS = 300) {
        std::unique_lock<std::mutex> lock(mutex);
        if (!cond.wait_for(lock, std::chrono::seconds(timeoutS), [this] { return raised; }))
            dieMessage(std::string("timed out waiting for ") + what);
        return raisedAt;
    }

private:
    std::mutex mutex;
    std::condition_variable cond;
    bool raised = false;
    Clock::time_point raisedAt;
};

// Round-trip samples in microseconds.
using Samples = std::vector<double>;

}  // namespace kesu_bench
