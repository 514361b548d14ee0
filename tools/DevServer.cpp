// kesu-dev-server: a stand-in for the box's messenger server on a PC. It
// accepts any number of clients on a Unix-domain socket, prints every frame
// they send as one decoded line, and sends them frames given on the command
// line or typed on standard input.
//
// One thread, one poll() loop. Frames are cut from whatever each recv()
// returns, so a client that sends half a frame and stalls holds up nobody.
// Sends are blocking with a timeout: a client that stops reading gets no more
// frames instead of stalling the others.
#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "FrameAssembler.h"
#include "FrameText.h"
#include "UnixSocket.h"
#include "ipc/IPCMessengerClient.h"
#include "ipc/IPCSocketIO.h"

namespace {

using kesu_tools::FrameAssembler;
using kesu_tools::ScopedFd;

constexpr int kExitSetupFailure = 1;
constexpr int kExitUsage = 2;
constexpr long kSendTimeoutMs = 1000;
constexpr size_t kReadChunkBytes = 64 * 1024;

const char kUsage[] =
    "Usage: kesu-dev-server [options]\n"
    "Development messenger server: prints every frame its clients send, one line\n"
    "per frame, and sends them frames.\n"
    "\n"
    "Options:\n"
    "  --socket PATH     listen on PATH (default /tmp/kesu_messenger)\n"
    "  --send FRAME      send FRAME to every client right after it connects;\n"
    "                    may be repeated, frames go out in the order given\n"
    "  --exit-after N    exit with status 0 once N frames have been received\n"
    "  --once            the same as --exit-after 1\n"
    "  --hex             also print the raw payload of decoded frames\n"
    "  --quiet-events    do not print connects, disconnects and sent frames\n"
    "  --help            print this text\n"
    "\n"
    "FRAME is TYPE:KIND[:VALUE] with TYPE a decimal type number and KIND one of\n"
    "  string:TEXT  strings:A,B  u32:N  u64:N  u32s:N,N  hex:0011AA  empty\n"
    "e.g. 54:string:https://example.com/  26:u32:7  7:hex:00ff  12:empty\n"
    "\n"
    "Lines on standard input use the same syntax and go to every connected\n"
    "client; empty lines and lines starting with '#' are ignored. The server\n"
    "keeps running when standard input ends. SIGINT or SIGTERM stop it and\n"
    "remove the socket file.\n"
    "\n"
    "Exit status: 0 on a signal or after --exit-after, 1 when the socket cannot\n"
    "be set up (for instance another server answers on PATH), 2 on bad arguments.\n";

struct Options {
    std::string socketPath = IPCMessengerClient::kDefaultSocketPath;
    std::vector<IPCMessageStruct> greeting;
    uint64_t exitAfterFrames = 0;  // 0: run until a signal
    bool printPayloadHex = false;
    bool quietEvents = false;
};

// The write end of the self-pipe; the handler only writes one byte to it.
int signalPipeWrite = -1;

extern "C" void onStopSignal(int) {
    const int savedErrno = errno;
    const char byte = 's';
    // A full pipe already holds a pending stop.
    [[maybe_unused]] ssize_t ignored = ::write(signalPipeWrite, &byte, 1);
    errno = savedErrno;
}

void printLine(std::string const& line) {
    std::fwrite(line.data(), 1, line.size(), stdout);
    std::fputc('\n', stdout);
    std::fflush(stdout);
}

// 2 with a message on bad arguments; -1 to go on; 0 after --help.
int parseArguments(int argc, char** argv, Options& options) {
    const auto usageError = [](std::string const& message) {
        std::fprintf(stderr, "kesu-dev-server: %s\nTry 'kesu-dev-server --help'.\n", message.c_str());
        return kExitUsage;
    };
    for (int i = 1; i < argc; ++i) {
        const std::string argument = argv[i];
        std::string name = argument;
        std::string value;
        bool hasValue = false;
        const size_t equals = argument.find('=');
        if (argument.rfind("--", 0) == 0 && equals != std::string::npos) {
            name = argument.substr(0, equals);
            value = argument.substr(equals + 1);
            hasValue = true;
        }
        const auto takeValue = [&]() {
            if (hasValue) return true;
            if (i + 1 >= argc) return false;
            value = argv[++i];
            return true;
        };

        if (name == "--help" || name == "-h") {
            std::fputs(kUsage, stdout);
            return 0;
        } else if (name == "--socket") {
            if (!takeValue() || value.empty()) return usageError("--socket needs a path");
            sockaddr_un probe;
            if (!kesu_tools::makeUnixAddress(value, probe))
                return usageError("socket path too long for a Unix-domain address: " + value);
            options.socketPath = value;
        } else if (name == "--send") {
            if (!takeValue()) return usageError("--send needs a frame");
            IPCMessageStruct frame;
            std::string error;
            if (!kesu_tools::parseFrame(value, frame, error))
                return usageError("bad frame '" + value + "': " + error);
            options.greeting.push_back(std::move(frame));
        } else if (name == "--exit-after") {
            uint64_t count = 0;
            if (!takeValue() || !kesu_tools::parseUnsigned(value, UINT64_MAX, count) || count == 0)
                return usageError("--exit-after needs a number of frames above 0");
            options.exitAfterFrames = count;
        } else if (name == "--once" && !hasValue) {
            options.exitAfterFrames = 1;
        } else if (name == "--hex" && !hasValue) {
            options.printPayloadHex = true;
        } else if (name == "--quiet-events" && !hasValue) {
            options.quietEvents = true;
        } else {
            return usageError("unknown argument '" + argument + "'");
        }
    }
    return -1;
}

struct Client {
    unsigned id = 0;
    ScopedFd fd;
    FrameAssembler assembler;
    bool open = true;
    bool writable = true;
};

class DevServer {
public:
    explicit DevServer(Options opts) : options(std::move(opts)) {}
    ~DevServer() { removeSocketFile(); }

    // False with a message on stderr.
    bool setUp();
    // Returns the exit status.
    int run();

private:
    bool bindListener(sockaddr_un& address);
    void removeSocketFile();
    void event(std::string const& line) {
        if (!options.quietEvents) printLine(line);
    }
    static std::string clientTag(Client const& client) { return "client " + std::to_string(client.id); }

    void acceptClients();
    void readClient(Client& client);
    void readStandardInput();
    void handleCommandLine(std::string line);
    void sendFrame(Client& client, IPCMessageStruct const& frame);
    void closeClient(Client& client, std::string const& why);
    bool doneReceiving() const { return options.exitAfterFrames != 0 && framesReceived >= options.exitAfterFrames; }

    Options options;
    ScopedFd listener;
    ScopedFd signalPipeRead;
    ScopedFd signalPipeWriteEnd;
    bool ownsSocketFile = false;
    dev_t socketDevice = 0;  // identify the socket file we created, so that
    ino_t socketInode = 0;   // a file another server put there is left alone
    std::vector<std::unique_ptr<Client>> clients;
    unsigned nextClientId = 1;
    uint64_t framesReceived = 0;
    bool standardInputOpen = true;
    std::string standardInputLine;
};

bool DevServer::setUp() {
    int pipeFds[2];
    if (::pipe2(pipeFds, O_CLOEXEC | O_NONBLOCK) != 0) {
        std::fprintf(stderr, "kesu-dev-server: pipe: %s\n", std::strerror(errno));
        return false;
    }
    signalPipeRead.reset(pipeFds[0]);
    signalPipeWriteEnd.reset(pipeFds[1]);
    signalPipeWrite = pipeFds[1];

    struct sigaction action;
    std::memset(&action, 0, sizeof action);
    action.sa_handler = onStopSignal;
    sigemptyset(&action.sa_mask);
    for (int signalNumber : {SIGINT, SIGTERM, SIGHUP}) ::sigaction(signalNumber, &action, nullptr);
    // Started in the background of an interactive shell, a read of the
    // terminal then fails with EIO (and input is given up) instead of
    // stopping the server.
    std::signal(SIGTTIN, SIG_IGN);

    sockaddr_un address;
    if (!kesu_tools::makeUnixAddress(options.socketPath, address)) {
        std::fprintf(stderr, "kesu-dev-server: socket path too long: %s\n", options.socketPath.c_str());
        return false;
    }
    if (!bindListener(address)) return false;
    if (::listen(listener.get(), SOMAXCONN) != 0) {
        std::fprintf(stderr, "kesu-dev-server: listen on %s: %s\n", options.socketPath.c_str(), std::strerror(errno));
        return false;
    }
    printLine("listening on " + options.socketPath);
    return true;
}

// A socket file left by a server that died is replaced; one that a live
// server answers on, or a path that is not a socket at all, is not touched.
bool DevServer::bindListener(sockaddr_un& address) {
    const char* path = options.socketPath.c_str();
    for (int attempt = 0; attempt < 2; ++attempt) {
        listener.reset(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
        if (!listener) {
            std::fprintf(stderr, "kesu-dev-server: socket: %s\n", std::strerror(errno));
            return false;
        }
        if (::bind(listener.get(), kesu_tools::asSockaddr(address), sizeof address) == 0) {
            struct stat info;
            if (::lstat(path, &info) == 0) {
                ownsSocketFile = true;
                socketDevice = info.st_dev;
                socketInode = info.st_ino;
            }
            return true;
        }
        const int bindError = errno;
        if (bindError != EADDRINUSE || attempt > 0) {
            std::fprintf(stderr, "kesu-dev-server: cannot bind %s: %s\n", path, std::strerror(bindError));
            return false;
        }
        struct stat info;
        if (::lstat(path, &info) != 0 || !S_ISSOCK(info.st_mode)) {
            std::fprintf(stderr, "kesu-dev-server: %s exists and is not a socket; not touching it\n", path);
            return false;
        }
        int connectError = 0;
        if (kesu_tools::connectUnix(options.socketPath, connectError)) {
            std::fprintf(stderr, "kesu-dev-server: another server is already listening on %s\n", path);
            return false;
        }
        if (connectError != ECONNREFUSED) {
            std::fprintf(stderr, "kesu-dev-server: cannot tell whether %s is in use: %s\n", path,
                         std::strerror(connectError));
            return false;
        }
        if (::unlink(path) != 0 && errno != ENOENT) {
            std::fprintf(stderr, "kesu-dev-server: cannot remove stale socket %s: %s\n", path, std::strerror(errno));
            return false;
        }
        std::fprintf(stderr, "kesu-dev-server: removed stale socket %s\n", path);
    }
    return false;
}

void DevServer::removeSocketFile() {
    if (!ownsSocketFile) return;
    ownsSocketFile = false;
    struct stat info;
    if (::lstat(options.socketPath.c_str(), &info) == 0 && info.st_dev == socketDevice && info.st_ino == socketInode)
        ::unlink(options.socketPath.c_str());
}

int DevServer::run() {
    std::vector<pollfd> fds;
    while (!doneReceiving()) {
        fds.clear();
        fds.push_back({signalPipeRead.get(), POLLIN, 0});
        fds.push_back({listener.get(), POLLIN, 0});
        fds.push_back({standardInputOpen ? STDIN_FILENO : -1, POLLIN, 0});
        for (auto const& client : clients) fds.push_back({client->fd.get(), POLLIN, 0});

        if (::poll(fds.data(), fds.size(), -1) < 0) {
            if (errno == EINTR) continue;
            std::fprintf(stderr, "kesu-dev-server: poll: %s\n", std::strerror(errno));
            return kExitSetupFailure;
        }
        if (fds[0].revents != 0) break;
        if (fds[2].revents != 0) readStandardInput();
        // Clients accepted below are not in `fds` yet; the index matches the
        // ones that were.
        const size_t polledClients = fds.size() - 3;
        for (size_t i = 0; i < polledClients && !doneReceiving(); ++i) {
            if (fds[3 + i].revents != 0 && clients[i]->open) readClient(*clients[i]);
        }
        if (fds[1].revents != 0 && !doneReceiving()) acceptClients();

        for (auto it = clients.begin(); it != clients.end();) it = (*it)->open ? it + 1 : clients.erase(it);
    }
    for (auto& client : clients) closeClient(*client, "server stopping");
    clients.clear();
    removeSocketFile();
    return 0;
}

void DevServer::acceptClients() {
    for (;;) {
        ScopedFd fd(::accept4(listener.get(), nullptr, nullptr, SOCK_CLOEXEC));
        if (!fd) {
            if (errno == EINTR || errno == ECONNABORTED) continue;
            if (errno != EAGAIN && errno != EWOULDBLOCK)
                std::fprintf(stderr, "kesu-dev-server: accept: %s\n", std::strerror(errno));
            return;
        }
        timeval timeout{kSendTimeoutMs / 1000, (kSendTimeoutMs % 1000) * 1000};
        ::setsockopt(fd.get(), SOL_SOCKET, SO_SNDTIMEO, &timeout, sizeof timeout);

        auto client = std::make_unique<Client>();
        client->id = nextClientId++;
        client->fd = std::move(fd);
        event(clientTag(*client) + " connected");
        for (IPCMessageStruct const& frame : options.greeting) sendFrame(*client, frame);
        clients.push_back(std::move(client));
    }
}

// A failed send ends the sending direction only: a client that wrote its
// frames and hung up before it was accepted still has them read and printed,
// and one that stopped reading sees the end of the stream rather than half a
// frame followed by more.
void DevServer::sendFrame(Client& client, IPCMessageStruct const& frame) {
    if (!client.open || !client.writable) return;
    if (!ipc_io::writeFrame(client.fd.get(), frame)) {
        event(clientTag(client) + " send failed: " + std::strerror(errno) + "; nothing more is sent to it");
        client.writable = false;
        ::shutdown(client.fd.get(), SHUT_WR);
        return;
    }
    event(clientTag(client) + " sent " + kesu_tools::describeFrame(frame, options.printPayloadHex));
}

void DevServer::readClient(Client& client) {
    char buffer[kReadChunkBytes];
    const ssize_t received = ::recv(client.fd.get(), buffer, sizeof buffer, MSG_DONTWAIT);
    // A client that hangs up with frames of ours still unread resets the
    // connection instead of ending it: a hang-up all the same.
    if (received == 0 || (received < 0 && errno == ECONNRESET)) {
        if (client.assembler.pendingBytes() != 0)
            printLine(clientTag(client) + " closed in the middle of a frame (" +
                      std::to_string(client.assembler.pendingBytes()) + " bytes held)");
        closeClient(client, "");
        return;
    }
    if (received < 0) {
        if (errno == EINTR || errno == EAGAIN || errno == EWOULDBLOCK) return;
        closeClient(client, std::string("read error: ") + std::strerror(errno));
        return;
    }
    size_t offset = 0;
    while (offset < static_cast<size_t>(received)) {
        size_t used = 0;
        const FrameAssembler::Status status =
            client.assembler.feed(buffer + offset, static_cast<size_t>(received) - offset, used);
        offset += used;
        switch (status) {
        case FrameAssembler::Status::NeedMore:
            break;
        case FrameAssembler::Status::Frame:
            printLine(clientTag(client) + " frame " +
                      kesu_tools::describeFrame(client.assembler.takeFrame(), options.printPayloadHex));
            ++framesReceived;
            if (doneReceiving()) return;
            break;
        case FrameAssembler::Status::BadMarker: {
            char marker[8];
            std::snprintf(marker, sizeof marker, "0x%02X", client.assembler.firstByte());
            printLine(clientTag(client) + " out of sync: header starts with " + marker + ", not the frame marker");
            closeClient(client, "out of sync");
            return;
        }
        case FrameAssembler::Status::TooLarge:
            printLine(clientTag(client) + " frame too large: type=" + std::to_string(client.assembler.announced().type) +
                      " length=" + std::to_string(client.assembler.announced().length) + " (limit " +
                      std::to_string(ipc_frame::kMaxPayloadBytes) + ")");
            closeClient(client, "frame too large");
            return;
        }
    }
}

void DevServer::readStandardInput() {
    char buffer[4096];
    const ssize_t received = ::read(STDIN_FILENO, buffer, sizeof buffer);
    if (received < 0 && (errno == EINTR || errno == EAGAIN)) return;
    if (received <= 0) {
        // End of input (or a descriptor that cannot be read): keep serving.
        standardInputOpen = false;
        if (!standardInputLine.empty()) handleCommandLine(std::move(standardInputLine));
        standardInputLine.clear();
        return;
    }
    standardInputLine.append(buffer, static_cast<size_t>(received));
    size_t newline;
    while ((newline = standardInputLine.find('\n')) != std::string::npos) {
        std::string line = standardInputLine.substr(0, newline);
        standardInputLine.erase(0, newline + 1);
        handleCommandLine(std::move(line));
    }
}

void DevServer::handleCommandLine(std::string line) {
    while (!line.empty() && (line.back() == '\r' || line.back() == ' ' || line.back() == '\t')) line.pop_back();
    const size_t start = line.find_first_not_of(" \t");
    if (start == std::string::npos || line[start] == '#') return;
    line.erase(0, start);

    IPCMessageStruct frame;
    std::string error;
    if (!kesu_tools::parseFrame(line, frame, error)) {
        std::fprintf(stderr, "kesu-dev-server: bad frame '%s': %s\n", line.c_str(), error.c_str());
        return;
    }
    size_t recipients = 0;
    for (auto& client : clients) {
        if (!client->open || !client->writable) continue;
        sendFrame(*client, frame);
        ++recipients;
    }
    if (recipients == 0) std::fprintf(stderr, "kesu-dev-server: no client to send to; frame dropped\n");
}

void DevServer::closeClient(Client& client, std::string const& why) {
    if (!client.open) return;
    client.open = false;
    client.fd.reset();
    event(clientTag(client) + " disconnected" + (why.empty() ? std::string() : " (" + why + ")"));
}

}  // namespace

int main(int argc, char** argv) {
    // Scripts read the output through pipes and files: every line must be
    // there as soon as it is printed.
    std::setvbuf(stdout, nullptr, _IOLBF, 0);
    // Clients that hang up and readers of the output that go away make
    // writes fail instead of ending the server.
    std::signal(SIGPIPE, SIG_IGN);

    Options options;
    const int status = parseArguments(argc, argv, options);
    if (status >= 0) return status;

    DevServer server(std::move(options));
    if (!server.setUp()) return kExitSetupFailure;
    return server.run();
}
