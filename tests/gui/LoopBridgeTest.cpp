#include "gui/LoopBridge.h"
#include "net/SocketLib.h"
#include "net/EventLoop.h"
#include "support/NetTestSupport.h"

#include <QTest>
#include <gtest/gtest.h>

#include <atomic>
#include <thread>

using namespace corvan;
using namespace corvan::test;

TEST(LoopBridge, WorkerHandOverRunsOnTheMainThreadWhileQtsLoopRuns) {
    TQtLoopBridge bridge(TMessageLoop::Main(), nullptr);
    std::atomic<bool> ranOnMain{false}, done{false};
    std::thread worker = StartThread([&] {
        TMessageLoop::Main().RunSynchronous([&] { ranOnMain = TMessageLoop::IsMainThread(); });
        done = true;
    });
    EXPECT_TRUE(QTest::qWaitFor([&] { return done.load(); }, 10000));
    worker.join();
    EXPECT_TRUE(ranOnMain);
    EXPECT_GE(bridge.ActivationCount(), 1u);
}

TEST(LoopBridge, SocketEventReachesItsReceiverWhileQtsLoopRuns) {
    TQtLoopBridge bridge(TMessageLoop::Main(), nullptr);
    auto [server, client] = ConnectedPair();
    uint32_t events = 0;
    TMailbox receiver;
    receiver.OnMessage = [&](uint32_t msg, uintptr_t, intptr_t lParam, bool& handled) -> intptr_t {
        if (msg == MSG_SOCKET)
            events |= SelectEvents(lParam);
        handled = true;
        return 0;
    };
    TMessageLoop::Main().WatchSocket(server, receiver.GetMailbox(), READY_READ | READY_CLOSE);
    ASSERT_TRUE(SendAll(client, "x"));
    EXPECT_TRUE(QTest::qWaitFor([&] { return (events & READY_READ) != 0; }, 10000));
    TMessageLoop::Main().UnwatchSocket(server);
    SocketClose(server);
    SocketClose(client);
}

TEST(LoopBridge, TimersTickAndAQuitReachesTheWindow) {
    bool quit = false;
    TQtLoopBridge bridge(TMessageLoop::Main(), [&] { quit = true; });
    int ticks = 0;
    TMailbox timer;
    timer.OnMessage = [&](uint32_t msg, uintptr_t, intptr_t, bool& handled) -> intptr_t {
        if (msg == MSG_TIMER)
            ++ticks;
        handled = true;
        return 0;
    };
    TMessageLoop::Main().SetTimer(timer.GetMailbox(), 10);
    EXPECT_TRUE(QTest::qWaitFor([&] { return ticks >= 2; }, 10000));
    TMessageLoop::Main().KillTimer(timer.Mailbox());
    TMessageLoop::Main().Quit();
    EXPECT_TRUE(QTest::qWaitFor([&] { return quit; }, 10000));
}

TEST(LoopBridge, AnIdleLoopDoesNotWakeQt) {
    TQtLoopBridge bridge(TMessageLoop::Main(), nullptr);
    QTest::qWait(20); // serves whatever earlier tests left queued
    uint64_t before = bridge.ActivationCount();
    QTest::qWait(300);
    EXPECT_EQ(bridge.ActivationCount(), before);
}
