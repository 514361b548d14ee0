// Every message class's decoder on any payload (byte 0 modulo 67 is the type,
// the rest the payload). Traps unless unserialize() leaves payload and types
// alone, re-encoding is a fixed point, and a media info one decodes whole.
#include <cstdint>

#include "kesu/ipc/IPCMessageFactory.h"

static void check(bool condition) {
    if (!condition) __builtin_trap();
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0) return 0;
    const IPCMessageStruct raw{static_cast<IPCMessageType>(data[0] % 67), std::vector<char>(data + 1, data + size)};
    std::unique_ptr<IPCMessage> first = IPCMessageFactory::getMessage(raw);
    first->unserialize();
    check(first->messageStruct.data == raw.data && first->type == raw.type && first->messageStruct.type == raw.type);
    first->serialize();
    std::unique_ptr<IPCMessage> second = IPCMessageFactory::getMessage(first->messageStruct);
    second->unserialize();
    second->serialize();
    check(second->messageStruct.data == first->messageStruct.data);
    IPCJSPlayerMediaInfo whole;
    check(raw.type != IPC_MSG_PLAYER_MEDIA_INFO || IPCMessagePlayerMediaInfo::decode(first->messageStruct.data, whole));
    return 0;
}
