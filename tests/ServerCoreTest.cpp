// The tools' server core as its harnesses rely on it at a stop.
#include "ServerCore.h"

#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

namespace {

using namespace kesu_tools;

struct Recorder : ServerObserver {
    explicit Recorder(ServerCore& server) : core(server) {}
    void connected(ConnectionId id) override { core.enqueue(id, Step::setReading(false)); }
    void frame(ConnectionId, Direction direction, IPCMessageStruct const& f) override {
        if (direction == Direction::ToServer) received.push_back(f.data);
    }
    void disconnected(ConnectionId, ConnectionSummary const&, std::string const& why) override { ends.push_back(why); }
    ServerCore& core;
    std::vector<std::vector<char>> received;  // loop thread until it has ended
    std::vector<std::string> ends;
};

// What a client wrote whole before the stop is reported, as at any other
// close, and the stopped server refuses new clients instead of leaving them
// unserved in its backlog.
TEST(ServerCoreTest, StopReportsWhatClientsWroteAndRefusesLaterClients) {
    char directory[] = "/tmp/kesu-core-XXXXXX";
    ASSERT_NE(::mkdtemp(directory), nullptr);
    const std::string path = std::string(directory) + "/messenger";
    {
        ServerCore core({path, true, ""});
        Recorder recorder(core);
        core.addObserver(&recorder);
        std::string error;
        ASSERT_TRUE(core.listen(error)) << error;
        std::thread loop([&] { core.run(); });

        int connectError = 0;
        ScopedFd client = connectUnix(path, connectError);
        ASSERT_TRUE(client);
        IPCMessageStruct frame;
        frame.type = static_cast<IPCMessageType>(54);
        frame.data = {'u', 'r', 'i'};
        std::vector<char> bytes = frameBytes(frame);
        ASSERT_EQ(::write(client.get(), bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
        bool accepted = false;
        while (!accepted) core.call([&] { accepted = !core.connectionIds().empty(); });

        core.stop();
        loop.join();
        EXPECT_EQ(recorder.received, std::vector<std::vector<char>>{frame.data});
        EXPECT_EQ(recorder.ends, std::vector<std::string>{"server stopping"});
        EXPECT_FALSE(connectUnix(path, connectError));
        EXPECT_EQ(connectError, ECONNREFUSED);
    }
    ::rmdir(directory);
}

}  // namespace
