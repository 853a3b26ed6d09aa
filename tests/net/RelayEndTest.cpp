// The end of a relay: one side has closed while bytes it sent are still buffered on this side,
// and the other side's send buffer holds a block or more for a receiver that is behind.
#include "net/TCPStream.h"

#include "support/NetTestSupport.h"
#include "support/RelayHarness.h"

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

// The relay thread prepares both sockets with prepare() (on its own loop), says so through
// Prepared, then relays; Count is what the relay answered once Finish has seen it end.
struct TRelayRun : TRelayHarness<int64_t> {
    std::promise<void> Prepared;
    int64_t Count = -1;

    TRelayRun() {
        Timeout = 20000;
        PeerReceiveTimeout = 40;
    }
    void Start(std::function<void(ATCPClientSocket&, ATCPClientSocket&)> prepare) {
        TRelayHarness::Start([this, prepare](TSocketStream& a, TSocketStream& b) {
            prepare(*a.Socket(), *b.Socket());
            Prepared.set_value();
            return RelayStreams(&a, &b, kBlock);
        });
    }
    bool Finish(int seconds) { return TRelayHarness::Finish(seconds, &Count); }
    // The relay thread uses Prepared: it ends before this part goes.
    ~TRelayRun() {
        if (Thread.joinable())
            TRelayHarness::Finish(1);
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
        SocketShutdown(run.PeerB, TShutdownHow::sdSend); // B's peer has nothing to answer
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

// --- half-close ---------------------------------------------------------------------------------

namespace {

const std::string kRequest = "a request whose end is the end of the client's data";

// A's peer sends the request and shuts down only its sending side, as `nc -N` does.
void SendRequestAndHalfClose(TRelayRun& run) {
    ASSERT_TRUE(SendAll(run.PeerA, kRequest));
    SocketShutdown(run.PeerA, TShutdownHow::sdSend);
}

} // namespace

// B's peer reads the request to its end, then answers 1 MB and closes: the answer arrives
// whole at A's peer, and the relay ends once both ways are done.
TEST(RelayHalfClose, RequestEndedByShutdownGetsItsWholeAnswerThenTheRelayEnds) {
    const std::string answer = Pattern(1024 * 1024);
    TRelayRun run;
    run.Start([](ATCPClientSocket&, ATCPClientSocket&) {});
    run.Prepared.get_future().wait();
    std::promise<std::string> atB;
    auto atBResult = atB.get_future();
    std::thread peerB([&] {
        atB.set_value(RecvAll(run.PeerB)); // ends only with the carried end of the request
        SendAll(run.PeerB, answer);
        SocketShutdown(run.PeerB, TShutdownHow::sdSend);
    });
    SendRequestAndHalfClose(run);
    std::string atA = RecvAll(run.PeerA);
    peerB.join();
    bool ended = run.Finish(10);
    EXPECT_EQ(atBResult.get(), kRequest);
    EXPECT_EQ(atA.size(), answer.size());
    EXPECT_TRUE(atA == answer) << "the answer to a half-closed request was cut";
    ASSERT_TRUE(ended) << "the relay did not end when both ways were done";
    EXPECT_EQ(run.Count, int64_t(kRequest.size() + answer.size()));
}

// Half-closed, the relay still ends without the answer's end: when the answering side resets,
// when the side that ended its request goes away while the answer is sent, and when nothing
// moves for the idle limit (the streams' Timeout).
TEST(RelayHalfClose, ResetDepartedPeerOrSilenceStillEndsAHalfClosedRelay) {
    {
        SCOPED_TRACE("answering side resets");
        TRelayRun run;
        run.Start([](ATCPClientSocket&, ATCPClientSocket&) {});
        run.Prepared.get_future().wait();
        SendRequestAndHalfClose(run);
        EXPECT_EQ(RecvAll(run.PeerB), kRequest);
        linger reset{1, 0};
        ::setsockopt(run.PeerB, SOL_SOCKET, SO_LINGER, &reset, sizeof reset);
        SocketClose(run.PeerB);
        run.PeerB = INVALID_SOCKETHANDLE;
        EXPECT_TRUE(run.Finish(10));
        EXPECT_EQ(RecvAll(run.PeerA), "");
    }
    {
        SCOPED_TRACE("requesting side goes away during the answer");
        TRelayRun run;
        run.Start([](ATCPClientSocket&, ATCPClientSocket&) {});
        run.Prepared.get_future().wait();
        SendRequestAndHalfClose(run);
        EXPECT_EQ(RecvAll(run.PeerB), kRequest);
        SocketClose(run.PeerA); // nobody reads the answer: sends to it fail
        run.PeerA = INVALID_SOCKETHANDLE;
        std::thread answer([&] { SendAll(run.PeerB, Pattern(8 * 1024 * 1024)); });
        EXPECT_TRUE(run.Finish(10)) << "a failed send to a half-closed side did not end it";
        SocketShutdown(run.PeerB, TShutdownHow::sdBoth);
        answer.join();
    }
    {
        SCOPED_TRACE("no answer within the idle limit");
        TRelayRun run;
        run.Timeout = 300;
        run.Start([](ATCPClientSocket&, ATCPClientSocket&) {});
        run.Prepared.get_future().wait();
        int64_t start = MonotonicMillis();
        SendRequestAndHalfClose(run);
        EXPECT_EQ(RecvAll(run.PeerB), kRequest); // the end was carried at once
        EXPECT_TRUE(run.Finish(10));
        EXPECT_GE(MonotonicMillis() - start, 250);
    }
}

// --- small messages ---------------------------------------------------------------------------

// A client that sends a request in two small writes without delay (TCP_NODELAY) and a server
// that answers only the whole request, in turns: through the relay each turn must be as quick
// as directly. A relay sending with the system's small-segment delay holds the second part
// until the server acknowledges the first, which a server waiting for the rest of a request
// delays (at least 40 ms on Linux): every turn would stall.
TEST(RelaySmallMessages, SecondPartOfASplitRequestIsNotHeldForTheFirstOnesAcknowledgement) {
    TRelayRun run;
    run.Start([](ATCPClientSocket&, ATCPClientSocket&) {});
    run.Prepared.get_future().wait();
    SocketSetNoDelay(run.PeerA, true);
    SocketSetNoDelay(run.PeerB, true);
    constexpr int kTurns = 20;
    std::thread server([&] {
        for (int i = 0; i < kTurns; ++i) {
            if (ReceiveExactly(run.PeerB, 2) != "ab" || !SendAll(run.PeerB, "z"))
                return;
        }
    });
    int64_t start = MonotonicMillis();
    int turns = 0;
    for (; turns < kTurns; ++turns) {
        if (!SendAll(run.PeerA, "a"))
            break;
        std::this_thread::sleep_for(std::chrono::milliseconds(1)); // two writes, two segments
        if (!SendAll(run.PeerA, "b") || ReceiveExactly(run.PeerA, 1) != "z")
            break;
    }
    int64_t elapsed = MonotonicMillis() - start;
    server.join();
    SocketShutdown(run.PeerA, TShutdownHow::sdSend);
    SocketShutdown(run.PeerB, TShutdownHow::sdSend);
    EXPECT_TRUE(run.Finish(10));
    ASSERT_EQ(turns, kTurns);
    // Held parts cost 40 ms or more per turn; carried at once, a turn takes a few ms even on
    // a loaded machine.
    EXPECT_LT(elapsed, kTurns * 40 / 2) << "turns through the relay stalled on acknowledgements";
}
