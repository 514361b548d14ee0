// kesu-dev-server: a stand-in for the box's messenger server on a PC. It
// accepts any number of clients on a Unix-domain socket, prints every frame
// they send as one decoded line, sends them frames given on the command line
// or typed on standard input, and on request plays a bad server (--faults)
// so that applications can be tried against one. With --tap it sits in
// front of a running server instead and prints the traffic both ways. Either
// records what passes (--pcap); --replay plays a recorded server again.
#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <climits>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <memory>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "capture/Recorder.h"
#include "capture/Replay.h"
#include "frames/FrameText.h"
#include "kesu/ipc/IPCMessengerClient.h"
#include "loop/EventLoop.h"
#include "programs/CommandLine.h"
#include "programs/EventOutput.h"
#include "server/Faults.h"
#include "server/ScriptedServer.h"
#include "tap/Tap.h"

#if !KESU_HAVE_JSON
// Never called: --json is refused first.
std::unique_ptr<kesu_tools::EventOutput> kesu_tools::makeJsonOutput() { return nullptr; }
#endif

namespace {

using namespace kesu_tools;

constexpr int kExitSetupFailure = 1;

const char kUsage[] =
    "Usage: kesu-dev-server [options]\n"
    "Development messenger server: prints every frame its clients send and\n"
    "every connection's start and end, one line per event after its time of\n"
    "day and the seconds since the start, and sends the clients frames.\n"
    "\n"
    "Options:\n"
    "  --socket PATH     listen on PATH (default /tmp/kesu_messenger)\n"
    "  --send FRAME      send FRAME to every client right after it connects;\n"
    "                    may be repeated, frames go out in the order given\n"
    "  --faults LIST     play a bad server: every connection gets a fault of\n"
    "                    LIST (comma-separated, or all), at once or as its end,\n"
    "                    and maybe more between well-formed frames; each is\n"
    "                    printed as it happens, and the server never ends a\n"
    "                    connection on purpose without such a line\n"
    "  --fault-rate P    with --faults: only a share P (0 to 1, default 1) of\n"
    "                    the connections gets faults; the others get a few\n"
    "                    well-formed frames and nothing more\n"
    "  --seed N          with --faults: the scripts follow from N (default:\n"
    "                    random, printed); the same seed replays the same scripts\n"
    "  --exit-after N    exit with status 0 once N frames from clients have been\n"
    "                    printed (filters apply); no frame after the Nth is\n"
    "                    printed\n"
    "  --once            the same as --exit-after 1\n"
    "  --tap             sit in front of the server listening on PATH: its socket\n"
    "                    file becomes PATH.tapped, clients reach it through the\n"
    "                    tap, and every frame is printed both ways, unchanged;\n"
    "                    SIGINT or SIGTERM give PATH back to the server, a\n"
    "                    server that has died meanwhile gets nothing back\n"
    "  --untap           after a tap ended without giving PATH back (SIGKILL):\n"
    "                    move the server at PATH.tapped back to PATH, when it\n"
    "                    answers and nothing answers at PATH; a PATH.tapped\n"
    "                    that nothing answers is removed\n"
    "  --json            one JSON object per event instead of a line of text\n"
    "  --hex             also print the raw payload of decoded frames\n"
    "  --quiet-events    print only the frames clients send and the faults\n"
    "  --client LIST     print only the events of these clients (their numbers\n"
    "                    as printed, comma-separated)\n"
    "  --type LIST       print only the frames of these type numbers\n"
    "  --direction DIR   print only the frames going DIR: to-server or to-client\n"
    "                    (frames the tap sends included)\n"
    "  --pcap FILE       also write every frame both ways to FILE, a pcap capture,\n"
    "                    record by record (- for standard output: the events then\n"
    "                    go to standard error); a full disk ends the capture, not\n"
    "                    the server or the tap\n"
    "  --replay FILE     play the server's side of a recorded connection to a\n"
    "                    client, with the recorded gaps, and compare each frame\n"
    "                    the client sends with the recorded one; ends when the\n"
    "                    client leaves, or is quiet for a second once all is played\n"
    "  --connection N    with --replay: the recorded connection to play (default:\n"
    "                    the first in the file)\n"
    "  --speed X         with --replay: gaps divided by X (default 1; 0: no waits)\n"
    "  --loop            with --replay: serve client after client until a signal\n"
    "  --help, -h        print this text\n"
    "  --version         print the program's version\n"
    "An option's value may also follow an equals sign (--socket=PATH).\n"
    "\n"
    "FRAME is TYPE:KIND[:VALUE] with TYPE a decimal type number and KIND one of\n"
    "  string:TEXT  strings:A,B  u32:N  u64:N  u32s:N,N  hex:0011AA  empty\n"
    "e.g. 54:string:https://example.com/  26:u32:7  7:hex:00ff  12:empty;\n"
    "the KIND must be the one of TYPE's class (below), or hex or empty.\n"
    "A frame whose payload its class cannot have written is printed with\n"
    "'broken', or with 'trailing=N' for N bytes the class ignored.\n"
    "\n"
    "Faults: all, or any of\n"
    "  accept-then-close close-in-header close-in-payload wrong-marker above-bound\n"
    "  at-bound bad-payload large-frame burst one-byte-pieces stall never-read\n"
    "  reset recreate-socket close-between-frames hold-open\n"
    "\n"
    "Lines on standard input use the FRAME syntax and go to every connected\n"
    "client; empty lines and lines starting with '#' are ignored. The server\n"
    "keeps running when standard input ends. SIGINT or SIGTERM stop it and\n"
    "remove the socket file; so does the end of a pipe on its standard output\n"
    "(kesu-dev-server | head -5 ends once head has).\n"
    "\n"
    "Exit status: 0 on a signal, after --exit-after or once the reader of the\n"
    "output has gone, 1 when the socket cannot be set up (for instance another\n"
    "server answers on PATH), 2 on bad arguments or a --pcap file that cannot be\n"
    "made. With --replay: 0 when every client's frames matched the recording,\n"
    "1 otherwise, 2 for a file that cannot be replayed.\n";

// Where the dissector lies from the program: installed, and in the build tree.
std::string dissectorPath() {
    char self[PATH_MAX];
    const ssize_t n = ::readlink("/proc/self/exe", self, sizeof self - 1);
    std::string path(self, n > 0 ? static_cast<size_t>(n) : 0);
    path = path.substr(0, path.rfind('/') + 1) + KESU_DISSECTOR_FROM_PROGRAM;
    char resolved[PATH_MAX];
    return ::realpath(path.c_str(), resolved) != nullptr ? resolved : path;
}

struct Options {
    std::string socketPath = IPCMessengerClient::kDefaultSocketPath;
    std::vector<IPCMessageStruct> greeting;
    std::vector<Fault> faults;
    double faultRate = 1;
    uint64_t seed = std::random_device{}();
    uint64_t exitAfterFrames = 0;  // 0: run until a signal
    bool tap = false;
    bool untap = false;
    bool json = false;
    bool printPayloadHex = false;
    bool quietEvents = false;
    std::set<ConnectionId> clients;     // empty: every client
    std::set<IPCMessageType> types;     // empty: every type
    std::string direction;              // to-server, to-client, or empty: both
    std::string pcapPath;               // empty: no capture
    std::string replayPath;             // empty: no replay
    ConnectionId replayConnection = 0;  // 0: the first in the recording
    double replaySpeed = 1;
    bool replayLoop = false;
};

// "3,5,12" into `out`, each at most `maximum`.
bool parseNumbers(std::string const& list, uint64_t maximum, std::set<uint64_t>& out) {
    size_t start = 0;
    for (;;) {
        const size_t comma = list.find(',', start);
        uint64_t number = 0;
        if (!parseUnsigned(list.substr(start, comma - start), maximum, number)) return false;
        out.insert(number);
        if (comma == std::string::npos) return true;
        start = comma + 1;
    }
}

EventLoop* running = nullptr;

extern "C" void onStopSignal(int) {
    // quit() only writes a byte to the loop's wake-up pipe.
    if (running != nullptr) running->quit();
}

constexpr bool kBuiltWithJson = KESU_HAVE_JSON;

// 2 with a message on bad arguments; -1 to go on; 0 after --help or --version.
int parseArguments(int argc, char** argv, Options& options) {
    CommandLine args("kesu-dev-server", argc, argv);
    bool seedGiven = false;
    bool rateGiven = false;
    bool replayGiven = false;  // an option that only --replay takes
    while (args.next()) {
        std::string const& name = args.name();
        const bool flag = args.isOption() && !args.hasInlineValue();
        std::string value;
        std::string error;
        if (!args.isOption()) {
            return args.usageError("unexpected argument '" + name + "'");
        } else if (flag && (name == "--help" || name == "-h")) {
            std::fputs(kUsage, stdout);
            std::printf(
                "\nCaptures open in Wireshark with the dissector installed at\n  %s\n"
                "e.g. tshark -X lua_script:%s -r FILE\n",
                dissectorPath().c_str(), dissectorPath().c_str());
            std::fputs(("\n" + typeTable()).c_str(), stdout);
            return 0;
        } else if (flag && name == "--version") {
            args.printVersion();
            return 0;
        } else if (name == "--socket") {
            if (!args.value(value)) return args.usageError("--socket needs a path");
            if (!checkSocketPath(value, error)) return args.usageError("--socket: " + error);
            options.socketPath = value;
        } else if (name == "--send") {
            IPCMessageStruct frame;
            if (!args.value(value)) return args.usageError("--send needs a frame");
            if (!parseFrame(value, frame, error)) return args.usageError("bad frame '" + value + "': " + error);
            options.greeting.push_back(std::move(frame));
        } else if (name == "--faults") {
            if (!args.value(value))
                return args.usageError("--faults needs a list of faults: all, or any of " + faultNames());
            if (!parseFaults(value, options.faults, error)) return args.usageError("--faults: " + error);
        } else if (name == "--fault-rate") {
            char* end = nullptr;
            const bool given = args.value(value) && !value.empty();
            if (given) options.faultRate = std::strtod(value.c_str(), &end);
            if (!given || *end != '\0' || !(options.faultRate >= 0 && options.faultRate <= 1))
                return args.usageError("--fault-rate needs a share of the connections from 0 to 1");
            rateGiven = true;
        } else if (name == "--seed") {
            if (!args.value(value) || !parseUnsigned(value, UINT64_MAX, options.seed))
                return args.usageError("--seed needs a number");
            seedGiven = true;
        } else if (name == "--exit-after") {
            if (!args.value(value) || !parseUnsigned(value, UINT64_MAX, options.exitAfterFrames) ||
                options.exitAfterFrames == 0)
                return args.usageError("--exit-after needs a number of frames above 0");
        } else if (flag && name == "--once") {
            options.exitAfterFrames = 1;
        } else if (flag && name == "--tap") {
            options.tap = true;
        } else if (flag && name == "--untap") {
            options.untap = true;
        } else if (flag && name == "--json") {
            if (!kBuiltWithJson)
                return args.usageError("--json: built without JSON support (nlohmann-json3-dev was not installed)");
            options.json = true;
        } else if (flag && name == "--hex") {
            options.printPayloadHex = true;
        } else if (flag && name == "--quiet-events") {
            options.quietEvents = true;
        } else if (name == "--client" || name == "--type") {
            std::set<uint64_t> numbers;
            if (!args.value(value) || !parseNumbers(value, name == "--type" ? 0xFFFFFF : UINT64_MAX, numbers))
                return args.usageError(name + " needs numbers, comma-separated");
            for (uint64_t number : numbers) {
                if (name == "--client")
                    options.clients.insert(number);
                else
                    options.types.insert(static_cast<IPCMessageType>(number));
            }
        } else if (name == "--direction") {
            if (!args.value(value) || (value != "to-server" && value != "to-client"))
                return args.usageError("--direction needs to-server or to-client");
            options.direction = value;
        } else if (name == "--pcap" || name == "--replay") {
            if (!args.value(value) || value.empty()) return args.usageError(name + " needs a file");
            if (name == "--pcap")
                options.pcapPath = value;
            else
                options.replayPath = value;
        } else if (name == "--connection") {
            if (!args.value(value) || !parseUnsigned(value, UINT64_MAX, options.replayConnection) ||
                options.replayConnection == 0)
                return args.usageError("--connection needs a connection number above 0");
            replayGiven = true;
        } else if (name == "--speed") {
            char* end = nullptr;
            const bool given = args.value(value) && !value.empty();
            if (given) options.replaySpeed = std::strtod(value.c_str(), &end);
            // Bounded, so that the longest recorded gap stays a time the clock can add.
            const double speed = options.replaySpeed;
            if (!given || *end != '\0' || !(speed == 0 || (speed >= 1e-3 && speed <= 1e6)))
                return args.usageError("--speed needs a factor from 0.001 to 1000000, or 0 for no waits");
            replayGiven = true;
        } else if (flag && name == "--loop") {
            options.replayLoop = true;
            replayGiven = true;
        } else {
            return args.usageError("unknown option '" + args.given() + "'");
        }
    }
    if ((seedGiven || rateGiven) && options.faults.empty())
        return args.usageError(seedGiven ? "--seed is for the scripts of --faults" : "--fault-rate is for --faults");
    const bool replay = !options.replayPath.empty();
    if (replayGiven && !replay) return args.usageError("--connection, --speed and --loop are for --replay");
    if (options.untap &&
        (options.tap || replay || !options.pcapPath.empty() || !options.faults.empty() || !options.greeting.empty()))
        return args.usageError("--untap takes --socket only");
    if (replay &&
        (options.tap || options.json || !options.faults.empty() || !options.greeting.empty() ||
         options.exitAfterFrames != 0))
        return args.usageError(
            "--replay plays the recording alone, in text: no --tap, --json, --faults, --send or "
            "--exit-after");
    if (options.tap && (!options.faults.empty() || !options.greeting.empty() || options.exitAfterFrames != 0))
        return args.usageError("--tap forwards the traffic as it is: no --faults, --send or --exit-after");
    return -1;
}

// Prints what happens, greets new clients, takes frames from standard input,
// and in a tap gives the path back to the server at the end.
class DevServer : public ServerObserver {
public:
    DevServer(EventLoop& eventLoop, Options const& opts, EventOutput& printer)
        : loop(eventLoop),
          options(opts),
          output(printer),
          input(eventLoop, [this](short) { readStandardInput(); }),
          reader(eventLoop, [this](short) { loop.quit(); }) {}

    // What the program runs: a server, or a tap (the other is null).
    void serve(ScriptedServer* scripted, Tap* forwarding) {
        server = scripted;
        tap = forwarding;
        input.watch(STDIN_FILENO, POLLIN);
        // Writes to a reader that has gone fail quietly (SIGPIPE is ignored),
        // and an idle server writes nothing: the pipe's POLLERR (a socket's
        // POLLHUP) ends the server at once instead, as it ends a filter.
        struct stat info;
        if (::fstat(STDOUT_FILENO, &info) == 0 && (S_ISFIFO(info.st_mode) || S_ISSOCK(info.st_mode)))
            reader.watch(STDOUT_FILENO, 0);
    }

    void connected(ConnectionId id) override {
        if (!options.quietEvents && chosen(id)) output.connected(id);
        for (IPCMessageStruct const& frame : options.greeting) server->enqueue(id, Step::frame(frame));
    }
    void frame(ConnectionId id, Direction direction, IPCMessageStruct const& frame) override {
        // The loop ends after this turn: frames that came in the same read as
        // the last one counted, or while the connections close, are not shown.
        if (options.exitAfterFrames != 0 && framesReceived == options.exitAfterFrames) return;
        if (!chosen(id, direction) || (!options.types.empty() && options.types.count(frame.type) == 0)) return;
        if (!options.quietEvents || direction == Direction::ToServer || options.tap) output.frame(id, direction, frame);
        if (direction == Direction::ToServer && options.exitAfterFrames != 0 &&
            ++framesReceived == options.exitAfterFrames)
            loop.quit();
    }
    void outOfSync(ConnectionId id, Direction direction, std::string const& what) override {
        if (chosen(id, direction)) output.outOfSync(id, direction, what);
    }
    void injected(ConnectionId id, std::string const& what) override {
        if (chosen(id)) output.injected(id, what);
    }
    void disconnected(ConnectionId id, ConnectionSummary const& summary, std::string const& why) override {
        if (!options.quietEvents && chosen(id)) output.disconnected(id, summary, why);
    }
    void listenFailed(std::string const& why) override { std::fprintf(stderr, "kesu-dev-server: %s\n", why.c_str()); }
    void stopping() override {
        if (!options.tap) return;
        const std::string tapped = tappedPath(options);
        int error = 0;
        // A server that died meanwhile gets nothing back: its dead socket
        // file goes, the tap's goes with the tap, and the path is free.
        if (!connectUnix(tapped, error) && error == ECONNREFUSED) {
            ::unlink(tapped.c_str());
            return;
        }
        // Replaces the tap's socket file in one step: no client finds the
        // path missing, and those the tap drops next reconnect straight to
        // the server.
        if (::rename(tapped.c_str(), options.socketPath.c_str()) != 0)
            std::fprintf(stderr, "kesu-dev-server: cannot give %s back: %s\n", options.socketPath.c_str(),
                         std::strerror(errno));
    }

    static std::string tappedPath(Options const& options) { return options.socketPath + ".tapped"; }

private:
    // The filters: --client for every event, --direction (and --type) for frames.
    bool chosen(ConnectionId id) const { return options.clients.empty() || options.clients.count(id) != 0; }
    bool chosen(ConnectionId id, Direction direction) const {
        return chosen(id) &&
            (options.direction.empty() || (options.direction == "to-server") == (direction == Direction::ToServer));
    }

    void readStandardInput();
    void handleCommandLine(std::string line);

    EventLoop& loop;
    Options const& options;
    EventOutput& output;
    Channel input;
    Channel reader;  // of standard output: told only when it has gone
    ScriptedServer* server = nullptr;
    Tap* tap = nullptr;
    uint64_t framesReceived = 0;
    std::string pendingInput;
};

std::string untapAdvice(Options const& options) {
    return "; kesu-dev-server --untap --socket " + options.socketPath + " gives the path back";
}

// Moves the running server's socket file aside, so the tap can take the
// path. A listening socket goes on working under its new name.
bool takeOverPath(Options const& options, std::string& error) {
    std::string tapped = DevServer::tappedPath(options);
    struct stat info;
    if (::lstat(tapped.c_str(), &info) == 0) {
        error = tapped + " exists: another tap runs, or one ended without giving the path back" + untapAdvice(options);
        return false;
    }
    int connectError = 0;
    if (!connectUnix(options.socketPath, connectError)) {
        error = "no server answers on " + options.socketPath + ": " + std::strerror(connectError);
        return false;
    }
    if (::rename(options.socketPath.c_str(), tapped.c_str()) != 0) {
        error = "cannot move " + options.socketPath + " aside: " + std::strerror(errno);
        return false;
    }
    return true;
}

// For a tap that ended without giving the path back (SIGKILL): the server
// hidden at PATH.tapped gets PATH again when it answers and nothing answers
// at PATH; a socket file there that nothing answers is only removed.
int untap(Options const& options) {
    const std::string tapped = DevServer::tappedPath(options);
    char const* path = options.socketPath.c_str();
    int pathError = 0;
    int error = 0;
    struct stat info;
    if (connectUnix(options.socketPath, pathError) || (::lstat(path, &info) == 0 && !S_ISSOCK(info.st_mode))) {
        std::fprintf(stderr, "kesu-dev-server: --untap: %s is in use (a tap still running?); not touching it\n", path);
        return kExitSetupFailure;
    }
    if (!connectUnix(tapped, error) && error == ECONNREFUSED && ::unlink(tapped.c_str()) == 0) {
        std::printf("no server answers at %s: removed it\n", tapped.c_str());
        return 0;
    }
    if (error != 0 || ::rename(tapped.c_str(), path) != 0) {
        std::fprintf(stderr, "kesu-dev-server: --untap: %s: %s\n", tapped.c_str(),
                     std::strerror(error != 0 ? error : errno));
        return kExitSetupFailure;
    }
    std::printf("the server at %s has its path %s back\n", tapped.c_str(), path);
    return 0;
}

void DevServer::readStandardInput() {
    char buffer[4096];
    const ssize_t received = ::read(STDIN_FILENO, buffer, sizeof buffer);
    if (received < 0 && (errno == EINTR || errno == EAGAIN)) return;
    if (received <= 0) {
        // End of input (or a descriptor that cannot be read): keep serving.
        input.unwatch();
        if (!pendingInput.empty()) handleCommandLine(std::move(pendingInput));
        pendingInput.clear();
        return;
    }
    pendingInput.append(buffer, static_cast<size_t>(received));
    for (;;) {
        const size_t newline = pendingInput.find('\n');
        if (newline == std::string::npos) return;
        std::string line = pendingInput.substr(0, newline);
        pendingInput.erase(0, newline + 1);
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
    if (!parseFrame(line, frame, error)) {
        std::fprintf(stderr, "kesu-dev-server: bad frame '%s': %s\n", line.c_str(), error.c_str());
        return;
    }
    if ((server ? server->connectionCount() : tap->connectionCount()) == 0)
        std::fprintf(stderr, "kesu-dev-server: no client to send to; frame dropped\n");
    if (server)
        server->sendToAll(frame);
    else
        tap->sendToAll(frame);
}

// How the clients of a replay did; the first one ends it unless --loop.
struct ReplayTally {
    uint64_t clients = 0;
    uint64_t matched = 0;
};

// Runs the server (or the tap) until a signal or --exit-after, or until the
// replay has served its client.
int serve(Options const& options) {
    std::string error;
    std::vector<capture::Record> recording;
    if (!options.replayPath.empty() && !capture::read(options.replayPath, recording, error)) {
        std::fprintf(stderr, "kesu-dev-server: --replay %s\n", error.c_str());
        return kExitUsage;
    }
    capture::Writer captureFile;
    if (!options.pcapPath.empty() && !captureFile.open(options.pcapPath, error)) {
        std::fprintf(stderr, "kesu-dev-server: --pcap %s\n", error.c_str());
        return kExitUsage;
    }
    // The capture has standard output to itself; the events go to standard error.
    if (options.pcapPath == "-") ::dup2(STDERR_FILENO, STDOUT_FILENO);

    EventLoop loop;
    std::unique_ptr<EventOutput> output =
        options.json ? makeJsonOutput() : makeTextOutput(options.printPayloadHex, options.tap);
    DevServer printer(loop, options, *output);
    std::unique_ptr<capture::Recorder> recorder;
    std::unique_ptr<ScriptedServer> server;
    std::unique_ptr<FaultInjector> faults;
    std::unique_ptr<Replay> replay;
    ReplayTally tally;
    std::unique_ptr<Tap> tap;
    if (!options.pcapPath.empty())
        recorder = std::make_unique<capture::Recorder>(captureFile, !options.tap, [&options](std::string const& why) {
            std::fprintf(stderr, "kesu-dev-server: --pcap %s: %s; the capture ends here, the traffic goes on\n",
                         options.pcapPath.c_str(), why.c_str());
        });
    if (options.tap) {
        tap = std::make_unique<Tap>(loop, options.socketPath, DevServer::tappedPath(options));
        tap->addObserver(&printer);
        if (recorder) tap->addObserver(recorder.get());
    } else {
        server = std::make_unique<ScriptedServer>(loop, options.socketPath);
        server->addObserver(&printer);
        if (recorder) server->addObserver(recorder.get());
        faults = std::make_unique<FaultInjector>(*server, options.faults, options.seed, options.faultRate);
        if (!options.faults.empty()) server->addObserver(faults.get());
    }
    if (!options.replayPath.empty()) {
        replay = std::make_unique<Replay>(*server, recording, options.replayConnection, options.replaySpeed, printLine,
                                          [&](ConnectionId, Replay::Result const& result) {
                                              if (!options.replayLoop && tally.clients != 0) return;
                                              ++tally.clients;
                                              if (result.matched()) ++tally.matched;
                                              if (!options.replayLoop) loop.quit();
                                          });
        if (!replay->valid(error)) {
            std::fprintf(stderr, "kesu-dev-server: --replay %s: %s\n", options.replayPath.c_str(), error.c_str());
            return kExitUsage;
        }
        server->addObserver(replay.get());
    }
    printer.serve(server.get(), tap.get());

    int hidden = 0;
    if (!options.tap && connectUnix(DevServer::tappedPath(options), hidden)) {
        std::fprintf(stderr, "kesu-dev-server: a server a tap has hidden answers at %s%s\n",
                     DevServer::tappedPath(options).c_str(), untapAdvice(options).c_str());
        return kExitSetupFailure;
    }
    if (options.tap && !takeOverPath(options, error)) {
        std::fprintf(stderr, "kesu-dev-server: %s\n", error.c_str());
        return kExitSetupFailure;
    }
    if (!(tap ? tap->listen(error) : server->listen(error))) {
        std::fprintf(stderr, "kesu-dev-server: %s\n", error.c_str());
        if (options.tap) printer.stopping();
        return kExitSetupFailure;
    }
    running = &loop;
    struct sigaction action {};
    action.sa_handler = onStopSignal;
    sigemptyset(&action.sa_mask);
    for (int signalNumber : {SIGINT, SIGTERM, SIGHUP}) ::sigaction(signalNumber, &action, nullptr);

    output->listening(options.socketPath, options.tap ? DevServer::tappedPath(options) : "");
    if (!options.faults.empty()) output->seed(options.seed);
    const int pollError = loop.run();
    if (pollError != 0) std::fprintf(stderr, "kesu-dev-server: poll: %s\n", std::strerror(pollError));
    if (tap)
        tap->shutDown();
    else
        server->shutDown();
    running = nullptr;
    if (!replay) return 0;
    printLine("replay: " + std::to_string(tally.matched) + " of " + std::to_string(tally.clients) +
              " clients matched the recording");
    return tally.clients != 0 && tally.matched == tally.clients ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
    // Scripts read the output through pipes and files: every line must be
    // there as soon as it is printed.
    std::setvbuf(stdout, nullptr, _IOLBF, 0);
    // Readers of the output that go away make writes fail instead of ending
    // the server; clients are written with MSG_NOSIGNAL.
    std::signal(SIGPIPE, SIG_IGN);
    // Started in the background of an interactive shell, a read of the
    // terminal then fails with EIO (and input is given up) instead of
    // stopping the server.
    std::signal(SIGTTIN, SIG_IGN);

    Options options;
    const int status = parseArguments(argc, argv, options);
    if (status >= 0) return status;

    try {
        return options.untap ? untap(options) : serve(options);
    } catch (std::exception const& e) {
        std::fprintf(stderr, "kesu-dev-server: %s\n", e.what());
        return kExitSetupFailure;
    }
}
