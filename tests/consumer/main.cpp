// Links against the installed library and exercises it end to end: a client
// connects to a listening socket of its own and delivers one message. Like
// many applications, it has lock annotations and headers of its own under
// common names, which the library's installed headers must leave alone.
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "KesuLog.h"
#include "thread_annotations.h"
#include <kesu/ipc/IPCMessageFactory.h>
#include <kesu/ipc/IPCMessengerClient.h>

#if !defined(APP_OWN_THREAD_ANNOTATIONS) || !defined(APP_OWN_KESU_LOG)
#error "a library header shadows the application's own"
#endif
#if defined(REQUIRES) || defined(ACQUIRE) || defined(RELEASE) || defined(EXCLUDES) || defined(CAPABILITY)
#error "the library defines unprefixed lock annotations"
#endif

namespace {
int deliveries GUARDED_BY(nothing) = 0;  // the application's own macro, still in force

class Sender : public IPCMessengerClient::IPCMessengerHandler {
public:
    explicit Sender(IPCMessengerClient& c) : client(c) {}
    void onNewMessageReceived(IPCMessage const*) override {}
    void onConnected() override { client.sendMessage(new IPCMessageSimpleString(IPC_MSG_LAUNCH_URI, "consumer")); }

private:
    IPCMessengerClient& client;
};
}  // namespace

int main() {
    char dir[] = "/tmp/kesu-consumer-XXXXXX";
    if (mkdtemp(dir) == nullptr) return 2;
    std::string path = std::string(dir) + "/socket";
    int listener = socket(AF_UNIX, SOCK_STREAM, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::strncpy(address.sun_path, path.c_str(), sizeof address.sun_path - 1);
    if (bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 || listen(listener, 4) != 0) return 2;

    IPCMessengerClient client(path);
    Sender sender(client);
    client.addHandler(&sender);
    client.start();

    int peer = accept(listener, nullptr, nullptr);
    IPCMessageStruct frame;
    bool got = peer >= 0 && ipc_frame::receiveFrame(peer, frame, [] { return true; }) == ipc_frame::FrameOutcome::Frame;
    client.stop();
    client.removeHandler(&sender);

    std::string text;
    if (got) {
        auto message = IPCMessageFactory::getMessage(frame);
        message->unserialize();
        if (auto* s = dynamic_cast<IPCMessageSimpleString*>(message.get())) text = s->text;
    }
    close(peer);
    close(listener);
    unlink(path.c_str());
    rmdir(dir);
    std::printf("consumer received \"%s\"\n", text.c_str());
    return text == "consumer" ? 0 : 1;
}
