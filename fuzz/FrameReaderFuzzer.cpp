// The frame reader on a stream that arrives over a socket in pieces: byte 0 & 7
// is k - 1; k bytes give the piece sizes (byte + 1), in turn; then the stream.
// Traps unless the frames read, encoded again, and the end match a plain walk.
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <thread>

#include "kesu/ipc/IPCFrameReader.h"
#include "kesu/ipc/IPCSocketIO.h"

using namespace ipc_frame;

// How the stream ends after its whole frames, which fill its first `whole` bytes.
static FrameOutcome walk(const uint8_t* stream, size_t size, size_t& whole) {
    for (Header header;; whole += kHeaderBytes + header.length) {
        if (size - whole < kHeaderBytes) return FrameOutcome::Closed;
        if (!decodeHeader(stream + whole, header)) return FrameOutcome::OutOfSync;
        if (header.length > kMaxPayloadBytes) return FrameOutcome::TooLarge;
        if (size - whole - kHeaderBytes < header.length) return FrameOutcome::Closed;
    }
}

// All signals blocked, here and in the writer: libFuzzer's SIGALRM would break a blocking recv or send.
static void runOne(const uint8_t* data, size_t size) {
    sigset_t all;
    sigfillset(&all);
    pthread_sigmask(SIG_BLOCK, &all, nullptr);
    const size_t pieces = std::min<size_t>((data[0] & 7u) + 1, size - 1);
    const uint8_t* stream = data + 1 + pieces;
    const size_t streamSize = size - 1 - pieces;
    int fd[2];
    if (socketpair(AF_UNIX, SOCK_STREAM, 0, fd) != 0) return;
    std::thread writer([&] {
        for (size_t pos = 0, turn = 0, n; pos < streamSize; pos += n, ++turn) {
            n = std::min<size_t>(data[1 + turn % pieces] + 1u, streamSize - pos);
            if (!ipc_io::writeFully(fd[1], stream + pos, n)) break;  // the reader has given up
        }
        shutdown(fd[1], SHUT_WR);
    });
    size_t whole = 0;
    const FrameOutcome end = walk(stream, streamSize, whole);
    std::vector<uint8_t> read;  // the frames read, encoded again
    FrameOutcome outcome = FrameOutcome::Frame;
    while (outcome == FrameOutcome::Frame) {
        IPCMessageStruct frame;
        outcome = receiveFrame(fd[0], frame, [] { return true; });
        if (outcome != FrameOutcome::Frame) break;
        read.resize(read.size() + kHeaderBytes);
        encodeHeader(frame, &read[read.size() - kHeaderBytes]);
        read.insert(read.end(), frame.data.begin(), frame.data.end());
    }
    shutdown(fd[0], SHUT_RDWR);  // unblocks a writer still sending
    writer.join();
    for (int f : fd) close(f);
    if (outcome != end || read != std::vector<uint8_t>(stream, stream + whole)) __builtin_trap();
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    // The reader logs every way a stream ends: silent unless the caller has chosen a level.
    [[maybe_unused]] static const int quiet = setenv("KESU_LOG_LEVEL", "0", 0);
    if (size > 1) std::thread(runOne, data, size).join();
    return 0;
}
