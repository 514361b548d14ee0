#include "ipc/IPCValueMessages.h"

#include <gtest/gtest.h>

#include <set>
#include <string>
#include <vector>

#include "PayloadBytes.h"

using test_bytes::bytes;
using test_bytes::cutShort;
using test_bytes::hex;

namespace {

IPCMessageStruct rawOf(IPCMessageType type, std::vector<char> payload) {
    IPCMessageStruct raw;
    raw.type = type;
    raw.data = std::move(payload);
    return raw;
}

template <class Message>
Message decoded(std::vector<char> payload, IPCMessageType type = IPCMessageType{26}) {
    Message message(rawOf(type, std::move(payload)));
    message.unserialize();
    return message;
}

template <class Message>
std::vector<char> encoded(Message message) {
    message.serialize();
    return message.messageStruct.data;
}

}  // namespace

// ---------------------------------------------------------------------------

TEST(IPCMessageUnsignedIntTest, BuiltFromStructKeepsTypeAndPayloadWithDefaultMember) {
    IPCMessageStruct raw = rawOf(IPC_MSG_UINT_26, bytes({0x00, 0x00, 0x00, 0x07}));
    IPCMessageUnsignedInt message(raw);
    EXPECT_EQ(message.type, IPC_MSG_UINT_26);
    EXPECT_EQ(message.messageStruct.type, IPC_MSG_UINT_26);
    EXPECT_EQ(message.messageStruct.data, raw.data);
    EXPECT_EQ(message.value, 0u);  // not decoded until unserialize()
}

TEST(IPCMessageUnsignedIntTest, BuiltFromTypeNumberHasEmptyPayloadUntilSerialized) {
    IPCMessageUnsignedInt message(IPC_MSG_UINT_31, 258);
    EXPECT_EQ(message.messageStruct.type, IPC_MSG_UINT_31);
    EXPECT_TRUE(message.messageStruct.data.empty());
    message.serialize();
    std::vector<char> first = message.messageStruct.data;
    message.serialize();
    EXPECT_EQ(message.messageStruct.data, first);  // replaced, not appended
}

TEST(IPCMessageUnsignedIntTest, EncodesBigEndianAndDecodesBackAndCutShortGivesZero) {
    const std::vector<char> golden = bytes({0x00, 0x00, 0x01, 0x02});
    EXPECT_EQ(hex(encoded(IPCMessageUnsignedInt(IPC_MSG_UINT_26, 258))), hex(golden));
    EXPECT_EQ(decoded<IPCMessageUnsignedInt>(golden).value, 258u);
    EXPECT_EQ(decoded<IPCMessageUnsignedInt>(cutShort(golden)).value, 0u);
}

TEST(IPCMessageUnsignedIntTest, TopBitSurvivesRoundTrip) {
    const std::vector<char> golden = bytes({0xFF, 0xFE, 0x80, 0x7F});
    EXPECT_EQ(hex(encoded(IPCMessageUnsignedInt(IPC_MSG_UINT_26, 0xFFFE807Fu))), hex(golden));
    EXPECT_EQ(decoded<IPCMessageUnsignedInt>(golden).value, 0xFFFE807Fu);
}

TEST(IPCMessageUnsignedIntTest, IgnoresBytesAfterTheNumber) {
    EXPECT_EQ(decoded<IPCMessageUnsignedInt>(bytes({0x00, 0x00, 0x00, 0x2A}, {0xFF})).value, 42u);
}

TEST(IPCMessageUnsignedIntTest, ShortPayloadResetsAnEarlierValue) {
    IPCMessageUnsignedInt message(rawOf(IPC_MSG_UINT_26, bytes({0x00, 0x00, 0x01})));
    message.value = 99;
    message.unserialize();
    EXPECT_EQ(message.value, 0u);
    EXPECT_EQ(message.messageStruct.data, bytes({0x00, 0x00, 0x01}));  // payload untouched
}

// ---------------------------------------------------------------------------

TEST(IPCMessageUnsignedInt64Test, EncodesBigEndianAndDecodesBackAndCutShortGivesZero) {
    const std::vector<char> golden = bytes({0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x01});
    EXPECT_EQ(hex(encoded(IPCMessageUnsignedInt64(IPC_MSG_UINT64_33, 1))), hex(golden));
    EXPECT_EQ(decoded<IPCMessageUnsignedInt64>(golden).value, 1u);
    EXPECT_EQ(decoded<IPCMessageUnsignedInt64>(cutShort(golden)).value, 0u);
}

TEST(IPCMessageUnsignedInt64Test, EveryByteKeepsItsPlace) {
    const std::vector<char> golden = bytes({0xF1, 0x02, 0x83, 0x04, 0x05, 0x06, 0x07, 0x88});
    EXPECT_EQ(hex(encoded(IPCMessageUnsignedInt64(IPC_MSG_UINT64_41, 0xF102830405060788u))), hex(golden));
    EXPECT_EQ(decoded<IPCMessageUnsignedInt64>(golden).value, 0xF102830405060788u);
    EXPECT_EQ(decoded<IPCMessageUnsignedInt64>(bytes({0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x09}, {0xAA}))
                  .value,
              9u);
}

// ---------------------------------------------------------------------------

TEST(IPCMessageUnsignedIntArrayTest, EncodesCountThenNumbersAndDecodesBack) {
    const std::vector<char> golden =
        bytes({0x00, 0x00, 0x00, 0x02}, {0x00, 0x00, 0x00, 0x01}, {0x00, 0x00, 0x00, 0x02});
    EXPECT_EQ(hex(encoded(IPCMessageUnsignedIntArray(IPC_MSG_UINT_ARRAY_60, {1, 2}))), hex(golden));
    EXPECT_EQ(decoded<IPCMessageUnsignedIntArray>(golden).values, (std::vector<uint32_t>{1, 2}));
    // The whole numbers before the cut are kept.
    EXPECT_EQ(decoded<IPCMessageUnsignedIntArray>(cutShort(golden)).values, (std::vector<uint32_t>{1}));
}

TEST(IPCMessageUnsignedIntArrayTest, EmptyListIsCountZero) {
    const std::vector<char> golden = bytes({0x00, 0x00, 0x00, 0x00});
    EXPECT_EQ(hex(encoded(IPCMessageUnsignedIntArray(IPC_MSG_UINT_ARRAY_60, {}))), hex(golden));
    EXPECT_TRUE(decoded<IPCMessageUnsignedIntArray>(golden).values.empty());
    EXPECT_TRUE(decoded<IPCMessageUnsignedIntArray>(cutShort(golden)).values.empty());
}

TEST(IPCMessageUnsignedIntArrayTest, DecodingTwiceGivesOneCopy) {
    IPCMessageUnsignedIntArray message(rawOf(
        IPC_MSG_UINT_ARRAY_60, bytes({0x00, 0x00, 0x00, 0x02}, {0x00, 0x00, 0x00, 0x05}, {0x00, 0x00, 0x00, 0x06})));
    message.unserialize();
    message.unserialize();
    EXPECT_EQ(message.values, (std::vector<uint32_t>{5, 6}));
}

TEST(IPCMessageUnsignedIntArrayTest, HostileCountReadsOnlyWhatIsThere) {
    auto message = decoded<IPCMessageUnsignedIntArray>(
        bytes({0xFF, 0xFF, 0xFF, 0xFF}, {0x00, 0x00, 0x00, 0x07}, {0x80, 0x00, 0x00, 0x00}, {0x01, 0x02}));
    EXPECT_EQ(message.values, (std::vector<uint32_t>{7, 0x80000000u}));
    EXPECT_LT(message.values.capacity(), 16u);  // sized by the payload, not by the claim
}

TEST(IPCMessageUnsignedIntArrayTest, ShortPayloadClearsAnEarlierList) {
    IPCMessageUnsignedIntArray message(rawOf(IPC_MSG_UINT_ARRAY_60, bytes({0x00, 0x00, 0x01})));
    message.values = {1, 2, 3};
    message.unserialize();
    EXPECT_TRUE(message.values.empty());
}

// ---------------------------------------------------------------------------

TEST(IPCMessageSimpleStringTest, LaunchRequestHasEmptyPayloadUntilSerialized) {
    IPCMessageSimpleString message(IPC_MSG_LAUNCH_URI, "http://host/a");
    EXPECT_EQ(message.type, IPC_MSG_LAUNCH_URI);
    EXPECT_EQ(message.messageStruct.type, IPC_MSG_LAUNCH_URI);
    EXPECT_TRUE(message.messageStruct.data.empty());
    message.serialize();
    EXPECT_EQ(message.messageStruct.data.size(), 4u + 13u + 1u);
}

TEST(IPCMessageSimpleStringTest, EncodesLengthTextTerminatorAndDecodesBack) {
    const std::vector<char> golden = bytes({0x00, 0x00, 0x00, 0x03}, {0x61, 0x62, 0x63}, {0x00});
    EXPECT_EQ(hex(encoded(IPCMessageSimpleString(IPC_MSG_STRING_5, "abc"))), hex(golden));
    EXPECT_EQ(decoded<IPCMessageSimpleString>(golden).text, "abc");
    // One byte short loses only the terminator, which is never checked.
    EXPECT_EQ(decoded<IPCMessageSimpleString>(cutShort(golden)).text, "abc");
}

TEST(IPCMessageSimpleStringTest, EmptyTextStillWritesTerminator) {
    const std::vector<char> golden = bytes({0x00, 0x00, 0x00, 0x00}, {0x00});
    EXPECT_EQ(hex(encoded(IPCMessageSimpleString(IPC_MSG_STRING_6, ""))), hex(golden));

    IPCMessageSimpleString message(rawOf(IPC_MSG_STRING_6, golden));
    message.text = "stale";
    message.unserialize();
    EXPECT_EQ(message.text, "");

    message.text = "stale";
    message.messageStruct.data = cutShort(golden);
    message.unserialize();
    EXPECT_EQ(message.text, "");  // the length alone is a whole empty text
}

TEST(IPCMessageSimpleStringTest, MissingTerminatorStillGivesTheText) {
    EXPECT_EQ(decoded<IPCMessageSimpleString>(bytes({0x00, 0x00, 0x00, 0x02}, {0x68, 0x69})).text, "hi");
}

TEST(IPCMessageSimpleStringTest, ZeroByteInsideTextSurvives) {
    const std::string text("a\0b\0", 4);
    const std::vector<char> golden = bytes({0x00, 0x00, 0x00, 0x04}, {0x61, 0x00, 0x62, 0x00}, {0x00});
    EXPECT_EQ(hex(encoded(IPCMessageSimpleString(IPC_MSG_STRING_8, text))), hex(golden));
    EXPECT_EQ(decoded<IPCMessageSimpleString>(golden).text, text);
}

TEST(IPCMessageSimpleStringTest, HighBytesSurvive) {
    const std::string text("\xC3\xA9\xFF", 3);
    const std::vector<char> golden = bytes({0x00, 0x00, 0x00, 0x03}, {0xC3, 0xA9, 0xFF}, {0x00});
    EXPECT_EQ(hex(encoded(IPCMessageSimpleString(IPC_MSG_STRING_9, text))), hex(golden));
    EXPECT_EQ(decoded<IPCMessageSimpleString>(golden).text, text);
}

// Without a whole length and text there is nothing to take: the text stays.
TEST(IPCMessageSimpleStringTest, PayloadWithoutWholeTextLeavesTextUnchanged) {
    const std::vector<std::vector<char>> payloads = {
        {},
        bytes({0x00}),
        bytes({0x00, 0x00, 0x00}),
        bytes({0x00, 0x00, 0x00, 0x03}, {0x61, 0x62}),
        bytes({0xFF, 0xFF, 0xFF, 0xFF}, {0x61}),
        bytes({0x80, 0x00, 0x00, 0x00}),
    };
    for (auto const& payload : payloads) {
        IPCMessageSimpleString message(rawOf(IPC_MSG_STRING_10, payload));
        message.text = "kept";
        message.unserialize();
        EXPECT_EQ(message.text, "kept") << hex(payload);
        EXPECT_EQ(message.messageStruct.data, payload);
    }
}

TEST(IPCMessageSimpleStringTest, IgnoresBytesAfterTheTerminator) {
    EXPECT_EQ(decoded<IPCMessageSimpleString>(bytes({0x00, 0x00, 0x00, 0x01}, {0x7A}, {0x00}, {0x01, 0x02})).text,
              "z");
}

// ---------------------------------------------------------------------------

TEST(IPCMessageStringArrayTest, EncodesCountThenTextFieldsAndDecodesBack) {
    const std::vector<char> golden =
        bytes({0x00, 0x00, 0x00, 0x02}, {0x00, 0x00, 0x00, 0x01, 0x61, 0x00}, {0x00, 0x00, 0x00, 0x00, 0x00});
    EXPECT_EQ(hex(encoded(IPCMessageStringArray(IPC_MSG_STRING_ARRAY_19, {"a", ""}))), hex(golden));
    EXPECT_EQ(decoded<IPCMessageStringArray>(golden).strings, (std::vector<std::string>{"a", ""}));
    // Only the last terminator is gone; both texts are whole.
    EXPECT_EQ(decoded<IPCMessageStringArray>(cutShort(golden)).strings, (std::vector<std::string>{"a", ""}));
    // Into the second length: the whole text before the cut is kept.
    EXPECT_EQ(decoded<IPCMessageStringArray>(cutShort(golden, 2)).strings, (std::vector<std::string>{"a"}));
}

TEST(IPCMessageStringArrayTest, EmptyListIsCountZero) {
    const std::vector<char> golden = bytes({0x00, 0x00, 0x00, 0x00});
    EXPECT_EQ(hex(encoded(IPCMessageStringArray(IPC_MSG_STRING_ARRAY_21, {}))), hex(golden));
    EXPECT_TRUE(decoded<IPCMessageStringArray>(golden).strings.empty());
    EXPECT_TRUE(decoded<IPCMessageStringArray>(cutShort(golden)).strings.empty());
}

TEST(IPCMessageStringArrayTest, CountZeroIgnoresWhatFollows) {
    EXPECT_TRUE(
        decoded<IPCMessageStringArray>(bytes({0x00, 0x00, 0x00, 0x00}, {0x00, 0x00, 0x00, 0x01, 0x61, 0x00}))
            .strings.empty());
}

TEST(IPCMessageStringArrayTest, DecodingTwiceGivesOneCopy) {
    IPCMessageStringArray message(
        rawOf(IPC_MSG_STRING_ARRAY_27, bytes({0x00, 0x00, 0x00, 0x01}, {0x00, 0x00, 0x00, 0x02, 0x6F, 0x6B, 0x00})));
    message.unserialize();
    message.unserialize();
    EXPECT_EQ(message.strings, (std::vector<std::string>{"ok"}));
}

TEST(IPCMessageStringArrayTest, TextsWithZeroBytesAndLongerTextsRoundTrip) {
    const std::vector<std::string> strings = {std::string("\0\0", 2), std::string(300, 'x'), "end"};
    IPCMessageStringArray message(IPC_MSG_STRING_ARRAY_28, strings);
    message.serialize();
    EXPECT_EQ(message.messageStruct.data.size(), 4u + (4 + 2 + 1) + (4 + 300 + 1) + (4 + 3 + 1));
    EXPECT_EQ(decoded<IPCMessageStringArray>(message.messageStruct.data).strings, strings);
}

TEST(IPCMessageStringArrayTest, HostileCountOrLengthReadsOnlyWhatIsThere) {
    auto message = decoded<IPCMessageStringArray>(
        bytes({0xFF, 0xFF, 0xFF, 0xFF}, {0x00, 0x00, 0x00, 0x01, 0x78, 0x00}, {0xFF, 0xFF, 0xFF, 0xF0, 0x79}));
    EXPECT_EQ(message.strings, (std::vector<std::string>{"x"}));
    EXPECT_LT(message.strings.capacity(), 16u);  // sized by the payload, not by the claim
}

TEST(IPCMessageStringArrayTest, ShortPayloadClearsAnEarlierList) {
    IPCMessageStringArray message(rawOf(IPC_MSG_STRING_ARRAY_35, bytes({0x00, 0x01})));
    message.strings = {"old"};
    message.unserialize();
    EXPECT_TRUE(message.strings.empty());
}

// ---------------------------------------------------------------------------

TEST(IPCMessageAllowedMessageListTest, AlwaysTypeOne) {
    IPCMessageAllowedMessageList message({IPC_MSG_LAUNCH_URI});
    EXPECT_EQ(message.type, IPC_MSG_ALLOWED_MESSAGE_LIST);
    EXPECT_EQ(message.messageStruct.type, IPC_MSG_ALLOWED_MESSAGE_LIST);
    EXPECT_TRUE(message.messageStruct.data.empty());
}

TEST(IPCMessageAllowedMessageListTest, EncodesTypesInAscendingOrderWithoutCount) {
    const std::vector<char> golden = bytes({0x00, 0x00, 0x00, 0x05}, {0x00, 0x00, 0x00, 0x36});
    EXPECT_EQ(hex(encoded(IPCMessageAllowedMessageList({IPC_MSG_LAUNCH_URI, IPC_MSG_STRING_5}))), hex(golden));
}

TEST(IPCMessageAllowedMessageListTest, EmptySetGivesEmptyPayload) {
    IPCMessageAllowedMessageList message({});
    message.messageStruct.data = bytes({0x01});
    message.serialize();
    EXPECT_TRUE(message.messageStruct.data.empty());
}

TEST(IPCMessageAllowedMessageListTest, LargeTypeNumbersUseAllFourBytes) {
    const std::vector<char> golden = bytes({0x00, 0x01, 0x02, 0x03}, {0x00, 0xFF, 0xFF, 0xFF});
    EXPECT_EQ(hex(encoded(IPCMessageAllowedMessageList({IPCMessageType{0xFFFFFF}, IPCMessageType{0x010203}}))),
              hex(golden));
}

TEST(IPCMessageAllowedMessageListTest, UnserializeReadsNothing) {
    IPCMessageAllowedMessageList message({IPC_MSG_STRING_5});
    message.messageStruct.data = bytes({0x00, 0x00, 0x00, 0x36});
    message.unserialize();
    EXPECT_EQ(message.allowedTypes, (std::set<IPCMessageType>{IPC_MSG_STRING_5}));
}
