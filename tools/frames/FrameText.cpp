#include "frames/FrameText.h"

#include <algorithm>
#include <cstdio>
#include <limits>

#include "kesu/ipc/IPCFrame.h"
#include "kesu/ipc/IPCValueMessages.h"

namespace kesu_tools {

namespace {

int hexDigit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

std::vector<std::string> splitList(std::string const& text) {
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

using MessageClass = IPCMessageFactory::MessageClass;

// The KIND that writes a message of the class; null for a class written as
// hex only.
char const* kindOf(MessageClass messageClass) {
    switch (messageClass) {
    case MessageClass::SimpleString:
        return "string";
    case MessageClass::StringArray:
        return "strings";
    case MessageClass::UnsignedInt:
        return "u32";
    case MessageClass::UnsignedInt64:
        return "u64";
    case MessageClass::UnsignedIntArray:
        return "u32s";
    default:
        return nullptr;
    }
}

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

// Members as "name=value" words: text="..." values=[1, 2] flag=true.
class TextMembers : public MemberSink {
public:
    std::string line;

    void number(char const* name, uint64_t value) override { add(name, std::to_string(value)); }
    void flag(char const* name, bool value) override {
        if (std::string(name) == "broken") return add(name, "");
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

}  // namespace

bool parseUnsigned(std::string const& text, uint64_t maximum, uint64_t& out) {
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

bool parseHex(std::string const& text, std::vector<char>& out) {
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

bool parseFrame(std::string const& text, IPCMessageStruct& out, std::string& error) {
    const size_t typeEnd = text.find(':');
    uint64_t typeNumber = 0;
    if (typeEnd == std::string::npos ||
        !parseUnsigned(text.substr(0, typeEnd), ipc_frame::kMaxTypeNumber, typeNumber)) {
        error = "expected TYPE:KIND[:VALUE] with TYPE a number from 0 to 16777215";
        return false;
    }
    const auto type = static_cast<IPCMessageType>(typeNumber);
    const size_t kindEnd = text.find(':', typeEnd + 1);
    const std::string kind =
        text.substr(typeEnd + 1, kindEnd == std::string::npos ? std::string::npos : kindEnd - typeEnd - 1);
    const bool hasValue = kindEnd != std::string::npos;
    const std::string value = hasValue ? text.substr(kindEnd + 1) : std::string();

    // A value written by another class than the type's would be read as
    // something else, or not at all: hex and empty are the way to send one.
    const bool classKind = kind == "string" || kind == "strings" || kind == "u32" || kind == "u64" || kind == "u32s";
    char const* fits = kindOf(IPCMessageFactory::classOf(type));
    if (classKind && (fits == nullptr || kind != fits)) {
        error = "type " + std::to_string(typeNumber) + " is " + IPCMessageFactory::className(type) + ": give " +
            (fits == nullptr ? std::string() : fits + std::string(":, ")) + "hex: or empty";
        return false;
    }
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
        const uint64_t maximum =
            kind == "u32" ? std::numeric_limits<uint32_t>::max() : std::numeric_limits<uint64_t>::max();
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

std::string quoted(std::string const& bytes) {
    std::string out = "\"";
    const size_t shown = bytes.size() < kMaxShownTextBytes ? bytes.size() : kMaxShownTextBytes;
    for (size_t i = 0; i < shown; ++i) {
        const auto c = static_cast<unsigned char>(bytes[i]);
        switch (c) {
        case '\\':
            out += "\\\\";
            break;
        case '"':
            out += "\\\"";
            break;
        case '\n':
            out += "\\n";
            break;
        case '\t':
            out += "\\t";
            break;
        case '\r':
            out += "\\r";
            break;
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

std::string hexBytes(const void* data, size_t size) {
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

std::unique_ptr<IPCMessage> decodeFrame(IPCMessageStruct const& frame) {
    std::unique_ptr<IPCMessage> message = IPCMessageFactory::getMessage(frame);
    message->unserialize();
    return message;
}

void visitMembers(IPCMessage const& message, MemberSink& sink) {
    IPCMessageStruct const& frame = message.messageStruct;
    messageClassOf(frame.type).showMembers(message, sink);
    if (IPCMessageFactory::classOf(frame.type) == MessageClass::Plain) return;
    // The payload against what the class writes for the members it read: a
    // longer one carries bytes the class ignored, any other is broken (cut
    // short, or a count, length or terminator that does not hold).
    std::unique_ptr<IPCMessage> again = decodeFrame(frame);
    again->serialize();
    std::vector<char> const& written = again->messageStruct.data;
    if (frame.data.size() > written.size() && std::equal(written.begin(), written.end(), frame.data.begin()))
        sink.number("trailing", frame.data.size() - written.size());
    else if (frame.data != written)
        sink.flag("broken", true);
}

std::string typeTable() {
    std::string table =
        "Type numbers by message class, and the KIND that writes one (hex and empty\n"
        "fit any type):\n";
    const int last = static_cast<int>(MessageClass::PlayerMediaInfo);
    for (int c = static_cast<int>(MessageClass::SimpleString); c <= last; ++c) {
        const auto messageClass = static_cast<MessageClass>(c);
        char const* kind = kindOf(messageClass);
        table += "  " + std::string(IPCMessageFactory::className(messageClass)) + " (" + (kind ? kind : "hex") + "):";
        for (uint32_t type = 0; type <= 255; ++type)
            if (IPCMessageFactory::classOf(static_cast<IPCMessageType>(type)) == messageClass)
                table += " " + std::to_string(type);
        table += "\n";
    }
    return table + "  IPCMessage (hex): any other type\n";
}

std::string describeFrame(IPCMessageStruct const& frame, bool withPayloadHex) {
    TextMembers members;
    visitMembers(*decodeFrame(frame), members);
    std::string line = "type=" + std::to_string(static_cast<uint32_t>(frame.type)) +
        " class=" + IPCMessageFactory::className(frame.type) + " length=" + std::to_string(frame.data.size()) + " " +
        members.line;
    if (withPayloadHex && IPCMessageFactory::classOf(frame.type) != IPCMessageFactory::MessageClass::Plain)
        line += " payload=" + hexBytes(frame.data);
    return line;
}

}  // namespace kesu_tools
