// Platform library (libkesustb): logger.
// Public.
#pragma once

#include <cstdint>

// Describes the caller's log channel; built on the caller's stack for every
// call. The layout is fixed: 32 bytes on the 32-bit target.
struct STBLogRecord {
    const char* indent;    // "    "
    const char* tag;       // "KESU"
    const char* category;  // "info"
    uint32_t reserved[4];  // 0
    uint8_t flags[4];      // 1, 0, 1, 0
};

#if defined(__SIZEOF_POINTER__) && __SIZEOF_POINTER__ == 4
static_assert(sizeof(STBLogRecord) == 32, "the logger record is 32 bytes on 32-bit targets");
#endif

// Levels: 1 failure, 2 retry wait, 3 connection state, 4 success or closing,
// 5 per-message trace. The stand-in writes one line per call to standard
// error when the level is at most KESU_LOG_LEVEL (default 2, 0 silences all).
extern "C" void STBLogger_log(const STBLogRecord* record, const char* context, int level, int line, const char* file,
                              const char* format, ...) __attribute__((format(printf, 6, 7)));
