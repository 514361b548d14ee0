#include "server/Faults.h"

#include <algorithm>
#include <cstdio>
#include <iterator>
#include <memory>

#include "frames/MessageClasses.h"
#include "frames/RandomValues.h"
#include "kesu/ipc/IPCFrame.h"

namespace kesu_tools {

namespace {

constexpr char const* kNames[] = {
    "accept-then-close",
    "close-in-header",
    "close-in-payload",
    "wrong-marker",
    "above-bound",
    "at-bound",
    "bad-payload",
    "large-frame",
    "burst",
    "one-byte-pieces",
    "stall",
    "never-read",
    "reset",
    "recreate-socket",
    "close-between-frames",
    "hold-open",
};
static_assert(sizeof kNames / sizeof kNames[0] == static_cast<size_t>(Fault::Count), "a name for every fault");

// A well-formed frame of a type in the factory's table, encoded by the
// library's own message classes.
IPCMessageStruct validFrame(Random& rng) {
    const auto type = static_cast<IPCMessageType>(uniform<int>(rng, 5, 65));
    std::unique_ptr<IPCMessage> message = messageClassOf(type).draw(type, rng);
    message->serialize();
    return message->messageStruct;
}

std::vector<char> header(uint32_t type, uint32_t length) {
    unsigned char bytes[ipc_frame::kHeaderBytes];
    ipc_frame::encodeHeader(type, length, bytes);
    return std::vector<char>(bytes, bytes + sizeof bytes);
}

std::string sizes(IPCMessageStruct const& frame) {
    return "type " + std::to_string(frame.type) + ", " + std::to_string(frame.data.size()) + " bytes";
}

// What a fault puts on a connection, drawn from the connection's generator:
// the steps and what is told of them, unless the draw fell on plain traffic.
struct Drawn {
    std::vector<Step> steps;
    std::string detail;
    bool injected = true;
};

Drawn badPayload(Random& rng) {
    IPCMessageStruct frame = validFrame(rng);
    std::string what;
    const unsigned roll = uniform<unsigned>(rng, 0, 3);
    if (roll == 0 && !frame.data.empty()) {
        frame.data.resize(uniform<size_t>(rng, 0, frame.data.size() - 1));
        what = "payload cut short for its class";
    } else if (roll == 1) {
        std::vector<char> extra = randomBytes(rng, uniform<size_t>(rng, 1, 64));
        frame.data.insert(frame.data.end(), extra.begin(), extra.end());
        what = "bytes beyond its class's fields";
    } else if (roll == 2) {
        frame.data.clear();
        what = "empty payload";
    } else {
        static constexpr uint32_t kPicks[] = {0, 1, 2, 4, 66, 100, 255, 0x10000, ipc_frame::kMaxTypeNumber};
        frame.type = static_cast<IPCMessageType>(kPicks[uniform<size_t>(rng, 0, std::size(kPicks) - 1)]);
        what = "a type without a class";
    }
    return {{Step::frame(frame)}, what + " (" + sizes(frame) + ")"};
}

Drawn largeFrame(Random& rng) {
    IPCMessageStruct frame;
    frame.type = static_cast<IPCMessageType>(uniform<int>(rng, 5, 65));
    frame.data = randomBytes(rng, uniform<size_t>(rng, 64 * 1024, 1024 * 1024));
    return {{Step::frame(frame)}, std::to_string(frame.data.size()) + " bytes"};
}

Drawn burst(Random& rng) {
    Drawn drawn;
    const int frames = uniform<int>(rng, 10, 150);
    drawn.detail = std::to_string(frames) + " frames";
    for (int i = 0; i < frames; ++i) {
        IPCMessageStruct frame = validFrame(rng);
        if (frame.data.size() > 64) frame.data.resize(64);
        drawn.steps.push_back(Step::frame(frame));
    }
    return drawn;
}

Drawn oneBytePieces(Random& rng) {
    IPCMessageStruct frame = validFrame(rng);
    if (frame.data.size() > 48) frame.data.resize(48);  // one byte per write is slow
    const std::vector<size_t> pieces(ipc_frame::kHeaderBytes + frame.data.size(), 1);
    return {{Step::frame(frame, pieces, Millis(uniform<int>(rng, 0, 2)))}, sizes(frame)};
}

Drawn stall(Random& rng) {
    const int ms = chance(rng, 5) ? uniform<int>(rng, 1500, 4000) : uniform<int>(rng, 20, 400);
    return {{Step::idle(Step::Kind::Pause, Millis(ms))}, std::to_string(ms) + " ms"};
}

// A whole frame of exactly the bound: rare, it is the slowest thing.
Drawn wholeFrameAtBound(Random& rng) {
    if (!chance(rng, 3)) return {{Step::frame(validFrame(rng))}, "", false};
    IPCMessageStruct frame;
    frame.type = static_cast<IPCMessageType>(uniform<int>(rng, 5, 65));
    frame.data.assign(ipc_frame::kMaxPayloadBytes, 0);
    for (size_t i = 0; i < frame.data.size(); i += 4096) frame.data[i] = static_cast<char>(rng());
    return {{Step::frame(frame)}, "a whole frame of " + std::to_string(frame.data.size()) + " bytes"};
}

Drawn closeInHeader(Random& rng, uint32_t type) {
    std::vector<char> bytes = header(type, uniform<uint32_t>(rng, 0, 4096));
    bytes.resize(uniform<size_t>(rng, 1, ipc_frame::kHeaderBytes - 1));
    return {{Step::raw(bytes), Step::close(false)}, std::to_string(bytes.size()) + " of 8 header bytes"};
}

Drawn closeInPayload(Random& rng, uint32_t type) {
    const uint32_t length = uniform<uint32_t>(rng, 2, 4096);
    std::vector<char> bytes = header(type, length);
    std::vector<char> part = randomBytes(rng, uniform<size_t>(rng, 1, length - 1));
    bytes.insert(bytes.end(), part.begin(), part.end());
    return {{Step::raw(bytes), Step::close(false)},
            std::to_string(part.size()) + " of " + std::to_string(length) + " payload bytes"};
}

Drawn wrongMarker(Random& rng, uint32_t type) {
    std::vector<char> bytes = header(type, uniform<uint32_t>(rng, 0, 64));
    do {
        bytes[0] = static_cast<char>(rng());
    } while (static_cast<unsigned char>(bytes[0]) == ipc_frame::kMarker);
    std::vector<char> junk = randomBytes(rng, uniform<size_t>(rng, 0, 64));
    bytes.insert(bytes.end(), junk.begin(), junk.end());
    char marker[8];
    std::snprintf(marker, sizeof marker, "0x%02X", static_cast<unsigned char>(bytes[0]));
    return {{Step::raw(bytes), Step::idle(Step::Kind::AwaitClientLeaving, Millis(2000)), Step::close(false)},
            std::string("header starts with ") + marker};
}

Drawn aboveBound(Random& rng, uint32_t type) {
    const unsigned pick = uniform<unsigned>(rng, 0, 2);
    uint32_t length = 0xFFFFFFFFu;
    if (pick == 0) length = ipc_frame::kMaxPayloadBytes + 1;
    if (pick == 1) length = uniform<uint32_t>(rng, ipc_frame::kMaxPayloadBytes + 2, 0xFFFFFFFEu);
    return {
        {Step::raw(header(type, length)), Step::idle(Step::Kind::AwaitClientLeaving, Millis(2000)), Step::close(false)},
        "announces " + std::to_string(length) + " bytes"};
}

Drawn cutFrameAtBound(Random& rng, uint32_t type) {
    const uint32_t length = chance(rng, 50) ? ipc_frame::kMaxPayloadBytes : ipc_frame::kMaxPayloadBytes - 1;
    std::vector<char> bytes = header(type, length);
    std::vector<char> part = randomBytes(rng, uniform<size_t>(rng, 0, 4096));
    bytes.insert(bytes.end(), part.begin(), part.end());
    return {{Step::raw(bytes), Step::close(false)},
            "announces " + std::to_string(length) + " bytes, sends " + std::to_string(part.size())};
}

// Something the client answers, so that its bytes wait here unread.
Drawn resetUnread(Random& rng, uint32_t /*type*/) {
    IPCMessageSimpleString request(IPC_MSG_LAUNCH_URI, randomText(rng, 64));
    request.serialize();
    return {{Step::setReading(false), Step::frame(request.messageStruct),
             Step::idle(Step::Kind::AwaitClientBytes, Millis(500)), Step::close(true)},
            "closed with the client's bytes unread"};
}

Drawn recreateSocket(Random& rng, uint32_t /*type*/) {
    const int ms = uniform<int>(rng, 0, 400);
    return {{Step::recreateSocket(Millis(ms)), Step::close(false)},
            "socket file away for " + std::to_string(ms) + " ms"};
}

Drawn closeBetweenFrames(Random& /*rng*/, uint32_t /*type*/) { return {{Step::close(false)}, ""}; }

// Longer than any stop of the client may take: a stop that relied on the
// server to end the connection would hang here.
Drawn holdOpen(Random& /*rng*/, uint32_t /*type*/) {
    return {{Step::idle(Step::Kind::AwaitClientLeaving, Millis(15000)), Step::close(false)},
            "nothing more; closed in 15 s unless the client leaves"};
}

Step faultNote(Fault fault, std::string const& detail) {
    return Step::fault(std::string(faultName(fault)) + (detail.empty() ? "" : ": " + detail));
}

void play(ScriptedServer& server, ConnectionId id, Fault fault, Drawn drawn) {
    if (drawn.injected) server.enqueue(id, faultNote(fault, drawn.detail));
    for (Step& step : drawn.steps) server.enqueue(id, std::move(step));
}

// Faults drawn between well-formed frames.
struct TrafficFault {
    Fault fault;
    Drawn (*draw)(Random& rng);
};
constexpr TrafficFault kTraffic[] = {
    {Fault::BadPayload, badPayload},       {Fault::LargeFrame, largeFrame}, {Fault::Burst, burst},
    {Fault::OneBytePieces, oneBytePieces}, {Fault::Stall, stall},           {Fault::AtBound, wholeFrameAtBound},
};

// Faults that end a connection; each draw ends with a close.
struct EndingFault {
    Fault fault;
    Drawn (*draw)(Random& rng, uint32_t type);
};
constexpr EndingFault kEnds[] = {
    {Fault::CloseInHeader, closeInHeader},
    {Fault::CloseInPayload, closeInPayload},
    {Fault::WrongMarker, wrongMarker},
    {Fault::AboveBound, aboveBound},
    {Fault::AtBound, cutFrameAtBound},
    {Fault::Reset, resetUnread},
    {Fault::RecreateSocket, recreateSocket},
    {Fault::CloseBetweenFrames, closeBetweenFrames},
    {Fault::HoldOpen, holdOpen},
};

template <class Table>
auto const* entryOf(Table const& table, Fault fault) {
    auto found =
        std::find_if(std::begin(table), std::end(table), [&](auto const& entry) { return entry.fault == fault; });
    return found == std::end(table) ? nullptr : &*found;
}

}  // namespace

char const* faultName(Fault fault) { return kNames[static_cast<size_t>(fault)]; }

std::string faultNames() {
    std::string names;
    for (char const* name : kNames) names += std::string(names.empty() ? "" : ",") + name;
    return names;
}

bool parseFaults(std::string const& list, std::vector<Fault>& out, std::string& error) {
    out.clear();
    size_t start = 0;
    while (start <= list.size()) {
        size_t comma = std::min(list.find(',', start), list.size());
        std::string name = list.substr(start, comma - start);
        start = comma + 1;
        if (name == "all") {
            for (size_t i = 0; i < static_cast<size_t>(Fault::Count); ++i) out.push_back(static_cast<Fault>(i));
            continue;
        }
        auto known = std::find_if(std::begin(kNames), std::end(kNames), [&](char const* n) { return name == n; });
        if (known == std::end(kNames)) {
            error = "unknown fault '" + name + "' (known: all," + faultNames() + ")";
            return false;
        }
        out.push_back(static_cast<Fault>(known - std::begin(kNames)));
    }
    return true;
}

FaultInjector::FaultInjector(ScriptedServer& scripted, std::vector<Fault> const& chosenFaults, uint64_t scriptSeed,
                             double faultRate)
    : server(scripted), chosen(static_cast<size_t>(Fault::Count), false), seed(scriptSeed), rate(faultRate) {
    for (Fault fault : chosenFaults) chosen[static_cast<size_t>(fault)] = true;
    for (size_t i = 0; i < chosen.size(); ++i)
        if (chosen[i]) faults.push_back(static_cast<Fault>(i));
}

bool FaultInjector::enabled(Fault fault) const { return chosen[static_cast<size_t>(fault)]; }

void FaultInjector::connected(ConnectionId id) {
    // Each connection's script follows from the seed and its number alone.
    Script& script = scripts[id];
    script.rng.seed(seed * 0x9E3779B97F4A7C15ull + id);
    Random& rng = script.rng;
    script.stepsLeft = uniform<int>(rng, 0, 12);
    script.faulty = !faults.empty() && static_cast<double>(uniform<uint32_t>(rng, 0, 999999)) < rate * 1e6;
    if (!script.faulty) return;
    // The fault this connection is sure to get: at the accept, as the first
    // step, or as the end.
    const Fault sure = faults[uniform<size_t>(rng, 0, faults.size() - 1)];
    if (sure == Fault::AcceptThenClose) {
        server.enqueue(id, faultNote(Fault::AcceptThenClose, ""));
        server.enqueue(id, Step::close(false));
        script.ended = true;
    } else if (sure == Fault::NeverRead) {
        server.enqueue(id, faultNote(Fault::NeverRead, "the client's bytes pile up unread"));
        server.enqueue(id, Step::setReading(false));
    } else if (entryOf(kEnds, sure) != nullptr) {
        script.sureEnding = sure;
    } else {
        script.sureFirst = sure;
    }
}

void FaultInjector::disconnected(ConnectionId id, ConnectionSummary const&, std::string const&) { scripts.erase(id); }

void FaultInjector::idle(ConnectionId id) {
    auto it = scripts.find(id);
    if (it == scripts.end() || it->second.ended) return;
    Script& script = it->second;
    // The first step, after what other observers queued at the connect.
    if (script.sureFirst != Fault::Count) {
        play(server, id, script.sureFirst, entryOf(kTraffic, script.sureFirst)->draw(script.rng));
        script.sureFirst = Fault::Count;
        return;
    }
    if (script.stepsLeft-- > 0) return nextStep(id, script);
    // A connection without a fault has had its frames: it stays quiet.
    if (!script.faulty) {
        script.ended = true;
        return;
    }
    // Without a fault that ends connections, the traffic goes on until the
    // client leaves.
    if (std::none_of(std::begin(kEnds), std::end(kEnds), [this](EndingFault const& e) { return enabled(e.fault); })) {
        script.stepsLeft = uniform<int>(script.rng, 1, 12);
        return nextStep(id, script);
    }
    ending(id, script);
}

void FaultInjector::nextStep(ConnectionId id, Script& script) {
    Random& rng = script.rng;
    std::vector<TrafficFault const*> choices;
    for (TrafficFault const& candidate : kTraffic)
        if (script.faulty && enabled(candidate.fault)) choices.push_back(&candidate);
    if (choices.empty() || chance(rng, 45)) {
        server.enqueue(id, Step::frame(validFrame(rng)));
        if (chance(rng, 30)) server.enqueue(id, Step::idle(Step::Kind::Pause, Millis(uniform<int>(rng, 0, 20))));
        return;
    }
    TrafficFault const& pick = *choices[uniform<size_t>(rng, 0, choices.size() - 1)];
    play(server, id, pick.fault, pick.draw(rng));
}

void FaultInjector::ending(ConnectionId id, Script& script) {
    Random& rng = script.rng;
    script.ended = true;
    std::vector<EndingFault const*> choices;
    for (EndingFault const& candidate : kEnds)
        if (enabled(candidate.fault)) choices.push_back(&candidate);
    EndingFault const* pick = script.sureEnding == Fault::Count ? choices[uniform<size_t>(rng, 0, choices.size() - 1)]
                                                                : entryOf(kEnds, script.sureEnding);
    const uint32_t type = uniform<uint32_t>(rng, 5, 65);
    play(server, id, pick->fault, pick->draw(rng, type));
}

}  // namespace kesu_tools
