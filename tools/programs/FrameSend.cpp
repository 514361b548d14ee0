// kesu-frame-send: connects to a messenger server, writes frames given on the
// command line, and can print the frames that come back. A client for trying
// a server by hand and for scripted checks of kesu-dev-server.
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "frames/FrameAssembler.h"
#include "frames/FrameText.h"
#include "loop/UnixSocket.h"
#include "kesu/ipc/IPCMessengerClient.h"
#include "kesu/ipc/IPCSocketIO.h"

namespace {

using kesu_tools::FrameAssembler;
using kesu_tools::ScopedFd;

constexpr int kExitFailure = 1;
constexpr int kExitUsage = 2;

const char kUsage[] =
    "Usage: kesu-frame-send [options] ITEM...\n"
    "Connects to a messenger server, writes every ITEM in order, then reads\n"
    "what the options ask for and exits.\n"
    "\n"
    "ITEM is a FRAME, TYPE:KIND[:VALUE] with TYPE a decimal type number and KIND\n"
    "one of  string:TEXT  strings:A,B  u32:N  u64:N  u32s:N,N  hex:0011AA  empty\n"
    "(e.g. 54:string:https://example.com/), or raw:HEX, bytes written as they\n"
    "are without a frame header.\n"
    "\n"
    "Options:\n"
    "  --socket PATH    connect to PATH (default /tmp/kesu_messenger)\n"
    "  --read N         after writing, print the next N frames from the server,\n"
    "                   and no more\n"
    "  --expect-close   after that, wait until the server closes the connection;\n"
    "                   the frames that come meanwhile are not printed\n"
    "  --timeout MS     time allowed for --read and --expect-close (default 5000)\n"
    "  --hex            also print the raw payload of decoded frames\n"
    "  --help           print this text\n"
    "\n"
    "Exit status: 0 when everything was written and read as asked, 1 when the\n"
    "connection, a write or a read fails or time runs out, 2 on bad arguments.\n";

struct Item {
    bool raw = false;
    IPCMessageStruct frame;  // the payload holds the raw bytes for a raw item
};

struct Options {
    std::string socketPath = IPCMessengerClient::kDefaultSocketPath;
    std::vector<Item> items;
    uint64_t framesToRead = 0;
    bool expectClose = false;
    uint64_t timeoutMs = 5000;
    bool printPayloadHex = false;
};

void printLine(std::string const& line) {
    std::fwrite(line.data(), 1, line.size(), stdout);
    std::fputc('\n', stdout);
    std::fflush(stdout);
}

// 2 with a message on bad arguments; -1 to go on; 0 after --help.
int parseArguments(int argc, char** argv, Options& options) {
    const auto usageError = [](std::string const& message) {
        std::fprintf(stderr, "kesu-frame-send: %s\nTry 'kesu-frame-send --help'.\n", message.c_str());
        return kExitUsage;
    };
    for (int i = 1; i < argc; ++i) {
        const std::string argument = argv[i];
        const auto takeValue = [&](std::string& value) {
            if (i + 1 >= argc) return false;
            value = argv[++i];
            return true;
        };
        std::string value;
        if (argument == "--help" || argument == "-h") {
            std::fputs(kUsage, stdout);
            return 0;
        } else if (argument == "--socket") {
            sockaddr_un probe;
            if (!takeValue(value) || !kesu_tools::makeUnixAddress(value, probe))
                return usageError("--socket needs a path that fits a Unix-domain address");
            options.socketPath = value;
        } else if (argument == "--read") {
            if (!takeValue(value) || !kesu_tools::parseUnsigned(value, UINT32_MAX, options.framesToRead))
                return usageError("--read needs a number of frames");
        } else if (argument == "--timeout") {
            if (!takeValue(value) || !kesu_tools::parseUnsigned(value, 24u * 3600 * 1000, options.timeoutMs))
                return usageError("--timeout needs a number of milliseconds");
        } else if (argument == "--expect-close") {
            options.expectClose = true;
        } else if (argument == "--hex") {
            options.printPayloadHex = true;
        } else if (argument.rfind("--", 0) == 0) {
            return usageError("unknown option '" + argument + "'");
        } else if (argument.rfind("raw:", 0) == 0) {
            Item item;
            item.raw = true;
            if (!kesu_tools::parseHex(argument.substr(4), item.frame.data) || item.frame.data.empty())
                return usageError("bad item '" + argument + "': raw: needs hex byte pairs");
            options.items.push_back(std::move(item));
        } else {
            Item item;
            std::string error;
            if (!kesu_tools::parseFrame(argument, item.frame, error))
                return usageError("bad frame '" + argument + "': " + error);
            options.items.push_back(std::move(item));
        }
    }
    if (options.items.empty() && options.framesToRead == 0 && !options.expectClose)
        return usageError("nothing to do: give frames to send, --read or --expect-close");
    return -1;
}

// Reads until `framesToRead` frames have been printed and, with
// `expectClose`, the server has closed the stream; all before the deadline.
int readReplies(int fd, Options const& options) {
    using Clock = std::chrono::steady_clock;
    const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(options.timeoutMs);
    FrameAssembler assembler;
    uint64_t framesRead = 0;
    const auto progress = [&]() {
        return std::to_string(framesRead) + " of " + std::to_string(options.framesToRead) + " frames";
    };

    while (framesRead < options.framesToRead || options.expectClose) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
        if (left <= 0) {
            if (framesRead < options.framesToRead)
                std::fprintf(stderr, "kesu-frame-send: timed out after %s\n", progress().c_str());
            else
                std::fprintf(stderr, "kesu-frame-send: timed out: the server did not close the connection\n");
            return kExitFailure;
        }
        pollfd pfd{fd, POLLIN, 0};
        const int ready = ::poll(&pfd, 1, static_cast<int>(left));
        if (ready < 0 && errno != EINTR) {
            std::fprintf(stderr, "kesu-frame-send: poll: %s\n", std::strerror(errno));
            return kExitFailure;
        }
        if (ready <= 0) continue;

        char buffer[64 * 1024];
        const ssize_t received = ::recv(fd, buffer, sizeof buffer, MSG_DONTWAIT);
        if (received < 0 && (errno == EINTR || errno == EAGAIN || errno == EWOULDBLOCK)) continue;
        // A server that closes while our bytes are still unread resets the
        // connection instead of ending it: the same close to us.
        if (received == 0 || (received < 0 && errno == ECONNRESET)) {
            if (framesRead < options.framesToRead) {
                std::fprintf(stderr, "kesu-frame-send: connection closed after %s\n", progress().c_str());
                return kExitFailure;
            }
            printLine("connection closed by server");
            return 0;
        }
        if (received < 0) {
            std::fprintf(stderr, "kesu-frame-send: read error: %s\n", std::strerror(errno));
            return kExitFailure;
        }
        size_t offset = 0;
        while (offset < static_cast<size_t>(received)) {
            size_t used = 0;
            const FrameAssembler::Status status =
                assembler.feed(buffer + offset, static_cast<size_t>(received) - offset, used);
            offset += used;
            if (status == FrameAssembler::Status::Frame) {
                IPCMessageStruct const frame = assembler.takeFrame();
                // Frames after the Nth of --read are not printed, though they
                // came in the same read.
                if (framesRead == options.framesToRead) continue;
                printLine("frame " + kesu_tools::describeFrame(frame, options.printPayloadHex));
                ++framesRead;
                if (framesRead == options.framesToRead && !options.expectClose) return 0;
            } else if (status == FrameAssembler::Status::BadMarker) {
                std::fprintf(stderr, "kesu-frame-send: the server's stream is out of sync\n");
                return kExitFailure;
            } else if (status == FrameAssembler::Status::TooLarge) {
                std::fprintf(stderr, "kesu-frame-send: the server announces a frame of %u bytes\n",
                             assembler.announced().length);
                return kExitFailure;
            }
        }
    }
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    std::setvbuf(stdout, nullptr, _IOLBF, 0);
    // A server that has gone makes the write fail, with a message, instead.
    std::signal(SIGPIPE, SIG_IGN);

    Options options;
    const int status = parseArguments(argc, argv, options);
    if (status >= 0) return status;

    int error = 0;
    ScopedFd fd = kesu_tools::connectUnix(options.socketPath, error);
    if (!fd) {
        std::fprintf(stderr, "kesu-frame-send: cannot connect to %s: %s\n", options.socketPath.c_str(),
                     std::strerror(error));
        return kExitFailure;
    }
    for (Item const& item : options.items) {
        const bool written = item.raw ? ipc_io::writeFully(fd.get(), item.frame.data.data(), item.frame.data.size())
                                      : ipc_io::writeFrame(fd.get(), item.frame);
        if (!written) {
            std::fprintf(stderr, "kesu-frame-send: write failed: %s\n", std::strerror(errno));
            return kExitFailure;
        }
    }
    return readReplies(fd.get(), options);
}
