// Host lookups by every method, failures, cancellation and the thread results arrive on.
#include "net/SocketHostLookup.h"
#include "net/Sockets.h"

#include "support/NetTestSupport.h"

#include <gtest/gtest.h>

#include <thread>

using namespace corvan;
using namespace corvan::test;

namespace {
const uint8_t AllMethods[] = {0, 1, 2, 3};
}

TEST(HostLookup, ResolvesLocalhostAndLiteralsByEveryMethod) {
    for (uint8_t method : AllMethods)
        for (const char* host : {"localhost", "127.0.0.1"}) {
            TSocketHostLookup l;
            int completes = 0, starts = 0;
            l.OnStart = [&](TSocketHostLookup*) { ++starts; };
            l.OnComplete = [&](TSocketHostLookup*) { ++completes; };
            l.Lookup(host, method);
            ASSERT_TRUE(RunLoopUntil([&] { return completes > 0; })) << int(method) << host;
            EXPECT_EQ(starts, 1);
            EXPECT_TRUE(l.Succeeded()) << l.ErrorMessage();
            ASSERT_GE(l.AddressCount(), 1u);
            EXPECT_EQ(IPAddressStr(l.Address(0)), "127.0.0.1");
            EXPECT_EQ(l.Host, host);
            RunLoopFor(20);
            EXPECT_EQ(completes, 1);
        }
}

TEST(HostLookup, NameThatDoesNotResolveCompletesWithTheErrorAndRaisesNothing) {
    for (uint8_t method : AllMethods) {
        TSocketHostLookup l;
        int completes = 0;
        l.OnComplete = [&](TSocketHostLookup*) { ++completes; };
        EXPECT_NO_THROW(l.Lookup("no-such-host.invalid", method));
        ASSERT_TRUE(RunLoopUntil([&] { return completes > 0; })) << int(method);
        EXPECT_EQ(l.State(), TSocketHostLookup::lsComplete);
        EXPECT_FALSE(l.Succeeded());
        EXPECT_NE(l.ErrorCode(), 0);
        EXPECT_EQ(l.AddressCount(), 0u);
        EXPECT_EQ(l.ErrorMessage().rfind("Failed to resolve host: ", 0), 0u) << l.ErrorMessage();
    }
}

TEST(HostLookup, CancelledLookupsLateResultChangesNothing) {
    for (uint8_t method : {1, 2}) {
        TSocketHostLookup l;
        int completes = 0;
        l.OnComplete = [&](TSocketHostLookup*) { ++completes; };
        l.Lookup("localhost", method);
        l.Cancel();
        EXPECT_EQ(l.State(), TSocketHostLookup::lsCancelled);
        RunLoopFor(300); // the worker finishes meanwhile; its reply must fall through
        EXPECT_EQ(completes, 0) << int(method);
        EXPECT_EQ(l.State(), TSocketHostLookup::lsCancelled);
        EXPECT_EQ(l.AddressCount(), 0u);
        // The object can be started again.
        l.Lookup("127.0.0.1", method);
        ASSERT_TRUE(RunLoopUntil([&] { return completes == 1; }));
        EXPECT_TRUE(l.Succeeded());
    }
}

TEST(HostLookup, LookupAfterACancelledOneDeliversOnlyTheLatest) {
    TSocketHostLookup l;
    std::vector<std::string> results;
    l.OnComplete = [&](TSocketHostLookup* s) {
        results.push_back(s->Host + "=" + std::to_string(s->AddressCount()));
    };
    l.Lookup("no-such-host.invalid", 2);
    l.Cancel();
    l.Lookup("localhost", 2);
    ASSERT_TRUE(RunLoopUntil([&] { return !results.empty(); }));
    RunLoopFor(100);
    ASSERT_EQ(results.size(), 1u);
    EXPECT_EQ(results[0].rfind("localhost=", 0), 0u);
}

TEST(HostLookup, MisuseRaises) {
    TSocketHostLookup l;
    try {
        l.Start();
        FAIL();
    } catch (const ESocketHostLookup& e) {
        EXPECT_STREQ(e.what(), "Host not assigned");
    }
    l.Lookup("localhost", 2);
    try {
        l.Lookup("localhost", 2);
        FAIL();
    } catch (const ESocketHostLookup& e) {
        EXPECT_STREQ(e.what(), "Lookup in progress");
    }
    l.Cancel();
}

TEST(HostLookup, ResultArrivesOnTheRequestingThread) {
    for (uint8_t method : {1, 2}) {
        std::thread::id completedOn;
        std::thread::id requester;
        std::thread t([&] {
            requester = std::this_thread::get_id();
            TSocketHostLookup l;
            bool done = false;
            l.OnComplete = [&](TSocketHostLookup*) {
                completedOn = std::this_thread::get_id();
                done = true;
            };
            l.Lookup("localhost", method);
            RunLoopUntil([&] { return done; });
        });
        t.join();
        EXPECT_EQ(completedOn, requester) << int(method);
    }
}

TEST(HostLookup, DestroyingAPendingLookupDropsItsResult) {
    for (uint8_t method : {1, 2}) {
        int completes = 0;
        {
            TSocketHostLookup l;
            l.OnComplete = [&](TSocketHostLookup*) { ++completes; };
            l.Lookup("localhost", method);
        }
        RunLoopFor(200);
        EXPECT_EQ(completes, 0);
    }
}

namespace {
// A socket that records what its lookups resolve to.
class TLookupSocket : public ASocket {
public:
    TLookupSocket() : ASocket(TIPProtocol::ipTCP) {}
    std::vector<std::tuple<int, std::string, uint32_t>> Resolved;

protected:
    void ProcessSocketEvent(uint32_t, int) override {}
    uint32_t AsyncEvents() const override { return READY_READ; }
    void DoHostResolved(int error, const std::string& host, uint32_t address) override {
        Resolved.emplace_back(error, host, address);
    }
};
} // namespace

TEST(SocketLookup, LiteralResolvesInsideTheCallAndNamesLater) {
    TLookupSocket s;
    s.StartHostLookup("127.0.0.1", 1);
    ASSERT_EQ(s.Resolved.size(), 1u);
    EXPECT_EQ(std::get<0>(s.Resolved[0]), 0);
    EXPECT_EQ(s.PendingLookupCount(), 0u);
    for (uint8_t method : AllMethods) {
        size_t before = s.Resolved.size();
        s.StartHostLookup("localhost", method);
        ASSERT_TRUE(RunLoopUntil([&] { return s.Resolved.size() == before + 1; }));
        EXPECT_EQ(std::get<0>(s.Resolved.back()), 0);
        EXPECT_EQ(IPAddressStr(std::get<2>(s.Resolved.back())), "127.0.0.1");
        EXPECT_EQ(s.PendingLookupCount(), 0u);
    }
    s.StartHostLookup("no-such-host.invalid", 1);
    ASSERT_TRUE(RunLoopUntil([&] { return s.Resolved.size() == 6; }));
    EXPECT_NE(std::get<0>(s.Resolved.back()), 0);
    EXPECT_EQ(std::get<2>(s.Resolved.back()), 0u);
}

TEST(SocketLookup, TerminateCancelsPendingLookups) {
    TLookupSocket s;
    s.StartHostLookup("localhost", 1);
    s.StartHostLookup("localhost", 2);
    EXPECT_EQ(s.PendingLookupCount(), 2u);
    s.Terminate();
    EXPECT_EQ(s.PendingLookupCount(), 0u);
    RunLoopFor(200);
    EXPECT_TRUE(s.Resolved.empty());
}

TEST(LocalTarget, EveryNumericFormOfAnAddressIsJudgedAsThatAddress) {
    // Through an up-stream proxy (nothing resolved here) the numeric forms are still addresses.
    for (std::string host : {"127.0.0.1", "127.1", "2130706433", "0x7f000001", "0177.0.0.1", "0",
                             "0x7f.1"})
        EXPECT_EQ(CheckLocalTarget(host, false, nullptr, nullptr).Outcome,
                  TLocalTargetCheck::RefusedAsLocal)
            << host;
    for (std::string host : {"10.1", "167772161", "localhost", "127.0.0.1 x", "127.0.0.1."}) {
        TLocalTargetCheck check = CheckLocalTarget(host, false, nullptr, nullptr);
        EXPECT_EQ(check.Outcome, TLocalTargetCheck::Allowed) << host;
        EXPECT_EQ(check.ConnectHost(), "") << host;
    }
    TLocalTargetCheck mine = CheckLocalTarget("127.1", true, [] { return true; }, nullptr);
    EXPECT_EQ(mine.Outcome, TLocalTargetCheck::Allowed);
    EXPECT_EQ(mine.ConnectHost(), "127.0.0.1");
}
