// Every message class's decoder on arbitrary payloads: byte 0 picks the type
// number (modulo 67: the factory's table and plain numbers on both sides),
// the rest is the payload. Traps unless unserialize() leaves payload and types
// alone, and the re-encoding is a fixed point (each encoding tells all members
// apart, so the second message then holds the first one's members), and a
// media info re-encoding holds the whole record.
#include <cstddef>
#include <cstdint>
#include <memory>

#include "kesu/ipc/IPCMessageFactory.h"

static void check(bool condition) { if (!condition) __builtin_trap(); }

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0) return 0;
    IPCMessageStruct raw;
    raw.type = static_cast<IPCMessageType>(data[0] % 67);
    raw.data.assign(data + 1, data + size);

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
