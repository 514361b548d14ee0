// The capture file: what is written reads back record for record, whatever a broken file holds is refused
// with its reason, and a full disk ends the writing without harm.
#include "capture/Capture.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>

#include "PayloadBytes.h"
#include "kesu/ipc/IPCFrame.h"

namespace {

using namespace kesu_tools::capture;
using kesu_tools::Direction;
using test_bytes::unhex;

const std::vector<Record> kSession = {
    {.microseconds = 1'765'000'000'123'456, .connection = 3, .flags = kOpened},
    {.microseconds = 1'765'000'000'200'000, .connection = 3, .bytes = unhex("6D000036 00000006 00000001 61 00")},
    {.microseconds = 1'765'000'001'000'001, .direction = Direction::ToClient, .connection = 3, .flags = kInjected,
     .bytes = unhex("6D00001A 00000004 00000007")},
    {.microseconds = 1'765'000'002'000'000, .connection = 3, .flags = kRaw, .bytes = unhex("4F 0102")},
    {.microseconds = 1'765'000'003'000'000, .connection = 3, .flags = kClosed},
};

std::string temporaryPath() {
    char pattern[] = "/tmp/kesu-capture-XXXXXX";
    int fd = ::mkstemp(pattern);
    ::close(fd);
    return pattern;
}

TEST(CaptureTest, WhatIsWrittenReadsBackRecordForRecord) {
    const std::string path = temporaryPath();
    Writer writer;
    std::string error;
    ASSERT_TRUE(writer.open(path, error)) << error;
    for (Record const& record : kSession) ASSERT_TRUE(writer.write(record));
    std::vector<Record> read;
    ASSERT_TRUE(kesu_tools::capture::read(path, read, error)) << error;
    ASSERT_EQ(read.size(), kSession.size());
    for (size_t i = 0; i < read.size(); ++i) {
        SCOPED_TRACE(i);
        EXPECT_EQ(read[i].microseconds, kSession[i].microseconds);
        EXPECT_EQ(read[i].direction, kSession[i].direction);
        EXPECT_EQ(read[i].connection, kSession[i].connection);
        EXPECT_EQ(read[i].flags, kSession[i].flags);
        EXPECT_EQ(read[i].bytes, kSession[i].bytes);
    }
    ::unlink(path.c_str());
}

// Each broken file is refused with the reason; the records before the fault are kept.
TEST(CaptureTest, ABrokenFileIsRefusedWithItsReason) {
    const std::string path = temporaryPath();
    Writer writer;
    std::string error;
    ASSERT_TRUE(writer.open(path, error));
    ASSERT_TRUE(writer.write(kSession[1]));
    std::vector<Record> ignored;
    std::vector<char> good;
    ASSERT_TRUE(kesu_tools::capture::read(path, ignored, error));
    FILE* file = std::fopen(path.c_str(), "rb");
    good.resize(1024);
    good.resize(std::fread(good.data(), 1, good.size(), file));
    std::fclose(file);
    ::unlink(path.c_str());
    auto withWord = [&good](size_t offset, uint32_t word) {
        std::vector<char> bytes = good;
        std::memcpy(bytes.data() + offset, &word, sizeof word);
        return bytes;
    };
    struct Row {
        char const* name;
        std::vector<char> bytes;
        std::string reason;
        size_t kept = 0;
    };
    const Row rows[] = {
        {.name = "no pcap at all", .bytes = unhex("6D000036 00000000"), .reason = "not a capture file: too short"},
        {.name = "another magic number", .bytes = withWord(0, 0xA1B23C4D), .reason = "not a capture file: no pcap"},
        {.name = "another link-layer type", .bytes = withWord(20, 1), .reason = "link-layer type 1, not the tools' 147"},
        {.name = "a truncated record", .bytes = std::vector<char>(good.begin(), good.end() - 1),
         .reason = "record 1: truncated, 25 of 26 bytes"},
        {.name = "a record beyond the frame bound", .bytes = withWord(24 + 8, kMaxRecordBytes + 1),
         .reason = "record 1: 16777237 bytes, more than the frame bound allows"},
    };
    for (Row const& row : rows) {
        SCOPED_TRACE(row.name);
        std::vector<Record> records;
        EXPECT_FALSE(parse(row.bytes.data(), row.bytes.size(), records, error));
        EXPECT_EQ(error.substr(0, row.reason.size()), row.reason);
        EXPECT_EQ(records.size(), row.kept);
    }
}

// A full disk, the file header's included, ends the writing; only a file that cannot be made is refused.
TEST(CaptureTest, AFullDiskEndsTheWritingWithTheReason) {
    Writer full;
    std::string error;
    ASSERT_TRUE(full.open("/dev/full", error));
    EXPECT_EQ(full.error(), "No space left on device");
    EXPECT_FALSE(full.write(kSession[0]));
    Writer nowhere;
    EXPECT_FALSE(nowhere.open("/nonexistent/capture.pcap", error));
    EXPECT_EQ(error, "/nonexistent/capture.pcap: No such file or directory");
}

}  // namespace
