// The frame reader and the factory on an arbitrary byte stream that arrives
// over a real socket in arbitrary pieces.
//
// Input: byte 0, low 3 bits, gives k - 1; the next k bytes give piece sizes
// (byte + 1), used in turn; the rest is the stream. A writer thread sends the
// stream piece by piece and then ends it; the reader calls receiveFrame until
// it yields something other than a frame, and every frame goes through the
// factory, unserialize() and serialize().
//
// The frames and the final outcome must match what a plain walk over the
// stream in memory finds; the first mismatch traps.
#include <pthread.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <thread>
#include <vector>

#include "KesuStbTesting.h"
#include "ipc/IPCFrameReader.h"
#include "ipc/IPCMessageFactory.h"
#include "ipc/IPCSocketIO.h"

namespace {

struct Expected {
    std::vector<IPCMessageStruct> frames;
    ipc_frame::FrameOutcome end = ipc_frame::FrameOutcome::Closed;
};

// The stream's frames as a reader that sees all bytes at once finds them.
Expected walk(const uint8_t* stream, size_t size) {
    Expected expected;
    size_t pos = 0;
    for (;;) {
        if (size - pos < ipc_frame::kHeaderBytes) return expected;  // Closed inside or before a header
        ipc_frame::Header header;
        if (!ipc_frame::decodeHeader(stream + pos, header)) {
            expected.end = ipc_frame::FrameOutcome::OutOfSync;
            return expected;
        }
        if (header.length > ipc_frame::kMaxPayloadBytes) {
            expected.end = ipc_frame::FrameOutcome::TooLarge;
            return expected;
        }
        pos += ipc_frame::kHeaderBytes;
        if (size - pos < header.length) return expected;  // Closed inside the payload
        IPCMessageStruct frame;
        frame.type = static_cast<IPCMessageType>(header.type);
        frame.data.assign(stream + pos, stream + pos + header.length);
        expected.frames.push_back(std::move(frame));
        pos += header.length;
    }
}

void check(bool condition) {
    if (!condition) __builtin_trap();
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    kesustb::testing::setLogSink([](STBLogRecord const&, kesustb::testing::LogEntry const&) {});
    return 0;
}

namespace {
void runOne(const uint8_t* data, size_t size);
}  // namespace

// The stream runs on threads that block every signal: libFuzzer's periodic
// SIGALRM would otherwise interrupt a blocking recv or send, which the library
// rightly takes as a broken connection, and the oracle would trap on it.
extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::thread worker([data, size] {
        sigset_t all;
        sigfillset(&all);
        pthread_sigmask(SIG_BLOCK, &all, nullptr);
        runOne(data, size);
    });
    worker.join();
    return 0;
}

namespace {
void runOne(const uint8_t* data, size_t size) {
    if (size == 0) return;
    const size_t pieceCount = std::min<size_t>((data[0] & 7u) + 1, size - 1);
    std::vector<size_t> pieces;
    for (size_t i = 0; i < pieceCount; ++i) pieces.push_back(size_t{data[1 + i]} + 1);
    if (pieces.empty()) pieces.push_back(1);
    const uint8_t* stream = data + 1 + pieceCount;
    const size_t streamSize = size - 1 - pieceCount;

    int fds[2];
    if (::socketpair(AF_UNIX, SOCK_STREAM, 0, fds) != 0) return;
    const int readFd = fds[0];
    const int writeFd = fds[1];

    std::thread writer([&] {
        size_t pos = 0;
        for (size_t turn = 0; pos < streamSize; ++turn) {
            size_t n = std::min(pieces[turn % pieces.size()], streamSize - pos);
            if (!ipc_io::writeFully(writeFd, stream + pos, n)) break;  // the reader has given up
            pos += n;
        }
        ::shutdown(writeFd, SHUT_WR);
    });

    const Expected expected = walk(stream, streamSize);
    size_t received = 0;
    IPCMessageStruct frame;
    ipc_frame::FrameOutcome outcome;
    while ((outcome = ipc_frame::receiveFrame(readFd, frame, [] { return true; })) ==
           ipc_frame::FrameOutcome::Frame) {
        check(received < expected.frames.size());
        check(frame.type == expected.frames[received].type && frame.data == expected.frames[received].data);
        ++received;
        std::unique_ptr<IPCMessage> message = IPCMessageFactory::getMessage(frame);
        message->unserialize();
        message->serialize();
    }
    // Unblocks a writer still sending after the reader stopped early.
    ::shutdown(readFd, SHUT_RDWR);
    writer.join();
    ::close(readFd);
    ::close(writeFd);

    check(received == expected.frames.size());
    check(outcome == expected.end);
}
}  // namespace
