// Fixed-size status records from the server: recorder statistics and the
// player's playback record. Public.
//
// Both accept a payload only when its size is exactly the record's; any other
// payload is ignored and the members keep what they held (their defaults, for
// a message just built by the factory). The message is dispatched all the same.
#pragma once

#include <cstdint>
#include <cstring>
#include <vector>

#include "IPCMessage.h"
#include "PayloadCodec.h"

// One opaque status byte. Payload: stats (1).
class IPCMessageRecorderStats : public IPCMessage {
public:
    IPCMessageRecorderStats(IPCMessageType messageType, uint8_t value) : IPCMessage(messageType), stats(value) {}
    explicit IPCMessageRecorderStats(IPCMessageStruct const& raw) : IPCMessage(raw) {}

    void serialize() override;
    void unserialize() override;

    uint8_t stats = 0;
};

// The player's playback record. Its wire form is its memory image: 30 bytes
// copied as they lie, so multi-byte fields travel in the host's byte order
// (little-endian on the box), unlike every other payload. Hence byte
// alignment, no padding, and a size pinned below. The library never looks
// inside; the fields only give the bytes their defaults.
struct __attribute__((packed)) PlayerPlaybackRecord {
    uint8_t leading[4] = {0xFF, 0xFF, 0xFF, 0xFF};  // bytes 0-3
    uint16_t selector = 0;                          // bytes 4-5, host byte order
    uint8_t trailing[24] = {};                      // bytes 6-29
};
static_assert(sizeof(PlayerPlaybackRecord) == 30, "the playback record travels as exactly 30 bytes");
static_assert(alignof(PlayerPlaybackRecord) == 1, "the playback record may sit at any offset of a payload");

// Byte-wise: the record has no padding, so its bytes are its value.
inline bool operator==(PlayerPlaybackRecord const& a, PlayerPlaybackRecord const& b) {
    return std::memcmp(&a, &b, sizeof a) == 0;
}
inline bool operator!=(PlayerPlaybackRecord const& a, PlayerPlaybackRecord const& b) { return !(a == b); }

// Payload: the 30 bytes of `info` as they lie in memory.
class IPCMessagePlayerPlaybackInfo : public IPCMessage {
public:
    IPCMessagePlayerPlaybackInfo(IPCMessageType messageType, PlayerPlaybackRecord const& record)
        : IPCMessage(messageType), info(record) {}
    explicit IPCMessagePlayerPlaybackInfo(IPCMessageStruct const& raw) : IPCMessage(raw) {}

    void serialize() override;
    void unserialize() override;

    PlayerPlaybackRecord info;
};

inline void IPCMessageRecorderStats::serialize() {
    std::vector<char> out;
    ipc_codec::appendU8(out, stats);
    messageStruct.data.swap(out);
}

inline void IPCMessageRecorderStats::unserialize() {
    if (messageStruct.data.size() != 1) return;
    ipc_codec::PayloadReader in(messageStruct.data);
    in.readU8(stats);
}

inline void IPCMessagePlayerPlaybackInfo::serialize() {
    std::vector<char> out(sizeof info);
    std::memcpy(out.data(), &info, sizeof info);
    messageStruct.data.swap(out);
}

inline void IPCMessagePlayerPlaybackInfo::unserialize() {
    if (messageStruct.data.size() != sizeof info) return;
    std::memcpy(&info, messageStruct.data.data(), sizeof info);
}
