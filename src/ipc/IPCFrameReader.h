// Reads one frame from a connected socket into an IPCMessageStruct. Internal.
// Used by the client's receive loop; logs every outcome itself.
#pragma once

#include "IPCFrame.h"
#include "IPCSocketIO.h"
#include "kesu/private/KesuLog.h"

namespace ipc_frame {

enum class FrameOutcome {
    Frame,      // `frame` holds a whole frame
    Stopped,    // the thread was asked to stop once the header was in
    Closed,     // the peer ended the stream
    ReadError,  // recv failed
    OutOfSync,  // wrong marker
    TooLarge,   // announced length above kMaxPayloadBytes
};

// `stillRunning()` is asked once the header is complete: a stop request then
// drops the frame without reading its payload. Frames whose payload is cut
// short are discarded. The payload buffer is allocated once per frame at the
// announced (bounded) length. `unannounced` and `announce` go to each read
// (see ipc_io::readFully).
template <class StillRunning, class Announce>
FrameOutcome receiveFrame(int fd, IPCMessageStruct& frame, StillRunning&& stillRunning, bool& unannounced,
                          Announce&& announce) {
    unsigned char header[kHeaderBytes];
    switch (ipc_io::readFully(fd, header, sizeof header, unannounced, announce)) {
    case ipc_io::ReadResult::Closed:
        KESU_LOG(3, 172, kLogFileClient, "Connection closed");
        return FrameOutcome::Closed;
    case ipc_io::ReadResult::Failed:
        KESU_LOG(1, 174, kLogFileClient, "Read error. Terminate connection");
        return FrameOutcome::ReadError;
    case ipc_io::ReadResult::Complete:
        break;
    }
    if (!stillRunning()) return FrameOutcome::Stopped;

    Header decoded;
    if (!decodeHeader(header, decoded)) {
        KESU_LOG(1, 200, kLogFileClient, "Out of sync. Terminate connection.");
        return FrameOutcome::OutOfSync;
    }
    if (decoded.length > kMaxPayloadBytes) {
        KESU_LOG(1, 205, kLogFileClient, "Frame too large: type %u length %u. Terminate connection.", decoded.type,
                 decoded.length);
        return FrameOutcome::TooLarge;
    }
    frame.type = static_cast<IPCMessageType>(decoded.type);
    frame.data.assign(decoded.length, 0);
    KESU_LOG(5, 219, kLogFileClient, "New message received: %u length %u", decoded.type, decoded.length);

    if (decoded.length == 0) return FrameOutcome::Frame;
    switch (ipc_io::readFully(fd, frame.data.data(), frame.data.size(), unannounced, announce)) {
    case ipc_io::ReadResult::Closed:
        KESU_LOG(3, 227, kLogFileClient, "Connection closed");
        return FrameOutcome::Closed;
    case ipc_io::ReadResult::Failed:
        KESU_LOG(1, 229, kLogFileClient, "Read error. Terminate connection");
        return FrameOutcome::ReadError;
    case ipc_io::ReadResult::Complete:
        break;
    }
    return FrameOutcome::Frame;
}

template <class StillRunning>
FrameOutcome receiveFrame(int fd, IPCMessageStruct& frame, StillRunning&& stillRunning) {
    bool unannounced = false;
    return receiveFrame(fd, frame, stillRunning, unannounced, [] {});
}

}  // namespace ipc_frame
