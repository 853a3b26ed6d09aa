#include "net/Socks.h"

#include "support/SocksPackets.h"

#include <gtest/gtest.h>

#include <vector>

using namespace corvan;
using namespace corvan::test;

namespace {

// The outbound socket's side of the link: a read buffer that arriving bytes are appended to,
// fed to the negotiator, with consumed bytes removed and requested bytes "written".
struct TLink {
    TSocks5Negotiator Negotiator;
    std::string Greeting;
    std::string Buffer;
    std::string Sent;
    size_t Consumed = 0;

    TLink(bool useAuth, TSocksDestination destination, std::string user = "user",
          std::string password = "secret")
        : Negotiator(useAuth, std::move(user), std::move(password), std::move(destination)) {
        Greeting = Negotiator.Start();
    }

    TSocks5Progress Arrive(std::string_view bytes) {
        Buffer += bytes;
        TSocks5Progress p = Negotiator.Process(Buffer);
        EXPECT_LE(p.Consumed, Buffer.size());
        Buffer.erase(0, p.Consumed);
        Consumed += p.Consumed;
        Sent += p.Send;
        return p;
    }
};

TSocksDestination ByAddress() {
    return {IPv4(93, 184, 216, 34), "", 80};
}
TSocksDestination ByName() {
    return {0, "example.com", 443};
}

const std::string kAuthOk = Bytes({0x01, 0x00}); // VER, STATUS success
const std::string kReplyIPv4 = Bytes({
    0x05, 0x00, 0x00, 0x01, // VER, REP succeeded, RSV, ATYP IPv4
    192, 168, 1, 1,         // BND.ADDR
    0x04, 0x38,             // BND.PORT 1080
});
const std::string kReplyDomain = Bytes({0x05, 0x00, 0x00, 0x03, 9})   // head, name length 9
                                 + "proxy.lan" + Bytes({0x04, 0x38}); // BND.ADDR, BND.PORT
const std::string kReplyIPv6 = Bytes({0x05, 0x00, 0x00, 0x04})        // VER, REP, RSV, ATYP IPv6
                               + std::string(16, '\x01')              // BND.ADDR
                               + Bytes({0x04, 0x38});                 // BND.PORT

struct TScenario {
    const char* Name;
    bool UseAuth;
    TSocksDestination Destination;
    std::string ServerBytes; // every reply the proxy sends, in order
    std::string ClientBytes; // what the link must send after the greeting
};

std::vector<TScenario> Scenarios() {
    return {
        {"no auth, reply type 1", false, ByAddress(), kPacketMethodNone + kReplyIPv4,
         kPacketConnectByAddress},
        {"auth, request by name, reply type 3", true, ByName(),
         kPacketMethodUserPass + kAuthOk + kReplyDomain, kPacketLogin + kPacketConnectByName},
        {"no auth, reply type 4", false, ByName(), kPacketMethodNone + kReplyIPv6,
         kPacketConnectByName},
    };
}

} // namespace

TEST(Socks5Packets, GreetingOffersExactlyOneMethod) {
    EXPECT_EQ(Socks5Greeting(false), Bytes({0x05, 0x01, 0x00})); // VER, NMETHODS, none
    EXPECT_EQ(Socks5Greeting(true), Bytes({0x05, 0x01, 0x02}));  // VER, NMETHODS, user/pass
}

TEST(Socks5Packets, AuthRequestFieldsAreLengthPrefixedUpTo255Bytes) {
    EXPECT_EQ(Socks5AuthRequest("user", "secret"), kPacketLogin);
    EXPECT_EQ(Socks5AuthRequest("", ""), Bytes({0x01, 0, 0})); // VER, ULEN 0, PLEN 0
    std::string longest(255, 'u');
    EXPECT_EQ(Socks5AuthRequest(longest, "p"), Bytes({0x01, 255}) + longest + Bytes({1}) + "p");

    try {
        Socks5AuthRequest(std::string(256, 'u'), "p");
        FAIL() << "no exception";
    } catch (const ESocks& e) {
        EXPECT_EQ(e.Message(), "Username too long for use with SOCKS");
    }
    try {
        Socks5AuthRequest("u", std::string(256, 'p'));
        FAIL() << "no exception";
    } catch (const ESocks& e) {
        EXPECT_EQ(e.Message(), "Password too long for use with SOCKS");
    }
}

TEST(Socks5Packets, ConnectRequestByAddressOrName) {
    EXPECT_EQ(Socks5ConnectRequest(ByAddress()), kPacketConnectByAddress);
    EXPECT_EQ(Socks5ConnectRequest(ByAddress()).size(), 10u);
    EXPECT_EQ(Socks5ConnectRequest(ByName()), kPacketConnectByName);
    // An IPv6 literal, bracketed or not, as address type 4.
    for (std::string host : {"2001:db8::1", "[2001:db8::1]"})
        EXPECT_EQ(Socks5ConnectRequest({0, host, 80}),
                  Bytes({0x05, 0x01, 0x00, 0x04, 0x20, 0x01, 0x0d, 0xb8}) + std::string(11, '\0') +
                      Bytes({0x01, 0x00, 0x50}))
            << host;

    std::string longest(255, 'n');
    EXPECT_EQ(Socks5ConnectRequest({0, longest, 1}),
              Bytes({0x05, 0x01, 0x00, 0x03, 255}) + longest + Bytes({0x00, 0x01}));
    try {
        Socks5ConnectRequest({0, std::string(256, 'n'), 1});
        FAIL() << "no exception";
    } catch (const ESocks& e) {
        EXPECT_EQ(e.Message(), "Domain name too long for use with SOCKS");
    }
}

// Truncation at every length: a prefix never completes or fails, and the rest then completes.
TEST(Socks5Negotiator, EveryPrefixNeedsMoreAndNeverMisreads) {
    for (const TScenario& s : Scenarios()) {
        for (size_t k = 0; k < s.ServerBytes.size(); ++k) {
            SCOPED_TRACE(std::string(s.Name) + ", prefix " + std::to_string(k));
            TLink link(s.UseAuth, s.Destination);
            EXPECT_EQ(link.Greeting, Socks5Greeting(s.UseAuth));
            TSocks5Progress p = link.Arrive(s.ServerBytes.substr(0, k));
            ASSERT_EQ(p.Outcome, TSocks5Progress::NeedMore);
            EXPECT_GT(p.Needed, link.Buffer.size());
            EXPECT_LE(link.Consumed, k);
            p = link.Arrive(s.ServerBytes.substr(k));
            ASSERT_EQ(p.Outcome, TSocks5Progress::Complete);
            EXPECT_EQ(link.Sent, s.ClientBytes);
            EXPECT_EQ(link.Consumed, s.ServerBytes.size());
            EXPECT_EQ(link.Negotiator.Phase(), TSocks5Phase::Done);
        }
    }
}

TEST(Socks5Negotiator, ByteByByteArrivalCompletesOnTheLastByte) {
    for (const TScenario& s : Scenarios()) {
        SCOPED_TRACE(s.Name);
        TLink link(s.UseAuth, s.Destination);
        for (size_t i = 0; i < s.ServerBytes.size(); ++i) {
            TSocks5Progress p = link.Arrive(s.ServerBytes.substr(i, 1));
            ASSERT_EQ(p.Outcome, i + 1 == s.ServerBytes.size() ? TSocks5Progress::Complete
                                                               : TSocks5Progress::NeedMore);
        }
        EXPECT_EQ(link.Sent, s.ClientBytes);
        EXPECT_TRUE(link.Buffer.empty());
    }
}

// The count it asks for is exact: delivering just that much always makes progress.
TEST(Socks5Negotiator, NeededCountIsExact) {
    for (const TScenario& s : Scenarios()) {
        SCOPED_TRACE(s.Name);
        TLink link(s.UseAuth, s.Destination);
        size_t offered = 0;
        TSocks5Progress p = link.Arrive("");
        while (p.Outcome == TSocks5Progress::NeedMore) {
            size_t more = p.Needed - link.Buffer.size();
            ASSERT_LE(offered + more, s.ServerBytes.size());
            size_t before = link.Consumed;
            p = link.Arrive(s.ServerBytes.substr(offered, more));
            offered += more;
            EXPECT_GT(link.Consumed, before);
        }
        EXPECT_EQ(p.Outcome, TSocks5Progress::Complete);
        EXPECT_EQ(offered, s.ServerBytes.size());
    }
}

TEST(Socks5Negotiator, BytesAfterTheReplyStayInTheBuffer) {
    const std::string appData = "HTTP/1.1 200 OK\r\n";
    for (const TScenario& s : Scenarios()) {
        SCOPED_TRACE(s.Name);
        TLink link(s.UseAuth, s.Destination);
        TSocks5Progress p = link.Arrive(s.ServerBytes + appData);
        EXPECT_EQ(p.Outcome, TSocks5Progress::Complete);
        EXPECT_EQ(link.Consumed, s.ServerBytes.size());
        EXPECT_EQ(link.Buffer, appData);
        // Data arriving after completion is the application's.
        p = link.Arrive("more");
        EXPECT_EQ(p.Outcome, TSocks5Progress::Complete);
        EXPECT_EQ(p.Consumed, 0u);
        EXPECT_EQ(link.Buffer, appData + "more");
    }
}

TEST(Socks5Negotiator, DomainReplyOf250BytesCompletesAt257) {
    std::string reply = Bytes({0x05, 0x00, 0x00, 0x03, 250}) // VER, REP, RSV, ATYP, length
                        + std::string(250, 'h')              // BND.ADDR
                        + Bytes({0x00, 0x50});               // BND.PORT
    ASSERT_EQ(reply.size(), 257u);
    TLink link(false, ByAddress());
    link.Arrive(kPacketMethodNone);
    TSocks5Progress p = link.Arrive(reply.substr(0, 5));
    EXPECT_EQ(p.Outcome, TSocks5Progress::NeedMore);
    EXPECT_EQ(p.Needed, 252u);
    EXPECT_EQ(link.Negotiator.Phase(), TSocks5Phase::ReplyHeadRead);
    p = link.Arrive(reply.substr(5, 251));
    EXPECT_EQ(p.Outcome, TSocks5Progress::NeedMore);
    p = link.Arrive(reply.substr(256) + "x");
    EXPECT_EQ(p.Outcome, TSocks5Progress::Complete);
    EXPECT_EQ(link.Consumed, 2 + 257u);
    EXPECT_EQ(link.Buffer, "x");
}

TEST(Socks5Negotiator, UnacceptableMethodFailsNegotiation) {
    for (const std::string& answer : {Bytes({0x05, 0xFF}),    // no acceptable method
                                      Bytes({0x05, 0x01}),    // GSSAPI, never offered
                                      Bytes({0x04, 0x00})}) { // not version 5
        TLink link(true, ByName());
        TSocks5Progress p = link.Arrive(answer + kAuthOk);
        EXPECT_EQ(p.Outcome, TSocks5Progress::Failed);
        EXPECT_EQ(p.ErrorCode, 40101);
        EXPECT_EQ(p.ErrorText, "Socks negotiation failed");
        EXPECT_TRUE(link.Sent.empty());
        EXPECT_EQ(link.Negotiator.Phase(), TSocks5Phase::Failed);
        // A failed negotiation stays failed and takes nothing more.
        p = link.Arrive("");
        EXPECT_EQ(p.Outcome, TSocks5Progress::Failed);
        EXPECT_EQ(p.ErrorCode, 40101);
        EXPECT_EQ(p.Consumed, 0u);
    }
}

TEST(Socks5Negotiator, RejectedLoginFailsAuthentication) {
    TLink link(true, ByName());
    TSocks5Progress p =
        link.Arrive(kPacketMethodUserPass + Bytes({0x01, 0x01})); // VER, STATUS fail
    EXPECT_EQ(p.Outcome, TSocks5Progress::Failed);
    EXPECT_EQ(p.ErrorCode, 40102);
    EXPECT_EQ(p.ErrorText, "Socks authentication failed");
    EXPECT_TRUE(p.Send.empty()); // the auth request of this call is not sent after a failure
}

TEST(Socks5Negotiator, ServerReplyCodeBecomes40000PlusCode) {
    for (int code : {1, 5, 8, 255}) {
        TLink link(false, ByAddress());
        std::string reply = kReplyIPv4;
        reply[1] = char(code); // REP
        TSocks5Progress p = link.Arrive(kPacketMethodNone + reply);
        EXPECT_EQ(p.Outcome, TSocks5Progress::Failed);
        EXPECT_EQ(p.ErrorCode, 40000 + code);
        EXPECT_EQ(p.ErrorText, "");
        EXPECT_EQ(link.Consumed, 12u);
    }
}

TEST(Socks5Negotiator, UnknownReplyAddressTypeRaises) {
    TLink link(false, ByAddress());
    link.Arrive(kPacketMethodNone);
    try {
        link.Arrive(Bytes({0x05, 0x00, 0x00, 0x02, 0x00})); // ATYP 2 does not exist
        FAIL() << "no exception";
    } catch (const ESocks& e) {
        EXPECT_EQ(e.Message(), "Socks5 Address type #2 not supported");
    }
    EXPECT_EQ(link.Negotiator.Phase(), TSocks5Phase::Failed);
    EXPECT_EQ(link.Negotiator.Process("").Outcome, TSocks5Progress::Failed);
}

TEST(Socks5Negotiator, OverlongCredentialsRaiseWhenLoginIsAsked) {
    TLink link(true, ByName(), std::string(256, 'u'), "p");
    try {
        link.Arrive(kPacketMethodUserPass);
        FAIL() << "no exception";
    } catch (const ESocks& e) {
        EXPECT_EQ(e.Message(), "Username too long for use with SOCKS");
    }
    EXPECT_EQ(link.Negotiator.Phase(), TSocks5Phase::Failed);
    // The same credentials are never needed when the proxy asks for no login.
    TLink direct(true, ByName(), std::string(256, 'u'), "p");
    EXPECT_EQ(direct.Arrive(kPacketMethodNone + kReplyIPv4).Outcome, TSocks5Progress::Complete);
}

TEST(Socks5Negotiator, EveryPhaseChangeIsReported) {
    TSocks5Negotiator n(true, "user", "secret", ByName());
    std::vector<std::pair<TSocks5Phase, TSocks5Phase>> changes;
    n.OnPhaseChange = [&](TSocks5Phase from, TSocks5Phase to) { changes.emplace_back(from, to); };
    n.Start();
    n.Process(kPacketMethodUserPass + kAuthOk + kReplyDomain);
    using P = TSocks5Phase;
    std::vector<std::pair<P, P>> expected = {{P::GreetingSent, P::AuthSent},
                                             {P::AuthSent, P::RequestSent},
                                             {P::RequestSent, P::ReplyHeadRead},
                                             {P::ReplyHeadRead, P::Done}};
    EXPECT_EQ(changes, expected);
    EXPECT_STREQ(Socks5PhaseName(P::ReplyHeadRead), "reply head read");
}
