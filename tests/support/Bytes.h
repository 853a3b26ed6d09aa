#pragma once
// Helpers to write wire packets in tests as readable pieces: bytes, network-order words,
// and DNS names in label form.

#include <cstdint>
#include <initializer_list>
#include <string>
#include <string_view>

namespace corvan::test {

inline std::string Bytes(std::initializer_list<int> bytes) {
    std::string s;
    for (int b : bytes)
        s.push_back(char(b & 0xFF));
    return s;
}

inline std::string Word(uint16_t v) {
    return Bytes({v >> 8, v & 0xFF});
}

inline std::string Long(uint32_t v) {
    return Word(uint16_t(v >> 16)) + Word(uint16_t(v & 0xFFFF));
}

// "www.example" -> 3 'www' 7 'example', then a 0 byte unless followed by a pointer.
inline std::string Labels(std::string_view dotted, bool terminate = true) {
    std::string s;
    while (!dotted.empty()) {
        size_t dot = dotted.find('.');
        std::string_view label = dotted.substr(0, dot);
        s.push_back(char(label.size()));
        s.append(label);
        dotted = dot == std::string_view::npos ? std::string_view() : dotted.substr(dot + 1);
    }
    if (terminate)
        s.push_back(0);
    return s;
}

// A DNS compression pointer to offset.
inline std::string Pointer(uint16_t offset) {
    return Word(uint16_t(0xC000 | offset));
}

} // namespace corvan::test
