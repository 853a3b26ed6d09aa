// The server's query parser and the answer builder, on byte arrays.
#include "dns/DNSServer.h"
#include "dns/DNSRecords.h"

#include "support/Bytes.h"

#include <gtest/gtest.h>

using namespace corvan;
using namespace corvan::test;

namespace {

// ID 0xBEEF, RD, one question "a.b" type 28 (AAAA) class 1.
const std::string kQuery = std::string("\xBE\xEF" // ID
                                       "\x01\x00" // flags: RD
                                       "\x00\x01" // QDCOUNT 1
                                       "\x00\x00\x00\x00\x00\x00", // AN, NS, AR 0
                                       12) +
                           std::string("\x01" "a" "\x01" "b" "\x00", 5) + // QNAME a.b
                           std::string("\x00\x1C" "\x00\x01", 4);          // QTYPE 28, QCLASS 1

} // namespace

TEST(DNSServerQuery, ParsesAnyTypeAndRefusesEveryTruncationAndResponses) {
    TdnsServerQuery q = DNSParseServerQuery(kQuery);
    EXPECT_EQ(q.Header.ID, 0xBEEF);
    ASSERT_EQ(q.Questions.size(), 1u);
    EXPECT_EQ(q.Questions[0].Name, "a.b");
    EXPECT_EQ(q.Questions[0].QType, dnsTypeAAAA);
    for (size_t len = 0; len < kQuery.size(); ++len)
        EXPECT_THROW(DNSParseServerQuery(kQuery.substr(0, len)), EdnsError) << len;
    std::string response = kQuery;
    response[2] = char(0x81); // QR set
    EXPECT_THROW(DNSParseServerQuery(response), EdnsError);
    std::string manyClaimed = kQuery;
    manyClaimed[5] = char(0xFF); // QDCOUNT 255 with one question present
    EXPECT_THROW(DNSParseServerQuery(manyClaimed), EdnsError);
}

TEST(DNSServerResponse, RepeatsTheQuestionAndCountsTheRecords) {
    TdnsServerQuery q = DNSParseServerQuery(kQuery);
    std::string address("\x0A\x00\x00\x01", 4);
    std::string r = DNSBuildResponse(q.Header, q.Questions[0], 0, {{"a.b", dnsTypeA, address}},
                                     {{"a.b", dnsTypeNS, DNSNameWire("ns.b")}});
    EXPECT_EQ(r.substr(0, 12), std::string("\xBE\xEF"   // ID
                                           "\x81\x80"   // QR, RD kept, RA, RCODE 0
                                           "\x00\x01"   // the question repeated
                                           "\x00\x01"   // one answer
                                           "\x00\x01"   // one authority record
                                           "\x00\x00",  // no additional records
                                           12));
    EXPECT_EQ(r.substr(12, 9), kQuery.substr(12, 9)); // name, type, class as asked
    TdnsResponse parsed = DNSParseResponse(r);
    EXPECT_EQ(DNSAddresses(parsed.Answers, "a.b"), TIP4AddrArray{0x0100000A});
    EXPECT_EQ(DNSNameServers(parsed.Authority, "a.b"), std::vector<std::string>{"ns.b"});
    // A query with AD, Z, TC and CD set (dig sets AD): nothing here checked signatures, so the
    // answer must not claim it; CD is given back.
    TdnsHeader asked = q.Header;
    asked.Flags = 0x0100 | 0x0020 | 0x0040 | 0x0200 | 0x0010;
    std::string plain = DNSBuildResponse(asked, q.Questions[0], 3);
    EXPECT_EQ(DNSReadHeader(plain).Flags, 0x8000 | 0x0100 | 0x0080 | 0x0010 | 3);
}

TEST(DNSServerResponse, AnswersStayWithin512BytesOrTheStatedEDNSSizeCutAtARecord) {
    TdnsServerQuery q = DNSParseServerQuery(kQuery);
    EXPECT_EQ(q.EDNSPayload, 0);
    // 60 A records of "a.b": 16 bytes each with the owner as a pointer to the question.
    std::vector<TdnsAnswerRecord> many(60, {"a.b", dnsTypeA, std::string("\x01\x02\x03\x04", 4)});
    std::string plain = DNSBuildResponse(q.Header, q.Questions[0], 0, many);
    EXPECT_LE(plain.size(), kDNSPlainUDPSize);
    TdnsHeader h = DNSReadHeader(plain);
    EXPECT_TRUE(DNSDecodeFlags(h.Flags).TC);
    EXPECT_EQ(h.ANCount, (kDNSPlainUDPSize - 21) / 16); // whole records only
    EXPECT_EQ(plain.substr(21, 2), Pointer(12));        // the owner points at the question
    EXPECT_EQ(DNSParseResponse(plain).Answers.size(), h.ANCount);

    // The same query with an OPT record stating 1232 bytes: everything fits, and the answer
    // ends in an OPT record of its own.
    std::string edns = kQuery;
    edns[11] = 1; // ARCOUNT
    edns += Bytes({0}) + Word(dnsTypeOPT) + Word(1232) + Long(0) + Word(0);
    TdnsServerQuery e = DNSParseServerQuery(edns);
    EXPECT_EQ(e.EDNSPayload, 1232);
    std::string big = DNSBuildResponse(e.Header, e.Questions[0], 0, many, {}, e.EDNSPayload);
    TdnsResponse parsed = DNSParseResponse(big);
    EXPECT_FALSE(parsed.Flags.TC);
    EXPECT_EQ(parsed.Answers.size(), 60u);
    ASSERT_EQ(parsed.Additional.size(), 1u);
    EXPECT_EQ(parsed.Additional[0]->Header.RType, dnsTypeOPT);
    EXPECT_EQ(parsed.Additional[0]->Header.RClass, kDNSMaxUDPPayload);
    // A stated size below 512 counts as 512; one above the bound is held to it.
    std::vector<TdnsAnswerRecord> more(400, many[0]);
    EXPECT_LE(DNSBuildResponse(e.Header, e.Questions[0], 0, more, {}, 100).size(),
              kDNSPlainUDPSize);
    std::string bounded = DNSBuildResponse(e.Header, e.Questions[0], 0, more, {}, 65535);
    EXPECT_LE(bounded.size(), kDNSMaxUDPPayload);
    EXPECT_GT(bounded.size(), kDNSMaxUDPPayload - 16 - 11);
    EXPECT_TRUE(DNSParseResponse(bounded).Flags.TC);
}

TEST(DNSServerResponse, PassedOnRecordsKeepTypeClassTTLAndDataWithNamesExpanded) {
    // Up-stream answers with names compressed: MX (RFC 1035) and SRV (later type) pointing
    // at the question, TXT, and a record of class 3 (CH) with an unknown type.
    std::string up = Bytes({0, 1, 0x81, 0x80}) + Word(1) + Word(4) + Word(0) + Word(0) +
                     Labels("example.com") + Word(dnsTypeMX) + Word(1);
    auto rr = [](uint16_t type, uint16_t rclass, uint32_t ttl, const std::string& rdata) {
        return Pointer(12) + Word(type) + Word(rclass) + Long(ttl) + Word(uint16_t(rdata.size())) +
               rdata;
    };
    up += rr(dnsTypeMX, 1, 300, Word(10) + Labels("mail", false) + Pointer(12));
    up += rr(33, 1, 7, Word(0) + Word(5) + Word(5060) + Labels("sip", false) + Pointer(12));
    up += rr(dnsTypeTXT, 1, 0, Bytes({5, 'h', 'e', 'l', 'l', 'o'}));
    up += rr(999, 3, 86400, Bytes({0xC0, 0x0C, 1}));
    TdnsResponse r = DNSParseResponse(up);
    std::vector<TdnsAnswerRecord> passed;
    for (const auto& record : r.Answers)
        passed.push_back(DNSPassedRecord(*record));
    EXPECT_EQ(passed[1].Data, Word(0) + Word(5) + Word(5060) + Labels("sip.example.com"));

    TdnsRawQuestion question{"example.com", dnsTypeMX, dnsClassIN};
    std::string out = DNSBuildResponse(DNSReadHeader(up), question, 0, passed);
    TdnsResponse back = DNSParseResponse(out);
    ASSERT_EQ(back.Answers.size(), 4u);
    for (size_t i = 0; i < 4; ++i) {
        const TdnsRRHeader& a = back.Answers[i]->Header;
        const TdnsRRHeader& b = r.Answers[i]->Header;
        EXPECT_EQ(a.Name, b.Name) << i;
        EXPECT_EQ(a.RType, b.RType) << i;
        EXPECT_EQ(a.RClass, b.RClass) << i;
        EXPECT_EQ(a.TTL, b.TTL) << i;
        EXPECT_EQ(back.Answers[i]->ExpandedData(), passed[i].Data) << i;
    }
    EXPECT_EQ(DNSExchangeNames(back.Answers, "example.com"),
              std::vector<std::string>{"mail.example.com"});
    // The SRV target is written whole (its readers need not follow pointers), the unknown
    // type's bytes exactly as received.
    EXPECT_NE(out.find(Labels("sip.example.com")), std::string::npos);
    EXPECT_EQ(back.Answers[3]->Header.Data, Bytes({0xC0, 0x0C, 1}));
}

TEST(DNSServerQuery, ALabelHoldingADotIsAFormatErrorNotAnotherName) {
    // "a.b" as one label, then "test": as text it would be the three labels a, b, test.
    std::string dotted = kQuery.substr(0, 12) + Bytes({3, 'a', '.', 'b'}) + Labels("test") +
                         Word(dnsTypeA) + Word(1);
    TdnsServerQuery d = DNSParseServerQuery(dotted);
    EXPECT_TRUE(d.FormatError);
    EXPECT_TRUE(d.Questions.empty());
    std::string name;
    try {
        DNSReadName(dotted, 12, name);
        ADD_FAILURE() << "read as " << name;
    } catch (const EdnsError& e) {
        EXPECT_EQ(e.ErrorCode, dnsErrDottedLabel);
    }
    std::string f = DNSBuildFormatError(d.Header);
    ASSERT_EQ(f.size(), 12u);
    EXPECT_EQ(f.substr(0, 2), kQuery.substr(0, 2));
    EXPECT_EQ(DNSDecodeFlags(DNSReadHeader(f).Flags).RCode, kDNSRcodeFormatError);
    // Names the text form cannot hold are refused when answering too.
    for (const std::string& bad : {std::string("x."), std::string("a..b")}) {
        std::string b = DNSBuildResponse(d.Header, {bad, dnsTypeA, dnsClassIN}, 0);
        EXPECT_EQ(b, f) << bad;
    }
    EXPECT_TRUE(DNSNameWritable("a.b"));
    // The bounds of a name that writes and reads back the same: the root as "", labels of 1
    // to 63, 255 characters.
    EXPECT_TRUE(DNSNameWritable(""));
    EXPECT_FALSE(DNSNameWritable("."));
    EXPECT_TRUE(DNSNameWritable(std::string(63, 'a') + ".b"));
    EXPECT_FALSE(DNSNameWritable(std::string(64, 'a') + ".b"));
    std::string long253 = std::string(63, 'a') + "." + std::string(63, 'b') + "." +
                          std::string(63, 'c') + "." + std::string(61, 'd');
    EXPECT_TRUE(DNSNameWritable(long253 + ".e"));
    EXPECT_FALSE(DNSNameWritable(long253 + ".ef"));
}
