// Backtrace of the calling thread, one line per frame, for fatal reports.
// Internal. Symbols of the executable resolve only when it is linked with
// -rdynamic; otherwise its frames show as "no matching symbol".
#pragma once

#include <dlfcn.h>
#include <unwind.h>

#include <cstdint>
#include <cstdio>

namespace STBBackTrace {

// Writes the line for one instruction address and flushes, so that the line
// survives the SIGKILL that follows the report.
inline void writeFrameLine(FILE* out, uintptr_t address) {
    address &= ~uintptr_t{1};  // the Thumb bit is not part of the address
    if (address == 0) {
        std::fputs("Unknown address", out);
    } else {
        void* where = reinterpret_cast<void*>(address);
        std::fprintf(out, "%p", where);
        Dl_info info{};
        if (dladdr(where, &info) == 0) {
            std::fputs(" - error resolving address", out);
        } else if (info.dli_saddr == nullptr) {
            std::fputs(" - no matching symbol", out);
        } else {
            std::fprintf(out, " %s (+0x%x) (%s at %p) ", info.dli_sname != nullptr ? info.dli_sname : "?",
                         static_cast<unsigned>(address - reinterpret_cast<uintptr_t>(info.dli_saddr)),
                         info.dli_fname != nullptr ? info.dli_fname : "?", info.dli_fbase);
        }
    }
    std::fputc('\n', out);
    std::fflush(out);
}

// Unwinder trace callback; `stream` is the FILE* to write to.
inline _Unwind_Reason_Code backtrace_helper(_Unwind_Context* context, void* stream) {
#if defined(__arm__) && !defined(__aarch64__)
    // ARM EHABI: the program counter is core register 15.
    uint32_t pc = 0;
    _Unwind_VRS_Get(context, _UVRSC_CORE, 15, _UVRSD_UINT32, &pc);
    uintptr_t address = pc;
#else
    uintptr_t address = _Unwind_GetIP(context);
#endif
    writeFrameLine(static_cast<FILE*>(stream), address);
    return _URC_NO_REASON;
}

}  // namespace STBBackTrace
