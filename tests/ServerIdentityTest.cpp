// The client's check of the server's user ID, against the fake server.
#include <gtest/gtest.h>
#include <unistd.h>

#include <string>

#include "fakes/FakeServer.h"
#include "fakes/LogCapture.h"
#include "fakes/RecordingHandler.h"
#include "kesu/ipc/IPCMessengerClient.h"

namespace {

using kesu_test::kEventTimeout;
using kesu_test::LogCapture;
using kesu_test::RecordingHandler;
constexpr int kLineRetrierFailed = 60;
constexpr int kLineConnected = 138;

// With a trusted user ID set, a server running under another user gets a
// connection that is closed at once: no frame, no onConnected, a failed
// attempt for the retrier.
TEST(IPCMessengerClientIdentityTest, OnlyAServerOfTheTrustedUserGetsTheConnection) {
    const uid_t us = ::getuid();
    for (uid_t trusted : {us, us + 1}) {
        SCOPED_TRACE(trusted);
        bool accepted = trusted == us;
        LogCapture logs;
        kesu_test::FakeServer fake;
        RecordingHandler handler;
        IPCMessengerClient client(fake.path());
        client.setTrustedServerUid(trusted);
        handler.connectedAction = [&] { client.sendMessage(new IPCMessage(IPC_MSG_RAW_7)); };
        client.addHandler(&handler);
        client.start();
        if (accepted) {
            EXPECT_TRUE(fake.waitForFrames(1, 1));
        } else {
            EXPECT_TRUE(fake.waitForClosed(1));
            std::string found = "Server runs as user " + std::to_string(us) + ", not as the trusted user " +
                                std::to_string(trusted) + ". Not trusted.";
            EXPECT_TRUE(logs.waitForLine(kLineRetrierFailed, kEventTimeout)) << logs.dump();
            EXPECT_EQ(logs.count(1, 131, found), 1u) << logs.dump();
            EXPECT_EQ(logs.count(2, kLineRetrierFailed, "ipc_connection - failed (total 1 times), wait 1.00 sec before next retry"), 1u);
        }
        client.stop();
        client.removeHandler(&handler);
        EXPECT_EQ(fake.connection(1).frames.size(), accepted ? 1u : 0u);
        EXPECT_EQ(handler.snapshot().connected, accepted ? 1 : 0);
        EXPECT_EQ(logs.count(kLineConnected), accepted ? 1u : 0u);
    }
}

}  // namespace
