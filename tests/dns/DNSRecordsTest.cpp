#include "dns/DNSRecords.h"

#include "support/Bytes.h"

#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <fstream>

using namespace corvan;
using namespace corvan::test;

namespace {

// RR fields after the owner name: type, class IN, TTL, RDLENGTH.
std::string RR(uint16_t type, uint32_t ttl, const std::string& rdata) {
    return Word(type) + Word(1) + Long(ttl) + Word(uint16_t(rdata.size())) + rdata;
}

uint32_t IP(uint8_t a, uint8_t b, uint8_t c, uint8_t d) {
    uint8_t bytes[4] = {a, b, c, d};
    uint32_t v;
    std::memcpy(&v, bytes, 4);
    return v;
}

// A response to "example.com A" with every record class, names compressed.
struct TSample {
    std::string Msg;
    uint16_t ExampleAt = 12; // "example.com" in the question
    uint16_t Ns1At = 0;      // "ns1.example.com" in the NS record's data

    TSample() {
        Msg = Bytes({0xBE, 0xEF,                          // ID
                     0x85, 0x80,                          // QR, AA, RD, RA, rcode 0
                     0, 1,                                // QDCOUNT
                     0, 8,                                // ANCOUNT
                     0, 2,                                // NSCOUNT
                     0, 2});                              // ARCOUNT
        Msg += Labels("example.com") + Word(1) + Word(1); // question
        // Answers
        Msg += Pointer(ExampleAt) + RR(1, 3600, Bytes({93, 184, 216, 34}));               // A
        Msg += Labels("www", false) + Pointer(ExampleAt) + RR(5, 60, Pointer(ExampleAt)); // CNAME
        Msg += Pointer(ExampleAt) +
               RR(15, 60, Word(10) + Labels("mail", false) + Pointer(ExampleAt)); // MX 10
        Msg += Pointer(ExampleAt) +
               RR(15, 60, Word(5) + Labels("mx2", false) + Pointer(ExampleAt));      // MX 5
        Msg += Pointer(ExampleAt) + RR(28, 60, std::string(15, '\0') + "\x01");      // AAAA
        Msg += Pointer(ExampleAt) + RR(13, 60, Labels("i386.Linux", false));         // HINFO
        Msg += Labels("1.in-addr.arpa") + RR(12, 60, Pointer(ExampleAt));            // PTR
        Msg += Pointer(ExampleAt) + RR(16, 60, Bytes({5, 'h', 'e', 'l', 'l', 'o'})); // TXT
        // Authority
        Ns1At = uint16_t(Msg.size() + 2 + 10);
        Msg += Pointer(ExampleAt) + RR(2, 60, Labels("ns1", false) + Pointer(ExampleAt)); // NS
        Msg += Pointer(ExampleAt) + RR(6, 60,
                                       Pointer(Ns1At) + Labels("hostmaster", false) +
                                           Pointer(ExampleAt) + Long(2024010101) + Long(7200) +
                                           Long(3600) + Long(1209600) + Long(300)); // SOA
        // Additional
        Msg += Pointer(Ns1At) + RR(1, 60, Bytes({10, 0, 0, 1})); // A of ns1
        Msg += Pointer(Ns1At) + RR(1, 60, Bytes({0, 0, 0, 0}));  // A 0.0.0.0: not valid
    }
};

template <class T> const T& As(const std::unique_ptr<TdnsRecord>& r) {
    auto* t = dynamic_cast<const T*>(r.get());
    if (!t)
        throw std::runtime_error("record of the wrong class: " + r->TypeName());
    return *t;
}

std::unique_ptr<TdnsRecord> Record(const std::string& owner, uint16_t type, uint32_t ttl,
                                   const std::string& rdata) {
    std::string msg = std::string(12, '\0') + Labels(owner) + RR(type, ttl, rdata);
    TdnsRRHeader h;
    DNSReadRRHeader(msg, 12, h);
    return DNSCreateRecord(h, msg);
}

} // namespace

TEST(DNSResponse, ParsesIntoThreeSectionsWithEveryRecordClass) {
    TSample s;
    TdnsResponse r = DNSParseResponse(s.Msg);
    EXPECT_EQ(r.Header.ID, 0xBEEF);
    EXPECT_FALSE(r.Flags.IsQuery);
    EXPECT_TRUE(r.Flags.AA);
    EXPECT_TRUE(r.Flags.RA);
    ASSERT_EQ(r.Answers.size(), 8u);
    ASSERT_EQ(r.Authority.size(), 2u);
    ASSERT_EQ(r.Additional.size(), 2u);

    auto& a = As<TdnsARecord>(r.Answers[0]);
    EXPECT_EQ(a.Header.Name, "example.com");
    EXPECT_EQ(a.Header.TTL, 3600u);
    EXPECT_EQ(a.TypeName(), "A");
    EXPECT_EQ(a.AsString(), "93.184.216.34");
    EXPECT_EQ(a.Address, IP(93, 184, 216, 34));
    EXPECT_TRUE(a.Valid());

    auto& cname = As<TdnsCNAMERecord>(r.Answers[1]);
    EXPECT_EQ(cname.Header.Name, "www.example.com");
    EXPECT_EQ(cname.AsString(), "example.com");
    EXPECT_EQ(cname.TypeName(), "CNAME");

    auto& mx = As<TdnsMXRecord>(r.Answers[2]);
    EXPECT_EQ(mx.Preference, 10);
    EXPECT_EQ(mx.AsString(), "mail.example.com");
    EXPECT_EQ(mx.TypeName(), "MX");

    EXPECT_EQ(r.Answers[4]->TypeName(), "AAAA"); // no class of its own
    EXPECT_EQ(typeid(*r.Answers[4]), typeid(TdnsRecord));
    EXPECT_EQ(r.Answers[4]->AsString(), "");
    EXPECT_EQ(r.Answers[4]->Header.Data.size(), 16u);

    auto& hinfo = As<TdnsHINFORecord>(r.Answers[5]);
    EXPECT_EQ(hinfo.CPU, "i386");
    EXPECT_EQ(hinfo.OS, "Linux");
    EXPECT_EQ(hinfo.AsString(), "");
    EXPECT_EQ(hinfo.TypeName(), "HINFO");

    auto& ptr = As<TdnsPTRRecord>(r.Answers[6]);
    EXPECT_EQ(ptr.Header.Name, "1.in-addr.arpa");
    EXPECT_EQ(ptr.AsString(), "example.com");

    EXPECT_EQ(r.Answers[7]->TypeName(), "TXT");
    EXPECT_EQ(r.Answers[7]->AsString(), "");
    EXPECT_TRUE(r.Answers[7]->Valid());

    auto& ns = As<TdnsNSRecord>(r.Authority[0]);
    EXPECT_EQ(ns.AsString(), "ns1.example.com");
    auto& soa = As<TdnsSOARecord>(r.Authority[1]);
    EXPECT_EQ(soa.AsString(),
              "ns1.example.com hostmaster.example.com 2024010101 7200 3600 1209600");
    EXPECT_EQ(soa.TypeName(), "SOA");
    EXPECT_TRUE(soa.Valid());

    EXPECT_EQ(As<TdnsARecord>(r.Additional[0]).Header.Name, "ns1.example.com");
    EXPECT_EQ(r.Additional[0]->AsString(), "10.0.0.1");
    EXPECT_FALSE(r.Additional[1]->Valid());
}

TEST(DNSResponse, EveryTruncationRaisesCleanly) {
    TSample s;
    for (size_t n = 0; n < s.Msg.size(); ++n) {
        try {
            DNSParseResponse(std::string_view(s.Msg).substr(0, n));
            FAIL() << "prefix of " << n << " bytes parsed";
        } catch (const EdnsError& e) {
            ASSERT_EQ(e.ErrorCode, dnsErrInvalidBuffer) << n;
        }
    }
    // Each truncated copy on its own heap block, so a read past the end is caught by the
    // sanitizer build.
    for (size_t n = 0; n < s.Msg.size(); ++n) {
        std::unique_ptr<char[]> copy(new char[n ? n : 1]);
        std::memcpy(copy.get(), s.Msg.data(), n);
        EXPECT_THROW(DNSParseResponse(std::string_view(copy.get(), n)), EdnsError);
    }
}

TEST(DNSResponse, OpcodeAndSectionCountsAreChecked) {
    TSample s;
    std::string bad = s.Msg;
    bad[2] = char(0x85 | 0x18); // opcode 3
    try {
        DNSParseResponse(bad);
        FAIL();
    } catch (const EdnsError& e) {
        EXPECT_EQ(e.ErrorCode, dnsErrInvalidOpcode);
    }
    std::string more = s.Msg;
    more[11] = 3; // one additional record more than there is
    EXPECT_THROW(DNSParseResponse(more), EdnsError);
    std::string fewer = s.Msg;
    fewer[11] = 0; // trailing bytes are ignored
    EXPECT_EQ(DNSParseResponse(fewer).Additional.size(), 0u);
}

TEST(DNSRecords, FieldsMustFitInTheirRecordData) {
    // RDATA shorter than the fields, with more bytes after it in the message.
    auto parse = [](const std::string& rr) {
        std::string msg = Bytes({0, 1, 0x80, 0, 0, 0, 0, 1, 0, 0, 0, 0}) + Labels("x") + rr +
                          std::string(40, 'z');
        try {
            DNSParseResponse(msg);
        } catch (const EdnsError& e) {
            return e.ErrorCode;
        }
        return -1;
    };
    EXPECT_EQ(parse(RR(1, 0, Bytes({1, 2, 3}))), dnsErrInvalidBuffer);                    // A
    EXPECT_EQ(parse(RR(2, 0, Bytes({3, 'n', 's'}))), dnsErrInvalidBuffer);                // NS
    EXPECT_EQ(parse(RR(15, 0, Bytes({0}))), dnsErrInvalidBuffer);                         // MX
    EXPECT_EQ(parse(RR(6, 0, Labels("a") + Labels("b") + Long(1))), dnsErrInvalidBuffer); // SOA
    EXPECT_EQ(parse(RR(13, 0, Bytes({1, 'x', 5, 'y'}))), dnsErrInvalidBuffer);            // HINFO
    EXPECT_EQ(parse(RR(12, 0, Pointer(50))), dnsErrInvalidBuffer); // PTR pointing forward
    EXPECT_EQ(parse(RR(99, 0, Bytes({1, 2, 3}))), -1);             // unknown types keep raw data
}

TEST(DNSRecords, ValidityByClass) {
    EXPECT_FALSE(Record("x", 1, 0, Bytes({0, 0, 0, 0}))->Valid());
    EXPECT_TRUE(Record("x", 1, 0, Bytes({0, 0, 0, 1}))->Valid());
    EXPECT_FALSE(Record("x", 2, 0, Bytes({0}))->Valid());            // NS to the root
    EXPECT_FALSE(Record("x", 5, 0, Bytes({0}))->Valid());            // CNAME to the root
    EXPECT_FALSE(Record("x", 15, 0, Word(1) + Bytes({0}))->Valid()); // MX to the root
    EXPECT_FALSE(Record("x", 6, 0, Bytes({0}) + Labels("m") + std::string(20, '\0'))->Valid());
    EXPECT_TRUE(Record("x", 12, 0, Bytes({0}))->Valid());    // PTR: always
    EXPECT_TRUE(Record("x", 13, 0, Bytes({0, 0}))->Valid()); // HINFO: always
    EXPECT_TRUE(Record("x", 16, 0, "")->Valid());
    EXPECT_EQ(Record("x", 31, 0, "")->TypeName(), "R001F");
}

TEST(DNSSelection, PickRecordsByOwnerIgnoringCase) {
    TSample s;
    TdnsResponse r = DNSParseResponse(s.Msg);
    EXPECT_EQ(DNSAddresses(r.Answers, "EXAMPLE.com"), std::vector<uint32_t>{IP(93, 184, 216, 34)});
    EXPECT_TRUE(DNSAddresses(r.Answers, "www.example.com").empty());
    // The 0.0.0.0 record is skipped.
    EXPECT_EQ(DNSAddresses(r.Additional, "ns1.example.com"),
              std::vector<uint32_t>{IP(10, 0, 0, 1)});
    EXPECT_EQ(DNSCanonicalName(r.Answers, "WWW.example.com"), "example.com");
    EXPECT_EQ(DNSCanonicalName(r.Answers, "example.com"), "");
    EXPECT_EQ(DNSPTRName(r.Answers, "1.IN-ADDR.ARPA"), "example.com");
    EXPECT_EQ(DNSNameServers(r.Authority, "example.com"),
              std::vector<std::string>{"ns1.example.com"});
    EXPECT_TRUE(DNSNameServers(r.Authority, "www.example.com").empty());
    EXPECT_EQ(DNSExchangeNames(r.Answers, "example.com"),
              (std::vector<std::string>{"mail.example.com", "mx2.example.com"}));
    EXPECT_EQ(DNSExchangeNames(r.Answers, "example.com", true),
              (std::vector<std::string>{"mx2.example.com", "mail.example.com"}));
    const TdnsSOARecord* soa = DNSFirstRecord<TdnsSOARecord>(r.Authority, "Example.Com");
    ASSERT_NE(soa, nullptr);
    EXPECT_EQ(soa->Serial, 2024010101u);
    EXPECT_EQ(DNSFirstRecord<TdnsSOARecord>(r.Answers, "example.com"), nullptr);
}

TEST(DNSSelection, ReferralsShareATrailingLabel) {
    TdnsRecordList list;
    list.push_back(Record("com", 2, 0, Labels("a.gtld")));
    list.push_back(Record("example.com", 2, 0, Labels("ns.example.com")));
    list.push_back(Record("org", 2, 0, Labels("b.org")));
    list.push_back(Record("xcom", 2, 0, Labels("c.xcom")));
    list.push_back(Record("com", 2, 0, Bytes({0}))); // not valid
    EXPECT_EQ(DNSNameServersSharingLabel(list, "www.Example.COM"),
              (std::vector<std::string>{"a.gtld", "ns.example.com"}));
    EXPECT_TRUE(DNSNameServersSharingLabel(list, "net").empty());
}

TEST(DNSSelection, TrailingLabelMatchCount) {
    EXPECT_EQ(DNSTrailingLabelMatch("a.b.c", "x.b.c"), 2);
    EXPECT_EQ(DNSTrailingLabelMatch("b.c", "a.b.c"), 2);
    EXPECT_EQ(DNSTrailingLabelMatch("a.b.c", "b.c"), 2);
    EXPECT_EQ(DNSTrailingLabelMatch("A.B.C", "a.b.c"), 3);
    EXPECT_EQ(DNSTrailingLabelMatch("c", "c"), 1);
    EXPECT_EQ(DNSTrailingLabelMatch("c", "bc"), 0); // "c" is not a label of "bc"
    EXPECT_EQ(DNSTrailingLabelMatch("ab.c", "b.c"), 1);
    EXPECT_EQ(DNSTrailingLabelMatch("x.com", "y.org"), 0);
    EXPECT_EQ(DNSTrailingLabelMatch("x.com", "y.com"), 1);
    EXPECT_EQ(DNSTrailingLabelMatch("", "com"), 0);
    EXPECT_EQ(DNSTrailingLabelMatch("", ""), 0);
}

TEST(DNSResponse, FuzzSeedsAreValidMessages) {
    namespace fs = std::filesystem;
    fs::path dir = fs::path(CORVAN_SOURCE_DIR) / "fuzz" / "corpus" / "dns_response";
    int seen = 0;
    for (const auto& entry : fs::directory_iterator(dir)) {
        std::ifstream in(entry.path(), std::ios::binary);
        std::string msg((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        std::string name = entry.path().filename().string();
        if (name.rfind("query_", 0) == 0)
            EXPECT_FALSE(DNSParseQuery(msg).Questions.empty()) << name;
        else
            EXPECT_FALSE(DNSParseResponse(msg).Flags.IsQuery) << name;
        ++seen;
    }
    EXPECT_GE(seen, 5);
}
