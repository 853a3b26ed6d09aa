// Opening an outbound connection through an up-stream SOCKS5 proxy that is a scripted peer on
// loopback: the connect time-out when the proxy never answers, a refusal passed on as its reply
// code, and a route with neither host nor port.
#include "net/Outbound.h"

#include "net/Socks.h"

#include "support/NetTestSupport.h"
#include "support/SilentListener.h"

#include <gtest/gtest.h>

#include <thread>

using namespace corvan;
using namespace corvan::test;

namespace {

TProxyServerInfo Socks5At(uint16_t port) {
    return TProxyServerInfo{true, "127.0.0.1", std::to_string(port), false, "", ""};
}

// The EOutbound OpenOutbound raises for route (the test fails when it raises nothing).
EOutbound FailureOf(const TOutboundRoute& route, const TOutboundOptions& options) {
    try {
        OpenOutbound(route, options);
    } catch (const EOutbound& e) {
        return e;
    }
    ADD_FAILURE() << "connected";
    return EOutbound("", 0, false);
}

EOutbound FailureOf(const TOutboundRoute& route, int timeOut) {
    TOutboundOptions options;
    options.TimeOut = timeOut;
    return FailureOf(route, options);
}

} // namespace

TEST(OpenOutbound, AnUpstreamThatNeverAnswersEndsAtTheTimeOutAndAMissingTargetIsNotTried) {
    TTestListener silent; // completes the handshake (backlog), never reads the greeting
    EOutbound e = FailureOf({"example.invalid", "80", Socks5At(silent.Port), {}}, 300);
    EXPECT_EQ(e.Message(), "Connect timed out");
    EXPECT_EQ(e.ErrorCode, SOCKET_ERR_TIMEOUT);
    EXPECT_TRUE(e.Attempted);

    e = FailureOf({"", "80", Socks5At(silent.Port), {}}, 300);
    EXPECT_EQ(e.Message(), "Host not set");
    EXPECT_FALSE(e.Attempted);
    e = FailureOf({"example.invalid", "", {}, {}}, 300);
    EXPECT_EQ(e.Message(), "Port not set");
    EXPECT_FALSE(e.Attempted);
}

TEST(OpenOutbound, ThroughSocks5ToAnHttpProxyTheRequestNamesTheHttpProxyAndARefusalKeepsItsCode) {
    TTestListener socks;
    std::string request;
    std::thread peer([&] {
        TSocketHandle h = socks.Accept();
        SetReceiveTimeout(h);
        std::string greeting = ReceiveExactly(h, 3);
        SendAll(h, std::string("\x05\x00", 2)); // version 5, no login
        request = ReceiveExactly(h, 4 + 1 + 16 + 2);
        // version 5, reply 5 (connection refused), reserved, IPv4 0.0.0.0:0
        SendAll(h, std::string("\x05\x05\x00\x01\x00\x00\x00\x00\x00\x00", 10));
        RecvAll(h);
        SocketClose(h);
    });
    TProxyServerInfo http{true, " upstream.invalid ", "3128", true, "user", "pw"};
    EOutbound e = FailureOf({"target.invalid", "80", Socks5At(socks.Port), http}, 10000);
    peer.join();
    // version 5, CONNECT, reserved, a name of 16 bytes, port 3128
    EXPECT_EQ(request, std::string("\x05\x01\x00\x03\x10", 5) + "upstream.invalid" +
                           std::string("\x0c\x38", 2));
    EXPECT_EQ(e.ErrorCode, kSocksErrorBase + 5); // the proxy's reply code
    EXPECT_TRUE(e.Attempted);
}

TEST(OpenOutbound, AConnectForAClientThatIsResetEndsAtOnceAndForOneThatEndedItsSendingSoon) {
    uint16_t port = FreeLoopbackPort();
    TSilentListener nowhere(TSocketAddr::IP4(Loopback(), port)); // never answers a connect
    TOutboundOptions options;
    options.TimeOut = 120000; // only the client's news can end the connect within the test
    options.EndedClientWaitMs = 200;
    // The attempt waited on beside the loop, and watched by the loop.
    for (bool unwatched : {true, false}) {
        options.ConnectUnwatched = unwatched;
        auto [ended, endedClient] = ConnectedPair();
        ::shutdown(endedClient, SHUT_WR); // it may still wait for its answer
        ATCPClientSocket endedSocket(ended, false, true);
        options.Client = &endedSocket;
        EXPECT_EQ(FailureOf({"127.0.0.1", std::to_string(port), {}, {}}, options).Message(),
                  "Connect timed out")
            << unwatched;
        auto [reset, resetClient] = ConnectedPair();
        ResetClose(resetClient);
        ATCPClientSocket resetSocket(reset, false, true);
        options.Client = &resetSocket;
        EOutbound gone = FailureOf({"127.0.0.1", std::to_string(port), {}, {}}, options);
        EXPECT_EQ(gone.Message(), "Connect terminated") << unwatched;
        EXPECT_TRUE(gone.ClientReset) << unwatched;
        SocketClose(endedClient);
    }
    // A client whose bytes its own socket has read already waits for its answer whatever
    // follows them (a peek would find only their end): the connect runs to its time-out.
    auto [spoke, spokeClient] = ConnectedPair();
    ASSERT_TRUE(SendAll(spokeClient, "early"));
    ::shutdown(spokeClient, SHUT_WR);
    ATCPClientSocket spokeSocket(spoke, false, true);
    ASSERT_TRUE(spokeSocket.ReadUnwatched());
    ASSERT_GT(spokeSocket.BufferUsed(), 0u);
    options.Client = &spokeSocket;
    options.TimeOut = 1500;
    int64_t start = MonotonicMillis();
    EOutbound timedOut = FailureOf({"127.0.0.1", std::to_string(port), {}, {}}, options);
    EXPECT_EQ(timedOut.Message(), "Connect timed out");
    EXPECT_FALSE(timedOut.ClientReset);
    EXPECT_GE(MonotonicMillis() - start, 1400) << "bounded as a client that ended its sending";
    SocketClose(spokeClient);
    // Reset after its early bytes, it has nobody left to answer: the connect ends at once.
    auto [spokeReset, spokeResetClient] = ConnectedPair();
    ASSERT_TRUE(SendAll(spokeResetClient, "early"));
    ATCPClientSocket spokeResetSocket(spokeReset, false, true);
    ASSERT_TRUE(spokeResetSocket.ReadUnwatched());
    ResetClose(spokeResetClient);
    options.Client = &spokeResetSocket;
    EOutbound gone = FailureOf({"127.0.0.1", std::to_string(port), {}, {}}, options);
    EXPECT_EQ(gone.Message(), "Connect terminated");
    EXPECT_TRUE(gone.ClientReset) << "told as a failed connect";
}
