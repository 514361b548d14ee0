// A messenger handler that records what the client tells it, under its own
// mutex, and lets the test wait for it. Optional actions run inside the
// callbacks (on the client thread, with the client's handler lock held):
// reply with sendMessage, block, throw.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <functional>
#include <mutex>
#include <string>
#include <typeindex>
#include <vector>

#include "ipc/IPCMessengerClient.h"

namespace kesu_test {

class RecordingHandler final : public IPCMessengerClient::IPCMessengerHandler {
public:
    enum class Event { Connected, Disconnected, Message };

    struct ReceivedMessage {
        IPCMessageType type;
        std::vector<char> payload;  // a copy of messageStruct.data
        std::type_index messageClass;
        std::string text;  // the decoded text, for an IPCMessageSimpleString
    };

    struct State {
        std::vector<Event> events;
        std::vector<ReceivedMessage> messages;
        int connected = 0;
        int disconnected = 0;
        long callingThread = 0;  // kernel thread id of the latest callback: the client thread
    };

    // Run after the event has been recorded, without the recorder's lock, so
    // an action may block or throw. Set them before the client starts.
    std::function<void()> connectedAction;
    std::function<void(IPCMessage const&)> messageAction;
    std::function<void()> disconnectedAction;

    void onNewMessageReceived(IPCMessage const* message) override;
    void onConnected() override;
    void onDisconnected() override;

    State snapshot() const;
    bool waitFor(std::function<bool(State const&)> const& predicate, std::chrono::milliseconds timeout) const;
    bool waitForConnected(int count, std::chrono::milliseconds timeout) const;
    bool waitForDisconnected(int count, std::chrono::milliseconds timeout) const;
    bool waitForMessages(size_t count, std::chrono::milliseconds timeout) const;

private:
    void record(Event event, ReceivedMessage const* message);

    mutable std::mutex stateMutex;
    mutable std::condition_variable stateChanged;
    State state;  // guarded by stateMutex
};

}  // namespace kesu_test
