#include "fakes/RecordingHandler.h"

#include <sys/syscall.h>
#include <unistd.h>

#include <typeinfo>

#include "ipc/IPCValueMessages.h"

namespace kesu_test {

void RecordingHandler::onNewMessageReceived(IPCMessage const* message) {
    ReceivedMessage copy{message->messageStruct.type, message->messageStruct.data, std::type_index(typeid(*message)),
                         {}};
    if (auto const* text = dynamic_cast<IPCMessageSimpleString const*>(message)) copy.text = text->text;
    record(Event::Message, &copy);
    if (messageAction) messageAction(*message);
}

void RecordingHandler::onConnected() {
    record(Event::Connected, nullptr);
    if (connectedAction) connectedAction();
}

void RecordingHandler::onDisconnected() {
    record(Event::Disconnected, nullptr);
    if (disconnectedAction) disconnectedAction();
}

void RecordingHandler::record(Event event, ReceivedMessage const* message) {
    {
        std::lock_guard<std::mutex> lock(stateMutex);
        state.events.push_back(event);
        state.callingThread = ::syscall(SYS_gettid);
        if (event == Event::Connected) ++state.connected;
        if (event == Event::Disconnected) ++state.disconnected;
        if (message != nullptr) state.messages.push_back(*message);
    }
    stateChanged.notify_all();
}

RecordingHandler::State RecordingHandler::snapshot() const {
    std::lock_guard<std::mutex> lock(stateMutex);
    return state;
}

bool RecordingHandler::waitFor(std::function<bool(State const&)> const& predicate,
                               std::chrono::milliseconds timeout) const {
    std::unique_lock<std::mutex> lock(stateMutex);
    return stateChanged.wait_for(lock, timeout, [&] { return predicate(state); });
}

bool RecordingHandler::waitForConnected(int count, std::chrono::milliseconds timeout) const {
    return waitFor([count](State const& s) { return s.connected >= count; }, timeout);
}

bool RecordingHandler::waitForDisconnected(int count, std::chrono::milliseconds timeout) const {
    return waitFor([count](State const& s) { return s.disconnected >= count; }, timeout);
}

bool RecordingHandler::waitForMessages(size_t count, std::chrono::milliseconds timeout) const {
    return waitFor([count](State const& s) { return s.messages.size() >= count; }, timeout);
}

}  // namespace kesu_test
