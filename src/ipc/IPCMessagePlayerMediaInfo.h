// The player's media description: a text, a flag, a 64-bit value and a list
// of streams. Public.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include "IPCMessage.h"
#include "PayloadCodec.h"

// What the fields mean is the server's business; they travel as raw
// big-endian bytes, hence unsigned here. Texts are byte strings.
struct IPCJSPlayerMediaInfo {
    struct Stream {
        uint32_t number1 = 0;
        uint32_t number2 = 0;
        uint32_t number3 = 0;
        std::string text1;
        std::string text2;
    };

    // The count travels in 16 bits.
    static constexpr size_t kMaxStreams = 0xFFFF;

    std::string text;
    bool flag = false;
    uint64_t value = 0;
    std::vector<Stream> streams;
};

inline bool operator==(IPCJSPlayerMediaInfo::Stream const& a, IPCJSPlayerMediaInfo::Stream const& b) {
    return std::tie(a.number1, a.number2, a.number3, a.text1, a.text2) ==
        std::tie(b.number1, b.number2, b.number3, b.text1, b.text2);
}
inline bool operator!=(IPCJSPlayerMediaInfo::Stream const& a, IPCJSPlayerMediaInfo::Stream const& b) {
    return !(a == b);
}
inline bool operator==(IPCJSPlayerMediaInfo const& a, IPCJSPlayerMediaInfo const& b) {
    return std::tie(a.text, a.flag, a.value, a.streams) == std::tie(b.text, b.flag, b.value, b.streams);
}
inline bool operator!=(IPCJSPlayerMediaInfo const& a, IPCJSPlayerMediaInfo const& b) { return !(a == b); }

// Payload: text field [length (4), text, 0x00], flag (1: 0xFF true, 0x00
// false), value (8), stream count (2), count x [number1 (4), number2 (4),
// number3 (4), text1 field, text2 field].
//
// serialize() writes at most kMaxStreams streams, the first ones, so that the
// count always matches the entries that follow.
//
// unserialize() starts from the defaults and reads as far as the payload
// goes: every field read whole before the end keeps its value, so do the
// whole entries before a cut one, and everything after the cut stays at its
// default. Without a whole text field (fewer than 4 bytes, or a length beyond
// the end) nothing is set at all.
// A payload that ends before the flag byte is the one range failure: decoding
// stops with only `text` set, nothing is thrown or logged, and the message is
// dispatched all the same. A record cut short is the peer's fault and must
// not cost the connection or the process; handlers see the defaults.
// Any non-zero flag byte reads as true. Bytes after the last entry are ignored.
class IPCMessagePlayerMediaInfo : public IPCMessage {
public:
    IPCMessagePlayerMediaInfo(IPCMessageType messageType, IPCJSPlayerMediaInfo record)
        : IPCMessage(messageType), info(std::move(record)) {}
    explicit IPCMessagePlayerMediaInfo(IPCMessageStruct const& raw) : IPCMessage(raw) {}

    void serialize() override;
    void unserialize() override { decode(messageStruct.data, info); }

    // True when the payload held the whole record. unserialize() ignores the
    // result; it is there for tools and tests.
    static bool decode(std::vector<char> const& payload, IPCJSPlayerMediaInfo& out);

    IPCJSPlayerMediaInfo info;
};

inline void IPCMessagePlayerMediaInfo::serialize() {
    const size_t streamCount = std::min(info.streams.size(), IPCJSPlayerMediaInfo::kMaxStreams);
    size_t size = 4 + info.text.size() + 1 + 1 + 8 + 2;
    for (size_t i = 0; i < streamCount; ++i)
        size += 12 + 4 + info.streams[i].text1.size() + 1 + 4 + info.streams[i].text2.size() + 1;

    std::vector<char> out;
    out.reserve(size);
    ipc_codec::appendText(out, info.text);
    ipc_codec::appendU8(out, info.flag ? uint8_t{0xFF} : uint8_t{0x00});
    ipc_codec::appendU64(out, info.value);
    ipc_codec::appendU16(out, static_cast<uint16_t>(streamCount));
    for (size_t i = 0; i < streamCount; ++i) {
        IPCJSPlayerMediaInfo::Stream const& stream = info.streams[i];
        ipc_codec::appendU32(out, stream.number1);
        ipc_codec::appendU32(out, stream.number2);
        ipc_codec::appendU32(out, stream.number3);
        ipc_codec::appendText(out, stream.text1);
        ipc_codec::appendText(out, stream.text2);
    }
    messageStruct.data.swap(out);
}

inline bool IPCMessagePlayerMediaInfo::decode(std::vector<char> const& payload, IPCJSPlayerMediaInfo& out) {
    out = IPCJSPlayerMediaInfo{};
    ipc_codec::PayloadReader in(payload);
    if (!in.readText(out.text)) return false;

    uint8_t flagByte = 0;
    if (!in.readU8(flagByte)) return false;
    out.flag = flagByte != 0;

    uint16_t count = 0;
    if (!in.readU64(out.value) || !in.readU16(count)) return false;

    // The smallest entry: three numbers and two empty text fields, the last
    // terminator possibly missing at the end of the payload.
    constexpr size_t kMinStreamBytes = 12 + 5 + 5;
    out.streams.reserve(std::min<size_t>(count, (in.remaining() + 1) / kMinStreamBytes));
    IPCJSPlayerMediaInfo::Stream stream;
    for (uint16_t i = 0; i < count; ++i) {
        if (!in.readU32(stream.number1) || !in.readU32(stream.number2) || !in.readU32(stream.number3) ||
            !in.readText(stream.text1) || !in.readText(stream.text2))
            return false;
        out.streams.push_back(stream);
    }
    return true;
}
