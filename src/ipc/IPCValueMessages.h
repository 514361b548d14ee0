// Messages that carry plain values: one number, a list of numbers, one text,
// a list of texts, and the set of types the client wants to receive. Public.
//
// Integers are unsigned big-endian; a text field is a 4-byte length, the bytes
// and one zero byte; a count is 4 bytes. Texts are byte strings: a zero byte
// inside one is an ordinary byte.
//
// A count or length from the peer is a claim: decoders never reserve more
// entries than the remaining bytes could hold and stop at the payload's end,
// keeping the whole entries read before the cut. Bytes after the last field
// are ignored.
#pragma once

#include <algorithm>
#include <cstdint>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "IPCMessage.h"
#include "PayloadCodec.h"

// One 32-bit number. Payload: value (4).
// A payload shorter than 4 bytes decodes to 0.
class IPCMessageUnsignedInt : public IPCMessage {
public:
    IPCMessageUnsignedInt(IPCMessageType messageType, uint32_t number) : IPCMessage(messageType), value(number) {}
    explicit IPCMessageUnsignedInt(IPCMessageStruct const& raw) : IPCMessage(raw) {}

    void serialize() override;
    void unserialize() override;

    uint32_t value = 0;
};

// One 64-bit number. Payload: value (8).
// A payload shorter than 8 bytes decodes to 0.
class IPCMessageUnsignedInt64 : public IPCMessage {
public:
    IPCMessageUnsignedInt64(IPCMessageType messageType, uint64_t number) : IPCMessage(messageType), value(number) {}
    explicit IPCMessageUnsignedInt64(IPCMessageStruct const& raw) : IPCMessage(raw) {}

    void serialize() override;
    void unserialize() override;

    uint64_t value = 0;
};

// A list of 32-bit numbers. Payload: count (4), count x number (4).
// Fewer than 4 bytes decode to an empty list; a count beyond the payload
// yields the whole numbers that are there.
class IPCMessageUnsignedIntArray : public IPCMessage {
public:
    IPCMessageUnsignedIntArray(IPCMessageType messageType, std::vector<uint32_t> numbers)
        : IPCMessage(messageType), values(std::move(numbers)) {}
    explicit IPCMessageUnsignedIntArray(IPCMessageStruct const& raw) : IPCMessage(raw) {}

    void serialize() override;
    void unserialize() override;

    std::vector<uint32_t> values;
};

// One text. Payload: length (4), text (length), 0x00.
// A payload without a whole length and text (empty, 1 to 3 bytes, or a length
// beyond the end) leaves `text` as it was; a missing terminator is no fault.
class IPCMessageSimpleString : public IPCMessage {
public:
    IPCMessageSimpleString(IPCMessageType messageType, std::string content)
        : IPCMessage(messageType), text(std::move(content)) {}
    explicit IPCMessageSimpleString(IPCMessageStruct const& raw) : IPCMessage(raw) {}

    void serialize() override;
    void unserialize() override;

    std::string text;
};

// A list of texts. Payload: count (4), count x [length (4), text, 0x00].
// Fewer than 4 bytes decode to an empty list; a count or length beyond the
// payload yields the whole texts before the cut.
class IPCMessageStringArray : public IPCMessage {
public:
    IPCMessageStringArray(IPCMessageType messageType, std::vector<std::string> texts)
        : IPCMessage(messageType), strings(std::move(texts)) {}
    explicit IPCMessageStringArray(IPCMessageStruct const& raw) : IPCMessage(raw) {}

    void serialize() override;
    void unserialize() override;

    std::vector<std::string> strings;
};

// The types the client wants to receive, sent once after connecting; always
// type 1. Payload: each type (4) in ascending order, no count; an empty set
// gives an empty payload. Only ever sent, so unserialize() is the base's and
// reads nothing.
class IPCMessageAllowedMessageList : public IPCMessage {
public:
    explicit IPCMessageAllowedMessageList(std::set<IPCMessageType> types)
        : IPCMessage(IPC_MSG_ALLOWED_MESSAGE_LIST), allowedTypes(std::move(types)) {}

    void serialize() override;

    std::set<IPCMessageType> allowedTypes;
};

inline void IPCMessageUnsignedInt::serialize() {
    std::vector<char> out;
    ipc_codec::appendU32(out, value);
    messageStruct.data.swap(out);
}

inline void IPCMessageUnsignedInt::unserialize() {
    ipc_codec::PayloadReader in(messageStruct.data);
    if (!in.readU32(value)) value = 0;
}

inline void IPCMessageUnsignedInt64::serialize() {
    std::vector<char> out;
    ipc_codec::appendU64(out, value);
    messageStruct.data.swap(out);
}

inline void IPCMessageUnsignedInt64::unserialize() {
    ipc_codec::PayloadReader in(messageStruct.data);
    if (!in.readU64(value)) value = 0;
}

inline void IPCMessageUnsignedIntArray::serialize() {
    std::vector<char> out;
    out.reserve(4 + 4 * values.size());
    ipc_codec::appendU32(out, static_cast<uint32_t>(values.size()));
    for (uint32_t number : values) ipc_codec::appendU32(out, number);
    messageStruct.data.swap(out);
}

inline void IPCMessageUnsignedIntArray::unserialize() {
    values.clear();
    ipc_codec::PayloadReader in(messageStruct.data);
    uint32_t count = 0;
    if (!in.readU32(count)) return;
    values.reserve(std::min<size_t>(count, in.remaining() / 4));
    uint32_t number = 0;
    for (uint32_t i = 0; i < count && in.readU32(number); ++i) values.push_back(number);
}

inline void IPCMessageSimpleString::serialize() {
    std::vector<char> out;
    out.reserve(4 + text.size() + 1);
    ipc_codec::appendText(out, text);
    messageStruct.data.swap(out);
}

inline void IPCMessageSimpleString::unserialize() {
    ipc_codec::PayloadReader in(messageStruct.data);
    std::string decoded;
    if (in.readText(decoded)) text.swap(decoded);
}

inline void IPCMessageStringArray::serialize() {
    size_t size = 4;
    for (std::string const& s : strings) size += 4 + s.size() + 1;
    std::vector<char> out;
    out.reserve(size);
    ipc_codec::appendU32(out, static_cast<uint32_t>(strings.size()));
    for (std::string const& s : strings) ipc_codec::appendText(out, s);
    messageStruct.data.swap(out);
}

inline void IPCMessageStringArray::unserialize() {
    strings.clear();
    ipc_codec::PayloadReader in(messageStruct.data);
    uint32_t count = 0;
    if (!in.readU32(count)) return;
    // Every text field but a last one without its terminator takes 5 bytes or more.
    strings.reserve(std::min<size_t>(count, (in.remaining() + 1) / 5));
    std::string text;
    for (uint32_t i = 0; i < count && in.readText(text); ++i) strings.push_back(std::move(text));
}

inline void IPCMessageAllowedMessageList::serialize() {
    std::vector<char> out;
    out.reserve(4 * allowedTypes.size());
    for (IPCMessageType allowed : allowedTypes) ipc_codec::appendU32(out, static_cast<uint32_t>(allowed));
    messageStruct.data.swap(out);
}
