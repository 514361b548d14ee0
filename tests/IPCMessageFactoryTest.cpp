// The factory's class for each type number, with the frame's type and payload, from a copied or a moved frame.
#include <gtest/gtest.h>

#include <climits>
#include <memory>
#include <typeinfo>
#include <vector>

#include "PayloadBytes.h"
#include "kesu/ipc/IPCMessageFactory.h"

namespace {

struct ClassRow {
    std::type_info const& kind;
    std::vector<int> types;
};
const ClassRow kClassRows[] = {
    {.kind = typeid(IPCMessageSimpleString), .types = {5, 6, 8, 9, 10, 11, 17, 25, 44, 45, 49, 53, 54, 59, 64}},
    {.kind = typeid(IPCMessageStringArray), .types = {19, 21, 27, 28, 35, 48, 50, 51, 56, 57}},
    {.kind = typeid(IPCMessageUnsignedInt), .types = {26, 31, 34, 37, 38, 39, 46, 47, 52, 58, 63, 65}},
    {.kind = typeid(IPCMessageUnsignedInt64), .types = {33, 41}},
    {.kind = typeid(IPCMessageUnsignedIntArray), .types = {60}},
    {.kind = typeid(IPCMessageRecorderStats), .types = {15}},
    {.kind = typeid(IPCMessagePlayerPlaybackInfo), .types = {32}},
    {.kind = typeid(IPCMessagePlayerMediaInfo), .types = {40}},
    // Every other number, below, between and beyond the classed ones.
    {.kind = typeid(IPCMessage),
     .types = {0,  1,  4,  7,  12, 13, 14, 16,  18,       20,        22,      23, 24,  29,     30,
               36, 42, 43, 55, 61, 62, 66, 100, 0xFFFFFF, 0x1000036, INT_MAX, -1, -54, INT_MIN}},
};

TEST(IPCMessageFactoryTest, BuildsTheClassOfEachNumberWithTypeAndPayloadFromACopyOrAMove) {
    const std::vector<char> payload = test_bytes::unhex("00000002 6869 00");
    for (ClassRow const& row : kClassRows) {
        for (int type : row.types) {
            SCOPED_TRACE(type);
            const IPCMessageStruct copied{static_cast<IPCMessageType>(type), payload};
            IPCMessageStruct moved = copied;
            const char* buffer = moved.data.data();
            std::unique_ptr<IPCMessage> built[] = {IPCMessageFactory::getMessage(copied),
                                                   IPCMessageFactory::getMessage(std::move(moved))};
            EXPECT_EQ(built[1]->messageStruct.data.data(), buffer) << "the moved payload was copied";
            for (std::unique_ptr<IPCMessage> const& pointer : built) {
                IPCMessage const& message = *pointer;
                EXPECT_EQ(typeid(message), row.kind) << typeid(message).name();
                EXPECT_EQ(message.type, type);
                EXPECT_EQ(message.messageStruct.type, type);
                EXPECT_EQ(message.messageStruct.data, payload);
            }
        }
    }
}

}  // namespace
