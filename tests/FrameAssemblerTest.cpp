// Frames cut from a stream that arrives in pieces of any size, and the stream that loses its markers.
#include "frames/FrameAssembler.h"

#include <gtest/gtest.h>

#include "PayloadBytes.h"

namespace {

struct Stream {
    char const* name;
    char const* bytes;  // hex
    char const* told;   // each frame as type/length, then what was said of a loss
    size_t pending;
    size_t raw;  // the stream's last bytes, handed on raw from the refused header on
};
const Stream kStreams[] = {
    {"two frames", "6D000036 00000003 616263 6D00003C 00000000", "54/3 60/0", 0, 0},
    {"at the bound, still coming", "6D000036 01000000 00", "", 9, 0},
    {"above the bound", "6D000036 01000001",
     "lost: frame type=54 announces 16777217 bytes, above the limit of 16777216", 0, 8},
    {"no marker after a frame", "6D00003C 00000000 47455420 2F202020 6D00",
     "60/0 lost: header starts with 0x47, not the frame marker", 0, 10},
};

TEST(FrameAssemblerTest, CutsTheSameFramesWhateverThePiecesAndStopsAtALostMarker) {
    for (Stream const& row : kStreams) {
        for (size_t piece : {size_t{1}, size_t{3}, size_t{100}}) {
            SCOPED_TRACE(std::string(row.name) + ", pieces of " + std::to_string(piece));
            const std::vector<char> bytes = test_bytes::unhex(row.bytes);
            kesu_tools::FrameStream stream;
            std::string told;
            std::vector<char> raw;
            auto say = [&told](std::string const& what) { told += (told.empty() ? "" : " ") + what; };
            for (size_t at = 0; at < bytes.size(); at += piece)
                stream.feed(
                    bytes.data() + at, std::min(piece, bytes.size() - at),
                    [&](IPCMessageStruct const& frame) {
                        say(std::to_string(frame.type) + "/" + std::to_string(frame.data.size()));
                    },
                    [&](std::string const& why) { say("lost: " + why); },
                    [&](char const* data, size_t size) { raw.insert(raw.end(), data, data + size); });
            EXPECT_EQ(told, row.told);
            EXPECT_EQ(raw, std::vector<char>(bytes.end() - static_cast<std::ptrdiff_t>(row.raw), bytes.end()));
            EXPECT_EQ(stream.pendingBytes(), row.pending);
        }
    }
}

}  // namespace
