// The tools' capture file, the one place that reads and writes it: classic
// pcap with microsecond timestamps and the private-use link-layer type 147
// (LINKTYPE_USER0). Each record is a 12-byte pseudo-header followed by the
// bytes of one whole frame exactly as on the wire (header and payload); the
// records of a connection's opening and closing carry no bytes, and bytes of
// a stream that lost its frame markers travel as raw records.
//
// Pseudo-header, big-endian:
//   byte 0      version, 1
//   byte 1      direction: 0 client to server, 1 server to client
//   byte 2      flags: 1 injected by the tool (typed lines, faults, the dev
//               server's own frames), 2 connection opened, 4 connection
//               closed, 8 raw bytes (not cut into frames)
//   byte 3      0
//   bytes 4-11  the connection number the tool prints
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "frames/Traffic.h"
#include "kesu/ipc/IPCFrame.h"

namespace kesu_tools::capture {

constexpr uint32_t kLinkType = 147;
constexpr size_t kPseudoHeaderBytes = 12;
constexpr uint8_t kVersion = 1;
// The longest record: the pseudo-header and a frame at the client's bound.
constexpr uint32_t kMaxRecordBytes = kPseudoHeaderBytes + ipc_frame::kHeaderBytes + ipc_frame::kMaxPayloadBytes;

enum Flag : uint8_t { kInjected = 1, kOpened = 2, kClosed = 4, kRaw = 8 };

struct Record {
    int64_t microseconds = 0;  // since the epoch
    Direction direction = Direction::ToServer;
    ConnectionId connection = 0;
    uint8_t flags = 0;
    std::vector<char> bytes;  // a whole frame, raw bytes (kRaw), or nothing
};

// Writes record by record, each with one write(), so that a reader (and a
// writer killed with SIGKILL) leaves the file whole up to its last record.
class Writer {
public:
    Writer() = default;
    ~Writer();
    Writer(Writer const&) = delete;
    Writer& operator=(Writer const&) = delete;

    // Creates or truncates `path` and writes the file header; false with the
    // reason in `error` when the file cannot be made. "-" writes to a copy of
    // standard output, so the program may point its own output elsewhere.
    bool open(std::string const& path, std::string& error);
    // False once a write has failed (a full disk, the header's included): from
    // then on nothing is written and `error()` says why; what was written
    // stays readable.
    bool write(Record const& record);
    bool failed() const { return !reason.empty(); }
    std::string const& error() const { return reason; }

private:
    bool writeAll(std::vector<char> const& bytes);

    int fd = -1;
    std::string reason;
};

// The records of a whole capture file; false with the reason in `error` (the
// records before the fault are kept). A file that ends inside a record is
// refused: only a writer killed mid-record leaves one, and a replay needs
// the whole recording.
bool parse(char const* data, size_t size, std::vector<Record>& records, std::string& error);
// Reads `path` ("-": standard input) and parses it.
bool read(std::string const& path, std::vector<Record>& records, std::string& error);

}  // namespace kesu_tools::capture
