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

// Packets both sides of the protocol see.
// CONNECT to 93.184.216.34 port 80, by address.
inline const std::string kPacketConnectByAddress = Bytes({
    0x05, 0x01, 0x00, 0x01, // VER, CMD CONNECT, RSV, ATYP IPv4
    93, 184, 216, 34,       // DST.ADDR
    0x00, 0x50,             // DST.PORT 80
});
// CONNECT to example.com port 443, by name.
inline const std::string kPacketConnectByName =
    Bytes({0x05, 0x01, 0x00, 0x03, // VER, CMD CONNECT, RSV, ATYP domain
           11}) +                  // name length
    "example.com" +
    Bytes({0x01, 0xBB}); // name, DST.PORT 443
// Login of "user" with password "secret".
inline const std::string kPacketLogin = Bytes({0x01, 4}) + "user"     // VER, ULEN, UNAME
                                        + Bytes({6}) + "secret";      // PLEN, PASSWD
inline const std::string kPacketMethodNone = Bytes({0x05, 0x00});     // VER, no authentication
inline const std::string kPacketMethodUserPass = Bytes({0x05, 0x02}); // VER, username/password
inline const std::string kPacketMethodRefused = Bytes({0x05, 0xFF});  // VER, none acceptable

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
