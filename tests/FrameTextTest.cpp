// Frames as text: the command-line syntax into the bytes the library would send, and bytes and
// decoded frames into printable text.
#include "frames/FrameText.h"

#include <gtest/gtest.h>

#include "PayloadBytes.h"

namespace {

struct Parsed {
    char const* text;
    uint32_t type;
    char const* payload;  // hex; with `error` null
    char const* error;
};
const Parsed kParsed[] = {
    {"54:string:a:b", 54, "00000003 613A62 00", nullptr},
    {"19:strings:", 19, "00000000", nullptr},
    {"26:u32:4294967295", 26, "FFFFFFFF", nullptr},
    {"7:hex:00 ff\t0A", 7, "00FF0A", nullptr},
    {"16777216:empty", 0, "", "expected TYPE:KIND[:VALUE] with TYPE a number from 0 to 16777215"},
    {"12:empty:", 0, "", "'empty' takes no value"},
    {"54:string", 0, "", "'string' needs a value after a colon"},
    {"26:u32:4294967296", 0, "", "'4294967296' is not a u32 number"},
    {"41:u64:18446744073709551616", 0, "", "'18446744073709551616' is not a u64 number"},
    {"60:u32s:1,,2", 0, "", "'' is not a u32 number"},
    {"7:hex:0g", 0, "", "'0g' is not a sequence of hex byte pairs"},
    {"5:nope:x", 0, "", "unknown kind 'nope' (string, strings, u32, u64, u32s, hex, empty)"},
    {"27:u64:1", 0, "", "type 27 is IPCMessageStringArray: give strings:, hex: or empty"},
    {"15:u32:1", 0, "", "type 15 is IPCMessageRecorderStats: give hex: or empty"},
};

TEST(FrameTextTest, ParsesEveryKindIntoTheLibrarysBytesAndSaysWhyItRefusesAFrame) {
    for (Parsed const& row : kParsed) {
        SCOPED_TRACE(row.text);
        IPCMessageStruct frame;
        std::string error;
        EXPECT_EQ(kesu_tools::parseFrame(row.text, frame, error), row.error == nullptr);
        EXPECT_EQ(error, row.error == nullptr ? "" : row.error);
        if (row.error != nullptr) continue;
        EXPECT_EQ(static_cast<uint32_t>(frame.type), row.type);
        EXPECT_EQ(test_bytes::hex(frame.data), test_bytes::hex(test_bytes::unhex(row.payload)));
    }
}

TEST(FrameTextTest, QuotesEveryByteReadablyAndCutsLongValues) {
    const std::string kCut(kesu_tools::kMaxShownTextBytes, 'a');
    const std::pair<std::string, std::string> kQuoted[] = {
        {"\"\\\n\t\r", "\"\\\"\\\\\\n\\t\\r\""},
        {std::string("\x00\x1F\x7F\x80\xFF", 5), "\"\\x00\\x1F\\x7F\\x80\\xFF\""},
        {kCut, "\"" + kCut + "\""},
        {kCut + "bc", "\"" + kCut + "\"...(2 more bytes)"},
    };
    for (auto const& [bytes, shown] : kQuoted) EXPECT_EQ(kesu_tools::quoted(bytes), shown);
}

// What the tool tests through the program shows the plain case of each class; these are the rest.
TEST(FrameTextTest, DescribesWhatAClassIgnoredOrCouldNotRead) {
    const std::pair<char const*, char const*> kDescribed[] = {
        {"15:hex:0708", "type=15 class=IPCMessageRecorderStats length=2 stats=0 ignored-payload=0708 broken"},
        {"1:hex:0000003600", "type=1 class=IPCMessage length=5 payload=0000003600 allowed=[54] trailing=1"},
        {"40:hex:00000002",
         "type=40 class=IPCMessagePlayerMediaInfo length=4 text=\"\" flag=false value=0 streams=[] broken"},
        {"54:hex:0000000268", "type=54 class=IPCMessageSimpleString length=5 text=\"\" broken"},
        {"26:hex:0000000107", "type=26 class=IPCMessageUnsignedInt length=5 value=1 trailing=1"},
    };
    for (auto const& [text, line] : kDescribed) {
        IPCMessageStruct frame;
        std::string error;
        ASSERT_TRUE(kesu_tools::parseFrame(text, frame, error)) << error;
        EXPECT_EQ(kesu_tools::describeFrame(frame, false), line);
    }
}

}  // namespace
