// Starts and stops messenger clients over and over, each stop falling in a
// different state, and fails if any stop does not return in time.
//
//   stop-stress [--iterations N] [--seed S]
//
// States: never started; right after start (creating or connecting the
// socket, or waiting to retry with no server); connected and blocked in a
// receive; inside a handler's dispatch; with a large message queued to a
// server that never reads (the sender blocked in a write). A watchdog aborts
// the process if one stop takes longer than the bound, so a hang shows as a
// failure with the state that hung, never as a stuck job.
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

#include "ipc/IPCMessengerClient.h"
#include "ipc/IPCSocketIO.h"

namespace {

// A stop owes at most one 200 ms retry sleep plus one 200 ms idle wait of the
// sender; the rest is margin for a loaded machine and sanitizers.
constexpr auto kStopBound = std::chrono::seconds(3);

enum class State { NeverStarted, JustStarted, NoServer, Receiving, Dispatching, SenderBlocked, Count };
const char* stateName(State s) {
    static const char* names[] = {"never-started", "just-started", "no-server", "receiving", "dispatching",
                                  "sender-blocked"};
    return names[static_cast<int>(s)];
}

std::atomic<State> currentState{State::NeverStarted};
std::atomic<long long> stopStartedMs{-1};

long long nowMs() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

void watchdog(std::atomic<bool>& done) {
    while (!done.load()) {
        long long started = stopStartedMs.load();
        if (started >= 0 && nowMs() - started > std::chrono::milliseconds(kStopBound).count()) {
            std::fprintf(stderr, "stop-stress: stop did not return within %lld ms in state %s\n",
                         static_cast<long long>(std::chrono::milliseconds(kStopBound).count()),
                         stateName(currentState.load()));
            std::abort();
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
}

// Accepts connections and, per the current state, sends a frame or nothing;
// never reads, so large messages fill the socket and block the sender.
class Server {
public:
    explicit Server(std::string socketPath) : path(std::move(socketPath)) {
        listener = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        std::strncpy(address.sun_path, path.c_str(), sizeof address.sun_path - 1);
        if (::bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 || ::listen(listener, 64) != 0) {
            std::perror("stop-stress: listen");
            std::exit(1);
        }
        thread = std::thread([this] { serve(); });
    }
    ~Server() {
        quit.store(true);
        thread.join();
        for (int fd : connections) ::close(fd);
        ::close(listener);
        ::unlink(path.c_str());
    }
    // Drops the connections of earlier iterations.
    void closeConnections() {
        std::lock_guard<std::mutex> lock(mutex);
        for (int fd : connections) ::close(fd);
        connections.clear();
    }

private:
    void serve() {
        while (!quit.load()) {
            pollfd p{listener, POLLIN, 0};
            if (::poll(&p, 1, 20) <= 0) continue;
            int fd = ::accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
            if (fd < 0) continue;
            if (currentState.load() == State::Dispatching) {
                IPCMessageStruct frame;
                frame.type = static_cast<IPCMessageType>(26);
                frame.data = {0, 0, 0, 7};
                ipc_io::writeFrame(fd, frame);
            }
            std::lock_guard<std::mutex> lock(mutex);
            connections.push_back(fd);
        }
    }

    std::string path;
    int listener = -1;
    std::atomic<bool> quit{false};
    std::mutex mutex;
    std::vector<int> connections;
    std::thread thread;
};

class Handler : public IPCMessengerClient::IPCMessengerHandler {
public:
    explicit Handler(IPCMessengerClient& c) : client(c) {}
    void onConnected() override {
        if (currentState.load() == State::SenderBlocked) {
            // Far more than a socket buffer holds: the sender blocks in write.
            client.sendMessage(new IPCMessageSimpleString(IPC_MSG_LAUNCH_URI, std::string(4 << 20, 'u')));
        }
        signal(connected);
    }
    void onNewMessageReceived(IPCMessage const*) override {
        signal(dispatching);
        // Stay in the dispatch until the stop has begun, so that it falls here.
        while (stopStartedMs.load() < 0) std::this_thread::sleep_for(std::chrono::microseconds(100));
    }
    bool waitFor(bool Handler::*flag) {
        std::unique_lock<std::mutex> lock(mutex);
        return changed.wait_for(lock, std::chrono::seconds(5), [&] { return this->*flag; });
    }
    bool connected = false;
    bool dispatching = false;

private:
    void signal(bool& flag) {
        std::lock_guard<std::mutex> lock(mutex);
        flag = true;
        changed.notify_all();
    }
    IPCMessengerClient& client;
    std::mutex mutex;
    std::condition_variable changed;
};

}  // namespace

int main(int argc, char** argv) {
    long iterations = 10000;
    unsigned seed = std::random_device{}();
    for (int i = 1; i < argc; ++i) {
        std::string arg = argv[i];
        if (arg == "--iterations" && i + 1 < argc) iterations = std::atol(argv[++i]);
        else if (arg == "--seed" && i + 1 < argc) seed = static_cast<unsigned>(std::strtoul(argv[++i], nullptr, 10));
        else {
            std::fprintf(stderr, "usage: stop-stress [--iterations N] [--seed S]\n");
            return 2;
        }
    }
    // Expected failures (writes cut by the stop) would flood the output.
    ::setenv("KESU_LOG_LEVEL", "0", 0);
    std::mt19937 rng(seed);
    char dir[] = "/tmp/kesu-stop-stress-XXXXXX";
    if (::mkdtemp(dir) == nullptr) return 1;
    std::string path = std::string(dir) + "/messenger";
    std::string absent = std::string(dir) + "/absent";
    std::printf("stop-stress: %ld iterations, seed %u\n", iterations, seed);

    std::atomic<bool> done{false};
    std::thread dog(watchdog, std::ref(done));
    long long slowestMs = 0;
    long counts[static_cast<int>(State::Count)] = {};
    {
        Server server(path);
        for (long i = 0; i < iterations; ++i) {
            State state = static_cast<State>(i % static_cast<long>(State::Count));
            currentState.store(state);
            stopStartedMs.store(-1);
            IPCMessengerClient client(state == State::NoServer ? absent : path);
            Handler handler(client);
            client.addHandler(&handler);
            bool reached = true;
            switch (state) {
            case State::NeverStarted:
                break;
            case State::JustStarted:
                client.start();
                std::this_thread::sleep_for(std::chrono::microseconds(rng() % 300));
                break;
            case State::NoServer:
                client.start();
                std::this_thread::sleep_for(std::chrono::microseconds(rng() % 2000));
                break;
            case State::Receiving:
            case State::SenderBlocked:
                client.start();
                reached = handler.waitFor(&Handler::connected);
                break;
            case State::Dispatching:
                client.start();
                reached = handler.waitFor(&Handler::dispatching);
                break;
            case State::Count:
                break;
            }
            if (!reached) {
                std::fprintf(stderr, "stop-stress: iteration %ld never reached state %s\n", i, stateName(state));
                std::abort();
            }
            long long started = nowMs();
            stopStartedMs.store(started);
            client.stop();
            long long took = nowMs() - started;
            stopStartedMs.store(-1);
            slowestMs = std::max(slowestMs, took);
            client.removeHandler(&handler);
            counts[static_cast<int>(state)] += 1;
            if (state == State::Receiving || state == State::Dispatching || state == State::SenderBlocked)
                server.closeConnections();
        }
    }
    done.store(true);
    dog.join();
    ::rmdir(dir);
    std::printf("stop-stress: %ld stops", iterations);
    for (int s = 0; s < static_cast<int>(State::Count); ++s)
        std::printf(", %s %ld", stateName(static_cast<State>(s)), counts[s]);
    std::printf("; slowest stop %lld ms\n", slowestMs);
    return 0;
}
