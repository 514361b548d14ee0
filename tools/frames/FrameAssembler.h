// Cuts frames out of a byte stream that arrives in pieces of any size, for
// programs that multiplex several sockets and cannot block in a whole-frame
// read. The header is decoded by the library's own frame helpers.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdio>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include "kesu/ipc/IPCFrame.h"
#include "kesu/ipc/IPCMessage.h"

namespace kesu_tools {

class FrameAssembler {
public:
    enum class Status {
        NeedMore,   // every byte offered was taken; the frame is not complete yet
        Frame,      // a whole frame is ready for takeFrame()
        BadMarker,  // the header does not start with the frame marker
        TooLarge,   // the header announces more than kMaxPayloadBytes
    };

    // Takes bytes from `data` up to the end of the next frame at most and
    // says in `used` how many. After BadMarker or TooLarge the stream is lost
    // and the assembler must not be fed again.
    Status feed(const char* data, size_t size, size_t& used);

    // The completed frame; the assembler starts on the next header.
    IPCMessageStruct takeFrame() {
        IPCMessageStruct out = std::move(frame);
        frame = IPCMessageStruct{};
        headerFill = 0;
        return out;
    }

    // The refused header's first byte and announced length, for messages.
    unsigned char firstByte() const { return header[0]; }
    ipc_frame::Header const& announced() const { return decoded; }
    // Bytes of an unfinished frame held so far, and those bytes themselves
    // (after BadMarker or TooLarge: the refused header).
    size_t pendingBytes() const { return headerFill + frame.data.size(); }
    std::vector<char> pending() const {
        std::vector<char> bytes(header, header + headerFill);
        bytes.insert(bytes.end(), frame.data.begin(), frame.data.end());
        return bytes;
    }

private:
    // The payload grows with the bytes that really arrive: a peer announcing
    // a large frame and sending little costs no more than it sent.
    static constexpr size_t kInitialReserveBytes = 64 * 1024;

    unsigned char header[ipc_frame::kHeaderBytes] = {};
    size_t headerFill = 0;
    ipc_frame::Header decoded;
    IPCMessageStruct frame;
};

inline FrameAssembler::Status FrameAssembler::feed(const char* data, size_t size, size_t& used) {
    used = 0;
    if (headerFill < ipc_frame::kHeaderBytes) {
        const size_t n = std::min(size, ipc_frame::kHeaderBytes - headerFill);
        std::memcpy(header + headerFill, data, n);
        headerFill += n;
        used = n;
        if (headerFill < ipc_frame::kHeaderBytes) return Status::NeedMore;
        if (!ipc_frame::decodeHeader(header, decoded)) return Status::BadMarker;
        if (decoded.length > ipc_frame::kMaxPayloadBytes) return Status::TooLarge;
        frame.type = static_cast<IPCMessageType>(decoded.type);
        frame.data.clear();
        frame.data.reserve(std::min<size_t>(decoded.length, kInitialReserveBytes));
    }
    const size_t missing = decoded.length - frame.data.size();
    const size_t n = std::min(size - used, missing);
    frame.data.insert(frame.data.end(), data + used, data + used + n);
    used += n;
    return n == missing ? Status::Frame : Status::NeedMore;
}

// One direction of a connection as frames: each whole one is handed on as
// it completes; once the stream loses its frame markers, what it says is
// handed on once, and every byte from the refused header on goes to onRaw.
class FrameStream {
public:
    template <class OnFrame, class OnLost, class OnRaw>
    void feed(char const* data, size_t size, OnFrame onFrame, OnLost onLost, OnRaw onRaw);
    template <class OnFrame, class OnLost>
    void feed(char const* data, size_t size, OnFrame onFrame, OnLost onLost) {
        feed(data, size, onFrame, onLost, [](char const*, size_t) {});
    }
    bool inSync() const { return synced; }
    // Bytes of an unfinished frame, and the bytes themselves; none once out of sync.
    size_t pendingBytes() const { return synced ? assembler.pendingBytes() : 0; }
    std::vector<char> pending() const { return synced ? assembler.pending() : std::vector<char>(); }

private:
    std::string describe(FrameAssembler::Status status) const;

    FrameAssembler assembler;
    bool synced = true;
};

template <class OnFrame, class OnLost, class OnRaw>
void FrameStream::feed(char const* data, size_t size, OnFrame onFrame, OnLost onLost, OnRaw onRaw) {
    size_t offset = 0;
    while (synced && offset < size) {
        size_t used = 0;
        const FrameAssembler::Status status = assembler.feed(data + offset, size - offset, used);
        offset += used;
        if (status == FrameAssembler::Status::Frame) {
            onFrame(assembler.takeFrame());
        } else if (status != FrameAssembler::Status::NeedMore) {
            synced = false;
            onLost(describe(status));
            // The refused header may have come in earlier pieces.
            const std::vector<char> header = assembler.pending();
            onRaw(header.data(), header.size());
        }
    }
    if (!synced && offset < size) onRaw(data + offset, size - offset);
}

inline std::string FrameStream::describe(FrameAssembler::Status status) const {
    char text[160];
    if (status == FrameAssembler::Status::BadMarker)
        std::snprintf(text, sizeof text, "header starts with 0x%02X, not the frame marker", assembler.firstByte());
    else
        std::snprintf(text, sizeof text, "frame type=%u announces %u bytes, above the limit of %u",
                      assembler.announced().type, assembler.announced().length, ipc_frame::kMaxPayloadBytes);
    return text;
}

// A frame's bytes as they go on the wire: header, then payload.
inline std::vector<char> frameBytes(IPCMessageStruct const& frame) {
    std::vector<char> bytes(ipc_frame::kHeaderBytes + frame.data.size());
    ipc_frame::encodeHeader(frame, reinterpret_cast<unsigned char*>(bytes.data()));
    std::copy(frame.data.begin(), frame.data.end(), bytes.begin() + ipc_frame::kHeaderBytes);
    return bytes;
}

}  // namespace kesu_tools
