#include "dns/DNSRecords.h"

#include "util/Strings.h"

#include <algorithm>
#include <cstring>

namespace corvan {

namespace {

// The message cut at the end of the record's RDATA, so that nothing read for the record
// can run past it. Names may still point backwards into the rest of the message.
std::string_view RecordView(const TdnsRRHeader& h, std::string_view msg) {
    if (h.DataOffset > msg.size() || h.DataLength > msg.size() - h.DataOffset)
        throw EdnsError(dnsErrInvalidBuffer);
    return msg.substr(0, h.DataOffset + h.DataLength);
}

// NS, CNAME and PTR: RDATA is one name.
void ReadNameRecord(TdnsRecord& r, const TdnsRRHeader& h, std::string_view msg, std::string& name) {
    r.TdnsRecord::Init(h, msg);
    DNSReadName(RecordView(h, msg), h.DataOffset, name);
}

std::string DottedAddress(uint32_t address) {
    uint8_t b[4];
    std::memcpy(b, &address, 4);
    return Format("%u.%u.%u.%u", b[0], b[1], b[2], b[3]);
}

} // namespace

bool DNSSameName(std::string_view a, std::string_view b) {
    return EqualNoCase(a, b);
}

std::string TdnsRecord::TypeName() const {
    return DNSTypeName(Header.RType);
}

std::string TdnsRecord::AsString() const {
    return {};
}

void TdnsRecord::Init(const TdnsRRHeader& header, std::string_view msg) {
    Header = header;
    FNamesExpanded = DNSRDataHoldsNames(header.RType);
    if (FNamesExpanded)
        FExpandedData = DNSExpandRData(msg, header);
}

std::string TdnsARecord::AsString() const {
    return DottedAddress(Address);
}

void TdnsARecord::Init(const TdnsRRHeader& header, std::string_view msg) {
    TdnsRecord::Init(header, msg);
    std::string_view rd = RecordView(header, msg);
    DNSGetLong(rd, header.DataOffset); // bounds
    std::memcpy(&Address, rd.data() + header.DataOffset, 4);
}

void TdnsNSRecord::Init(const TdnsRRHeader& header, std::string_view msg) {
    ReadNameRecord(*this, header, msg, NameServer);
}

void TdnsCNAMERecord::Init(const TdnsRRHeader& header, std::string_view msg) {
    ReadNameRecord(*this, header, msg, CanonicalName);
}

//  +-------+-------+--------+---------+-------+--------+---------+
//  | MNAME | RNAME | SERIAL | REFRESH | RETRY | EXPIRE | MINIMUM |
//  |       |       |   32   |   32    |  32   |   32   |   32    |
//  +-------+-------+--------+---------+-------+--------+---------+
void TdnsSOARecord::Init(const TdnsRRHeader& header, std::string_view msg) {
    TdnsRecord::Init(header, msg);
    std::string_view rd = RecordView(header, msg);
    size_t p = header.DataOffset;
    p += DNSReadName(rd, p, PrimaryServer);
    p += DNSReadName(rd, p, Mailbox);
    Serial = DNSGetLong(rd, p);
    Refresh = DNSGetLong(rd, p + 4);
    Retry = DNSGetLong(rd, p + 8);
    Expire = DNSGetLong(rd, p + 12);
}

std::string TdnsSOARecord::AsString() const {
    return PrimaryServer + " " + Mailbox + " " + std::to_string(Serial) + " " +
           std::to_string(Refresh) + " " + std::to_string(Retry) + " " + std::to_string(Expire);
}

void TdnsPTRRecord::Init(const TdnsRRHeader& header, std::string_view msg) {
    ReadNameRecord(*this, header, msg, DomainName);
}

void TdnsHINFORecord::Init(const TdnsRRHeader& header, std::string_view msg) {
    TdnsRecord::Init(header, msg);
    std::string_view rd = RecordView(header, msg);
    size_t p = header.DataOffset;
    p += DNSReadCharString(rd, p, CPU);
    DNSReadCharString(rd, p, OS);
}

//  +------------+----------+
//  | PREFERENCE | EXCHANGE |
//  |     16     |          |
//  +------------+----------+
void TdnsMXRecord::Init(const TdnsRRHeader& header, std::string_view msg) {
    TdnsRecord::Init(header, msg);
    std::string_view rd = RecordView(header, msg);
    Preference = DNSGetWord(rd, header.DataOffset);
    DNSReadName(rd, header.DataOffset + 2, Exchange);
}

namespace {
template <class T> std::unique_ptr<TdnsRecord> Make() {
    return std::make_unique<T>();
}
struct TRecordClass {
    uint16_t Type;
    std::unique_ptr<TdnsRecord> (*Create)();
};
constexpr TRecordClass kRecordClasses[] = {
    {dnsTypeA, Make<TdnsARecord>},         {dnsTypeNS, Make<TdnsNSRecord>},
    {dnsTypeCNAME, Make<TdnsCNAMERecord>}, {dnsTypeSOA, Make<TdnsSOARecord>},
    {dnsTypePTR, Make<TdnsPTRRecord>},     {dnsTypeHINFO, Make<TdnsHINFORecord>},
    {dnsTypeMX, Make<TdnsMXRecord>},
};
} // namespace

std::unique_ptr<TdnsRecord> DNSCreateRecord(const TdnsRRHeader& header, std::string_view msg) {
    std::unique_ptr<TdnsRecord> r;
    for (const TRecordClass& c : kRecordClasses)
        if (c.Type == header.RType)
            r = c.Create();
    if (!r)
        r = std::make_unique<TdnsRecord>();
    r->Init(header, msg);
    return r;
}

// Header, then QDCOUNT questions (skipped), then the three record sections in order:
//
//  +--------+-----------+---------+-----------+------------+
//  | header | questions | answers | authority | additional |
//  |   12   |  QDCOUNT  | ANCOUNT |  NSCOUNT  |  ARCOUNT   |
//  +--------+-----------+---------+-----------+------------+
TdnsResponse DNSParseResponse(std::string_view msg) {
    TdnsResponse r;
    r.Header = DNSReadHeader(msg);
    r.Flags = DNSDecodeFlags(r.Header.Flags);
    size_t pos = kDNSHeaderSize;
    for (uint16_t i = 0; i < r.Header.QDCount; ++i)
        pos += DNSSkipQuestion(msg, pos);
    auto readSection = [&](uint16_t count, TdnsRecordList& list) {
        for (uint16_t i = 0; i < count; ++i) {
            TdnsRRHeader h;
            pos += DNSReadRRHeader(msg, pos, h);
            list.push_back(DNSCreateRecord(h, msg));
        }
    };
    readSection(r.Header.ANCount, r.Answers);
    readSection(r.Header.NSCount, r.Authority);
    readSection(r.Header.ARCount, r.Additional);
    return r;
}

// ---- Picking answers ------------------------------------------------------------------

namespace {

// Calls f for every valid record of class T whose owner passes the name test.
template <class T, class Match, class F>
void ForEach(const TdnsRecordList& records, Match match, F f) {
    for (const auto& r : records)
        if (auto* t = dynamic_cast<const T*>(r.get()); t && t->Valid() && match(t->Header.Name))
            f(*t);
}

auto Owner(std::string_view name) {
    return [name](const std::string& owner) { return DNSSameName(owner, name); };
}

} // namespace

std::vector<uint32_t> DNSAddresses(const TdnsRecordList& records, std::string_view name) {
    std::vector<uint32_t> r;
    ForEach<TdnsARecord>(records, Owner(name),
                         [&](const TdnsARecord& a) { r.push_back(a.Address); });
    return r;
}

std::vector<std::string> DNSNameServers(const TdnsRecordList& records, std::string_view name) {
    std::vector<std::string> r;
    ForEach<TdnsNSRecord>(records, Owner(name),
                          [&](const TdnsNSRecord& ns) { r.push_back(ns.NameServer); });
    return r;
}

std::vector<std::string> DNSNameServersSharingLabel(const TdnsRecordList& records,
                                                    std::string_view name) {
    std::vector<std::string> r;
    ForEach<TdnsNSRecord>(
        records,
        [name](const std::string& owner) { return DNSTrailingLabelMatch(owner, name) >= 1; },
        [&](const TdnsNSRecord& ns) { r.push_back(ns.NameServer); });
    return r;
}

std::vector<std::string> DNSExchangeNames(const TdnsRecordList& records, std::string_view name,
                                          bool byPreference) {
    std::vector<const TdnsMXRecord*> mx;
    ForEach<TdnsMXRecord>(records, Owner(name), [&](const TdnsMXRecord& m) { mx.push_back(&m); });
    if (byPreference)
        std::stable_sort(mx.begin(), mx.end(), [](const TdnsMXRecord* a, const TdnsMXRecord* b) {
            return a->Preference < b->Preference;
        });
    std::vector<std::string> r;
    for (auto* m : mx)
        r.push_back(m->Exchange);
    return r;
}

std::string DNSCanonicalName(const TdnsRecordList& records, std::string_view name) {
    auto* r = DNSFirstRecord<TdnsCNAMERecord>(records, name);
    return r ? r->CanonicalName : std::string();
}

std::string DNSPTRName(const TdnsRecordList& records, std::string_view name) {
    auto* r = DNSFirstRecord<TdnsPTRRecord>(records, name);
    return r ? r->DomainName : std::string();
}

int DNSTrailingLabelMatch(std::string_view a, std::string_view b) {
    if (a.empty() || b.empty())
        return 0;
    size_t i = a.size(), j = b.size();
    int count = 0;
    while (i > 0 && j > 0) {
        char x = AsciiLower(a[i - 1]), y = AsciiLower(b[j - 1]);
        if (x != y)
            return count;
        if (x == '.')
            ++count;
        --i;
        --j;
    }
    if (i == 0 && j == 0)
        return count + 1;
    std::string_view longer = i > 0 ? a : b;
    size_t rest = i > 0 ? i : j;
    return longer[rest - 1] == '.' ? count + 1 : count;
}

} // namespace corvan
