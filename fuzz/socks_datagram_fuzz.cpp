// Fuzzes the header of a SOCKS5 client's UDP datagram, as any host that can reach an
// association's relay socket may send one. A header taken is checked against what it says,
// and written back for its address (as the relay heads an answer) it must read the same.
// Built by fuzz/run.sh (every fuzz/*_fuzz.cpp becomes a program).

#include "net/SocketLib.h"
#include "proxy/SocksUDP.h"

#include <cstdlib>
#include <string>
#include <string_view>

using namespace corvan;

namespace {

void Check(bool condition) {
    if (!condition)
        std::abort();
}

// Reads header + data back and checks it names the same destination, with the data after it.
void CheckRoundTrip(const std::string& header, const TSocksDestination& expected) {
    std::string again = header + "data";
    std::optional<TSocksDatagram> parsed = ParseSocksDatagram(again);
    Check(parsed.has_value());
    Check(parsed->DataOffset == header.size());
    Check(parsed->Destination.Addr == expected.Addr);
    Check(parsed->Destination.Host == expected.Host);
    Check(parsed->Destination.Port == expected.Port);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::string_view input(reinterpret_cast<const char*>(data), size);
    std::optional<TSocksDatagram> datagram = ParseSocksDatagram(input);
    if (!datagram)
        return 0;
    const TSocksDestination& to = datagram->Destination;
    Check(datagram->DataOffset <= input.size());
    Check(to.Port != 0);
    Check((to.Addr != 0) != !to.Host.empty()); // exactly one names the destination
    if (to.Addr != 0) {
        CheckRoundTrip(SocksDatagramHeader(to.Addr, to.Port), to);
        return 0;
    }
    Check(to.Host.size() <= 255);
    // An IPv6 destination arrives as its text: heading an answer from it gives type 4 back.
    TSocketAddr address;
    if (input[3] == 4) {
        Check(IsIPLiteral(to.Host, address));
        address.Port = to.Port;
        CheckRoundTrip(SocksDatagramHeader(address), to);
    }
    return 0;
}
