// Runs the uri-launcher tool again and again against the fault-injecting
// server and checks every run's verdict against what the server received.
//
//   fault-launch-torture --tool PATH [--runs N] [--seed S]
//
// The tool always talks to /tmp/kesu_messenger, so this program must run
// where /tmp is private (tests/stress/run-launch-torture.sh arranges that).
// Invariants, per run: the tool exits normally with status 0; "Message sent"
// if and only if the server received the run's URI frame whole; no run takes
// longer than the 3 s budget plus the stop bound; the tool's byte stream
// never loses its frame markers.
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <random>
#include <string>
#include <vector>

#include "FaultServer.h"
#include "ToolRun.h"
#include "ipc/IPCMessageFactory.h"

namespace {

using Millis = std::chrono::milliseconds;
using kesu_soak::FaultServer;

constexpr const char* kSocketPath = "/tmp/kesu_messenger";
constexpr auto kRunBound = Millis(3000 + 1500);

// The texts of the whole type-54 frames the server received during one run.
class UriRecorder : public FaultServer::Observer {
public:
    void frameReceived(FaultServer::ConnectionId /*id*/, IPCMessageStruct const& frame) override {
        if (frame.type != IPC_MSG_LAUNCH_URI) return;
        auto message = IPCMessageFactory::getMessage(frame);
        message->unserialize();
        auto const* text = dynamic_cast<IPCMessageSimpleString const*>(message.get());
        std::lock_guard<std::mutex> lock(mutex);
        if (text != nullptr) uris.push_back(text->text);
    }
    void connectionClosed(FaultServer::ConnectionId /*id*/, FaultServer::ConnectionSummary const& summary) override {
        std::lock_guard<std::mutex> lock(mutex);
        if (summary.clientOutOfSync) outOfSync = true;
        connections += 1;
    }

    void clear() {
        std::lock_guard<std::mutex> lock(mutex);
        uris.clear();
        outOfSync = false;
        connections = 0;
    }
    bool received(std::string const& uri, bool& brokenStream, int& connectionCount) const {
        std::lock_guard<std::mutex> lock(mutex);
        brokenStream = outOfSync;
        connectionCount = connections;
        return std::find(uris.begin(), uris.end(), uri) != uris.end();
    }

private:
    mutable std::mutex mutex;
    std::vector<std::string> uris;  // guarded by mutex
    bool outOfSync = false;         // guarded by mutex
    int connections = 0;            // guarded by mutex
};

}  // namespace

int main(int argc, char** argv) {
    std::string tool;
    int runs = 1000;
    uint64_t seed = std::random_device{}();
    for (int i = 1; i < argc; ++i) {
        std::string arg = argv[i];
        if (arg == "--tool" && i + 1 < argc) tool = argv[++i];
        else if (arg == "--runs" && i + 1 < argc) runs = std::atoi(argv[++i]);
        else if (arg == "--seed" && i + 1 < argc) seed = std::strtoull(argv[++i], nullptr, 10);
        else {
            std::fprintf(stderr, "usage: fault-launch-torture --tool PATH [--runs N] [--seed S]\n");
            return 2;
        }
    }
    if (tool.empty()) {
        std::fprintf(stderr, "fault-launch-torture: --tool is required\n");
        return 2;
    }
    ::signal(SIGPIPE, SIG_IGN);
    // The tool's expected failures would flood the output; the verdicts come
    // from its standard output and the server.
    ::setenv("KESU_LOG_LEVEL", "0", 0);
    std::setvbuf(stdout, nullptr, _IOLBF, 0);
    std::printf("fault-launch-torture: %d runs, seed %llu\n", runs, static_cast<unsigned long long>(seed));

    UriRecorder recorder;
    FaultServer server({kSocketPath, seed, FaultServer::Profile::Launch, Millis(0)}, &recorder);
    server.start();

    std::mt19937_64 rng(seed ^ 0x5eedull);
    int sent = 0, timeouts = 0, failures = 0, absentRuns = 0;
    long long slowestMs = 0, totalMs = 0;
    long long connections = 0;
    auto began = std::chrono::steady_clock::now();
    for (int run = 0; run < runs; ++run) {
        // Mostly short URIs, some near the 128 KiB limit of one argument, so
        // that the frame needs many writes and reads.
        size_t padding = static_cast<size_t>(rng() % 10 == 0 ? 60000 + rng() % 60000 : rng() % 200);
        std::string uri = "torture://run/" + std::to_string(run) + "/" + std::string(padding, 'x');
        recorder.clear();
        if (rng() % 8 == 0) {
            // The server appears only after the first attempts have failed,
            // late enough to land anywhere among the 30 polls or after them.
            ++absentRuns;
            if (!server.removeSocketFor(Millis(500 + static_cast<long long>(rng() % 3000)), Millis(10000))) {
                std::printf("run %d: the server did not go away\n", run);
                ++failures;
            }
        }
        kesu_torture::ToolResult result = kesu_torture::runTool(tool, uri);
        // Everything the tool connected has been served once the listener
        // was seen idle twice after the tool exited (the first idle poll may
        // have begun before).
        if (!server.waitForIdlePollsAbove(server.idlePolls() + 1, Millis(20000))) {
            std::printf("run %d: the server did not become idle\n", run);
            ++failures;
        }
        bool brokenStream = false;
        int runConnections = 0;
        bool delivered = recorder.received(uri, brokenStream, runConnections);
        connections += runConnections;
        slowestMs = std::max<long long>(slowestMs, result.elapsed.count());
        totalMs += result.elapsed.count();
        std::string verdict = kesu_torture::verdictOf(result, delivered, kRunBound);
        if (verdict.empty() && brokenStream) verdict = "the tool's byte stream lost its frame markers";
        if (!verdict.empty()) {
            ++failures;
            std::printf("run %d FAILED: %s (output \"%s\", %d connections, uri %zu bytes)\n", run, verdict.c_str(),
                        result.output.c_str(), runConnections, uri.size());
        }
        if (kesu_torture::reportedSent(result)) ++sent;
        else ++timeouts;
        if ((run + 1) % 250 == 0)
            std::printf("  %d runs: %d sent, %d timeouts, %d failures\n", run + 1, sent, timeouts, failures);
    }
    server.stop();
    auto seconds = std::chrono::duration_cast<std::chrono::seconds>(std::chrono::steady_clock::now() - began).count();
    std::printf("fault-launch-torture: %d runs in %lld s (%d started with the server away), %d sent, %d timeouts, "
                "%d failures; %lld connections, slowest run %lld ms, mean %lld ms\n",
                runs, static_cast<long long>(seconds), absentRuns, sent, timeouts, failures, connections, slowestMs,
                runs > 0 ? totalMs / runs : 0);
    std::printf("faults injected:\n%s", server.faultReport().c_str());
    return failures == 0 ? 0 : 1;
}
