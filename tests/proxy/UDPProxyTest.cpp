// The UDP port mapper over real loopback sockets: associations per source, answers from the
// mapped port, idle expiry, the association limit, errors that must not stop the mapping.
#include "proxy/UDPProxy.h"
#include "proxy/PortMappers.h"

#include "support/UDPPeer.h"

#include <gtest/gtest.h>

#include <set>

using namespace corvan;
using namespace corvan::test;

namespace {

// An echo destination on this thread: answers every datagram with "echo:" + the data, and
// remembers the source ports it saw.
struct TEchoServer : AUDPSocket {
    std::vector<uint16_t> Sources;
    TEchoServer() {
        SetLocalHost("127.0.0.1");
        BufferPackets = false;
        OnPacketAvailable = [this](AUDPSocket*) {
            std::string data;
            TSocketAddr from;
            while (ReadPacketStr(data, from)) {
                Sources.push_back(from.Port);
                SendTo(from, ("echo:" + data).data(), static_cast<int>(data.size() + 5));
            }
        };
        EnsureBound();
    }
    uint16_t Port() const {
        TSocketAddr local;
        SocketGetSockName(SocketHandle(), local);
        return local.Port;
    }
};

struct TMapperFixture {
    TEchoServer Echo;
    TUDPPortMapper Mapper;
    uint16_t MappedPort = 0;
    explicit TMapperFixture(uint16_t destPort = 0) {
        Mapper.DestHost = "127.0.0.1";
        Mapper.DestPort = std::to_string(destPort ? destPort : Echo.Port());
        Mapper.SetLocalHost("127.0.0.1");
        Mapper.SetActive(true);
        TSocketAddr local;
        SocketGetSockName(Mapper.SocketHandle(), local);
        MappedPort = local.Port;
    }
    // Sends from the peer and runs the loop until the answer is back.
    std::string RoundTrip(TUDPPeer& peer, const std::string& data, TSocketAddr* from = nullptr) {
        peer.SendTo(MappedPort, data);
        std::string answer;
        TSocketAddr sender;
        if (!RunLoopUntil([&] { return peer.Receive(answer, sender); }, 5000))
            return "<no answer>";
        if (from)
            *from = sender;
        return answer;
    }
};

TSocketAddr LoopbackSource(uint16_t port) {
    return TSocketAddr::IP4(Loopback(), port);
}

} // namespace

TEST(UDPPortMapper, EachSourcePortGetsItsOwnAssociationAndAnswersComeFromTheMappedPort) {
    TMapperFixture f;
    TUDPPeer a, b;
    TSocketAddr from;
    EXPECT_EQ(f.RoundTrip(a, "one", &from), "echo:one");
    EXPECT_EQ(from.Port, f.MappedPort);
    EXPECT_EQ(from.AddrIP4(), Loopback());
    EXPECT_EQ(f.RoundTrip(b, "two", &from), "echo:two");
    EXPECT_EQ(from.Port, f.MappedPort);
    EXPECT_EQ(f.Mapper.AssociationCount(), 2u);
    // Same address, different ports: two outbound sockets, so the destination saw two sources.
    ASSERT_EQ(f.Echo.Sources.size(), 2u);
    EXPECT_NE(f.Echo.Sources[0], f.Echo.Sources[1]);
    // Sending again from the same port reuses its socket.
    EXPECT_EQ(f.RoundTrip(a, "three"), "echo:three");
    EXPECT_EQ(f.Mapper.AssociationCount(), 2u);
    ASSERT_EQ(f.Echo.Sources.size(), 3u);
    EXPECT_EQ(f.Echo.Sources[2], f.Echo.Sources[0]);
    EXPECT_NE(f.Mapper.FindAssociation(LoopbackSource(a.Port)), nullptr);
}

TEST(UDPPortMapper, LongDatagramsAreCutTo4096BytesBothWays) {
    TMapperFixture f;
    TUDPPeer a;
    std::string sent = Pattern(5000);
    std::string answer = f.RoundTrip(a, sent);
    // The mapper cut it to 4096, the echo added 5, the mapper cut the answer to 4096.
    EXPECT_EQ(answer, ("echo:" + sent.substr(0, 4096)).substr(0, 4096));
}

TEST(UDPPortMapper, IdleAssociationsCloseAndTheSweepStopsWithTheLast) {
    TMapperFixture f;
    f.Mapper.IdleTimeoutMs = 300;
    TUDPPeer a, b;
    EXPECT_EQ(f.RoundTrip(a, "x"), "echo:x");
    EXPECT_EQ(f.RoundTrip(b, "y"), "echo:y");
    ASSERT_EQ(f.Mapper.AssociationCount(), 2u);
    // Keep b busy for a while: a expires, b stays.
    int64_t until = MonotonicMillis() + 450;
    while (MonotonicMillis() < until)
        EXPECT_EQ(f.RoundTrip(b, "y"), "echo:y");
    EXPECT_EQ(f.Mapper.FindAssociation(LoopbackSource(a.Port)), nullptr);
    EXPECT_NE(f.Mapper.FindAssociation(LoopbackSource(b.Port)), nullptr);
    ASSERT_TRUE(RunLoopUntil([&] { return f.Mapper.AssociationCount() == 0; }, 3000));
    // Nothing left to expire: the loop stays asleep.
    uint64_t wakes = TMessageLoop::Current().WakeCount();
    RunLoopFor(700);
    EXPECT_EQ(TMessageLoop::Current().WakeCount(), wakes);
    // A source that comes back gets a fresh association.
    EXPECT_EQ(f.RoundTrip(a, "again"), "echo:again");
    EXPECT_EQ(f.Mapper.AssociationCount(), 1u);
}

TEST(UDPPortMapper, BeyondTheLimitTheAssociationIdleLongestIsClosed) {
    TMapperFixture f;
    f.Mapper.MaxAssociations = 2;
    TUDPPeer a, b, c;
    EXPECT_EQ(f.RoundTrip(a, "a"), "echo:a");
    EXPECT_EQ(f.RoundTrip(b, "b"), "echo:b");
    EXPECT_EQ(f.RoundTrip(a, "a2"), "echo:a2"); // b is now the one idle longest
    EXPECT_EQ(f.RoundTrip(c, "c"), "echo:c");
    EXPECT_EQ(f.Mapper.AssociationCount(), 2u);
    EXPECT_NE(f.Mapper.FindAssociation(LoopbackSource(a.Port)), nullptr);
    EXPECT_EQ(f.Mapper.FindAssociation(LoopbackSource(b.Port)), nullptr);
    EXPECT_NE(f.Mapper.FindAssociation(LoopbackSource(c.Port)), nullptr);
}

TEST(UDPPortMapper, AClosedDestinationPortDoesNotStopTheMapping) {
    // A destination port with nobody listening: the system answers with ICMP errors.
    uint16_t port = 0;
    {
        TUDPPeer gone;
        port = gone.Port;
    }
    TUDPPortMapper mapper;
    mapper.DestHost = "127.0.0.1";
    mapper.DestPort = std::to_string(port);
    mapper.SetLocalHost("127.0.0.1");
    mapper.SetActive(true);
    TSocketAddr local;
    SocketGetSockName(mapper.SocketHandle(), local);
    TUDPPeer a;
    for (int i = 0; i < 3; ++i)
        a.SendTo(local.Port, "lost");
    RunLoopUntil([&] { return mapper.AssociationCount() == 1; }, 3000);
    RunLoopFor(100);
    ASSERT_EQ(mapper.AssociationCount(), 1u);
    // The destination comes up on that port: the same association now gets answers.
    TSocketHandle h = AllocateSocketHandle(TIPAddressFamily::iaIP4, TIPProtocol::ipUDP);
    SocketBind(h, TSocketAddr::IP4(Loopback(), port));
    a.SendTo(local.Port, "hello");
    TSocketAddr from;
    ASSERT_TRUE(RunLoopUntil([&] { return SocketAvailable(h) > 0; }, 5000));
    char buf[100];
    ASSERT_EQ(SocketRecvFrom(h, buf, sizeof buf, &from, nullptr), 5);
    SocketSendTo(h, "back", 4, from);
    std::string answer;
    TSocketAddr answerFrom;
    EXPECT_TRUE(RunLoopUntil([&] { return a.Receive(answer, answerFrom); }, 5000));
    EXPECT_EQ(answer, "back");
    EXPECT_EQ(answerFrom.Port, local.Port);
    SocketClose(h);
}

TEST(UDPPortMapper, ClosingTheMapperClosesEveryAssociation) {
    TMapperFixture f;
    TUDPPeer a, b;
    f.RoundTrip(a, "a");
    f.RoundTrip(b, "b");
    ASSERT_EQ(f.Mapper.AssociationCount(), 2u);
    f.Mapper.SetActive(false);
    EXPECT_EQ(f.Mapper.AssociationCount(), 0u);
    EXPECT_EQ(f.Mapper.SocketHandle(), INVALID_SOCKETHANDLE);
}

TEST(PortMapperFactory, UDPMappingListensOnServerIPAndReportsABusyPort) {
    TEchoServer echo;
    TPortMapperParams p;
    p.Protocol = ProtocolUDP;
    p.LocalHost = "127.0.0.1";
    p.LocalPort = std::to_string(echo.Port()); // taken by the echo server
    p.DestHost = "127.0.0.1";
    p.DestPort = std::to_string(echo.Port());
    try {
        CreatePortMapper(p);
        FAIL() << "a busy port must raise";
    } catch (const std::exception& e) {
        EXPECT_NE(std::string(e.what()).find("Socket bind failed"), std::string::npos);
    }
    p.Protocol = 5;
    EXPECT_THROW(CreatePortMapper(p), EPortMapping);
}
