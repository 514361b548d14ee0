// A messenger handler that records what the client tells it, for tests to
// wait on. All handlers share one lock, so the journal orders the events of
// several. Actions run on the client thread after the event is recorded,
// without the lock: they may block, throw, send or stop.
#pragma once

#include <sys/syscall.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <string>
#include <typeindex>
#include <utility>
#include <vector>

#include "kesu/ipc/IPCMessengerClient.h"
#include "kesu/ipc/IPCValueMessages.h"

namespace kesu_test {

class RecordingHandler final : public IPCMessengerClient::IPCMessengerHandler {
public:
    struct Message {
        IPCMessageType type;
        std::vector<char> payload;
        std::type_index kind;  // the class the factory chose
        std::string text;      // decoded, for an IPCMessageSimpleString
    };
    struct State {
        int connected = 0;
        int disconnected = 0;
        std::vector<Message> messages;
        long thread = 0;  // kernel id of the calling thread: the client thread
    };

    // A tagged handler also writes its events to the journal: "C<tag> ", "M<tag> ", "D<tag> ".
    explicit RecordingHandler(char journalTag = 0) : tag(journalTag) {}
    std::function<void()> connectedAction;
    std::function<void(IPCMessage const&)> messageAction;

    void onConnected() override {
        record('C', nullptr);
        if (connectedAction) connectedAction();
    }
    void onDisconnected() override { record('D', nullptr); }
    void onNewMessageReceived(IPCMessage const* message) override {
        auto const* text = dynamic_cast<IPCMessageSimpleString const*>(message);
        IPCMessageStruct const& raw = message->messageStruct;
        Message copy{raw.type, raw.data, typeid(*message), text ? text->text : ""};
        record('M', &copy);
        if (messageAction) messageAction(*message);
    }

    State state() const {
        std::lock_guard<std::mutex> lock(mutex);
        return recorded;
    }
    bool waitFor(std::function<bool(State const&)> const& done) const {
        std::unique_lock<std::mutex> lock(mutex);
        return changed.wait_for(lock, std::chrono::seconds(5), [&] { return done(recorded); });
    }
    bool waitForConnected(int times) const { return waitFor([=](State const& s) { return s.connected >= times; }); }
    bool waitForMessages(size_t n) const { return waitFor([=](State const& s) { return s.messages.size() >= n; }); }
    static std::string takeJournal() {
        std::lock_guard<std::mutex> lock(mutex);
        return std::exchange(journal, {});
    }

private:
    void record(char event, Message const* message) {
        std::lock_guard<std::mutex> lock(mutex);
        recorded.connected += event == 'C' ? 1 : 0;
        recorded.disconnected += event == 'D' ? 1 : 0;
        if (message != nullptr) recorded.messages.push_back(*message);
        recorded.thread = ::syscall(SYS_gettid);
        if (tag != 0) journal += std::string{event, tag, ' '};
        changed.notify_all();
    }

    const char tag;
    State recorded;  // guarded by mutex
    static inline std::mutex mutex;
    static inline std::condition_variable changed;
    static inline std::string journal;  // guarded by mutex
};

}  // namespace kesu_test
