// Big-endian field writer and bounds-checked reader shared by every message
// class and the frame header. Internal.
//
// Everything goes through uint8_t: plain char is unsigned on ARM and signed on
// x86, and a cast of a payload pointer to a wider type would be an unaligned
// load on the 32-bit target.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace ipc_codec {

inline void appendU8(std::vector<char>& out, uint8_t v) { out.push_back(static_cast<char>(v)); }

inline void appendU16(std::vector<char>& out, uint16_t v) {
    out.push_back(static_cast<char>((v >> 8) & 0xFFu));
    out.push_back(static_cast<char>(v & 0xFFu));
}

inline void appendU32(std::vector<char>& out, uint32_t v) {
    for (int shift = 24; shift >= 0; shift -= 8) out.push_back(static_cast<char>((v >> shift) & 0xFFu));
}

inline void appendU64(std::vector<char>& out, uint64_t v) {
    for (int shift = 56; shift >= 0; shift -= 8) out.push_back(static_cast<char>((v >> shift) & 0xFFu));
}

// A text field: 4-byte length, the bytes, one zero byte (always written).
inline void appendText(std::vector<char>& out, std::string const& text) {
    appendU32(out, static_cast<uint32_t>(text.size()));
    out.insert(out.end(), text.begin(), text.end());
    out.push_back('\0');
}

inline uint32_t loadU32(const unsigned char* p) {
    return uint32_t{p[0]} << 24 | uint32_t{p[1]} << 16 | uint32_t{p[2]} << 8 | uint32_t{p[3]};
}

inline void storeU32(unsigned char* p, uint32_t v) {
    p[0] = static_cast<unsigned char>(v >> 24);
    p[1] = static_cast<unsigned char>(v >> 16);
    p[2] = static_cast<unsigned char>(v >> 8);
    p[3] = static_cast<unsigned char>(v);
}

// Reads fields in order without ever reading past the end of the payload.
// A failed read consumes nothing; the caller decides what the field becomes.
class PayloadReader {
public:
    explicit PayloadReader(std::vector<char> const& payload) : data(payload) {}

    size_t remaining() const { return data.size() - pos; }
    size_t position() const { return pos; }

    bool readU8(uint8_t& out) {
        if (remaining() < 1) return false;
        out = bytes()[pos];
        pos += 1;
        return true;
    }
    bool readU16(uint16_t& out) {
        if (remaining() < 2) return false;
        out = static_cast<uint16_t>(byteAt(pos) << 8 | byteAt(pos + 1));
        pos += 2;
        return true;
    }
    bool readU32(uint32_t& out) {
        if (remaining() < 4) return false;
        out = loadU32(bytes() + pos);
        pos += 4;
        return true;
    }
    bool readU64(uint64_t& out) {
        if (remaining() < 8) return false;
        out = uint64_t{loadU32(bytes() + pos)} << 32 | loadU32(bytes() + pos + 4);
        pos += 8;
        return true;
    }
    bool readBytes(size_t n, std::string& out) {
        if (remaining() < n) return false;
        out.assign(data.data() + pos, n);
        pos += n;
        return true;
    }
    bool skip(size_t n) {
        if (remaining() < n) return false;
        pos += n;
        return true;
    }
    // A text field. The terminator is skipped unchecked; a payload that ends
    // right after the text bytes still yields the text.
    bool readText(std::string& out) {
        size_t start = pos;
        uint32_t length = 0;
        if (!readU32(length) || !readBytes(length, out)) {
            pos = start;
            return false;
        }
        if (remaining() > 0) pos += 1;
        return true;
    }

private:
    const unsigned char* bytes() const { return reinterpret_cast<const unsigned char*>(data.data()); }
    unsigned byteAt(size_t i) const { return bytes()[i]; }

    std::vector<char> const& data;
    size_t pos = 0;
};

}  // namespace ipc_codec
