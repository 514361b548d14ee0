// Frames as text for the developer tools: a frame written on a command line
// ("54:string:https://example.com/") and a received frame as one printable
// line of its decoded members.
//
// Frame syntax: TYPE:KIND[:VALUE], TYPE a decimal type number (0-16777215).
//   string:TEXT       one text field (IPCMessageSimpleString's payload); TEXT
//                     is taken literally up to the end, colons included
//   strings:A,B,...   a list of texts (IPCMessageStringArray); empty: no texts
//   u32:N   u64:N     one number (IPCMessageUnsignedInt / ...Int64)
//   u32s:N,N,...      a list of numbers (IPCMessageUnsignedIntArray); empty: none
//   hex:0011AA        the payload as given; spaces between bytes are allowed
//   empty             no payload
// The payload is encoded by the message class named beside each kind, so it
// is exactly what the library would send.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <limits>
#include <memory>
#include <string>
#include <vector>

#include "kesu/ipc/IPCFrame.h"
#include "kesu/ipc/IPCMessage.h"
#include "kesu/ipc/IPCMessageFactory.h"
#include "kesu/ipc/IPCMessagePlayerMediaInfo.h"
#include "kesu/ipc/IPCStatusMessages.h"
#include "kesu/ipc/IPCValueMessages.h"
#include "kesu/ipc/PayloadCodec.h"

namespace kesu_tools {

// Long values are cut in printed lines; the line says how much was left out.
constexpr size_t kMaxShownTextBytes = 4096;
constexpr size_t kMaxShownHexBytes = 256;
constexpr size_t kMaxShownElements = 64;

inline bool parseUnsigned(std::string const& text, uint64_t maximum, uint64_t& out) {
    if (text.empty() || text.size() > 20) return false;
    uint64_t value = 0;
    for (char c : text) {
        if (c < '0' || c > '9') return false;
        const auto digit = static_cast<uint64_t>(c - '0');
        if (value > (std::numeric_limits<uint64_t>::max() - digit) / 10) return false;
        value = value * 10 + digit;
    }
    if (value > maximum) return false;
    out = value;
    return true;
}

inline int hexDigit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

// Pairs of hex digits; blanks between pairs are skipped.
inline bool parseHex(std::string const& text, std::vector<char>& out) {
    out.clear();
    for (size_t i = 0; i < text.size();) {
        if (text[i] == ' ' || text[i] == '\t') {
            ++i;
            continue;
        }
        if (i + 1 >= text.size()) return false;
        const int high = hexDigit(text[i]);
        const int low = hexDigit(text[i + 1]);
        if (high < 0 || low < 0) return false;
        out.push_back(static_cast<char>(high << 4 | low));
        i += 2;
    }
    return true;
}

inline std::vector<std::string> splitList(std::string const& text) {
    std::vector<std::string> items;
    if (text.empty()) return items;
    size_t start = 0;
    for (;;) {
        const size_t comma = text.find(',', start);
        items.push_back(text.substr(start, comma == std::string::npos ? std::string::npos : comma - start));
        if (comma == std::string::npos) return items;
        start = comma + 1;
    }
}

// False with a reason when `text` does not follow the syntax above.
inline bool parseFrame(std::string const& text, IPCMessageStruct& out, std::string& error) {
    const size_t typeEnd = text.find(':');
    uint64_t typeNumber = 0;
    if (typeEnd == std::string::npos || !parseUnsigned(text.substr(0, typeEnd), ipc_frame::kMaxTypeNumber, typeNumber)) {
        error = "expected TYPE:KIND[:VALUE] with TYPE a number from 0 to 16777215";
        return false;
    }
    const auto type = static_cast<IPCMessageType>(typeNumber);
    const size_t kindEnd = text.find(':', typeEnd + 1);
    const std::string kind = text.substr(typeEnd + 1, kindEnd == std::string::npos ? std::string::npos
                                                                                    : kindEnd - typeEnd - 1);
    const bool hasValue = kindEnd != std::string::npos;
    const std::string value = hasValue ? text.substr(kindEnd + 1) : std::string();

    std::unique_ptr<IPCMessage> message;
    if (kind == "empty") {
        if (hasValue) {
            error = "'empty' takes no value";
            return false;
        }
        message = std::make_unique<IPCMessage>(type);
    } else if (!hasValue) {
        error = "'" + kind + "' needs a value after a colon";
        return false;
    } else if (kind == "string") {
        message = std::make_unique<IPCMessageSimpleString>(type, value);
    } else if (kind == "strings") {
        message = std::make_unique<IPCMessageStringArray>(type, splitList(value));
    } else if (kind == "u32" || kind == "u64") {
        uint64_t number = 0;
        const uint64_t maximum = kind == "u32" ? std::numeric_limits<uint32_t>::max() : std::numeric_limits<uint64_t>::max();
        if (!parseUnsigned(value, maximum, number)) {
            error = "'" + value + "' is not a " + kind + " number";
            return false;
        }
        if (kind == "u32")
            message = std::make_unique<IPCMessageUnsignedInt>(type, static_cast<uint32_t>(number));
        else
            message = std::make_unique<IPCMessageUnsignedInt64>(type, number);
    } else if (kind == "u32s") {
        std::vector<uint32_t> numbers;
        for (std::string const& item : splitList(value)) {
            uint64_t number = 0;
            if (!parseUnsigned(item, std::numeric_limits<uint32_t>::max(), number)) {
                error = "'" + item + "' is not a u32 number";
                return false;
            }
            numbers.push_back(static_cast<uint32_t>(number));
        }
        message = std::make_unique<IPCMessageUnsignedIntArray>(type, std::move(numbers));
    } else if (kind == "hex") {
        out.type = type;
        if (!parseHex(value, out.data)) {
            error = "'" + value + "' is not a sequence of hex byte pairs";
            return false;
        }
        return true;
    } else {
        error = "unknown kind '" + kind + "' (string, strings, u32, u64, u32s, hex, empty)";
        return false;
    }
    message->serialize();
    out = message->messageStruct;
    return true;
}

// Bytes as a double-quoted text: printable ASCII as is, backslash and quote
// escaped, everything else as \n, \t, \r or \xNN.
inline std::string quoted(std::string const& bytes) {
    std::string out = "\"";
    const size_t shown = bytes.size() < kMaxShownTextBytes ? bytes.size() : kMaxShownTextBytes;
    for (size_t i = 0; i < shown; ++i) {
        const auto c = static_cast<unsigned char>(bytes[i]);
        switch (c) {
        case '\\': out += "\\\\"; break;
        case '"': out += "\\\""; break;
        case '\n': out += "\\n"; break;
        case '\t': out += "\\t"; break;
        case '\r': out += "\\r"; break;
        default:
            if (c >= 0x20 && c < 0x7F) {
                out += static_cast<char>(c);
            } else {
                char escaped[5];
                std::snprintf(escaped, sizeof escaped, "\\x%02X", c);
                out += escaped;
            }
        }
    }
    out += '"';
    if (shown < bytes.size()) out += "...(" + std::to_string(bytes.size() - shown) + " more bytes)";
    return out;
}

inline std::string hexBytes(const void* data, size_t size) {
    static const char kDigits[] = "0123456789abcdef";
    const auto* bytes = static_cast<const unsigned char*>(data);
    const size_t shown = size < kMaxShownHexBytes ? size : kMaxShownHexBytes;
    std::string out;
    out.reserve(2 * shown);
    for (size_t i = 0; i < shown; ++i) {
        out += kDigits[bytes[i] >> 4];
        out += kDigits[bytes[i] & 0x0F];
    }
    if (shown < size) out += "...(" + std::to_string(size - shown) + " more bytes)";
    return out;
}

inline std::string hexBytes(std::vector<char> const& bytes) { return hexBytes(bytes.data(), bytes.size()); }

// "[a, b, c]" with at most kMaxShownElements shown.
template <class Container, class Format>
std::string listOf(Container const& items, Format format) {
    std::string out = "[";
    size_t index = 0;
    for (auto const& item : items) {
        if (index == kMaxShownElements) {
            out += ", ...(" + std::to_string(items.size() - index) + " more)";
            break;
        }
        if (index > 0) out += ", ";
        out += format(item);
        ++index;
    }
    return out + "]";
}

// Takes a decoded message's members one by one, so that the one walk over
// the message classes below serves every output format.
class MemberSink {
public:
    virtual void number(char const* name, uint64_t value) = 0;
    virtual void flag(char const* name, bool value) = 0;
    virtual void text(char const* name, std::string const& bytes) = 0;
    virtual void hex(char const* name, void const* data, size_t size) = 0;
    virtual void numbers(char const* name, std::vector<uint32_t> const& values) = 0;
    virtual void texts(char const* name, std::vector<std::string> const& values) = 0;
    virtual void streams(char const* name, std::vector<IPCJSPlayerMediaInfo::Stream> const& values) = 0;

protected:
    ~MemberSink() = default;
};

// The members of a message built by the factory and unserialized; a raw
// payload where the class keeps none, or where the class ignored it.
inline void visitMembers(IPCMessage const& message, MemberSink& sink) {
    std::vector<char> const& payload = message.messageStruct.data;
    if (auto const* m = dynamic_cast<IPCMessageSimpleString const*>(&message)) return sink.text("text", m->text);
    if (auto const* m = dynamic_cast<IPCMessageStringArray const*>(&message)) return sink.texts("strings", m->strings);
    if (auto const* m = dynamic_cast<IPCMessageUnsignedInt const*>(&message)) return sink.number("value", m->value);
    if (auto const* m = dynamic_cast<IPCMessageUnsignedInt64 const*>(&message)) return sink.number("value", m->value);
    if (auto const* m = dynamic_cast<IPCMessageUnsignedIntArray const*>(&message)) return sink.numbers("values", m->values);
    if (auto const* m = dynamic_cast<IPCMessageRecorderStats const*>(&message)) {
        sink.number("stats", m->stats);
        // The class takes exactly one byte and keeps its default otherwise.
        if (payload.size() != 1) sink.hex("ignored-payload", payload.data(), payload.size());
        return;
    }
    if (auto const* m = dynamic_cast<IPCMessagePlayerPlaybackInfo const*>(&message)) {
        sink.hex("record", &m->info, sizeof m->info);
        if (payload.size() != sizeof m->info) sink.hex("ignored-payload", payload.data(), payload.size());
        return;
    }
    if (auto const* m = dynamic_cast<IPCMessagePlayerMediaInfo const*>(&message)) {
        sink.text("text", m->info.text);
        sink.flag("flag", m->info.flag);
        sink.number("value", m->info.value);
        sink.streams("streams", m->info.streams);
        IPCJSPlayerMediaInfo scratch;
        if (!IPCMessagePlayerMediaInfo::decode(payload, scratch)) sink.flag("incomplete", true);
        return;
    }
    sink.hex("payload", payload.data(), payload.size());
    // The factory has no class for the client's allowed-types list, but it is
    // the first frame a client with a type filter sends: show the types.
    if (message.messageStruct.type == IPC_MSG_ALLOWED_MESSAGE_LIST) {
        std::vector<uint32_t> types;
        ipc_codec::PayloadReader in(payload);
        uint32_t allowed = 0;
        while (in.readU32(allowed)) types.push_back(allowed);
        sink.numbers("allowed", types);
        if (in.remaining() != 0) sink.number("trailing", in.remaining());
    }
}

// Members as "name=value" words: text="..." values=[1, 2] flag=true.
class TextMembers : public MemberSink {
public:
    std::string line;

    void number(char const* name, uint64_t value) override { add(name, std::to_string(value)); }
    void flag(char const* name, bool value) override {
        if (std::string(name) == "incomplete") return add(name, "");
        add(name, value ? "true" : "false");
    }
    void text(char const* name, std::string const& bytes) override { add(name, quoted(bytes)); }
    void hex(char const* name, void const* data, size_t size) override { add(name, hexBytes(data, size)); }
    void numbers(char const* name, std::vector<uint32_t> const& values) override {
        add(name, listOf(values, [](uint32_t v) { return std::to_string(v); }));
    }
    void texts(char const* name, std::vector<std::string> const& values) override { add(name, listOf(values, quoted)); }
    void streams(char const* name, std::vector<IPCJSPlayerMediaInfo::Stream> const& values) override {
        add(name, listOf(values, [](IPCJSPlayerMediaInfo::Stream const& s) {
                return "{" + std::to_string(s.number1) + " " + std::to_string(s.number2) + " " +
                       std::to_string(s.number3) + " " + quoted(s.text1) + " " + quoted(s.text2) + "}";
            }));
    }

private:
    void add(char const* name, std::string const& value) {
        if (!line.empty()) line += ' ';
        line += name;
        if (!value.empty()) line += "=" + value;
    }
};

// The frame built and decoded the way the client's receive loop does it.
inline std::unique_ptr<IPCMessage> decodeFrame(IPCMessageStruct const& frame) {
    std::unique_ptr<IPCMessage> message = IPCMessageFactory::getMessage(frame);
    message->unserialize();
    return message;
}

// "type=54 class=IPCMessageSimpleString length=25 text=\"...\"".
inline std::string describeFrame(IPCMessageStruct const& frame, bool withPayloadHex) {
    TextMembers members;
    visitMembers(*decodeFrame(frame), members);
    std::string line = "type=" + std::to_string(static_cast<uint32_t>(frame.type)) +
                       " class=" + IPCMessageFactory::className(frame.type) +
                       " length=" + std::to_string(frame.data.size()) + " " + members.line;
    if (withPayloadHex && IPCMessageFactory::classOf(frame.type) != IPCMessageFactory::MessageClass::Plain)
        line += " payload=" + hexBytes(frame.data);
    return line;
}

}  // namespace kesu_tools
