// Each message class's payload: what it decodes from well-formed, short, long and hostile payloads, shown by
// what it encodes back to, and what one built from its members encodes to.
#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <string>

#include "PayloadBytes.h"
#include "kesu/ipc/IPCMessageFactory.h"

namespace {

using test_bytes::hex;
using test_bytes::unhex;
using Info = IPCJSPlayerMediaInfo;

IPCMessageStruct raw(int type, std::vector<char> data) { return {static_cast<IPCMessageType>(type), std::move(data)}; }

// What `message` encodes back to after decoding `payload`; 0xFF bytes lie past
// the payload's end inside its buffer, for a decoder that reads beyond it.
std::string reencoded(IPCMessage& message, std::vector<char> payload) {
    payload.insert(payload.end(), 16, '\xFF');
    payload.resize(payload.size() - 16);
    message.messageStruct.data = std::move(payload);
    message.unserialize();
    message.serialize();
    return hex(message.messageStruct.data);
}

const std::string kPlayback = "10111213 1415 161718191A1B1C1D1E1F2021 22232425262728292A2B2C2D";
const std::string kPlaybackDefault = "FFFFFFFF 0000 000000000000000000000000 000000000000000000000000";
const std::string kMediaAb = "00000002 6162 00 FF 0000000000000001";  // "ab", flag, value 1; count follows
const std::string kStream123 = "00000001 00000002 00000003 00000001 78 00 00000000 00";  // 1, 2, 3, "x", ""
const std::string kMediaTwoStreams =
    "00000000 00 00 8000000000000001 0002" + kStream123 + "FFFFFFFF 00000000 80000000 00000000 00 00000002 797A 00";

// A message built from its members, with the row's type.
using Maker = std::function<IPCMessage*(IPCMessageType)>;
template <class Message, class... Members>
Maker make(Members... members) {
    return [=](IPCMessageType type) { return new Message(type, members...); };
}

// `before` is decoded first, so that what a payload leaves behind shows;
// `after` is what the message then encodes ("": the payload), as does one made.
struct Row {
    int type;
    std::string before, payload, after;
    Maker made = nullptr;
};
const Row kRows[] = {
    {26, "", "00000102 FF", "00000102", make<IPCMessageUnsignedInt>(258u)},  // bytes after the last field are ignored
    {33, "", "F1028304 05060788", "", make<IPCMessageUnsignedInt64>(0xF102830405060788u)},
    {26, "00000102", "000001", "00000000"},
    {33, "F1028304 05060788", "F1028304 050607", "00000000 00000000"},
    {60, "", "00000002 00000001 80000002", "", make<IPCMessageUnsignedIntArray>(std::vector<uint32_t>{1, 0x80000002u})},
    {60, "00000001 00000009", "FFFFFFFF 00000007 80000000 0102", "00000002 00000007 80000000"},
    {54, "", "00000003 6100FF 00 01", "00000003 6100FF 00", make<IPCMessageSimpleString>(std::string("a\0\xFF", 3))},
    {5, "00000001 61 00", "", "00000001 61 00"},
    {5, "00000001 61 00", "00000003 6162", "00000001 61 00"},  // stays
    {5, "00000001 61 00", "00000000", "00000000 00"},          // the terminator is never checked
    {19, "", "00000002 00000001 61 00 00000000 00", "", make<IPCMessageStringArray>(std::vector<std::string>{"a", ""})},
    {19, "", "00000000 00000001 61 00", "00000000"},
    {19, "00000001 00000001 61 00", "FFFFFFFF 00000001 78 00 FFFFFFF0 79", "00000001 00000001 78 00"},
    {15, "", "FE", "", make<IPCMessageRecorderStats>(uint8_t{0xFE})},
    {32, "", kPlayback, ""},
    {15, "07", "0809", "07"},  // status records take exactly their size or nothing
    {32, "", kPlayback + "2E", kPlaybackDefault, make<IPCMessagePlayerPlaybackInfo>(PlayerPlaybackRecord{})},
    {32, kPlayback, kPlayback.substr(0, kPlayback.size() - 2), kPlayback},
    {40, "", kMediaAb + "0000", "", make<IPCMessagePlayerMediaInfo>(Info{"ab", true, 1, {}})},
    {40, "", kMediaTwoStreams, "",
     make<IPCMessagePlayerMediaInfo>(
         Info{"", false, 1ull << 63 | 1, {{1, 2, 3, "x", ""}, {~0u, 0, 1u << 31, "", "yz"}}})},
    {40, kMediaAb + "0000", "00000002 6162 00", "00000002 6162 00 00 0000000000000000 0000"},  // no flag byte
    {40, "", "00000002 6162 00 7F", "00000002 6162 00 FF 0000000000000000 0000"},
    {40, kMediaAb + "0000", "00000003 6162", "00000000 00 00 0000000000000000 0000"},
    {40, "", kMediaAb + "FFFF" + kStream123, kMediaAb + "0001" + kStream123},
    {40, "", kMediaAb + "0001 00000001 00000002 00000003 FF000001 78 00 00000000 00", kMediaAb + "0000"},
    {40, "", kMediaAb + "0001" + kStream123 + kStream123, kMediaAb + "0001" + kStream123},
    {1, "", "00000005 00000036 00010203", "",
     [](IPCMessageType) -> IPCMessage* {  // ascending, no count
         return new IPCMessageAllowedMessageList({IPC_MSG_LAUNCH_URI, IPC_MSG_STRING_5, IPCMessageType{0x010203}});
     }},
    {1, "", "", "", [](IPCMessageType) { return new IPCMessageAllowedMessageList({}); }},
};

TEST(PayloadCodecTest, PayloadRows) {
    for (const Row& row : kRows) {
        SCOPED_TRACE(std::to_string(row.type) + ": " + row.payload);
        const std::string expected = hex(unhex(row.after.empty() ? row.payload : row.after));
        std::unique_ptr<IPCMessage> message = IPCMessageFactory::getMessage(raw(row.type, unhex(row.before)));
        message->unserialize();
        EXPECT_EQ(reencoded(*message, unhex(row.payload)), expected);
        if (row.made == nullptr) continue;
        std::unique_ptr<IPCMessage> made(row.made(static_cast<IPCMessageType>(row.type)));
        made->serialize();
        EXPECT_EQ(hex(made->messageStruct.data), expected);
        EXPECT_EQ(made->type, row.type);
        EXPECT_EQ(made->messageStruct.type, row.type);
    }
}

// Room is reserved for no more entries than the payload could hold; the media
// info's count travels in 16 bits, so only the first 65535 streams are written.
TEST(PayloadCodecTest, CountsBoundWhatIsReservedAndWhatIsWritten) {
    IPCMessageUnsignedIntArray numbers(raw(60, unhex("FFFFFFFF 00000007")));
    IPCMessageStringArray strings(raw(19, unhex("FFFFFFFF 00000001 78 00")));
    IPCMessagePlayerMediaInfo media(raw(40, unhex(kMediaAb + "FFFF" + kStream123)));
    for (IPCMessage* message : std::initializer_list<IPCMessage*>{&numbers, &strings, &media}) message->unserialize();
    EXPECT_LT(numbers.values.capacity() + strings.strings.capacity() + media.info.streams.capacity(), 16u);
    media.info = Info{};
    media.info.streams.resize(Info::kMaxStreams + 2);
    media.serialize();
    ASSERT_EQ(media.messageStruct.data.size(), 16 + 22 * Info::kMaxStreams);
    EXPECT_EQ(hex(media.messageStruct.data).substr(14 * 3, 5), "FF FF");
}

}  // namespace
