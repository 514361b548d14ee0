// The library's one way into the platform logger. Internal.
#pragma once

#include "STBLogger.h"

// Every call passes a fresh record on the caller's stack, the tag "KESU" and
// the fixed source line of the message, so that log lines stay comparable
// across builds.
#define KESU_LOG(level, line, file, ...)                                                    \
    do {                                                                                    \
        STBLogRecord kesuLogRecord_ = {"    ", "KESU", "info", {0, 0, 0, 0}, {1, 0, 1, 0}}; \
        STBLogger_log(&kesuLogRecord_, "", level, line, file, __VA_ARGS__);                 \
    } while (0)

// Source paths that log lines name, as the platform's log collectors expect.
constexpr const char* kLogFileClient = "src/ipc/IPCMessengerClient.h";
constexpr const char* kLogFileInbox = "src/ipc/IPCInbox.h";
constexpr const char* kLogFileRetrier = "src/common/AutoRetrier.h";
