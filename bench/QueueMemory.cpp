// kesu-queue-memory COUNT BYTES [LIMIT]: what a server that accepts and never
// reads makes the process hold. Connects a client to such a server (a socket
// of this process, accepted and left alone), submits COUNT messages of BYTES
// payload each from the calling thread, waits until the sender has stopped
// moving, and prints the peak RSS before and after, and how many messages the
// send queue dropped. LIMIT sets the queue's bound in bytes (0: none;
// default: the library's).
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>

#include "kesu/ipc/IPCMessengerClient.h"

namespace {

long peakRssKb() {
    rusage usage{};
    return ::getrusage(RUSAGE_SELF, &usage) == 0 ? usage.ru_maxrss : 0;
}

struct Connected final : IPCMessengerClient::IPCMessengerHandler {
    void onNewMessageReceived(IPCMessage const*) override {}
    void onConnected() override { connected = true; }
    std::atomic<bool> connected{false};
};

}  // namespace

int main(int argc, char** argv) {
    if (argc < 3 || argc > 4) {
        std::fprintf(stderr, "Usage: %s COUNT BYTES [LIMIT]\n", argv[0]);
        return 2;
    }
    const long count = std::atol(argv[1]);
    const size_t bytes = std::strtoul(argv[2], nullptr, 10);
    const std::string path = "/tmp/kesu-queue-memory-" + std::to_string(::getpid());
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    path.copy(address.sun_path, sizeof address.sun_path - 1);
    int listener = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (::bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 || ::listen(listener, 1) != 0) {
        std::perror("kesu-queue-memory");
        return 1;
    }
    IPCMessengerClient client(path);
    if (argc == 4) client.setSendQueueLimit(std::strtoul(argv[3], nullptr, 10));
    std::atomic<long> dropped{0};
    client.setDropCallback([&dropped](IPCMessage const&) { ++dropped; });
    Connected handler;
    client.addHandler(&handler);
    client.start();
    int server = ::accept(listener, nullptr, nullptr);  // and never read
    while (!handler.connected) std::this_thread::sleep_for(std::chrono::milliseconds(1));

    const long before = peakRssKb();
    for (long i = 0; i < count; ++i) {
        auto* message = new IPCMessage(IPC_MSG_RAW_12);
        message->messageStruct.data.assign(bytes, 'q');
        client.sendMessage(message);
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(200));  // the sender blocks in its write
    std::printf("%ld messages of %zu bytes: peak RSS %ld KiB before, %ld KiB after (%+.1f MiB); %ld dropped\n", count,
                bytes, before, peakRssKb(), double(peakRssKb() - before) / 1024.0, dropped.load());
    client.stop();
    client.removeHandler(&handler);
    ::close(server);
    ::close(listener);
    ::unlink(path.c_str());
    return 0;
}
