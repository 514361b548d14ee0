// Byte-exact payloads for tests: bytes({0x00, 0x00, 0x00, 0x03}, {'a', 'b', 'c'}, {0x00}),
// or unhex("00000003 616263 00"), hex literals grouped by field.
#pragma once

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

// Blanks between bytes are ignored.
inline std::vector<char> unhex(std::string const& text) {
    std::vector<char> out;
    for (size_t i = text.find_first_not_of(' '); i != std::string::npos; i = text.find_first_not_of(' ', i + 2))
        out.push_back(static_cast<char>(std::stoi(text.substr(i, 2), nullptr, 16)));
    return out;
}

// "00 00 01 02", for readable failure messages.
inline std::string hex(std::vector<char> const& payload) {
    static const char digits[] = "0123456789ABCDEF";
    std::string out;
    for (char c : payload) {
        const auto b = static_cast<unsigned char>(c);
        out += std::string(out.empty() ? "" : " ") + digits[b >> 4] + digits[b & 0x0F];
    }
    return out;
}

}  // namespace test_bytes
