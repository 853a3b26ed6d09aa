#include "proxy/SocksUtils.h"

#include "support/SocksPackets.h"

#include <gtest/gtest.h>

#include <array>
#include <stdexcept>

using namespace corvan;
using namespace corvan::test;

namespace {

// The server's connection over canned client bytes.
TSocksServerIO ServerIO(TScriptedConnection& connection) {
    TSocksServerIO io;
    io.ReadExact = [&connection](size_t n) { return connection.ReadExact(n); };
    io.Write = [&connection](const std::string& bytes) { connection.Write(bytes); };
    return io;
}

struct TOutcome {
    std::optional<TSocksRequest> Request;
    std::string Written; // every reply the server sent
    size_t Unread = 0;   // input bytes the server did not read
};

// Runs the server negotiation on canned client bytes. Logins are accepted for "user" with
// password "secret" only.
TOutcome Negotiate(const std::string& input, TSocksServerOptions options = {}) {
    TScriptedConnection connection(input);
    TSocksServerIO io = ServerIO(connection);
    TSocksAuthenticate authenticate = [](const std::string& user, const std::string& password) {
        return user == "user" && password == "secret";
    };
    TOutcome outcome;
    outcome.Request = NegotiateSocksRequest(io, options, authenticate);
    outcome.Written = connection.Output;
    outcome.Unread = connection.Unread();
    return outcome;
}

const std::string kSocks4Connect = Bytes({
    0x04, 0x01, // VN, CD CONNECT
    0x1F, 0x90, // DSTPORT 8080
    10, 1, 2, 3 // DSTIP
});

std::string Socks5ErrorReply(int code) {
    return Bytes({0x05, code, 0x00, 0x01, // VER, REP, RSV, ATYP IPv4
                  0, 0, 0, 0, 0, 0});     // BND.ADDR, BND.PORT zero
}

} // namespace

TEST(SocksServerMethods, UserPassIsChosenWheneverOffered) {
    auto o = Negotiate(Bytes({0x05, 2, 0x00, 0x02}) + kPacketLogin + kPacketConnectByName);
    ASSERT_TRUE(o.Request);
    EXPECT_EQ(o.Written, kPacketMethodUserPass + Bytes({0x01, 0x00})); // method, login status
    EXPECT_EQ(o.Request->Version, 5);
    EXPECT_EQ(o.Request->UserId, "user");
    EXPECT_EQ(o.Request->Destination.Host, "example.com");
    EXPECT_EQ(o.Request->Destination.Addr, 0u);
    EXPECT_EQ(o.Request->Destination.Port, 443);
    EXPECT_EQ(o.Unread, 0u);
}

// Without a login requirement, any offer without user/pass is answered "no authentication",
// even an offer of GSSAPI alone.
TEST(SocksServerMethods, OfferWithoutUserPassGetsNoAuthentication) {
    for (const std::string& greeting : {Bytes({0x05, 1, 0x01}), // GSSAPI only
                                        Bytes({0x05, 1, 0x00}), // none only
                                        Bytes({0x05, 3, 0x01, 0x80, 0x00})}) {
        auto o = Negotiate(greeting + kPacketConnectByAddress);
        ASSERT_TRUE(o.Request);
        EXPECT_EQ(o.Written, kPacketMethodNone);
        EXPECT_EQ(o.Request->Destination.Addr, IPv4(93, 184, 216, 34));
        EXPECT_TRUE(o.Request->Destination.Host.empty());
        EXPECT_EQ(o.Request->Destination.Port, 80);
    }
}

TEST(SocksServerMethods, ZeroMethodsGetNoAcceptableMethod) {
    auto o = Negotiate(Bytes({0x05, 0}) + kPacketConnectByAddress);
    EXPECT_FALSE(o.Request);
    EXPECT_EQ(o.Written, kPacketMethodRefused);
    EXPECT_EQ(o.Unread, kPacketConnectByAddress.size());
}

TEST(SocksServerLogin, RequireLoginRefusesClientsThatCannotLogIn) {
    TSocksServerOptions requireLogin;
    requireLogin.RequireLogin = true;
    auto o = Negotiate(Bytes({0x05, 1, 0x00}) + kPacketConnectByAddress, requireLogin);
    EXPECT_FALSE(o.Request);
    EXPECT_EQ(o.Written, kPacketMethodRefused);

    o = Negotiate(kSocks4Connect + "user" + Bytes({0}), requireLogin);
    EXPECT_FALSE(o.Request);
    EXPECT_EQ(o.Written, Bytes({0x00, 91, 0, 0, 0, 0, 0, 0})); // VN 0, CD 91, port, address
    EXPECT_EQ(o.Unread, kSocks4Connect.size() - 1 + 5);        // nothing after the version

    o = Negotiate(Bytes({0x05, 2, 0x00, 0x02}) + kPacketLogin + kPacketConnectByAddress,
                  requireLogin);
    ASSERT_TRUE(o.Request);
    EXPECT_EQ(o.Written, kPacketMethodUserPass + Bytes({0x01, 0x00}));
}

TEST(SocksServerLogin, FailedLoginGetsFailureStatusAndCloses) {
    std::string wrongPassword = Bytes({0x01, 4}) + "user" + Bytes({5}) + "guess";
    std::string wrongVersion = Bytes({0x05}) + "user"; // VER 5 is not the login version
    std::string emptyFields = Bytes({0x01, 0, 0});     // VER, ULEN 0, PLEN 0
    for (const std::string& login : {wrongPassword, wrongVersion, emptyFields}) {
        auto o = Negotiate(Bytes({0x05, 1, 0x02}) + login + kPacketConnectByAddress);
        EXPECT_FALSE(o.Request);
        EXPECT_EQ(o.Written, kPacketMethodUserPass + Bytes({0x01, 0x01}));
        EXPECT_GE(o.Unread, kPacketConnectByAddress.size()); // the request is never read
    }
}

TEST(SocksServerLogin, MissingAuthenticateHandlerRefusesEveryLogin) {
    TScriptedConnection connection(Bytes({0x05, 1, 0x02}) + kPacketLogin + kPacketConnectByAddress);
    TSocksServerIO io = ServerIO(connection);
    EXPECT_FALSE(NegotiateSocksRequest(io, {}, nullptr));
    EXPECT_EQ(connection.Output, kPacketMethodUserPass + Bytes({0x01, 0x01}));
}

TEST(SocksServerRequest, OtherCommandsGetCommandNotSupported) {
    for (int command : {0x02 /* BIND */, 0x03 /* UDP ASSOCIATE */, 0x00, 0x09}) {
        std::string request = kPacketConnectByAddress;
        request[1] = char(command);
        auto o = Negotiate(Bytes({0x05, 1, 0x00}) + request);
        EXPECT_FALSE(o.Request);
        EXPECT_EQ(o.Written, kPacketMethodNone + Socks5ErrorReply(7));
        EXPECT_EQ(o.Written.size(), 2 + 10u);
    }
}

TEST(SocksServerRequest, UdpAssociateIsARequestOnlyWhenEnabled) {
    std::string request = Bytes({0x05, 0x03, 0x00, 0x01, 0, 0, 0, 0, 0x1F, 0x90});
    TSocksServerOptions udp;
    udp.EnableUdp = true;
    auto o = Negotiate(Bytes({0x05, 1, 0x00}) + request, udp);
    ASSERT_TRUE(o.Request);
    EXPECT_EQ(o.Request->Command, 0x03);
    EXPECT_EQ(o.Request->Destination.Port, 8080);
    EXPECT_EQ(o.Written, kPacketMethodNone); // the reply is the association's
    // BIND stays unsupported.
    request[1] = 0x02;
    o = Negotiate(Bytes({0x05, 1, 0x00}) + request, udp);
    EXPECT_FALSE(o.Request);
    EXPECT_EQ(o.Written, kPacketMethodNone + Socks5ErrorReply(7));
}

TEST(SocksServerRequest, IPv6AddressIsADestinationGivenAsItsText) {
    std::string request = Bytes({0x05, 0x01, 0x00, 0x04, // VER, CMD, RSV, ATYP IPv6
                                 0x20, 0x01, 0x0d, 0xb8, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0x01,
                                 0x01, 0xBB}); // port 443
    auto o = Negotiate(Bytes({0x05, 1, 0x00}) + request);
    ASSERT_TRUE(o.Request);
    EXPECT_EQ(o.Request->Destination.Host, "2001:db8::1");
    EXPECT_EQ(o.Request->Destination.Addr, 0u);
    EXPECT_EQ(o.Request->Destination.Port, 443);
    EXPECT_EQ(o.Unread, 0u);
}

TEST(SocksServerRequest, UnknownAddressTypesGetCode8) {
    for (int type : {0x00, 0x02, 0xFF}) {
        std::string request = Bytes({0x05, 0x01, 0x00, type}) // VER, CMD, RSV, ATYP
                              + std::string(16, '\x01') + Bytes({0x00, 0x50});
        auto o = Negotiate(Bytes({0x05, 1, 0x00}) + request);
        EXPECT_FALSE(o.Request);
        EXPECT_EQ(o.Written, kPacketMethodNone + Socks5ErrorReply(8));
        EXPECT_EQ(o.Unread, 18u); // the address and port are not read
    }
}

TEST(SocksServerRequest, WrongRequestVersionClosesWithoutReply) {
    std::string request = kPacketConnectByAddress;
    request[0] = 0x04;
    auto o = Negotiate(Bytes({0x05, 1, 0x00}) + request);
    EXPECT_FALSE(o.Request);
    EXPECT_EQ(o.Written, kPacketMethodNone);
}

TEST(SocksServerRequest, UnknownVersionClosesWithoutReply) {
    for (int version : {0x00, 0x03, 0x06, int('G')}) {
        auto o = Negotiate(Bytes({version}) + "ET / HTTP/1.1\r\n\r\n");
        EXPECT_FALSE(o.Request);
        EXPECT_TRUE(o.Written.empty());
        EXPECT_EQ(o.Unread, 17u);
    }
}

TEST(Socks4Request, PlainRequestByAddress) {
    auto o = Negotiate(kSocks4Connect + "alice" + Bytes({0}) + "rest");
    ASSERT_TRUE(o.Request);
    EXPECT_EQ(o.Request->Version, 4);
    EXPECT_EQ(o.Request->UserId, "alice");
    EXPECT_EQ(o.Request->Destination.Addr, IPv4(10, 1, 2, 3));
    EXPECT_TRUE(o.Request->Destination.Host.empty());
    EXPECT_EQ(o.Request->Destination.Port, 8080);
    EXPECT_TRUE(o.Written.empty());
    EXPECT_EQ(o.Unread, 4u); // nothing after the request is read
}

TEST(Socks4Request, Socks4aCarriesAHostName) {
    std::string request = Bytes({0x04, 0x01, 0x00, 0x50, // VN, CD, DSTPORT 80
                                 0, 0, 0, 1,             // DSTIP 0.0.0.1: a name follows
                                 0}) +                   // empty user id
                          "example.com" +
                          Bytes({0});
    auto o = Negotiate(request);
    ASSERT_TRUE(o.Request);
    EXPECT_EQ(o.Request->Destination.Host, "example.com");
    EXPECT_EQ(o.Request->Destination.Addr, 0u);
    EXPECT_EQ(o.Request->Destination.Port, 80);
    EXPECT_EQ(o.Unread, 0u);
}

TEST(Socks4Request, AddressZeroIsAPlainRequest) {
    auto o = Negotiate(Bytes({0x04, 0x01, 0x00, 0x50, 0, 0, 0, 0, 0}) + "example.com");
    ASSERT_TRUE(o.Request);
    EXPECT_TRUE(o.Request->Destination.Host.empty());
    EXPECT_EQ(o.Request->Destination.Addr, 0u);
    EXPECT_EQ(o.Unread, 11u); // no host name is read
}

TEST(Socks4Request, NonConnectClosesWithoutReply) {
    std::string request = kSocks4Connect;
    request[1] = 0x02; // BIND
    auto o = Negotiate(request + Bytes({0}));
    EXPECT_FALSE(o.Request);
    EXPECT_TRUE(o.Written.empty());
}

TEST(Socks4Request, RejectSocks4AnswersBeforeReadingTheBody) {
    TSocksServerOptions reject;
    reject.RejectSocks4 = true;
    auto o = Negotiate(kSocks4Connect + Bytes({0}), reject);
    EXPECT_FALSE(o.Request);
    EXPECT_EQ(o.Written, Bytes({0x00, 91, 0, 0, 0, 0, 0, 0}));
    EXPECT_EQ(o.Unread, 8u);
    // SOCKS5 is not affected.
    EXPECT_TRUE(Negotiate(Bytes({0x05, 1, 0x00}) + kPacketConnectByAddress, reject).Request);
}

TEST(Socks4Request, StringsOf255BytesPassAndTheNextByteRefuses) {
    std::string name255(255, 'n');
    auto o = Negotiate(kSocks4Connect + name255 + Bytes({0}));
    ASSERT_TRUE(o.Request);
    EXPECT_EQ(o.Request->UserId, name255);

    std::string request4a = Bytes({0x04, 0x01, 0x00, 0x50, 0, 0, 0, 7, 0});
    o = Negotiate(request4a + name255 + Bytes({0}));
    ASSERT_TRUE(o.Request);
    EXPECT_EQ(o.Request->Destination.Host, name255);

    for (const std::string& input : {kSocks4Connect + std::string(256, 'u') + Bytes({0}),
                                     request4a + std::string(256, 'h') + Bytes({0}),
                                     kSocks4Connect + std::string(100000, 'u')}) {
        TScriptedConnection connection(input);
        TSocksServerIO io = ServerIO(connection);
        try {
            NegotiateSocksRequest(io, {}, nullptr);
            FAIL() << "no exception";
        } catch (const ESocks& e) {
            EXPECT_EQ(e.Message(), "Invalid data");
        }
        EXPECT_TRUE(connection.Output.empty());
        EXPECT_LE(connection.Position, 8u + 1 + 256); // stops at the 256th byte, not later
    }
}

TEST(Socks4Request, TerminationAfterTheHeadGivesUp) {
    TScriptedConnection connection(kSocks4Connect + Bytes({0}));
    TSocksServerIO io = ServerIO(connection);
    io.Terminated = [] { return true; };
    EXPECT_FALSE(NegotiateSocksRequest(io, {}, nullptr));
    EXPECT_EQ(connection.Unread(), 1u);
}

// A client that stops sending at any point never gets a request through: the short read
// raises, and nothing but the replies due so far has been written.
TEST(SocksServerRequest, EveryTruncationRaisesTheReadError) {
    const std::string socks5 = Bytes({0x05, 2, 0x00, 0x02}) + kPacketLogin + kPacketConnectByName;
    const std::string socks4a =
        Bytes({0x04, 0x01, 0x00, 0x50, 0, 0, 0, 1}) + "id" + Bytes({0}) + "host" + Bytes({0});
    for (const std::string& full : {socks5, socks4a, kSocks4Connect + Bytes({0})}) {
        ASSERT_TRUE(Negotiate(full).Request);
        for (size_t k = 0; k < full.size(); ++k) {
            SCOPED_TRACE(k);
            EXPECT_THROW(Negotiate(full.substr(0, k)), std::runtime_error);
        }
    }
}

TEST(SocksServerReplies, GrantedReplyCarriesDestinationAddressAndPort) {
    uint32_t addr = IPv4(93, 184, 216, 34);
    EXPECT_EQ(SocksGrantedReply(4, addr, 443), Bytes({
                                                   0x00, 90,        // VN 0, CD granted
                                                   0x01, 0xBB,      // DSTPORT 443
                                                   93, 184, 216, 34 // DSTIP
                                               }));
    EXPECT_EQ(SocksGrantedReply(5, addr, 443), Bytes({
                                                   0x05, 0x00, 0x00, 0x01, // VER, REP 0, RSV, IPv4
                                                   93, 184, 216, 34,       // BND.ADDR
                                                   0x01, 0xBB              // BND.PORT 443
                                               }));
    // An IPv6 address: address type 4, 22 bytes.
    std::array<uint8_t, 16> v6{0xfe, 0x80};
    v6[15] = 7;
    std::string expected = Bytes({0x05, 0x00, 0x00, 0x04, 0xfe, 0x80});
    expected += std::string(13, '\0') + Bytes({7, 0x1F, 0x90});
    EXPECT_EQ(Socks5Reply(0, TSocketAddr::IP6(v6, 8080)), expected);
}

TEST(SocksServerReplies, RefusalsByVersion) {
    const std::string socks4Rejected = Bytes({0x00, 91, 0, 0, 0, 0, 0, 0});
    EXPECT_EQ(SocksNotAllowedReply(4), socks4Rejected);
    EXPECT_EQ(SocksNotAllowedReply(5), Socks5ErrorReply(2));
    EXPECT_EQ(SocksConnectFailedReply(4, 10061), socks4Rejected);
    EXPECT_EQ(SocksConnectFailedReply(5, 10061), Socks5ErrorReply(5)); // refused destination
    EXPECT_EQ(Socks5MethodReply(0xFF), kPacketMethodRefused);
    EXPECT_EQ(Socks5AuthReply(true), Bytes({0x01, 0x00}));
    EXPECT_EQ(Socks5AuthReply(false), Bytes({0x01, 0x01}));
}

TEST(SocksServerReplies, SocketErrorsMapToReplyCodes) {
    const std::pair<int, int> table[] = {
        {10050, 3}, {10051, 3},             // network down / unreachable
        {10060, 4}, {10064, 4}, {10065, 4}, // timed out, host down / unreachable
        {10053, 5}, {10054, 5}, {10061, 5}, // aborted, reset, refused
        {0, 1},     {10049, 1}, {11001, 1}, {20005, 1}, {-1, 1}, // everything else
    };
    for (auto [error, code] : table)
        EXPECT_EQ(Socks5ReplyCodeForError(error), code) << error;
}
