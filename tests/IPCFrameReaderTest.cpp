// The frame reader on a socket pair: frames whole or in pieces, a wrong marker, a length beyond the bound, a
// peer that ends, falls silent or is told to stop; what it returns, what it leaves unread and what it logs.
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstring>
#include <sstream>
#include <string>

#include "PayloadBytes.h"
#include "fakes/LogCapture.h"
#include "kesu/ipc/IPCFrameReader.h"
#include "kesu/ipc/IPCSocketIO.h"

namespace {

using kesu_test::LogCapture;
using test_bytes::hex;
using test_bytes::unhex;
using Outcome = ipc_frame::FrameOutcome;

// The stream ends as the peer ends it, falls silent (recv times out) or as the
// reader is told to stop. "|" splits it into SOCK_SEQPACKET packets, which recv
// returns one by one. frames: those read, encoded again; left: bytes never read.
enum class End { Eof, Silent, Stop };
struct ReaderRow {
    const char* stream;
    End end;
    Outcome outcome;
    const char* frames;
    int left;
    const char* log;
};
const ReaderRow kReader[] = {
    {"6D000036 00|000003|61|6263|6DFE|DCBA 0000|0000", End::Eof, Outcome::Closed,
     "6D000036 00000003 616263 6DFEDCBA 00000000", 0,
     "5:219 New message received: 54 length 3|5:219 New message received: 16702650 length 0|3:172 Connection closed"},
    {"6D000036 00", End::Eof, Outcome::Closed, "", 0, "3:172 Connection closed"},
    {"6C000036 00000002 6869", End::Eof, Outcome::OutOfSync, "", 2, "1:200 Out of sync. Terminate connection."},
    {"6D000036 01000001", End::Eof, Outcome::TooLarge, "", 0,
     "1:205 Frame too large: type 54 length 16777217. Terminate connection."},
    {"6D000036 FFFFFFFF", End::Eof, Outcome::TooLarge, "", 0,
     "1:205 Frame too large: type 54 length 4294967295. Terminate connection."},
    {"6D000036 01000000", End::Eof, Outcome::Closed, "", 0,
     "5:219 New message received: 54 length 16777216|3:227 Connection closed"},
    {"6D00", End::Silent, Outcome::ReadError, "", 0, "1:174 Read error. Terminate connection"},
    {"6D000036 00000004 00", End::Silent, Outcome::ReadError, "", 0,
     "5:219 New message received: 54 length 4|1:229 Read error. Terminate connection"},
    {"6D000036 00000004 00000000", End::Stop, Outcome::Stopped, "", 4, ""},
};

TEST(IPCFrameReaderTest, Rows) {
    for (const ReaderRow& row : kReader) {
        SCOPED_TRACE(row.stream);
        int fd[2];
        ASSERT_EQ(socketpair(AF_UNIX, std::strchr(row.stream, '|') ? SOCK_SEQPACKET : SOCK_STREAM, 0, fd), 0);
        const timeval timeout{0, 200000};
        ASSERT_EQ(setsockopt(fd[0], SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout), 0);
        std::istringstream pieces(row.stream);
        for (std::string piece; std::getline(pieces, piece, '|');)
            ASSERT_TRUE(ipc_io::writeFully(fd[1], unhex(piece).data(), unhex(piece).size()));
        if (row.end != End::Silent) shutdown(fd[1], SHUT_WR);
        LogCapture log;
        std::vector<char> frames;
        IPCMessageStruct frame;
        Outcome outcome = Outcome::Frame;
        while (outcome == Outcome::Frame) {
            outcome = ipc_frame::receiveFrame(fd[0], frame, [&] { return row.end != End::Stop; });
            if (outcome != Outcome::Frame) break;
            unsigned char header[ipc_frame::kHeaderBytes];
            ipc_frame::encodeHeader(frame, header);
            frames.insert(frames.end(), header, header + sizeof header);
            frames.insert(frames.end(), frame.data.begin(), frame.data.end());
        }
        EXPECT_EQ(outcome, row.outcome);
        EXPECT_EQ(hex(frames), hex(unhex(row.frames)));
        int left = -1;
        EXPECT_EQ(ioctl(fd[0], FIONREAD, &left), 0);
        EXPECT_EQ(left, row.left);
        EXPECT_EQ(log.lines(), row.log);
        for (int end : fd) close(end);
    }
}

}  // namespace
