// The UDP port mapper over real loopback sockets: associations per source, answers from the
// mapped port, idle expiry, the association limit, errors that must not stop the mapping, and a
// destination host name that is looked up without ever stopping the mapper's thread.
#include "proxy/UDPProxy.h"
#include "proxy/PortMappers.h"

#include "net/OwnConnections.h"

#include "support/FakeHostResolver.h"
#include "support/UDPPeer.h"

#include <gtest/gtest.h>

#include <map>
#include <set>

using namespace corvan;
using namespace corvan::test;

namespace {

// An echo destination on this thread: answers every datagram with Prefix + the data, and
// remembers the source ports and the data it saw (whole, up to 64 KiB).
struct TEchoServer : AUDPSocket {
    std::vector<uint16_t> Sources;
    std::vector<std::string> Data;
    std::string Prefix = "echo:";
    explicit TEchoServer(const std::string& host = "127.0.0.1", uint16_t port = 0) {
        SetLocalHost(host);
        SetLocalPort(std::to_string(port));
        BufferPackets = false;
        MaxPacketSize = 65536;
        OnPacketAvailable = [this](AUDPSocket*) {
            std::string data;
            TSocketAddr from;
            while (ReadPacketStr(data, from)) {
                Sources.push_back(from.Port);
                Data.push_back(data);
                std::string answer = Prefix + data;
                SendTo(from, answer.data(), static_cast<int>(answer.size()));
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
    explicit TMapperFixture(const std::string& destHost = "127.0.0.1",
                            const std::string& echoHost = "127.0.0.1")
        : Echo(echoHost) {
        Mapper.DestHost = destHost;
        Mapper.DestPort = std::to_string(Echo.Port());
        Mapper.SetLocalHost("127.0.0.1");
        Activate();
    }
    // On a new system-assigned port each time.
    void Activate() {
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
    // Sends from the peer and runs the loop until the mapper has taken the datagram without
    // sending it (queued or dropped for want of the destination's address).
    bool SendHeld(TUDPPeer& peer, const std::string& data) {
        size_t held = Mapper.WaitingDatagramCount() + Mapper.DroppedDatagramCount();
        peer.SendTo(MappedPort, data);
        return RunLoopUntil(
            [&] { return Mapper.WaitingDatagramCount() + Mapper.DroppedDatagramCount() > held; });
    }
};

TSocketAddr LoopbackSource(uint16_t port) {
    return TSocketAddr::IP4(Loopback(), port);
}

// The next count datagrams that reach the peer, served by this thread's loop (bounded).
std::vector<std::string> Answers(TUDPPeer& peer, size_t count) {
    std::vector<std::string> answers;
    RunLoopUntil([&] {
        std::string data;
        TSocketAddr from;
        while (answers.size() < count && peer.Receive(data, from))
            answers.push_back(data);
        return answers.size() == count;
    });
    return answers;
}

using TTexts = std::vector<std::string>;

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

TEST(UDPPortMapper, DatagramsUpToTheLargestIPv4PayloadAreCarriedWholeBothWays) {
    TMapperFixture f;
    TUDPPeer a;
    std::string sent = Pattern(5000);
    EXPECT_EQ(f.RoundTrip(a, sent), "echo:" + sent);
    ASSERT_EQ(f.Echo.Data.size(), 1u);
    EXPECT_EQ(f.Echo.Data[0], sent);
    // 65,507 bytes: no room for a prefix, the echo answers the same bytes.
    f.Echo.Prefix = "";
    std::string largest = Pattern(65507);
    EXPECT_EQ(f.RoundTrip(a, largest), largest);
    ASSERT_EQ(f.Echo.Data.size(), 2u);
    EXPECT_EQ(f.Echo.Data[1], largest);
    EXPECT_EQ(f.Mapper.DroppedDatagramCount(), 0u);
}

TEST(UDPPortMapper, ADatagramLongerThanTheBufferIsDroppedNeverForwardedCut) {
    TMapperFixture f;
    f.Mapper.MaxPacketSize = 1000; // the buffer of the mapper and of its associations
    TUDPPeer a;
    // Towards the destination.
    a.SendTo(f.MappedPort, Pattern(1500));
    ASSERT_TRUE(RunLoopUntil([&] { return f.Mapper.DroppedDatagramCount() == 1; }));
    EXPECT_EQ(f.RoundTrip(a, "short"), "echo:short");
    EXPECT_EQ(f.Echo.Data, TTexts{"short"});
    // Back from it: 996 bytes arrive whole, the 1001-byte answer does not fit.
    std::string fits = Pattern(996);
    a.SendTo(f.MappedPort, fits);
    ASSERT_TRUE(RunLoopUntil([&] { return f.Mapper.DroppedDatagramCount() == 2; }));
    EXPECT_EQ(f.Echo.Data.back(), fits);
    EXPECT_EQ(f.RoundTrip(a, "x"), "echo:x"); // the next answer: nothing cut came before it
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

// A mapping may pass datagrams on to another mapping of this program. A destination that leads
// back to the mapping sends a datagram round a few times, each time on a new association; it is
// then dropped and logged (once), and nothing goes round for ever. That holds also for an IPv4
// destination written mapped into IPv6 (its associations take both families).
TEST(UDPPortMapper, ADatagramComingRoundThroughTheMappingsIsDroppedAfterAFewRounds) {
    {
        TMapperFixture f;
        TUDPPortMapper onward; // onward -> f.Mapper -> the echo server
        onward.SetLocalHost("127.0.0.1");
        onward.DestHost = "127.0.0.1";
        onward.DestPort = std::to_string(f.MappedPort);
        onward.SetActive(true);
        TSocketAddr onwardEnd;
        SocketGetSockName(onward.SocketHandle(), onwardEnd);
        TUDPPeer peer;
        peer.SendTo(onwardEnd.Port, "hi");
        EXPECT_EQ(Answers(peer, 1), TTexts{"echo:hi"});
        EXPECT_EQ(f.Mapper.AssociationCount(), 1u);
    }
    std::vector<std::string> dests{"127.0.0.1"};
    if (HaveIPv6Loopback())
        dests.push_back("::ffff:127.0.0.1");
    for (const std::string& dest : dests) {
        TMapperFixture f(dest);
        TTexts lines;
        f.Mapper.LoopLog.OnLine = [&](const std::string& line) { lines.push_back(line); };
        f.Mapper.DestPort = std::to_string(f.MappedPort); // new associations lead back to it
        TUDPPeer round;
        for (uint64_t sent = 1; sent <= 2; ++sent) {
            round.SendTo(f.MappedPort, "round");
            ASSERT_TRUE(RunLoopUntil([&] { return f.Mapper.DroppedDatagramCount() == sent; }))
                << dest;
            // One association for the peer and one per round after it; the second datagram
            // goes the same way.
            EXPECT_EQ(f.Mapper.AssociationCount(), size_t(kMappingLoopPasses)) << dest;
        }
        ASSERT_EQ(lines.size(), 1u) << dest;
        EXPECT_TRUE(lines[0].starts_with("Datagram from 127.0.0.1 port ")) << lines[0];
        EXPECT_TRUE(lines[0].ends_with(" dropped: it has come round through this program's "
                                       "port mappings 8 times (a destination leads back to a "
                                       "mapping)"))
            << lines[0];
        EXPECT_TRUE(f.Echo.Data.empty()) << dest;
    }
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

TEST(UDPPortMapper, ADestinationPortThatDoesNotResolveDropsTheDatagramAndKeepsNoAssociation) {
    TMapperFixture f;
    f.Mapper.SetActive(false);
    f.Mapper.DestPort = "no-such-service";
    f.Activate();
    TUDPPeer a;
    ASSERT_TRUE(f.SendHeld(a, "x"));
    EXPECT_EQ(f.Mapper.DroppedDatagramCount(), 1u);
    EXPECT_EQ(f.Mapper.AssociationCount(), 0u);
    EXPECT_EQ(f.Mapper.WaitingDatagramCount(), 0u);
}

TEST(PortMapperFactory, UDPMappingListensOnServerIPAndReportsABusyPort) {
    TEchoServer echo;
    TPortMapperParams p;
    p.Protocol = mpUDP;
    p.LocalHost = "127.0.0.1";
    p.LocalPort = std::to_string(echo.Port()); // taken by the echo server
    p.DestHost = "127.0.0.1";
    p.DestPort = "9"; // not its own port: that would be refused before the bind
    try {
        CreatePortMapper(p);
        FAIL() << "a busy port must raise";
    } catch (const std::exception& e) {
        EXPECT_NE(std::string(e.what()).find("Socket bind failed"), std::string::npos);
    }
    p.Protocol = 5;
    EXPECT_THROW(CreatePortMapper(p), EPortMapping);
}

// --- the destination's address ---------------------------------------------------------------

TEST(UDPPortMapperDestination, AHostNameIsLookedUpAndItsAddressGivenToTheAssociations) {
    // The system's own lookup of a name every machine has.
    TMapperFixture f("localhost");
    TUDPPeer a, b;
    TSocketAddr from;
    EXPECT_EQ(f.RoundTrip(a, "one", &from), "echo:one");
    EXPECT_EQ(from.Port, f.MappedPort);
    EXPECT_EQ(f.RoundTrip(b, "two"), "echo:two");
    uint32_t address = 0;
    ASSERT_TRUE(f.Mapper.DestAddress(address));
    EXPECT_EQ(address, Loopback());
    EXPECT_FALSE(f.Mapper.DestLookupPending());
    // The associations took the mapper's address and still name the host.
    TUDPPortMapperClient* client = f.Mapper.FindAssociation(LoopbackSource(b.Port));
    ASSERT_NE(client, nullptr);
    EXPECT_EQ(client->Host(), "localhost");
    EXPECT_EQ(client->State(), ssResolved);
    EXPECT_EQ(client->ResolvedAddress(), Loopback());
    EXPECT_EQ(client->PendingLookupCount(), 0u);
}

TEST(UDPPortMapperDestination, AnIPv4AddressIsNeverLookedUp) {
    TFakeHostResolver resolver; // every lookup would fail
    TMapperFixture f("127.0.0.1");
    EXPECT_FALSE(f.Mapper.DestLookupPending());
    TUDPPeer a;
    EXPECT_EQ(f.RoundTrip(a, "x"), "echo:x");
    EXPECT_TRUE(resolver.Hosts().empty());
}

// A mapping to "dest.test", whose lookup (started with the mapper) is held in its worker thread
// until the test opens the resolver's gate; it then answers 127.0.0.1 unless told otherwise.
class UDPPortMapperHeldLookup : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(Resolver.WaitInside(1)); }
    TFakeHostResolver Resolver{Loopback(), true};
    TMapperFixture F{"dest.test"};
};

TEST_F(UDPPortMapperHeldLookup, DatagramsWaitInOrderWhileTheThreadServesOthers) {
    TMapperFixture& slow = F;
    TFakeHostResolver& resolver = Resolver;
    slow.Mapper.MaxWaitingDatagrams = 4;
    EXPECT_TRUE(slow.Mapper.DestLookupPending());
    TUDPPeer a, b;
    for (const char* data : {"1", "2", "3", "4", "5", "6"})
        ASSERT_TRUE(slow.SendHeld(data[0] % 2 ? a : b, data));
    EXPECT_EQ(slow.Mapper.WaitingDatagramCount(), 4u);
    EXPECT_EQ(slow.Mapper.DroppedDatagramCount(), 2u); // beyond the limit
    EXPECT_EQ(slow.Mapper.AssociationCount(), 0u);

    // The thread goes on serving another mapping meanwhile.
    TMapperFixture fast;
    TUDPPeer c;
    EXPECT_EQ(fast.RoundTrip(c, "fast"), "echo:fast");
    EXPECT_TRUE(slow.Mapper.DestLookupPending());
    EXPECT_TRUE(slow.Echo.Data.empty());

    // The answer arrives: the waiting datagrams leave, each source's in the order sent, through
    // that source's association (sources are separate flows on separate sockets, so their
    // datagrams may interleave differently), and the answers find their way back.
    resolver.Open();
    ASSERT_TRUE(RunLoopUntil([&] { return slow.Echo.Data.size() == 4; }));
    std::map<uint16_t, TTexts> bySource;
    for (size_t i = 0; i < slow.Echo.Data.size(); ++i)
        bySource[slow.Echo.Sources[i]].push_back(slow.Echo.Data[i]);
    std::set<TTexts> flows;
    for (const auto& [port, texts] : bySource)
        flows.insert(texts);
    EXPECT_EQ(flows, (std::set<TTexts>{{"1", "3"}, {"2", "4"}}));
    EXPECT_EQ(Answers(a, 2), (TTexts{"echo:1", "echo:3"}));
    EXPECT_EQ(Answers(b, 2), (TTexts{"echo:2", "echo:4"}));
    EXPECT_EQ(slow.Mapper.AssociationCount(), 2u);
    EXPECT_EQ(slow.Mapper.WaitingDatagramCount(), 0u);
    // The address is kept: a new source goes out without another lookup.
    TUDPPeer d;
    EXPECT_EQ(slow.RoundTrip(d, "7"), "echo:7");
    EXPECT_EQ(resolver.Hosts(), (TTexts{"dest.test"}));
    EXPECT_EQ(resolver.LookupsOnTestThread(), 0);
}

TEST_F(UDPPortMapperHeldLookup, AFailureDropsTheWaitingDatagramsAndIsRetriedOnlyAfterTheInterval) {
    TMapperFixture& f = F;
    TFakeHostResolver& resolver = Resolver;
    resolver.Answer(0); // "host not found"
    f.Mapper.RetryIntervalMs = 3600000;
    TUDPPeer a;
    ASSERT_TRUE(f.SendHeld(a, "lost1"));
    ASSERT_TRUE(f.SendHeld(a, "lost2"));
    EXPECT_EQ(f.Mapper.WaitingDatagramCount(), 2u);
    resolver.Open();
    ASSERT_TRUE(RunLoopUntil([&] { return !f.Mapper.DestLookupPending(); }));
    EXPECT_EQ(f.Mapper.WaitingDatagramCount(), 0u);
    EXPECT_EQ(f.Mapper.DroppedDatagramCount(), 2u);
    uint32_t address = 0;
    EXPECT_FALSE(f.Mapper.DestAddress(address));

    // Within the retry interval a datagram is dropped at once, without a lookup.
    ASSERT_TRUE(f.SendHeld(a, "lost3"));
    EXPECT_EQ(f.Mapper.DroppedDatagramCount(), 3u);
    EXPECT_FALSE(f.Mapper.DestLookupPending());
    EXPECT_EQ(resolver.Hosts().size(), 1u);
    EXPECT_EQ(f.Mapper.AssociationCount(), 0u);

    // Once the interval is over (shortened to nothing here) the next datagram looks up again,
    // and this time the name resolves.
    f.Mapper.RetryIntervalMs = 0;
    resolver.Answer(Loopback());
    EXPECT_EQ(f.RoundTrip(a, "found"), "echo:found");
    EXPECT_EQ(resolver.Hosts(), (TTexts{"dest.test", "dest.test"}));
    EXPECT_EQ(f.Echo.Data, (TTexts{"found"}));
    EXPECT_EQ(resolver.LookupsOnTestThread(), 0);
}

TEST(UDPPortMapperDestination, AnOldAddressServesWhileItIsLookedUpAgain) {
    TFakeHostResolver resolver(Loopback());
    TMapperFixture f("dest.test");
    // Where the name will point next: the same port on another loopback address.
    TEchoServer moved("127.0.0.2", f.Echo.Port());
    TUDPPeer a, b, c;
    EXPECT_EQ(f.RoundTrip(a, "a"), "echo:a");

    // The address is due for a refresh; the new lookup is held, the old address serves a new
    // source at once.
    f.Mapper.RefreshIntervalMs = 0;
    resolver.Shut();
    resolver.Answer(htonl(0x7F000002u));
    EXPECT_EQ(f.RoundTrip(b, "b"), "echo:b");
    ASSERT_TRUE(resolver.WaitInside(1));
    EXPECT_TRUE(f.Mapper.DestLookupPending());
    EXPECT_EQ(f.Echo.Data, (TTexts{"a", "b"}));

    // The new address goes to new associations; an existing one keeps its own.
    f.Mapper.RefreshIntervalMs = 3600000;
    resolver.Open();
    ASSERT_TRUE(RunLoopUntil([&] { return !f.Mapper.DestLookupPending(); }));
    EXPECT_EQ(f.RoundTrip(c, "c"), "echo:c");
    EXPECT_EQ(moved.Data, (TTexts{"c"}));
    EXPECT_EQ(f.RoundTrip(a, "a2"), "echo:a2");
    EXPECT_EQ(f.Echo.Data, (TTexts{"a", "b", "a2"}));

    // A refresh that fails keeps the address in use.
    f.Mapper.RefreshIntervalMs = 0;
    resolver.Answer(0);
    TUDPPeer d, e;
    EXPECT_EQ(f.RoundTrip(d, "d"), "echo:d");
    ASSERT_TRUE(RunLoopUntil([&] { return !f.Mapper.DestLookupPending(); }));
    EXPECT_EQ(f.RoundTrip(e, "e"), "echo:e"); // no new lookup within the retry interval
    EXPECT_EQ(moved.Data, (TTexts{"c", "d", "e"}));
    EXPECT_EQ(resolver.Hosts().size(), 3u);
    EXPECT_EQ(resolver.LookupsOnTestThread(), 0);
}

TEST_F(UDPPortMapperHeldLookup, AnAnswerAlreadyDueIsLookedUpAgainOnlyForALaterSource) {
    // Every new association finds the address due; handing out the answer itself must still not
    // start a lookup (that would free the finished one inside its own completion).
    TMapperFixture& f = F;
    TFakeHostResolver& resolver = Resolver;
    f.Mapper.RefreshIntervalMs = 0;
    TUDPPeer a, b;
    ASSERT_TRUE(f.SendHeld(a, "a"));
    ASSERT_TRUE(f.SendHeld(b, "b"));
    resolver.Open();
    EXPECT_EQ(Answers(a, 1), TTexts{"echo:a"});
    EXPECT_EQ(Answers(b, 1), TTexts{"echo:b"});
    EXPECT_FALSE(f.Mapper.DestLookupPending());
    EXPECT_EQ(resolver.Hosts().size(), 1u);
    TUDPPeer c;
    EXPECT_EQ(f.RoundTrip(c, "c"), "echo:c");
    EXPECT_TRUE(RunLoopUntil([&] { return resolver.Hosts().size() == 2; }));
    EXPECT_EQ(resolver.LookupsOnTestThread(), 0);
}

TEST_F(UDPPortMapperHeldLookup, DeactivatingDropsTheLateAnswer) {
    TMapperFixture& f = F;
    TFakeHostResolver& resolver = Resolver;
    TUDPPeer a;
    ASSERT_TRUE(f.SendHeld(a, "x"));
    EXPECT_EQ(f.Mapper.WaitingDatagramCount(), 1u);
    f.Mapper.SetActive(false);
    EXPECT_FALSE(f.Mapper.DestLookupPending());
    EXPECT_EQ(f.Mapper.WaitingDatagramCount(), 0u);
    EXPECT_EQ(f.Mapper.DroppedDatagramCount(), 1u);

    // The old lookup finishes; its answer reaches nothing.
    resolver.Open();
    ASSERT_TRUE(resolver.WaitInside(0));
    RunLoopFor(100);
    uint32_t address = 0;
    EXPECT_FALSE(f.Mapper.DestAddress(address));
    EXPECT_TRUE(f.Echo.Data.empty());

    // Active again: a lookup of its own, and the mapping works.
    f.Activate();
    EXPECT_EQ(f.RoundTrip(a, "y"), "echo:y");
    EXPECT_EQ(resolver.Hosts().size(), 2u);

    // A mapper destroyed with its lookup held: the worker's late end touches nothing of it.
    resolver.Shut();
    auto mapper = std::make_unique<TUDPPortMapper>();
    mapper->DestHost = "gone.test";
    mapper->DestPort = "9";
    mapper->SetLocalHost("127.0.0.1");
    mapper->SetActive(true);
    ASSERT_TRUE(resolver.WaitInside(1));
    mapper.reset();
    resolver.Open();
    ASSERT_TRUE(resolver.WaitInside(0));
    RunLoopFor(100);
    EXPECT_EQ(resolver.LookupsOnTestThread(), 0);
}

TEST(UDPPortMapper, DatagramsFromOutsideTheAllowedClientsAreDroppedBeforeAnyAssociation) {
    TMapperFixture f;
    TClientAdmission gate;
    std::vector<std::string> lines;
    gate.OnRefusalLog = [&](const std::string& line) { lines.push_back(line); };
    gate.SetAllowed(TAllowedClients::Parse("127.0.0.2/32"));
    f.Mapper.Admission = &gate;

    TUDPPeer outsider; // 127.0.0.1
    for (int i = 0; i < 5; ++i)
        outsider.SendTo(f.MappedPort, "let me in");
    ASSERT_TRUE(RunLoopUntil([&] { return gate.RefusedCount() == 5; }));
    EXPECT_EQ(f.Mapper.AssociationCount(), 0u);
    EXPECT_TRUE(f.Echo.Data.empty());
    EXPECT_EQ(lines, TTexts{"Client 127.0.0.1 refused: not in AllowedClients"});

    // A peer on 127.0.0.2 is allowed and answered; the outsider still gets nothing.
    TSocketHandle insider = AllocateSocketHandle(TIPAddressFamily::iaIP4, TIPProtocol::ipUDP);
    SocketBind(insider, TSocketAddr::IP4(htonl(0x7F000002u), 0));
    std::string ping = "ping";
    SocketSendTo(insider, ping.data(), ping.size(), TSocketAddr::IP4(Loopback(), f.MappedPort));
    std::string answer;
    EXPECT_TRUE(RunLoopUntil([&] {
        if (SocketAvailable(insider) <= 0)
            return false;
        answer.resize(64);
        TSocketAddr from;
        bool truncated = false;
        long n = SocketRecvFrom(insider, answer.data(), answer.size(), &from, &truncated);
        answer.resize(n > 0 ? size_t(n) : 0);
        return true;
    }));
    SocketClose(insider);
    EXPECT_EQ(answer, "echo:ping");
    EXPECT_EQ(f.Mapper.AssociationCount(), 1u);
    std::string data;
    TSocketAddr from;
    EXPECT_FALSE(outsider.Receive(data, from));
    EXPECT_EQ(gate.RefusedCount(), 5u);
}

TEST(UDPPortMapperDestination, AnIPv6AddressIsUsedAsItStandsWithOrWithoutBrackets) {
    if (!HaveIPv6Loopback())
        GTEST_SKIP() << "the system has no IPv6 loopback (::1)";
    TFakeHostResolver resolver; // every lookup would fail
    for (const char* dest : {"::1", "[::1]"}) {
        TMapperFixture f(dest, "::1");
        EXPECT_FALSE(f.Mapper.DestLookupPending()) << dest;
        TUDPPeer a;
        TSocketAddr from;
        EXPECT_EQ(f.RoundTrip(a, "six", &from), "echo:six") << dest;
        EXPECT_EQ(from, LoopbackSource(f.MappedPort)) << dest;
        TSocketAddr address;
        ASSERT_TRUE(f.Mapper.DestAddress(address));
        EXPECT_EQ(SocketAddrStr(address), "::1");
    }
    EXPECT_TRUE(resolver.Hosts().empty());
}
