// Datagram sockets over real loopback sockets.
#include "net/SocketsUDP.h"

#include "support/UDPPeer.h"

#include <gtest/gtest.h>

using namespace corvan;
using namespace corvan::test;

namespace {

// The port a socket is bound to.
uint16_t BoundPort(const ASocket& socket) {
    TSocketAddr local;
    SocketGetSockName(socket.SocketHandle(), local);
    return local.Port;
}

// A UDP socket of this thread bound to 127.0.0.1 on a system-assigned port.
struct TBoundUDP : AUDPSocket {
    TBoundUDP() {
        SetLocalHost("127.0.0.1");
        EnsureBound();
    }
    uint16_t Port() const { return BoundPort(*this); }
};

} // namespace

TEST(UDPReceive, OversizedDatagramIsCutToTheDefaultBufferWithTheErrorRecorded) {
    TBoundUDP socket;
    EXPECT_EQ(socket.MaxPacketSize, 4096);
    socket.BufferPackets = false;
    TUDPPeer peer;
    std::string sent = Pattern(5000);
    peer.SendTo(socket.Port(), sent);
    std::string data;
    TSocketAddr from;
    ASSERT_TRUE(socket.ReadPacketStr(data, from));
    EXPECT_EQ(data, sent.substr(0, 4096));
    EXPECT_EQ(socket.ErrorCode(), WSAEMSGSIZE);
    EXPECT_EQ(socket.ErrorMessage(), "Packet truncated: Buffer too small");
    EXPECT_EQ(from.Port, peer.Port);
    // The next read clears the error; nothing more waits.
    EXPECT_FALSE(socket.ReadPacketStr(data, from));
    EXPECT_EQ(socket.ErrorCode(), 0);
}

TEST(UDPReceive, QueuedDatagramsArriveOldestFirstWithTheirSenders) {
    TBoundUDP socket;
    int available = 0;
    socket.OnPacketAvailable = [&](AUDPSocket*) { ++available; };
    TUDPPeer a, b;
    a.SendTo(socket.Port(), "one");
    b.SendTo(socket.Port(), Pattern(5000));
    a.SendTo(socket.Port(), "three");
    ASSERT_TRUE(RunLoopUntil([&] { return socket.QueuedPacketCount() == 3; }));
    EXPECT_GE(available, 1);
    std::string data;
    TSocketAddr from;
    ASSERT_TRUE(socket.ReadPacketStr(data, from));
    EXPECT_EQ(data, "one");
    EXPECT_EQ(from.Port, a.Port);
    EXPECT_EQ(from.AddrIP4(), Loopback());
    char buf[10];
    int len = 0;
    // A read into a small buffer takes the whole queued datagram; its rest is lost.
    ASSERT_TRUE(socket.ReadPacket(buf, sizeof buf, from, len));
    EXPECT_EQ(len, 10);
    EXPECT_EQ(std::string(buf, 10), Pattern(10));
    EXPECT_EQ(from.Port, b.Port);
    ASSERT_TRUE(socket.ReadPacketStr(data, from));
    EXPECT_EQ(data, "three");
    EXPECT_FALSE(socket.ReadPacketStr(data, from));
}

TEST(UDPReceive, MaxBufferedPacketsZeroQueuesNothingAndHandlersReadDirectly) {
    TBoundUDP socket;
    socket.MaxBufferedPackets = 0;
    std::vector<std::string> got;
    socket.OnPacketAvailable = [&](AUDPSocket* s) {
        std::string data;
        TSocketAddr from;
        while (s->ReadPacketStr(data, from))
            got.push_back(data);
    };
    TUDPPeer peer;
    for (std::string s : {"a", "bb", "ccc"})
        peer.SendTo(socket.Port(), s);
    ASSERT_TRUE(RunLoopUntil([&] { return got.size() == 3; }));
    EXPECT_EQ(got, (std::vector<std::string>{"a", "bb", "ccc"}));
    EXPECT_EQ(socket.QueuedPacketCount(), 0u);
    // Later datagrams notify again.
    peer.SendTo(socket.Port(), "dddd");
    ASSERT_TRUE(RunLoopUntil([&] { return got.size() == 4; }));
    EXPECT_EQ(socket.QueuedPacketCount(), 0u);
}

TEST(UDPReceive, FullQueueHoldsTheRestInTheSystemUntilDrained) {
    TBoundUDP socket;
    socket.MaxBufferedPackets = 2;
    TUDPPeer peer;
    for (int i = 0; i < 5; ++i)
        peer.SendTo(socket.Port(), std::to_string(i));
    ASSERT_TRUE(RunLoopUntil([&] { return socket.QueuedPacketCount() == 2; }));
    RunLoopFor(50);
    EXPECT_EQ(socket.QueuedPacketCount(), 2u);
    std::vector<std::string> got;
    ASSERT_TRUE(RunLoopUntil([&] {
        std::string data;
        TSocketAddr from;
        if (socket.QueuedPacketCount() > 0 && socket.ReadPacketStr(data, from))
            got.push_back(data);
        return got.size() == 5;
    }));
    EXPECT_EQ(got, (std::vector<std::string>{"0", "1", "2", "3", "4"}));
}

TEST(UDPSend, DatagramsReachThePeerAndChangingLocalPortRebindsOnTheNextSend) {
    TBoundUDP socket;
    TUDPPeer peer;
    uint16_t first = socket.Port();
    ASSERT_TRUE(RunLoopUntil([&] { return socket.WriteReady(); }));
    EXPECT_TRUE(socket.SendTo(Loopback(), peer.Port, "hello"));
    std::string data;
    TSocketAddr from;
    ASSERT_TRUE(peer.Receive(data, from));
    EXPECT_EQ(data, "hello");
    EXPECT_EQ(from.Port, first);

    uint16_t second;
    {
        TUDPPeer spare; // a port that is free once this closes
        second = spare.Port;
    }
    socket.SetLocalPort(std::to_string(second));
    EXPECT_FALSE(socket.Bound());
    socket.SendTo(Loopback(), peer.Port, "again");
    EXPECT_TRUE(socket.Bound());
    EXPECT_EQ(socket.Port(), second);
    ASSERT_TRUE(RunLoopUntil([&] { return peer.Receive(data, from); }));
    EXPECT_EQ(data, "again");
    EXPECT_EQ(from.Port, second);
    // Datagrams to the new port are received.
    peer.SendTo(second, "back");
    ASSERT_TRUE(RunLoopUntil([&] { return socket.QueuedPacketCount() == 1; }));
}

TEST(UDPSend, SendsBeforeTheSocketIsWritableAreQueuedAndLeaveInOrder) {
    AUDPSocket socket;
    TUDPPeer peer;
    // Not yet writable: the first send binds and queues.
    EXPECT_FALSE(socket.SendTo(Loopback(), peer.Port, "1"));
    EXPECT_FALSE(socket.SendTo(Loopback(), peer.Port, "22"));
    EXPECT_EQ(socket.SendBufferSize(), 3);
    ASSERT_TRUE(RunLoopUntil([&] { return socket.SendBufferSize() == 0; }));
    std::string data;
    TSocketAddr from;
    ASSERT_TRUE(peer.Receive(data, from));
    EXPECT_EQ(data, "1");
    ASSERT_TRUE(peer.Receive(data, from));
    EXPECT_EQ(data, "22");
}

TEST(UDPSend, RefusedDatagramsAreReportedNotQueuedAndRaiseOnlyWithoutTheQueue) {
    TBoundUDP socket;
    ASSERT_TRUE(RunLoopUntil([&] { return socket.WriteReady(); }));
    std::vector<std::pair<int, std::string>> errors;
    socket.OnSendError = [&](AUDPSocket*, int error, const TSocketAddr& to, const std::string& d) {
        errors.emplace_back(error, d);
        EXPECT_EQ(to.Port, 0);
    };
    // Port 0 is no destination: the system refuses it for good.
    EXPECT_FALSE(socket.SendTo(Loopback(), 0, "lost"));
    ASSERT_EQ(errors.size(), 1u);
    EXPECT_EQ(errors[0], std::make_pair(int(WSAEINVAL), std::string("lost")));
    EXPECT_EQ(socket.SendBufferSize(), 0);

    socket.UseSendBuffer = false;
    try {
        socket.SendTo(Loopback(), 0, "again");
        FAIL() << "no exception";
    } catch (const ESocket& e) {
        EXPECT_EQ(e.Message(), "Send failed: " + SocketErrorMessage(WSAEINVAL));
        EXPECT_EQ(e.ErrorCode, WSAEINVAL);
    }
    EXPECT_EQ(errors.size(), 2u);
}

TEST(UDPSocket, OnlyUDPAndActivationBindsAndCloses) {
    AUDPSocket socket;
    EXPECT_EQ(socket.Protocol(), TIPProtocol::ipUDP);
    try {
        socket.SetProtocol(TIPProtocol::ipTCP);
        FAIL() << "no exception";
    } catch (const ESocket& e) {
        EXPECT_EQ(e.Message(), "AUDPSocket.SetProtocol: Only UDP allowed here");
        EXPECT_EQ(e.ErrorCode, SOCKET_ERR_PROTOCOL);
    }
    socket.SetLoading(true);
    socket.SetActive(true);
    EXPECT_FALSE(socket.Bound());
    socket.SetLoading(false);
    EXPECT_TRUE(socket.Bound());
    socket.SetActive(false);
    EXPECT_FALSE(socket.Bound());
    EXPECT_EQ(socket.SocketHandle(), INVALID_SOCKETHANDLE);
    // A port in use fails to bind.
    TUDPPeer peer;
    socket.SetLocalHost("127.0.0.1");
    socket.SetLocalPort(std::to_string(peer.Port));
    try {
        socket.SetActive(true);
        FAIL() << "no exception";
    } catch (const ESocket& e) {
        EXPECT_EQ(e.Message(), "Socket bind failed: " + SocketErrorMessage(WSAEADDRINUSE));
    }
    EXPECT_FALSE(socket.Bound());
}

TEST(UDPClientSocket, UnresolvableHostRaisesHostNotResolvedWithoutTheHostSuffix) {
    AUDPClientSocket socket;
    socket.SetHost("no-such-host.invalid");
    socket.SetPort("53");
    try {
        socket.Send("query");
        FAIL() << "no exception";
    } catch (const ESocket& e) {
        EXPECT_EQ(e.Message(), "Host not resolved");
        EXPECT_EQ(e.ErrorCode, SOCKET_ERR_NOT_RESOLVED);
    }
    EXPECT_EQ(socket.ErrorCode(), SOCKET_ERR_NOT_RESOLVED);
    EXPECT_EQ(socket.State(), ssClosed);
    // Other failures carry the peer.
    socket.SetPort("no-such-service-name");
    try {
        socket.Send("query");
        FAIL() << "no exception";
    } catch (const ESocket& e) {
        EXPECT_NE(e.Message().find(": Host no-such-host.invalid:no-such-service-name"),
                  std::string::npos)
            << e.Message();
    }
}

TEST(UDPClientSocket, ResolvesOnceExchangesDatagramsAndKeepsItsPeerWhileResolved) {
    TUDPPeer peer;
    AUDPClientSocket socket;
    socket.SetHost("127.0.0.1");
    socket.SetPort(std::to_string(peer.Port));
    socket.Send("ping");
    EXPECT_EQ(socket.State(), ssResolved);
    EXPECT_EQ(socket.ResolvedPort(), peer.Port);
    ASSERT_TRUE(RunLoopUntil([&] { return socket.SendBufferSize() == 0; }));
    std::string data;
    TSocketAddr from;
    ASSERT_TRUE(peer.Receive(data, from));
    EXPECT_EQ(data, "ping");
    peer.SendTo(from.Port, "pong");
    ASSERT_TRUE(RunLoopUntil([&] { return socket.QueuedPacketCount() == 1; }));
    ASSERT_TRUE(socket.ReadPacketStr(data, from));
    EXPECT_EQ(data, "pong");
    EXPECT_EQ(from.Port, peer.Port);
    try {
        socket.SetHost("localhost");
        FAIL() << "no exception";
    } catch (const ESocket& e) {
        EXPECT_EQ(e.Message().rfind("Operation only allowed on closed socket: SetHost", 0), 0u)
            << e.Message();
    }
}

TEST(UDPBatch, ReadsTheQueuedFirstThenTheSystemsUpToItsCapacityWithTheirSenders) {
    TBoundUDP socket;
    TUDPPeer a, b;
    a.SendTo(socket.Port(), "queued");
    ASSERT_TRUE(RunLoopUntil([&] { return socket.QueuedPacketCount() == 1; }));
    // From here on the loop does not run: the rest waits in the system.
    b.SendTo(socket.Port(), "123456789"); // one byte more than a buffer holds
    for (std::string s : {"two", "three", "four"})
        a.SendTo(socket.Port(), s);
    b.SendTo(socket.Port(), "five");
    TUDPPacketBatch batch(4, 8);
    auto read = [&] {
        std::vector<std::pair<std::string, uint16_t>> got;
        socket.RecvPackets(batch);
        for (size_t i = 0; i < batch.Count(); ++i)
            got.emplace_back(batch.Data(i), batch.Sender(i).Port);
        return got;
    };
    using TGot = std::vector<std::pair<std::string, uint16_t>>;
    EXPECT_EQ(read(), (TGot{{"queued", a.Port}, {"12345678", b.Port}, {"two", a.Port},
                            {"three", a.Port}}));
    EXPECT_EQ(socket.QueuedPacketCount(), 0u);
    EXPECT_EQ(socket.ErrorCode(), WSAEMSGSIZE);
    EXPECT_EQ(read(), (TGot{{"four", a.Port}, {"five", b.Port}}));
    EXPECT_EQ(socket.ErrorCode(), 0);
    EXPECT_EQ(read(), TGot{});
    // More than one call takes is cut to it.
    EXPECT_EQ(TUDPPacketBatch(kSocketBatchMax + 1, 1).Capacity(), kSocketBatchMax);
}

TEST(UDPBatch, SendsLeaveInOrderToTheirDestinationsRefusedOnesReportedUnwritableOnesQueued) {
    TBoundUDP socket;
    ASSERT_TRUE(RunLoopUntil([&] { return socket.WriteReady(); }));
    std::vector<std::string> refused;
    socket.OnSendError = [&](AUDPSocket*, int error, const TSocketAddr&, const std::string& d) {
        EXPECT_EQ(error, WSAEINVAL);
        refused.push_back(d);
    };
    TUDPPeer a, b;
    auto to = [](uint16_t port, std::string data) {
        return TSendBufferItem{std::move(data), 0, TSocketAddr::IP4(Loopback(), port)};
    };
    // Port 0 is no destination: the system refuses it in the middle of the batch.
    std::vector<TSendBufferItem> items = {to(a.Port, "1"), to(b.Port, "2"), to(0, "lost"),
                                          to(a.Port, "3"), to(b.Port, "4")};
    auto received = [](TUDPPeer& peer) {
        std::vector<std::string> got;
        std::string data;
        TSocketAddr from;
        while (peer.Receive(data, from))
            got.push_back(data);
        return got;
    };
    socket.SendPackets(items);
    EXPECT_EQ(refused, std::vector<std::string>{"lost"});
    EXPECT_EQ(received(a), (std::vector<std::string>{"1", "3"}));
    EXPECT_EQ(received(b), (std::vector<std::string>{"2", "4"}));
    EXPECT_EQ(socket.TotalBytesSent(), 4);

    // A socket not yet writable queues the batch, which leaves in order.
    AUDPSocket fresh;
    items.erase(items.begin() + 2);
    fresh.SendPackets(items);
    EXPECT_EQ(fresh.SendBufferSize(), 4);
    ASSERT_TRUE(RunLoopUntil([&] { return fresh.SendBufferSize() == 0; }));
    EXPECT_EQ(received(a), (std::vector<std::string>{"1", "3"}));
    EXPECT_EQ(received(b), (std::vector<std::string>{"2", "4"}));
}
