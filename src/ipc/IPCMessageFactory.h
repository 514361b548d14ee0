// Picks the message class for a received type number. Public.
//
// The factory maps numbers to classes and nothing else: it does not decode
// (the caller runs unserialize()), and a number without a class of its own,
// negative or above the table included, yields a plain IPCMessage with the
// payload intact. Type 1 is only ever sent, so it arrives as a plain message
// too. Stateless.
#pragma once

#include <memory>

#include "IPCMessage.h"
#include "IPCMessagePlayerMediaInfo.h"
#include "IPCStatusMessages.h"
#include "IPCValueMessages.h"

class IPCMessageFactory {
public:
    enum class MessageClass {
        Plain,
        SimpleString,
        StringArray,
        UnsignedInt,
        UnsignedInt64,
        UnsignedIntArray,
        RecorderStats,
        PlayerPlaybackInfo,
        PlayerMediaInfo,
    };

    // A new message of the class `raw.type` calls for, both type fields set
    // to `raw.type`, the payload copied, the members at their defaults. Never
    // null; an allocation failure propagates.
    static std::unique_ptr<IPCMessage> getMessage(IPCMessageStruct const& raw);
    // The same, taking over `raw`'s payload instead of copying it: the
    // receive loop's one payload buffer becomes the message's.
    static std::unique_ptr<IPCMessage> getMessage(IPCMessageStruct&& raw);

    // The one table of type numbers.
    static MessageClass classOf(IPCMessageType type);

    // "IPCMessageSimpleString" and so on, for tools that print what arrives.
    static const char* className(MessageClass messageClass);
    static const char* className(IPCMessageType type) { return className(classOf(type)); }
};

inline IPCMessageFactory::MessageClass IPCMessageFactory::classOf(IPCMessageType type) {
    switch (type) {
    case IPC_MSG_STRING_5:
    case IPC_MSG_STRING_6:
    case IPC_MSG_STRING_8:
    case IPC_MSG_STRING_9:
    case IPC_MSG_STRING_10:
    case IPC_MSG_STRING_11:
    case IPC_MSG_STRING_17:
    case IPC_MSG_STRING_25:
    case IPC_MSG_STRING_44:
    case IPC_MSG_STRING_45:
    case IPC_MSG_STRING_49:
    case IPC_MSG_STRING_53:
    case IPC_MSG_LAUNCH_URI:
    case IPC_MSG_STRING_59:
    case IPC_MSG_STRING_64:
        return MessageClass::SimpleString;
    case IPC_MSG_STRING_ARRAY_19:
    case IPC_MSG_STRING_ARRAY_21:
    case IPC_MSG_STRING_ARRAY_27:
    case IPC_MSG_STRING_ARRAY_28:
    case IPC_MSG_STRING_ARRAY_35:
    case IPC_MSG_STRING_ARRAY_48:
    case IPC_MSG_STRING_ARRAY_50:
    case IPC_MSG_STRING_ARRAY_51:
    case IPC_MSG_STRING_ARRAY_56:
    case IPC_MSG_STRING_ARRAY_57:
        return MessageClass::StringArray;
    case IPC_MSG_UINT_26:
    case IPC_MSG_UINT_31:
    case IPC_MSG_UINT_34:
    case IPC_MSG_UINT_37:
    case IPC_MSG_UINT_38:
    case IPC_MSG_UINT_39:
    case IPC_MSG_UINT_46:
    case IPC_MSG_UINT_47:
    case IPC_MSG_UINT_52:
    case IPC_MSG_UINT_58:
    case IPC_MSG_UINT_63:
    case IPC_MSG_UINT_65:
        return MessageClass::UnsignedInt;
    case IPC_MSG_UINT64_33:
    case IPC_MSG_UINT64_41:
        return MessageClass::UnsignedInt64;
    case IPC_MSG_UINT_ARRAY_60:
        return MessageClass::UnsignedIntArray;
    case IPC_MSG_RECORDER_STATS:
        return MessageClass::RecorderStats;
    case IPC_MSG_PLAYER_PLAYBACK_INFO:
        return MessageClass::PlayerPlaybackInfo;
    case IPC_MSG_PLAYER_MEDIA_INFO:
        return MessageClass::PlayerMediaInfo;
    case IPC_MSG_RAW_7:
    case IPC_MSG_RAW_12:
    case IPC_MSG_RAW_13:
    case IPC_MSG_RAW_14:
    case IPC_MSG_RAW_16:
    case IPC_MSG_RAW_18:
    case IPC_MSG_RAW_20:
    case IPC_MSG_RAW_22:
    case IPC_MSG_RAW_23:
    case IPC_MSG_RAW_24:
    case IPC_MSG_RAW_29:
    case IPC_MSG_RAW_30:
    case IPC_MSG_RAW_36:
    case IPC_MSG_RAW_42:
    case IPC_MSG_RAW_43:
    case IPC_MSG_RAW_55:
    case IPC_MSG_RAW_61:
    case IPC_MSG_RAW_62:
    default:
        return MessageClass::Plain;
    }
}

inline std::unique_ptr<IPCMessage> IPCMessageFactory::getMessage(IPCMessageStruct const& raw) {
    switch (classOf(raw.type)) {
    case MessageClass::SimpleString:
        return std::make_unique<IPCMessageSimpleString>(raw);
    case MessageClass::StringArray:
        return std::make_unique<IPCMessageStringArray>(raw);
    case MessageClass::UnsignedInt:
        return std::make_unique<IPCMessageUnsignedInt>(raw);
    case MessageClass::UnsignedInt64:
        return std::make_unique<IPCMessageUnsignedInt64>(raw);
    case MessageClass::UnsignedIntArray:
        return std::make_unique<IPCMessageUnsignedIntArray>(raw);
    case MessageClass::RecorderStats:
        return std::make_unique<IPCMessageRecorderStats>(raw);
    case MessageClass::PlayerPlaybackInfo:
        return std::make_unique<IPCMessagePlayerPlaybackInfo>(raw);
    case MessageClass::PlayerMediaInfo:
        return std::make_unique<IPCMessagePlayerMediaInfo>(raw);
    case MessageClass::Plain:
        break;
    }
    return std::make_unique<IPCMessage>(raw);
}

inline std::unique_ptr<IPCMessage> IPCMessageFactory::getMessage(IPCMessageStruct&& raw) {
    // Built around an empty payload (no constructor looks at it), then handed
    // the bytes.
    IPCMessageStruct shell;
    shell.type = raw.type;
    std::unique_ptr<IPCMessage> message = getMessage(shell);
    message->messageStruct.data = std::move(raw.data);
    return message;
}

inline const char* IPCMessageFactory::className(MessageClass messageClass) {
    switch (messageClass) {
    case MessageClass::SimpleString:
        return "IPCMessageSimpleString";
    case MessageClass::StringArray:
        return "IPCMessageStringArray";
    case MessageClass::UnsignedInt:
        return "IPCMessageUnsignedInt";
    case MessageClass::UnsignedInt64:
        return "IPCMessageUnsignedInt64";
    case MessageClass::UnsignedIntArray:
        return "IPCMessageUnsignedIntArray";
    case MessageClass::RecorderStats:
        return "IPCMessageRecorderStats";
    case MessageClass::PlayerPlaybackInfo:
        return "IPCMessagePlayerPlaybackInfo";
    case MessageClass::PlayerMediaInfo:
        return "IPCMessagePlayerMediaInfo";
    case MessageClass::Plain:
        break;
    }
    return "IPCMessage";
}
