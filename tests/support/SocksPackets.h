#pragma once
// Test helpers for SOCKS packets: byte strings written as lists of byte values, and a
// scripted connection that serves canned bytes to exact reads and records what is written.

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <initializer_list>
#include <stdexcept>
#include <string>

namespace corvan::test {

// {0x05, 0x00} as a byte string.
inline std::string Bytes(std::initializer_list<int> values) {
    std::string out;
    for (int v : values)
        out.push_back(char(v));
    return out;
}

// An IPv4 address a.b.c.d held in network byte order, as the SOCKS code keeps addresses.
inline uint32_t IPv4(int a, int b, int c, int d) {
    const unsigned char bytes[4] = {uint8_t(a), uint8_t(b), uint8_t(c), uint8_t(d)};
    uint32_t addr;
    std::memcpy(&addr, bytes, 4);
    return addr;
}

// Canned input for a blocking reader: ReadExact answers exactly n bytes or raises, as a
// socket stream does on a short read.
struct TScriptedConnection {
    std::string Input;
    size_t Position = 0;
    std::string Output;

    explicit TScriptedConnection(std::string input) : Input(std::move(input)) {}

    std::string ReadExact(size_t count) {
        if (Input.size() - Position < count)
            throw std::runtime_error("Read error");
        std::string bytes = Input.substr(Position, count);
        Position += count;
        return bytes;
    }
    void Write(const std::string& bytes) { Output += bytes; }
    size_t Unread() const { return Input.size() - Position; }
};

} // namespace corvan::test
