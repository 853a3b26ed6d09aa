// The server's query parser and the answer builder, on byte arrays.
#include "dns/DNSServer.h"
#include "dns/DNSRecords.h"

#include "support/Bytes.h"

#include <gtest/gtest.h>

using namespace corvan;

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
    std::string r = DNSBuildResponse(q.Header, q.Questions[0], 0,
                                     {{"a.b", dnsTypeA, address}}, {{"a.b", dnsTypeNS, "ns.b"}});
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

TEST(DNSServerResponse, RecordsBeyondTheBufferSetTruncatedAndBadQuestionsGetFormatError) {
    TdnsServerQuery q = DNSParseServerQuery(kQuery);
    std::vector<TdnsAnswerRecord> many(400, {"a.b", dnsTypeA, std::string("\x01\x02\x03\x04", 4)});
    std::string r = DNSBuildResponse(q.Header, q.Questions[0], 0, many);
    EXPECT_LE(r.size(), kDNSResponseBufferSize);
    TdnsHeader h = DNSReadHeader(r);
    EXPECT_TRUE(DNSDecodeFlags(h.Flags).TC);
    EXPECT_GT(h.ANCount, 0);
    EXPECT_LT(h.ANCount, 400);
    EXPECT_EQ(DNSParseResponse(r).Answers.size(), h.ANCount);
    // A label holding a dot (read from the wire) cannot be written back as the same name.
    std::string dotted = kQuery.substr(0, 12) + std::string("\x02" "x." "\x00" "\x00\x01\x00\x01", 8);
    TdnsServerQuery d = DNSParseServerQuery(dotted);
    ASSERT_EQ(d.Questions.at(0).Name, "x.");
    for (const std::string& name : {std::string("x."), std::string("a..b")}) {
        std::string f = DNSBuildResponse(q.Header, {name, dnsTypeA, dnsClassIN}, 0);
        ASSERT_EQ(f.size(), 12u) << name;
        EXPECT_EQ(DNSDecodeFlags(DNSReadHeader(f).Flags).RCode, 1);
    }
    EXPECT_TRUE(DNSNameWritable("a.b"));
}
