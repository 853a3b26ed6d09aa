#pragma once
// The DNS wire format (RFC 1035) as the resolver and the DNS server use it: error codes and
// texts, header and flags, the query types the system knows, names, questions, resource
// records. Everything here is a pure function over a byte buffer: no sockets, no state.
//
// Readers take the whole message (std::string_view, any bytes) and a position, and return
// the number of bytes the item occupies there. Writers append to a TdnsWriter of fixed
// capacity. Every short or malformed input raises EdnsError (10201 "Invalid buffer" for
// reads, 10202 "Buffer overflow" for writes); nothing is partly returned.

#include "util/Exceptions.h"

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

namespace corvan {

// ---- Errors ---------------------------------------------------------------------------

enum TdnsErrorCode : int32_t {
    dnsErrNone = 0,
    dnsErrInternal = 10100,
    dnsErrInvalidParameter = 10200,
    dnsErrInvalidBuffer = 10201,
    dnsErrBufferOverflow = 10202,
    dnsErrDomainNameTooLong = 10203,
    dnsErrDomainLabelTooLong = 10204,
    dnsErrStringTooLong = 10205,
    dnsErrInvalidOpcode = 10206,
    dnsErrDottedLabel = 10207,    // a label read from the wire holds a dot
    dnsErrServerResponse = 10300, // 10300 + n: the server answered with response code n
    dnsErrFormat = 10301,
    dnsErrServerFailure = 10302,
    dnsErrName = 10303,
    dnsErrNotImplemented = 10304,
    dnsErrRefused = 10305,
    dnsErrNameExists = 10306,
    dnsErrRRSetExists = 10307,
    dnsErrRRSetNotExists = 10308,
    dnsErrNotAuthorised = 10309,
    dnsErrNotAZone = 10310,
    dnsErrLookup = 10400,
    dnsErrLookupTimedOut = 10401,
};

// The fixed text of a code. Unlisted codes 10000..19999 give the text of their hundred
// ("DNS error" for hundreds without one) and " (code - 10000)"; codes outside that range
// give "Error <code>"; 0 gives an empty text.
std::string DNSErrorMessage(int32_t code);

class EdnsError : public ECodedException {
public:
    // The message is the code's text.
    explicit EdnsError(int32_t code) : ECodedException(DNSErrorMessage(code), code) {}
    EdnsError(int32_t code, std::string message) : ECodedException(std::move(message), code) {}
};

// ---- Limits and numbers ---------------------------------------------------------------

// Longest name, as dotted text without a final dot; longer names raise 10203 when written
// and 10201 when read.
constexpr size_t kDNSMaxNameLength = 255;
// Longest label; longer labels raise 10204 when written.
constexpr size_t kDNSMaxLabelLength = 63;
// Longest character string; longer strings raise 10205 when written.
constexpr size_t kDNSMaxCharStringLength = 255;
constexpr size_t kDNSHeaderSize = 12;
// Buffer a query is built in; a name that does not fit raises 10202.
constexpr size_t kDNSQueryBufferSize = 1024;
// An answer to a query without EDNS (RFC 1035 4.2.1); records past it are left out with TC
// set.
constexpr size_t kDNSPlainUDPSize = 512;
// The largest answer the DNS server sends, whatever size an EDNS query states, and the size
// its own OPT record states; records past it are left out with TC set.
constexpr size_t kDNSMaxUDPPayload = 4096;
// Buffer the DNS server builds a response in: the largest answer it sends.
constexpr size_t kDNSResponseBufferSize = kDNSMaxUDPPayload;

constexpr uint16_t dnsTypeA = 1;
constexpr uint16_t dnsTypeNS = 2;
constexpr uint16_t dnsTypeCNAME = 5;
constexpr uint16_t dnsTypeSOA = 6;
constexpr uint16_t dnsTypeWKS = 11;
constexpr uint16_t dnsTypePTR = 12;
constexpr uint16_t dnsTypeHINFO = 13;
constexpr uint16_t dnsTypeMX = 15;
constexpr uint16_t dnsTypeTXT = 16;
constexpr uint16_t dnsTypeAAAA = 28;
constexpr uint16_t dnsTypeOPT = 41; // EDNS (RFC 6891)
constexpr uint16_t dnsTypeAXFR = 252;
constexpr uint16_t dnsTypeALL = 255;
constexpr uint16_t dnsClassIN = 1;

// The query types the system asks and answers, in this order.
enum class TdnsQueryType : uint8_t { A, NS, CNAME, WKS, PTR, HINFO, MX, TXT, AXFR, ALL };

// RFC 1035 type number of a query type; a value outside the enumeration raises 10200.
uint16_t DNSQueryTypeNumber(TdnsQueryType type);
// Query type of a type number; a number the enumeration lacks (28, 33...) raises 10200.
TdnsQueryType DNSQueryTypeFromNumber(uint16_t number);
// Display name of any type number: "A", "AAAA", "SRV"...; 0 gives ""; numbers without a
// name give "R" and four upper-case hex digits ("R0063").
std::string DNSTypeName(uint16_t number);

// ---- Header and flags (RFC 1035 4.1.1) ------------------------------------------------
//
//    0  1  2  3  4  5  6  7  8  9 10 11 12 13 14 15
//  +--+--+--+--+--+--+--+--+--+--+--+--+--+--+--+--+
//  |                      ID                       |
//  |QR|   Opcode  |AA|TC|RD|RA|   Z    |   RCODE   |   <- the flags word
//  |                    QDCOUNT                    |
//  |                    ANCOUNT                    |
//  |                    NSCOUNT                    |
//  |                    ARCOUNT                    |
//  +--+--+--+--+--+--+--+--+--+--+--+--+--+--+--+--+

struct TdnsHeader {
    uint16_t ID = 0;
    uint16_t Flags = 0;
    uint16_t QDCount = 0;
    uint16_t ANCount = 0;
    uint16_t NSCount = 0;
    uint16_t ARCount = 0;
};

struct TdnsFlags {
    bool IsQuery = true; // QR clear
    uint8_t OpCode = 0;  // 0 standard query, 1 inverse query, 2 status
    bool AA = false;     // authoritative answer
    bool TC = false;     // truncated
    bool RD = false;     // recursion desired
    bool RA = false;     // recursion available
    uint8_t RCode = 0;   // response code, 0..15
    bool operator==(const TdnsFlags&) const = default;
};

// Raises 10200 for an opcode above 2 or a response code above 15. Z is written as 0.
uint16_t DNSEncodeFlags(const TdnsFlags& flags);
// Raises 10206 "Invalid opcode" for an opcode above 2. Z is ignored.
TdnsFlags DNSDecodeFlags(uint16_t word);
// Response flags for a request's flags word: every bit kept except AA and RCODE, QR set,
// RCODE := responseCode, AA := authoritative. A response code above 15 raises 10200.
uint16_t DNSResponseFlags(uint16_t requestFlags, uint8_t responseCode, bool authoritative);

// ---- Writing --------------------------------------------------------------------------

// Bytes appended into a buffer of fixed capacity. A write that does not fit raises 10202
// "Buffer overflow" and writes nothing.
class TdnsWriter {
public:
    explicit TdnsWriter(size_t capacity) : FCapacity(capacity) { FData.reserve(capacity); }
    void PutByte(uint8_t value);
    void PutWord(uint16_t value); // network byte order
    void PutLong(uint32_t value); // network byte order
    void PutBytes(std::string_view bytes);
    // Overwrites two bytes already written (a length filled in afterwards).
    void PatchWord(size_t offset, uint16_t value);
    // Cuts back to size bytes (undoing a partly written item).
    void Truncate(size_t size);
    size_t Size() const { return FData.size(); }
    size_t Capacity() const { return FCapacity; }
    // Bytes from now on at most (what is written stays; memory is reserved for it).
    void SetCapacity(size_t capacity);
    const std::string& Data() const { return FData; }
    // The bytes written, moved out: the writer is empty after it.
    std::string Take();

    // From now on a name written with PutName ends in a pointer to an earlier copy of its
    // longest suffix already written (RFC 1035 4.1.4); suffixes match byte for byte, so the
    // name reads back with the case it was given.
    void EnableCompression() { FCompress = true; }
    // A name in uncompressed wire form (labels, final 0), compressed when enabled and
    // mayCompress (names inside RDATA of later types must stay whole, RFC 3597 4). Wire
    // that is not a well-formed name raises 10200.
    void PutName(std::string_view wire, bool mayCompress = true);

private:
    void Need(size_t bytes) const;
    std::string FData;
    size_t FCapacity;
    bool FCompress = false;
    // Looked up by a view of the name being written, without a copy of it.
    struct TSuffixHash {
        using is_transparent = void;
        size_t operator()(std::string_view s) const { return std::hash<std::string_view>{}(s); }
    };
    // Wire suffixes written so far, by the offset of their first copy (below 0x4000, what a
    // pointer reaches).
    std::unordered_map<std::string, uint16_t, TSuffixHash, std::equal_to<>> FSuffixes;
};

// Query header: ID, flags (query, opCode, RD), one question, no records.
void DNSWriteQueryHeader(TdnsWriter& w, uint16_t id, uint8_t opCode, bool recursionDesired);
// Response header: ID, flags with QR forced on, QDCOUNT 0 (the question is not repeated),
// AN/NS/AR counts from counts.
void DNSWriteResponseHeader(TdnsWriter& w, uint16_t id, uint16_t flags, const TdnsHeader& counts);

// A name as labels (RFC 1035 3.1), never compressed:
//
//  +-----+--------+-----+--------+-----+
//  | len | label  | len | label  |  0  |     "www.example" -> 3 www 7 example 0
//  +-----+--------+-----+--------+-----+
//
// One final dot is ignored; "" and "." write the root (a single 0). Raises 10203 for a name
// longer than 255 characters, 10204 for a label longer than 63, 10200 for an empty label
// ("a..b", ".a"), which would otherwise end the name early on the wire.
void DNSWriteName(TdnsWriter& w, std::string_view name);

// Question (RFC 1035 4.1.2): name, QTYPE (16), QCLASS (16) = 1.
void DNSWriteQuestion(TdnsWriter& w, std::string_view name, TdnsQueryType type);

// Resource record (RFC 1035 4.1.3):
//
//  +------+------+-------+-----+----------+-------------------+
//  | NAME | TYPE | CLASS | TTL | RDLENGTH | RDATA (RDLENGTH)  |
//  |      |  16  |  16=1 | 32  |    16    |                   |
//  +------+------+-------+-----+----------+-------------------+
//
// The record writers leave nothing behind when they raise.
void DNSWriteRRHeader(TdnsWriter& w, std::string_view name, uint16_t type, uint32_t ttl,
                      uint16_t dataLength);
// A record; address in network byte order (as in in_addr). RDATA is the 4 address bytes.
void DNSWriteARecord(TdnsWriter& w, std::string_view name, uint32_t ttl, uint32_t address);
// NS and CNAME records: RDATA is the written target name.
void DNSWriteNSRecord(TdnsWriter& w, std::string_view name, uint32_t ttl,
                      std::string_view nameServer);
void DNSWriteCNAMERecord(TdnsWriter& w, std::string_view name, uint32_t ttl,
                         std::string_view canonicalName);
// The OPT record of EDNS (RFC 6891 6.1.2): root name, type 41, class = the UDP payload size
// the sender takes, TTL 0 (extended code 0, version 0, no DO bit), no RDATA. 11 bytes.
constexpr size_t kDNSOPTRecordSize = 11;
void DNSWriteOPTRecord(TdnsWriter& w, uint16_t payloadSize);
// Character string (RFC 1035 3.3): length byte, bytes. Longer than 255 raises 10205.
void DNSWriteCharString(TdnsWriter& w, std::string_view text);

// The uncompressed wire form of a name, as DNSWriteName writes it (raising as it does).
std::string DNSNameWire(std::string_view name);
// A whole record of any type and class: rdata is its RDATA with names uncompressed (as
// DNSExpandRData gives it); they are compressed when the writer compresses and the type is
// one of RFC 1035, whose readers all follow pointers.
void DNSWriteRecord(TdnsWriter& w, std::string_view name, uint16_t type, uint16_t rclass,
                    uint32_t ttl, std::string_view rdata);

// ---- Reading --------------------------------------------------------------------------

// Network-order words at pos; past the end raises 10201.
uint16_t DNSGetWord(std::string_view msg, size_t pos);
uint32_t DNSGetLong(std::string_view msg, size_t pos);

// The first 12 bytes of msg; shorter raises 10201.
TdnsHeader DNSReadHeader(std::string_view msg);

// Reads the name at pos of msg into name (dotted, no final dot) and returns the bytes it
// occupies at pos. Follows compression pointers (RFC 1035 4.1.4: 11 + 14-bit offset), each
// of which ends the name where it stands (2 bytes). Raises 10201 "Invalid buffer" when a
// label or pointer runs past the message, when a pointer does not point before the label
// run that contains it (this also refuses self-pointers, loops and offsets at or beyond the
// message size, so reading always ends), and when the name grows past 255 characters.
size_t DNSReadName(std::string_view msg, size_t pos, std::string& name);
// As DNSReadName without following pointers or building text.
size_t DNSSkipName(std::string_view msg, size_t pos);

struct TdnsQuestion {
    std::string Name;
    TdnsQueryType QType = TdnsQueryType::A;
    uint16_t QClass = dnsClassIN;
};

// A type the query type enumeration lacks raises 10200.
size_t DNSReadQuestion(std::string_view msg, size_t pos, TdnsQuestion& question);
// A question with its type number as sent, whatever the type (AAAA, SRV...): what a server
// repeats in its answer and a resolver compares with its query.
struct TdnsRawQuestion {
    std::string Name;
    uint16_t QType = 0;
    uint16_t QClass = dnsClassIN;
};
size_t DNSReadRawQuestion(std::string_view msg, size_t pos, TdnsRawQuestion& question);
// Name, QTYPE, QCLASS as given (RFC 1035 4.1.2).
void DNSWriteRawQuestion(TdnsWriter& w, const TdnsRawQuestion& question);

// Name plus 4 bytes.
size_t DNSSkipQuestion(std::string_view msg, size_t pos);

struct TdnsRRHeader {
    std::string Name;
    uint16_t RType = 0;
    uint16_t RClass = 0;
    uint32_t TTL = 0;
    uint16_t DataLength = 0;
    size_t DataOffset = 0; // where RDATA starts in the message it was read from
    std::string Data;      // a copy of RDATA, so records may outlive the datagram
};

// Reads a whole resource record header with its RDATA; returns the record's full size
// (name, 10 bytes, RDATA). RDATA running past the message raises 10201.
size_t DNSReadRRHeader(std::string_view msg, size_t pos, TdnsRRHeader& rr);
// One length byte, then that many bytes.
size_t DNSReadCharString(std::string_view msg, size_t pos, std::string& text);
// The RDATA of rr (read from msg) with the domain names in it uncompressed, so that it
// means the same outside msg: for the types that hold names (NS, CNAME, SOA, PTR, MX, SRV,
// NAPTR and the others of RFC 3597 4), the names read from msg; for every other type the
// RDATA as received. A name that does not read raises as DNSReadName.
std::string DNSExpandRData(std::string_view msg, const TdnsRRHeader& rr);
// Whether the RDATA of type holds names (DNSExpandRData then differs from it as received).
bool DNSRDataHoldsNames(uint16_t type);

// ---- Whole messages -------------------------------------------------------------------

// A standard query with one question, built in a kDNSQueryBufferSize buffer.
std::string DNSBuildQuery(uint16_t id, std::string_view name, TdnsQueryType type,
                          bool recursionDesired, uint8_t opCode = 0);

struct TdnsQueryMessage {
    TdnsHeader Header;
    TdnsFlags Flags;
    std::vector<TdnsQuestion> Questions;
};

// A received query: header, decoded flags, then QDCOUNT questions (records after them are
// not read). Raises on any short or malformed part and on an unknown query type.
TdnsQueryMessage DNSParseQuery(std::string_view msg);

} // namespace corvan
