// The message loop's five guarantees, socket registrations, timers, hand-over, thread objects
// and signal stop.
#include "net/EventLoop.h"

#include "support/NetTestSupport.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cerrno>
#include <condition_variable>
#include <csignal>
#include <filesystem>
#include <future>
#include <mutex>
#include <poll.h>
#include <sys/mman.h>
#include <thread>
#include <type_traits>
#include <unistd.h>
#include <vector>

using namespace corvan;
using namespace corvan::test;

namespace {

// A window that records what it receives.
class TRecorder : public TTimerHandle {
public:
    std::vector<TMessage> Received;
    std::thread::id LastThread;
    bool InHandler = false;
    std::function<void(const TMessage&)> OnReceive;

protected:
    intptr_t HandleLoopMessage(uint32_t msg, uintptr_t wParam, intptr_t lParam) override {
        if (msg == MSG_TIMER)
            return TTimerHandle::HandleLoopMessage(msg, wParam, lParam);
        EXPECT_FALSE(InHandler) << "re-entered without a nested loop";
        InHandler = true;
        TMessage m{Mailbox(), msg, wParam, lParam};
        Received.push_back(m);
        LastThread = std::this_thread::get_id();
        if (OnReceive)
            OnReceive(m);
        InHandler = false;
        return 0;
    }
};

} // namespace

TEST(MessageLoop, PostsFromEightThreadsKeepOrderPerSenderOnTheOwnerThread) {
    constexpr int SENDERS = 8;
    constexpr int PER_SENDER = 3000;
    std::atomic<TMailboxId> handle{0};
    std::vector<int> lastSeq(SENDERS, -1);
    bool inOrder = true;
    bool rightThread = true;
    int total = 0;
    std::mutex startLock;
    std::condition_variable startCond;

    // The receiver lives on a thread of its own: every dispatch must happen there.
    std::thread receiver([&] {
        TRecorder r;
        r.OnReceive = [&](const TMessage& m) {
            int sender = static_cast<int>(m.WParam);
            int seq = static_cast<int>(m.LParam);
            if (seq != lastSeq[sender] + 1)
                inOrder = false;
            lastSeq[sender] = seq;
            if (std::this_thread::get_id() != r.LastThread)
                rightThread = false;
            ++total;
        };
        {
            std::lock_guard<std::mutex> lock(startLock);
            handle = r.GetMailbox();
        }
        startCond.notify_all();
        RunLoopUntil([&] { return total == SENDERS * PER_SENDER; }, 20000);
    });
    {
        std::unique_lock<std::mutex> lock(startLock);
        startCond.wait(lock, [&] { return handle != 0; });
    }
    std::vector<std::thread> senders;
    for (int s = 0; s < SENDERS; ++s)
        senders.emplace_back([&, s] {
            for (int i = 0; i < PER_SENDER; ++i)
                ASSERT_TRUE(PostToMailbox(handle, MSG_USER + 1, static_cast<uintptr_t>(s), i));
        });
    for (auto& t : senders)
        t.join();
    receiver.join();
    EXPECT_EQ(total, SENDERS * PER_SENDER);
    EXPECT_TRUE(inOrder);
    EXPECT_TRUE(rightThread);
}

// A lazy post does not wake the owner (its loop's descriptor stays quiet), comes within its
// delay on its own, and goes with the next wake-up in order; a plain post behind a waiting lazy
// one still wakes the owner.
TEST(MessageLoop, LazyPostsWaitForTheNextWakeUpAtMostTheirDelay) {
    TRecorder r;
    TMailboxId h = r.GetMailbox();
    TMessageLoop& loop = TMessageLoop::Current();
    auto fromAnotherThread = [](const std::function<void()>& post) { std::thread(post).join(); };
    RunLoopFor(20); // takes in any wake-up left from before
    ASSERT_FALSE(loop.PollDescriptor(0));

    fromAnotherThread([&] { EXPECT_TRUE(PostToMailboxLazily(h, MSG_USER + 1, 1, 0, 1000)); });
    EXPECT_FALSE(loop.PollDescriptor(0));    // not woken for it
    EXPECT_TRUE(loop.PollDescriptor(10000)); // the delay wakes it
    ASSERT_TRUE(RunLoopUntil([&] { return r.Received.size() == 1; }, 10000));

    RunLoopFor(20);
    fromAnotherThread([&] {
        EXPECT_TRUE(PostToMailboxLazily(h, MSG_USER + 1, 2, 0, 60000));
        EXPECT_TRUE(PostToMailbox(h, MSG_USER + 2, 3, 0));
    });
    EXPECT_TRUE(loop.PollDescriptor(0)); // woken by the plain post, long before the delay
    ASSERT_TRUE(RunLoopUntil([&] { return r.Received.size() == 3; }, 10000));
    EXPECT_EQ(r.Received[1].WParam, 2u);
    EXPECT_EQ(r.Received[2].WParam, 3u);
    EXPECT_FALSE(PostToMailboxLazily(TMailboxId(999999999), MSG_USER, 0, 0, 10));
}

// A connection thread's loop costs one descriptor (its epoll set); the wake-up descriptor is
// the process's, armed in each loop's own set, so waking one loop leaves the others asleep.
TEST(MessageLoop, ALoopHoldsOneDescriptorAndAWakeUpReachesOnlyItsOwnLoop) {
    auto openDescriptors = [] {
        return std::distance(std::filesystem::directory_iterator("/proc/self/fd"),
                             std::filesystem::directory_iterator());
    };
    TMessageLoop& here = TMessageLoop::Current(); // the process's first loop made before
    auto before = openDescriptors();
    std::vector<std::shared_ptr<TMessageLoop>> loops;
    for (int i = 0; i < 50; ++i)
        loops.push_back(TMessageLoop::CreateForNewThread());
    EXPECT_EQ(openDescriptors() - before, 50);

    RunLoopFor(20); // takes in any wake-up left from before
    std::promise<std::pair<TMailboxId, std::shared_ptr<TMessageLoop>>> made;
    std::promise<void> checked;
    std::thread owner([&] {
        TRecorder r;
        made.set_value({r.GetMailbox(), TMessageLoop::CurrentShared()});
        checked.get_future().wait();
    });
    auto [handle, there] = made.get_future().get();
    EXPECT_FALSE(there->PollDescriptor(0));
    EXPECT_TRUE(PostToMailbox(handle, MSG_USER + 1, 0, 0));
    EXPECT_TRUE(there->PollDescriptor(0));  // armed in that loop's set
    EXPECT_TRUE(there->PollDescriptor(0));  // and stays so until its owner waits
    EXPECT_FALSE(here.PollDescriptor(0));   // this loop was not woken
    for (auto& loop : loops)
        EXPECT_FALSE(loop->PollDescriptor(0));
    checked.set_value();
    owner.join();
}

TEST(MessageLoop, MessageForDestroyedObjectIsDropped) {
    auto r = std::make_unique<TRecorder>();
    TMailboxId h = r->GetMailbox();
    int received = 0;
    auto other = std::make_unique<TRecorder>();
    other->OnReceive = [&](const TMessage&) { ++received; };
    TMailboxId h2 = other->GetMailbox();
    ASSERT_TRUE(PostToMailbox(h, MSG_USER + 1, 0, 0));
    uint64_t before = TMessageLoop::Current().DispatchCount();
    r.reset(); // queued message now refers to a gone window
    EXPECT_FALSE(PostToMailbox(h, MSG_USER + 1, 0, 0));
    ASSERT_TRUE(PostToMailbox(h2, MSG_USER + 2, 0, 0));
    ASSERT_TRUE(RunLoopUntil([&] { return received == 1; }));
    EXPECT_EQ(TMessageLoop::Current().DispatchCount() - before, 1u);
    // A new window never gets the old number.
    TRecorder again;
    EXPECT_NE(again.GetMailbox(), h);
}

TEST(MessageLoop, QuitPostedToAnObjectEndsThatThreadsWait) {
    std::atomic<TMailboxId> handle{0};
    std::atomic<bool> waitResult{true};
    std::atomic<bool> terminated{false};
    std::thread worker([&] {
        TRecorder r;
        handle = r.GetMailbox();
        handle.notify_all();
        waitResult = r.HandleMessage(-1); // blocks until the quit
        terminated = r.Terminated();
    });
    handle.wait(0);
    ASSERT_TRUE(PostToMailbox(handle, MSG_QUIT, 0, 0));
    worker.join();
    EXPECT_FALSE(waitResult);
    EXPECT_TRUE(terminated);
}

TEST(MessageLoop, QuitFromAnotherThreadEndsRun) {
    std::atomic<TMessageLoop*> loop{nullptr};
    std::thread worker([&] {
        loop = &TMessageLoop::Current();
        loop.notify_all();
        TMessageLoop::Current().Run();
    });
    loop.wait(nullptr);
    loop.load()->Quit();
    worker.join(); // bounded by ctest's timeout if Quit were lost
    SUCCEED();
}

// A post is done with its loop before the loop can see the message: the quit that ends a
// loop's thread may be posted while that thread's loop goes. Many loops end at once, the
// numbers of their descriptors reused among them, each woken by a post from another thread.
TEST(MessageLoop, QuitsPostedWhileTheirLoopsEndAndGoTouchNoLoopAfterwards) {
    constexpr int kLoops = 8;
    constexpr int kRounds = 40;
    for (int round = 0; round < kRounds; ++round) {
        std::vector<std::atomic<TMessageLoop*>> loops(kLoops);
        std::vector<std::thread> threads;
        for (int i = 0; i < kLoops; ++i) {
            threads.emplace_back([&loops, i] {
                loops[i] = &TMessageLoop::Current();
                loops[i].notify_all();
                TMessageLoop::Current().Run();
            });
            threads.emplace_back([&loops, i] {
                loops[i].wait(nullptr);
                loops[i].load()->Quit();
            });
        }
        for (std::thread& t : threads)
            t.join(); // bounded by ctest's timeout if a quit were lost
    }
    SUCCEED();
}

TEST(MessageLoop, HandleMessageWithDeadlineReturnsOnTimeWithoutMessages) {
    TRecorder r;
    r.GetMailbox();
    int64_t start = MonotonicMillis();
    EXPECT_TRUE(r.HandleMessage(150));
    int64_t elapsed = MonotonicMillis() - start;
    EXPECT_GE(elapsed, 150);
    EXPECT_LT(elapsed, 1500);
    EXPECT_TRUE(r.Received.empty());
}

TEST(MessageLoop, ExceptionInHandlerGoesToOnExceptionAndDispatchAnswersZero) {
    TRecorder r;
    std::string caught;
    r.OnReceive = [](const TMessage&) { throw Exception("boom"); };
    r.OnException = [&](TMailbox*, const std::exception& e) { caught = e.what(); };
    int before = 0, after = 0;
    r.OnBeforeMessage = [&](TMailbox*) { ++before; };
    r.OnAfterMessage = [&](TMailbox*) { ++after; };
    EXPECT_EQ(r.DispatchMessage(TMessage{r.GetMailbox(), MSG_USER + 3, 0, 0}), 0);
    EXPECT_EQ(caught, "boom");
    EXPECT_EQ(before, 1);
    EXPECT_EQ(after, 1);
}

TEST(Timer, ExceptionInOnTimerReachesOnExceptionAndLaterTicksStillCome) {
    TRecorder r;
    int ticks = 0;
    int exceptions = 0;
    r.SetTimerInterval(10);
    r.OnTimer = [&](TTimerHandle*) {
        ++ticks;
        throw Exception("tick failed");
    };
    r.OnException = [&](TMailbox*, const std::exception& e) {
        EXPECT_STREQ(e.what(), "tick failed");
        ++exceptions;
    };
    r.SetTimerActive(true);
    ASSERT_TRUE(RunLoopUntil([&] { return ticks >= 3; }, 5000));
    EXPECT_EQ(exceptions, ticks);
    r.SetTimerActive(false);
    int stopped = ticks;
    RunLoopFor(60);
    EXPECT_EQ(ticks, stopped);
}

TEST(Timer, ActiveWithIntervalZeroStoresFlagButStartsNoTimer) {
    TRecorder r;
    int ticks = 0;
    r.OnTimer = [&](TTimerHandle*) { ++ticks; };
    r.SetTimerInterval(0);
    r.SetTimerActive(true);
    EXPECT_TRUE(r.TimerActive());
    EXPECT_FALSE(r.HasMailbox());
    RunLoopFor(50);
    EXPECT_EQ(ticks, 0);
}

TEST(Timer, StartsOnlyWhenLoadingEnds) {
    TRecorder r;
    int ticks = 0;
    r.OnTimer = [&](TTimerHandle*) { ++ticks; };
    r.SetTimerInterval(5);
    r.SetLoading(true);
    r.SetTimerActive(true);
    RunLoopFor(30);
    EXPECT_EQ(ticks, 0);
    r.SetLoading(false);
    EXPECT_TRUE(RunLoopUntil([&] { return ticks > 0; }, 5000));
}

TEST(Timer, TicksNeverRunInsideASocketEvent) {
    // A real socket notification whose handler works for a while; a fast timer on the same
    // object must wait until the handler has returned.
    auto [server, client] = ConnectedPair();
    SetSocketBlocking(server, false);
    TRecorder r;
    bool inSocketEvent = false;
    bool overlapped = false;
    int ticks = 0;
    int socketEvents = 0;
    r.SetTimerInterval(1);
    r.OnTimer = [&](TTimerHandle*) {
        ++ticks;
        if (inSocketEvent)
            overlapped = true;
    };
    r.OnReceive = [&](const TMessage& m) {
        if (m.Msg != MSG_SOCKET)
            return;
        inSocketEvent = true;
        ++socketEvents;
        char buf[16];
        SocketRecv(server, buf, sizeof buf);
        int64_t until = MonotonicMillis() + 20; // work, not a wait for another thread
        while (MonotonicMillis() < until) {
        }
        TMessageLoop::Current().AsyncEnable(server, READY_READ);
        inSocketEvent = false;
    };
    TMessageLoop::Current().WatchSocket(server, r.GetMailbox(), READY_READ);
    r.SetTimerActive(true);
    for (int i = 0; i < 3; ++i) {
        ASSERT_TRUE(SendAll(client, "x"));
        int want = i + 1;
        ASSERT_TRUE(RunLoopUntil([&] { return socketEvents >= want; }));
    }
    ASSERT_TRUE(RunLoopUntil([&] { return ticks >= 5; }));
    EXPECT_FALSE(overlapped);
    TMessageLoop::Current().UnwatchSocket(server);
    SocketClose(server);
    SocketClose(client);
}

namespace {
class TSyncThread : public TThread {
public:
    std::vector<std::thread::id> JobThreads;
    std::string Error;

protected:
    void Execute() override {
        for (int i = 0; i < 3; ++i)
            Synchronize([this] { JobThreads.push_back(std::this_thread::get_id()); });
        try {
            Synchronize([] { throw Exception("main failed"); });
        } catch (const Exception& e) {
            Error = e.Message();
        }
    }
};
} // namespace

TEST(HandOver, MainThreadServesHandOversWhileWaitingForAWorker) {
    ASSERT_TRUE(TMessageLoop::IsMainThread());
    auto t = TThread::Create<TSyncThread>();
    t->Start();
    t->WaitFor(); // would dead-lock if hand-overs were not served here
    ASSERT_EQ(t->JobThreads.size(), 3u);
    for (auto id : t->JobThreads)
        EXPECT_EQ(id, std::this_thread::get_id());
    EXPECT_EQ(t->Error, "main failed");
}

TEST(HandOver, JobsRunFromTheMainLoop) {
    std::atomic<bool> ran{false};
    std::thread worker(
        [&] { TMessageLoop::Main().RunSynchronous([&] { ran = TMessageLoop::IsMainThread(); }); });
    ASSERT_TRUE(RunLoopUntil([&] { return ran.load(); }));
    worker.join();
}

TEST(HandOver, HandOverToAnEndedLoopFails) {
    std::shared_ptr<TMessageLoop> loop;
    std::thread t([&] { loop = TMessageLoop::CurrentShared(); });
    t.join();
    EXPECT_THROW(loop->RunSynchronous([] {}), EMailbox);
}

TEST(MessageLoop, TerminationSignalStopsTheMainLoop) {
    int signalled = 0;
    TMessageLoop& loop = TMessageLoop::Main();
    loop.WatchTerminationSignals([&](int signo) {
        signalled = signo;
        loop.Quit();
    });
    std::raise(SIGTERM); // blocked on this thread: stays pending for the signalfd
    loop.Run();
    EXPECT_EQ(signalled, SIGTERM);
}

TEST(MessageLoop, DescriptorWakesAnOutsidePollerForMessagesAndEveryTimerTick) {
    // The way a GUI serves the main loop: watch one descriptor, then ProcessMessages.
    std::atomic<bool> done{false};
    std::thread t([&] {
        TMessageLoop& loop = TMessageLoop::Current();
        TRecorder r;
        int received = 0, ticks = 0;
        r.OnReceive = [&](const TMessage&) { ++received; };
        r.OnTimer = [&](TTimerHandle*) { ++ticks; };
        TMailboxId h = r.GetMailbox();
        std::thread poster([h] { PostToMailbox(h, MSG_USER + 5, 0, 0); });
        poster.join();
        EXPECT_TRUE(loop.PollDescriptor(5000));
        loop.ProcessMessages();
        EXPECT_EQ(received, 1);
        EXPECT_FALSE(loop.PollDescriptor(0));
        r.SetTimerInterval(10);
        r.SetTimerActive(true);
        // Each tick must make the descriptor readable again (wake-ups without a tick are
        // allowed, an endless wait is not).
        for (int i = 0; i < 50 && ticks < 3; ++i) {
            ASSERT_TRUE(loop.PollDescriptor(5000)) << "after " << ticks << " ticks";
            loop.ProcessMessages();
        }
        EXPECT_GE(ticks, 3);
        done = true;
    });
    t.join();
    EXPECT_TRUE(done);
}

TEST(MessageLoop, AWaitBesideTheLoopHearsItsPostsAndEveryTimerTick) {
    // A reader waiting on a descriptor of its own while the loop's messages come in: first a
    // tick taken by the loop's own wait, which leaves the timer to be armed again.
    std::thread t([] {
        TMessageLoop& loop = TMessageLoop::Current();
        TRecorder r;
        int received = 0, ticks = 0;
        r.OnReceive = [&](const TMessage&) { ++received; };
        r.OnTimer = [&](TTimerHandle*) { ++ticks; };
        r.SetTimerInterval(20);
        r.SetTimerActive(true);
        for (int i = 0; i < 50 && ticks == 0; ++i)
            r.HandleMessage(5000);
        ASSERT_EQ(ticks, 1);
        int fds[2];
        ASSERT_EQ(::pipe(fds), 0); // stays empty: only the loop can end the waits
        // Two more ticks take 40 ms; an unarmed timer leaves the wait to its limit.
        int64_t until = MonotonicMillis() + 3000;
        while (ticks < 3 && MonotonicMillis() < until)
            loop.WaitDescriptorOrMessages(fds[0], int(until - MonotonicMillis()));
        EXPECT_GE(ticks, 3) << "a tick waited for the wait's time limit";
        TMailboxId h = r.GetMailbox();
        std::thread poster([h] { PostToMailbox(h, MSG_USER + 5, 0, 0); });
        poster.join();
        r.SetTimerActive(false);
        for (int i = 0; i < 50 && received == 0; ++i)
            loop.WaitDescriptorOrMessages(fds[0], 5000);
        EXPECT_EQ(received, 1);
        ::close(fds[0]);
        ::close(fds[1]);
    });
    t.join();
}

TEST(AsyncSocket, RefusedRegistrationRaisesNamingTheCallAndIsNotKept) {
    // epoll refuses a regular file: the registration must fail visibly, not pretend.
    int fd = ::memfd_create("not-pollable", MFD_CLOEXEC);
    ASSERT_GE(fd, 0);
    TMessageLoop& loop = TMessageLoop::Current();
    TRecorder r;
    try {
        loop.WatchSocket(fd, r.GetMailbox(), READY_READ | READY_CONNECT | READY_CLOSE, true);
        ADD_FAILURE() << "registered a descriptor epoll refused";
    } catch (const ESocketLib& e) {
        EXPECT_EQ(e.Message().rfind("epoll_ctl failed", 0), 0u) << e.Message();
        EXPECT_EQ(e.ErrorCode, SocketErrorFromErrno(EPERM));
    }
    // Not registered: an enable finds nothing to post for.
    loop.AsyncEnable(fd, READY_CLOSE, 0);
    loop.ProcessMessages();
    EXPECT_TRUE(r.Received.empty());
    loop.UnwatchSocket(fd);
    ::close(fd);
}

namespace {
// An unconnected TCP socket moved onto the descriptor number `number`, which it now names.
void NewSocketOnNumber(int number) {
    TSocketHandle fresh = AllocateSocketHandle(TIPAddressFamily::iaIP4, TIPProtocol::ipTCP);
    ASSERT_NE(fresh, INVALID_SOCKETHANDLE);
    if (fresh == number)
        return; // the lowest free number, as usual
    ASSERT_EQ(::dup2(fresh, number), number);
    SocketClose(fresh);
}
} // namespace

TEST(AsyncSocket, ReusedDescriptorNumberGetsNothingOfTheClosedSocket) {
    TMessageLoop& loop = TMessageLoop::Current();
    TRecorder r;
    TMailboxId window = r.GetMailbox();
    constexpr uint32_t ALL = READY_READ | READY_WRITE | READY_CONNECT | READY_CLOSE;

    // Notifications queued for a socket closed without unregistering (READY_WRITE of the
    // connected registration, an READY_CLOSE) must not reach the next socket with its number.
    auto [queued, queuedPeer] = ConnectedPair();
    loop.WatchSocket(queued, window, ALL);
    loop.AsyncEnable(queued, READY_CLOSE, WSAECONNRESET);
    SocketClose(queued);
    NewSocketOnNumber(queued);
    loop.WatchSocket(queued, window, ALL); // unconnected: nothing to report yet
    loop.ProcessMessages();
    EXPECT_TRUE(r.Received.empty()) << "stale notification of the closed socket";

    // A file that outlives its number (a dup, a child process holding it) stays in the
    // kernel's set under the old registration; its readiness is not the new socket's.
    auto [kept, keptPeer] = ConnectedPair();
    int holder = ::dup(kept);
    ASSERT_GE(holder, 0);
    loop.WatchSocket(kept, window, READY_READ | READY_CLOSE);
    SocketClose(kept);
    NewSocketOnNumber(kept);
    loop.WatchSocket(kept, window, READY_READ | READY_CONNECT | READY_CLOSE);
    ASSERT_TRUE(SendAll(keptPeer, "x"));
    pollfd ready{holder, POLLIN, 0};
    ASSERT_EQ(::poll(&ready, 1, 10000), 1); // the old file is readable: its event is due now
    loop.ProcessMessages();
    EXPECT_TRUE(r.Received.empty()) << "stale event of the closed socket";

    for (int fd : {queued, kept})
        loop.UnwatchSocket(fd);
    for (int fd : {queued, queuedPeer, kept, keptPeer, holder})
        ::close(fd);
}

TEST(AsyncSocket, ConnectedSocketIsHeardThroughTheDescriptorAndWhenRegisteredAgain) {
    TMessageLoop& loop = TMessageLoop::Current();
    TRecorder r;
    TMailboxId window = r.GetMailbox();
    auto got = [&](uint32_t event) {
        for (const TMessage& m : r.Received)
            if (m.Msg == MSG_SOCKET && (SelectEvents(m.LParam) & event))
                return true;
        return false;
    };
    TTestListener listener;
    TSocketHandle fd = AllocateSocketHandle(TIPAddressFamily::iaIP4, TIPProtocol::ipTCP, true);
    int r0 = SocketConnect(fd, TSocketAddr::IP4(Loopback(), listener.Port));
    ASSERT_TRUE(r0 == 0 || SocketGetLastError() == WSAEINPROGRESS);
    loop.WatchSocket(fd, window, READY_READ | READY_CONNECT | READY_CLOSE, true,
                     TSocketOrigin::soFresh);
    TSocketHandle peer = listener.Accept();

    // As a GUI runs the loop: after the connect is reported, the descriptor must still tell
    // of the socket's first bytes.
    for (int i = 0; i < 50 && !got(READY_CONNECT); ++i) {
        ASSERT_TRUE(loop.PollDescriptor(10000));
        loop.ProcessMessages();
    }
    ASSERT_TRUE(got(READY_CONNECT));
    ASSERT_TRUE(SendAll(peer, "x"));
    ASSERT_TRUE(loop.PollDescriptor(10000)) << "the read interest was never armed";
    loop.ProcessMessages();
    ASSERT_TRUE(got(READY_READ));

    // Unregistered right after an event was reported (its kernel entry then reports nothing
    // more), and registered again: the new registration hears the socket.
    char buf[8];
    ASSERT_EQ(SocketRecv(fd, buf, sizeof buf), 1);
    loop.AsyncEnable(fd, READY_READ);
    ASSERT_TRUE(SendAll(peer, "y"));
    r.Received.clear();
    ASSERT_EQ(loop.WaitMessage(MonotonicMillis() + 10000), TWaitResult::wrMessage);
    ASSERT_TRUE(got(READY_READ));
    loop.UnwatchSocket(fd);
    loop.WatchSocket(fd, window, READY_READ | READY_CLOSE);
    r.Received.clear();
    ASSERT_TRUE(RunLoopUntil([&] { return got(READY_READ); }));

    loop.UnwatchSocket(fd);
    SocketClose(fd);
    SocketClose(peer);
}

TEST(AsyncSocket, AWaitInsideAHandlerHearsTheInterestTheHarvestLeftToRearm) {
    // A GUI handler that opens a modal box waits on Descriptor() while a message of the last
    // harvest is dispatched: the socket's other interest must already be armed.
    TMessageLoop& loop = TMessageLoop::Current();
    auto [fd, peer] = ConnectedPair();
    SetSocketBlocking(fd, false);
    int small = 4096;
    ::setsockopt(fd, SOL_SOCKET, SO_SNDBUF, &small, sizeof small);
    ::setsockopt(peer, SOL_SOCKET, SO_RCVBUF, &small, sizeof small);
    std::string block(65536, 'z');
    size_t sent = 0;
    for (long n; (n = SocketSend(fd, block.data(), block.size())) > 0;)
        sent += static_cast<size_t>(n);
    TRecorder r;
    loop.WatchSocket(fd, r.GetMailbox(), READY_READ | READY_WRITE | READY_CLOSE);
    loop.AsyncEnable(fd, READY_WRITE); // the send buffer is full: waits for room
    loop.ProcessMessages();
    ASSERT_TRUE(SendAll(peer, "x"));
    bool heard = false;
    int reads = 0;
    r.OnReceive = [&](const TMessage& m) {
        if (m.Msg != MSG_SOCKET || !(SelectEvents(m.LParam) & READY_READ) || reads++)
            return;
        SetReceiveTimeout(peer);
        EXPECT_EQ(ReceiveExactly(peer, sent).size(), sent); // room again: fd is writable
        heard = loop.PollDescriptor(10000);
    };
    ASSERT_TRUE(loop.PollDescriptor(10000));
    loop.ProcessMessages();
    ASSERT_EQ(reads, 1);
    EXPECT_TRUE(heard) << "the nested wait never heard the socket become writable";
    loop.UnwatchSocket(fd);
    SocketClose(fd);
    SocketClose(peer);
}

namespace {
class TFailingThread : public TThread {
public:
    std::function<void()> Body;

protected:
    void Execute() override { Body(); }
};

// Execute waits until its own Terminate override wakes it.
class TWakeableThread : public TThread {
public:
    explicit TWakeableThread(std::atomic<bool>& wokenByTerminate) : FWoken(wokenByTerminate) {}
    void Terminate() override {
        TThread::Terminate();
        std::lock_guard<std::mutex> lock(FLock);
        FWake = true;
        FCond.notify_all();
    }

protected:
    void Execute() override {
        std::unique_lock<std::mutex> lock(FLock);
        FWoken = FCond.wait_for(lock, std::chrono::seconds(10), [this] { return FWake; });
    }

private:
    std::atomic<bool>& FWoken;
    std::mutex FLock; // guards FWake; a leaf
    std::condition_variable FCond;
    bool FWake = false;
};
// A thread class cannot be made but through TThread::Create, which stops it on destruction.
static_assert(std::is_abstract_v<TWakeableThread>);
} // namespace

TEST(Thread, DestroyingStopsThroughTheDerivedTerminate) {
    std::atomic<bool> woken{false};
    {
        auto t = TThread::Create<TWakeableThread>(woken);
        t->Start();
    } // no Stop(): destruction must wake Execute through the override and join
    EXPECT_TRUE(woken);
}

TEST(Thread, ExceptionFromExecuteIsReportedAfterTheThreadEnds) {
    auto t = TThread::Create<TFailingThread>();
    t->Body = [] { throw Exception("execute failed"); };
    t->Start();
    t->WaitFor();
    EXPECT_EQ(t->ExceptionMessage(), "execute failed");
    // Started again: the new run's outcome replaces the old.
    t->Body = [] { throw 42; };
    t->Start();
    t->WaitFor();
    EXPECT_EQ(t->ExceptionMessage(), "Unknown exception");
    t->Body = [] {};
    t->Start();
    t->WaitFor();
    EXPECT_EQ(t->ExceptionMessage(), "");
}

#ifndef NDEBUG
TEST(MailboxOwnerDeathTest, DispatchOrDestroyOffTheOwningThreadAborts) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_DEATH(
        {
            TRecorder r;
            TMailboxId h = r.GetMailbox();
            std::thread([&] { r.DispatchMessage(TMessage{h, MSG_USER, 0, 0}); }).join();
        },
        "Mailbox message dispatched off its owning thread");
    EXPECT_DEATH(
        {
            auto r = std::make_unique<TRecorder>();
            r->GetMailbox();
            std::thread([&] { r.reset(); }).join();
        },
        "Mailbox destroyed off its owning thread");
}
#endif
