// The TCP connection socket over real loopback connections.
#include "net/SocketsTCP.h"

#include "support/NetTestSupport.h"

#include <gtest/gtest.h>

#include <thread>

using namespace corvan;
using namespace corvan::test;

namespace {

// The accepted end as a socket of this thread, the client end blocking.
struct TConnection {
    std::unique_ptr<ATCPClientSocket> Socket;
    TSocketHandle Peer = INVALID_SOCKETHANDLE;
    int DataEvents = 0;
    int Closes = 0;
    int Dispatches = 0;
    TConnection(int readEventTrigger = -1) {
        auto [server, client] = ConnectedPair();
        Peer = client;
        Socket = std::make_unique<ATCPClientSocket>(server);
        Socket->SetReadEventTrigger(readEventTrigger);
        Socket->OnDataAvailable = [this](ATCPClientSocket*) { ++DataEvents; };
        Socket->OnClose = [this](ATCPClientSocket*) { ++Closes; };
        Socket->OnBeforeMessage = [this](TMailbox*) { ++Dispatches; };
    }
    ~TConnection() {
        Socket.reset();
        ClosePeer();
    }
    void ClosePeer() {
        if (Peer != INVALID_SOCKETHANDLE)
            SocketClose(Peer);
        Peer = INVALID_SOCKETHANDLE;
    }
    // Dispatches plus loop wake-ups while the loop runs for ms, after what is queued now has
    // run: a quiet socket leaves both still.
    int ActivityOver(int ms) {
        RunLoopFor(20); // let what is queued now run
        int before = Dispatches;
        uint64_t wakes = TMessageLoop::Current().WakeCount();
        RunLoopFor(ms);
        return Dispatches - before + static_cast<int>(TMessageLoop::Current().WakeCount() - wakes);
    }
};

} // namespace

TEST(TCPRead, TriggerZeroCallsOnDataAvailableAndSuspendsWithoutBuffering) {
    TConnection c(0);
    EXPECT_EQ(c.Socket->State(), ssConnected);
    ASSERT_TRUE(SendAll(c.Peer, "hello"));
    ASSERT_TRUE(RunLoopUntil([&] { return c.DataEvents > 0; }));
    EXPECT_TRUE(c.Socket->ReadSuspended());
    EXPECT_EQ(c.Socket->BufferUsed(), 0u);
    EXPECT_EQ(c.Socket->Available(), 5);
    // Suspended with data pending: the loop stays quiet.
    EXPECT_EQ(c.ActivityOver(200), 0);
    c.Socket->SetReadEventTrigger(-1);
    ASSERT_TRUE(RunLoopUntil([&] { return c.Socket->BufferUsed() == 5; }));
    EXPECT_FALSE(c.Socket->ReadSuspended());
    EXPECT_EQ(c.Socket->ReadAvailable(), "hello");
}

TEST(TCPRead, ReachedThresholdSilencesTheSocketUntilBytesAreConsumed) {
    TConnection c(100);
    std::string data = Pattern(10150);
    ASSERT_TRUE(SendAll(c.Peer, data.substr(0, 150)));
    ASSERT_TRUE(RunLoopUntil([&] { return c.Socket->ReadSuspended(); }));
    EXPECT_EQ(c.Socket->BufferUsed(), 150u);
    // More data waits in the system while reading is suspended: no notifications for it.
    ASSERT_TRUE(SendAll(c.Peer, data.substr(150)));
    ASSERT_TRUE(RunLoopUntil([&] { return c.Socket->Available() == 10000; }));
    EXPECT_EQ(c.ActivityOver(200), 0);
    EXPECT_EQ(c.Socket->BufferUsed(), 150u);
    // Consuming resumes reading on a later dispatch, never inside the call.
    std::string got;
    ASSERT_TRUE(RunLoopUntil([&] {
        if (c.Socket->BufferUsed() > 0) {
            size_t before = c.Socket->BufferUsed();
            got += c.Socket->ReadStr(50);
            EXPECT_EQ(c.Socket->BufferUsed(), before - std::min<size_t>(before, 50));
        }
        return got.size() == data.size();
    }));
    EXPECT_EQ(got, data);
}

TEST(TCPRead, CloseArrivesOnlyAfterAllDataWasRead) {
    TConnection c(1000);
    std::string data = Pattern(60000);
    ASSERT_TRUE(SendAll(c.Peer, data));
    c.ClosePeer();
    RunLoopFor(150);
    EXPECT_EQ(c.Closes, 0) << "closed with unread data";
    std::string got;
    ASSERT_TRUE(RunLoopUntil([&] {
        got += c.Socket->ReadAvailable();
        return c.Closes > 0;
    }));
    got += c.Socket->ReadAvailable(); // unread bytes stay readable after OnClose
    EXPECT_EQ(got, data);
    EXPECT_EQ(c.Socket->State(), ssClosed);
    EXPECT_EQ(c.Socket->SocketHandle(), INVALID_SOCKETHANDLE);
}

TEST(TCPRead, BytesAndTheEndArrivingTogetherComeAsDataThenTheEnd) {
    // Both are in the system before the socket hears of either: each notification reads
    // what the system reports, and the end must follow the bytes, never overtake them.
    for (bool halfClose : {false, true}) {
        TConnection c(-1);
        c.Socket->SetAllowHalfClose(halfClose);
        std::string seen; // "d<buffered>" per data event, "c" for the close
        c.Socket->OnDataAvailable = [&](ATCPClientSocket* s) {
            seen += "d" + std::to_string(s->BufferUsed());
        };
        c.Socket->OnClose = [&](ATCPClientSocket*) { seen += "c"; };
        ASSERT_TRUE(SendAll(c.Peer, "hello"));
        ASSERT_EQ(SocketShutdown(c.Peer, TShutdownHow::sdSend), 0);
        ASSERT_TRUE(RunLoopUntil([&] {
            return halfClose ? c.Socket->ReceiveEnded() : c.Socket->State() == ssClosed;
        })) << seen;
        // Told of the bytes as they are there and read, then (unless half-closed) the close.
        EXPECT_EQ(seen, halfClose ? "d0d5" : "d0d5c");
        EXPECT_EQ(c.Socket->ReadAvailable(), "hello");
        if (halfClose) {
            EXPECT_EQ(c.Socket->State(), ssConnected); // still open for the answer
            EXPECT_EQ(c.Socket->WriteStr("answer"), 6);
            EXPECT_EQ(RecvWithin(c.Peer, 6), "answer");
        }
    }
}

TEST(TCPRead, PeerWritingTenMegabytesAndClosingAtOnceDeliversEveryByte) {
    TConnection c(-1);
    std::string data = Pattern(10 * 1024 * 1024);
    std::string got;
    c.Socket->OnDataAvailable = [&](ATCPClientSocket* s) { got += s->ReadAvailable(); };
    TSocketHandle peer = c.Peer;
    c.Peer = INVALID_SOCKETHANDLE;
    std::thread writer([&] {
        SendAll(peer, data);
        SocketClose(peer);
    });
    ASSERT_TRUE(RunLoopUntil([&] { return c.Closes > 0; }, 60000));
    writer.join();
    got += c.Socket->ReadAvailable();
    ASSERT_EQ(got.size(), data.size());
    EXPECT_TRUE(got == data);
}

TEST(TCPRead, ReadStrTakesBufferedBytesWithoutTouchingTheSocket) {
    TConnection c(4);
    ASSERT_TRUE(SendAll(c.Peer, "abcd"));
    ASSERT_TRUE(RunLoopUntil([&] { return c.Socket->ReadSuspended(); }));
    ASSERT_TRUE(SendAll(c.Peer, "efghijklmnopqrstuvwxyz"));
    ASSERT_TRUE(RunLoopUntil([&] { return c.Socket->Available() == 22; }));
    EXPECT_EQ(c.Socket->ReadStr(10), "abcd");
    c.Socket->SetReadEventTrigger(20);
    ASSERT_TRUE(RunLoopUntil([&] { return c.Socket->BufferUsed() >= 20; }));
    EXPECT_EQ(c.Socket->ReadStr(10), "efghijklmn");
    EXPECT_EQ(c.Socket->PeekStr(3), "opq");
    EXPECT_EQ(c.Socket->PeekStr(-1), "");
    EXPECT_EQ(c.Socket->Skip(2), 2);
    char buf[3];
    EXPECT_EQ(c.Socket->Peek(buf, 3), 3);
    EXPECT_EQ(std::string(buf, 3), "qrs");
}

TEST(TCPRead, ReadContinuesWithDirectReceives) {
    TConnection c(0);
    ASSERT_TRUE(SendAll(c.Peer, "0123456789"));
    ASSERT_TRUE(RunLoopUntil([&] { return c.Socket->Available() == 10; }));
    char buf[16];
    EXPECT_EQ(c.Socket->Read(buf, 16), 10);
    EXPECT_EQ(std::string(buf, 10), "0123456789");
}

TEST(TCPRead, LocateFamilyOverBufferedBytes) {
    TConnection c(-1);
    EXPECT_EQ(c.Socket->Locate('a'), -1); // empty buffer
    ASSERT_TRUE(SendAll(c.Peer, "GET /Index HTTP/1.0\r"));
    ASSERT_TRUE(RunLoopUntil([&] { return c.Socket->BufferUsed() == 20; }));
    EXPECT_EQ(c.Socket->LocateEOL(), -1) << "CR at the end: the pair is not complete";
    EXPECT_EQ(c.Socket->Locate('i'), -1);
    EXPECT_EQ(c.Socket->Locate('i', true), 5);
    EXPECT_EQ(c.Socket->LocateAny("/ "), 3);
    EXPECT_EQ(c.Socket->LocateStr("http"), -1);
    EXPECT_EQ(c.Socket->LocateStr("http", true), 11);
    EXPECT_TRUE(c.Socket->StartsWith("GET "));
    EXPECT_TRUE(c.Socket->StartsWith("get", true));
    EXPECT_FALSE(c.Socket->StartsWith("get"));
    ASSERT_TRUE(SendAll(c.Peer, "\n"));
    ASSERT_TRUE(RunLoopUntil([&] { return c.Socket->BufferUsed() == 21; }));
    EXPECT_EQ(c.Socket->LocateEOL(), 19);
}

TEST(TCPRead, OneNotificationTakesABoundedShareFromAPeerThatNeverPauses) {
    // Read everything (-1): without a bound per notification a fast sender keeps the handler
    // reading while nothing else on the thread runs.
    TConnection c(-1);
    const std::string data = Pattern(16 * 1024 * 1024);
    std::thread sender([&] { SendAll(c.Peer, data); });
    size_t before = 0;
    size_t largestStep = 0;
    std::string got;
    c.Socket->OnBeforeMessage = [&](TMailbox*) { before = c.Socket->BufferUsed(); };
    c.Socket->OnAfterMessage = [&](TMailbox*) {
        largestStep = std::max(largestStep, c.Socket->BufferUsed() - before);
        got += c.Socket->ReadAvailable();
    };
    bool all = RunLoopUntil([&] { return got.size() == data.size(); }, 60000);
    if (!all)
        SocketShutdown(c.Peer, TShutdownHow::sdBoth);
    sender.join();
    ASSERT_TRUE(all) << got.size();
    EXPECT_TRUE(got == data);
    EXPECT_GT(largestStep, 0u);
    EXPECT_LE(largestStep, static_cast<size_t>(kReadEventLimit));
}

TEST(TCPRead, BufferGrowsByAQuarterAndCompactsBackTo16384) {
    TConnection c(0);
    std::string data = Pattern(20000);
    ASSERT_TRUE(SendAll(c.Peer, data));
    ASSERT_TRUE(RunLoopUntil([&] { return c.Socket->Available() == 20000; }));
    c.Socket->SetReadEventTrigger(-1);
    ASSERT_TRUE(RunLoopUntil([&] { return c.Socket->BufferUsed() == 20000; }));
    EXPECT_EQ(c.Socket->ReadBufferCapacity(), 25000u); // 20000 + 20000/4
    EXPECT_EQ(c.Socket->Skip(19800), 19800);
    EXPECT_EQ(c.Socket->ReadBufferCapacity(), 16384u);
    EXPECT_EQ(c.Socket->ReadStr(200), data.substr(19800));
}

TEST(TCPWrite, GracefulCloseWithBufferedOutputDeliversEveryByteBeforeOnClose) {
    TConnection c(-1);
    std::string data = Pattern(8 * 1024 * 1024);
    EXPECT_EQ(c.Socket->WriteStr(data), static_cast<long>(data.size()));
    ASSERT_GT(c.Socket->SendBufferSize(), 0)
        << "the kernel took everything; the test needs a remainder";
    int64_t bufferedAtClose = -1;
    c.Socket->OnClose = [&](ATCPClientSocket* s) {
        ++c.Closes;
        bufferedAtClose = s->SendBufferSize();
    };
    c.Socket->Close(true);
    EXPECT_TRUE(c.Socket->ClosePending());
    EXPECT_EQ(c.Closes, 0);
    std::string received;
    TSocketHandle peer = c.Peer;
    std::thread reader([&] { received = RecvAll(peer); });
    ASSERT_TRUE(RunLoopUntil([&] { return c.Closes > 0; }, 60000));
    reader.join();
    EXPECT_EQ(bufferedAtClose, 0);
    ASSERT_EQ(received.size(), data.size());
    EXPECT_TRUE(received == data);
}

TEST(TCPWrite, WriteOnAClosedSocketRaisesNotConnected) {
    TConnection c(-1);
    int errors = 0;
    c.Socket->OnError = [&](ASocket*) { ++errors; };
    c.Socket->Close(false);
    EXPECT_EQ(c.Closes, 1);
    try {
        c.Socket->WriteStr("x");
        FAIL();
    } catch (const ESocket& e) {
        EXPECT_STREQ(e.what(), "Socket not connected");
        EXPECT_EQ(e.ErrorCode, 20002);
    }
    EXPECT_EQ(c.Socket->ErrorCode(), 20002);
    EXPECT_EQ(errors, 1);
    c.Socket->Close(true); // closed: nothing
    EXPECT_EQ(c.Closes, 1);
}

TEST(TCPWrite, FirstAllowanceAtOneThousandBytesPerSecondIsTwentyBytes) {
    TRateWindow w;
    w.Restart(5000);
    EXPECT_EQ(w.Allowance(1000, 1000, 5000), 20);
    EXPECT_EQ(w.Allowance(10, 1000, 5000), 10);
    w.Add(20);
    EXPECT_EQ(w.Allowance(1000, 1000, 5000), 0);

    // Through a socket: the window started with the socket, so the budget is 20 bytes plus
    // one byte per millisecond that has passed since.
    uint32_t t0 = GetTickCount();
    TConnection c(-1);
    ASSERT_TRUE(RunLoopUntil([&] { return c.Socket->WriteReady(); }));
    c.Socket->SetWriteThrottleRate(1000);
    c.Socket->SetThrottleWrite(true);
    EXPECT_TRUE(c.Socket->TimerActive());
    EXPECT_EQ(c.Socket->WriteStr(std::string(100, 'x')), 100);
    int64_t elapsed = TickDelta(GetTickCount(), t0);
    int64_t sent = 100 - c.Socket->SendBufferSize();
    EXPECT_GE(sent, 20);
    EXPECT_LE(sent, 20 + elapsed + 1);
}

TEST(TCPWrite, RateWindowForgetsGeometricallyAndHandlesLargeRates) {
    TRateWindow w;
    w.Restart(0);
    w.Add(3000);
    EXPECT_EQ(w.Update(1500), 46u); // 1500 halved five times
    EXPECT_EQ(w.Rate, 2000);
    EXPECT_EQ(w.Count, 93);
    EXPECT_EQ(w.StartTick, 1500u - 46u);
    // Across the 32-bit wrap of the clock.
    TRateWindow wrap;
    wrap.Restart(0xFFFFFF00u);
    EXPECT_EQ(wrap.Allowance(100000, 100000, 0x00000000u), (256 + 20) * 100000 / 1000);
    // 10 MB/s does not overflow.
    TRateWindow big;
    big.Restart(0);
    EXPECT_EQ(big.Allowance(1 << 30, 10 * 1024 * 1024, 1000), (1020LL * 10 * 1024 * 1024) / 1000);
}

TEST(TCPWrite, ThrottleWriteOffWithDataBufferedSendsAtOnce) {
    TConnection c(-1);
    ASSERT_TRUE(RunLoopUntil([&] { return c.Socket->WriteReady(); }));
    c.Socket->SetWriteThrottleRate(1000);
    c.Socket->SetThrottleWrite(true);
    std::string data = Pattern(100000);
    c.Socket->WriteStr(data);
    ASSERT_GT(c.Socket->SendBufferSize(), 90000);
    std::string received;
    TSocketHandle peer = c.Peer;
    std::thread reader([&] {
        while (received.size() < data.size()) {
            char buf[65536];
            long n = SocketRecv(peer, buf, sizeof buf);
            if (n <= 0)
                break;
            received.append(buf, static_cast<size_t>(n));
        }
    });
    c.Socket->SetThrottleWrite(false);
    EXPECT_FALSE(c.Socket->TimerActive());
    // At 1000 bytes per second this would take 100 seconds.
    ASSERT_TRUE(RunLoopUntil([&] { return c.Socket->SendBufferSize() == 0; }, 10000));
    reader.join();
    EXPECT_TRUE(received == data);
}

TEST(TCPRead, ThrottledReadingIsLimitedAndResumesWhenSwitchedOff) {
    TConnection c(-1);
    c.Socket->SetReadThrottleRate(1000);
    c.Socket->SetThrottleRead(true);
    EXPECT_TRUE(c.Socket->TimerActive());
    std::string data = Pattern(20000);
    ASSERT_TRUE(SendAll(c.Peer, data));
    RunLoopFor(200);
    EXPECT_LT(c.Socket->BufferUsed(), data.size());
    c.Socket->SetThrottleRead(false);
    ASSERT_TRUE(RunLoopUntil([&] { return c.Socket->BufferUsed() == data.size(); }, 5000));
    EXPECT_TRUE(c.Socket->ReadAvailable() == data);
}

TEST(TCPSocket, SocketEventForAnEarlierHandleIsIgnored) {
    TConnection c(0);
    TSocketHandle old = c.Socket->SocketHandle();
    // A close notification for the current handle is queued, then the handle is replaced.
    ASSERT_TRUE(c.Socket->PostToSelf(MSG_SOCKET, static_cast<uintptr_t>(old),
                                            MakeSelectLParam(READY_CLOSE, 0)));
    TTestListener listener;
    TSocketHandle client = ConnectBlocking(listener.Port);
    c.Socket->ResetSocket();
    TSocketHandle server = listener.Accept(); // the lowest free number: the old one again
    ASSERT_EQ(server, old);
    c.Socket->SetSocketHandle(server);
    // And one for a number that is not the socket's at all.
    c.Socket->PostToSelf(MSG_SOCKET, static_cast<uintptr_t>(server + 1000),
                                MakeSelectLParam(READY_CLOSE, 0));
    RunLoopFor(50);
    EXPECT_EQ(c.Closes, 0);
    EXPECT_EQ(c.Socket->SocketHandle(), server);
    SocketClose(client);
}

TEST(TCPSocket, RemoteAddressAndName) {
    TConnection c(-1);
    EXPECT_EQ(c.Socket->GetRemoteAddressStr(), "127.0.0.1");
    EXPECT_FALSE(c.Socket->GetRemoteHostName().empty());
    c.Socket->Close(false);
    EXPECT_THROW(c.Socket->GetRemoteAddress(), ESocket);
}

TEST(TCPSocket, LocalSettersRequireAClosedSocketOnlyForRealChanges) {
    TConnection c(-1);
    std::string port = c.Socket->GetLocalPort();
    EXPECT_FALSE(port.empty());
    c.Socket->SetLocalPort(""); // unchanged
    try {
        c.Socket->SetLocalPort("1234");
        FAIL();
    } catch (const ESocket& e) {
        EXPECT_STREQ(e.what(), "Operation only allowed on closed socket: SetLocalPort");
        EXPECT_EQ(e.ErrorCode, 20001);
    }
    try {
        c.Socket->SetSocketHandle(c.Peer);
        FAIL();
    } catch (const ESocket& e) {
        EXPECT_EQ(e.ErrorCode, 20003);
    }
}

TEST(TCPSocket, TerminateFromAnotherThreadWakesTheOwnersWaitAndClosesThere) {
    auto [server, client] = ConnectedPair();
    std::atomic<ATCPClientSocket*> socket{nullptr};
    std::atomic<bool> woke{false};
    std::atomic<bool> handleClosedOnOwner{false};
    std::thread owner([&, server = server] {
        ATCPClientSocket s(server);
        socket = &s;
        socket.notify_all();
        while (s.HandleMessage(10000)) {
        }
        woke = s.Terminated();
        // The close itself is the owner's: it runs when the owner serves its loop again.
        TMessageLoop::Current().ProcessMessages();
        handleClosedOnOwner = s.SocketHandle() == INVALID_SOCKETHANDLE;
        socket = nullptr;
    });
    socket.wait(nullptr);
    socket.load()->Terminate();
    char b;
    EXPECT_EQ(SocketRecv(client, &b, 1), 0) << "the peer sees the connection end at once";
    owner.join();
    EXPECT_TRUE(woke);
    EXPECT_TRUE(handleClosedOnOwner);
    SocketClose(client);
}

TEST(TCPSocket, ThrottleSwitchFromAnotherThreadIsAppliedOnTheSocketsThread) {
    auto [server, client] = ConnectedPair();
    std::atomic<ATCPClientSocket*> socket{nullptr};
    std::atomic<bool> timerOn{false};
    std::thread owner([&, server = server] {
        ATCPClientSocket s(server);
        socket = &s;
        socket.notify_all();
        RunLoopUntil([&] { return s.TimerActive(); }, 10000);
        timerOn = s.TimerActive() && s.ThrottleRead();
        socket = nullptr;
    });
    socket.wait(nullptr);
    socket.load()->SetReadThrottleRate(1000);
    socket.load()->SetThrottleRead(true); // posted: the timer belongs to the owner's loop
    owner.join();
    EXPECT_TRUE(timerOn);
    SocketClose(client);
}

TEST(TCPRead, ConsumingByteByByteWhileSuspendedQueuesOneResume) {
    TConnection c(100);
    std::string data = Pattern(150);
    ASSERT_TRUE(SendAll(c.Peer, data));
    ASSERT_TRUE(RunLoopUntil([&] { return c.Socket->ReadSuspended(); }));
    RunLoopFor(20);
    int before = c.Dispatches;
    std::string got;
    for (int i = 0; i < 100; ++i)
        got += c.Socket->ReadStr(1);
    RunLoopFor(50);
    EXPECT_EQ(c.Dispatches - before, 1);
    EXPECT_EQ(got, data.substr(0, 100));
}

TEST(TCPRead, SuspendedSocketWhosePeerClosedDoesNotWakeTheLoop) {
    TConnection c(0);
    ASSERT_TRUE(SendAll(c.Peer, "x"));
    c.ClosePeer(); // data and end of stream wait in the system
    ASSERT_TRUE(RunLoopUntil([&] { return c.Socket->ReadSuspended(); }));
    RunLoopFor(20);
    uint64_t wakes = TMessageLoop::Current().WakeCount();
    RunLoopFor(200);
    EXPECT_EQ(TMessageLoop::Current().WakeCount(), wakes) << "the loop spins on a hung-up socket";
    EXPECT_EQ(c.Closes, 0);
    c.Socket->SetReadEventTrigger(-1);
    ASSERT_TRUE(RunLoopUntil([&] { return c.Closes > 0; }));
    EXPECT_EQ(c.Socket->ReadAvailable(), "x");
}

TEST(TCPSocket, IdleConnectionCostsNothing) {
    TConnection c(-1);
    RunLoopFor(20); // the first READY_WRITE
    uint64_t wakes = TMessageLoop::Current().WakeCount();
    EXPECT_EQ(c.ActivityOver(200), 0);
    EXPECT_EQ(TMessageLoop::Current().WakeCount(), wakes);
}

TEST(TCPRead, AfterAnEmptyReceiveBytesComeWithTheNextNotification) {
    TConnection c(0); // the socket takes nothing in on its own
    char buf[16];
    EXPECT_EQ(c.Socket->Read(buf, sizeof buf), 0); // nothing yet: the notification is armed
    ASSERT_EQ(SocketSend(c.Peer, "hello", 5), 5);
    // Until the socket hears of them, a read does not ask the system again.
    EXPECT_EQ(c.Socket->Read(buf, sizeof buf), 0);
    ASSERT_TRUE(RunLoopUntil([&] { return c.DataEvents > 0; }, 5000));
    ASSERT_EQ(c.Socket->Read(buf, sizeof buf), 5);
    EXPECT_EQ(std::string(buf, 5), "hello");
    // The next bytes after another empty read are not lost either, nor is the end of data.
    EXPECT_EQ(c.Socket->Read(buf, sizeof buf), 0);
    ASSERT_EQ(SocketSend(c.Peer, "again", 5), 5);
    c.ClosePeer();
    std::string got;
    ASSERT_TRUE(RunLoopUntil([&] {
        long n = c.Socket->Read(buf, sizeof buf);
        got.append(buf, static_cast<size_t>(std::max<long>(n, 0)));
        return c.Closes > 0;
    }, 5000));
    EXPECT_EQ(got, "again");
}
