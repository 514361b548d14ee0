// Byte-exact payloads: bytes({0, 0, 0, 3}, {'a', 'b', 'c'}, {0}) or unhex("00000003 616263 00"),
// grouped by field; hex() writes them back for readable failure messages.
#pragma once

#include <cstdint>
#include <initializer_list>
#include <string>
#include <vector>

namespace test_bytes {

using Field = std::initializer_list<uint8_t>;

inline std::vector<char> bytes(Field f1, Field f2 = {}, Field f3 = {}, Field f4 = {}) {
    std::vector<char> out;
    for (Field field : {f1, f2, f3, f4}) out.insert(out.end(), field.begin(), field.end());
    return out;
}

// Blanks between bytes are ignored.
inline std::vector<char> unhex(std::string const& text) {
    std::vector<char> out;
    for (size_t i = text.find_first_not_of(' '); i != std::string::npos; i = text.find_first_not_of(' ', i + 2))
        out.push_back(static_cast<char>(std::stoi(text.substr(i, 2), nullptr, 16)));
    return out;
}

inline std::string hex(std::vector<char> const& bytes) {
    static const char digits[] = "0123456789ABCDEF";
    std::string out;
    for (char c : bytes) out += std::string(out.empty() ? "" : " ") + digits[(c >> 4) & 0xF] + digits[c & 0xF];
    return out;
}

}  // namespace test_bytes
