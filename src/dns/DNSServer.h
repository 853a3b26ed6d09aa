#pragma once
// The server's side of DNS over UDP: TdnsUDPServer receives datagrams, parses them as queries
// and hands each to OnQuery; the answer builder makes a response that repeats the query's
// first question (RFC 1035 4.1.1: clients match an answer to their query by it, and the
// system resolver of Linux drops one without it).

#include "dns/DNSRecords.h"
#include "dns/DNSUtils.h"
#include "net/AllowedClients.h"
#include "net/SocketsUDP.h"

#include <array>
#include <functional>
#include <memory>

namespace corvan {

// A received query: header, flags, questions with their type numbers as sent.
struct TdnsServerQuery {
    TdnsHeader Header;
    TdnsFlags Flags;
    std::vector<TdnsRawQuestion> Questions;
    // The UDP payload size its OPT record states (RFC 6891 6.2.3; below 512 taken as 512);
    // 0 without one.
    uint16_t EDNSPayload = 0;
    // A question name holds a label with a dot, which no name as text can ask for: the
    // questions stop before it, and the query is answered with "format error".
    bool FormatError = false;
};

// Parses a datagram as a query (RFC 1035 4.1): 12-byte header, flags (opcode above 2 raises
// 10206), then QDCOUNT questions of any type, then the records after them for an OPT record
// in the additional section (records that do not parse leave the query without EDNS, so its
// answer stays within 512 bytes). Raises EdnsError for a short or malformed datagram and for
// a response (QR set, 10201), which a server must never answer (two servers would answer
// each other for ever).
TdnsServerQuery DNSParseServerQuery(std::string_view datagram);

// Whether name, as read from a query, is written back as the same name: false for names that
// labels holding a dot or an empty label make ambiguous as text, and for names too long.
bool DNSNameWritable(const std::string& name);

// TTL of every record the proxy makes itself, in seconds.
constexpr uint32_t kDNSAnswerTTL = 60;

// One record of an answer. Data: its RDATA with names uncompressed (DNSExpandRData): A 4
// address bytes (network order), AAAA 16 bytes, NS and CNAME the target's DNSNameWire.
struct TdnsAnswerRecord {
    std::string Owner;
    uint16_t Type = dnsTypeA;
    std::string Data;
    uint16_t Class = dnsClassIN;
    uint32_t TTL = kDNSAnswerTTL;
};

// A received record as it came (owner, type, class, TTL, RDATA with names expanded), to be
// passed on in an answer.
TdnsAnswerRecord DNSPassedRecord(const TdnsRecord& record);

// Response code of a query the server will not answer for this client (RFC 1035 4.1.1).
constexpr uint8_t kDNSRcodeRefused = 5;
// Response code of a query that cannot be read as one (RFC 1035 4.1.1).
constexpr uint8_t kDNSRcodeFormatError = 1;

// The response to request (its header as received) for question:
//
//   header: ID of the request; its opcode, RD and CD with QR and RA set, AA, AD and Z clear,
//           RCODE := code; QDCOUNT 1, ANCOUNT, NSCOUNT as written, ARCOUNT 1 with EDNS
//   question: name, type, class as asked
//   answer records, then authority records, as given; names compressed
//   with EDNS (ednsPayload not 0): an OPT record stating kDNSMaxUDPPayload
//
// At most 512 bytes without EDNS (RFC 1035 4.2.1), else ednsPayload bytes up to
// kDNSMaxUDPPayload: the records that do not fit are left out whole, from the first of them
// on, with TC set. truncated: TC set whatever fits (the records given are already a part of
// the set, as an up-stream answer with TC). A question that DNSNameWritable refuses gives
// DNSBuildFormatError: repeating another name than the one asked would mislead the client.
std::string DNSBuildResponse(const TdnsHeader& request, const TdnsRawQuestion& question,
                             uint8_t code, const std::vector<TdnsAnswerRecord>& answers = {},
                             const std::vector<TdnsAnswerRecord>& authority = {},
                             uint16_t ednsPayload = 0, bool truncated = false);
// A header-only response to request with code 1 (format error): nothing of a query that
// cannot be read is repeated.
std::string DNSBuildFormatError(const TdnsHeader& request);

// Datagrams the server reads in one call per read notification before the loop serves other
// objects again; more wait in the system for the next round. The answers made meanwhile wait
// for the end of the round (as many at most: a full set leaves at once) and leave together.
constexpr size_t kDNSServerReadBatch = 64;

class TdnsUDPServer : public AUDPSocket {
public:
    // Local port "53" on every address until set otherwise.
    TdnsUDPServer();
    ~TdnsUDPServer() override;

    // A parsed query from address:port. Runs on the socket's thread.
    std::function<void(TdnsUDPServer* sender, const TSocketAddr& source,
                       const TdnsServerQuery& query)>
        OnQuery;

    // Who may ask (not owned; null: everyone). Asked for each datagram before its questions
    // are handed on: a refused query is answered with response code 5 (refused), its ID and
    // question repeated; a refused datagram that does not parse as a query is dropped, so a
    // stranger never gets more back than it sent. A query of an admitted client with a
    // FormatError is answered with DNSBuildFormatError here and not handed on.
    TClientAdmission* Admission = nullptr;

    // Datagrams dropped because they did not parse as queries.
    uint64_t DroppedCount() const { return FDropped; }

    // Sends a response; failures are dropped (the client asks again). While the server
    // handles the queries of one read, the response waits to leave with the others.
    void SendResponse(const TSocketAddr& destination, std::string response);

protected:
    void TriggerPacketAvailable() override;

private:
    // One received datagram: parsed, admitted or refused, answered here or handed on.
    void HandleDatagram(std::string_view data, const TSocketAddr& from);
    // Sends the responses waiting and forgets them.
    void FlushResponses();

    uint64_t FDropped = 0;
    // The buffers of one read, made at the first (kDNSServerReadBatch of MaxPacketSize bytes)
    // and kept while the server lives.
    std::unique_ptr<TUDPPacketBatch> FBatch;
    // Responses made while a read's queries are handled (FHandlingBatch), at most
    // kDNSServerReadBatch.
    std::vector<TSendBufferItem> FResponses;
    bool FHandlingBatch = false;
};

} // namespace corvan
