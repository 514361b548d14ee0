// Whole-buffer reads and writes on a connected stream socket. Internal.
#pragma once

#include <sys/socket.h>
#include <sys/types.h>

#include <cerrno>
#include <cstddef>

#include "IPCFrame.h"

namespace ipc_io {

enum class ReadResult { Complete, Closed, Failed };

// Both calls go on after a short transfer and after a signal (EINTR): the
// host process may install handlers without SA_RESTART, and a signal must
// not cost it the connection. A stop is no signal: it shuts the socket down,
// which ends a blocked call at once, so the retry never turns it into a wait.

// Reads exactly `size` bytes. Closed: the peer ended the stream first.
// Failed: any other error. While `unannounced` is true, a read that would
// wait for the peer clears it and calls `announce()` first: a caller that
// holds back news of what it has read gives it once the stream runs dry.
template <class Announce>
inline ReadResult readFully(int fd, void* buffer, size_t size, bool& unannounced, Announce&& announce) {
    auto* out = static_cast<char*>(buffer);
    size_t received = 0;
    while (received < size) {
        ssize_t n = ::recv(fd, out + received, size - received, unannounced ? MSG_DONTWAIT : 0);
        if (n < 0 && unannounced && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            unannounced = false;
            announce();
            continue;
        }
        if (n == 0) return ReadResult::Closed;
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return ReadResult::Failed;
        received += static_cast<size_t>(n);
    }
    return ReadResult::Complete;
}

inline ReadResult readFully(int fd, void* buffer, size_t size) {
    bool unannounced = false;
    return readFully(fd, buffer, size, unannounced, [] {});
}

// Writes exactly `size` bytes; false on a result of 0 or an error other than
// EINTR. MSG_NOSIGNAL: a peer that has gone yields EPIPE here instead of a
// SIGPIPE that would end the host process, and the process's signal
// disposition stays the application's business.
inline bool writeFully(int fd, const void* buffer, size_t size) {
    const auto* in = static_cast<const char*>(buffer);
    size_t sent = 0;
    while (sent < size) {
        ssize_t n = ::send(fd, in + sent, size - sent, MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        sent += static_cast<size_t>(n);
    }
    return true;
}

// Header, then payload, as two writes. For tools and tests; the sender thread
// has its own sequence with a stop check between the two.
inline bool writeFrame(int fd, IPCMessageStruct const& message) {
    unsigned char header[ipc_frame::kHeaderBytes];
    ipc_frame::encodeHeader(message, header);
    if (!writeFully(fd, header, sizeof header)) return false;
    return message.data.empty() || writeFully(fd, message.data.data(), message.data.size());
}

}  // namespace ipc_io
