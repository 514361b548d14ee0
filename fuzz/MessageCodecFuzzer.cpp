// Every message class's decoder on arbitrary payloads.
//
// Input: byte 0 picks the type number (taken modulo 67, so 0 to 66: every
// class of the factory's table and plain messages on both sides of it); the
// rest is the payload.
//
// Checks, trapping on the first mismatch:
// - unserialize() leaves the payload untouched;
// - decode, encode, decode again gives the same members. This holds for every
//   class because each decoder is canonical on the members it sets: a cut
//   payload keeps the whole fields and entries before the cut and defaults
//   the rest, and the re-encoding writes exactly those, so decoding it
//   rebuilds them. SimpleString's "leave the text as it was" starts from the
//   same empty text in both messages; media info's non-zero flag bytes all
//   become 0xFF and read back as true; the status records either take a
//   whole payload or keep defaults that encode to themselves;
// - the re-encoding is a fixed point: encoding the second message yields the
//   same bytes;
// - the media info re-encoding holds its whole record.
#include <cstddef>
#include <cstdint>
#include <memory>
#include <typeinfo>
#include <vector>

#include "KesuStbTesting.h"
#include "ipc/IPCMessageFactory.h"

namespace {

constexpr int kTypeChoices = 67;

template <class Message>
Message const* as(IPCMessage const& message) {
    return dynamic_cast<Message const*>(&message);
}

bool sameMembers(IPCMessage const& a, IPCMessage const& b) {
    if (typeid(a) != typeid(b)) return false;
    if (auto* x = as<IPCMessageUnsignedInt>(a)) return x->value == as<IPCMessageUnsignedInt>(b)->value;
    if (auto* x = as<IPCMessageUnsignedInt64>(a)) return x->value == as<IPCMessageUnsignedInt64>(b)->value;
    if (auto* x = as<IPCMessageUnsignedIntArray>(a)) return x->values == as<IPCMessageUnsignedIntArray>(b)->values;
    if (auto* x = as<IPCMessageSimpleString>(a)) return x->text == as<IPCMessageSimpleString>(b)->text;
    if (auto* x = as<IPCMessageStringArray>(a)) return x->strings == as<IPCMessageStringArray>(b)->strings;
    if (auto* x = as<IPCMessageRecorderStats>(a)) return x->stats == as<IPCMessageRecorderStats>(b)->stats;
    if (auto* x = as<IPCMessagePlayerPlaybackInfo>(a)) return x->info == as<IPCMessagePlayerPlaybackInfo>(b)->info;
    if (auto* x = as<IPCMessagePlayerMediaInfo>(a)) return x->info == as<IPCMessagePlayerMediaInfo>(b)->info;
    // A plain message has no members: its payload is what it carries.
    return a.messageStruct.data == b.messageStruct.data;
}

void check(bool condition) {
    if (!condition) __builtin_trap();
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    kesustb::testing::setLogSink([](STBLogRecord const&, kesustb::testing::LogEntry const&) {});
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0) return 0;
    IPCMessageStruct raw;
    raw.type = static_cast<IPCMessageType>(data[0] % kTypeChoices);
    raw.data.assign(data + 1, data + size);

    std::unique_ptr<IPCMessage> first = IPCMessageFactory::getMessage(raw);
    first->unserialize();
    check(first->messageStruct.data == raw.data);
    check(first->type == raw.type && first->messageStruct.type == raw.type);

    first->serialize();
    IPCMessageStruct reencoded;
    reencoded.type = raw.type;
    reencoded.data = first->messageStruct.data;

    std::unique_ptr<IPCMessage> second = IPCMessageFactory::getMessage(reencoded);
    second->unserialize();
    check(sameMembers(*first, *second));

    second->serialize();
    check(second->messageStruct.data == reencoded.data);

    if (as<IPCMessagePlayerMediaInfo>(*first) != nullptr) {
        IPCJSPlayerMediaInfo whole;
        check(IPCMessagePlayerMediaInfo::decode(reencoded.data, whole));
    }
    return 0;
}
