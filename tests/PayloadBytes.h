// Byte-exact payloads: unhex("00000003 616263 00"), grouped by field; hex() writes them back for
// readable failure messages.
#pragma once

#include <string>
#include <vector>

namespace test_bytes {

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
