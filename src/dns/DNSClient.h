#pragma once
// The resolver's side of DNS over UDP: one socket that sends built queries to servers and
// parses every datagram that arrives as a response (RFC 1035 4.1). The socket binds to a
// port the system picks at random, so an off-path attacker must guess it as well as the
// message identifier (the resolver takes a new one for each query).

#include "dns/DNSRecords.h"
#include "net/SocketsUDP.h"

#include <functional>

namespace corvan {

// What a response carried besides its records: who sent it and the question it repeats.
struct TdnsResponseInfo {
    TSocketAddr Sender;
    bool HasQuestion = false; // QDCOUNT was at least 1 and the first question parsed
    TdnsRawQuestion Question;
};

class TdnsUDPClient : public AUDPSocket {
public:
    // Binds every interface (both protocols where the system has IPv6) on a system-chosen
    // port at the first send.
    TdnsUDPClient();

    // A parsed response. Runs on the socket's thread; an exception it raises is dropped and
    // reading goes on.
    std::function<void(TdnsUDPClient* sender, const TdnsResponseInfo& info, TdnsResponse& response)>
        OnResponse;
    // A datagram that does not parse (dropped after this).
    std::function<void(TdnsUDPClient* sender, const std::string& datagram, const EdnsError& error)>
        OnParseError;

    // Sends query to destination (address and port). False when it could not leave now;
    // failures never raise past this (a resolver retries on its timer).
    bool SendQuery(const TSocketAddr& destination, const std::string& query);

    // Parses one datagram as a response and its first question; raises EdnsError. A message
    // with QR clear (a query) raises 10201: only responses are accepted here.
    static TdnsResponse ParseResponse(std::string_view datagram, TdnsResponseInfo& info);

protected:
    void TriggerPacketAvailable() override;
};

} // namespace corvan
