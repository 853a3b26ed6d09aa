#pragma once
// One line of "socksproxy.log" per ended client connection, built from the connection's
// facts without any I/O.

#include "util/DateTime.h"

#include <cstdint>
#include <string>

namespace corvan {

// What the server knows about a client connection when it ends. A client that ended before
// sending a request has every destination field at its zero value.
struct TSocksConnectionFacts {
    std::string RemoteIP;          // the client's address, dotted
    uint64_t BytesTransferred = 0; // relayed in both directions
    uint64_t BytesToClient = 0;    // the part of BytesTransferred sent to the client
    uint32_t DestAddr = 0;         // requested IPv4 address, network byte order; 0 for a name
    int DestPort = 0;              // host byte order
    std::string DestHost;          // requested host name, or the dotted requested address
};


//   hh:nn:ss SP remote-ip SP bytes SP dest-addr ":" dest-port SP dest-host CR LF
// e.g. "14:03:59 192.168.1.20 5120 0.0.0.0:443 www.example.com\r\n". The host name comes
// from the client: every byte of it below 32 or 127 is written as "?", so that a name can
// never break or forge a line.
std::string SocksLogLine(TDateTime localTime, const TSocksConnectionFacts& facts);

} // namespace corvan
