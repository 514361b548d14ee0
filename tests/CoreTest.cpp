// What the client stands on: payload codec, factory, frame reader, retry
// pacing, the platform stand-in, the checked threading wrappers and backtraces.
#include <dlfcn.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <sys/time.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <atomic>
#include <climits>
#include <cstring>
#include <fstream>
#include <functional>
#include <memory>
#include <regex>
#include <sstream>
#include <string>
#include <thread>
#include <typeinfo>

#include "KesuStbTesting.h"
#include "NSTime.h"
#include "PayloadBytes.h"
#include "STBThread.h"
#include "fakes/DeathTestStyle.h"
#include "fakes/Eventually.h"
#include "fakes/LogCapture.h"
#include "fakes/TestClock.h"
#include "kesu/common/AutoRetrier.h"
#include "kesu/ipc/IPCFrameReader.h"
#include "kesu/ipc/IPCMessageFactory.h"
#include "kesu/ipc/IPCSocketIO.h"
#include "kesu/private/KesuLog.h"
#include "kesu/private/STBBackTrace.h"
#include "kesu/private/pthread_helper.h"

// Exported (outside an anonymous namespace), so that backtraces name them.
namespace core_test {
// Misuses a checked wrapper after writing where it lies to `file`, unbuffered:
// 0 relocks a mutex, 1 destroys a held one, 2 waits on a condition without it.
__attribute__((noinline)) void misuse(int kind, std::string const& file) KESU_NO_THREAD_SAFETY_ANALYSIS {
    if (std::freopen(file.c_str(), "w", stdout) == nullptr || setvbuf(stdout, nullptr, _IONBF, 0) != 0) _exit(1);
    auto* m = new pthread_helper::mutex;
    pthread_helper::cond c;
    std::printf("wrapper at %p\n", kind == 2 ? static_cast<void*>(&c) : static_cast<void*>(m));
    if (kind == 2) c.timedwait(*m, 10);
    m->lock();
    if (kind == 0) m->lock();
    delete m;
}
__attribute__((noinline)) int knownFunction(int x) { return x * 3 + 1; }
}  // namespace core_test

// A release of a mutex not held is accepted by design, and made below.
extern "C" const char* __tsan_default_options() { return "report_mutex_bugs=0"; }

namespace {

using kesu_test::LogCapture;
using std::chrono::milliseconds;
using test_bytes::hex;
using test_bytes::unhex;
using Info = IPCJSPlayerMediaInfo;
using Outcome = ipc_frame::FrameOutcome;

bool eventually(std::function<bool()> condition) { return kesu_test::eventually(condition, milliseconds(5000)); }

std::string lineOf(LogCapture::Entry const& e) {
    return std::to_string(e.level) + ":" + std::to_string(e.line) + " " + e.text;
}

IPCMessageStruct raw(int type, std::vector<char> data) { return {static_cast<IPCMessageType>(type), std::move(data)}; }

std::type_info const& classOf(IPCMessage const& message) { return typeid(message); }

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

TEST(CodecTest, PayloadRows) {
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
        EXPECT_TRUE(made->type == row.type && made->messageStruct.type == row.type);
    }
}

// Room is reserved for no more entries than the payload could hold; the media
// info's count travels in 16 bits, so only the first 65535 streams are written.
TEST(CodecTest, CountsBoundWhatIsReservedAndWhatIsWritten) {
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

// The factory's class of each number from 5 to 65, one letter each, by the
// order of kClassLetters; every other number gives a plain IPCMessage.
const char kClassOf5To65[] = "SS-SSSS---R-S-A-A---SUAA--UPWUA-UUUMW--SSUUASAAUSS-AAUSN--USU";
const std::string kClassLetters = "-SAUWNRPM";
std::type_info const* const kClasses[] = {&typeid(IPCMessage),
                                          &typeid(IPCMessageSimpleString),
                                          &typeid(IPCMessageStringArray),
                                          &typeid(IPCMessageUnsignedInt),
                                          &typeid(IPCMessageUnsignedInt64),
                                          &typeid(IPCMessageUnsignedIntArray),
                                          &typeid(IPCMessageRecorderStats),
                                          &typeid(IPCMessagePlayerPlaybackInfo),
                                          &typeid(IPCMessagePlayerMediaInfo)};

TEST(CodecTest, FactoryBuildsTheClassOfEveryNumberWithTypeAndPayloadFromEitherOverload) {
    std::vector<int> numbers = {0, 1, 4, 66, 100, 0xFFFFFF, 0x1000036, INT_MAX, -1, -54, INT_MIN};
    for (int n = 5; n <= 65; ++n) numbers.push_back(n);
    const std::vector<char> payload = unhex("00000002 6869 00");
    for (int n : numbers) {
        SCOPED_TRACE(n);
        const char letter = n >= 5 && n <= 65 ? kClassOf5To65[n - 5] : '-';
        const IPCMessageStruct copied = raw(n, payload);
        IPCMessageStruct moved = copied;
        const char* buffer = moved.data.data();
        std::unique_ptr<IPCMessage> built[] = {IPCMessageFactory::getMessage(copied),
                                               IPCMessageFactory::getMessage(std::move(moved))};
        EXPECT_EQ(built[1]->messageStruct.data.data(), buffer) << "the moved payload was copied";
        for (std::unique_ptr<IPCMessage>& message : built) {
            EXPECT_EQ(classOf(*message), *kClasses[kClassLetters.find(letter)]) << classOf(*message).name();
            EXPECT_TRUE(message->type == n && message->messageStruct.type == n);
            EXPECT_EQ(message->messageStruct.data, payload);
            if (letter == '-') {
                EXPECT_EQ(reencoded(*message, payload), hex(payload));
            }
        }
    }
}

// The stream ends as the peer ends it, falls silent (recv times out) or as the
// reader is told to stop. "|" splits it into SOCK_SEQPACKET packets, which recv
// returns one by one. frames: those read, encoded again; left: bytes never read.
enum class End { Eof, Silent, Stop };
struct ReaderRow {
    const char* stream;
    End end;
    Outcome outcome;
    const char* frames;
    int left;
    const char* log;
};
const ReaderRow kReader[] = {
    {"6D000036 00|000003|61|6263|6DFE|DCBA 0000|0000", End::Eof, Outcome::Closed,
     "6D000036 00000003 616263 6DFEDCBA 00000000", 0,
     "5:219 New message received: 54 length 3|5:219 New message received: 16702650 length 0|3:172 Connection closed"},
    {"6D000036 00", End::Eof, Outcome::Closed, "", 0, "3:172 Connection closed"},
    {"6C000036 00000002 6869", End::Eof, Outcome::OutOfSync, "", 2, "1:200 Out of sync. Terminate connection."},
    {"6D000036 01000001", End::Eof, Outcome::TooLarge, "", 0,
     "1:205 Frame too large: type 54 length 16777217. Terminate connection."},
    {"6D000036 FFFFFFFF", End::Eof, Outcome::TooLarge, "", 0,
     "1:205 Frame too large: type 54 length 4294967295. Terminate connection."},
    {"6D000036 01000000", End::Eof, Outcome::Closed, "", 0,
     "5:219 New message received: 54 length 16777216|3:227 Connection closed"},
    {"6D00", End::Silent, Outcome::ReadError, "", 0, "1:174 Read error. Terminate connection"},
    {"6D000036 00000004 00", End::Silent, Outcome::ReadError, "", 0,
     "5:219 New message received: 54 length 4|1:229 Read error. Terminate connection"},
    {"6D000036 00000004 00000000", End::Stop, Outcome::Stopped, "", 4, ""},
};

TEST(FrameReaderTest, Rows) {
    for (const ReaderRow& row : kReader) {
        SCOPED_TRACE(row.stream);
        int fd[2];
        ASSERT_EQ(socketpair(AF_UNIX, std::strchr(row.stream, '|') ? SOCK_SEQPACKET : SOCK_STREAM, 0, fd), 0);
        const timeval timeout{0, 200000};
        ASSERT_EQ(setsockopt(fd[0], SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout), 0);
        std::istringstream pieces(row.stream);
        for (std::string piece; std::getline(pieces, piece, '|');)
            ASSERT_TRUE(ipc_io::writeFully(fd[1], unhex(piece).data(), unhex(piece).size()));
        if (row.end != End::Silent) shutdown(fd[1], SHUT_WR);
        LogCapture log;
        std::vector<char> frames;
        IPCMessageStruct frame;
        Outcome outcome = Outcome::Frame;
        while (outcome == Outcome::Frame) {
            outcome = ipc_frame::receiveFrame(fd[0], frame, [&] { return row.end != End::Stop; });
            if (outcome != Outcome::Frame) break;
            unsigned char header[ipc_frame::kHeaderBytes];
            ipc_frame::encodeHeader(frame, header);
            frames.insert(frames.end(), header, header + sizeof header);
            frames.insert(frames.end(), frame.data.begin(), frame.data.end());
        }
        EXPECT_EQ(outcome, row.outcome);
        EXPECT_EQ(hex(frames), hex(unhex(row.frames)));
        int left = -1;
        EXPECT_EQ(ioctl(fd[0], FIONREAD, &left), 0);
        EXPECT_EQ(left, row.left);
        std::string lines;
        for (auto const& e : log.entries()) lines += (lines.empty() ? "" : "|") + lineOf(e);
        EXPECT_EQ(lines, row.log);
        for (int end : fd) close(end);
    }
}

constexpr long long kStartUs = 10'000'000'000LL;  // far from 0, where a default NSTime lies

// shown: the wait in the failure's log line; 36.415 s prints 36.42 in single
// precision, 36.41 in double. Every row then succeeds once, and fails.
struct RetrierRow {
    uint32_t failures, waitMs;
    const char* shown;
    uint32_t steps = 50, minMs = 1000, maxMs = 100000;
};
const RetrierRow kRetrierRows[] = {
    {0, 0, nullptr},
    {1, 1000, "1.00"},
    {2, 1101, "1.10"},
    {21, 36415, "36.42"},
    {49, 99898, "99.90"},
    {50, 100000, "100.00"},
    {200, 100000, "100.00"},
    {0, 100000, nullptr, 0},
    {1, 1000, nullptr, 0},
    {2, 100000, nullptr, 0},
    {2, 15, nullptr, 3, 10, 20},
    {0, 5'000'000, nullptr, 0, 1000, 5'000'000},       // 5e9 microseconds do not fit 32 bits
    {2, 2'000'000'600, nullptr, 3, 0, 4'000'000'000},  // this wide a ramp shows pi's 3.1415926 and 1.570796
};

TEST(AutoRetrierTest, WaitOwedPrintedAndKeptToTheMicrosecondUntilASuccessRestartsTheRamp) {
    for (const RetrierRow& row : kRetrierRows) {
        SCOPED_TRACE(std::to_string(row.steps) + " steps, failures " + std::to_string(row.failures));
        kesu_test::TestClock clock(kStartUs);
        LogCapture logs;
        AutoRetrier retrier("ipc_connection", row.minMs, row.maxMs, row.steps);
        for (uint32_t n = 0; n < row.failures; ++n) retrier.reportFailure();
        EXPECT_EQ(retrier.currentDelayMs(), row.waitMs);
        if (row.shown != nullptr) {
            ASSERT_EQ(logs.size(), row.failures);
            EXPECT_EQ(logs.entries().back().file + " " + lineOf(logs.entries().back()),
                      "src/common/AutoRetrier.h 2:60 ipc_connection - failed (total " + std::to_string(row.failures) +
                          " times), wait " + row.shown + " sec before next retry");
        }
        if (row.failures == 0) clock.set(0);  // the wait runs from the default NSTime
        clock.advance(row.waitMs * 1000LL - 1);
        EXPECT_FALSE(row.waitMs > 0 && retrier.readyToTry());
        clock.advance(1);
        EXPECT_TRUE(retrier.readyToTry());
        retrier.reportSuccess();
        EXPECT_EQ(lineOf(logs.entries().back()), "4:53 ipc_connection - ok");
        retrier.reportFailure();
        EXPECT_EQ(retrier.currentDelayMs(), row.minMs) << "the ramp starts again";
    }
}

// run() polls isRunning() as the library's loops do, returns at once or stops
// itself, then works 30 ms before it counts its return (a stop that does not
// wait shows); or it destroys its own object. Only the base destructor waits.
enum class Body { Poll, Return, StopItself, DeleteItself };
std::atomic<int> returns{0};
std::atomic<long> deletedOnThread{0};
class Probe : public STBThread {
public:
    explicit Probe(Body b) : body(b) {}
    void run() override {
        if (body == Body::DeleteItself) {
            delete this;
            deletedOnThread = static_cast<long>(::syscall(SYS_gettid));
            return;
        }
        if (body == Body::StopItself) {
            stop();
            if (!isRunning()) ++selfStops;
        }
        while (body == Body::Poll && isRunning()) std::this_thread::sleep_for(milliseconds(1));
        std::this_thread::sleep_for(milliseconds(30));
        ++returns;
    }
    const Body body;
    std::atomic<int> selfStops{0};
};

TEST(STBThreadTest, RunningFromStartUntilStopWhichWaitsForRunAndMayComeFromRun) {
    returns = 0;
    deletedOnThread = 0;
    Probe poll(Body::Poll);
    poll.stop();  // before any start: harmless
    poll.start(nullptr);
    EXPECT_TRUE(poll.isRunning());
    poll.start(nullptr);  // while running: nothing
    poll.stop();
    EXPECT_FALSE(poll.isRunning());
    EXPECT_EQ(returns, 1);
    Probe once(Body::Return);
    once.start(nullptr);
    ASSERT_TRUE(eventually([&] { return returns == 2; }));
    EXPECT_TRUE(once.isRunning()) << "a run() that returns by itself is no stop";
    {
        Probe self(Body::StopItself);
        self.start(nullptr);
        ASSERT_TRUE(eventually([&] { return self.selfStops == 1; })) << "stop() from run() did not return";
        self.stop();
        EXPECT_EQ(returns, 3) << "the owner's stop() did not wait";
        self.start(nullptr);  // after a stop: run() again
        ASSERT_TRUE(eventually([&] { return self.selfStops == 2; }));
        self.start(nullptr);  // once the run() that stopped itself has returned, a new one
        EXPECT_EQ(returns, 4);
        ASSERT_TRUE(eventually([&] { return self.selfStops == 3; }));
    }
    EXPECT_EQ(returns, 5) << "the destructor did not wait for a run() that stopped itself";
    (new Probe(Body::DeleteItself))->start(nullptr);
    ASSERT_TRUE(eventually([&] { return deletedOnThread != 0; }));
    // Whatever the thread does after run() happens while the test still watches (ASan).
    const std::string task = "/proc/self/task/" + std::to_string(deletedOnThread.load());
    EXPECT_TRUE(eventually([&] { return ::access(task.c_str(), F_OK) != 0; }));
}

// The run polls for 30 ms after its stop: a stop() that returns before run() did shows, and so
// does one that waits for the run a start() on a third thread began meanwhile.
TEST(STBThreadTest, StopsFromSeveralThreadsEachWaitForTheRunTheyStoppedOnly) {
    returns = 0;
    Probe probe(Body::Poll);
    probe.start(nullptr);
    auto stopper = [&probe] {
        probe.stop();
        EXPECT_EQ(returns, 1) << "stop() returned before run()";
    };
    std::thread first(stopper);
    std::thread second(stopper);
    EXPECT_TRUE(eventually([&probe] { return !probe.isRunning(); }));
    probe.start(nullptr);
    first.join();
    second.join();
    EXPECT_TRUE(probe.isRunning()) << "the run begun during the stops";
    probe.stop();
    EXPECT_EQ(returns, 2);
}

TEST(NSTimeTest, NowReadsTheMonotonicClockInMicroseconds) {
    using namespace std::chrono;
    auto steadyUs = [] { return duration_cast<microseconds>(steady_clock::now().time_since_epoch()).count(); };
    const long long before = steadyUs();
    const long long now = NSTime::nowRelative().microseconds();
    const long long after = steadyUs();
    EXPECT_TRUE(before <= now && now <= after) << before << " " << now << " " << after;
}

TEST(STBLoggerTest, SinkGetsTheFixedRecord) {
    std::string got;
    kesustb::testing::setLogSink([&](STBLogRecord const& r, kesustb::testing::LogEntry const&) {
        got = std::string(r.indent) + "|" + r.tag + "|" + r.category;
        for (uint32_t word : r.reserved) got += " " + std::to_string(word);
        for (uint8_t flag : r.flags) got += " " + std::to_string(flag);
    });
    KESU_LOG(5, 219, kLogFileClient, "try");
    kesustb::testing::setLogSink(nullptr);
    EXPECT_EQ(got, "    |KESU|info 0 0 0 0 1 0 1 0");
}

// The threshold is read once per process: each setting runs in a child, which
// logs a line too long for the logger (cut, but still ending in a newline),
// then "level N" at levels 1 to 5; stderr holds the lines up to the level shown.
TEST(STBLoggerDeathTest, LevelSettingDecidesWhatReachesStandardError) {
    GTEST_FLAG_SET(death_test_style, kesu_test::kDeathTestStyle);
    // Settings that are no level: the tool's program test (uri-launcher-cli.sh).
    const std::pair<const char*, int> kSettings[] = {{nullptr, 2}, {"", 2}, {"0", 0}, {"1", 1}, {"4", 4}};
    for (auto const& [setting, shown] : kSettings) {
        std::string lines = shown > 0 ? "^KESU \\[1\\] src/d{400}/File\\.h:7: x+\n" : "^";
        for (std::string n = "1"; n[0] <= '0' + shown; ++n[0])
            lines += "KESU \\[" + n + "\\] src/ipc/IPCMessengerClient\\.h:10" + n + ": level " + n + "\n";
        auto logEveryLevel = [setting = setting] {
            if (setting != nullptr)
                setenv("KESU_LOG_LEVEL", setting, 1);
            else
                unsetenv("KESU_LOG_LEVEL");
            KESU_LOG(1, 7, ("src/" + std::string(400, 'd') + "/File.h").c_str(), "%s", std::string(3000, 'x').c_str());
            for (int level = 1; level <= 5; ++level) KESU_LOG(level, 100 + level, kLogFileClient, "level %d", level);
            _exit(0);
        };
        EXPECT_EXIT(logEveryLevel(), ::testing::ExitedWithCode(0), lines + "$") << (setting ? setting : "unset");
    }
}

// The report goes to a file named after the test process (the child's parent).
struct Death {
    int kind;
    const char* condition /* a regular expression */;
    int res, line;
};
const Death kDeaths[] = {
    {0, "res != 35", 35, 179}, {1, "res != 16", 16, 164}, {2, "res == 0 \\|\\| res == 110", 1, 271}};

TEST(PthreadHelperDeathTest, MisuseReportsOnStdoutBacktracesOnStderrAndKills) {
    GTEST_FLAG_SET(death_test_style, kesu_test::kDeathTestStyle);
    auto report = [](pid_t pid, int kind) { return ::testing::TempDir() + "kesu." + std::to_string(pid * 10 + kind); };
    const std::string separator = "={88}\n";
    for (const Death& row : kDeaths) {
        EXPECT_EXIT(core_test::misuse(row.kind, report(getppid(), row.kind)), ::testing::KilledBySignal(SIGKILL),
                    "0x[0-9a-f]+ [^ \n]*misuse[^ \n]* \\(\\+0x[0-9a-f]+\\) \\([^\n]* at 0x[0-9a-f]+\\) \n")
            << row.kind;
        std::stringstream text;
        text << std::ifstream(report(getpid(), row.kind)).rdbuf();
        std::remove(report(getpid(), row.kind).c_str());
        EXPECT_TRUE(std::regex_match(text.str(),
                                     std::regex("wrapper at (0x[0-9a-f]+)\n" + separator + " ASSERT \\(" +
                                                row.condition + "\\) ret=" + std::to_string(row.res) +
                                                " on [^\n]*pthread_helper\\.h:" + std::to_string(row.line) +
                                                ", this:\\1\n" + separator + separator)))
            << text.str();
    }
}

// A release of a mutex not held is silent and changes nothing. The waiter's
// 4294968 ms is the shortest timeout whose microseconds wrap in 32 bits; the
// test's own 200 ms wait starts 0.9 s or later into a second, to carry over.
TEST(PthreadHelperTest, ReleasesNotHeldAreSilentAndTimedWaitsEndAtDeadlineOrSignal) KESU_NO_THREAD_SAFETY_ANALYSIS {
    pthread_helper::mutex m;
    pthread_helper::cond c;
    ::testing::internal::CaptureStdout();
    ::testing::internal::CaptureStderr();
    {
        pthread_helper::scoped_lock guard(m);
        std::thread([&]() KESU_NO_THREAD_SAFETY_ANALYSIS { m.unlock(); }).join();
        EXPECT_EQ(pthread_mutex_trylock(m.native()), EBUSY) << "a foreign release freed it";
        m.unlock();  // early, by hand: the guard's release then is one more
        EXPECT_EQ(pthread_mutex_trylock(m.native()), 0);
        pthread_mutex_unlock(m.native());
    }
    EXPECT_EQ(::testing::internal::GetCapturedStdout() + ::testing::internal::GetCapturedStderr(), "");
    std::atomic<bool> waiting{false}, woke{false};
    std::thread waiter([&]() KESU_NO_THREAD_SAFETY_ANALYSIS {
        pthread_helper::scoped_lock lock(m);
        waiting = true;
        c.timedwait(m, 4294968);
        woke = true;
    });
    timeval now{};
    EXPECT_TRUE(eventually([&] { return waiting && gettimeofday(&now, nullptr) == 0 && now.tv_usec >= 900000; }));
    m.lock();  // once the waiter waits
    const auto start = std::chrono::steady_clock::now();
    c.timedwait(m, 200);
    const auto waited = std::chrono::steady_clock::now() - start;
    EXPECT_EQ(pthread_mutex_trylock(m.native()), EBUSY);
    EXPECT_TRUE(waited >= milliseconds(199) && waited < milliseconds(5000));
    EXPECT_FALSE(woke) << "the long wait ended unsignalled";
    c.signal();
    m.unlock();
    const bool wokeBySignal = eventually([&] { return woke.load(); });
    if (!wokeBySignal) pthread_cond_broadcast(reinterpret_cast<pthread_cond_t*>(&c));  // fail rather than hang
    waiter.join();
    EXPECT_TRUE(wokeBySignal);
}

// The line as the stream's own buffer holds it: only what was flushed is there.
std::string lineFor(uintptr_t address) {
    char text[512] = {};
    FILE* out = fmemopen(text, sizeof text, "w");
    STBBackTrace::writeFrameLine(out, address);
    const std::string line = text;
    std::fclose(out);
    return line;
}

TEST(STBBackTraceTest, FrameLineRows) {
    auto pointer = [](uintptr_t address) { return (std::ostringstream() << reinterpret_cast<void*>(address)).str(); };
    const auto symbol = reinterpret_cast<uintptr_t>(&core_test::knownFunction);
    const uintptr_t code = symbol & ~uintptr_t{1};  // a Thumb symbol carries bit 0; its code does not
    Dl_info info{};
    ASSERT_NE(dladdr(reinterpret_cast<void*>(code + 2), &info), 0);
    char offset[32];
    std::snprintf(offset, sizeof offset, " (+0x%x) ", static_cast<unsigned>(code + 2 - symbol));
    const std::string resolved = pointer(code + 2) + " _ZN9core_test13knownFunctionEi" + offset + "(" + info.dli_fname +
        " at " + pointer(reinterpret_cast<uintptr_t>(info.dli_fbase)) + ") \n";
    const uintptr_t elfHeader = reinterpret_cast<uintptr_t>(info.dli_fbase) + 16;  // in the object, before any symbol
    const std::pair<uintptr_t, std::string> rows[] = {{1, "Unknown address\n"},
                                                      {code + 2, resolved},
                                                      {code + 3, resolved},  // the Thumb bit is cleared first
                                                      {0x10, pointer(0x10) + " - error resolving address\n"},
                                                      {elfHeader, pointer(elfHeader) + " - no matching symbol\n"}};
    for (auto const& [address, line] : rows) EXPECT_EQ(lineFor(address), line) << pointer(address);
}

}  // namespace
