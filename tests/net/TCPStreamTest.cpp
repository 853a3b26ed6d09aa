// Socket streams over real loopback connections: blocking reads and writes with time-outs,
// read-ahead operations across split arrivals, and the two-way relay.
#include "net/TCPStream.h"

#include "support/NetTestSupport.h"

#include <gtest/gtest.h>

#include <atomic>
#include <future>
#include <thread>

using namespace corvan;
using namespace corvan::test;

namespace {

// The accepted end as a socket of this thread behind a stream; the client end blocking.
struct TStreamConnection {
    TSocketHandle Peer = INVALID_SOCKETHANDLE;
    std::unique_ptr<TSocketStream> Stream;
    explicit TStreamConnection(int timeout, int writeBufferLimit = -1, int readTrigger = -1) {
        auto [server, client] = ConnectedPair();
        Peer = client;
        auto* socket = new ATCPClientSocket(server);
        socket->SetReadEventTrigger(readTrigger);
        Stream = std::make_unique<TSocketStream>(socket, writeBufferLimit, timeout,
                                                 smBlockWaitMessage, true);
    }
    ~TStreamConnection() {
        Stream.reset();
        ClosePeer();
    }
    void ClosePeer() {
        if (Peer != INVALID_SOCKETHANDLE)
            SocketClose(Peer);
        Peer = INVALID_SOCKETHANDLE;
    }
    TSocketReader& Reader() { return Stream->Reader(); }
};

// Sends the pieces one after another, each after the stream's side has had time to see the
// previous one alone.
std::thread SendPieces(TSocketHandle peer, std::vector<std::string> pieces) {
    return std::thread([peer, pieces] {
        for (const auto& p : pieces) {
            SendAll(peer, p);
            std::this_thread::sleep_for(std::chrono::milliseconds(20)); // pacing, not waiting
        }
    });
}

} // namespace

TEST(SocketStreamRead, SilentPeerTimesOutOnTime) {
    TStreamConnection c(300);
    int64_t start = MonotonicMillis();
    EXPECT_THROW(c.Reader().ReadByte(), EReader);
    int64_t elapsed = MonotonicMillis() - start;
    EXPECT_GE(elapsed, 250);
    EXPECT_LT(elapsed, 2000);
    // Read does not fail: it answers short after the same wait.
    char buf[4];
    EXPECT_EQ(c.Reader().Read(buf, 4), 0);
    EXPECT_FALSE(c.Reader().IsEOF());
}

TEST(SocketStreamRead, ShortDataThenCloseRaisesButReadAnswersWhatCame) {
    {
        TStreamConnection c(5000);
        ASSERT_TRUE(SendAll(c.Peer, "abcd"));
        c.ClosePeer();
        EXPECT_THROW(c.Reader().ReadStr(10), EReader);
        // Nothing was taken by the failed read.
        EXPECT_EQ(c.Reader().ReadStr(4), "abcd");
        EXPECT_TRUE(c.Reader().IsEOF());
    }
    {
        TStreamConnection c(5000);
        ASSERT_TRUE(SendAll(c.Peer, "abcd"));
        c.ClosePeer();
        char buf[10];
        EXPECT_EQ(c.Reader().Read(buf, 10), 4);
        EXPECT_EQ(std::string(buf, 4), "abcd");
        EXPECT_EQ(c.Reader().GetPosition(), 4);
        EXPECT_TRUE(c.Reader().IsEOF());
        EXPECT_EQ(c.Reader().Read(buf, 10), 0);
    }
}

TEST(SocketStreamRead, SplitArrivalsAssembleForPeekMatchLocateAndLines) {
    TStreamConnection c(5000, -1, 4);
    std::thread sender =
        SendPieces(c.Peer, {"GET / HT", "TP/1.1\r", "\nHost: x\r\n", "\r\nBODY", "1234"});
    TSocketReader& r = c.Reader();
    EXPECT_TRUE(r.MatchStr("get ", false));
    EXPECT_FALSE(r.MatchStr("GET /x", true));
    EXPECT_EQ(r.LocateStr("\r\n\r\n", -1, true), 23);
    EXPECT_EQ(r.GetPosition(), 0);
    EXPECT_EQ(r.ExtractLine(4096, ltCRLF), "GET / HTTP/1.1");
    EXPECT_EQ(r.ExtractLine(4096, ltCRLF), "Host: x");
    EXPECT_EQ(r.ExtractLine(4096, ltCRLF), "");
    EXPECT_EQ(r.PeekStr(4), "BODY");
    // 8 bytes needed with a trigger of 4: the trigger is raised for the wait, then restored.
    EXPECT_EQ(r.ReadStr(8), "BODY1234");
    EXPECT_EQ(c.Stream->Socket()->ReadEventTrigger(), 4);
    EXPECT_EQ(r.GetPosition(), 27 + 8);
    sender.join();
}

TEST(SocketStreamRead, LocateStopsAtMaxOffsetAndSeekingBackIsRefused) {
    TStreamConnection c(2000);
    ASSERT_TRUE(SendAll(c.Peer, "0123456789abcdef"));
    TSocketReader& r = c.Reader();
    EXPECT_EQ(r.LocateStr("89", 8, true), 8);
    EXPECT_EQ(r.LocateStr("9a", 8, true), -1);
    EXPECT_EQ(r.LocateByte('f', -1), 15);
    r.SetPosition(10);
    EXPECT_EQ(r.ReadByte(), 'a');
    EXPECT_THROW(r.SetPosition(3), EReader);
    EXPECT_THROW(r.Skip(-1), EReader);
}

TEST(SocketStreamRead, QuitFromAnotherThreadEndsABlockingReadAtOnce) {
    TStreamConnection c(0); // no time-out: only the quit can end the wait
    TMailboxId window = c.Stream->Socket()->GetMailbox();
    std::thread poster([window] {
        std::this_thread::sleep_for(std::chrono::milliseconds(100)); // let the read block
        PostToMailbox(window, MSG_QUIT, 0, 0);
    });
    int64_t start = MonotonicMillis();
    EXPECT_THROW(c.Reader().ReadByte(), EReader);
    EXPECT_LT(MonotonicMillis() - start, 5000);
    EXPECT_TRUE(c.Reader().IsEOF());
    poster.join();
}

TEST(SocketStreamWrite, WaitsWhileThePeerReadsNothingThenProceeds) {
    TStreamConnection c(300, 16384);
    TSocketWriter& w = c.Stream->Writer();
    const std::string chunk = Pattern(65536);
    int64_t written = 0;
    int refused = 0;
    // The system's buffers fill first; then the send buffer reaches the limit and a write
    // waits out the time-out and takes nothing.
    for (int i = 0; i < 4000 && refused == 0; ++i) {
        int n = w.Write(chunk.data(), int(chunk.size()));
        if (n == 0)
            ++refused;
        else
            written += n;
    }
    ASSERT_EQ(refused, 1);
    EXPECT_GE(c.Stream->Socket()->SendBufferSize(), 16384);
    std::promise<std::string> received;
    auto result = received.get_future();
    std::thread peer([&] { received.set_value(RecvAll(c.Peer)); });
    c.Stream->Timeout = 10000;
    ASSERT_EQ(w.Write(chunk.data(), int(chunk.size())), int(chunk.size()));
    written += int64_t(chunk.size());
    EXPECT_EQ(w.GetPosition(), written);
    EXPECT_TRUE(c.Stream->Flush());
    c.Stream->Close();
    EXPECT_EQ(c.Stream->Socket()->State(), ssClosed);
    ASSERT_EQ(result.wait_for(std::chrono::seconds(30)), std::future_status::ready);
    std::string got = result.get();
    peer.join();
    ASSERT_EQ(int64_t(got.size()), written);
    for (size_t off = 0; off < got.size(); off += chunk.size())
        ASSERT_EQ(got.compare(off, chunk.size(), chunk), 0) << "at " << off;
}

TEST(SocketStreamWrite, PositionOnlyStaysAndSizeIsRefused) {
    TStreamConnection c(1000);
    c.Stream->Writer().WriteStr("xy");
    EXPECT_NO_THROW(c.Stream->Writer().SetPosition(2));
    EXPECT_THROW(c.Stream->Writer().SetPosition(0), EWriter);
    EXPECT_THROW(c.Stream->Writer().SetSize(0), EWriter);
    EXPECT_THROW(c.Stream->SetSize(0), ESocketStream);
    EXPECT_EQ(c.Stream->GetSize(), -1);
}

namespace {

// The payloads each peer sends through the relay.
constexpr size_t kRelaySize = 20 * 1024 * 1024;

uint64_t Checksum(const std::string& s) {
    uint64_t h = 1469598103934665603ull;
    for (unsigned char ch : s)
        h = (h ^ ch) * 1099511628211ull;
    return h;
}

} // namespace

TEST(RelayStreams, MovesTwentyMegabytesEachWayAtOnceAndEndsWhenOneSideCloses) {
    auto [serverA, peerA] = ConnectedPair();
    auto [serverB, peerB] = ConnectedPair();
    const std::string fromA = Pattern(kRelaySize);
    const std::string fromB = Pattern(kRelaySize + 7).substr(7);
    ASSERT_NE(Checksum(fromA), Checksum(fromB));

    // The relay thread owns both sockets, as a server client thread does.
    std::promise<int64_t> relayed;
    auto relayResult = relayed.get_future();
    std::thread relay = StartThread([&, a = serverA, b = serverB] {
        try {
            auto* sa = new ATCPClientSocket(a);
            auto* sb = new ATCPClientSocket(b);
            sa->SetReadEventTrigger(16384);
            sb->SetReadEventTrigger(16384);
            TSocketStream streamA(sa, 16384, 20000, smBlockWaitMessage, true);
            TSocketStream streamB(sb, 16384, 20000, smBlockWaitMessage, true);
            int64_t n = RelayStreams(&streamA, &streamB, 0);
            EXPECT_EQ(streamA.Mode, smBlockWaitMessage); // restored
            streamA.Close();
            streamB.Close();
            relayed.set_value(n);
        } catch (...) {
            relayed.set_exception(std::current_exception());
        }
    });
    std::thread sendA([&] { SendAll(peerA, fromA); });
    std::thread sendB([&] {
        SendAll(peerB, fromB);
        SocketShutdown(peerB, TShutdownHow::sdSend);
    });
    std::promise<std::string> atB;
    auto atBResult = atB.get_future();
    std::thread recvB([&] { atB.set_value(RecvAll(peerB)); });
    std::string atA = ReceiveExactly(peerA, kRelaySize);
    sendA.join();
    SocketClose(peerA); // what A sent must still reach B; B's end then ends the relay

    bool finished = relayResult.wait_for(std::chrono::seconds(90)) == std::future_status::ready &&
                    atBResult.wait_for(std::chrono::seconds(30)) == std::future_status::ready;
    if (!finished)
        SocketShutdown(peerB, TShutdownHow::sdBoth); // unblock the peers before failing
    relay.join();
    sendB.join();
    recvB.join();
    SocketClose(peerB);
    ASSERT_TRUE(finished);
    std::string gotB = atBResult.get();
    EXPECT_EQ(relayResult.get(), int64_t(2 * kRelaySize));
    EXPECT_EQ(atA.size(), kRelaySize);
    EXPECT_EQ(gotB.size(), kRelaySize);
    EXPECT_EQ(Checksum(atA), Checksum(fromB));
    EXPECT_EQ(Checksum(gotB), Checksum(fromA));
}

TEST(RelayStreams, AFastSenderFacingAStalledReceiverIsHeldBackNotBuffered) {
    // Streams without limits (read everything, writes never wait), as a port mapping has: the
    // relay itself must keep what it holds for a receiver that reads nothing small.
    constexpr int kBlock = 65536;
    const std::string payload = Pattern(48 * 1024 * 1024);
    auto [serverA, peerA] = ConnectedPair();
    auto [serverB, peerB] = ConnectedPair();
    std::atomic<int64_t> largestRead{0}, largestUnsent{0};
    std::promise<int64_t> relayed;
    auto relayResult = relayed.get_future();
    std::thread relay = StartThread([&, a = serverA, b = serverB] {
        try {
            TSocketStream streamA(new ATCPClientSocket(a), -1, 20000, smBlockWaitMessage, true);
            TSocketStream streamB(new ATCPClientSocket(b), -1, 20000, smBlockWaitMessage, true);
            streamA.OnCopyProgress = [&](AStream&, AStream*, AStream*, int64_t, bool&) {
                largestRead = std::max<int64_t>(largestRead, streamA.Socket()->BufferUsed());
                largestUnsent =
                    std::max<int64_t>(largestUnsent, streamB.Socket()->SendBufferSize());
            };
            int64_t n = RelayStreams(&streamA, &streamB, kBlock);
            EXPECT_EQ(streamA.Socket()->ReadEventTrigger(), -1); // restored
            streamB.Close();
            relayed.set_value(n);
        } catch (...) {
            relayed.set_exception(std::current_exception());
        }
    });
    std::thread sendA([&] {
        SendAll(peerA, payload);
        SocketShutdown(peerA, TShutdownHow::sdSend);
    });
    // The receiver stalls while the sender pushes as fast as it can.
    std::this_thread::sleep_for(std::chrono::milliseconds(500)); // pacing, not waiting
    std::promise<std::string> atB;
    auto atBResult = atB.get_future();
    std::thread recvB([&] {
        atB.set_value(RecvAll(peerB));
        SocketShutdown(peerB, TShutdownHow::sdSend); // nothing to answer
    });
    bool finished = atBResult.wait_for(std::chrono::seconds(90)) == std::future_status::ready &&
                    relayResult.wait_for(std::chrono::seconds(30)) == std::future_status::ready;
    if (!finished) {
        SocketShutdown(peerA, TShutdownHow::sdBoth);
        SocketShutdown(peerB, TShutdownHow::sdBoth);
    }
    sendA.join();
    recvB.join();
    relay.join();
    SocketClose(peerA);
    SocketClose(peerB);
    ASSERT_TRUE(finished);
    std::string got = atBResult.get();
    EXPECT_EQ(relayResult.get(), int64_t(payload.size()));
    ASSERT_EQ(got.size(), payload.size());
    EXPECT_EQ(Checksum(got), Checksum(payload));
    EXPECT_LE(largestRead, kReadEventLimit + kBlock);
    EXPECT_LT(largestUnsent, 2 * kBlock);
}

TEST(RelayStreams, MissingStreamIsRefusedAndAbortRaises) {
    EXPECT_THROW(RelayStreams(nullptr, nullptr), EStream);
    TStreamConnection a(2000), b(2000);
    ASSERT_TRUE(SendAll(a.Peer, "payload"));
    a.Stream->OnCopyProgress = [](AStream&, AStream*, AStream*, int64_t copied, bool& abort) {
        abort = copied >= 7;
    };
    a.Stream->Mode = smBlockProcessMessages;
    EXPECT_THROW(RelayStreams(a.Stream.get(), b.Stream.get()), EStreamOperationAborted);
    EXPECT_EQ(a.Stream->Mode, smBlockProcessMessages);
    b.Stream->Flush();
    EXPECT_EQ(ReceiveExactly(b.Peer, 7), "payload");
}
