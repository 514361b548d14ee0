#include "ipc/IPCFrame.h"

#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "KesuLog.h"
#include "KesuStbTesting.h"
#include "PayloadBytes.h"
#include "ipc/IPCFrameReader.h"
#include "ipc/IPCSocketIO.h"

using test_bytes::bytes;
using test_bytes::hex;

namespace {

std::vector<char> headerBytes(uint32_t type, uint32_t length) {
    unsigned char header[ipc_frame::kHeaderBytes];
    ipc_frame::encodeHeader(type, length, header);
    return std::vector<char>(header, header + sizeof header);
}

class ScopedFd {
public:
    explicit ScopedFd(int descriptor = -1) : fd(descriptor) {}
    ~ScopedFd() { reset(); }
    ScopedFd(ScopedFd const&) = delete;
    ScopedFd& operator=(ScopedFd const&) = delete;
    int get() const { return fd; }
    void reset(int descriptor = -1) {
        if (fd >= 0) ::close(fd);
        fd = descriptor;
    }

private:
    int fd;
};

// Records every logger call while alive.
class LogCapture {
public:
    LogCapture() {
        kesustb::testing::setLogSink([this](STBLogRecord const&, kesustb::testing::LogEntry const& entry) {
            std::lock_guard<std::mutex> lock(mutex);
            entries.push_back(entry);
        });
    }
    ~LogCapture() { kesustb::testing::setLogSink(nullptr); }
    LogCapture(LogCapture const&) = delete;
    LogCapture& operator=(LogCapture const&) = delete;

    std::vector<kesustb::testing::LogEntry> lines() const {
        std::lock_guard<std::mutex> lock(mutex);
        return entries;
    }
    void clear() {
        std::lock_guard<std::mutex> lock(mutex);
        entries.clear();
    }

private:
    mutable std::mutex mutex;
    std::vector<kesustb::testing::LogEntry> entries;
};

void expectOneLine(LogCapture const& log, int level, int line, std::string const& text) {
    std::vector<kesustb::testing::LogEntry> lines = log.lines();
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0].level, level);
    EXPECT_EQ(lines[0].line, line);
    EXPECT_EQ(lines[0].text, text);
    EXPECT_EQ(lines[0].file, kLogFileClient);
    EXPECT_EQ(lines[0].tag, "KESU");
}

// A connected pair: the test writes raw bytes on `writer`, receiveFrame reads
// `reader`. A receive time-out turns a reader that waits for bytes that never
// come into a failed test instead of a hung one.
class FrameReaderTest : public ::testing::Test {
protected:
    void SetUp() override { connect(); }

    void connect() {
        int fds[2];
        ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM, 0, fds), 0);
        reader.reset(fds[0]);
        writer.reset(fds[1]);
        timeval timeout{10, 0};
        ASSERT_EQ(::setsockopt(reader.get(), SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout), 0);
    }

    void write(std::vector<char> const& data) {
        ASSERT_TRUE(ipc_io::writeFully(writer.get(), data.data(), data.size()));
    }

    void closeWriter() { writer.reset(); }

    size_t unreadBytes() const {
        int pending = -1;
        EXPECT_EQ(::ioctl(reader.get(), FIONREAD, &pending), 0);
        return pending < 0 ? 0 : static_cast<size_t>(pending);
    }

    // True once the reader has taken every byte written so far.
    bool waitUntilDrained(std::chrono::milliseconds limit) const {
        auto deadline = std::chrono::steady_clock::now() + limit;
        while (std::chrono::steady_clock::now() < deadline) {
            if (unreadBytes() == 0) return true;
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
        return false;
    }

    ipc_frame::FrameOutcome receive(IPCMessageStruct& frame) {
        return ipc_frame::receiveFrame(reader.get(), frame, [] { return true; });
    }

    ScopedFd reader;
    ScopedFd writer;
    LogCapture log;
};

}  // namespace

// ---------------------------------------------------------------------------
// Header bytes

TEST(IPCFrameHeaderTest, EncodesMarkerTypeAndLengthBigEndian) {
    EXPECT_EQ(hex(headerBytes(54, 20)), hex(bytes({0x6D}, {0x00, 0x00, 0x36}, {0x00, 0x00, 0x00, 0x14})));
    EXPECT_EQ(hex(headerBytes(5, 256)), hex(bytes({0x6D}, {0x00, 0x00, 0x05}, {0x00, 0x00, 0x01, 0x00})));
    EXPECT_EQ(hex(headerBytes(0x123456, 0x89ABCDEF)),
              hex(bytes({0x6D}, {0x12, 0x34, 0x56}, {0x89, 0xAB, 0xCD, 0xEF})));
}

TEST(IPCFrameHeaderTest, EmptyPayloadGivesLengthZero) {
    IPCMessageStruct message;
    message.type = IPC_MSG_ALLOWED_MESSAGE_LIST;
    unsigned char header[ipc_frame::kHeaderBytes];
    ipc_frame::encodeHeader(message, header);
    EXPECT_EQ(hex(std::vector<char>(header, header + sizeof header)),
              hex(bytes({0x6D}, {0x00, 0x00, 0x01}, {0x00, 0x00, 0x00, 0x00})));
}

TEST(IPCFrameHeaderTest, TypeKeepsOnlyItsLow24Bits) {
    EXPECT_EQ(hex(headerBytes(0xAB000036, 1)), hex(bytes({0x6D}, {0x00, 0x00, 0x36}, {0x00, 0x00, 0x00, 0x01})));
    EXPECT_EQ(hex(headerBytes(0xFFFFFFFF, 0)), hex(bytes({0x6D}, {0xFF, 0xFF, 0xFF}, {0x00, 0x00, 0x00, 0x00})));
}

TEST(IPCFrameHeaderTest, DecodesWhatWasEncoded) {
    const uint32_t cases[][2] = {{54, 20}, {0, 0}, {0xFFFFFF, 0xFFFFFFFF}, {0x800000, 0x80000000u}, {65, 256}};
    for (auto const& c : cases) {
        unsigned char header[ipc_frame::kHeaderBytes];
        ipc_frame::encodeHeader(c[0], c[1], header);
        ipc_frame::Header decoded;
        ASSERT_TRUE(ipc_frame::decodeHeader(header, decoded));
        EXPECT_EQ(decoded.type, c[0]);
        EXPECT_EQ(decoded.length, c[1]);
    }
}

TEST(IPCFrameHeaderTest, WrongMarkerIsOutOfSync) {
    for (int marker : {0x00, 0x6C, 0x6E, 0xED, 0xFF}) {
        unsigned char header[ipc_frame::kHeaderBytes] = {static_cast<unsigned char>(marker), 0x00, 0x00, 0x36, 0x00, 0x00, 0x00, 0x14};
        ipc_frame::Header decoded;
        EXPECT_FALSE(ipc_frame::decodeHeader(header, decoded)) << marker;
    }
}

// ---------------------------------------------------------------------------
// receiveFrame over a real socket pair

TEST_F(FrameReaderTest, WholeFrameArrivesAsTypeAndPayload) {
    const std::vector<char> payload = bytes({0x00, 0x00, 0x00, 0x0F}, {'h', 't', 't', 'p', ':', '/', '/', 'b', 'o', 'x',
                                                                       '/', 'a', '.', 't', 's'}, {0x00});
    ASSERT_EQ(payload.size(), 20u);
    IPCMessageStruct sent;
    sent.type = IPC_MSG_LAUNCH_URI;
    sent.data = payload;
    ASSERT_TRUE(ipc_io::writeFrame(writer.get(), sent));

    IPCMessageStruct frame;
    EXPECT_EQ(receive(frame), ipc_frame::FrameOutcome::Frame);
    EXPECT_EQ(frame.type, IPC_MSG_LAUNCH_URI);
    EXPECT_EQ(frame.data, payload);
    expectOneLine(log, 5, 219, "New message received: 54 length 20");
}

TEST_F(FrameReaderTest, HeaderAndPayloadArrivingInPiecesAreAssembled) {
    const std::vector<char> header = headerBytes(0xFEDCBA, 10);
    const std::vector<char> payload = bytes({0, 1, 2, 3, 4, 5, 6, 7, 8, 9});
    const std::vector<std::vector<char>> pieces = {
        {header.begin(), header.begin() + 3}, {header.begin() + 3, header.end()},
        {payload.begin(), payload.begin() + 1}, {payload.begin() + 1, payload.begin() + 6},
        {payload.begin() + 6, payload.end()}};

    // Each piece goes out only once the reader has taken the one before, so
    // every piece is a separate recv() on the reading side.
    std::atomic<bool> allDrained{true};
    std::thread writerThread([&] {
        for (auto const& piece : pieces) {
            if (!ipc_io::writeFully(writer.get(), piece.data(), piece.size()) ||
                !waitUntilDrained(std::chrono::seconds(5))) {
                allDrained = false;
                ::shutdown(writer.get(), SHUT_WR);  // let the reader fail instead of hang
                return;
            }
        }
    });
    IPCMessageStruct frame;
    ipc_frame::FrameOutcome outcome = receive(frame);
    writerThread.join();

    EXPECT_TRUE(allDrained);
    EXPECT_EQ(outcome, ipc_frame::FrameOutcome::Frame);
    EXPECT_EQ(frame.type, static_cast<IPCMessageType>(0xFEDCBA));
    EXPECT_EQ(hex(frame.data), hex(payload));
    expectOneLine(log, 5, 219, "New message received: 16702650 length 10");
}

TEST_F(FrameReaderTest, EmptyPayloadIsAFrameOfItsOwn) {
    std::vector<char> stream = headerBytes(7, 0);
    std::vector<char> next = headerBytes(26, 4);
    stream.insert(stream.end(), next.begin(), next.end());
    stream.insert(stream.end(), {0x00, 0x00, 0x00, 0x2A});
    write(stream);

    IPCMessageStruct frame;
    frame.data = bytes({0xAA, 0xBB});
    EXPECT_EQ(receive(frame), ipc_frame::FrameOutcome::Frame);
    EXPECT_EQ(frame.type, IPCMessageType{7});
    EXPECT_TRUE(frame.data.empty());
    expectOneLine(log, 5, 219, "New message received: 7 length 0");
    EXPECT_EQ(unreadBytes(), 12u);  // nothing of the next frame was taken

    EXPECT_EQ(receive(frame), ipc_frame::FrameOutcome::Frame);
    EXPECT_EQ(frame.type, IPCMessageType{26});
    EXPECT_EQ(frame.data, bytes({0x00, 0x00, 0x00, 0x2A}));
}

TEST_F(FrameReaderTest, WrongMarkerIsOutOfSyncWithoutReadingFurther) {
    std::vector<char> stream = bytes({0x6C}, {0x00, 0x00, 0x36}, {0x00, 0x00, 0x00, 0x02}, {0x68, 0x69});
    write(stream);
    IPCMessageStruct frame;
    EXPECT_EQ(receive(frame), ipc_frame::FrameOutcome::OutOfSync);
    expectOneLine(log, 1, 200, "Out of sync. Terminate connection.");
    EXPECT_EQ(unreadBytes(), 2u);  // no scan for the next marker
}

TEST_F(FrameReaderTest, LengthAboveLimitIsRefusedBeforeAllocating) {
    for (uint32_t length : {ipc_frame::kMaxPayloadBytes + 1, 0x80000000u, 0xFFFFFFFFu}) {
        log.clear();
        write(headerBytes(54, length));
        IPCMessageStruct frame;
        EXPECT_EQ(receive(frame), ipc_frame::FrameOutcome::TooLarge);
        EXPECT_EQ(frame.data.capacity(), 0u);
        expectOneLine(log, 1, 205,
                      "Frame too large: type 54 length " + std::to_string(length) + ". Terminate connection.");
    }
}

TEST_F(FrameReaderTest, LengthAtLimitIsAccepted) {
    write(headerBytes(54, ipc_frame::kMaxPayloadBytes));
    closeWriter();
    IPCMessageStruct frame;
    EXPECT_EQ(receive(frame), ipc_frame::FrameOutcome::Closed);  // accepted, then the peer went
    std::vector<kesustb::testing::LogEntry> lines = log.lines();
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(lines[0].line, 219);
    EXPECT_EQ(lines[1].line, 227);
}

TEST_F(FrameReaderTest, PeerClosingBeforeOrInsideHeaderIsClosed) {
    const std::vector<char> header = headerBytes(54, 3);
    for (size_t sent : {size_t{0}, size_t{5}, header.size() - 1}) {
        SCOPED_TRACE(sent);
        connect();
        log.clear();
        write(std::vector<char>(header.begin(), header.begin() + static_cast<std::ptrdiff_t>(sent)));
        closeWriter();
        IPCMessageStruct frame;
        EXPECT_EQ(receive(frame), ipc_frame::FrameOutcome::Closed);
        expectOneLine(log, 3, 172, "Connection closed");
    }
}

TEST_F(FrameReaderTest, PeerClosingInsidePayloadIsClosedAndFrameDropped) {
    std::vector<char> stream = headerBytes(19, 9);
    const std::vector<char> payload = bytes({0x00, 0x00, 0x00, 0x01}, {0x00, 0x00, 0x00, 0x00, 0x00});
    stream.insert(stream.end(), payload.begin(), payload.end() - 1);
    write(stream);
    closeWriter();
    IPCMessageStruct frame;
    EXPECT_EQ(receive(frame), ipc_frame::FrameOutcome::Closed);
    std::vector<kesustb::testing::LogEntry> lines = log.lines();
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(lines[0].text, "New message received: 19 length 9");
    EXPECT_EQ(lines[1].level, 3);
    EXPECT_EQ(lines[1].line, 227);
    EXPECT_EQ(lines[1].text, "Connection closed");
}

TEST_F(FrameReaderTest, StopSeenAfterHeaderLeavesPayloadUnread) {
    std::vector<char> stream = headerBytes(54, 4);
    stream.insert(stream.end(), {0x00, 0x00, 0x00, 0x00});
    int asked = 0;
    auto stopped = [&asked] {
        ++asked;
        return false;
    };

    write(std::vector<char>(stream.begin(), stream.begin() + 7));
    std::thread lastByte([&] {
        if (waitUntilDrained(std::chrono::seconds(5))) write(std::vector<char>(stream.begin() + 7, stream.end()));
        else ::shutdown(writer.get(), SHUT_WR);
    });
    IPCMessageStruct frame;
    ipc_frame::FrameOutcome outcome = ipc_frame::receiveFrame(reader.get(), frame, stopped);
    lastByte.join();

    EXPECT_EQ(outcome, ipc_frame::FrameOutcome::Stopped);
    EXPECT_EQ(asked, 1);  // once, with the header whole
    EXPECT_TRUE(log.lines().empty());
    EXPECT_EQ(unreadBytes(), 4u);
}

TEST_F(FrameReaderTest, ReadFailureInHeaderIsReadError) {
    int pipeFds[2];
    ASSERT_EQ(::pipe(pipeFds), 0);
    ScopedFd pipeRead(pipeFds[0]);
    ScopedFd pipeWrite(pipeFds[1]);
    ASSERT_EQ(::write(pipeWrite.get(), "m", 1), 1);
    IPCMessageStruct frame;
    // recv() on a descriptor that is no socket fails.
    EXPECT_EQ(ipc_frame::receiveFrame(pipeRead.get(), frame, [] { return true; }),
              ipc_frame::FrameOutcome::ReadError);
    expectOneLine(log, 1, 174, "Read error. Terminate connection");
}

TEST_F(FrameReaderTest, ReadFailureInPayloadIsReadError) {
    std::vector<char> stream = headerBytes(54, 4);
    stream.insert(stream.end(), {0x00, 0x00, 0x00, 0x00});
    write(stream);
    int pipeFds[2];
    ASSERT_EQ(::pipe(pipeFds), 0);
    ScopedFd pipeRead(pipeFds[0]);
    ScopedFd pipeWrite(pipeFds[1]);
    // Once the header is in, the reader's descriptor turns into a pipe.
    auto swapDescriptor = [&] { return ::dup2(pipeRead.get(), reader.get()) == reader.get(); };
    IPCMessageStruct frame;
    EXPECT_EQ(ipc_frame::receiveFrame(reader.get(), frame, swapDescriptor), ipc_frame::FrameOutcome::ReadError);
    std::vector<kesustb::testing::LogEntry> lines = log.lines();
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(lines[1].level, 1);
    EXPECT_EQ(lines[1].line, 229);
    EXPECT_EQ(lines[1].text, "Read error. Terminate connection");
}

TEST_F(FrameReaderTest, BackToBackFramesInOneWriteAreReadOneByOne) {
    std::vector<char> stream;
    for (uint32_t type : {5u, 60u, 40u}) {
        std::vector<char> header = headerBytes(type, 2);
        stream.insert(stream.end(), header.begin(), header.end());
        stream.push_back(static_cast<char>(type));
        stream.push_back(static_cast<char>(0xFF));
    }
    write(stream);
    closeWriter();
    for (int type : {5, 60, 40}) {
        IPCMessageStruct frame;
        ASSERT_EQ(receive(frame), ipc_frame::FrameOutcome::Frame);
        EXPECT_EQ(frame.type, static_cast<IPCMessageType>(type));
        EXPECT_EQ(frame.data, bytes({static_cast<uint8_t>(type), 0xFF}));
    }
    IPCMessageStruct frame;
    EXPECT_EQ(receive(frame), ipc_frame::FrameOutcome::Closed);
}
