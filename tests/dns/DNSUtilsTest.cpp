#include "dns/DNSUtils.h"

#include "support/Bytes.h"

#include <gtest/gtest.h>

#include <cstring>

using namespace corvan;
using namespace corvan::test;

namespace {

// Runs f and returns the EdnsError code it raised, or -1 when it raised nothing.
template <class F> int32_t CodeOf(F f) {
    try {
        f();
    } catch (const EdnsError& e) {
        return e.ErrorCode;
    }
    return -1;
}

// A dotted name of exactly total characters, labels of at most 63.
std::string NameOfLength(size_t total) {
    std::string s;
    while (s.size() < total) {
        if (!s.empty())
            s += '.';
        size_t take = std::min<size_t>(63, total - s.size());
        if (total - s.size() - take == 1) // leave room for ".x"
            --take;
        s += std::string(take, char('a' + s.size() % 26));
    }
    return s;
}

std::string WrittenName(std::string_view name) {
    TdnsWriter w(1024);
    DNSWriteName(w, name);
    return w.Data();
}

const std::string Header12 = std::string(12, '\0'); // a message starts after 12 bytes

} // namespace

TEST(DNSErrors, TextsByCodeAndByHundred) {
    EXPECT_EQ(DNSErrorMessage(0), "");
    EXPECT_EQ(DNSErrorMessage(10201), "Invalid buffer");
    EXPECT_EQ(DNSErrorMessage(10308), "RR set does not exist");
    EXPECT_EQ(DNSErrorMessage(10401), "Lookup timed out");
    EXPECT_EQ(DNSErrorMessage(10399), "Server error response (399)");
    EXPECT_EQ(DNSErrorMessage(10250), "Invalid parameter (250)");
    EXPECT_EQ(DNSErrorMessage(10150), "Internal error (150)");
    EXPECT_EQ(DNSErrorMessage(10402), "Lookup error (402)");
    EXPECT_EQ(DNSErrorMessage(10050), "DNS error (50)");
    EXPECT_EQ(DNSErrorMessage(19999), "DNS error (9999)");
    EXPECT_EQ(DNSErrorMessage(20000), "Error 20000");
    EXPECT_EQ(DNSErrorMessage(9999), "Error 9999");
    EXPECT_EQ(DNSErrorMessage(-3), "Error -3");

    EdnsError fromCode(10303);
    EXPECT_STREQ(fromCode.what(), "Name error");
    EXPECT_EQ(fromCode.ErrorCode, 10303);
    EdnsError withText(10401, "Lookup of x failed");
    EXPECT_STREQ(withText.what(), "Lookup of x failed");
    EXPECT_EQ(withText.ErrorCode, 10401);
}

TEST(DNSFlags, EveryCombinationRoundTrips) {
    for (int op = 0; op <= 2; ++op)
        for (int rc = 0; rc <= 15; ++rc)
            for (int bits = 0; bits < 32; ++bits) {
                TdnsFlags f;
                f.OpCode = uint8_t(op);
                f.RCode = uint8_t(rc);
                f.IsQuery = bits & 1;
                f.AA = bits & 2;
                f.TC = bits & 4;
                f.RD = bits & 8;
                f.RA = bits & 16;
                ASSERT_EQ(DNSDecodeFlags(DNSEncodeFlags(f)), f) << op << " " << rc << " " << bits;
            }
    TdnsFlags f;
    f.IsQuery = false;
    f.OpCode = 2;
    f.AA = f.RA = true;
    f.RCode = 3;
    EXPECT_EQ(DNSEncodeFlags(f), 0x8000 | 0x1000 | 0x0400 | 0x0080 | 3);
    EXPECT_EQ(DNSDecodeFlags(0x0170).RD, true); // Z bits (0x0070) are ignored
}

TEST(DNSFlags, BadOpcodeAndResponseCode) {
    TdnsFlags f;
    f.OpCode = 3;
    EXPECT_EQ(CodeOf([&] { DNSEncodeFlags(f); }), dnsErrInvalidParameter);
    f.OpCode = 0;
    f.RCode = 16;
    EXPECT_EQ(CodeOf([&] { DNSEncodeFlags(f); }), dnsErrInvalidParameter);
    for (int op = 3; op <= 15; ++op)
        EXPECT_EQ(CodeOf([&] { DNSDecodeFlags(uint16_t(op << 11)); }), dnsErrInvalidOpcode);
    try {
        DNSDecodeFlags(0x1800);
        FAIL();
    } catch (const EdnsError& e) {
        EXPECT_STREQ(e.what(), "Invalid opcode");
    }
}

TEST(DNSFlags, ResponseFlagsKeepRequestBitsButAAAndRCode) {
    uint16_t request = 0x0100 | 0x0200 | 0x0070 | 0x0400 | 0x0005; // RD TC Z AA rcode 5
    EXPECT_EQ(DNSResponseFlags(request, 3, false), 0x8000 | 0x0100 | 0x0200 | 0x0070 | 3);
    EXPECT_EQ(DNSResponseFlags(0x0100, 0, true), 0x8000 | 0x0400 | 0x0100);
    EXPECT_EQ(CodeOf([] { DNSResponseFlags(0, 16, false); }), dnsErrInvalidParameter);
}

TEST(DNSTypes, QueryTypesAndDisplayNames) {
    const uint16_t numbers[] = {1, 2, 5, 11, 12, 13, 15, 16, 252, 255};
    for (int i = 0; i < 10; ++i) {
        EXPECT_EQ(DNSQueryTypeNumber(TdnsQueryType(i)), numbers[i]);
        EXPECT_EQ(DNSQueryTypeFromNumber(numbers[i]), TdnsQueryType(i));
    }
    EXPECT_EQ(CodeOf([] { DNSQueryTypeNumber(TdnsQueryType(10)); }), dnsErrInvalidParameter);
    // AAAA has a display name but is no query type.
    EXPECT_EQ(DNSTypeName(28), "AAAA");
    try {
        DNSQueryTypeFromNumber(28);
        FAIL();
    } catch (const EdnsError& e) {
        EXPECT_EQ(e.ErrorCode, 10200);
        EXPECT_STREQ(e.what(), "Invalid parameter");
    }
    EXPECT_EQ(CodeOf([] { DNSQueryTypeFromNumber(33); }), dnsErrInvalidParameter);

    EXPECT_EQ(DNSTypeName(0), "");
    EXPECT_EQ(DNSTypeName(1), "A");
    EXPECT_EQ(DNSTypeName(23), "NSAPPTR");
    EXPECT_EQ(DNSTypeName(30), "NXT");
    EXPECT_EQ(DNSTypeName(31), "R001F");
    EXPECT_EQ(DNSTypeName(33), "SRV");
    EXPECT_EQ(DNSTypeName(34), "R0022");
    EXPECT_EQ(DNSTypeName(36), "KX");
    EXPECT_EQ(DNSTypeName(37), "R0025");
    EXPECT_EQ(DNSTypeName(252), "AXFR");
    EXPECT_EQ(DNSTypeName(253), "MAILB");
    EXPECT_EQ(DNSTypeName(255), "ALL");
    EXPECT_EQ(DNSTypeName(256), "R0100");
    EXPECT_EQ(DNSTypeName(0xABCD), "RABCD");
}

TEST(DNSNameWriting, LabelsAndRoot) {
    EXPECT_EQ(WrittenName("www.Example.com"),
              Bytes({3, 'w', 'w', 'w', 7, 'E', 'x', 'a', 'm', 'p', 'l', 'e', 3, 'c', 'o', 'm', 0}));
    EXPECT_EQ(WrittenName("www.example.com."), WrittenName("www.example.com"));
    EXPECT_EQ(WrittenName(""), Bytes({0}));
    EXPECT_EQ(WrittenName("."), Bytes({0}));
}

TEST(DNSNameWriting, LabelAndNameLimits) {
    EXPECT_EQ(WrittenName(std::string(63, 'x') + ".com").size(), 1 + 63 + 1 + 3 + 1u);
    try {
        WrittenName(std::string(64, 'x') + ".com");
        FAIL();
    } catch (const EdnsError& e) {
        EXPECT_EQ(e.ErrorCode, 10204);
        EXPECT_STREQ(e.what(), "Domain label too long");
    }
    std::string n255 = NameOfLength(255), n256 = NameOfLength(256);
    ASSERT_EQ(n255.size(), 255u);
    ASSERT_EQ(n256.size(), 256u);
    std::string wire = WrittenName(n255);
    EXPECT_EQ(wire.size(), 257u);
    std::string back;
    EXPECT_EQ(DNSReadName(wire, 0, back), 257u);
    EXPECT_EQ(back, n255);
    EXPECT_EQ(WrittenName(n255 + "."), wire);
    try {
        WrittenName(n256);
        FAIL();
    } catch (const EdnsError& e) {
        EXPECT_EQ(e.ErrorCode, 10203);
        EXPECT_STREQ(e.what(), "Domain name too long");
    }
}

TEST(DNSNameWriting, RefusedNamesAndOverflowLeaveNothingBehind) {
    TdnsWriter w(12);
    w.PutWord(7);
    // An empty label would write a 0 byte that ends the name early.
    EXPECT_EQ(CodeOf([&] { DNSWriteName(w, "a..b"); }), dnsErrInvalidParameter);
    EXPECT_EQ(CodeOf([&] { DNSWriteName(w, ".a"); }), dnsErrInvalidParameter);
    EXPECT_EQ(CodeOf([&] { DNSWriteName(w, "abcdefgh.ij"); }), dnsErrBufferOverflow);
    EXPECT_EQ(w.Size(), 2u);
    DNSWriteName(w, "abcdefgh"); // exactly fills the 12 bytes
    EXPECT_EQ(w.Size(), 12u);
    EXPECT_EQ(CodeOf([&] { w.PutByte(0); }), dnsErrBufferOverflow);
    EXPECT_EQ(CodeOf([&] { DNSWriteARecord(w, "", 60, 0); }), dnsErrBufferOverflow);
    EXPECT_EQ(w.Size(), 12u);
}

TEST(DNSNameWriting, CompressedNamesPointOnlyAtCopiesStillWrittenWithTheSameCase) {
    TdnsWriter w(512);
    w.EnableCompression();
    DNSWriteName(w, "www.example.com"); // "example.com" at offset 4
    DNSWriteName(w, "mail.example.com");
    DNSWriteName(w, "mail.EXAMPLE.com"); // only "com" matches byte for byte
    EXPECT_EQ(w.Data().substr(17), Bytes({4, 'm', 'a', 'i', 'l', 0xC0, 4}) +
                                       Labels("mail.EXAMPLE", false) + Pointer(12));
    size_t mark = w.Size();
    DNSWriteName(w, "x.other.org");
    w.Truncate(mark); // a record given up: its names are no target any more
    DNSWriteName(w, "y.other.org");
    EXPECT_EQ(w.Data().substr(mark), Labels("y.other.org"));
}

TEST(DNSNameReading, FollowsBackwardPointers) {
    // 12: "example.com", 25: "www" -> 12, 31: "mail" -> 25
    std::string msg = Header12 + Labels("Example.COM") + Labels("www", false) + Pointer(12) +
                      Labels("mail", false) + Pointer(25);
    std::string name;
    EXPECT_EQ(DNSReadName(msg, 12, name), 13u);
    EXPECT_EQ(name, "Example.COM");
    EXPECT_EQ(DNSReadName(msg, 25, name), 6u); // 3 www + 2-byte pointer
    EXPECT_EQ(name, "www.Example.COM");
    EXPECT_EQ(DNSReadName(msg, 31, name), 7u);
    EXPECT_EQ(name, "mail.www.Example.COM");
    EXPECT_EQ(DNSSkipName(msg, 12), 13u);
    EXPECT_EQ(DNSSkipName(msg, 25), 6u);
    // A pointer straight at the start of the name.
    std::string bare = msg + Pointer(31);
    EXPECT_EQ(DNSReadName(bare, msg.size(), name), 2u);
    EXPECT_EQ(name, "mail.www.Example.COM");
}

TEST(DNSNameReading, RejectsPointerLoopsAndBadTargets) {
    std::string name = "unchanged";
    auto read = [&](const std::string& msg, size_t pos) {
        return CodeOf([&] { DNSReadName(msg, pos, name); });
    };
    // A pointer to exactly the message size.
    std::string toEnd = Header12 + Labels("a", false) + Pointer(0);
    toEnd = toEnd.substr(0, 14) + Pointer(uint16_t(toEnd.size()));
    EXPECT_EQ(read(toEnd, 12), dnsErrInvalidBuffer);
    // A pointer that points at itself.
    EXPECT_EQ(read(Header12 + Pointer(12), 12), dnsErrInvalidBuffer);
    // Two pointers that point at each other: 12 -> 14, 14 -> 12.
    std::string loop = Header12 + Pointer(14) + Pointer(12);
    EXPECT_EQ(read(loop, 12), dnsErrInvalidBuffer);
    EXPECT_EQ(read(loop, 14), dnsErrInvalidBuffer);
    // A loop through labels: 12 "a" -> 12 (the pointer lies after the label it targets).
    EXPECT_EQ(read(Header12 + Labels("a", false) + Pointer(12), 12), dnsErrInvalidBuffer);
    // A pointer that goes back, then one that goes forward again to a loop.
    std::string zigzag = Header12 + Labels("a", false) + Pointer(16) + Labels("b", false) +
                         Pointer(12); // 12: a -> 16, 16: b -> 12
    EXPECT_EQ(read(zigzag, 16), dnsErrInvalidBuffer);
    // Forward pointers.
    EXPECT_EQ(read(Header12 + Pointer(14) + Labels("x"), 12), dnsErrInvalidBuffer);
    EXPECT_EQ(name, "unchanged");
}

TEST(DNSNameReading, RejectsShortAndOverlongNames) {
    std::string name;
    auto read = [&](const std::string& msg, size_t pos) {
        return CodeOf([&] { DNSReadName(msg, pos, name); });
    };
    EXPECT_EQ(read(Header12, 12), dnsErrInvalidBuffer);                        // nothing there
    EXPECT_EQ(read(Header12 + Bytes({3, 'a', 'b'}), 12), dnsErrInvalidBuffer); // label cut
    EXPECT_EQ(read(Header12 + Bytes({1, 'a'}), 12), dnsErrInvalidBuffer);      // no terminator
    EXPECT_EQ(read(Header12 + Bytes({0xC0}), 12), dnsErrInvalidBuffer);        // half a pointer
    EXPECT_EQ(read(Header12, 100), dnsErrInvalidBuffer);
    EXPECT_EQ(CodeOf([&] { DNSSkipName(Header12 + Bytes({0xC0}), 12); }), dnsErrInvalidBuffer);
    EXPECT_EQ(CodeOf([&] { DNSSkipName(Header12 + Bytes({2, 'a'}), 12); }), dnsErrInvalidBuffer);

    // Chained pointers may build at most 255 characters.
    std::string msg = Header12;
    std::vector<uint16_t> at;
    for (char c : std::string("abcde")) {
        at.push_back(uint16_t(msg.size()));
        msg += Labels(std::string(c == 'e' ? 1 : 63, c), at.size() == 1);
        if (at.size() > 1)
            msg += Pointer(at[at.size() - 2]);
    }
    EXPECT_EQ(DNSReadName(msg, at[3], name), 66u);
    EXPECT_EQ(name.size(), 255u);                     // d.c.b.a
    EXPECT_EQ(read(msg, at[4]), dnsErrInvalidBuffer); // e + 255 more
}

TEST(DNSQuestions, WriteReadSkip) {
    TdnsWriter w(64);
    w.PutBytes(Header12);
    DNSWriteQuestion(w, "Example.com.", TdnsQueryType::MX);
    EXPECT_EQ(w.Data(), Header12 + Labels("Example.com") + Word(15) + Word(1));
    TdnsQuestion q;
    EXPECT_EQ(DNSReadQuestion(w.Data(), 12, q), 17u);
    EXPECT_EQ(q.Name, "Example.com");
    EXPECT_EQ(q.QType, TdnsQueryType::MX);
    EXPECT_EQ(q.QClass, 1);
    EXPECT_EQ(DNSSkipQuestion(w.Data(), 12), 17u);

    std::string aaaa = Header12 + Labels("x") + Word(28) + Word(1);
    EXPECT_EQ(CodeOf([&] { DNSReadQuestion(aaaa, 12, q); }), dnsErrInvalidParameter);
    EXPECT_EQ(DNSSkipQuestion(aaaa, 12), 7u);
    std::string cut = w.Data().substr(0, w.Size() - 1);
    EXPECT_EQ(CodeOf([&] { DNSSkipQuestion(cut, 12); }), dnsErrInvalidBuffer);
    EXPECT_EQ(CodeOf([&] { DNSReadQuestion(cut, 12, q); }), dnsErrInvalidBuffer);
}

TEST(DNSHeaders, QueryAndResponseHeaderBytes) {
    TdnsWriter w(12);
    DNSWriteQueryHeader(w, 0x1234, 2, true);
    EXPECT_EQ(w.Data(), Bytes({0x12, 0x34, // ID
                               0x11, 0x00, // QR 0, opcode 2, RD
                               0, 1,       // QDCOUNT
                               0, 0, 0, 0, 0, 0}));
    TdnsHeader counts;
    counts.QDCount = 5; // never written: the question is not repeated
    counts.ANCount = 2;
    counts.NSCount = 0x0102;
    counts.ARCount = 3;
    TdnsWriter r(12);
    DNSWriteResponseHeader(r, 0xFFFE, 0x0100, counts);
    EXPECT_EQ(r.Data(), Bytes({0xFF, 0xFE, // ID
                               0x81, 0x00, // QR forced on, RD kept
                               0, 0,       // QDCOUNT 0
                               0, 2, 1, 2, 0, 3}));
    TdnsHeader h = DNSReadHeader(r.Data());
    EXPECT_EQ(h.ID, 0xFFFE);
    EXPECT_EQ(h.Flags, 0x8100);
    EXPECT_EQ(h.QDCount, 0);
    EXPECT_EQ(h.NSCount, 0x0102);
    EXPECT_EQ(h.ARCount, 3);
    EXPECT_EQ(CodeOf([&] { DNSReadHeader(r.Data().substr(0, 11)); }), dnsErrInvalidBuffer);
    EXPECT_EQ(CodeOf([] {
                  TdnsWriter x(12);
                  DNSWriteQueryHeader(x, 1, 3, false);
              }),
              dnsErrInvalidParameter);
}

TEST(DNSRecordWriting, ARecordAndNameRecordsWithPatchedLength) {
    TdnsWriter w(512);
    uint32_t address;
    std::memcpy(&address, "\x0A\x01\x02\x03", 4); // 10.1.2.3 in network order
    DNSWriteARecord(w, "host.lan", 60, address);
    DNSWriteCNAMERecord(w, "alias.lan", 0x01020304, "host.lan");
    DNSWriteNSRecord(w, "lan", 60, "ns.lan.");
    EXPECT_EQ(w.Data(), Labels("host.lan") + Word(1) + Word(1) + Long(60) + Word(4) +
                            Bytes({10, 1, 2, 3}) + // A
                            Labels("alias.lan") + Word(5) + Word(1) + Long(0x01020304) + Word(10) +
                            Labels("host.lan") + // CNAME
                            Labels("lan") + Word(2) + Word(1) + Long(60) + Word(8) +
                            Labels("ns.lan")); // NS
    // Each record parses back with its data where the length says.
    std::string msg = Header12 + w.Data();
    TdnsRRHeader rr;
    size_t pos = 12;
    pos += DNSReadRRHeader(msg, pos, rr);
    EXPECT_EQ(rr.Name, "host.lan");
    EXPECT_EQ(rr.Data, Bytes({10, 1, 2, 3}));
    pos += DNSReadRRHeader(msg, pos, rr);
    EXPECT_EQ(rr.RType, 5);
    EXPECT_EQ(rr.TTL, 0x01020304u);
    std::string target;
    DNSReadName(msg, rr.DataOffset, target);
    EXPECT_EQ(target, "host.lan");
    pos += DNSReadRRHeader(msg, pos, rr);
    EXPECT_EQ(pos, msg.size());

    // A target name that does not fit leaves no half record behind.
    TdnsWriter small(30);
    EXPECT_EQ(CodeOf([&] { DNSWriteNSRecord(small, "lan", 60, "a-long-name-server.lan"); }),
              dnsErrBufferOverflow);
    EXPECT_EQ(small.Size(), 0u);
}

TEST(DNSRecordReading, HeaderAndStringBounds) {
    std::string rec =
        Labels("x") + Word(16) + Word(1) + Long(7) + Word(4) + Bytes({3, 'a', 'b', 'c'});
    std::string msg = Header12 + rec;
    TdnsRRHeader rr;
    EXPECT_EQ(DNSReadRRHeader(msg, 12, rr), rec.size());
    EXPECT_EQ(rr.DataOffset, 12 + 3 + 10u);
    std::string text;
    EXPECT_EQ(DNSReadCharString(msg, rr.DataOffset, text), 4u);
    EXPECT_EQ(text, "abc");
    for (size_t n = 12; n < msg.size(); ++n)
        ASSERT_EQ(CodeOf([&] { DNSReadRRHeader(msg.substr(0, n), 12, rr); }), dnsErrInvalidBuffer)
            << n;
    EXPECT_EQ(CodeOf([&] { DNSReadCharString(Bytes({4, 'a'}), 0, text); }), dnsErrInvalidBuffer);

    TdnsWriter w(300);
    DNSWriteCharString(w, std::string(255, 'z'));
    EXPECT_EQ(w.Size(), 256u);
    EXPECT_EQ(CodeOf([&] { DNSWriteCharString(w, std::string(256, 'z')); }), dnsErrStringTooLong);
}

TEST(DNSQueries, BuildAndParseQuery) {
    std::string q = DNSBuildQuery(0xABCD, "Mail.example.org", TdnsQueryType::MX, true);
    EXPECT_EQ(q, Bytes({0xAB, 0xCD, 0x01, 0x00, 0, 1, 0, 0, 0, 0, 0, 0}) +
                     Labels("Mail.example.org") + Word(15) + Word(1));
    TdnsQueryMessage m = DNSParseQuery(q);
    EXPECT_EQ(m.Header.ID, 0xABCD);
    EXPECT_TRUE(m.Flags.IsQuery);
    EXPECT_TRUE(m.Flags.RD);
    ASSERT_EQ(m.Questions.size(), 1u);
    EXPECT_EQ(m.Questions[0].Name, "Mail.example.org");
    EXPECT_EQ(m.Questions[0].QType, TdnsQueryType::MX);
    EXPECT_EQ(DNSBuildQuery(1, "x", TdnsQueryType::ALL, false).substr(2, 2), Bytes({0, 0}));

    // Two questions, the second compressed.
    std::string two = Bytes({0, 7, 0, 0, 0, 2, 0, 0, 0, 0, 0, 0}) + Labels("a.b") + Word(1) +
                      Word(1) + Labels("c", false) + Pointer(12) + Word(2) + Word(1);
    m = DNSParseQuery(two);
    ASSERT_EQ(m.Questions.size(), 2u);
    EXPECT_EQ(m.Questions[1].Name, "c.a.b");
    EXPECT_EQ(m.Questions[1].QType, TdnsQueryType::NS);
    for (size_t n = 0; n < two.size(); ++n)
        ASSERT_EQ(CodeOf([&] { DNSParseQuery(two.substr(0, n)); }), dnsErrInvalidBuffer) << n;

    std::string aaaa = DNSBuildQuery(2, "x", TdnsQueryType::A, true);
    aaaa[aaaa.size() - 3] = 28;
    EXPECT_EQ(CodeOf([&] { DNSParseQuery(aaaa); }), dnsErrInvalidParameter);
    std::string badOp = q;
    badOp[2] = char(0x18); // opcode 3
    EXPECT_EQ(CodeOf([&] { DNSParseQuery(badOp); }), dnsErrInvalidOpcode);
}
