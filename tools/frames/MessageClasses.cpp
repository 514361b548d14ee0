#include "frames/MessageClasses.h"

#include <cstring>
#include <iterator>

#include "kesu/ipc/IPCStatusMessages.h"
#include "kesu/ipc/IPCValueMessages.h"
#include "kesu/ipc/PayloadCodec.h"

namespace kesu_tools {

namespace {

using MessageClass = IPCMessageFactory::MessageClass;

// The factory made `message` for its type, so its class is known: no cast
// can pick the wrong one.
template <class Message>
Message const& as(IPCMessage const& message) {
    return static_cast<Message const&>(message);
}

void showPlain(IPCMessage const& message, MemberSink& sink) {
    std::vector<char> const& payload = message.messageStruct.data;
    sink.hex("payload", payload.data(), payload.size());
    // The factory has no class for the client's allowed-types list, but it is
    // the first frame a client with a type filter sends: show the types.
    if (message.messageStruct.type != IPC_MSG_ALLOWED_MESSAGE_LIST) return;
    std::vector<uint32_t> types;
    ipc_codec::PayloadReader in(payload);
    uint32_t allowed = 0;
    while (in.readU32(allowed)) types.push_back(allowed);
    sink.numbers("allowed", types);
    if (in.remaining() != 0) sink.number("trailing", in.remaining());
}

std::unique_ptr<IPCMessage> drawPlain(IPCMessageType type, Random& rng) {
    auto message = std::make_unique<IPCMessage>(type);
    message->messageStruct.data = randomBytes(rng, uniform<size_t>(rng, 0, 256));
    return message;
}

void showSimpleString(IPCMessage const& message, MemberSink& sink) {
    sink.text("text", as<IPCMessageSimpleString>(message).text);
}

std::unique_ptr<IPCMessage> drawSimpleString(IPCMessageType type, Random& rng) {
    return std::make_unique<IPCMessageSimpleString>(type, randomText(rng, 8192));
}

void showStringArray(IPCMessage const& message, MemberSink& sink) {
    sink.texts("strings", as<IPCMessageStringArray>(message).strings);
}

std::unique_ptr<IPCMessage> drawStringArray(IPCMessageType type, Random& rng) {
    std::vector<std::string> texts(uniform<size_t>(rng, 0, 8));
    for (std::string& text : texts) text = randomText(rng, 2048);
    return std::make_unique<IPCMessageStringArray>(type, std::move(texts));
}

void showUnsignedInt(IPCMessage const& message, MemberSink& sink) {
    sink.number("value", as<IPCMessageUnsignedInt>(message).value);
}

std::unique_ptr<IPCMessage> drawUnsignedInt(IPCMessageType type, Random& rng) {
    return std::make_unique<IPCMessageUnsignedInt>(type, static_cast<uint32_t>(rng()));
}

void showUnsignedInt64(IPCMessage const& message, MemberSink& sink) {
    sink.number("value", as<IPCMessageUnsignedInt64>(message).value);
}

std::unique_ptr<IPCMessage> drawUnsignedInt64(IPCMessageType type, Random& rng) {
    return std::make_unique<IPCMessageUnsignedInt64>(type, rng());
}

void showUnsignedIntArray(IPCMessage const& message, MemberSink& sink) {
    sink.numbers("values", as<IPCMessageUnsignedIntArray>(message).values);
}

std::unique_ptr<IPCMessage> drawUnsignedIntArray(IPCMessageType type, Random& rng) {
    std::vector<uint32_t> numbers(uniform<size_t>(rng, 0, 64));
    for (uint32_t& number : numbers) number = static_cast<uint32_t>(rng());
    return std::make_unique<IPCMessageUnsignedIntArray>(type, std::move(numbers));
}

void showRecorderStats(IPCMessage const& message, MemberSink& sink) {
    std::vector<char> const& payload = message.messageStruct.data;
    sink.number("stats", as<IPCMessageRecorderStats>(message).stats);
    // The class takes exactly one byte and keeps its default otherwise.
    if (payload.size() != 1) sink.hex("ignored-payload", payload.data(), payload.size());
}

std::unique_ptr<IPCMessage> drawRecorderStats(IPCMessageType type, Random& rng) {
    return std::make_unique<IPCMessageRecorderStats>(type, static_cast<uint8_t>(rng()));
}

void showPlayerPlaybackInfo(IPCMessage const& message, MemberSink& sink) {
    std::vector<char> const& payload = message.messageStruct.data;
    PlayerPlaybackRecord const& record = as<IPCMessagePlayerPlaybackInfo>(message).info;
    sink.hex("record", &record, sizeof record);
    if (payload.size() != sizeof record) sink.hex("ignored-payload", payload.data(), payload.size());
}

std::unique_ptr<IPCMessage> drawPlayerPlaybackInfo(IPCMessageType type, Random& rng) {
    PlayerPlaybackRecord record;
    std::vector<char> bytes = randomBytes(rng, sizeof record);
    std::memcpy(&record, bytes.data(), sizeof record);
    return std::make_unique<IPCMessagePlayerPlaybackInfo>(type, record);
}

void showPlayerMediaInfo(IPCMessage const& message, MemberSink& sink) {
    IPCJSPlayerMediaInfo const& info = as<IPCMessagePlayerMediaInfo>(message).info;
    sink.text("text", info.text);
    sink.flag("flag", info.flag);
    sink.number("value", info.value);
    sink.streams("streams", info.streams);
}

std::unique_ptr<IPCMessage> drawPlayerMediaInfo(IPCMessageType type, Random& rng) {
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
    return std::make_unique<IPCMessagePlayerMediaInfo>(type, std::move(info));
}

// In the order of IPCMessageFactory::MessageClass.
constexpr MessageClassEntry kClasses[] = {
    {MessageClass::Plain, showPlain, drawPlain},
    {MessageClass::SimpleString, showSimpleString, drawSimpleString},
    {MessageClass::StringArray, showStringArray, drawStringArray},
    {MessageClass::UnsignedInt, showUnsignedInt, drawUnsignedInt},
    {MessageClass::UnsignedInt64, showUnsignedInt64, drawUnsignedInt64},
    {MessageClass::UnsignedIntArray, showUnsignedIntArray, drawUnsignedIntArray},
    {MessageClass::RecorderStats, showRecorderStats, drawRecorderStats},
    {MessageClass::PlayerPlaybackInfo, showPlayerPlaybackInfo, drawPlayerPlaybackInfo},
    {MessageClass::PlayerMediaInfo, showPlayerMediaInfo, drawPlayerMediaInfo},
};

constexpr bool inClassOrder() {
    for (size_t i = 0; i < std::size(kClasses); ++i)
        if (static_cast<size_t>(kClasses[i].messageClass) != i) return false;
    return std::size(kClasses) == static_cast<size_t>(MessageClass::PlayerMediaInfo) + 1;
}
static_assert(inClassOrder(), "one entry per class, in the order of the enumeration");

}  // namespace

MessageClassEntry const& messageClassOf(IPCMessageType type) {
    return kClasses[static_cast<size_t>(IPCMessageFactory::classOf(type))];
}

}  // namespace kesu_tools
