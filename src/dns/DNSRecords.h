#pragma once
// Resource records built from a received response (RFC 1035 3.3 and 3.4), the parsing of a
// whole response into its answer, authority and additional sections, and the routines that
// pick answers out of those sections.

#include "dns/DNSUtils.h"

#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace corvan {

// A record of a type without a class of its own; the base of the typed records.
class TdnsRecord {
public:
    virtual ~TdnsRecord() = default;
    // DNSTypeName of the record's type.
    virtual std::string TypeName() const;
    // The record's data as text; empty for types without one.
    virtual std::string AsString() const;
    // Takes the header and reads the type's fields from its RDATA in msg (the message the
    // header was read from; names in RDATA may point anywhere before them). Fields that do
    // not fit in RDATA raise 10201, names that do not read raise as DNSReadName.
    virtual void Init(const TdnsRRHeader& header, std::string_view msg);
    // Whether the record carries a usable value.
    virtual bool Valid() const { return true; }

    TdnsRRHeader Header;
    // RDATA with its names uncompressed (DNSExpandRData): what a proxy passes on unchanged.
    // For a type without names that is Header.Data itself.
    const std::string& ExpandedData() const { return FNamesExpanded ? FExpandedData : Header.Data; }

private:
    bool FNamesExpanded = false;
    std::string FExpandedData; // with FNamesExpanded
};

// RDATA: ADDRESS (32). Valid when the address is not 0.
class TdnsARecord : public TdnsRecord {
public:
    std::string AsString() const override; // dotted address
    void Init(const TdnsRRHeader& header, std::string_view msg) override;
    bool Valid() const override { return Address != 0; }
    uint32_t Address = 0; // network byte order, as in in_addr
};

// RDATA: NSDNAME. Valid when the name is not empty.
class TdnsNSRecord : public TdnsRecord {
public:
    std::string AsString() const override { return NameServer; }
    void Init(const TdnsRRHeader& header, std::string_view msg) override;
    bool Valid() const override { return !NameServer.empty(); }
    std::string NameServer;
};

// RDATA: CNAME. Valid when the name is not empty.
class TdnsCNAMERecord : public TdnsRecord {
public:
    std::string AsString() const override { return CanonicalName; }
    void Init(const TdnsRRHeader& header, std::string_view msg) override;
    bool Valid() const override { return !CanonicalName.empty(); }
    std::string CanonicalName;
};

// RDATA: MNAME, RNAME, SERIAL, REFRESH, RETRY, EXPIRE, MINIMUM (32 each). MINIMUM is not
// read. Text: the six values separated by blanks. Valid when MNAME is not empty.
class TdnsSOARecord : public TdnsRecord {
public:
    std::string AsString() const override;
    void Init(const TdnsRRHeader& header, std::string_view msg) override;
    bool Valid() const override { return !PrimaryServer.empty(); }
    std::string PrimaryServer;
    std::string Mailbox;
    uint32_t Serial = 0;
    uint32_t Refresh = 0;
    uint32_t Retry = 0;
    uint32_t Expire = 0;
};

// RDATA: PTRDNAME. Always valid.
class TdnsPTRRecord : public TdnsRecord {
public:
    std::string AsString() const override { return DomainName; }
    void Init(const TdnsRRHeader& header, std::string_view msg) override;
    std::string DomainName;
};

// RDATA: CPU, OS (character strings). No text form; always valid.
class TdnsHINFORecord : public TdnsRecord {
public:
    void Init(const TdnsRRHeader& header, std::string_view msg) override;
    std::string CPU;
    std::string OS;
};

// RDATA: PREFERENCE (16), EXCHANGE. Valid when the exchange is not empty.
class TdnsMXRecord : public TdnsRecord {
public:
    std::string AsString() const override { return Exchange; }
    void Init(const TdnsRRHeader& header, std::string_view msg) override;
    bool Valid() const override { return !Exchange.empty(); }
    uint16_t Preference = 0;
    std::string Exchange;
};

using TdnsRecordList = std::vector<std::unique_ptr<TdnsRecord>>;

// The record object for a header: the class by type (1 A, 2 NS, 5 CNAME, 6 SOA, 12 PTR,
// 13 HINFO, 15 MX, any other TdnsRecord), initialised from msg.
std::unique_ptr<TdnsRecord> DNSCreateRecord(const TdnsRRHeader& header, std::string_view msg);

struct TdnsResponse {
    TdnsHeader Header;
    TdnsFlags Flags;
    TdnsRecordList Answers;
    TdnsRecordList Authority;
    TdnsRecordList Additional;
};

// A whole response: header, flags (an opcode above 2 raises 10206), the questions skipped,
// then ANCOUNT, NSCOUNT and ARCOUNT records. Any short or malformed part raises EdnsError;
// nothing is partly returned. Each record takes at least 11 bytes of the message and holds
// a name of at most 255 characters and its RDATA twice, as received and with its names
// (each at least 1 byte there) expanded to at most 257 bytes each, so memory stays bounded
// by a small multiple of the message size.
TdnsResponse DNSParseResponse(std::string_view msg);

// ---- Picking answers (owner names compared without regard to ASCII case) --------------

// The first valid record of class T owned by name, or null.
template <class T> const T* DNSFirstRecord(const TdnsRecordList& records, std::string_view name);
// The addresses of all valid A records of name, in order (network byte order).
std::vector<uint32_t> DNSAddresses(const TdnsRecordList& records, std::string_view name);
// The names of all valid NS records of name.
std::vector<std::string> DNSNameServers(const TdnsRecordList& records, std::string_view name);
// The names of all valid NS records whose owner shares at least one trailing label with
// name (a referral to a parent domain).
std::vector<std::string> DNSNameServersSharingLabel(const TdnsRecordList& records,
                                                    std::string_view name);
// The exchanges of all valid MX records of name; byPreference orders them by ascending
// preference, ties in arrival order.
std::vector<std::string> DNSExchangeNames(const TdnsRecordList& records, std::string_view name,
                                          bool byPreference = false);
// The first valid CNAME's canonical name for name, or "".
std::string DNSCanonicalName(const TdnsRecordList& records, std::string_view name);
// The first PTR record's name for name, or "".
std::string DNSPTRName(const TdnsRecordList& records, std::string_view name);

// How many trailing labels two names share: compared from the end without regard to case,
// the dots passed while they agree, plus one when both are used up or the shorter one ends
// at a label boundary of the longer ("a.b.c" and "x.b.c" give 2, "b.c" and "a.b.c" 2,
// "c" and "bc" 0). An empty name shares nothing.
int DNSTrailingLabelMatch(std::string_view a, std::string_view b);

// ---- Template definitions -------------------------------------------------------------

bool DNSSameName(std::string_view a, std::string_view b);

template <class T> const T* DNSFirstRecord(const TdnsRecordList& records, std::string_view name) {
    for (const auto& r : records)
        if (auto* t = dynamic_cast<const T*>(r.get());
            t && t->Valid() && DNSSameName(t->Header.Name, name))
            return t;
    return nullptr;
}

} // namespace corvan
