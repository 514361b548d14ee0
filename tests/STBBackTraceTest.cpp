#include "STBBackTrace.h"

#include <dlfcn.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

// Exported (the test links with exported symbols), so frames in them resolve.
namespace stb_backtrace_test {

__attribute__((noinline)) int knownFunction(int x) { return x * 3 + 1; }

__attribute__((noinline)) void traceFromInnerFrame(FILE* out) {
    _Unwind_Backtrace(&STBBackTrace::backtrace_helper, out);
    __asm__ volatile("" ::: "memory");  // no tail call: this frame must stay on the stack
}

__attribute__((noinline)) void traceFromOuterFrame(FILE* out) {
    traceFromInnerFrame(out);
    __asm__ volatile("" ::: "memory");
}

}  // namespace stb_backtrace_test

namespace {

const char kKnownFunctionSymbol[] = "_ZN18stb_backtrace_test13knownFunctionEi";

// Collects what is written to a FILE* in memory.
class MemoryStream {
public:
    MemoryStream() : stream(open_memstream(&buffer, &size)) {}
    ~MemoryStream() {
        if (stream != nullptr) std::fclose(stream);
        std::free(buffer);
    }
    MemoryStream(const MemoryStream&) = delete;
    MemoryStream& operator=(const MemoryStream&) = delete;

    FILE* file() { return stream; }
    std::string text() {
        std::fflush(stream);
        return std::string(buffer, size);
    }

private:
    char* buffer = nullptr;
    size_t size = 0;
    FILE* stream;
};

std::string lineFor(uintptr_t address) {
    MemoryStream out;
    STBBackTrace::writeFrameLine(out.file(), address);
    return out.text();
}

std::string hexAddress(uintptr_t address) {
    char text[32];
    std::snprintf(text, sizeof text, "%p", reinterpret_cast<void*>(address));
    return text;
}

uintptr_t addressOf(int (*function)(int)) { return reinterpret_cast<uintptr_t>(function); }

// A Thumb function's address and symbol carry bit 0; its code starts one
// byte lower. Frame addresses have the bit cleared, so offsets from such a
// symbol come out one less.
uintptr_t thumbBit(uintptr_t functionAddress) { return functionAddress & 1u; }

std::string offsetText(uintptr_t offset) {
    char text[32];
    std::snprintf(text, sizeof text, "(+0x%x)", static_cast<unsigned>(offset));
    return text;
}

std::vector<std::string> splitLines(const std::string& text) {
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    return lines;
}

TEST(STBBackTraceFrameLineTest, ZeroAndThumbBitAloneAreUnknownAddress) {
    EXPECT_EQ("Unknown address\n", lineFor(0));
    EXPECT_EQ("Unknown address\n", lineFor(1));
}

TEST(STBBackTraceFrameLineTest, AddressInExportedFunctionNamesSymbolOffsetAndObject) {
    const uintptr_t symbol = addressOf(&stb_backtrace_test::knownFunction);
    const uintptr_t code = symbol - thumbBit(symbol);
    Dl_info info{};
    ASSERT_NE(0, dladdr(reinterpret_cast<void*>(code + 2), &info));
    ASSERT_NE(nullptr, info.dli_fname);
    const std::string object =
        std::string("(") + info.dli_fname + " at " + hexAddress(reinterpret_cast<uintptr_t>(info.dli_fbase)) + ") \n";

    EXPECT_EQ(hexAddress(code + 2) + " " + kKnownFunctionSymbol + " " + offsetText(2 - thumbBit(symbol)) + " " + object,
              lineFor(code + 2));
    if (thumbBit(symbol) == 0) {  // on Thumb the first instruction lies below the symbol
        EXPECT_EQ(hexAddress(code) + " " + kKnownFunctionSymbol + " (+0x0) " + object, lineFor(code));
    }
}

TEST(STBBackTraceFrameLineTest, ThumbBitIsClearedBeforeLookup) {
    const uintptr_t symbol = addressOf(&stb_backtrace_test::knownFunction);
    const uintptr_t code = symbol - thumbBit(symbol);
    const std::string line = lineFor(code + 3);
    const std::string expectedStart =
        hexAddress(code + 2) + " " + kKnownFunctionSymbol + " " + offsetText(2 - thumbBit(symbol)) + " (";
    EXPECT_EQ(0u, line.rfind(expectedStart, 0)) << line;
}

TEST(STBBackTraceFrameLineTest, AddressOutsideAnyObjectFailsToResolve) {
    const long pageSize = sysconf(_SC_PAGESIZE);
    void* page =
        mmap(nullptr, static_cast<size_t>(pageSize), PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    ASSERT_NE(MAP_FAILED, page);
    const uintptr_t address = reinterpret_cast<uintptr_t>(page) + 64;
    const std::string line = lineFor(address);
    munmap(page, static_cast<size_t>(pageSize));
    EXPECT_EQ(hexAddress(address) + " - error resolving address\n", line);
}

// The ELF header at the start of the executable belongs to the object but
// lies before any symbol.
TEST(STBBackTraceFrameLineTest, AddressInObjectWithoutCoveringSymbolHasNoMatchingSymbol) {
    Dl_info info{};
    ASSERT_NE(0, dladdr(reinterpret_cast<void*>(addressOf(&stb_backtrace_test::knownFunction)), &info));
    const uintptr_t header = reinterpret_cast<uintptr_t>(info.dli_fbase) + 16;
    EXPECT_EQ(hexAddress(header) + " - no matching symbol\n", lineFor(header));
}

// The report is followed by SIGKILL, so a line must not wait in the buffer.
TEST(STBBackTraceFrameLineTest, EachLineReachesTheFileAtOnce) {
    int fds[2];
    ASSERT_EQ(0, pipe(fds));
    ASSERT_EQ(0, fcntl(fds[0], F_SETFL, O_NONBLOCK));
    FILE* out = fdopen(fds[1], "w");
    ASSERT_NE(nullptr, out);
    static char buffer[4096];
    setvbuf(out, buffer, _IOFBF, sizeof buffer);

    STBBackTrace::writeFrameLine(out, 0);
    char received[64] = {};
    const ssize_t n = read(fds[0], received, sizeof received - 1);
    std::fclose(out);
    close(fds[0]);
    EXPECT_EQ("Unknown address\n", std::string(received, n > 0 ? static_cast<size_t>(n) : 0));
}

TEST(STBBackTraceTest, WalksWholeStackInnermostFirst) {
    MemoryStream out;
    stb_backtrace_test::traceFromOuterFrame(out.file());
    const std::string text = out.text();
    ASSERT_FALSE(text.empty());
    EXPECT_EQ('\n', text.back());

    const std::vector<std::string> lines = splitLines(text);
    EXPECT_GE(lines.size(), 4u) << text;
    const std::regex shape(
        "Unknown address"
        "|0x[0-9a-f]+ - error resolving address"
        "|0x[0-9a-f]+ - no matching symbol"
        "|0x[0-9a-f]+ [^ ]+ \\(\\+0x[0-9a-f]+\\) \\(.* at 0x[0-9a-f]+\\) ");
    size_t inner = lines.size();
    size_t outer = lines.size();
    for (size_t i = 0; i < lines.size(); ++i) {
        EXPECT_TRUE(std::regex_match(lines[i], shape)) << "line " << i << ": " << lines[i];
        if (inner == lines.size() && lines[i].find("traceFromInnerFrame") != std::string::npos) inner = i;
        if (outer == lines.size() && lines[i].find("traceFromOuterFrame") != std::string::npos) outer = i;
    }
    ASSERT_LT(inner, lines.size()) << text;
    ASSERT_LT(outer, lines.size()) << text;
    EXPECT_LT(inner, outer) << text;
    EXPECT_LT(outer + 1, lines.size()) << "the walk stopped at the test's own frames:\n" << text;
    const std::regex innerLine(
        "0x[0-9a-f]+ _ZN18stb_backtrace_test19traceFromInnerFrameE[^ ]* "
        "\\(\\+0x[0-9a-f]+\\) \\(.*STBBackTraceTest at 0x[0-9a-f]+\\) ");
    EXPECT_TRUE(std::regex_match(lines[inner], innerLine)) << lines[inner];
}

}  // namespace
