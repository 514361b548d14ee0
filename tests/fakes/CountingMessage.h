// A message that counts its own destruction (into a counter that outlives it),
// so tests tell that every message handed over was deleted once, and by when.
#pragma once

#include <atomic>
#include <utility>
#include <vector>

#include "kesu/ipc/IPCMessage.h"

namespace kesu_test {

struct CountingMessage : IPCMessage {
    CountingMessage(IPCMessageType messageType, std::vector<char> payload, std::atomic<int>& destroyed)
        : IPCMessage(messageType), destroyedCount(destroyed) {
        messageStruct.data = std::move(payload);
    }
    ~CountingMessage() override { ++destroyedCount; }
    std::atomic<int>& destroyedCount;
};

}  // namespace kesu_test
