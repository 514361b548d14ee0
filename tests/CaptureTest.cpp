// The capture file: what is written reads back record for record. The files a replay refuses, a full disk
// and a path that cannot be made are the capture tool test's.
#include "capture/Capture.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include "PayloadBytes.h"

namespace {

using namespace kesu_tools::capture;
using kesu_tools::Direction;
using test_bytes::unhex;

const std::vector<Record> kSession = {
    {.microseconds = 1'765'000'000'123'456, .connection = 3, .flags = kOpened},
    {.microseconds = 1'765'000'000'200'000, .connection = 3, .bytes = unhex("6D000036 00000006 00000001 61 00")},
    {.microseconds = 1'765'000'001'000'001,
     .direction = Direction::ToClient,
     .connection = 3,
     .flags = kInjected,
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

}  // namespace
