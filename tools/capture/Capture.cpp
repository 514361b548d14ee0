#include "capture/Capture.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <fstream>
#include <iostream>
#include <iterator>

#include "kesu/ipc/PayloadCodec.h"

namespace kesu_tools::capture {
namespace {

constexpr uint32_t kMagic = 0xA1B2C3D4;  // microseconds
constexpr uint32_t kSwappedMagic = 0xD4C3B2A1;
constexpr size_t kFileHeaderBytes = 24;
constexpr size_t kRecordHeaderBytes = 16;

// The pcap headers are in the writer's byte order; a reader takes either.
void appendNative(std::vector<char>& out, uint32_t value) {
    char bytes[4];
    std::memcpy(bytes, &value, sizeof bytes);
    out.insert(out.end(), bytes, bytes + sizeof bytes);
}

void appendNative16(std::vector<char>& out, uint16_t value) {
    char bytes[2];
    std::memcpy(bytes, &value, sizeof bytes);
    out.insert(out.end(), bytes, bytes + sizeof bytes);
}

uint64_t loadU64(char const* in) {
    auto const* bytes = reinterpret_cast<unsigned char const*>(in);
    return uint64_t{ipc_codec::loadU32(bytes)} << 32 | ipc_codec::loadU32(bytes + 4);
}

uint32_t loadNative(char const* in, bool swapped) {
    uint32_t value = 0;
    std::memcpy(&value, in, sizeof value);
    return swapped ? __builtin_bswap32(value) : value;
}

}  // namespace

Writer::~Writer() {
    if (fd >= 0) ::close(fd);
}

bool Writer::open(std::string const& path, std::string& error) {
    if (path == "-")
        fd = ::fcntl(STDOUT_FILENO, F_DUPFD_CLOEXEC, 0);
    else
        fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0) {
        error = path + ": " + std::strerror(errno);
        return false;
    }
    std::vector<char> header;
    appendNative(header, kMagic);
    appendNative16(header, 2);  // version 2.4
    appendNative16(header, 4);
    appendNative(header, 0);  // this zone
    appendNative(header, 0);  // significant figures
    appendNative(header, kMaxRecordBytes);
    appendNative(header, kLinkType);
    writeAll(header);
    return true;
}

bool Writer::write(Record const& record) {
    if (failed() || fd < 0) return false;
    std::vector<char> out;
    out.reserve(kRecordHeaderBytes + kPseudoHeaderBytes + record.bytes.size());
    const auto length = static_cast<uint32_t>(kPseudoHeaderBytes + record.bytes.size());
    appendNative(out, static_cast<uint32_t>(record.microseconds / 1000000));
    appendNative(out, static_cast<uint32_t>(record.microseconds % 1000000));
    appendNative(out, length);
    appendNative(out, length);
    out.push_back(static_cast<char>(kVersion));
    out.push_back(record.direction == Direction::ToServer ? 0 : 1);
    out.push_back(static_cast<char>(record.flags));
    out.push_back(0);
    ipc_codec::appendU64(out, record.connection);
    out.insert(out.end(), record.bytes.begin(), record.bytes.end());
    return writeAll(out);
}

bool Writer::writeAll(std::vector<char> const& bytes) {
    size_t written = 0;
    while (written < bytes.size()) {
        ssize_t n = ::write(fd, bytes.data() + written, bytes.size() - written);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            reason = n < 0 ? std::strerror(errno) : "nothing written";
            return false;
        }
        written += static_cast<size_t>(n);
    }
    return true;
}

bool parse(char const* data, size_t size, std::vector<Record>& records, std::string& error) {
    if (size < kFileHeaderBytes) {
        error = "not a capture file: too short for a pcap header";
        return false;
    }
    uint32_t magic = loadNative(data, false);
    if (magic != kMagic && magic != kSwappedMagic) {
        error = "not a capture file: no pcap magic number with microsecond timestamps";
        return false;
    }
    const bool swapped = magic == kSwappedMagic;
    const uint32_t linkType = loadNative(data + 20, swapped);
    if (linkType != kLinkType) {
        error = "link-layer type " + std::to_string(linkType) + ", not the tools' " + std::to_string(kLinkType);
        return false;
    }
    for (size_t at = kFileHeaderBytes; at < size;) {
        const std::string where = "record " + std::to_string(records.size() + 1);
        if (size - at < kRecordHeaderBytes) {
            error = where + ": truncated header";
            return false;
        }
        const uint32_t length = loadNative(data + at + 8, swapped);
        if (length > kMaxRecordBytes) {
            error = where + ": " + std::to_string(length) + " bytes, more than the frame bound allows";
            return false;
        }
        if (length < kPseudoHeaderBytes) {
            error = where + ": " + std::to_string(length) + " bytes, shorter than the pseudo-header";
            return false;
        }
        if (size - at - kRecordHeaderBytes < length) {
            error = where + ": truncated, " + std::to_string(size - at - kRecordHeaderBytes) + " of " +
                std::to_string(length) + " bytes";
            return false;
        }
        const uint32_t micros = loadNative(data + at + 4, swapped);
        if (micros >= 1000000) {
            error = where + ": " + std::to_string(micros) + " microseconds, not a fraction of a second";
            return false;
        }
        char const* pseudo = data + at + kRecordHeaderBytes;
        Record record;
        record.microseconds = int64_t{loadNative(data + at, swapped)} * 1000000 + micros;
        record.direction = pseudo[1] == 0 ? Direction::ToServer : Direction::ToClient;
        record.flags = static_cast<uint8_t>(pseudo[2]);
        record.connection = loadU64(pseudo + 4);
        record.bytes.assign(pseudo + kPseudoHeaderBytes, pseudo + length);
        records.push_back(std::move(record));
        at += kRecordHeaderBytes + length;
    }
    return true;
}

bool read(std::string const& path, std::vector<Record>& records, std::string& error) {
    std::ifstream in;
    if (path != "-") {
        in.open(path, std::ios::binary);
        if (!in) {
            error = path + ": " + std::strerror(errno);
            return false;
        }
    }
    std::istream& from = path == "-" ? std::cin : in;
    std::vector<char> bytes((std::istreambuf_iterator<char>(from)), std::istreambuf_iterator<char>());
    if (parse(bytes.data(), bytes.size(), records, error)) return true;
    error = path + ": " + error;
    return false;
}

}  // namespace kesu_tools::capture
