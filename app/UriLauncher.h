// Delivers one URI to the box's messenger server. Internal to the tool.
#pragma once

#include <atomic>
#include <string>

#include "kesu/ipc/IPCMessengerClient.h"

// The tool's only handler of its messenger client: once the client reports a
// connection, it submits the URI as a type-54 string message, waits a bounded
// time for it to be written, and stops the client again. It never reads what
// the server sends.
class UriLauncher final : public IPCMessengerClient::IPCMessengerHandler {
public:
    static constexpr int kPollBudget = 30;
    static constexpr unsigned kPollIntervalUs = 100000;

    UriLauncher();
    // Another server path: KESU_MESSENGER_SOCKET's, or a test's.
    explicit UriLauncher(std::string const& socketPath);

    // True when the URI's frame was written whole to a connected socket within
    // the poll budget (about 3 s), or by the time the client had stopped.
    // Runs on the calling thread; the client thread is started and stopped here.
    bool launchUri(std::string const& uriToLaunch);

    // Deliver only to a server running under this user ID (before launchUri).
    void trustServerUid(uid_t uid) { client.setTrustedServerUid(uid); }

    void onNewMessageReceived(IPCMessage const* message) override;
    void onConnected() override;
    void onDisconnected() override;

private:
    void installDeliveryCallback();

    IPCMessengerClient client;
    std::string uri;  // written before the client thread starts, read by it afterwards
    // Set on a sender thread once a URI message of this launcher has been
    // written whole; polled by the launching thread.
    std::atomic<bool> messageSent{false};
    // The URI message most recently submitted. Compared, never dereferenced:
    // the sender may have deleted it already.
    std::atomic<IPCMessage const*> lastSubmitted{nullptr};
};
