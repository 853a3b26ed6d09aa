// The end of a relay: one side has closed while bytes it sent are still buffered on this side,
// and the other side's send buffer holds a block or more for a receiver that is behind.
#include "net/TCPStream.h"

#include "support/NetTestSupport.h"

#include <gtest/gtest.h>

#include <atomic>
#include <future>
#include <thread>

using namespace corvan;
using namespace corvan::test;

namespace {

constexpr int kBlock = 65536;
// More than loopback's kernel buffers take, so that most of it stays in the send buffer.
constexpr size_t kBacklog = 32 * 1024 * 1024;

// Two accepted connections owned by a relay thread. The thread prepares both sockets with
// prepare() (on its own loop), then relays; the test thread plays both peers.
struct TRelayRun {
    TSocketHandle PeerA = INVALID_SOCKETHANDLE, PeerB = INVALID_SOCKETHANDLE;
    std::atomic<ATCPClientSocket*> SocketA{nullptr}, SocketB{nullptr};
    std::promise<void> Prepared;
    std::promise<int64_t> Relayed;
    std::thread Thread;

    void Start(std::function<void(ATCPClientSocket&, ATCPClientSocket&)> prepare) {
        auto [serverA, peerA] = ConnectedPair();
        auto [serverB, peerB] = ConnectedPair();
        PeerA = peerA;
        PeerB = peerB;
        SetReceiveTimeout(PeerA, 40);
        SetReceiveTimeout(PeerB, 40);
        Thread = StartThread([this, prepare, a = serverA, b = serverB] {
            try {
                auto* sa = new ATCPClientSocket(a);
                auto* sb = new ATCPClientSocket(b);
                TSocketStream streamA(sa, -1, 20000, smBlockWaitMessage, true);
                TSocketStream streamB(sb, -1, 20000, smBlockWaitMessage, true);
                SocketA = sa;
                SocketB = sb;
                prepare(*sa, *sb);
                Prepared.set_value();
                int64_t n = RelayStreams(&streamA, &streamB, kBlock);
                streamA.Close();
                streamB.Close();
                SocketA = nullptr;
                SocketB = nullptr;
                Relayed.set_value(n);
            } catch (...) {
                SocketA = nullptr;
                SocketB = nullptr;
                Relayed.set_exception(std::current_exception());
            }
        });
    }
    // Waits for the relay to end; a relay that does not end in time is terminated from here
    // (so the test ends) and false is answered.
    bool Finish(int seconds) {
        auto result = Relayed.get_future();
        bool ended = result.wait_for(std::chrono::seconds(seconds)) == std::future_status::ready;
        if (!ended) {
            if (ATCPClientSocket* s = SocketA.load())
                s->Terminate();
            if (ATCPClientSocket* s = SocketB.load())
                s->Terminate();
            SocketShutdown(PeerA, TShutdownHow::sdBoth);
            SocketShutdown(PeerB, TShutdownHow::sdBoth);
        }
        Thread.join();
        if (ended)
            result.get();
        return ended;
    }
    ~TRelayRun() {
        if (Thread.joinable())
            Finish(0);
        SocketClose(PeerA);
        SocketClose(PeerB);
    }
};

// A's peer has sent tail and closed; A has taken the tail in and is closed. B's peer reads
// nothing yet, so B's send buffer holds far more than a block.
void CloseAWithTailAndFillB(ATCPClientSocket& a, ATCPClientSocket& b, const std::string& backlog,
                            size_t tailSize) {
    b.Write(backlog.data(), static_cast<long>(backlog.size()));
    ASSERT_TRUE(RunLoopUntil([&] { return a.State() == ssClosed; }));
    ASSERT_EQ(a.BufferUsed(), tailSize);
    ASSERT_GE(b.SendBufferSize(), kBlock);
}

} // namespace

namespace {

// A's peer sends a tail and closes while B's send buffer holds far more than a block; with
// lateAnswer, B's peer also has something for A, which can no longer take it. B's peer then
// catches up: every byte, the tail last, must reach it and the relay must end.
void ClosedSideHandsOnItsTail(bool lateAnswer) {
    const std::string backlog = Pattern(kBacklog);
    const std::string tail = "the last bytes A sent before it closed";
    TRelayRun run;
    run.Start([&](ATCPClientSocket& a, ATCPClientSocket& b) {
        ASSERT_TRUE(SendAll(run.PeerA, tail));
        SocketShutdown(run.PeerA, TShutdownHow::sdSend);
        if (lateAnswer) {
            ASSERT_TRUE(SendAll(run.PeerB, "late answer"));
        }
        CloseAWithTailAndFillB(a, b, backlog, tail.size());
    });
    run.Prepared.get_future().wait();
    std::promise<std::string> atB;
    auto atBResult = atB.get_future();
    std::thread recvB([&] { atB.set_value(RecvAll(run.PeerB)); });
    bool ended = run.Finish(30);
    recvB.join();
    EXPECT_TRUE(ended) << "the relay never ended (A closed, B's send buffer above a block)";
    std::string got = atBResult.get();
    EXPECT_EQ(got.size(), backlog.size() + tail.size()) << "A's last bytes were dropped";
    EXPECT_TRUE(got == backlog + tail);
}

} // namespace

TEST(RelayEnd, ClosedSideWithBytesLeftFacingAFullSendBufferDeliversThemAndEnds) {
    ClosedSideHandsOnItsTail(false);
}

TEST(RelayEnd, ClosedSideWithBytesLeftLosesNoneWhenTheOtherSideHasBytesForIt) {
    ClosedSideHandsOnItsTail(true);
}

// Not from the block limit, but the same end: B's destination has answered and closed while A
// still sends. The answer B holds must still reach A.
TEST(RelayEnd, AnswerBufferedOnAClosedSideReachesTheOtherSideThatStillSends) {
    const std::string answer = "HTTP/1.1 413 Payload Too Large\r\n\r\n";
    TRelayRun run;
    run.Start([&](ATCPClientSocket& a, ATCPClientSocket& b) {
        (void)a;
        ASSERT_TRUE(SendAll(run.PeerB, answer));
        SocketShutdown(run.PeerB, TShutdownHow::sdSend);
        ASSERT_TRUE(RunLoopUntil([&] { return b.State() == ssClosed; }));
        ASSERT_EQ(b.BufferUsed(), answer.size());
        // A's peer goes on uploading.
        ASSERT_TRUE(SendAll(run.PeerA, "more of the upload"));
        ASSERT_TRUE(RunLoopUntil([&] { return a.BufferUsed() > 0; }));
    });
    run.Prepared.get_future().wait();
    bool ended = run.Finish(30);
    ASSERT_TRUE(ended);
    SocketShutdown(run.PeerA, TShutdownHow::sdSend);
    EXPECT_EQ(RecvAll(run.PeerA), answer);
}

// The same end reached by traffic alone, as a port mapping (both triggers -1, writes never wait)
// has it: A's peer uploads and closes, B's peer reads more slowly, so A's last bytes and its end
// often come in while B's send buffer holds a block (a race: not every run gets there).
TEST(RelayEnd, UploadToASlowerReaderThenCloseArrivesWholeAndEnds) {
    const std::string upload = Pattern(16 * 1024 * 1024 + 5000);
    TRelayRun run;
    run.Start([&](ATCPClientSocket&, ATCPClientSocket& b) {
        // A narrow path to B's reader, as a slow network has: B's side fills at once.
        int size = 65536;
        ::setsockopt(b.SocketHandle(), SOL_SOCKET, SO_SNDBUF, &size, sizeof size);
        ::setsockopt(run.PeerB, SOL_SOCKET, SO_RCVBUF, &size, sizeof size);
    });
    run.Prepared.get_future().wait();
    std::thread sendA([&] {
        SendAll(run.PeerA, upload);
        SocketShutdown(run.PeerA, TShutdownHow::sdSend);
    });
    std::promise<std::string> atB;
    auto atBResult = atB.get_future();
    std::thread recvB([&] {
        std::string r;
        char buf[16384];
        for (;;) {
            long n = SocketRecv(run.PeerB, buf, sizeof buf);
            if (n <= 0)
                break;
            r.append(buf, static_cast<size_t>(n));
            std::this_thread::sleep_for(std::chrono::milliseconds(1)); // a slower reader
        }
        atB.set_value(r);
    });
    bool ended = run.Finish(60);
    sendA.join();
    recvB.join();
    EXPECT_TRUE(ended) << "the relay never ended";
    std::string got = atBResult.get();
    EXPECT_EQ(got.size(), upload.size());
    EXPECT_TRUE(got == upload);
}
