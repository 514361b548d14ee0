#include "ipc/IPCStatusMessages.h"

#include <gtest/gtest.h>

#include <cstring>
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

std::vector<char> imageOf(PlayerPlaybackRecord const& record) {
    std::vector<char> out(sizeof record);
    std::memcpy(out.data(), &record, sizeof record);
    return out;
}

// 30 distinct bytes, none of them a default.
std::vector<char> playbackGolden() {
    return bytes({0x10, 0x11, 0x12, 0x13},
                 {0x14, 0x15},
                 {0x16, 0x17, 0x18, 0x19, 0x1A, 0x1B, 0x1C, 0x1D, 0x1E, 0x1F, 0x20, 0x21,
                  0x22, 0x23, 0x24, 0x25, 0x26, 0x27, 0x28, 0x29, 0x2A, 0x2B, 0x2C, 0x2D});
}

void expectDefaultRecord(PlayerPlaybackRecord const& record) {
    std::vector<char> image = imageOf(record);
    EXPECT_EQ(hex(image), hex(bytes({0xFF, 0xFF, 0xFF, 0xFF},
                                    {0x00, 0x00},
                                    {0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00,
                                     0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00})));
}

}  // namespace

// ---------------------------------------------------------------------------

TEST(IPCMessageRecorderStatsTest, BuiltFromStructKeepsTypeAndPayloadWithDefaultMember) {
    IPCMessageRecorderStats message(rawOf(IPC_MSG_RECORDER_STATS, bytes({0x07})));
    EXPECT_EQ(message.type, IPC_MSG_RECORDER_STATS);
    EXPECT_EQ(message.messageStruct.type, IPC_MSG_RECORDER_STATS);
    EXPECT_EQ(message.messageStruct.data, bytes({0x07}));
    EXPECT_EQ(message.stats, 0);
}

TEST(IPCMessageRecorderStatsTest, EncodesOneByteAndDecodesBackAndEmptyPayloadKeepsDefault) {
    const std::vector<char> golden = bytes({0x07});
    IPCMessageRecorderStats sent(IPC_MSG_RECORDER_STATS, 7);
    sent.serialize();
    EXPECT_EQ(hex(sent.messageStruct.data), hex(golden));

    IPCMessageRecorderStats received(rawOf(IPC_MSG_RECORDER_STATS, golden));
    received.unserialize();
    EXPECT_EQ(received.stats, 7);

    IPCMessageRecorderStats cut(rawOf(IPC_MSG_RECORDER_STATS, cutShort(golden)));
    cut.unserialize();
    EXPECT_EQ(cut.stats, 0);
}

TEST(IPCMessageRecorderStatsTest, HighByteIsNotSignExtended) {
    IPCMessageRecorderStats received(rawOf(IPC_MSG_RECORDER_STATS, bytes({0xFE})));
    received.unserialize();
    EXPECT_EQ(received.stats, 0xFE);
}

TEST(IPCMessageRecorderStatsTest, PayloadOfOtherSizeKeepsWhatWasThere) {
    IPCMessageRecorderStats fresh(rawOf(IPC_MSG_RECORDER_STATS, bytes({0x07, 0x08})));
    fresh.unserialize();
    EXPECT_EQ(fresh.stats, 0);

    IPCMessageRecorderStats earlier(rawOf(IPC_MSG_RECORDER_STATS, bytes({0x07, 0x08})));
    earlier.stats = 3;
    earlier.unserialize();
    EXPECT_EQ(earlier.stats, 3);
}

// ---------------------------------------------------------------------------

TEST(IPCMessagePlayerPlaybackInfoTest, BuiltFromStructHasDefaultRecord) {
    IPCMessagePlayerPlaybackInfo message(rawOf(IPC_MSG_PLAYER_PLAYBACK_INFO, playbackGolden()));
    EXPECT_EQ(message.type, IPC_MSG_PLAYER_PLAYBACK_INFO);
    EXPECT_EQ(message.messageStruct.type, IPC_MSG_PLAYER_PLAYBACK_INFO);
    EXPECT_EQ(message.messageStruct.data, playbackGolden());
    expectDefaultRecord(message.info);
}

TEST(IPCMessagePlayerPlaybackInfoTest, DecodesMemoryImageAndEncodesTheSameBytes) {
    const std::vector<char> golden = playbackGolden();
    IPCMessagePlayerPlaybackInfo received(rawOf(IPC_MSG_PLAYER_PLAYBACK_INFO, golden));
    received.unserialize();
    EXPECT_EQ(hex(imageOf(received.info)), hex(golden));
    EXPECT_EQ(received.info.leading[0], 0x10);
    EXPECT_EQ(received.info.trailing[23], 0x2D);

    received.serialize();
    EXPECT_EQ(hex(received.messageStruct.data), hex(golden));

    IPCMessagePlayerPlaybackInfo sent(IPC_MSG_PLAYER_PLAYBACK_INFO, received.info);
    sent.serialize();
    EXPECT_EQ(hex(sent.messageStruct.data), hex(golden));

    IPCMessagePlayerPlaybackInfo cut(rawOf(IPC_MSG_PLAYER_PLAYBACK_INFO, cutShort(golden)));
    cut.unserialize();
    expectDefaultRecord(cut.info);
}

TEST(IPCMessagePlayerPlaybackInfoTest, TwoByteFieldTravelsInHostOrder) {
    PlayerPlaybackRecord record;
    record.selector = 0x1234;
    IPCMessagePlayerPlaybackInfo sent(IPC_MSG_PLAYER_PLAYBACK_INFO, record);
    sent.serialize();
    ASSERT_EQ(sent.messageStruct.data.size(), 30u);
    uint16_t host = 0;
    std::memcpy(&host, sent.messageStruct.data.data() + 4, sizeof host);
    EXPECT_EQ(host, 0x1234);
}

TEST(IPCMessagePlayerPlaybackInfoTest, PayloadOfOtherSizeKeepsDefaultRecord) {
    std::vector<char> longer = playbackGolden();
    longer.push_back(0x2E);
    for (auto const& payload : {cutShort(playbackGolden()), longer, std::vector<char>{}}) {
        IPCMessagePlayerPlaybackInfo message(rawOf(IPC_MSG_PLAYER_PLAYBACK_INFO, payload));
        message.unserialize();
        SCOPED_TRACE(payload.size());
        expectDefaultRecord(message.info);
    }
}

TEST(IPCMessagePlayerPlaybackInfoTest, RecordsCompareByTheirBytes) {
    PlayerPlaybackRecord a;
    PlayerPlaybackRecord b;
    EXPECT_TRUE(a == b);
    b.trailing[23] = 1;
    EXPECT_TRUE(a != b);
}
