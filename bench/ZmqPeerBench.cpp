// ZeroMQ over ipc:// as a peer: PUSH/PULL throughput at the library's
// payload sizes and PAIR ping-pong at the round-trip payload. Built with
// libzmq when the build found it; otherwise the part records why it is absent.
#include "CompareParts.h"

#if KESU_BENCH_HAVE_ZMQ

#include <zmq.h>

#include <atomic>
#include <cstdio>
#include <string>
#include <thread>
#include <vector>

namespace kesu_bench {
namespace {

[[noreturn]] void dieZmq(const char* what) { dieMessage(std::string("zmq: ") + what + ": " + zmq_strerror(zmq_errno())); }

// Sockets closed at once at the end of a case: nothing is left to deliver.
void* openSocket(void* context, int type) {
    void* socket = zmq_socket(context, type);
    if (socket == nullptr) dieZmq("zmq_socket");
    int linger = 0;
    if (zmq_setsockopt(socket, ZMQ_LINGER, &linger, sizeof linger) != 0) dieZmq("ZMQ_LINGER");
    return socket;
}

// PUSH on this thread, PULL on another, each message a copy of the payload
// made by zmq_send, received as a zmq_msg_t. One warm-up message first, so
// that the connection exists before the clock starts.
Trial pushPull(void* context, std::string const& endpoint, size_t payloadBytes, uint64_t frames) {
    void* pull = openSocket(context, ZMQ_PULL);
    if (zmq_bind(pull, endpoint.c_str()) != 0) dieZmq("zmq_bind");
    void* push = openSocket(context, ZMQ_PUSH);
    if (zmq_connect(push, endpoint.c_str()) != 0) dieZmq("zmq_connect");

    Latch warmedUp;
    std::atomic<Clock::rep> finished{0};
    std::atomic<uint64_t> wrong{0};
    std::thread receiver([&] {
        for (uint64_t i = 0; i <= frames; ++i) {
            zmq_msg_t message;
            zmq_msg_init(&message);
            if (zmq_msg_recv(&message, pull, 0) < 0) dieZmq("zmq_msg_recv");
            if (zmq_msg_size(&message) != payloadBytes) wrong.fetch_add(1);
            zmq_msg_close(&message);
            if (i == 0) warmedUp.raise();
        }
        finished.store(Clock::now().time_since_epoch().count());
    });

    std::vector<char> payload(payloadBytes, 'z');
    if (zmq_send(push, payload.data(), payload.size(), 0) < 0) dieZmq("zmq_send");
    warmedUp.await("the ZeroMQ warm-up message");
    long switchesBefore = voluntarySwitches();
    Clock::time_point start = Clock::now();
    for (uint64_t i = 0; i < frames; ++i)
        if (zmq_send(push, payload.data(), payload.size(), 0) < 0) dieZmq("zmq_send");
    receiver.join();
    long switches = voluntarySwitches() - switchesBefore;
    zmq_close(push);
    zmq_close(pull);
    if (wrong.load() != 0) dieMessage("zmq: messages of the wrong size");

    Trial trial;
    trial.frames = frames;
    trial.seconds = secondsBetween(start, Clock::time_point(Clock::duration(finished.load())));
    trial.switchesPerFrame = static_cast<double>(switches) / static_cast<double>(frames);
    return trial;
}

// PAIR to PAIR: this thread sends and waits for the echo that the other
// thread sends back. An empty message ends the echo.
Samples pairPingPong(void* context, std::string const& endpoint, int warmUp, int rounds) {
    void* near = openSocket(context, ZMQ_PAIR);
    if (zmq_bind(near, endpoint.c_str()) != 0) dieZmq("zmq_bind");
    void* far = openSocket(context, ZMQ_PAIR);
    if (zmq_connect(far, endpoint.c_str()) != 0) dieZmq("zmq_connect");
    std::thread echo([far] {
        for (;;) {
            zmq_msg_t message;
            zmq_msg_init(&message);
            if (zmq_msg_recv(&message, far, 0) < 0) dieZmq("zmq_msg_recv");
            if (zmq_msg_size(&message) == 0) {
                zmq_msg_close(&message);
                return;
            }
            if (zmq_msg_send(&message, far, 0) < 0) dieZmq("zmq_msg_send");
        }
    });
    std::vector<char> payload(kLatencyPayloadBytes, 'q');
    std::vector<char> reply(kLatencyPayloadBytes);
    Samples samples;
    samples.reserve(static_cast<size_t>(rounds));
    for (int i = 0; i < warmUp + rounds; ++i) {
        Clock::time_point start = Clock::now();
        if (zmq_send(near, payload.data(), payload.size(), 0) < 0) dieZmq("zmq_send");
        if (zmq_recv(near, reply.data(), reply.size(), 0) != static_cast<int>(kLatencyPayloadBytes))
            dieZmq("zmq_recv");
        if (i >= warmUp) samples.push_back(microsecondsBetween(start, Clock::now()));
    }
    if (zmq_send(near, nullptr, 0, 0) < 0) dieZmq("zmq_send");
    echo.join();
    zmq_close(far);
    zmq_close(near);
    return samples;
}

}  // namespace

void runZmqPart(Budget const& budget, Records& records) {
    TempDir dir;
    void* context = zmq_ctx_new();
    if (context == nullptr) dieZmq("zmq_ctx_new");
    const int trials = budget.quick ? 1 : 3;
    for (size_t size : kPayloadSizes) {
        // ZeroMQ batches small messages: give it more of them per trial.
        uint64_t frames = budget.frames(size, 1000000);
        std::vector<double> rates;
        std::vector<double> switches;
        for (int t = 0; t < trials; ++t) {
            Trial trial = pushPull(context, "ipc://" + dir.file("zmq-push"), size, frames);
            rates.push_back(trial.framesPerSecond());
            switches.push_back(trial.switchesPerFrame);
        }
        records.add("zmq-pushpull", size, "zmq", "fps", median(rates));
        records.add("zmq-pushpull", size, "zmq", "csw", median(switches));
        std::fprintf(stderr, "zmq push/pull %6zu B: %.0f/s\n", size, median(rates));
    }
    Samples rtt = pairPingPong(context, "ipc://" + dir.file("zmq-pair"), 200, budget.roundTrips());
    records.add("latency", kLatencyPayloadBytes, "zmq-pair", "rtt_p50_us", median(rtt));
    records.add("latency", kLatencyPayloadBytes, "zmq-pair", "rtt_p99_us", percentile(rtt, 99));
    std::fprintf(stderr, "zmq pair round trip median: %.1f us\n", median(rtt));
    zmq_ctx_term(context);
}

}  // namespace kesu_bench

#else

namespace kesu_bench {

void runZmqPart(Budget const& /*budget*/, Records& records) {
    records.skip("zmq-pushpull", "zmq", "not installed");
    records.skip("latency", "zmq-pair", "not installed");
}

}  // namespace kesu_bench

#endif
