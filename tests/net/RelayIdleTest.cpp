// What an idle relay keeps: a tunnel that has carried bytes and now waits holds no read buffer
// on either socket, so that thousands of open idle tunnels cost little memory.
#include "net/TCPStream.h"

#include "support/NetTestSupport.h"
#include "support/RelayHarness.h"

#include <gtest/gtest.h>

#include <future>
#include <string>
#include <utility>

using namespace corvan;
using namespace corvan::test;

namespace {

constexpr uint32_t MSG_CHECK_IDLE = MSG_USER + 1;
// Large enough that the sockets' read buffers grow well past their first probe.
constexpr size_t kBurst = 200000;

// The read buffers of both sockets, seen on the relay's thread while the relay waits.
using TCapacities = std::pair<size_t, size_t>;

TCapacities IdleCapacities(bool throttled) {
    TRelayHarness<int64_t> run;
    std::promise<TMailboxId> probeReady;
    std::promise<TCapacities> seen;
    run.Start([&](TSocketStream& a, TSocketStream& b) {
        // Bytes that arrive before the relay starts are read into A's buffer, as a mapping's
        // first request is while the destination is being connected.
        if (!RunLoopUntil([&] { return a.Socket()->BufferUsed() == 5; }))
            throw EStream("the first bytes never arrived");
        // A throttled way copies through the read buffers; an open one splices.
        a.Socket()->SetThrottleRead(throttled);
        a.Socket()->SetReadThrottleRate(int64_t(1) << 40);
        b.Socket()->SetThrottleRead(throttled);
        b.Socket()->SetReadThrottleRate(int64_t(1) << 40);
        TMailbox probe;
        probe.OnMessage = [&](uint32_t msg, uintptr_t, intptr_t, bool& handled) -> intptr_t {
            if (msg == MSG_CHECK_IDLE) {
                seen.set_value({a.Socket()->ReadBufferCapacity(), b.Socket()->ReadBufferCapacity()});
                handled = true;
            }
            return 0;
        };
        probeReady.set_value(probe.GetMailbox());
        return RelayStreams(&a, &b, 65536);
    });
    EXPECT_TRUE(SendAll(run.PeerA, "hello"));
    TMailboxId probe = probeReady.get_future().get();
    EXPECT_EQ(RecvWithin(run.PeerB, 5), "hello");
    // A burst each way, then nothing: the relay waits for more.
    std::string burst = Pattern(kBurst);
    std::thread sender([&] { SendAll(run.PeerB, burst); });
    EXPECT_TRUE(RecvWithin(run.PeerA, kBurst) == burst);
    sender.join();
    // Every wait of the relay comes after it has given its buffers back, and the check is
    // dispatched in one of them.
    auto result = seen.get_future();
    PostToMailbox(probe, MSG_CHECK_IDLE, 0, 0);
    bool checked = result.wait_for(std::chrono::seconds(10)) == std::future_status::ready;
    SocketShutdown(run.PeerA, TShutdownHow::sdSend);
    SocketShutdown(run.PeerB, TShutdownHow::sdSend);
    EXPECT_TRUE(run.Finish(30));
    if (!checked) {
        ADD_FAILURE() << "the idle relay never served the check";
        return {SIZE_MAX, SIZE_MAX};
    }
    return result.get();
}

} // namespace

TEST(RelayIdle, AnIdleTunnelHoldsNoReadBufferWhetherItSplicesOrCopies) {
    for (bool throttled : {false, true}) {
        SCOPED_TRACE(throttled ? "copying (throttled)" : "splicing");
        TCapacities c = IdleCapacities(throttled);
        EXPECT_EQ(c.first, 0u);
        EXPECT_EQ(c.second, 0u);
    }
}
