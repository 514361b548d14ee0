// The capture reader on arbitrary bytes. Traps unless every record it accepts
// fits in the input, and unless a file made again of the records it read
// reads back the same records.
#include <sys/mman.h>
#include <unistd.h>

#include <cstdlib>
#include <string>

#include "capture/Capture.h"

using namespace kesu_tools::capture;

static void check(bool condition) {
    if (!condition) __builtin_trap();
}

// A file in memory: a run leaves nothing behind, however it ends.
static std::string scratchPath() {
    static const std::string path = "/proc/self/fd/" + std::to_string(::memfd_create("kesu-capture-fuzz", 0));
    return path;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::vector<Record> records;
    std::string error;
    bool whole = parse(reinterpret_cast<char const*>(data), size, records, error);
    size_t bytes = 0;
    for (Record const& record : records) bytes += 16 + kPseudoHeaderBytes + record.bytes.size();
    check(bytes <= size);
    check(whole || !error.empty());
    if (!whole) return 0;
    Writer writer;
    check(writer.open(scratchPath(), error));
    for (Record const& record : records) check(writer.write(record));
    std::vector<Record> again;
    check(read(scratchPath(), again, error));
    check(again.size() == records.size());
    for (size_t i = 0; i < again.size(); ++i) {
        check(again[i].microseconds == records[i].microseconds);
        check(again[i].direction == records[i].direction);
        check(again[i].connection == records[i].connection);
        check(again[i].flags == records[i].flags);
        check(again[i].bytes == records[i].bytes);
    }
    return 0;
}
