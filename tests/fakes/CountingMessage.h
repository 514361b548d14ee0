// A message that counts its own destruction, so tests can tell that every
// message handed over was deleted exactly once, and by when.
#pragma once

#include <atomic>
#include <utility>
#include <vector>

#include "kesu/ipc/IPCMessage.h"

namespace kesu_test {

class CountingMessage : public IPCMessage {
public:
    // `destroyed` must outlive the message.
    CountingMessage(IPCMessageType messageType, std::vector<char> payload, std::atomic<int>& destroyed)
        : IPCMessage(messageType), destroyedCount(destroyed) {
        messageStruct.data = std::move(payload);
    }
    ~CountingMessage() override { destroyedCount.fetch_add(1); }

private:
    std::atomic<int>& destroyedCount;
};

}  // namespace kesu_test
