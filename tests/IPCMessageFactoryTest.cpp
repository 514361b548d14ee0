#include "ipc/IPCMessageFactory.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <typeindex>
#include <typeinfo>
#include <vector>

#include "PayloadBytes.h"

using test_bytes::bytes;

namespace {

IPCMessageStruct rawOf(int32_t type, std::vector<char> payload) {
    IPCMessageStruct raw;
    raw.type = static_cast<IPCMessageType>(type);
    raw.data = std::move(payload);
    return raw;
}

// The table, written out by number so that a slip in the factory's switch
// shows up as a disagreement with this independent copy.
std::map<int32_t, std::type_index> expectedClasses() {
    std::map<int32_t, std::type_index> table;
    auto add = [&table](std::type_index cls, std::vector<int32_t> numbers) {
        for (int32_t n : numbers) EXPECT_TRUE(table.emplace(n, cls).second) << "listed twice: " << n;
    };
    add(typeid(IPCMessageSimpleString), {5, 6, 8, 9, 10, 11, 17, 25, 44, 45, 49, 53, 54, 59, 64});
    add(typeid(IPCMessageStringArray), {19, 21, 27, 28, 35, 48, 50, 51, 56, 57});
    add(typeid(IPCMessageUnsignedInt), {26, 31, 34, 37, 38, 39, 46, 47, 52, 58, 63, 65});
    add(typeid(IPCMessageUnsignedInt64), {33, 41});
    add(typeid(IPCMessageUnsignedIntArray), {60});
    add(typeid(IPCMessageRecorderStats), {15});
    add(typeid(IPCMessagePlayerPlaybackInfo), {32});
    add(typeid(IPCMessagePlayerMediaInfo), {40});
    add(typeid(IPCMessage), {7, 12, 13, 14, 16, 18, 20, 22, 23, 24, 29, 30, 36, 42, 43, 55, 61, 62});
    return table;
}

std::type_index expectedClassOf(int32_t type) {
    static const std::map<int32_t, std::type_index> table = expectedClasses();
    auto found = table.find(type);
    return found != table.end() ? found->second : std::type_index(typeid(IPCMessage));
}

std::type_index dynamicClass(IPCMessage const& message) { return typeid(message); }

std::vector<int32_t> numbersToCheck() {
    std::vector<int32_t> numbers;
    for (int32_t n = 0; n <= 70; ++n) numbers.push_back(n);
    for (int32_t n : {100, 255, 256, 1000, 65535, 0x010036, 0xFFFFFF, 0x1000000, 0x7FFFFFFF, -1, -54, INT32_MIN})
        numbers.push_back(n);
    return numbers;
}

}  // namespace

TEST(IPCMessageFactoryTest, TableListsEveryNumberFromFiveToSixtyFiveOnce) {
    std::map<int32_t, std::type_index> table = expectedClasses();
    ASSERT_EQ(table.size(), 61u);
    EXPECT_EQ(table.begin()->first, 5);
    EXPECT_EQ(table.rbegin()->first, 65);
}

TEST(IPCMessageFactoryTest, EveryNumberYieldsTheClassOfTheTableWithPayloadAndTypesIntact) {
    const std::vector<char> payload = bytes({0x00, 0x00, 0x00, 0x01}, {0x61}, {0x00});
    for (int32_t number : numbersToCheck()) {
        SCOPED_TRACE(number);
        std::unique_ptr<IPCMessage> message = IPCMessageFactory::getMessage(rawOf(number, payload));
        ASSERT_NE(message, nullptr);
        EXPECT_EQ(dynamicClass(*message), expectedClassOf(number)) << dynamicClass(*message).name();
        EXPECT_EQ(message->type, static_cast<IPCMessageType>(number));
        EXPECT_EQ(message->messageStruct.type, static_cast<IPCMessageType>(number));
        EXPECT_EQ(message->messageStruct.data, payload);
    }
}

TEST(IPCMessageFactoryTest, ClassNameAgreesWithTheBuiltClass) {
    const std::map<std::type_index, std::string> names = {
        {typeid(IPCMessage), "IPCMessage"},
        {typeid(IPCMessageSimpleString), "IPCMessageSimpleString"},
        {typeid(IPCMessageStringArray), "IPCMessageStringArray"},
        {typeid(IPCMessageUnsignedInt), "IPCMessageUnsignedInt"},
        {typeid(IPCMessageUnsignedInt64), "IPCMessageUnsignedInt64"},
        {typeid(IPCMessageUnsignedIntArray), "IPCMessageUnsignedIntArray"},
        {typeid(IPCMessageRecorderStats), "IPCMessageRecorderStats"},
        {typeid(IPCMessagePlayerPlaybackInfo), "IPCMessagePlayerPlaybackInfo"},
        {typeid(IPCMessagePlayerMediaInfo), "IPCMessagePlayerMediaInfo"},
    };
    for (int32_t number : numbersToCheck()) {
        SCOPED_TRACE(number);
        auto type = static_cast<IPCMessageType>(number);
        std::unique_ptr<IPCMessage> message = IPCMessageFactory::getMessage(rawOf(number, {}));
        EXPECT_EQ(IPCMessageFactory::className(type), names.at(dynamicClass(*message)));
    }
}

TEST(IPCMessageFactoryTest, UnknownTypesArePlainMessagesWhoseUnserializeChangesNothing) {
    const std::vector<char> payload = bytes({0x00, 0x00, 0x00, 0x02}, {0x68, 0x69});
    for (int32_t number : {1, 4, 7, 66, 100}) {
        SCOPED_TRACE(number);
        std::unique_ptr<IPCMessage> message = IPCMessageFactory::getMessage(rawOf(number, payload));
        EXPECT_EQ(dynamicClass(*message), std::type_index(typeid(IPCMessage)));
        message->unserialize();
        message->serialize();
        EXPECT_EQ(message->messageStruct.data, payload);
    }
}

TEST(IPCMessageFactoryTest, BuildsWithoutDecoding) {
    std::unique_ptr<IPCMessage> message =
        IPCMessageFactory::getMessage(rawOf(IPC_MSG_LAUNCH_URI, bytes({0x00, 0x00, 0x00, 0x01}, {0x61}, {0x00})));
    auto* simple = dynamic_cast<IPCMessageSimpleString*>(message.get());
    ASSERT_NE(simple, nullptr);
    EXPECT_EQ(simple->text, "");
    message->unserialize();
    EXPECT_EQ(simple->text, "a");
}

TEST(IPCMessageFactoryTest, EmptyPayloadYieldsTableClassAtDefaults) {
    auto media = IPCMessageFactory::getMessage(rawOf(IPC_MSG_PLAYER_MEDIA_INFO, {}));
    auto* mediaInfo = dynamic_cast<IPCMessagePlayerMediaInfo*>(media.get());
    ASSERT_NE(mediaInfo, nullptr);
    mediaInfo->unserialize();
    EXPECT_EQ(mediaInfo->info, IPCJSPlayerMediaInfo{});
    EXPECT_TRUE(mediaInfo->messageStruct.data.empty());

    auto playback = IPCMessageFactory::getMessage(rawOf(IPC_MSG_PLAYER_PLAYBACK_INFO, {}));
    auto* playbackInfo = dynamic_cast<IPCMessagePlayerPlaybackInfo*>(playback.get());
    ASSERT_NE(playbackInfo, nullptr);
    playbackInfo->unserialize();
    EXPECT_EQ(playbackInfo->info, PlayerPlaybackRecord{});

    auto array = IPCMessageFactory::getMessage(rawOf(IPC_MSG_STRING_ARRAY_48, {}));
    auto* strings = dynamic_cast<IPCMessageStringArray*>(array.get());
    ASSERT_NE(strings, nullptr);
    strings->unserialize();
    EXPECT_TRUE(strings->strings.empty());

    auto number = IPCMessageFactory::getMessage(rawOf(IPC_MSG_UINT64_41, {}));
    auto* wide = dynamic_cast<IPCMessageUnsignedInt64*>(number.get());
    ASSERT_NE(wide, nullptr);
    wide->unserialize();
    EXPECT_EQ(wide->value, 0u);
}

TEST(IPCMessageFactoryTest, CallerKeepsItsStruct) {
    IPCMessageStruct raw = rawOf(IPC_MSG_UINT_26, bytes({0x00, 0x00, 0x00, 0x2A}));
    std::unique_ptr<IPCMessage> message = IPCMessageFactory::getMessage(raw);
    message->messageStruct.data.clear();
    EXPECT_EQ(raw.data, bytes({0x00, 0x00, 0x00, 0x2A}));
}

TEST(IPCMessageFactoryTest, MovedStructHandsOverItsPayloadBufferToTheSameClass) {
    for (auto const& [number, cls] : expectedClasses()) {
        IPCMessageStruct raw = rawOf(number, bytes({0x00, 0x00, 0x00, 0x02}, {0x68, 0x69}, {0x00}));
        const char* buffer = raw.data.data();
        std::unique_ptr<IPCMessage> message = IPCMessageFactory::getMessage(std::move(raw));
        ASSERT_NE(message, nullptr);
        EXPECT_EQ(dynamicClass(*message), cls) << "type " << number;
        EXPECT_EQ(message->messageStruct.data.data(), buffer) << "payload copied for type " << number;
        EXPECT_EQ(message->messageStruct.data, bytes({0x00, 0x00, 0x00, 0x02}, {0x68, 0x69}, {0x00}));
        EXPECT_EQ(message->type, static_cast<IPCMessageType>(number));
        EXPECT_EQ(message->messageStruct.type, static_cast<IPCMessageType>(number));
    }
}
