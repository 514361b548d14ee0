// Byte-exact payloads for codec tests, written as hex literals grouped by
// field: bytes({0x00, 0x00, 0x00, 0x03}, {0x61, 0x62, 0x63}, {0x00}).
#pragma once

#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <string>
#include <vector>

namespace test_bytes {

using Field = std::initializer_list<uint8_t>;

inline std::vector<char> bytes(Field f1, Field f2 = {}, Field f3 = {}, Field f4 = {}, Field f5 = {},
                               Field f6 = {}, Field f7 = {}, Field f8 = {}, Field f9 = {}, Field f10 = {},
                               Field f11 = {}, Field f12 = {}) {
    std::vector<char> out;
    for (Field field : {f1, f2, f3, f4, f5, f6, f7, f8, f9, f10, f11, f12})
        for (uint8_t b : field) out.push_back(static_cast<char>(b));
    return out;
}

inline std::vector<char> cutShort(std::vector<char> payload, size_t by = 1) {
    payload.resize(payload.size() >= by ? payload.size() - by : 0);
    return payload;
}

// For readable failure messages: "00 00 01 02".
inline std::string hex(std::vector<char> const& payload) {
    static const char digits[] = "0123456789ABCDEF";
    std::string out;
    for (char c : payload) {
        auto b = static_cast<unsigned char>(c);
        if (!out.empty()) out += ' ';
        out += digits[b >> 4];
        out += digits[b & 0x0F];
    }
    return out;
}

}  // namespace test_bytes
