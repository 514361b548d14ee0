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
#include "programs/CommandLine.h"
#include "kesu/ipc/IPCMessengerClient.h"
#include "kesu/ipc/IPCSocketIO.h"

namespace {

using kesu_tools::FrameAssembler;
using kesu_tools::ScopedFd;

constexpr int kExitFailure = 1;

const char kUsage[] =
    "Usage: kesu-frame-send [options] ITEM...\n"
    "Connects to a messenger server, writes every ITEM in order, then reads\n"
    "what the options ask for and exits.\n"
    "\n"
    "ITEM is a FRAME, TYPE:KIND[:VALUE] with TYPE a decimal type number and KIND\n"
    "one of  string:TEXT  strings:A,B  u32:N  u64:N  u32s:N,N  hex:0011AA  empty\n"
    "(e.g. 54:string:https://example.com/; the KIND of TYPE's class, below,\n"
    "or hex or empty), or raw:HEX, bytes written as they are without a frame\n"
    "header. A frame printed with 'broken' has a payload its class cannot have\n"
    "written; 'trailing=N': N bytes the class ignored.\n"
    "\n"
    "Options:\n"
    "  --socket PATH    connect to PATH (default /tmp/kesu_messenger)\n"
    "  --read N         after writing, print the next N frames from the server,\n"
    "                   and no more\n"
    "  --expect-close   after that, wait until the server closes the connection;\n"
    "                   the frames that come meanwhile are not printed\n"
    "  --timeout MS     time allowed for --read and --expect-close (default 5000)\n"
    "  --hex            also print the raw payload of decoded frames\n"
    "  --help, -h       print this text\n"
    "  --version        print the program's version\n"
    "An option's value may also follow an equals sign (--socket=PATH); --\n"
    "ends the options.\n"
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

// 2 with a message on bad arguments; -1 to go on; 0 after --help or --version.
int parseArguments(int argc, char** argv, Options& options) {
    kesu_tools::CommandLine args("kesu-frame-send", argc, argv);
    while (args.next()) {
        std::string const& name = args.name();
        const bool flag = args.isOption() && !args.hasInlineValue();
        std::string value;
        std::string error;
        if (!args.isOption()) {
            Item item;
            item.raw = name.rfind("raw:", 0) == 0;
            if (item.raw && (!kesu_tools::parseHex(name.substr(4), item.frame.data) || item.frame.data.empty()))
                return args.usageError("bad item '" + name + "': raw: needs hex byte pairs");
            if (!item.raw && !kesu_tools::parseFrame(name, item.frame, error))
                return args.usageError("bad frame '" + name + "': " + error);
            options.items.push_back(std::move(item));
        } else if (flag && (name == "--help" || name == "-h")) {
            std::fputs(kUsage, stdout);
            std::fputs(("\n" + kesu_tools::typeTable()).c_str(), stdout);
            return 0;
        } else if (flag && name == "--version") {
            args.printVersion();
            return 0;
        } else if (name == "--socket") {
            if (!args.value(value)) return args.usageError("--socket needs a path");
            if (!kesu_tools::checkSocketPath(value, error)) return args.usageError("--socket: " + error);
            options.socketPath = value;
        } else if (name == "--read") {
            if (!args.value(value) || !kesu_tools::parseUnsigned(value, UINT32_MAX, options.framesToRead))
                return args.usageError("--read needs a number of frames");
        } else if (name == "--timeout") {
            if (!args.value(value) || !kesu_tools::parseUnsigned(value, 24u * 3600 * 1000, options.timeoutMs))
                return args.usageError("--timeout needs a number of milliseconds");
        } else if (flag && name == "--expect-close") {
            options.expectClose = true;
        } else if (flag && name == "--hex") {
            options.printPayloadHex = true;
        } else {
            return args.usageError("unknown option '" + args.given() + "'");
        }
    }
    if (options.items.empty() && options.framesToRead == 0 && !options.expectClose)
        return args.usageError("nothing to do: give frames to send, --read or --expect-close");
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
