// Own connections and the passes they record.
#include "net/OwnConnections.h"
#include "net/SocketsTCPClient.h"
#include "support/NetTestSupport.h"

#include <gtest/gtest.h>

using namespace corvan;
using namespace corvan::test;

namespace {
// ArrivalPasses, asked every way: the system reporting both ends, and the peer given as
// accept reported it, with the port it arrived on and without (which skip the system when no
// own connection can match). All must agree.
int Passes(TSocketHandle accepted) {
    TSocketAddr peer, local;
    EXPECT_EQ(SocketGetPeerName(accepted, peer), 0);
    EXPECT_EQ(SocketGetSockName(accepted, local), 0);
    int known = ArrivalPasses(accepted, peer, local.Port);
    EXPECT_EQ(known, ArrivalPasses(accepted, peer, 0));
    EXPECT_EQ(known, ArrivalPasses(accepted));
    return known;
}
} // namespace

TEST(OwnConnections, EachHopCountsOnePassMoreThanTheConnectionItServes) {
    // A client from elsewhere: no own connection, no passes.
    auto [outside, outsideClient] = ConnectedPair();
    EXPECT_EQ(Passes(outside), 0);

    // Opened while serving it (a mapping that exposes a service): one pass.
    auto [first, firstClient] = ConnectedPair();
    {
        TServedConnection served(outside);
        ASSERT_TRUE(RegisterOwnConnection(firstClient));
    }
    EXPECT_EQ(Passes(first), 1);

    // Opened while serving that one (the traffic came back): the loop's pass count.
    auto [second, secondClient] = ConnectedPair();
    {
        TServedConnection served(first);
        ASSERT_TRUE(RegisterOwnConnection(secondClient));
    }
    EXPECT_EQ(Passes(second), kLoopPasses);

    // The served connection ended: a connection opened now serves none.
    auto [third, thirdClient] = ConnectedPair();
    ASSERT_TRUE(RegisterOwnConnection(thirdClient));
    EXPECT_EQ(Passes(third), 1);

    // The client end is never an arrival, and a forgotten connection is no longer own.
    EXPECT_EQ(Passes(secondClient), 0);
    UnregisterOwnConnection(secondClient);
    EXPECT_EQ(Passes(second), 0);

    for (TSocketHandle h : {firstClient, thirdClient})
        UnregisterOwnConnection(h);
    for (TSocketHandle h :
         {outside, outsideClient, first, firstClient, second, secondClient, third, thirdClient})
        SocketClose(h);
}

TEST(OwnConnections, AConnectionToThisProgramIsOwnBeforeTheConnectingSideHearsItStands) {
    TTestListener listener;
    // The unspecified address reaches the listener too, seen from there as loopback; and so do
    // both written as IPv6-mapped, which the listener sees as plain IPv4.
    std::vector<std::string> hosts{"127.0.0.1", "0.0.0.0"};
    if (HaveIPv6Loopback())
        hosts.insert(hosts.end(), {"::ffff:127.0.0.1", "::ffff:0.0.0.0"});
    for (const std::string& host : hosts) {
        TTCPClientSocket outbound(host, std::to_string(listener.Port));
        outbound.Connect(); // a literal address: the connect starts inside
        // Accepted and asked at once: this thread's loop has not run, so the connecting
        // socket has not yet heard its connect complete.
        TSocketHandle accepted = listener.Accept();
        ASSERT_NE(accepted, INVALID_SOCKETHANDLE) << host;
        EXPECT_EQ(Passes(accepted), 1) << host;
        ASSERT_TRUE(RunLoopUntil([&] { return outbound.State() == ssConnected; })) << host;
        EXPECT_EQ(Passes(accepted), 1) << host;
        outbound.Close(false);
        EXPECT_EQ(Passes(accepted), 0) << host;
        SocketClose(accepted);
    }
}

TEST(OwnConnections, ManyConnectsToOnePortEachLeaveOnTheirOwn) {
    // Entered before their ends are asked for, in a list by the port they go to: one that
    // leaves from the middle, the front or the end of it takes only itself out. A second
    // round takes the same handle numbers again.
    TTestListener listener;
    TSocketAddr to = TSocketAddr::IP4(htonl(INADDR_LOOPBACK), listener.Port);
    constexpr int kCount = 5;
    for (int round = 0; round < 2; ++round) {
        std::vector<TSocketHandle> outbound;
        std::vector<TSocketAddr> from(kCount);
        for (int i = 0; i < kCount; ++i) {
            TSocketHandle h = AllocateSocketHandle(TIPAddressFamily::iaIP4, TIPProtocol::ipTCP);
            ASSERT_NE(h, INVALID_SOCKETHANDLE);
            bool registered = false;
            ConnectOwnConnection(h, to, registered);
            ASSERT_TRUE(registered);
            outbound.push_back(h);
        }
        for (int i : {2, 4, 0}) { // the middle, the front (the last entered), the end
            ASSERT_EQ(SocketGetSockName(outbound[i], from[i]), 0);
            UnregisterOwnConnection(outbound[i]);
        }
        int own = 0;
        for (int i = 0; i < kCount; ++i) {
            TSocketAddr peer;
            TSocketHandle accepted = SocketAccept(listener.Handle, &peer);
            ASSERT_NE(accepted, INVALID_SOCKETHANDLE);
            bool left = peer == from[0] || peer == from[2] || peer == from[4];
            EXPECT_EQ(Passes(accepted), left ? 0 : 1) << round << " " << i;
            own += left ? 0 : 1;
            SocketClose(accepted);
        }
        EXPECT_EQ(own, 2) << round;
        for (TSocketHandle h : outbound) {
            UnregisterOwnConnection(h);
            SocketClose(h);
        }
    }
}
