#include "dns/DNSClient.h"

namespace corvan {

// Datagrams read per READY_READ notification before the loop serves other objects again.
constexpr int kDNSClientReadBatch = 64;

TdnsUDPClient::TdnsUDPClient() {
    // Every interface, both protocols: a server of either family can be asked.
    SetLocalHost("");
    SetLocalPort("0");
    // Datagrams are read and parsed as they arrive: nothing waits in a queue of ours.
    BufferPackets = false;
    // DNS over UDP is limited to 512 bytes without EDNS; this leaves room for larger ones.
    MaxPacketSize = 4096;
}

bool TdnsUDPClient::SendQuery(const TSocketAddr& destination, const std::string& query) {
    try {
        EnsureBound();
        return SendTo(destination, query.data(), static_cast<int>(query.size()));
    } catch (const std::exception&) {
        return false;
    }
}

TdnsResponse TdnsUDPClient::ParseResponse(std::string_view datagram, TdnsResponseInfo& info) {
    TdnsResponse response = DNSParseResponse(datagram);
    if (response.Flags.IsQuery)
        throw EdnsError(dnsErrInvalidBuffer);
    info.HasQuestion = false;
    if (response.Header.QDCount > 0) {
        DNSReadRawQuestion(datagram, kDNSHeaderSize, info.Question);
        info.HasQuestion = true;
    }
    return response;
}

void TdnsUDPClient::TriggerPacketAvailable() {
    std::string data;
    TSocketAddr from;
    for (int i = 0; i < kDNSClientReadBatch; ++i) {
        bool got = false;
        try {
            got = ReadPacketStr(data, from);
        } catch (const std::exception&) {
            return; // e.g. an ICMP error reported on the socket; the next datagram still comes
        }
        if (!got)
            return;
        TdnsResponseInfo info;
        info.Sender = from;
        TdnsResponse response;
        try {
            response = ParseResponse(data, info);
        } catch (const EdnsError& e) {
            if (OnParseError)
                OnParseError(this, data, e);
            continue;
        }
        try {
            if (OnResponse)
                OnResponse(this, info, response);
        } catch (const std::exception&) {
            // The handler's failure is its own: the datagrams behind this one are still read.
        }
    }
    // More may wait: come back after the other objects of this loop had their turn.
    PostSocketEvent(READY_READ);
}

} // namespace corvan
