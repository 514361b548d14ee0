// The application that both examples run on their loop: it prints every
// event with the thread that heard it, and answers each text it receives
// with the text's number among the messages (type 26), as a player
// acknowledges a command.
#pragma once

#include <pthread.h>

#include <cstdio>
#include <memory>

#include "kesu/ipc/IPCInbox.h"

class LoopApplication final : public IPCInboxHandler {
public:
    // Made on the thread that will run the loop.
    explicit LoopApplication(IPCMessengerClient& messenger) : client(messenger), loopThread(pthread_self()) {}

    void onConnected() override { std::printf("connected on %s\n", thread()); }
    void onDisconnected() override { std::printf("disconnected on %s\n", thread()); }
    void onMessage(std::unique_ptr<IPCMessage> message) override {
        ++received;
        std::printf("message %u on %s: type=%d", received, thread(), static_cast<int>(message->type));
        auto const* number = dynamic_cast<IPCMessageUnsignedInt const*>(message.get());
        if (number != nullptr) std::printf(" value=%u", number->value);
        auto const* text = dynamic_cast<IPCMessageSimpleString const*>(message.get());
        if (text != nullptr) std::printf(" text=\"%s\"", text->text.c_str());
        std::printf("\n");
        // The loop's thread holds no lock of the client: it may send, stop or restart from here.
        if (text != nullptr) client.sendMessage(std::make_unique<IPCMessageUnsignedInt>(IPC_MSG_UINT_26, received));
    }

private:
    char const* thread() const {
        return pthread_equal(pthread_self(), loopThread) ? "the loop's thread" : "another thread";
    }

    IPCMessengerClient& client;
    const pthread_t loopThread;
    unsigned received = 0;
};
