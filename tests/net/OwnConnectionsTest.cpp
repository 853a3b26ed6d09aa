// Own connections and the passes they record.
#include "net/OwnConnections.h"
#include "support/NetTestSupport.h"

#include <gtest/gtest.h>

using namespace corvan;
using namespace corvan::test;

TEST(OwnConnections, EachHopCountsOnePassMoreThanTheConnectionItServes) {
    // A client from elsewhere: no own connection, no passes.
    auto [outside, outsideClient] = ConnectedPair();
    EXPECT_EQ(ArrivalPasses(outside), 0);

    // Opened while serving it (a mapping that exposes a service): one pass.
    auto [first, firstClient] = ConnectedPair();
    {
        TServedConnection served(outside);
        ASSERT_TRUE(RegisterOwnConnection(firstClient));
    }
    EXPECT_EQ(ArrivalPasses(first), 1);

    // Opened while serving that one (the traffic came back): the loop's pass count.
    auto [second, secondClient] = ConnectedPair();
    {
        TServedConnection served(first);
        ASSERT_TRUE(RegisterOwnConnection(secondClient));
    }
    EXPECT_EQ(ArrivalPasses(second), kLoopPasses);

    // The connection served was opened here but recorded only after its serving began (the
    // two ends of a loop run on different threads): its pass counts once it is recorded.
    auto [late, lateClient] = ConnectedPair();
    auto [fed, fedClient] = ConnectedPair();
    {
        TServedConnection served(late);
        ASSERT_TRUE(RegisterOwnConnection(fedClient));
    }
    EXPECT_EQ(ArrivalPasses(fed), 1);
    ASSERT_TRUE(RegisterOwnConnection(lateClient));
    EXPECT_EQ(ArrivalPasses(fed), kLoopPasses);

    // The served connection ended: a connection opened now serves none.
    auto [third, thirdClient] = ConnectedPair();
    ASSERT_TRUE(RegisterOwnConnection(thirdClient));
    EXPECT_EQ(ArrivalPasses(third), 1);

    // The client end is never an arrival, and a forgotten connection is no longer own.
    EXPECT_EQ(ArrivalPasses(secondClient), 0);
    UnregisterOwnConnection(secondClient);
    EXPECT_EQ(ArrivalPasses(second), 0);

    for (TSocketHandle h : {firstClient, thirdClient, lateClient, fedClient})
        UnregisterOwnConnection(h);
    for (TSocketHandle h : {outside, outsideClient, first, firstClient, second, secondClient,
                            third, thirdClient, late, lateClient, fed, fedClient})
        SocketClose(h);
}
