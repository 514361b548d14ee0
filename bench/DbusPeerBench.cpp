// D-Bus as a peer: signal throughput at the library's payload sizes and the
// round trip of a method call, both through a private bus daemon that this
// part starts on a temporary socket and stops. Built with libdbus when the
// build found it; otherwise the part records why it is absent.
#include "CompareParts.h"

#if KESU_BENCH_HAVE_DBUS

#include <dbus/dbus.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

extern char** environ;

namespace kesu_bench {
namespace {

constexpr const char* kInterface = "org.kesu.Bench";
constexpr const char* kObjectPath = "/org/kesu/Bench";
constexpr const char* kEchoName = "org.kesu.BenchEcho";
constexpr int kCallTimeoutMs = 5000;
constexpr int kDaemonStartTimeoutMs = 10000;
constexpr int kSignalsStalledS = 60;

// A bus of our own: session-like, one listening socket in `dir`, limits
// raised so that a fast sender is slowed down by the daemon, never dropped.
class PrivateBus {
public:
    explicit PrivateBus(TempDir& dir) {
        std::string config = dir.file("bus.conf");
        std::string socketPath = dir.file("bus");
        std::ofstream out(config);
        out << "<!DOCTYPE busconfig PUBLIC \"-//freedesktop//DTD D-Bus Bus Configuration 1.0//EN\"\n"
               " \"http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd\">\n"
               "<busconfig>\n"
               "  <type>session</type>\n"
               "  <listen>unix:path=" << socketPath << "</listen>\n"
               "  <auth>EXTERNAL</auth>\n"
               "  <policy context=\"default\">\n"
               "    <allow send_destination=\"*\" eavesdrop=\"true\"/>\n"
               "    <allow eavesdrop=\"true\"/>\n"
               "    <allow own=\"*\"/>\n"
               "  </policy>\n"
               "  <limit name=\"max_incoming_bytes\">1000000000</limit>\n"
               "  <limit name=\"max_outgoing_bytes\">1000000000</limit>\n"
               "  <limit name=\"max_message_size\">134217728</limit>\n"
               "</busconfig>\n";
        out.close();
        if (!out) dieMessage("cannot write " + config);

        int pipeFds[2];
        if (::pipe2(pipeFds, O_CLOEXEC) != 0) die("pipe2");
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_adddup2(&actions, pipeFds[1], STDOUT_FILENO);
        // Its complaints about limits it may not raise as an unprivileged
        // container process are no concern of the figures.
        posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, "/dev/null", O_WRONLY, 0);
        std::string configArg = "--config-file=" + config;
        std::vector<char*> argv = {const_cast<char*>("dbus-daemon"), const_cast<char*>(configArg.c_str()),
                                   const_cast<char*>("--print-address"), const_cast<char*>("--nofork"),
                                   const_cast<char*>("--nopidfile"), const_cast<char*>("--nosyslog"), nullptr};
        int res = posix_spawnp(&pid, "dbus-daemon", &actions, nullptr, argv.data(), environ);
        posix_spawn_file_actions_destroy(&actions);
        ::close(pipeFds[1]);
        if (res != 0) {
            pid = -1;
            ::close(pipeFds[0]);
            return;
        }
        // The daemon prints its address once it listens.
        std::string line;
        char c = 0;
        pollfd readable{pipeFds[0], POLLIN, 0};
        while (::poll(&readable, 1, kDaemonStartTimeoutMs) > 0 && ::read(pipeFds[0], &c, 1) == 1 && c != '\n')
            line += c;
        ::close(pipeFds[0]);
        if (c != '\n' || line.empty()) dieMessage("dbus-daemon printed no address");
        busAddress = line;
    }
    ~PrivateBus() {
        if (pid <= 0) return;
        ::kill(pid, SIGTERM);
        int status = 0;
        ::waitpid(pid, &status, 0);
    }
    PrivateBus(PrivateBus const&) = delete;
    PrivateBus& operator=(PrivateBus const&) = delete;

    bool started() const { return pid > 0; }
    std::string const& address() const { return busAddress; }

private:
    pid_t pid = -1;
    std::string busAddress;
};

[[noreturn]] void dieDbus(const char* what, DBusError const& error) {
    dieMessage(std::string("dbus: ") + what + ": " + (error.message != nullptr ? error.message : "failed"));
}

// A private connection registered with the bus; closed and released by the holder.
class BusConnection {
public:
    explicit BusConnection(std::string const& address) {
        DBusError error;
        dbus_error_init(&error);
        connection = dbus_connection_open_private(address.c_str(), &error);
        if (connection == nullptr) dieDbus("open", error);
        if (!dbus_bus_register(connection, &error)) dieDbus("register", error);
    }
    ~BusConnection() {
        dbus_connection_close(connection);
        dbus_connection_unref(connection);
    }
    BusConnection(BusConnection const&) = delete;
    BusConnection& operator=(BusConnection const&) = delete;

    DBusConnection* get() const { return connection; }

private:
    DBusConnection* connection = nullptr;
};

// A byte array argument; never a null pointer, even for no bytes.
void appendBytes(DBusMessage* message, std::vector<char> const& bytes) {
    static const char none = 0;
    const char* data = bytes.empty() ? &none : bytes.data();
    int count = static_cast<int>(bytes.size());
    if (!dbus_message_append_args(message, DBUS_TYPE_ARRAY, DBUS_TYPE_BYTE, &data, count, DBUS_TYPE_INVALID))
        dieMessage("dbus: out of memory");
}

// Length of the message's byte array argument, -1 when it has none.
int byteCount(DBusMessage* message) {
    DBusError error;
    dbus_error_init(&error);
    const char* data = nullptr;
    int count = -1;
    if (!dbus_message_get_args(message, &error, DBUS_TYPE_ARRAY, DBUS_TYPE_BYTE, &data, &count, DBUS_TYPE_INVALID)) {
        dbus_error_free(&error);
        return -1;
    }
    return count;
}

// One connection emits signals as fast as libdbus takes them; another,
// subscribed through a match rule, counts them. A warm-up signal first.
Trial signals(PrivateBus const& bus, size_t payloadBytes, uint64_t frames) {
    BusConnection receiver(bus.address());
    DBusError error;
    dbus_error_init(&error);
    std::string rule = std::string("type='signal',interface='") + kInterface + "'";
    dbus_bus_add_match(receiver.get(), rule.c_str(), &error);
    if (dbus_error_is_set(&error)) dieDbus("add_match", error);
    BusConnection sender(bus.address());

    Latch warmedUp;
    std::atomic<Clock::rep> finished{0};
    std::atomic<uint64_t> wrong{0};
    std::thread counter([&] {
        uint64_t count = 0;
        // A bus that drops signals would leave this loop waiting for ever.
        Clock::time_point lastArrival = Clock::now();
        while (count <= frames) {
            if (!dbus_connection_read_write(receiver.get(), 1000)) dieMessage("dbus: receiver disconnected");
            uint64_t before = count;
            while (DBusMessage* message = dbus_connection_pop_message(receiver.get())) {
                if (dbus_message_is_signal(message, kInterface, "Frame")) {
                    if (byteCount(message) != static_cast<int>(payloadBytes)) wrong.fetch_add(1);
                    if (count++ == 0) warmedUp.raise();
                }
                dbus_message_unref(message);
            }
            if (count != before)
                lastArrival = Clock::now();
            else if (Clock::now() - lastArrival > std::chrono::seconds(kSignalsStalledS))
                dieMessage("dbus: signals stopped arriving (dropped by the daemon?)");
        }
        finished.store(Clock::now().time_since_epoch().count());
    });

    std::vector<char> payload(payloadBytes, 'd');
    auto emit = [&] {
        DBusMessage* message = dbus_message_new_signal(kObjectPath, kInterface, "Frame");
        if (message == nullptr) dieMessage("dbus: out of memory");
        appendBytes(message, payload);
        if (!dbus_connection_send(sender.get(), message, nullptr)) dieMessage("dbus: out of memory");
        dbus_message_unref(message);
    };
    emit();
    dbus_connection_flush(sender.get());
    warmedUp.await("the D-Bus warm-up signal");
    long switchesBefore = voluntarySwitches();
    Clock::time_point start = Clock::now();
    for (uint64_t i = 0; i < frames; ++i) emit();
    dbus_connection_flush(sender.get());
    counter.join();
    long switches = voluntarySwitches() - switchesBefore;
    if (wrong.load() != 0) dieMessage("dbus: signals of the wrong size");

    Trial trial;
    trial.frames = frames;
    trial.seconds = secondsBetween(start, Clock::time_point(Clock::duration(finished.load())));
    trial.switchesPerFrame = static_cast<double>(switches) / static_cast<double>(frames);
    return trial;
}

// A service that owns a name and answers Echo with the bytes it got; a
// client calls it synchronously, the way an application asks a question.
Samples methodCalls(PrivateBus const& bus, int warmUp, int rounds) {
    BusConnection service(bus.address());
    DBusError error;
    dbus_error_init(&error);
    int owned = dbus_bus_request_name(service.get(), kEchoName, DBUS_NAME_FLAG_DO_NOT_QUEUE, &error);
    if (owned != DBUS_REQUEST_NAME_REPLY_PRIMARY_OWNER) dieDbus("request_name", error);

    std::atomic<bool> quitting{false};
    std::thread echo([&] {
        while (!quitting.load()) {
            if (!dbus_connection_read_write(service.get(), 100)) return;
            while (DBusMessage* call = dbus_connection_pop_message(service.get())) {
                if (dbus_message_is_method_call(call, kInterface, "Echo")) {
                    std::vector<char> bytes(static_cast<size_t>(std::max(0, byteCount(call))), 'e');
                    DBusMessage* reply = dbus_message_new_method_return(call);
                    if (reply == nullptr) dieMessage("dbus: out of memory");
                    appendBytes(reply, bytes);
                    dbus_connection_send(service.get(), reply, nullptr);
                    dbus_message_unref(reply);
                    dbus_connection_flush(service.get());
                }
                dbus_message_unref(call);
            }
        }
    });

    BusConnection client(bus.address());
    std::vector<char> payload(kLatencyPayloadBytes, 'q');
    Samples samples;
    samples.reserve(static_cast<size_t>(rounds));
    for (int i = 0; i < warmUp + rounds; ++i) {
        Clock::time_point start = Clock::now();
        DBusMessage* call = dbus_message_new_method_call(kEchoName, kObjectPath, kInterface, "Echo");
        if (call == nullptr) dieMessage("dbus: out of memory");
        appendBytes(call, payload);
        DBusMessage* reply = dbus_connection_send_with_reply_and_block(client.get(), call, kCallTimeoutMs, &error);
        dbus_message_unref(call);
        if (reply == nullptr) dieDbus("Echo", error);
        if (byteCount(reply) != static_cast<int>(kLatencyPayloadBytes)) dieMessage("dbus: wrong reply");
        dbus_message_unref(reply);
        if (i >= warmUp) samples.push_back(microsecondsBetween(start, Clock::now()));
    }
    quitting.store(true);
    echo.join();
    return samples;
}

}  // namespace

void runDbusPart(Budget const& budget, Records& records) {
    dbus_threads_init_default();
    TempDir dir;
    PrivateBus bus(dir);
    if (!bus.started()) {
        records.skip("dbus-signal", "dbus", "dbus-daemon not installed");
        records.skip("latency", "dbus-call", "dbus-daemon not installed");
        return;
    }
    const int trials = budget.quick ? 1 : 3;
    for (size_t size : kPayloadSizes) {
        uint64_t frames = budget.frames(size, 50000, 64u << 20);
        std::vector<double> rates;
        std::vector<double> switches;
        for (int t = 0; t < trials; ++t) {
            Trial trial = signals(bus, size, frames);
            rates.push_back(trial.framesPerSecond());
            switches.push_back(trial.switchesPerFrame);
        }
        records.add("dbus-signal", size, "dbus", "fps", median(rates));
        records.add("dbus-signal", size, "dbus", "csw", median(switches));
        std::fprintf(stderr, "dbus signals %6zu B: %.0f/s\n", size, median(rates));
    }
    int rounds = budget.quick ? 100 : 5000;
    Samples rtt = methodCalls(bus, budget.quick ? 20 : 200, rounds);
    records.add("latency", kLatencyPayloadBytes, "dbus-call", "rtt_p50_us", median(rtt));
    records.add("latency", kLatencyPayloadBytes, "dbus-call", "rtt_p99_us", percentile(rtt, 99));
    std::fprintf(stderr, "dbus call round trip median: %.1f us\n", median(rtt));
}

}  // namespace kesu_bench

#else

namespace kesu_bench {

void runDbusPart(Budget const& /*budget*/, Records& records) {
    records.skip("dbus-signal", "dbus", "not installed");
    records.skip("latency", "dbus-call", "not installed");
}

}  // namespace kesu_bench

#endif
