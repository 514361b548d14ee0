// The frame reader and the factory on a byte stream that arrives over a real
// socket in pieces: byte 0, low 3 bits, gives k - 1; k bytes give the piece
// sizes (byte + 1), used in turn; the rest is the stream. Every frame read is
// decoded and re-encoded. Traps unless the frames and the final outcome are
// those that a plain walk over the stream in memory finds.
#include <pthread.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <thread>
#include <vector>

#include "KesuStbTesting.h"
#include "kesu/ipc/IPCFrameReader.h"
#include "kesu/ipc/IPCMessageFactory.h"
#include "kesu/ipc/IPCSocketIO.h"

namespace {

using ipc_frame::FrameOutcome;

void check(bool condition) { if (!condition) __builtin_trap(); }

// The whole frames go to `frames`; returns how the stream ends after them.
FrameOutcome walk(const uint8_t* stream, size_t size, std::vector<IPCMessageStruct>& frames) {
    for (size_t pos = 0;;) {
        ipc_frame::Header header;
        if (size - pos < ipc_frame::kHeaderBytes) return FrameOutcome::Closed;
        if (!ipc_frame::decodeHeader(stream + pos, header)) return FrameOutcome::OutOfSync;
        if (header.length > ipc_frame::kMaxPayloadBytes) return FrameOutcome::TooLarge;
        pos += ipc_frame::kHeaderBytes;
        if (size - pos < header.length) return FrameOutcome::Closed;
        frames.push_back({static_cast<IPCMessageType>(header.type),
                          std::vector<char>(stream + pos, stream + pos + header.length)});
        pos += header.length;
    }
}

// On a thread that blocks every signal: libFuzzer's periodic SIGALRM would
// otherwise interrupt a blocking recv or send, which the library rightly
// takes as a broken connection.
void runOne(const uint8_t* data, size_t size) {
    sigset_t all;
    sigfillset(&all);
    pthread_sigmask(SIG_BLOCK, &all, nullptr);
    const size_t pieces = std::min<size_t>((data[0] & 7u) + 1, size - 1);
    const uint8_t* stream = data + 1 + pieces;
    const size_t streamSize = size - 1 - pieces;
    int fd[2];
    if (socketpair(AF_UNIX, SOCK_STREAM, 0, fd) != 0) return;
    std::thread writer([&] {
        for (size_t pos = 0, turn = 0; pos < streamSize; ++turn) {
            size_t n = std::min<size_t>(pieces == 0 ? 1 : data[1 + turn % pieces] + 1u, streamSize - pos);
            if (!ipc_io::writeFully(fd[1], stream + pos, n)) break;  // the reader has given up
            pos += n;
        }
        shutdown(fd[1], SHUT_WR);
    });
    std::vector<IPCMessageStruct> expected;
    const FrameOutcome end = walk(stream, streamSize, expected);
    size_t received = 0;
    IPCMessageStruct frame;
    FrameOutcome outcome;
    while ((outcome = ipc_frame::receiveFrame(fd[0], frame, [] { return true; })) == FrameOutcome::Frame) {
        check(received < expected.size() && frame.type == expected[received].type &&
              frame.data == expected[received++].data);
        std::unique_ptr<IPCMessage> message = IPCMessageFactory::getMessage(frame);
        message->unserialize();
        message->serialize();
    }
    shutdown(fd[0], SHUT_RDWR);  // unblocks a writer still sending
    writer.join();
    close(fd[0]);
    close(fd[1]);
    check(received == expected.size() && outcome == end);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    kesustb::testing::setLogSink([](STBLogRecord const&, kesustb::testing::LogEntry const&) {});
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size > 0) std::thread(runOne, data, size).join();
    return 0;
}
