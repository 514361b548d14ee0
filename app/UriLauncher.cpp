#include "UriLauncher.h"

#include <unistd.h>

#include "kesu/ipc/IPCValueMessages.h"

UriLauncher::UriLauncher() { installDeliveryCallback(); }

UriLauncher::UriLauncher(std::string const& socketPath) : client(socketPath) { installDeliveryCallback(); }

void UriLauncher::installDeliveryCallback() {
    // The outcome follows the frame on the wire, not the submission: a message
    // still queued when stop() closes the socket is never written, and must
    // not be reported as sent.
    client.setDeliveryCallback([this](IPCMessage const& message) {
        if (&message == lastSubmitted.load()) messageSent.store(true);
    });
}

bool UriLauncher::launchUri(std::string const& uriToLaunch) {
    messageSent.store(false);
    uri = uriToLaunch;
    client.addHandler(this);  // before the thread exists, so no onConnected is missed
    client.start();

    bool sent = false;
    int budget = kPollBudget;
    for (;;) {
        if (messageSent.load()) {
            sent = true;
            break;
        }
        ::usleep(kPollIntervalUs);
        if (--budget == 0) break;
    }

    client.stop();
    client.removeHandler(this);
    // A frame written after the last look but before the stop was delivered
    // all the same.
    return sent || messageSent.load();
}

void UriLauncher::onConnected() {
    // Launched already: the URI's frame was written whole on an earlier
    // connection of this launch (its sender has ended before this one began,
    // so the flag is set by now). A server that read it and closed the
    // connection must not be sent it again on each reconnect.
    if (messageSent.load()) return;
    auto* message = new IPCMessageSimpleString(IPC_MSG_LAUNCH_URI, uri);
    lastSubmitted.store(message);
    client.sendMessage(message);
}

void UriLauncher::onNewMessageReceived(IPCMessage const* /*message*/) {}

void UriLauncher::onDisconnected() {}
