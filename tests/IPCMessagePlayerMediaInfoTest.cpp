#include "ipc/IPCMessagePlayerMediaInfo.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "PayloadBytes.h"

using test_bytes::bytes;
using test_bytes::cutShort;
using test_bytes::hex;

namespace {

IPCMessageStruct rawOf(std::vector<char> payload) {
    IPCMessageStruct raw;
    raw.type = IPC_MSG_PLAYER_MEDIA_INFO;
    raw.data = std::move(payload);
    return raw;
}

IPCJSPlayerMediaInfo decodedInfo(std::vector<char> payload) {
    IPCMessagePlayerMediaInfo message(rawOf(std::move(payload)));
    message.unserialize();
    return message.info;
}

std::vector<char> encoded(IPCJSPlayerMediaInfo info) {
    IPCMessagePlayerMediaInfo message(IPC_MSG_PLAYER_MEDIA_INFO, std::move(info));
    message.serialize();
    return message.messageStruct.data;
}

IPCJSPlayerMediaInfo textFlagValue(std::string text, bool flag, uint64_t value) {
    IPCJSPlayerMediaInfo info;
    info.text = std::move(text);
    info.flag = flag;
    info.value = value;
    return info;
}

IPCJSPlayerMediaInfo::Stream stream(uint32_t n1, uint32_t n2, uint32_t n3, std::string t1, std::string t2) {
    IPCJSPlayerMediaInfo::Stream s;
    s.number1 = n1;
    s.number2 = n2;
    s.number3 = n3;
    s.text1 = std::move(t1);
    s.text2 = std::move(t2);
    return s;
}

// text "ab", flag true, value 1, no streams
std::vector<char> goldenWithoutStreams() {
    return bytes({0x00, 0x00, 0x00, 0x02, 0x61, 0x62, 0x00},
                 {0xFF},
                 {0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x01},
                 {0x00, 0x00});
}

// The same with one stream: 1, 2, 3, "x", ""
std::vector<char> goldenWithOneStream() {
    return bytes({0x00, 0x00, 0x00, 0x02, 0x61, 0x62, 0x00},
                 {0xFF},
                 {0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x01},
                 {0x00, 0x01},
                 {0x00, 0x00, 0x00, 0x01, 0x00, 0x00, 0x00, 0x02, 0x00, 0x00, 0x00, 0x03},
                 {0x00, 0x00, 0x00, 0x01, 0x78, 0x00},
                 {0x00, 0x00, 0x00, 0x00, 0x00});
}

}  // namespace

TEST(IPCMessagePlayerMediaInfoTest, BuiltFromStructHasDefaultRecord) {
    IPCMessagePlayerMediaInfo message(rawOf(goldenWithoutStreams()));
    EXPECT_EQ(message.type, IPC_MSG_PLAYER_MEDIA_INFO);
    EXPECT_EQ(message.messageStruct.type, IPC_MSG_PLAYER_MEDIA_INFO);
    EXPECT_EQ(message.messageStruct.data, goldenWithoutStreams());
    EXPECT_EQ(message.info, IPCJSPlayerMediaInfo{});
}

TEST(IPCMessagePlayerMediaInfoTest, RecordWithoutStreamsEncodesAndDecodesBack) {
    const IPCJSPlayerMediaInfo info = textFlagValue("ab", true, 1);
    const std::vector<char> golden = goldenWithoutStreams();
    EXPECT_EQ(golden.size(), 18u);
    EXPECT_EQ(hex(encoded(info)), hex(golden));
    EXPECT_EQ(decodedInfo(golden), info);

    // One byte short cuts the count: the fields before it are whole and kept.
    IPCJSPlayerMediaInfo cut;
    EXPECT_FALSE(IPCMessagePlayerMediaInfo::decode(cutShort(golden), cut));
    EXPECT_EQ(cut, info);
}

TEST(IPCMessagePlayerMediaInfoTest, FalseFlagIsZeroByte) {
    const std::vector<char> golden = bytes({0x00, 0x00, 0x00, 0x00, 0x00},
                                           {0x00},
                                           {0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00},
                                           {0x00, 0x00});
    EXPECT_EQ(hex(encoded(IPCJSPlayerMediaInfo{})), hex(golden));
    IPCJSPlayerMediaInfo decoded;
    EXPECT_TRUE(IPCMessagePlayerMediaInfo::decode(golden, decoded));
    EXPECT_EQ(decoded, IPCJSPlayerMediaInfo{});
}

TEST(IPCMessagePlayerMediaInfoTest, AnyNonZeroFlagByteIsTrueAndEncodesAsFF) {
    std::vector<char> payload = goldenWithoutStreams();
    payload[7] = 0x01;
    IPCMessagePlayerMediaInfo message(rawOf(payload));
    message.unserialize();
    EXPECT_TRUE(message.info.flag);
    message.serialize();
    EXPECT_EQ(hex(message.messageStruct.data), hex(goldenWithoutStreams()));
}

TEST(IPCMessagePlayerMediaInfoTest, StreamEntryEncodesAndDecodesBack) {
    IPCJSPlayerMediaInfo info = textFlagValue("ab", true, 1);
    info.streams.push_back(stream(1, 2, 3, "x", ""));
    const std::vector<char> golden = goldenWithOneStream();
    EXPECT_EQ(hex(encoded(info)), hex(golden));
    EXPECT_EQ(decodedInfo(golden), info);

    // Only the last terminator is gone, which is never checked.
    IPCJSPlayerMediaInfo cut;
    EXPECT_TRUE(IPCMessagePlayerMediaInfo::decode(cutShort(golden), cut));
    EXPECT_EQ(cut, info);

    // Into the last text's length: the entry is dropped, the fields before stay.
    EXPECT_FALSE(IPCMessagePlayerMediaInfo::decode(cutShort(golden, 2), cut));
    EXPECT_EQ(cut, textFlagValue("ab", true, 1));
}

TEST(IPCMessagePlayerMediaInfoTest, SeveralStreamsWithWideValuesRoundTrip) {
    IPCJSPlayerMediaInfo info = textFlagValue(std::string("u\0ri", 4), false, 0x8000000000000001u);
    info.streams.push_back(stream(0xFFFFFFFFu, 0, 0x80000000u, "video", "h264"));
    info.streams.push_back(stream(7, 8, 9, "", std::string(260, 'z')));
    info.streams.push_back(stream(0, 0, 0, "\xFF\xFE", ""));
    std::vector<char> payload = encoded(info);
    EXPECT_EQ(payload.size(), (4u + 4 + 1) + 1 + 8 + 2 + (12 + 10 + 9) + (12 + 5 + 265) + (12 + 7 + 5));
    EXPECT_EQ(decodedInfo(payload), info);
}

// The range failure: the payload ends before the flag byte. Decoding stops
// quietly with only the text set; nothing is thrown.
TEST(IPCMessagePlayerMediaInfoTest, PayloadEndingBeforeFlagLeavesDefaultsWithText) {
    const std::vector<char> endsAfterTerminator = bytes({0x00, 0x00, 0x00, 0x02, 0x61, 0x62, 0x00});
    for (auto const& payload : {endsAfterTerminator, cutShort(endsAfterTerminator)}) {
        IPCMessagePlayerMediaInfo message(rawOf(payload));
        message.info = textFlagValue("old", true, 5);
        message.info.streams.push_back(stream(1, 1, 1, "s", "s"));
        EXPECT_NO_THROW(message.unserialize());
        EXPECT_EQ(message.info, textFlagValue("ab", false, 0)) << hex(payload);
        EXPECT_EQ(message.messageStruct.data, payload);

        IPCJSPlayerMediaInfo info;
        EXPECT_FALSE(IPCMessagePlayerMediaInfo::decode(payload, info));
    }
}

TEST(IPCMessagePlayerMediaInfoTest, PayloadWithoutWholeTextLeavesAllDefaults) {
    const std::vector<std::vector<char>> payloads = {
        {},
        bytes({0x00, 0x00, 0x00}),
        bytes({0x00, 0x00, 0x00, 0x03}, {0x61, 0x62}),
        bytes({0xFF, 0xFF, 0xFF, 0xFF}, {0x61, 0x00}, {0xFF}),
    };
    for (auto const& payload : payloads) {
        IPCMessagePlayerMediaInfo message(rawOf(payload));
        message.info = textFlagValue("old", true, 5);
        message.unserialize();
        EXPECT_EQ(message.info, IPCJSPlayerMediaInfo{}) << hex(payload);
    }
}

TEST(IPCMessagePlayerMediaInfoTest, PayloadEndingInsideValueKeepsTextAndFlag) {
    const std::vector<char> payload = bytes({0x00, 0x00, 0x00, 0x01, 0x61, 0x00}, {0x7F}, {0x00, 0x00, 0x00, 0x09});
    IPCJSPlayerMediaInfo info;
    EXPECT_FALSE(IPCMessagePlayerMediaInfo::decode(payload, info));
    EXPECT_EQ(info, textFlagValue("a", true, 0));
}

TEST(IPCMessagePlayerMediaInfoTest, DecodingTwiceGivesOneCopyOfTheStreams) {
    IPCMessagePlayerMediaInfo message(rawOf(goldenWithOneStream()));
    message.unserialize();
    message.unserialize();
    EXPECT_EQ(message.info.streams.size(), 1u);
}

TEST(IPCMessagePlayerMediaInfoTest, IgnoresBytesAfterTheLastEntry) {
    std::vector<char> payload = goldenWithOneStream();
    payload.push_back(0x55);
    payload.push_back(0x66);
    IPCJSPlayerMediaInfo info;
    EXPECT_TRUE(IPCMessagePlayerMediaInfo::decode(payload, info));
    EXPECT_EQ(info.streams.size(), 1u);
}

TEST(IPCMessagePlayerMediaInfoTest, HostileStreamCountStopsAtPayloadEnd) {
    std::vector<char> payload = goldenWithOneStream();
    payload[16] = static_cast<char>(0xFF);  // count 00 01 becomes FF FF
    payload[17] = static_cast<char>(0xFF);
    IPCJSPlayerMediaInfo info;
    EXPECT_FALSE(IPCMessagePlayerMediaInfo::decode(payload, info));
    ASSERT_EQ(info.streams.size(), 1u);
    EXPECT_EQ(info.streams[0], stream(1, 2, 3, "x", ""));
    EXPECT_LT(info.streams.capacity(), 16u);  // sized by the payload, not by the claim
}

TEST(IPCMessagePlayerMediaInfoTest, HostileTextLengthInsideAStreamStopsThere) {
    std::vector<char> payload = goldenWithOneStream();
    payload[30] = static_cast<char>(0xFF);  // text1 length 00 00 00 01 becomes FF 00 00 01
    IPCJSPlayerMediaInfo info;
    EXPECT_FALSE(IPCMessagePlayerMediaInfo::decode(payload, info));
    EXPECT_EQ(info, textFlagValue("ab", true, 1));
}

// The count travels in 16 bits, so only the first 65535 streams are written
// and the count matches what follows.
TEST(IPCMessagePlayerMediaInfoTest, MoreStreamsThanTheCountHoldsAreCappedWhenEncoded) {
    IPCJSPlayerMediaInfo info;
    info.streams.resize(IPCJSPlayerMediaInfo::kMaxStreams + 2);
    for (size_t i = 0; i < info.streams.size(); ++i) info.streams[i].number1 = static_cast<uint32_t>(i);
    std::vector<char> payload = encoded(info);
    ASSERT_EQ(payload.size(), 5u + 1 + 8 + 2 + 22u * IPCJSPlayerMediaInfo::kMaxStreams);
    EXPECT_EQ(static_cast<unsigned char>(payload[14]), 0xFF);
    EXPECT_EQ(static_cast<unsigned char>(payload[15]), 0xFF);

    IPCJSPlayerMediaInfo decoded;
    EXPECT_TRUE(IPCMessagePlayerMediaInfo::decode(payload, decoded));
    ASSERT_EQ(decoded.streams.size(), IPCJSPlayerMediaInfo::kMaxStreams);
    EXPECT_EQ(decoded.streams.back().number1, IPCJSPlayerMediaInfo::kMaxStreams - 1);
}

TEST(IPCMessagePlayerMediaInfoTest, RecordsCompareFieldByField) {
    IPCJSPlayerMediaInfo a = textFlagValue("t", true, 2);
    a.streams.push_back(stream(1, 2, 3, "a", "b"));
    IPCJSPlayerMediaInfo b = a;
    EXPECT_EQ(a, b);
    b.streams[0].text2 = "c";
    EXPECT_NE(a, b);
    b = a;
    b.value = 3;
    EXPECT_NE(a, b);
}
