// The peers: ZeroMQ over ipc:// (PUSH/PULL throughput, PAIR ping-pong) and
// D-Bus through a private bus daemon that this program starts on a
// temporary socket (signal throughput, a synchronous method call). A peer
// whose development package the build did not find is compiled out and
// reported as skipped, never an error.
#include <memory>
#include <string>
#include <vector>

#include "BenchSupport.h"

#if KESU_BENCH_HAVE_ZMQ
#include <zmq.h>
#endif
#if KESU_BENCH_HAVE_DBUS
#include <dbus/dbus.h>
#include <signal.h>
#include <sys/wait.h>

#include <fstream>
#endif

namespace kesu_bench {
namespace {

void skip(benchmark::State& state, const char* why) { state.SkipWithError(why); }

#if KESU_BENCH_HAVE_ZMQ

[[noreturn]] void failZmq(const char* what) { fail(std::string("zmq: ") + what + ": " + zmq_strerror(zmq_errno())); }

// Closed at once at the end of a case: nothing is left to deliver.
void* zmqSocket(int type) {
    static void* context = zmq_ctx_new();  // lives as long as the process
    void* socket = zmq_socket(context, type);
    int linger = 0;
    if (socket == nullptr || zmq_setsockopt(socket, ZMQ_LINGER, &linger, sizeof linger) != 0) failZmq("zmq_socket");
    return socket;
}

// PUSH on this thread, PULL on another; each message a copy made by zmq_send,
// received as a zmq_msg_t. A warm-up message first, so that the connection
// exists before the clock starts.
Batch zmqPushPull(size_t payloadBytes, size_t frames) {
    const std::string path = freshPath("zmq");
    const std::string endpoint = "ipc://" + path;
    void* pull = zmqSocket(ZMQ_PULL);
    void* push = zmqSocket(ZMQ_PUSH);
    if (zmq_bind(pull, endpoint.c_str()) != 0 || zmq_connect(push, endpoint.c_str()) != 0) failZmq("bind/connect");
    Latch warmedUp;
    Latch finished;
    std::thread receiver([&] {
        for (size_t i = 0; i <= frames; ++i) {
            zmq_msg_t message;
            zmq_msg_init(&message);
            if (zmq_msg_recv(&message, pull, 0) != static_cast<int>(payloadBytes)) failZmq("zmq_msg_recv");
            zmq_msg_close(&message);
            if (i == 0) warmedUp.raise();
        }
        finished.raise();
    });
    const std::vector<char> payload(payloadBytes, 'z');
    auto sendOne = [&] {
        if (zmq_send(push, payload.data(), payload.size(), 0) < 0) failZmq("zmq_send");
    };
    sendOne();
    warmedUp.await("the ZeroMQ warm-up message");
    long switches = voluntarySwitches();
    Clock::time_point start = Clock::now();
    for (size_t i = 0; i < frames; ++i) sendOne();
    Clock::time_point end = finished.await("the last ZeroMQ message");
    switches = voluntarySwitches() - switches;
    receiver.join();
    zmq_close(push);
    zmq_close(pull);
    ::unlink(path.c_str());
    return {secondsBetween(start, end), switches};
}

// PAIR to PAIR: this thread sends and waits for the echo that another thread
// sends back. An empty message ends the echo.
void zmqPair(benchmark::State& state) {
    const std::string path = freshPath("zmq");
    const std::string endpoint = "ipc://" + path;
    void* near = zmqSocket(ZMQ_PAIR);
    void* far = zmqSocket(ZMQ_PAIR);
    if (zmq_bind(near, endpoint.c_str()) != 0 || zmq_connect(far, endpoint.c_str()) != 0) failZmq("bind/connect");
    std::thread echo([far] {
        for (;;) {
            zmq_msg_t message;
            zmq_msg_init(&message);
            if (zmq_msg_recv(&message, far, 0) < 0) failZmq("zmq_msg_recv");
            if (zmq_msg_size(&message) == 0 || zmq_msg_send(&message, far, 0) < 0) {
                zmq_msg_close(&message);
                return;
            }
        }
    });
    char payload[kLatencyPayloadBytes] = {};
    char reply[kLatencyPayloadBytes];
    auto pingPong = [&] {
        if (zmq_send(near, payload, sizeof payload, 0) < 0 || zmq_recv(near, reply, sizeof reply, 0) != sizeof payload)
            failZmq("ping-pong");
    };
    pingPong();  // the connection is made in the background: have it before the clock starts
    for (auto _ : state) pingPong();
    if (zmq_send(near, nullptr, 0, 0) < 0) failZmq("zmq_send");
    echo.join();
    zmq_close(far);
    zmq_close(near);
    ::unlink(path.c_str());
}

#endif  // KESU_BENCH_HAVE_ZMQ

#if KESU_BENCH_HAVE_DBUS

constexpr const char* kInterface = "org.kesu.Bench";
constexpr const char* kObjectPath = "/org/kesu/Bench";
constexpr const char* kEchoName = "org.kesu.BenchEcho";

// A bus of our own, started at the first use and stopped at exit:
// session-like, limits raised so that a fast sender is slowed down by the
// daemon, never dropped.
class PrivateBus {
public:
    PrivateBus() {
        const std::string config = freshPath("bus.conf");
        std::ofstream(config) << "<busconfig><type>session</type><listen>unix:path=" << freshPath("bus")
                              << "</listen><auth>EXTERNAL</auth><policy context=\"default\">"
                                 "<allow send_destination=\"*\" eavesdrop=\"true\"/><allow eavesdrop=\"true\"/>"
                                 "<allow own=\"*\"/></policy><limit name=\"max_incoming_bytes\">1000000000</limit>"
                                 "<limit name=\"max_outgoing_bytes\">1000000000</limit>"
                                 "<limit name=\"max_message_size\">134217728</limit></busconfig>\n";
        // Its complaints about limits it may not raise are no concern here.
        const std::string command =
            "exec dbus-daemon --nofork --nopidfile --nosyslog --print-address=1 "
            "--print-pid=1 --config-file=" +
            config + " 2>/dev/null";
        output = ::popen(command.c_str(), "r");
        char line[512];
        if (output != nullptr && std::fgets(line, sizeof line, output) != nullptr) {
            address = std::string(line, std::strcspn(line, "\n"));
            if (std::fgets(line, sizeof line, output) != nullptr) pid = std::atoi(line);
        }
        ::unlink(config.c_str());
    }
    ~PrivateBus() {
        if (pid > 0) ::kill(pid, SIGTERM);
        if (output != nullptr) ::pclose(output);
    }
    PrivateBus(PrivateBus const&) = delete;
    PrivateBus& operator=(PrivateBus const&) = delete;

    std::string address;  // empty when no daemon started

private:
    FILE* output = nullptr;
    pid_t pid = -1;
};

PrivateBus& bus() {
    static PrivateBus theBus;
    return theBus;
}

// A private connection registered with the bus.
using BusConnection = std::unique_ptr<DBusConnection, void (*)(DBusConnection*)>;
BusConnection connectToBus() {
    DBusError error;
    dbus_error_init(&error);
    DBusConnection* connection = dbus_connection_open_private(bus().address.c_str(), &error);
    if (connection == nullptr || !dbus_bus_register(connection, &error)) fail(std::string("dbus: ") + error.message);
    return BusConnection(connection, [](DBusConnection* c) {
        dbus_connection_close(c);
        dbus_connection_unref(c);
    });
}

// A byte array argument; never a null pointer, even for no bytes.
void appendBytes(DBusMessage* message, std::vector<char> const& bytes) {
    static const char none = 0;
    const char* data = bytes.empty() ? &none : bytes.data();
    if (!dbus_message_append_args(message, DBUS_TYPE_ARRAY, DBUS_TYPE_BYTE, &data, static_cast<int>(bytes.size()),
                                  DBUS_TYPE_INVALID))
        fail("dbus: out of memory");
}

// Length of the message's byte array argument, -1 when it has none.
int byteCount(DBusMessage* message) {
    const char* data = nullptr;
    int count = -1;
    dbus_message_get_args(message, nullptr, DBUS_TYPE_ARRAY, DBUS_TYPE_BYTE, &data, &count, DBUS_TYPE_INVALID);
    return count;
}

// One connection emits signals as fast as libdbus takes them; another,
// subscribed through a match rule, counts them. A warm-up signal first.
Batch dbusSignals(size_t payloadBytes, size_t frames) {
    BusConnection receiver = connectToBus();
    BusConnection sender = connectToBus();
    DBusError error;
    dbus_error_init(&error);
    dbus_bus_add_match(receiver.get(), (std::string("type='signal',interface='") + kInterface + "'").c_str(), &error);
    if (dbus_error_is_set(&error)) fail(std::string("dbus: ") + error.message);
    Latch warmedUp;
    Latch finished;
    std::thread counter([&] {
        // A bus that drops signals leaves this loop waiting: the latch ends the program.
        for (size_t count = 0; count <= frames;) {
            if (!dbus_connection_read_write(receiver.get(), 1000)) fail("dbus: the receiver was disconnected");
            while (DBusMessage* message = dbus_connection_pop_message(receiver.get())) {
                if (dbus_message_is_signal(message, kInterface, "Frame")) {
                    if (byteCount(message) != static_cast<int>(payloadBytes)) fail("dbus: a signal of the wrong size");
                    if (count++ == 0) warmedUp.raise();
                }
                dbus_message_unref(message);
            }
        }
        finished.raise();
    });
    const std::vector<char> payload(payloadBytes, 'd');
    auto emit = [&] {
        DBusMessage* message = dbus_message_new_signal(kObjectPath, kInterface, "Frame");
        if (message == nullptr) fail("dbus: out of memory");
        appendBytes(message, payload);
        if (!dbus_connection_send(sender.get(), message, nullptr)) fail("dbus: out of memory");
        dbus_message_unref(message);
    };
    emit();
    dbus_connection_flush(sender.get());
    warmedUp.await("the D-Bus warm-up signal");
    long switches = voluntarySwitches();
    Clock::time_point start = Clock::now();
    for (size_t i = 0; i < frames; ++i) emit();
    dbus_connection_flush(sender.get());
    Clock::time_point end = finished.await("the last D-Bus signal");
    switches = voluntarySwitches() - switches;
    counter.join();
    return {secondsBetween(start, end), switches};
}

void dbusSignalsOrSkip(benchmark::State& state) {
    if (bus().address.empty()) return skip(state, "dbus-daemon not installed");
    timeBatches(state, &dbusSignals, 20000);
}

// A service that owns a name and answers Echo with the bytes it got; a client
// calls it synchronously, the way an application asks a question.
void dbusCall(benchmark::State& state) {
    if (bus().address.empty()) return skip(state, "dbus-daemon not installed");
    BusConnection service = connectToBus();
    if (dbus_bus_request_name(service.get(), kEchoName, DBUS_NAME_FLAG_DO_NOT_QUEUE, nullptr) !=
        DBUS_REQUEST_NAME_REPLY_PRIMARY_OWNER)
        fail("dbus: cannot own the echo service's name");
    std::atomic<bool> quitting{false};
    std::thread echo([&] {
        while (!quitting.load() && dbus_connection_read_write(service.get(), 100)) {
            while (DBusMessage* call = dbus_connection_pop_message(service.get())) {
                if (dbus_message_is_method_call(call, kInterface, "Echo")) {
                    DBusMessage* reply = dbus_message_new_method_return(call);
                    if (reply == nullptr) fail("dbus: out of memory");
                    appendBytes(reply, std::vector<char>(static_cast<size_t>(std::max(0, byteCount(call))), 'e'));
                    dbus_connection_send(service.get(), reply, nullptr);
                    dbus_message_unref(reply);
                    dbus_connection_flush(service.get());
                }
                dbus_message_unref(call);
            }
        }
    });
    BusConnection client = connectToBus();
    const std::vector<char> payload(kLatencyPayloadBytes, 'q');
    for (auto _ : state) {
        DBusMessage* call = dbus_message_new_method_call(kEchoName, kObjectPath, kInterface, "Echo");
        if (call == nullptr) fail("dbus: out of memory");
        appendBytes(call, payload);
        DBusMessage* reply = dbus_connection_send_with_reply_and_block(client.get(), call, 5000, nullptr);
        dbus_message_unref(call);
        if (reply == nullptr || byteCount(reply) != static_cast<int>(kLatencyPayloadBytes)) fail("dbus: no reply");
        dbus_message_unref(reply);
    }
    quitting.store(true);
    echo.join();
}

#endif  // KESU_BENCH_HAVE_DBUS

[[maybe_unused]] const bool registered = [] {
#if KESU_BENCH_HAVE_ZMQ
    benchmark::RegisterBenchmark("Peer/zmq_pushpull", &timeBatches, &zmqPushPull, size_t{300000})
        ->Apply(throughputCase);
    benchmark::RegisterBenchmark("Latency/zmq_pair", &zmqPair)->Apply(roundTripCase);
#else
    benchmark::RegisterBenchmark("Peer/zmq_pushpull", &skip, "not built: libzmq3-dev was not installed");
    benchmark::RegisterBenchmark("Latency/zmq_pair", &skip, "not built: libzmq3-dev was not installed");
#endif
#if KESU_BENCH_HAVE_DBUS
    dbus_threads_init_default();
    benchmark::RegisterBenchmark("Peer/dbus_signal", &dbusSignalsOrSkip)->Apply(throughputCase);
    benchmark::RegisterBenchmark("Latency/dbus_call", &dbusCall)->Apply(roundTripCase);
#else
    benchmark::RegisterBenchmark("Peer/dbus_signal", &skip, "not built: libdbus-1-dev was not installed");
    benchmark::RegisterBenchmark("Latency/dbus_call", &skip, "not built: libdbus-1-dev was not installed");
#endif
    return true;
}();

}  // namespace
}  // namespace kesu_bench
