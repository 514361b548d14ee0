// Payload encodings of every message class, the factory, and the frame
// reader over a real socket pair.
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <climits>
#include <cstring>
#include <functional>
#include <thread>
#include <typeinfo>

#include "PayloadBytes.h"
#include "fakes/Eventually.h"
#include "fakes/LogCapture.h"
#include "kesu/ipc/IPCFrameReader.h"
#include "kesu/ipc/IPCMessageFactory.h"
#include "kesu/ipc/IPCSocketIO.h"

using test_bytes::hex;
using test_bytes::unhex;

namespace {

using Info = IPCJSPlayerMediaInfo;
using Outcome = ipc_frame::FrameOutcome;

IPCMessageStruct raw(int type, std::vector<char> data) { return {static_cast<IPCMessageType>(type), std::move(data)}; }

std::type_info const& classOf(IPCMessage const& message) { return typeid(message); }

// Decodes `payload` into `message` and returns what the message encodes back
// to. Inside the payload's buffer, past its end, lie 0xFF bytes: a decoder
// that reads beyond the end takes them and shows it.
std::string reencoded(IPCMessage& message, std::vector<char> payload) {
    const size_t size = payload.size();
    payload.resize(size + 16, '\xFF');
    payload.resize(size);
    message.messageStruct.data = std::move(payload);
    message.unserialize();
    message.serialize();
    return hex(message.messageStruct.data);
}

PlayerPlaybackRecord record(std::string const& bytes) {
    PlayerPlaybackRecord r;
    std::memcpy(&r, unhex(bytes).data(), sizeof r);
    return r;
}

const std::string kPlayback = "10111213 1415 161718191A1B1C1D1E1F2021 22232425262728292A2B2C2D";
const std::string kPlaybackDefault = "FFFFFFFF 0000 000000000000000000000000 000000000000000000000000";
const std::string kMediaAb = "00000002 6162 00 FF 0000000000000001";  // "ab", flag, value 1; count follows
const std::string kMediaDefault = "00000000 00 00 0000000000000000 0000";
const std::string kStream123 = "00000001 00000002 00000003 00000001 78 00 00000000 00";  // 1, 2, 3, "x", ""

template <class Message, class... Members>
std::function<IPCMessage*(IPCMessageType)> make(Members... members) {
    return [=](IPCMessageType type) { return new Message(type, members...); };
}

// cut: what the message holds after decoding the payload one byte short
// (having decoded the whole one before); nullptr when that is the row itself.
struct Golden { int type; std::function<IPCMessage*(IPCMessageType)> make; std::string hex; const char* cut; };
const Golden kGolden[] = {
    {26, make<IPCMessageUnsignedInt>(258u), "00000102", "00000000"},
    {33, make<IPCMessageUnsignedInt64>(0xF102830405060788u), "F1028304 05060788", "00000000 00000000"},
    {60, make<IPCMessageUnsignedIntArray>(std::vector<uint32_t>{1, 0x80000002u}), "00000002 00000001 80000002",
     "00000001 00000001"},
    {60, make<IPCMessageUnsignedIntArray>(std::vector<uint32_t>{}), "00000000", nullptr},
    {54, make<IPCMessageSimpleString>(std::string("abc")), "00000003 616263 00", nullptr},
    {5, make<IPCMessageSimpleString>(std::string()), "00000000 00", nullptr},
    {8, make<IPCMessageSimpleString>(std::string("a\0\xFF", 3)), "00000003 6100FF 00", nullptr},
    {19, make<IPCMessageStringArray>(std::vector<std::string>{"a", ""}), "00000002 00000001 61 00 00000000 00", nullptr},
    {21, make<IPCMessageStringArray>(std::vector<std::string>{}), "00000000", nullptr},
    {15, make<IPCMessageRecorderStats>(uint8_t{0xFE}), "FE", nullptr},
    {32, make<IPCMessagePlayerPlaybackInfo>(record(kPlayback)), kPlayback, nullptr},
    {40, make<IPCMessagePlayerMediaInfo>(Info{"ab", true, 1, {}}), kMediaAb + "0000", nullptr},
    {40,
     make<IPCMessagePlayerMediaInfo>(
         Info{"", false, 0x8000000000000001u, {{1, 2, 3, "x", ""}, {0xFFFFFFFFu, 0, 0x80000000u, "", "yz"}}}),
     "00000000 00 00 8000000000000001 0002" + kStream123 + "FFFFFFFF 00000000 80000000 00000000 00 00000002 797A 00",
     nullptr},
};

TEST(CodecTest, GoldenRowsEncodeDecodeReencodeAndCutShort) {
    for (const Golden& row : kGolden) {
        SCOPED_TRACE(row.hex);
        std::unique_ptr<IPCMessage> sent(row.make(static_cast<IPCMessageType>(row.type)));
        EXPECT_EQ(sent->messageStruct.type, static_cast<IPCMessageType>(row.type));
        EXPECT_TRUE(sent->messageStruct.data.empty());
        sent->serialize();
        EXPECT_EQ(hex(sent->messageStruct.data), hex(unhex(row.hex)));

        std::unique_ptr<IPCMessage> back = IPCMessageFactory::getMessage(raw(row.type, {}));
        EXPECT_EQ(classOf(*back), classOf(*sent));
        EXPECT_EQ(reencoded(*back, sent->messageStruct.data), hex(sent->messageStruct.data));
        std::vector<char> cut = unhex(row.hex);
        cut.pop_back();
        EXPECT_EQ(reencoded(*back, cut), hex(unhex(row.cut != nullptr ? row.cut : row.hex)));
    }
}

// Counts and lengths are claims. `before` is decoded first, so that what a
// bad payload leaves behind shows; `after` is what the message then encodes.
struct Hostile { int type; std::string before, payload, after; };
const Hostile kHostile[] = {
    {26, "", "0000002A FF", "0000002A"},  // bytes after the last field are ignored
    {33, "", "00000000 00000009 AA", "00000000 00000009"},
    {60, "00000001 00000009", "000001", "00000000"},
    {60, "", "FFFFFFFF 00000007 80000000 0102", "00000002 00000007 80000000"},
    {5, "00000001 61 00", "", "00000001 61 00"},  // no whole text: the earlier one stays
    {5, "00000001 61 00", "00", "00000001 61 00"},
    {5, "00000001 61 00", "000000", "00000001 61 00"},
    {5, "00000001 61 00", "00000003 6162", "00000001 61 00"},
    {5, "00000001 61 00", "FFFFFFFF 61", "00000001 61 00"},
    {5, "00000001 61 00", "00000000", "00000000 00"},
    {5, "", "00000002 6869", "00000002 6869 00"},  // the terminator is never checked
    {5, "", "00000001 7A 00 0102", "00000001 7A 00"},
    {19, "00000001 00000001 61 00", "0001", "00000000"},
    {19, "", "00000000 00000001 61 00", "00000000"},
    {19, "", "FFFFFFFF 00000001 78 00 FFFFFFF0 79", "00000001 00000001 78 00"},
    {19, "", "00000002 00000001 61 00 00000002 62", "00000001 00000001 61 00"},
    {15, "07", "0809", "07"},  // status records take exactly their size or nothing
    {32, "", kPlayback + "2E", kPlaybackDefault},
    {32, "", kPlayback.substr(0, kPlayback.size() - 2), kPlaybackDefault},
    {40, kMediaAb + "0000", "00000002 6162 00", "00000002 6162 00 00 0000000000000000 0000"},  // no flag byte
    {40, "", "00000002 6162 00 7F", "00000002 6162 00 FF 0000000000000000 0000"},
    {40, "", "00000002 6162 00 01 0000000000000001 0000", kMediaAb + "0000"},
    {40, kMediaAb + "0000", "", kMediaDefault},
    {40, "", "000000", kMediaDefault},
    {40, "", "00000003 6162", kMediaDefault},
    {40, "", "FFFFFFFF 6100FF", kMediaDefault},
    {40, "", kMediaAb + "FFFF" + kStream123, kMediaAb + "0001" + kStream123},
    {40, "", kMediaAb + "0001 00000001 00000002 00000003 FF000001 78 00 00000000 00", kMediaAb + "0000"},
    {40, "", kMediaAb + "0001" + kStream123 + kStream123, kMediaAb + "0001" + kStream123},
};

TEST(CodecTest, HostilePayloadsYieldTheDocumentedMembers) {
    for (const Hostile& row : kHostile) {
        SCOPED_TRACE(std::to_string(row.type) + ": " + row.payload);
        std::unique_ptr<IPCMessage> message = IPCMessageFactory::getMessage(raw(row.type, unhex(row.before)));
        message->unserialize();
        EXPECT_EQ(reencoded(*message, unhex(row.payload)), hex(unhex(row.after)));
    }
}

// Room is reserved for no more entries than the payload could hold.
TEST(CodecTest, ClaimedCountsReserveNoMoreThanThePayloadHolds) {
    IPCMessageUnsignedIntArray numbers(raw(60, unhex("FFFFFFFF 00000007")));
    IPCMessageStringArray strings(raw(19, unhex("FFFFFFFF 00000001 78 00")));
    IPCMessagePlayerMediaInfo media(raw(40, unhex(kMediaAb + "FFFF" + kStream123)));
    numbers.unserialize();
    strings.unserialize();
    media.unserialize();
    EXPECT_LT(numbers.values.capacity(), 16u);
    EXPECT_LT(strings.strings.capacity(), 16u);
    EXPECT_LT(media.info.streams.capacity(), 16u);
}

TEST(CodecTest, AllowedListIsTypeOneAndListsTypesAscendingWithoutCount) {
    IPCMessageAllowedMessageList list({IPC_MSG_LAUNCH_URI, IPC_MSG_STRING_5, IPCMessageType{0x010203}});
    EXPECT_EQ(list.type, IPC_MSG_ALLOWED_MESSAGE_LIST);
    EXPECT_EQ(list.messageStruct.type, IPC_MSG_ALLOWED_MESSAGE_LIST);
    EXPECT_EQ(reencoded(list, {}), hex(unhex("00000005 00000036 00010203")));
    list.allowedTypes.clear();
    EXPECT_EQ(reencoded(list, unhex("01")), "");
}

// The count travels in 16 bits, so only the first 65535 streams are written.
TEST(CodecTest, MediaInfoWritesNoMoreStreamsThanItsCountHolds) {
    IPCMessagePlayerMediaInfo message(IPC_MSG_PLAYER_MEDIA_INFO, Info{});
    message.info.streams.resize(Info::kMaxStreams + 2);
    message.serialize();
    std::vector<char> const& data = message.messageStruct.data;
    ASSERT_EQ(data.size(), 16 + 22 * Info::kMaxStreams);
    EXPECT_EQ(hex(std::vector<char>(data.begin() + 14, data.begin() + 16)), "FF FF");
}

// The factory's table by class; every other number gives a plain IPCMessage.
const std::pair<std::type_info const*, std::vector<int>> kClasses[] = {
    {&typeid(IPCMessageSimpleString), {5, 6, 8, 9, 10, 11, 17, 25, 44, 45, 49, 53, 54, 59, 64}},
    {&typeid(IPCMessageStringArray), {19, 21, 27, 28, 35, 48, 50, 51, 56, 57}},
    {&typeid(IPCMessageUnsignedInt), {26, 31, 34, 37, 38, 39, 46, 47, 52, 58, 63, 65}},
    {&typeid(IPCMessageUnsignedInt64), {33, 41}},
    {&typeid(IPCMessageUnsignedIntArray), {60}},
    {&typeid(IPCMessageRecorderStats), {15}},
    {&typeid(IPCMessagePlayerPlaybackInfo), {32}},
    {&typeid(IPCMessagePlayerMediaInfo), {40}},
};

TEST(CodecTest, FactoryBuildsTheClassOfEveryNumberWithTypeAndPayloadFromEitherOverload) {
    std::vector<int> numbers = {0, 1, 4, 66, 100, 0xFFFFFF, 0x1000036, INT_MAX, -1, -54, INT_MIN};
    for (int n = 5; n <= 65; ++n) numbers.push_back(n);
    const std::vector<char> payload = unhex("00000002 6869 00");
    for (int n : numbers) {
        SCOPED_TRACE(n);
        std::type_info const* expected = &typeid(IPCMessage);
        for (auto const& [cls, list] : kClasses)
            if (std::find(list.begin(), list.end(), n) != list.end()) expected = cls;
        IPCMessageStruct moved = raw(n, payload);
        const char* buffer = moved.data.data();
        std::unique_ptr<IPCMessage> built[] = {IPCMessageFactory::getMessage(raw(n, payload)),
                                               IPCMessageFactory::getMessage(std::move(moved))};
        EXPECT_EQ(built[1]->messageStruct.data.data(), buffer) << "the moved payload was copied";
        for (std::unique_ptr<IPCMessage>& message : built) {
            EXPECT_EQ(classOf(*message), *expected) << classOf(*message).name();
            EXPECT_EQ(message->type, static_cast<IPCMessageType>(n));
            EXPECT_EQ(message->messageStruct.type, static_cast<IPCMessageType>(n));
            EXPECT_EQ(message->messageStruct.data, payload);
            if (expected == &typeid(IPCMessage)) {
                EXPECT_EQ(reencoded(*message, payload), hex(payload));
            }
        }
    }
}

size_t unread(int fd) {
    int n = -1;
    return ioctl(fd, FIONREAD, &n) == 0 ? static_cast<size_t>(n) : SIZE_MAX;
}

std::string frameHex(IPCMessageStruct const& frame) {
    unsigned char header[ipc_frame::kHeaderBytes];
    ipc_frame::encodeHeader(frame, header);
    std::vector<char> bytes(header, header + sizeof header);
    bytes.insert(bytes.end(), frame.data.begin(), frame.data.end());
    return hex(bytes);
}

// How the stream ends: the peer ends it; the peer falls silent, so that recv
// fails with the receive time-out; or the reader is told to stop.
enum class End { Eof, Silent, Stop };
// A "|" in the stream waits until the reader has taken what came before it.
// frames: the frames read, written out again (which pins the header bytes
// both ways); left: bytes never read.
struct ReaderRow { const char* stream; End end; Outcome outcome; const char* frames; size_t left; const char* log; };
const ReaderRow kReader[] = {
    {"6D000036 00000003 616263 6D000007 00000000", End::Eof, Outcome::Closed,
     "6D000036 00000003 616263 6D000007 00000000", 0,
     "5:219 New message received: 54 length 3|5:219 New message received: 7 length 0|3:172 Connection closed"},
    {"6DFEDC|BA 0000000A|00|0102030405|06070809", End::Eof, Outcome::Closed, "6DFEDCBA 0000000A 00010203040506070809",
     0, "5:219 New message received: 16702650 length 10|3:172 Connection closed"},
    {"6D000036 00", End::Eof, Outcome::Closed, "", 0, "3:172 Connection closed"},
    {"6D000013 00000009 00000001 61 00 0000", End::Eof, Outcome::Closed, "", 0,
     "5:219 New message received: 19 length 9|3:227 Connection closed"},
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

TEST(CodecTest, FrameReaderRows) {
    for (const ReaderRow& row : kReader) {
        SCOPED_TRACE(row.stream);
        int fd[2];
        ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, fd), 0);
        const timeval timeout{0, 200000};
        ASSERT_EQ(setsockopt(fd[0], SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout), 0);
        kesu_test::LogCapture log;
        std::thread writer([&] {
            std::string rest = std::string(row.stream) + "|";
            for (size_t bar; (bar = rest.find('|')) != std::string::npos; rest.erase(0, bar + 1)) {
                const std::vector<char> piece = unhex(rest.substr(0, bar));
                EXPECT_TRUE(kesu_test::eventually([&] { return unread(fd[0]) == 0; }, std::chrono::seconds(5)));
                EXPECT_TRUE(ipc_io::writeFully(fd[1], piece.data(), piece.size()));
            }
            if (row.end != End::Silent) shutdown(fd[1], SHUT_WR);
        });
        std::string frames;
        IPCMessageStruct frame;
        Outcome outcome;
        while ((outcome = ipc_frame::receiveFrame(fd[0], frame, [&] { return row.end != End::Stop; })) ==
               Outcome::Frame)
            frames += (frames.empty() ? "" : " ") + frameHex(frame);
        writer.join();
        EXPECT_EQ(outcome, row.outcome);
        EXPECT_EQ(frames, hex(unhex(row.frames)));
        EXPECT_EQ(unread(fd[0]), row.left);
        std::string lines;
        for (auto const& e : log.entries())
            lines += (lines.empty() ? "" : "|") + std::to_string(e.level) + ":" + std::to_string(e.line) + " " + e.text;
        EXPECT_EQ(lines, row.log);
        close(fd[0]);
        close(fd[1]);
    }
}

}  // namespace
