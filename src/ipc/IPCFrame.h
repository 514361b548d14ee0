// The frame on the socket: an 8-byte header, then the payload. Public.
//
//   byte 0     marker 0x6D ('m')
//   bytes 1-3  type number, 24-bit big-endian
//   bytes 4-7  payload length, 32-bit big-endian
//
// The one place that knows the header's byte arithmetic; the sender, the
// receive loop, the tools and the tests all go through it.
#pragma once

#include <cstddef>
#include <cstdint>

#include "IPCMessage.h"
#include "PayloadCodec.h"

namespace ipc_frame {

constexpr size_t kHeaderBytes = 8;
constexpr unsigned char kMarker = 0x6D;
constexpr uint32_t kMaxTypeNumber = 0xFFFFFF;
// Largest payload the receive loop accepts. Anything bigger is a broken or
// hostile peer (no message of the family comes near it), and on the 32-bit
// target an allocation of an announced 4 GiB would end the process.
constexpr uint32_t kMaxPayloadBytes = 16u * 1024 * 1024;

struct Header {
    uint32_t type = 0;  // low 24 bits of the type number
    uint32_t length = 0;
};

inline void encodeHeader(uint32_t type, uint32_t length, unsigned char out[kHeaderBytes]) {
    ipc_codec::storeU32(out, type & kMaxTypeNumber);
    out[0] = kMarker;
    ipc_codec::storeU32(out + 4, length);
}

inline void encodeHeader(IPCMessageStruct const& message, unsigned char out[kHeaderBytes]) {
    encodeHeader(static_cast<uint32_t>(message.type), static_cast<uint32_t>(message.data.size()), out);
}

// False when the marker is wrong: the reader has lost its place in the stream.
inline bool decodeHeader(const unsigned char in[kHeaderBytes], Header& out) {
    if (in[0] != kMarker) return false;
    out.type = ipc_codec::loadU32(in) & kMaxTypeNumber;
    out.length = ipc_codec::loadU32(in + 4);
    return true;
}

}  // namespace ipc_frame
