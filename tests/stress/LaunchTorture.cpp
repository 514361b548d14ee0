// Runs the uri-launcher tool again and again against a server that varies its
// behaviour per connection, and checks every run's verdict against what the
// server really received.
//
//   launch-torture --tool PATH [--runs N] [--seed S]
//
// The tool always talks to /tmp/kesu_messenger, so this program must run
// where /tmp is private (tests/stress/run-launch-torture.sh arranges that).
// Invariants, per run: the tool exits normally with status 0; "Message sent"
// if and only if the server received the run's URI frame whole; no run takes
// longer than the 3 s budget plus the stop bound.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "ipc/IPCFrame.h"
#include "ipc/IPCMessageFactory.h"
#include "ToolRun.h"
#include "ipc/IPCSocketIO.h"

namespace {

constexpr const char* kSocketPath = "/tmp/kesu_messenger";
constexpr auto kRunBound = std::chrono::milliseconds(3000 + 1500);

// Every mode reads what reached its socket before it closes: a frame the
// client wrote whole is then always seen, and the check stays exact.
enum class Mode {
    Normal,       // reads until the client closes
    CloseAtOnce,  // takes only what is already there, then closes
    SlowReader,   // small reads with pauses
    LateReader,   // reads nothing for a while, then everything
};
const char* modeName(Mode m) {
    switch (m) {
    case Mode::Normal: return "normal";
    case Mode::CloseAtOnce: return "close-at-once";
    case Mode::SlowReader: return "slow-reader";
    case Mode::LateReader: return "late-reader";
    }
    return "?";
}

// What the server saw during one run; the server thread writes it, the main
// thread reads it once the run's connections are finished.
struct RunRecord {
    std::mutex mutex;
    std::condition_variable changed;
    int openConnections = 0;
    long idlePolls = 0;  // polls of the listener that found no connection pending
    std::vector<std::string> urisReceived;  // type-54 texts of whole frames
    std::vector<Mode> modes;
};

RunRecord record;
std::atomic<bool> serverQuit{false};

void serveConnection(int fd, Mode mode, unsigned seed) {
    std::mt19937 rng(seed);
    std::vector<char> bytes;
    if (mode == Mode::LateReader) std::this_thread::sleep_for(std::chrono::milliseconds(50 + rng() % 100));
    int flags = 0;
    if (mode == Mode::CloseAtOnce) {
        // From here the client's writes fail; what it wrote before is drained.
        ::shutdown(fd, SHUT_RD);
        flags = MSG_DONTWAIT;
    }
    char buffer[65536];
    for (;;) {
        size_t want = mode == Mode::SlowReader ? 1 + rng() % 4096 : sizeof buffer;
        ssize_t n = ::recv(fd, buffer, want, flags);
        if (n <= 0) break;
        bytes.insert(bytes.end(), buffer, buffer + n);
        if (mode == Mode::SlowReader) std::this_thread::sleep_for(std::chrono::microseconds(200 + rng() % 800));
    }
    ::close(fd);

    // Cut the stream into whole frames with the library's header decoder.
    std::vector<std::string> uris;
    size_t pos = 0;
    while (bytes.size() - pos >= ipc_frame::kHeaderBytes) {
        ipc_frame::Header header;
        if (!ipc_frame::decodeHeader(reinterpret_cast<unsigned char const*>(bytes.data() + pos), header)) break;
        if (bytes.size() - pos - ipc_frame::kHeaderBytes < header.length) break;
        IPCMessageStruct raw;
        raw.type = static_cast<IPCMessageType>(header.type);
        auto first = bytes.begin() + static_cast<std::ptrdiff_t>(pos + ipc_frame::kHeaderBytes);
        raw.data.assign(first, first + static_cast<std::ptrdiff_t>(header.length));
        pos += ipc_frame::kHeaderBytes + header.length;
        auto message = IPCMessageFactory::getMessage(raw);
        message->unserialize();
        if (auto* text = dynamic_cast<IPCMessageSimpleString*>(message.get()); text && raw.type == IPC_MSG_LAUNCH_URI)
            uris.push_back(text->text);
    }
    std::lock_guard<std::mutex> lock(record.mutex);
    record.urisReceived.insert(record.urisReceived.end(), uris.begin(), uris.end());
    record.openConnections -= 1;
    record.changed.notify_all();
}

long long nowMs() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

int listenOnSocketPath() {
    ::unlink(kSocketPath);
    int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::strcpy(address.sun_path, kSocketPath);
    if (::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 || ::listen(fd, 16) != 0) {
        std::perror("launch-torture: listen on /tmp/kesu_messenger");
        std::exit(1);
    }
    return fd;
}

// Until this time the server is away: no socket file, so connects fail and
// the client paces its retries. The server thread alone opens and closes the
// listener; `listening` tells the main thread which way it is.
std::atomic<long long> absentUntilMs{0};
std::atomic<bool> listening{false};

void serve(unsigned seed) {
    std::mt19937 rng(seed);
    std::vector<std::thread> workers;
    int listener = listenOnSocketPath();
    listening.store(true);
    while (!serverQuit.load()) {
        bool away = nowMs() < absentUntilMs.load();
        if (away && listener >= 0) {
            ::close(listener);
            ::unlink(kSocketPath);
            listener = -1;
            listening.store(false);
        } else if (!away && listener < 0) {
            listener = listenOnSocketPath();
            listening.store(true);
        }
        if (listener < 0) {
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
            continue;
        }
        pollfd p{listener, POLLIN, 0};
        if (::poll(&p, 1, 20) <= 0) {
            std::lock_guard<std::mutex> lock(record.mutex);
            record.idlePolls += 1;
            record.changed.notify_all();
            continue;
        }
        int fd = ::accept(listener, nullptr, nullptr);
        if (fd < 0) continue;
        auto roll = rng() % 100;
        Mode mode = roll < 50 ? Mode::Normal : roll < 70 ? Mode::CloseAtOnce : roll < 90 ? Mode::SlowReader
                                                                                        : Mode::LateReader;
        {
            std::lock_guard<std::mutex> lock(record.mutex);
            record.openConnections += 1;
            record.modes.push_back(mode);
        }
        if (mode == Mode::CloseAtOnce) {
            serveConnection(fd, mode, 0);
            continue;
        }
        workers.emplace_back(serveConnection, fd, mode, static_cast<unsigned>(rng() & 0xFFFFFFFFu));
    }
    for (auto& w : workers) w.join();
    if (listener >= 0) ::close(listener);
    ::unlink(kSocketPath);
}

}  // namespace

int main(int argc, char** argv) {
    std::string tool;
    int runs = 1000;
    unsigned seed = std::random_device{}();
    for (int i = 1; i < argc; ++i) {
        std::string arg = argv[i];
        if (arg == "--tool" && i + 1 < argc) tool = argv[++i];
        else if (arg == "--runs" && i + 1 < argc) runs = std::atoi(argv[++i]);
        else if (arg == "--seed" && i + 1 < argc) seed = static_cast<unsigned>(std::strtoul(argv[++i], nullptr, 10));
        else {
            std::fprintf(stderr, "usage: launch-torture --tool PATH [--runs N] [--seed S]\n");
            return 2;
        }
    }
    if (tool.empty()) {
        std::fprintf(stderr, "launch-torture: --tool is required\n");
        return 2;
    }
    ::signal(SIGPIPE, SIG_IGN);
    // The tools' expected failures (writes cut by a closing server) would
    // flood the output; the verdicts come from stdout and the server.
    ::setenv("KESU_LOG_LEVEL", "0", 0);
    std::printf("launch-torture: %d runs, seed %u\n", runs, seed);
    std::thread server(serve, seed);
    while (!listening.load()) std::this_thread::sleep_for(std::chrono::milliseconds(1));

    std::mt19937 rng(seed ^ 0x5eedu);
    int sent = 0, timeouts = 0, failures = 0;
    long long slowestMs = 0;
    for (int run = 0; run < runs; ++run) {
        // Mostly short URIs, some near the 128 KiB limit of one argument, so
        // that slow readers see the frame arrive in many pieces.
        size_t padding = rng() % 10 == 0 ? 60000 + rng() % 60000 : rng() % 200;
        std::string uri = "torture://run/" + std::to_string(run) + "/" + std::string(padding, 'x');
        {
            std::lock_guard<std::mutex> lock(record.mutex);
            record.urisReceived.clear();
            record.modes.clear();
        }
        if (rng() % 8 == 0) {
            // The server appears only after the first attempts have failed,
            // late enough to land anywhere among the 30 polls or after them.
            absentUntilMs.store(nowMs() + 500 + static_cast<long long>(rng() % 3000));
            while (listening.load()) std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
        kesu_torture::ToolResult result = kesu_torture::runTool(tool, uri);
        bool delivered = false;
        std::string modes;
        {
            // A connection the tool made may still wait in the backlog: the
            // run is over once the listener was seen idle after the tool
            // exited (twice: the first idle poll may have begun before) and
            // every accepted connection has been read to its end.
            std::unique_lock<std::mutex> lock(record.mutex);
            long idleBefore = record.idlePolls;
            record.changed.wait_for(lock, std::chrono::seconds(10), [idleBefore] {
                return record.idlePolls > idleBefore + 1 && record.openConnections == 0;
            });
            for (auto const& received : record.urisReceived) delivered = delivered || received == uri;
            for (Mode m : record.modes) modes += std::string(modes.empty() ? "" : ",") + modeName(m);
        }
        slowestMs = std::max<long long>(slowestMs, result.elapsed.count());
        std::string verdict = kesu_torture::verdictOf(result, delivered, kRunBound);
        if (!verdict.empty()) {
            ++failures;
            std::printf("run %d FAILED: %s (output \"%s\", connections: %s, uri %zu bytes)\n", run, verdict.c_str(),
                        result.output.c_str(), modes.c_str(), uri.size());
        }
        if (kesu_torture::reportedSent(result)) ++sent;
        else ++timeouts;
    }
    serverQuit.store(true);
    server.join();
    std::printf("launch-torture: %d runs, %d sent, %d timeouts, %d failures, slowest run %lld ms\n", runs, sent, timeouts,
                failures, slowestMs);
    return failures == 0 ? 0 : 1;
}
