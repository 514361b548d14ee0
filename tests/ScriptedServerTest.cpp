// The scripted server as the harnesses rely on it when it stops.
#include "server/ScriptedServer.h"

#include <gtest/gtest.h>
#include <unistd.h>

namespace {

using namespace kesu_tools;

struct Report : ServerObserver {
    void frame(ConnectionId, Direction, IPCMessageStruct const& f) override { lines.push_back(std::to_string(f.type)); }
    void disconnected(ConnectionId, ConnectionSummary const&, std::string const& why) override {
        lines.push_back("end " + why);
    }
    std::vector<std::string> lines;
};

TEST(ScriptedServerTest, ShutDownReportsWhatAClientNotYetAcceptedWroteAndRefusesLaterClients) {
    const std::string path = "/tmp/kesu-scripted-" + std::to_string(::getpid());
    EventLoop loop;
    ScriptedServer server(loop, path);
    Report report;
    server.addObserver(&report);
    std::string error;
    ASSERT_TRUE(server.listen(error)) << error;
    int connectError = 0;
    ScopedFd client = connectUnix(path, connectError);
    const std::vector<char> bytes = frameBytes({IPC_MSG_LAUNCH_URI, {'u', 'r', 'i'}});
    ASSERT_EQ(::write(client.get(), bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
    loop.quit();  // before it runs: the loop ends at once
    loop.run();
    server.shutDown();
    EXPECT_EQ(report.lines, (std::vector<std::string>{"54", "end server stopping"}));
    EXPECT_FALSE(connectUnix(path, connectError));
}

}  // namespace
