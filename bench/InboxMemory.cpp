// kesu-inbox-memory BYTES [LIMIT]: what a server that floods the client makes
// the process hold while the application never drains its inbox. A server
// thread of this process writes frames of BYTES payload as fast as the
// socket takes them; the client's inbox (bound LIMIT bytes of frames,
// default the library's) is never dispatched. Once the server's writes have
// made no progress for half a second, it prints the peak RSS before and
// after, what the server got written, how long the owner's stop() took with
// the inbox full, and how many messages the inbox then held.
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "kesu/ipc/IPCInbox.h"

namespace {

using Clock = std::chrono::steady_clock;

long peakRssKb() {
    rusage usage{};
    return ::getrusage(RUSAGE_SELF, &usage) == 0 ? usage.ru_maxrss : 0;
}

// Marker, type 7, 32-bit length, big-endian, then the payload.
std::vector<char> frameOf(size_t payloadBytes) {
    std::vector<char> frame(8 + payloadBytes, 'f');
    const uint32_t fields[2] = {0x6D000007u, static_cast<uint32_t>(payloadBytes)};
    for (size_t i = 0; i < 8; ++i) frame[i] = static_cast<char>(fields[i / 4] >> (24 - 8 * (i % 4)));
    return frame;
}

struct Counter final : IPCInboxHandler {
    void onMessage(std::unique_ptr<IPCMessage>) override { ++messages; }
    long messages = 0;
};

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2 || argc > 3) {
        std::fprintf(stderr, "Usage: %s BYTES [LIMIT]\n", argv[0]);
        return 2;
    }
    const size_t bytes = std::strtoul(argv[1], nullptr, 10);
    const size_t limit = argc == 3 ? std::strtoul(argv[2], nullptr, 10) : IPCInbox::kDefaultLimitBytes;
    // Beyond this the inbox holds nothing back: the server stops there rather than fill the machine.
    const uint64_t ceiling = 4 * uint64_t{limit} + (64u << 20);
    const std::string path = "/tmp/kesu-inbox-memory-" + std::to_string(::getpid());
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    path.copy(address.sun_path, sizeof address.sun_path - 1);
    int listener = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (::bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 || ::listen(listener, 1) != 0) {
        std::perror("kesu-inbox-memory");
        return 1;
    }
    std::atomic<uint64_t> written{0};
    std::thread server([&] {
        const int fd = ::accept(listener, nullptr, nullptr);
        const std::vector<char> frame = frameOf(bytes);
        while (written.load() < ceiling) {
            ssize_t n = ::send(fd, frame.data(), frame.size(), MSG_NOSIGNAL);  // blocks while the client reads nothing
            if (n <= 0) break;
            written += static_cast<uint64_t>(n);
        }
        ::close(fd);
    });

    const long before = peakRssKb();
    IPCMessengerClient client(path);
    IPCInbox inbox(client, limit);
    client.start();
    for (uint64_t seen = UINT64_MAX; seen != written.load();) {
        seen = written.load();
        std::this_thread::sleep_for(std::chrono::milliseconds(500));
    }
    const long after = peakRssKb();
    const Clock::time_point stopping = Clock::now();
    client.stop();
    const double stopMs = std::chrono::duration<double, std::milli>(Clock::now() - stopping).count();
    Counter counter;
    inbox.dispatch(counter);
    server.join();
    std::printf(
        "frames of %zu bytes, inbox bound %zu bytes: server wrote %.1f MiB%s; peak RSS %ld KiB before, "
        "%ld KiB after (%+.1f MiB); stop() took %.2f ms; the inbox held %ld messages (%.1f MiB of frames)\n",
        bytes, limit, double(written.load()) / 1048576.0, written.load() >= ceiling ? " (never held back)" : "", before,
        after, double(after - before) / 1024.0, stopMs, counter.messages,
        double(counter.messages) * double(bytes + 8) / 1048576.0);
    ::close(listener);
    ::unlink(path.c_str());
    return 0;
}
