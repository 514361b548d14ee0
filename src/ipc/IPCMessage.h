// Message base, raw received form and type numbers. Public.
#pragma once

#include <cstdint>
#include <vector>

// Message type numbers. A frame carries the low 24 bits (0 to 16777215).
// What a number means is the server's business; the library builds types 1
// and 54 itself and otherwise only maps numbers to message classes, so the
// remaining names say which class carries the number. Any other value is a
// valid type too and arrives as a plain IPCMessage.
enum IPCMessageType : int32_t {
    IPC_MSG_ALLOWED_MESSAGE_LIST = 1,
    IPC_MSG_LAUNCH_URI = 54,  // carried by IPCMessageSimpleString

    // IPCMessageSimpleString
    IPC_MSG_STRING_5 = 5,
    IPC_MSG_STRING_6 = 6,
    IPC_MSG_STRING_8 = 8,
    IPC_MSG_STRING_9 = 9,
    IPC_MSG_STRING_10 = 10,
    IPC_MSG_STRING_11 = 11,
    IPC_MSG_STRING_17 = 17,
    IPC_MSG_STRING_25 = 25,
    IPC_MSG_STRING_44 = 44,
    IPC_MSG_STRING_45 = 45,
    IPC_MSG_STRING_49 = 49,
    IPC_MSG_STRING_53 = 53,
    IPC_MSG_STRING_59 = 59,
    IPC_MSG_STRING_64 = 64,
    // IPCMessageStringArray
    IPC_MSG_STRING_ARRAY_19 = 19,
    IPC_MSG_STRING_ARRAY_21 = 21,
    IPC_MSG_STRING_ARRAY_27 = 27,
    IPC_MSG_STRING_ARRAY_28 = 28,
    IPC_MSG_STRING_ARRAY_35 = 35,
    IPC_MSG_STRING_ARRAY_48 = 48,
    IPC_MSG_STRING_ARRAY_50 = 50,
    IPC_MSG_STRING_ARRAY_51 = 51,
    IPC_MSG_STRING_ARRAY_56 = 56,
    IPC_MSG_STRING_ARRAY_57 = 57,
    // IPCMessageUnsignedInt
    IPC_MSG_UINT_26 = 26,
    IPC_MSG_UINT_31 = 31,
    IPC_MSG_UINT_34 = 34,
    IPC_MSG_UINT_37 = 37,
    IPC_MSG_UINT_38 = 38,
    IPC_MSG_UINT_39 = 39,
    IPC_MSG_UINT_46 = 46,
    IPC_MSG_UINT_47 = 47,
    IPC_MSG_UINT_52 = 52,
    IPC_MSG_UINT_58 = 58,
    IPC_MSG_UINT_63 = 63,
    IPC_MSG_UINT_65 = 65,
    // IPCMessageUnsignedInt64
    IPC_MSG_UINT64_33 = 33,
    IPC_MSG_UINT64_41 = 41,
    // IPCMessageUnsignedIntArray
    IPC_MSG_UINT_ARRAY_60 = 60,
    IPC_MSG_RECORDER_STATS = 15,
    IPC_MSG_PLAYER_PLAYBACK_INFO = 32,
    IPC_MSG_PLAYER_MEDIA_INFO = 40,
    // Known to the server, carried as a plain IPCMessage with its payload raw
    IPC_MSG_RAW_7 = 7,
    IPC_MSG_RAW_12 = 12,
    IPC_MSG_RAW_13 = 13,
    IPC_MSG_RAW_14 = 14,
    IPC_MSG_RAW_16 = 16,
    IPC_MSG_RAW_18 = 18,
    IPC_MSG_RAW_20 = 20,
    IPC_MSG_RAW_22 = 22,
    IPC_MSG_RAW_23 = 23,
    IPC_MSG_RAW_24 = 24,
    IPC_MSG_RAW_29 = 29,
    IPC_MSG_RAW_30 = 30,
    IPC_MSG_RAW_36 = 36,
    IPC_MSG_RAW_42 = 42,
    IPC_MSG_RAW_43 = 43,
    IPC_MSG_RAW_55 = 55,
    IPC_MSG_RAW_61 = 61,
    IPC_MSG_RAW_62 = 62,
};

// A message as cut from a frame: type number and payload bytes.
struct IPCMessageStruct {
    IPCMessageType type = IPCMessageType{0};
    std::vector<char> data;
};

// Base of every message: a type and a payload. serialize() rebuilds the
// payload from the members before sending; unserialize() sets the members from
// the payload after receiving. Decoding is tolerant: a short or hostile
// payload yields defaults, never a read past its end, never an exception.
//
// Ownership: messages live on the heap and are deleted through this class by
// whoever holds the pointer (the sender after writing, the receive loop after
// dispatch).
class IPCMessage {
public:
    explicit IPCMessage(IPCMessageType messageType) : type(messageType) { messageStruct.type = messageType; }
    explicit IPCMessage(IPCMessageStruct const& raw) : type(raw.type), messageStruct(raw) {}
    virtual ~IPCMessage() = default;

    virtual void serialize() {}
    virtual void unserialize() {}

    IPCMessageType type;
    IPCMessageStruct messageStruct;  // .type goes into the frame header, .data is the payload

protected:
    IPCMessage(IPCMessage const&) = default;
    IPCMessage& operator=(IPCMessage const&) = default;
};
