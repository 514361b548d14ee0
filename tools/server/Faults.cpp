#include "server/Faults.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <memory>

#include "kesu/ipc/IPCFrame.h"
#include "kesu/ipc/IPCMessageFactory.h"

namespace kesu_tools {

namespace {

constexpr char const* kNames[] = {
    "accept-then-close", "close-in-header", "close-in-payload", "wrong-marker", "above-bound",
    "at-bound",          "bad-payload",     "large-frame",      "burst",        "one-byte-pieces",
    "stall",             "never-read",      "reset",            "recreate-socket",
};
static_assert(sizeof kNames / sizeof kNames[0] == static_cast<size_t>(Fault::Count), "a name for every fault");

template <class T>
T uniform(std::mt19937_64& rng, T low, T high) {
    return std::uniform_int_distribution<T>(low, high)(rng);
}

bool chance(std::mt19937_64& rng, unsigned percent) { return uniform<unsigned>(rng, 0, 99) < percent; }

std::vector<char> randomBytes(std::mt19937_64& rng, size_t size) {
    std::vector<char> bytes(size);
    for (char& c : bytes) c = static_cast<char>(rng());
    return bytes;
}

std::string randomText(std::mt19937_64& rng, size_t maxBytes) {
    // Mostly short; now and then long enough to span several reads.
    size_t size = chance(rng, 5) ? uniform<size_t>(rng, 0, maxBytes) : uniform<size_t>(rng, 0, 64);
    std::vector<char> bytes = randomBytes(rng, size);
    return std::string(bytes.begin(), bytes.end());
}

// A well-formed frame of a type in the factory's table, encoded by the
// library's own message classes.
IPCMessageStruct validFrame(std::mt19937_64& rng) {
    auto type = static_cast<IPCMessageType>(uniform<int>(rng, 5, 65));
    std::unique_ptr<IPCMessage> message;
    switch (IPCMessageFactory::classOf(type)) {
    case IPCMessageFactory::MessageClass::SimpleString:
        message = std::make_unique<IPCMessageSimpleString>(type, randomText(rng, 8192));
        break;
    case IPCMessageFactory::MessageClass::StringArray: {
        std::vector<std::string> texts(uniform<size_t>(rng, 0, 8));
        for (std::string& text : texts) text = randomText(rng, 2048);
        message = std::make_unique<IPCMessageStringArray>(type, std::move(texts));
        break;
    }
    case IPCMessageFactory::MessageClass::UnsignedInt:
        message = std::make_unique<IPCMessageUnsignedInt>(type, static_cast<uint32_t>(rng()));
        break;
    case IPCMessageFactory::MessageClass::UnsignedInt64:
        message = std::make_unique<IPCMessageUnsignedInt64>(type, rng());
        break;
    case IPCMessageFactory::MessageClass::UnsignedIntArray: {
        std::vector<uint32_t> numbers(uniform<size_t>(rng, 0, 64));
        for (uint32_t& number : numbers) number = static_cast<uint32_t>(rng());
        message = std::make_unique<IPCMessageUnsignedIntArray>(type, std::move(numbers));
        break;
    }
    case IPCMessageFactory::MessageClass::RecorderStats:
        message = std::make_unique<IPCMessageRecorderStats>(type, static_cast<uint8_t>(rng()));
        break;
    case IPCMessageFactory::MessageClass::PlayerPlaybackInfo: {
        PlayerPlaybackRecord record;
        std::vector<char> bytes = randomBytes(rng, sizeof record);
        std::memcpy(&record, bytes.data(), sizeof record);
        message = std::make_unique<IPCMessagePlayerPlaybackInfo>(type, record);
        break;
    }
    case IPCMessageFactory::MessageClass::PlayerMediaInfo: {
        IPCJSPlayerMediaInfo info;
        info.text = randomText(rng, 1024);
        info.flag = chance(rng, 50);
        info.value = rng();
        info.streams.resize(uniform<size_t>(rng, 0, 5));
        for (IPCJSPlayerMediaInfo::Stream& stream : info.streams) {
            stream.number1 = static_cast<uint32_t>(rng());
            stream.number2 = static_cast<uint32_t>(rng());
            stream.number3 = static_cast<uint32_t>(rng());
            stream.text1 = randomText(rng, 256);
            stream.text2 = randomText(rng, 256);
        }
        message = std::make_unique<IPCMessagePlayerMediaInfo>(type, std::move(info));
        break;
    }
    case IPCMessageFactory::MessageClass::Plain:
        message = std::make_unique<IPCMessage>(type);
        message->messageStruct.data = randomBytes(rng, uniform<size_t>(rng, 0, 256));
        break;
    }
    message->serialize();
    return message->messageStruct;
}

std::vector<char> header(uint32_t type, uint32_t length) {
    unsigned char bytes[ipc_frame::kHeaderBytes];
    ipc_frame::encodeHeader(type, length, bytes);
    return std::vector<char>(bytes, bytes + sizeof bytes);
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

FaultInjector::FaultInjector(ScriptedServer& scripted, std::vector<Fault> faults, uint64_t scriptSeed)
    : server(scripted), chosen(static_cast<size_t>(Fault::Count), false), seed(scriptSeed) {
    for (Fault fault : faults) chosen[static_cast<size_t>(fault)] = true;
}

bool FaultInjector::enabled(Fault fault) const { return chosen[static_cast<size_t>(fault)]; }

void FaultInjector::note(ConnectionId id, Fault fault, std::string const& detail) {
    server.enqueue(id, Step::fault(std::string(faultName(fault)) + (detail.empty() ? "" : ": " + detail)));
}

void FaultInjector::connected(ConnectionId id) {
    // Each connection's script follows from the seed and its number alone.
    Script& script = scripts[id];
    script.rng.seed(seed * 0x9E3779B97F4A7C15ull + id);
    std::mt19937_64& rng = script.rng;
    script.stepsLeft = uniform<int>(rng, 0, 12);
    if (enabled(Fault::AcceptThenClose) && chance(rng, 5)) {
        note(id, Fault::AcceptThenClose, "");
        server.enqueue(id, Step::close(false));
        script.ended = true;
        return;
    }
    if (enabled(Fault::NeverRead) && chance(rng, 12)) {
        note(id, Fault::NeverRead, "the client's bytes pile up unread");
        server.enqueue(id, Step::setReading(false));
    }
}

void FaultInjector::disconnected(ConnectionId id, ConnectionSummary const&, std::string const&) { scripts.erase(id); }

void FaultInjector::idle(ConnectionId id) {
    auto it = scripts.find(id);
    if (it == scripts.end() || it->second.ended) return;
    Script& script = it->second;
    if (script.stepsLeft-- > 0) return nextStep(id, script);
    // Without a fault that ends connections, the traffic goes on until the
    // client leaves.
    static constexpr Fault kEnds[] = {Fault::CloseInHeader, Fault::CloseInPayload, Fault::WrongMarker,
                                      Fault::AboveBound,    Fault::AtBound,        Fault::Reset,
                                      Fault::RecreateSocket};
    if (std::none_of(std::begin(kEnds), std::end(kEnds), [this](Fault f) { return enabled(f); })) {
        script.stepsLeft = uniform<int>(script.rng, 1, 12);
        return nextStep(id, script);
    }
    ending(id, script);
}

void FaultInjector::nextStep(ConnectionId id, Script& script) {
    std::mt19937_64& rng = script.rng;
    static constexpr Fault kTraffic[] = {Fault::BadPayload, Fault::LargeFrame, Fault::Burst,
                                         Fault::OneBytePieces, Fault::Stall, Fault::AtBound};
    std::vector<Fault> choices;
    for (Fault fault : kTraffic)
        if (enabled(fault)) choices.push_back(fault);
    if (choices.empty() || chance(rng, 45)) {
        server.enqueue(id, Step::frame(validFrame(rng)));
        if (chance(rng, 30)) server.enqueue(id, Step::idle(Step::Kind::Pause, Millis(uniform<int>(rng, 0, 20))));
        return;
    }
    Fault fault = choices[uniform<size_t>(rng, 0, choices.size() - 1)];
    switch (fault) {
    case Fault::BadPayload: {
        IPCMessageStruct frame = validFrame(rng);
        std::string what;
        unsigned roll = uniform<unsigned>(rng, 0, 3);
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
        note(id, fault, what + " (type " + std::to_string(frame.type) + ", " + std::to_string(frame.data.size()) + " bytes)");
        server.enqueue(id, Step::frame(frame));
        break;
    }
    case Fault::LargeFrame: {
        IPCMessageStruct frame;
        frame.type = static_cast<IPCMessageType>(uniform<int>(rng, 5, 65));
        frame.data = randomBytes(rng, uniform<size_t>(rng, 64 * 1024, 1024 * 1024));
        note(id, fault, std::to_string(frame.data.size()) + " bytes");
        server.enqueue(id, Step::frame(frame));
        break;
    }
    case Fault::Burst: {
        int frames = uniform<int>(rng, 10, 150);
        note(id, fault, std::to_string(frames) + " frames");
        for (int i = 0; i < frames; ++i) {
            IPCMessageStruct frame = validFrame(rng);
            if (frame.data.size() > 64) frame.data.resize(64);
            server.enqueue(id, Step::frame(frame));
        }
        break;
    }
    case Fault::OneBytePieces: {
        IPCMessageStruct frame = validFrame(rng);
        if (frame.data.size() > 48) frame.data.resize(48);  // one byte per write is slow
        note(id, fault, "type " + std::to_string(frame.type) + ", " + std::to_string(frame.data.size()) + " bytes");
        server.enqueue(id, Step::frame(frame, std::vector<size_t>(ipc_frame::kHeaderBytes + frame.data.size(), 1),
                                     Millis(uniform<int>(rng, 0, 2))));
        break;
    }
    case Fault::Stall: {
        int ms = chance(rng, 5) ? uniform<int>(rng, 1500, 4000) : uniform<int>(rng, 20, 400);
        note(id, fault, std::to_string(ms) + " ms");
        server.enqueue(id, Step::idle(Step::Kind::Pause, Millis(ms)));
        break;
    }
    case Fault::AtBound:
    default: {
        // A whole frame of exactly the bound: rare, it is the slowest thing.
        if (!chance(rng, 3)) return server.enqueue(id, Step::frame(validFrame(rng)));
        IPCMessageStruct frame;
        frame.type = static_cast<IPCMessageType>(uniform<int>(rng, 5, 65));
        frame.data.assign(ipc_frame::kMaxPayloadBytes, 0);
        for (size_t i = 0; i < frame.data.size(); i += 4096) frame.data[i] = static_cast<char>(rng());
        note(id, fault, "a whole frame of " + std::to_string(frame.data.size()) + " bytes");
        server.enqueue(id, Step::frame(frame));
        break;
    }
    }
}

void FaultInjector::ending(ConnectionId id, Script& script) {
    std::mt19937_64& rng = script.rng;
    script.ended = true;
    static constexpr Fault kEnds[] = {Fault::CloseInHeader, Fault::CloseInPayload, Fault::WrongMarker,
                                      Fault::AboveBound,    Fault::AtBound,        Fault::Reset,
                                      Fault::RecreateSocket};
    std::vector<Fault> choices;
    for (Fault fault : kEnds)
        if (enabled(fault)) choices.push_back(fault);
    // Now and then a clean end, or a server that waits for the client to go.
    unsigned roll = uniform<unsigned>(rng, 0, 99);
    if (roll < 20) return server.enqueue(id, Step::close(false));
    if (roll < 28) {
        server.enqueue(id, Step::idle(Step::Kind::AwaitClientLeaving, Millis(15000)));
        return server.enqueue(id, Step::close(false));
    }
    Fault fault = choices[uniform<size_t>(rng, 0, choices.size() - 1)];
    uint32_t type = uniform<uint32_t>(rng, 5, 65);
    switch (fault) {
    case Fault::CloseInHeader: {
        std::vector<char> bytes = header(type, uniform<uint32_t>(rng, 0, 4096));
        bytes.resize(uniform<size_t>(rng, 1, ipc_frame::kHeaderBytes - 1));
        note(id, fault, std::to_string(bytes.size()) + " of 8 header bytes");
        server.enqueue(id, Step::raw(bytes));
        break;
    }
    case Fault::CloseInPayload: {
        uint32_t length = uniform<uint32_t>(rng, 2, 4096);
        std::vector<char> bytes = header(type, length);
        std::vector<char> part = randomBytes(rng, uniform<size_t>(rng, 1, length - 1));
        bytes.insert(bytes.end(), part.begin(), part.end());
        note(id, fault, std::to_string(part.size()) + " of " + std::to_string(length) + " payload bytes");
        server.enqueue(id, Step::raw(bytes));
        break;
    }
    case Fault::WrongMarker: {
        std::vector<char> bytes = header(type, uniform<uint32_t>(rng, 0, 64));
        do bytes[0] = static_cast<char>(rng()); while (static_cast<unsigned char>(bytes[0]) == ipc_frame::kMarker);
        std::vector<char> junk = randomBytes(rng, uniform<size_t>(rng, 0, 64));
        bytes.insert(bytes.end(), junk.begin(), junk.end());
        char marker[8];
        std::snprintf(marker, sizeof marker, "0x%02X", static_cast<unsigned char>(bytes[0]));
        note(id, fault, std::string("header starts with ") + marker);
        server.enqueue(id, Step::raw(bytes));
        server.enqueue(id, Step::idle(Step::Kind::AwaitClientLeaving, Millis(2000)));
        break;
    }
    case Fault::AboveBound: {
        unsigned pick = uniform<unsigned>(rng, 0, 2);
        uint32_t length = pick == 0   ? ipc_frame::kMaxPayloadBytes + 1
                          : pick == 1 ? uniform<uint32_t>(rng, ipc_frame::kMaxPayloadBytes + 2, 0xFFFFFFFEu)
                                      : 0xFFFFFFFFu;
        note(id, fault, "announces " + std::to_string(length) + " bytes");
        server.enqueue(id, Step::raw(header(type, length)));
        server.enqueue(id, Step::idle(Step::Kind::AwaitClientLeaving, Millis(2000)));
        break;
    }
    case Fault::AtBound: {
        uint32_t length = chance(rng, 50) ? ipc_frame::kMaxPayloadBytes : ipc_frame::kMaxPayloadBytes - 1;
        std::vector<char> bytes = header(type, length);
        std::vector<char> part = randomBytes(rng, uniform<size_t>(rng, 0, 4096));
        bytes.insert(bytes.end(), part.begin(), part.end());
        note(id, fault, "announces " + std::to_string(length) + " bytes, sends " + std::to_string(part.size()));
        server.enqueue(id, Step::raw(bytes));
        break;
    }
    case Fault::Reset: {
        // Something the client answers, so that its bytes wait here unread.
        note(id, fault, "closed with the client's bytes unread");
        server.enqueue(id, Step::setReading(false));
        IPCMessageSimpleString request(IPC_MSG_LAUNCH_URI, randomText(rng, 64));
        request.serialize();
        server.enqueue(id, Step::frame(request.messageStruct));
        server.enqueue(id, Step::idle(Step::Kind::AwaitClientBytes, Millis(500)));
        return server.enqueue(id, Step::close(true));
    }
    case Fault::RecreateSocket:
    default: {
        int ms = uniform<int>(rng, 0, 400);
        note(id, Fault::RecreateSocket, "socket file away for " + std::to_string(ms) + " ms");
        server.enqueue(id, Step::recreateSocket(Millis(ms)));
        return server.enqueue(id, Step::close(false));
    }
    }
    server.enqueue(id, Step::close(false));
}

}  // namespace kesu_tools
