// The TCP server with one thread per client, over real loopback connections.
#include "net/TCPServer.h"

#include "util/Log.h"

#include "support/NetTestSupport.h"

#include <gtest/gtest.h>

#include <atomic>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <mutex>
#include <optional>
#include <poll.h>
#include <random>
#include <set>
#include <spawn.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

extern char** environ;

using namespace corvan;
using namespace corvan::test;

namespace {

// Blocking I/O on a client's own thread, by serving that thread's loop.
// Bytes that have arrived (at least one), or "" when the connection ended or the wait failed.
std::string ReadSome(TTCPServerClientSocket* socket) {
    while (socket->BufferUsed() == 0) {
        if (!socket->IsConnected() || !socket->HandleMessage())
            return "";
    }
    return socket->ReadAvailable();
}

// Wakes the main loop so that a RunLoopUntil there re-checks its condition after another
// thread changed what it waits for.
void WakeMain() {
    TMessageLoop::Main().Post(TMessage{0, MSG_USER, 0, 0});
}

// Runs body on a helper thread (blocking peer I/O) while this thread serves its loop; answers
// the body's result once it is done.
std::string OffMain(const std::function<std::string()>& body) {
    std::atomic<bool> done{false};
    std::string result;
    std::thread t([&] {
        result = body();
        done = true;
        WakeMain();
    });
    bool finished = RunLoopUntil([&] { return done.load(); }, 30000);
    t.join();
    EXPECT_TRUE(finished);
    return result;
}

struct TLogEntry {
    int Type;
    std::string Text;
    bool OnMainThread;
};

// A server on 127.0.0.1 with a system-assigned port whose clients run Body on their threads.
class TTestServer : public ATCPServer {
public:
    std::function<void(TTCPServerClient*)> Body;
    std::vector<TLogEntry> Entries; // main thread only
    std::atomic<int> Executing{0};
    std::atomic<int> Executed{0};

    explicit TTestServer(TClientMode mode = cmThread) {
        ClientMode = mode;
        SetLocalHost("127.0.0.1");
        SetListenPort("0");
        OnLog = [this](ATCPServer*, int type, const std::string& msg) {
            Entries.push_back({type, msg, TMessageLoop::IsMainThread()});
        };
        OnClientExecute = [this](TTCPServerClient* client) {
            ++Executing;
            WakeMain();
            if (Body)
                Body(client);
            --Executing;
            ++Executed;
            WakeMain();
        };
    }
    ~TTestServer() override { ShutdownClients(); }
    uint16_t Port() {
        TSocketAddr local;
        SocketGetSockName(ServerSocket().SocketHandle(), local);
        return local.Port;
    }
    bool Logged(int type, const std::string& text) const {
        for (auto& e : Entries)
            if (e.Type == type && e.Text == text)
                return true;
        return false;
    }
};

// Echoes until the peer closes.
void Echo(TTCPServerClient* client) {
    TTCPServerClientSocket* socket = client->GetSocket();
    for (;;) {
        std::string data = ReadSome(socket);
        if (data.empty())
            return;
        socket->WriteStr(data);
    }
}

// Waits for data on a blocking test connection (bounded); false when none comes.
bool Readable(TSocketHandle h, int timeoutMs) {
    pollfd p{h, POLLIN, 0};
    return ::poll(&p, 1, timeoutMs) > 0;
}

struct TPeer {
    TSocketHandle H;
    explicit TPeer(uint16_t port) : H(ConnectBlocking(port)) {}
    ~TPeer() { Close(); }
    void Close() {
        if (H != INVALID_SOCKETHANDLE)
            SocketClose(H);
        H = INVALID_SOCKETHANDLE;
    }
    std::string Exchange(const std::string& data) {
        SendAll(H, data);
        return RecvWithin(H, data.size());
    }
};

} // namespace

TEST(TCPServerActivation, SettingsAreCheckedAndActivationIsLogged) {
    TTestServer server;
    server.SetListenPort("1");
    try {
        server.SetListenPort("");
        FAIL() << "no exception";
    } catch (const ETCPServer& e) {
        EXPECT_EQ(e.Message(), "Invalid ListenPort");
    }
    server.SetListenPort("0");
    server.SetActive(true);
    EXPECT_TRUE(server.Active());
    EXPECT_EQ(server.ServerSocket().State(), ssListening);
    EXPECT_TRUE(server.Logged(ltInfo, "Server active. Listening on port 0."));
    auto raises = [](const std::function<void()>& f, const std::string& text) {
        try {
            f();
            ADD_FAILURE() << "no exception for " << text;
        } catch (const Exception& e) {
            EXPECT_EQ(e.Message(), text);
        }
    };
    raises([&] { server.SetLocalHost("127.0.0.2"); },
           "Cannot change local host while server is active");
    raises([&] { server.SetListenPort("8080"); }, "Cannot change port while server is active");
    raises([&] { server.SetMaxBacklog(10); },
           "Operation only allowed on closed socket: SetMaxBacklog");
    EXPECT_GE(server.Uptime(), 0);
    server.SetActive(false);
    EXPECT_TRUE(server.Logged(ltInfo, "Server shutdown."));
    EXPECT_EQ(server.Uptime(), 0);
    EXPECT_EQ(server.ServerSocket().State(), ssClosed);
    server.SetMaxBacklog(10);
    EXPECT_EQ(server.MaxBacklog(), 10);
    for (auto& e : server.Entries)
        EXPECT_TRUE(e.OnMainThread);
}

TEST(TCPServerActivation, EmptyListenPortRaisesWithoutLogging) {
    ATCPServer server;
    std::vector<std::string> logged;
    server.OnLog = [&](ATCPServer*, int, const std::string& m) { logged.push_back(m); };
    try {
        server.SetActive(true);
        FAIL() << "no exception";
    } catch (const ETCPServer& e) {
        EXPECT_EQ(e.Message(), "ListenPort not set");
    }
    EXPECT_FALSE(server.Active());
    EXPECT_TRUE(logged.empty());
}

TEST(TCPServerActivation, PortInUseIsLoggedAsAnErrorAndRaised) {
    std::optional<TTestListener> occupant(std::in_place);
    TTestServer server;
    server.SetListenPort(std::to_string(occupant->Port));
    const std::string text = "Server activation failed: Socket bind failed: Address in use";
    try {
        server.SetActive(true);
        FAIL() << "no exception";
    } catch (const ETCPServer& e) {
        EXPECT_EQ(e.Message(), text);
    }
    EXPECT_FALSE(server.Active());
    ASSERT_EQ(server.Entries.size(), 1u);
    EXPECT_EQ(server.Entries[0].Type, ltError);
    EXPECT_EQ(server.Entries[0].Text, text);
    // Once the port is free the same server activates.
    occupant.reset();
    server.SetActive(true);
    EXPECT_TRUE(server.Active());
}

TEST(TCPServerActivation, ActivationWhileLoadingWaitsForTheEndOfLoading) {
    TTestServer server;
    server.SetLoading(true);
    server.SetActive(true);
    EXPECT_FALSE(server.Active());
    server.SetLoading(false);
    EXPECT_TRUE(server.Active());
}

TEST(TCPServerClients, EachClientRunsOnItsOwnThreadAndEventsRunOnTheMainThread) {
    TTestServer server;
    std::vector<std::string> events;
    std::set<std::thread::id> threads;
    std::mutex threadsLock; // guards threads
    server.Body = [&](TTCPServerClient* client) {
        {
            std::lock_guard<std::mutex> lock(threadsLock);
            threads.insert(std::this_thread::get_id());
        }
        EXPECT_FALSE(TMessageLoop::IsMainThread());
        client->Log(ltInfo, "hello from client");
        Echo(client);
    };
    server.OnClientAdd = [&](TTCPServerClient*) {
        events.push_back(TMessageLoop::IsMainThread() ? "add" : "add off main");
    };
    // Read once a client's Execute has ended: its thread made every send by then (a peer can
    // hold all echoed bytes before the sending thread has counted them).
    int64_t closedBytes = 0;
    server.OnClientClose = [&](TTCPServerClient* client) {
        events.push_back(TMessageLoop::IsMainThread() ? "close" : "close off main");
        closedBytes += client->TotalBytes();
    };
    server.OnClientRemove = [&](TTCPServerClient*) { events.push_back("remove"); };
    server.SetActive(true);
    {
        TPeer a(server.Port()), b(server.Port());
        ASSERT_TRUE(RunLoopUntil([&] { return server.ClientCount() == 2; }));
        // Blocking exchanges: the main loop keeps running on a helper thread's behalf.
        EXPECT_EQ(OffMain([&] { return a.Exchange("alpha"); }), "alpha");
        EXPECT_EQ(OffMain([&] { return b.Exchange(Pattern(100000)); }), Pattern(100000));
        EXPECT_EQ(server.Executing, 2);
        EXPECT_EQ(server.Client(0)->RemoteAddr().AddrIP4(), Loopback());
    }
    ASSERT_TRUE(RunLoopPolling([&] { return server.ClientCount() == 0; }));
    EXPECT_EQ(closedBytes, 2 * 100005);
    EXPECT_EQ(threads.size(), 2u);
    ASSERT_EQ(events.size(), 6u);
    EXPECT_EQ(events[0], "add");
    EXPECT_EQ(events[1], "add");
    EXPECT_EQ(std::count(events.begin(), events.end(), "close"), 2);
    EXPECT_EQ(std::count(events.begin(), events.end(), "remove"), 2);
    EXPECT_EQ(events[2], "close"); // a client is removed only after its close event
    EXPECT_TRUE(server.Logged(ltInfo, "hello from client"));
    for (auto& e : server.Entries)
        EXPECT_TRUE(e.OnMainThread);
    // The bytes of removed clients still count in the rate.
    RunLoopFor(1100);
    EXPECT_GT(server.GetTransferRate(), 0);
}

TEST(TCPServerClients, MaxClientsOneServesTheSecondConnectionOnlyAfterTheFirstIsRemoved) {
    TTestServer server;
    server.MaxClients = 1;
    server.Body = Echo;
    std::vector<std::string> events;
    server.OnClientAdd = [&](TTCPServerClient*) { events.push_back("add"); };
    server.OnClientRemove = [&](TTCPServerClient*) { events.push_back("remove"); };
    server.SetActive(true);
    TPeer first(server.Port());
    TPeer second(server.Port());
    ASSERT_TRUE(RunLoopUntil([&] { return server.AcceptPending(); }));
    EXPECT_EQ(server.ClientCount(), 1u);
    SendAll(second.H, "second");
    EXPECT_EQ(OffMain([&] { return first.Exchange("first"); }), "first");
    // The second waits in the backlog: no answer while the first is served.
    RunLoopFor(100);
    EXPECT_FALSE(Readable(second.H, 0));
    EXPECT_EQ(events, (std::vector<std::string>{"add"}));
    first.Close();
    ASSERT_TRUE(RunLoopUntil([&] { return events.size() == 3; }));
    EXPECT_EQ(events, (std::vector<std::string>{"add", "remove", "add"}));
    EXPECT_EQ(OffMain([&] { return RecvWithin(second.H, 6); }), "second");
}

TEST(TCPServerClients, MaxClientsZeroAcceptsNothing) {
    TTestServer server;
    server.MaxClients = 0;
    int accepts = 0;
    server.OnAccept = [&](ATCPServer*) { ++accepts; };
    server.SetActive(true);
    TPeer peer(server.Port());
    ASSERT_NE(peer.H, INVALID_SOCKETHANDLE); // connected: it waits in the backlog
    ASSERT_TRUE(RunLoopUntil([&] { return server.AcceptPending(); }));
    RunLoopFor(100);
    EXPECT_EQ(server.ClientCount(), 0u);
    EXPECT_EQ(accepts, 0);
    EXPECT_EQ(server.ServerSocket().AcceptCalls(), 0u);
}

TEST(TCPServerClients, TerminatingAClientEndsItsBlockingReadAtOnce) {
    TTestServer server;
    server.ClientTimeout = 300000;
    std::atomic<int> readResult{-1};
    server.Body = [&](TTCPServerClient* client) {
        readResult = static_cast<int>(ReadSome(client->GetSocket()).size());
    };
    server.SetActive(true);
    TPeer peer(server.Port());
    ASSERT_TRUE(RunLoopUntil([&] { return server.Executing == 1; }));
    server.Client(0)->Terminate();
    ASSERT_TRUE(RunLoopPolling([&] { return server.ClientCount() == 0; }));
    EXPECT_EQ(readResult, 0);
    // The peer sees the connection end.
    EXPECT_EQ(RecvWithin(peer.H, 1), "");
}

TEST(TCPServerClients, FailuresOfClientsAreLoggedAndTheClientFinishes) {
    TTestServer server;
    server.Body = [&](TTCPServerClient*) { throw Exception("boom"); };
    std::atomic<bool> failCreate{false}; // read on the accepting thread
    server.OnCreateClient = [&](ATCPServer*) -> std::unique_ptr<TTCPServerClient> {
        if (failCreate)
            throw Exception("no memory for you");
        return nullptr; // the plain client
    };
    server.SetActive(true);
    {
        TPeer peer(server.Port());
        ASSERT_TRUE(RunLoopUntil([&] {
            return server.Logged(ltError, "Client execute error: boom") &&
                   server.ClientCount() == 0;
        }));
        EXPECT_TRUE(server.Logged(ltError, "Client execute error: boom"));
    }
    failCreate = true;
    TPeer peer(server.Port());
    ASSERT_TRUE(RunLoopUntil(
        [&] { return server.Logged(ltError, "Error creating client: no memory for you"); }));
    EXPECT_EQ(RecvWithin(peer.H, 1), ""); // its connection was closed
    EXPECT_EQ(server.ClientCount(), 0u);
}

TEST(TCPServerClients, ThrottleChangesReachRunningClients) {
    TTestServer server;
    server.SetReadThrottleRate(1000000);
    server.SetThrottleRead(true);
    server.Body = [&](TTCPServerClient* client) {
        TTCPServerClientSocket* socket = client->GetSocket();
        while (!ReadSome(socket).empty()) {
            std::string state = std::string(socket->ThrottleRead() ? "R" : "r") +
                                (socket->ThrottleWrite() ? "W" : "w") +
                                std::to_string(socket->WriteThrottleRate());
            socket->WriteStr(state + ".");
        }
    };
    server.SetActive(true);
    TPeer peer(server.Port());
    auto ask = [&](size_t replySize) {
        return OffMain([&] {
            SendAll(peer.H, "?");
            return RecvWithin(peer.H, replySize);
        });
    };
    EXPECT_EQ(ask(4), "Rw0.");
    server.SetWriteThrottleRate(5000000);
    server.SetThrottleWrite(true);
    EXPECT_EQ(ask(10), "RW5000000.");
}

// A client body that connects to Destination, waits at the relay until the main thread lets
// it go on (Release), then hands both connections to RelayTunnel.
class TTunnelAtRelay {
public:
    TTestListener Destination;
    std::function<void(TTCPServerClient*)> Body() {
        return [this](TTCPServerClient* client) {
            client->GetStream();
            TSocketStream outbound(new ATCPClientSocket(ConnectBlocking(Destination.Port)), -1,
                                   30000, smBlockWaitMessage, true);
            std::unique_lock<std::mutex> held(FLock);
            FAtRelay = true;
            WakeMain();
            bool go = FChanged.wait_for(held, std::chrono::seconds(10), [&] { return FGo; });
            FAtRelay = FGo = false;
            held.unlock();
            if (go)
                client->RelayTunnel(outbound, 65536, nullptr);
        };
    }
    // The main thread: a client waits at the relay.
    bool AtRelay() {
        return RunLoopUntil([&] {
            std::lock_guard<std::mutex> held(FLock);
            return FAtRelay;
        });
    }
    void Release() {
        {
            std::lock_guard<std::mutex> held(FLock);
            FGo = true;
        }
        FChanged.notify_all();
    }

private:
    std::mutex FLock; // guards FAtRelay and FGo; a leaf
    std::condition_variable FChanged;
    bool FAtRelay = false, FGo = false;
};

TEST(TCPServerClients, AThrottleSwitchedOffAsTheClientHandsItsTunnelOnReachesTheTunnel) {
    // The switch is posted to the client's thread, which is busy until it hands the
    // connection to a relay: the tunnel must not keep the switch the socket still had.
    TTestServer server;
    server.SetReadThrottleRate(1); // a byte a second: 64 KiB would take most of a day
    server.SetThrottleRead(true);
    TTunnelAtRelay tunnel;
    server.Body = tunnel.Body();
    server.SetActive(true);
    TPeer peer(server.Port());
    ASSERT_TRUE(tunnel.AtRelay());
    TSocketHandle far = tunnel.Destination.Accept();
    server.SetThrottleRead(false);
    tunnel.Release();
    std::string data = Pattern(65536);
    EXPECT_TRUE(OffMain([&] {
        SendAll(peer.H, data);
        return RecvWithin(far, data.size());
    }) == data) << "the tunnel kept the throttle switched off before it started";
    SocketClose(far);
    peer.Close();
    // The tunnel ends and the client with it, before the next test counts threads.
    EXPECT_TRUE(RunLoopPolling([&] { return server.ClientCount() == 0; }));
}

TEST(TCPServerClients, ATunnelWhoseFarEndEndedFirstStillCarriesWhatItsClientSendsLater) {
    // Half-closed by its far end: the client's later bytes and its end still get through,
    // on the thread that relays it briefly or on a relay loop, and the client is let go.
    TTestServer server;
    TTunnelAtRelay tunnel;
    server.Body = tunnel.Body();
    server.SetActive(true);
    const size_t loopTunnels = RelayTunnelCount();
    for (bool clientWaits : {false, true}) {
        SCOPED_TRACE(clientWaits ? "the client sends once a loop has the tunnel" : "at once");
        TPeer peer(server.Port());
        SetReceiveTimeout(peer.H);
        ASSERT_TRUE(tunnel.AtRelay());
        TSocketHandle far = tunnel.Destination.Accept();
        SetReceiveTimeout(far);
        // The far end's answer and end are there before the tunnel starts.
        ASSERT_TRUE(SendAll(far, "answer"));
        SocketShutdown(far, TShutdownHow::sdSend);
        tunnel.Release();
        EXPECT_EQ(OffMain([&] { return RecvAll(peer.H); }), "answer");
        if (clientWaits) {
            ASSERT_TRUE(RunLoopPolling([&] { return RelayTunnelCount() == loopTunnels + 1; }));
        }
        ASSERT_TRUE(SendAll(peer.H, "late"));
        SocketShutdown(peer.H, TShutdownHow::sdSend);
        EXPECT_EQ(OffMain([&] { return RecvAll(far); }), "late");
        EXPECT_TRUE(RunLoopPolling([&] { return server.ClientCount() == 0; }));
        SocketClose(far);
    }
}

TEST(TCPServerDeactivation, WaitsForEveryClientThreadWhileServingTheirHandOvers) {
    TTestServer server;
    constexpr int kClients = 100;
    server.Body = [&](TTCPServerClient* client) {
        ReadSome(client->GetSocket()); // the peers stay silent
        client->Log(ltInfo, "leaving");
    };
    server.SetActive(true);
    std::vector<std::unique_ptr<TPeer>> peers;
    for (int i = 0; i < kClients; ++i) {
        peers.push_back(std::make_unique<TPeer>(server.Port()));
        ASSERT_TRUE(RunLoopUntil([&] { return server.Executing == i + 1; }));
    }
    server.SetActive(false);
    EXPECT_EQ(server.Executing, 0);
    EXPECT_EQ(server.Executed, kClients);
    EXPECT_EQ(server.ClientCount(), 0u);
    int leaving = 0;
    for (auto& e : server.Entries)
        leaving += e.Text == "leaving";
    EXPECT_EQ(leaving, kClients);
    EXPECT_EQ(server.Entries.back().Text, "Server shutdown.");
    // Late done-messages of the freed clients change nothing.
    RunLoopFor(50);
    EXPECT_EQ(server.ClientCount(), 0u);
}

TEST(TCPServerStress, TwoHundredEchoClientsWithRandomMessageSizesGetEveryByteBack) {
    TTestServer server;
    server.SetMaxBacklog(256);
    server.Body = Echo;
    server.SetActive(true);
    constexpr int kClients = 200;
    std::atomic<int> done{0}, good{0};
    std::vector<std::thread> peers;
    for (int i = 0; i < kClients; ++i)
        peers.emplace_back([&, i, port = server.Port()] {
            std::mt19937 random(static_cast<unsigned>(i));
            TPeer peer(port);
            bool ok = peer.H != INVALID_SOCKETHANDLE;
            for (int m = 0; ok && m < 4; ++m) {
                std::string message = Pattern(1 + random() % 40000);
                message[0] = static_cast<char>(i);
                ok = peer.Exchange(message) == message;
            }
            good += ok;
            ++done;
            WakeMain();
        });
    bool finished = RunLoopUntil([&] { return done == kClients; }, 120000);
    for (auto& t : peers)
        t.join();
    ASSERT_TRUE(finished);
    EXPECT_EQ(good, kClients);
    ASSERT_TRUE(RunLoopPolling([&] { return server.ClientCount() == 0; }));
    EXPECT_EQ(server.Executed, kClients);
    for (auto& e : server.Entries)
        EXPECT_EQ(e.Type, ltInfo) << e.Text;
}

TEST(TCPServerModes, EventModeServesClientsOnTheServerThread) {
    TTestServer server(cmEvents);
    int adds = 0, closes = 0, removes = 0;
    server.OnClientAdd = [&](TTCPServerClient*) { ++adds; };
    server.OnClientDataAvailable = [&](TTCPServerClient* client) {
        EXPECT_TRUE(TMessageLoop::IsMainThread());
        client->Socket()->WriteStr(client->Socket()->ReadAvailable());
    };
    server.OnClientClose = [&](TTCPServerClient*) { ++closes; };
    server.OnClientRemove = [&](TTCPServerClient*) { ++removes; };
    server.SetActive(true);
    {
        TPeer peer(server.Port());
        EXPECT_EQ(OffMain([&] { return peer.Exchange("events"); }), "events");
    }
    ASSERT_TRUE(RunLoopUntil([&] { return removes == 1; }));
    EXPECT_EQ(adds, 1);
    EXPECT_EQ(closes, 1);
    EXPECT_EQ(server.ClientCount(), 0u);
}

TEST(TCPServerModes, ModeZeroOnlyReportsAccepts) {
    TTestServer server(cmNone);
    int accepts = 0;
    server.OnAccept = [&](ATCPServer*) { ++accepts; };
    server.SetActive(true);
    TPeer peer(server.Port());
    ASSERT_TRUE(RunLoopUntil([&] { return accepts == 1; }));
    RunLoopFor(50);
    EXPECT_EQ(accepts, 1); // not re-armed without an accept: no spinning
    EXPECT_EQ(server.ClientCount(), 0u);
}

// --- out of descriptors --------------------------------------------------------------------
//
// The server runs in a child process (this test program run again with a filter) whose
// descriptor limit is 64; the parent makes 200 connections. The child reports its port, then
// on SIGTERM its counts, on the descriptor named by CORVAN_FD_REPORT.

namespace {
constexpr int kChildDescriptorLimit = 64;
constexpr int kExhaustionConnections = 200;

void Report(int fd, const std::string& line) {
    std::string l = line + "\n";
    [[maybe_unused]] ssize_t n = ::write(fd, l.data(), l.size());
}

bool ReadLine(int fd, std::string& line, int timeoutMs) {
    line.clear();
    int64_t deadline = MonotonicMillis() + timeoutMs;
    char c;
    for (;;) {
        int left = static_cast<int>(deadline - MonotonicMillis());
        if (left <= 0 || !Readable(fd, left))
            return false;
        if (::read(fd, &c, 1) != 1)
            return false;
        if (c == '\n')
            return true;
        line += c;
    }
}
} // namespace

TEST(TCPServerDescriptors, ChildServer) {
    const char* reportFd = std::getenv("CORVAN_FD_REPORT");
    if (!reportFd)
        GTEST_SKIP() << "runs only as the child of OutOfDescriptorsNeitherCrashesNorSpins";
    int report = std::atoi(reportFd);
    // Never outlive the test that started us.
    ::prctl(PR_SET_PDEATHSIG, SIGKILL);
    if (::getppid() == 1)
        return;
    rlimit limit{kChildDescriptorLimit, kChildDescriptorLimit};
    ASSERT_EQ(::setrlimit(RLIMIT_NOFILE, &limit), 0);
    TMessageLoop& loop = TMessageLoop::Main();
    loop.WatchTerminationSignals();
    TTestServer server;
    server.SetMaxBacklog(512);
    server.Body = Echo;
    int maxClients = 0;
    server.OnClientAdd = [&](TTCPServerClient*) {
        maxClients = std::max(maxClients, static_cast<int>(server.ClientCount()));
    };
    server.SetActive(true);
    Report(report, "port " + std::to_string(server.Port()));
    uint64_t wakeups = 0;
    while (loop.WaitMessage(-1) != TWaitResult::wrQuit) {
        ++wakeups;
        maxClients = std::max(maxClients, static_cast<int>(server.ClientCount()));
    }
    int paused = 0, dropped = 0;
    for (auto& e : server.Entries) {
        paused += e.Text.rfind("Accept paused", 0) == 0;
        dropped += e.Text.rfind("Socket creation error", 0) == 0;
    }
    Report(report, "accepts " + std::to_string(server.ServerSocket().AcceptCalls()) + " wakeups " +
                       std::to_string(wakeups) + " executed " + std::to_string(server.Executed) +
                       " paused " + std::to_string(paused) + " max " + std::to_string(maxClients) +
                       " dropped " + std::to_string(dropped));
    server.SetActive(false);
    Report(report, "stopped");
}

// Clients whose socket cannot be made (no descriptor left for their thread's loop) end at
// once: their closed handle's number is soon another loop's eventfd or epoll descriptor, and a
// second attempt on it once closed those under running threads, which then never woke.
TEST(TCPServerDescriptors, OutOfDescriptorsNeitherCrashesNorSpinsAndServesAfterwards) {
    if (std::getenv("CORVAN_FD_REPORT"))
        GTEST_SKIP();
    int pipeFds[2];
    ASSERT_EQ(::pipe(pipeFds), 0);
    std::string fdVar = "CORVAN_FD_REPORT=" + std::to_string(pipeFds[1]);
    std::string filter = "--gtest_filter=TCPServerDescriptors.ChildServer";
    char self[4096];
    ssize_t len = ::readlink("/proc/self/exe", self, sizeof self - 1);
    ASSERT_GT(len, 0);
    self[len] = 0;
    // In a sanitizer build, the sanitizer tests whether memory is readable through a pipe; in
    // a process without a free descriptor that test fails, and the vptr check then reports
    // objects it looks at as invalid. Those reports do not stop the child (the build makes
    // them recoverable; everything else stays fatal), and as the report's printing leaks the
    // type names it demangles, the child skips the leak check.
    auto extended = [](const char* name, const std::string& extra) {
        const char* value = std::getenv(name);
        std::string var = std::string(name) + "=";
        if (value && *value)
            var += std::string(value) + ":";
        return var + extra;
    };
    std::string ubsanVar = extended("UBSAN_OPTIONS", "halt_on_error=0");
    std::string asanVar = extended("ASAN_OPTIONS", "detect_leaks=0");
    std::vector<char*> env;
    for (char** e = environ; *e; ++e) {
        std::string_view entry(*e);
        if (entry.rfind("UBSAN_OPTIONS=", 0) != 0 && entry.rfind("ASAN_OPTIONS=", 0) != 0)
            env.push_back(*e);
    }
    env.push_back(fdVar.data());
    env.push_back(ubsanVar.data());
    env.push_back(asanVar.data());
    env.push_back(nullptr);
    char* argv[] = {self, filter.data(), nullptr};
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
    pid_t child;
    int spawned = ::posix_spawn(&child, self, &actions, nullptr, argv, env.data());
    posix_spawn_file_actions_destroy(&actions);
    ASSERT_EQ(spawned, 0);
    ::close(pipeFds[1]);
    int report = pipeFds[0];
    auto finish = [&] {
        ::kill(child, SIGKILL);
        ::waitpid(child, nullptr, 0);
        ::close(report);
    };
    std::string line;
    if (!ReadLine(report, line, 30000) || line.rfind("port ", 0) != 0) {
        finish();
        FAIL() << "child did not start: " << line;
    }
    uint16_t port = static_cast<uint16_t>(std::stoi(line.substr(5)));

    // 200 connections held open: far more than the child has descriptors for.
    std::vector<TSocketHandle> held;
    for (int i = 0; i < kExhaustionConnections; ++i) {
        TSocketHandle h = ConnectBlocking(port);
        if (h != INVALID_SOCKETHANDLE)
            held.push_back(h);
    }
    EXPECT_EQ(held.size(), static_cast<size_t>(kExhaustionConnections));
    // The child is out of descriptors now; give a spinning server time to show.
    std::this_thread::sleep_for(std::chrono::milliseconds(1000));
    // The first ones were served while descriptors lasted (the last wait in the backlog).
    bool served = false;
    for (size_t i = 0; i < held.size() && i < 5 && !served; ++i)
        served = SendAll(held[i], "x") && RecvWithin(held[i], 1, 2000) == "x";
    EXPECT_TRUE(served);
    for (TSocketHandle h : held)
        SocketClose(h);

    // Descriptors are free again: a new connection is served normally.
    std::string echoed;
    for (int attempt = 0; attempt < 3 && echoed.empty(); ++attempt) {
        TSocketHandle h = ConnectBlocking(port);
        if (h == INVALID_SOCKETHANDLE)
            break;
        if (SendAll(h, "after"))
            echoed = RecvWithin(h, 5);
        SocketClose(h);
    }
    EXPECT_EQ(echoed, "after");

    ::kill(child, SIGTERM);
    bool reported = ReadLine(report, line, 30000);
    std::string stopped;
    bool stoppedOk = ReadLine(report, stopped, 30000);
    int status = 0;
    ::waitpid(child, &status, 0);
    ::close(report);
    ASSERT_TRUE(reported);
    RecordProperty("child", line);
    EXPECT_TRUE(stoppedOk) << stopped;
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
    unsigned long accepts = 0, wakeups = 0, executed = 0, paused = 0, maxClients = 0, dropped = 0;
    ASSERT_EQ(std::sscanf(line.c_str(),
                          "accepts %lu wakeups %lu executed %lu paused %lu max %lu dropped %lu",
                          &accepts, &wakeups, &executed, &paused, &maxClients, &dropped),
              6)
        << line;
    // A connection is taken from the backlog only when its thread can be given a loop: none
    // was accepted and then dropped for lack of descriptors.
    EXPECT_EQ(dropped, 0u) << line;
    // Every connection was accepted in the end; a few failed accepts per pause, not thousands.
    EXPECT_GE(executed, 1u);
    EXPECT_GE(paused, 1u) << line;
    EXPECT_LT(accepts, static_cast<unsigned long>(kExhaustionConnections) + 200) << line;
    EXPECT_LT(wakeups, 20000u) << line;
}

// --- the client's stream -------------------------------------------------------------------

TEST(TCPServerClientStream, ClientThreadStreamIsBlockingWithTheServersSettings) {
    TTestServer server;
    server.ClientTimeout = 4321;
    server.ClientWriteBufferLimit = 1234;
    std::atomic<int> mode{-1}, timeout{0}, limit{0};
    std::atomic<bool> sameSocket{false};
    server.Body = [&](TTCPServerClient* client) {
        TSocketStream* stream = client->GetStream();
        mode = stream->Mode;
        timeout = stream->Timeout;
        limit = stream->WriteBufferLimit;
        sameSocket = stream->Socket() == client->GetSocket() && client->Stream() == stream;
        stream->Writer().WriteStr("ok");
    };
    server.SetActive(true);
    TPeer peer(server.Port());
    EXPECT_EQ(OffMain([&] { return RecvWithin(peer.H, 2); }), "ok");
    ASSERT_TRUE(RunLoopUntil([&] { return server.Executed == 1; }));
    EXPECT_EQ(mode, smBlockWaitMessage);
    EXPECT_EQ(timeout, 4321);
    EXPECT_EQ(limit, 1234);
    EXPECT_TRUE(sameSocket);
}

TEST(TCPServerClientStream, EventModeClientGetsANonBlockingStream) {
    TTestServer server(cmEvents);
    server.ClientTimeout = 777;
    int mode = -1, timeout = 0;
    server.OnClientAdd = [&](TTCPServerClient* client) {
        mode = client->Stream() ? client->Stream()->Mode : -1;
        timeout = client->GetStream()->Timeout;
    };
    server.SetActive(true);
    TPeer peer(server.Port());
    ASSERT_TRUE(RunLoopUntil([&] { return mode != -1; }));
    EXPECT_EQ(mode, smAsynchronous);
    EXPECT_EQ(timeout, 777);
}

TEST(TCPServerClientStream, BlockingReadOfASilentPeerFailsAfterClientTimeout) {
    TTestServer server;
    server.ClientTimeout = 300;
    std::atomic<bool> raised{false};
    std::atomic<int64_t> elapsed{-1};
    server.Body = [&](TTCPServerClient* client) {
        int64_t start = MonotonicMillis();
        try {
            client->GetStream()->Reader().ReadByte();
        } catch (const EReader&) {
            raised = true;
        }
        elapsed = MonotonicMillis() - start;
    };
    server.SetActive(true);
    TPeer peer(server.Port()); // connected, and says nothing
    ASSERT_TRUE(RunLoopUntil([&] { return server.Executed == 1; }, 10000));
    EXPECT_TRUE(raised);
    EXPECT_GE(elapsed, 300);
    EXPECT_LT(elapsed, 5000);
}

// The peer reads nothing until the client has buffered ClientWriteBufferLimit bytes; the
// client's next write then waits, and goes on once the peer reads. What the client buffers
// never grows past the limit plus one write, though it sends far more than the kernel holds.
TEST(TCPServerClientStream, WritesWaitAtClientWriteBufferLimitAndGoOnWhenThePeerReads) {
    constexpr int kLimit = 16384;
    constexpr size_t kBlock = 8192;
    constexpr size_t kTotal = 16u << 20;
    TTestServer server;
    server.ClientWriteBufferLimit = kLimit;
    server.ClientTimeout = 30000;
    const std::string data = Pattern(kTotal);
    std::atomic<bool> atLimit{false};
    std::atomic<size_t> writtenAtLimit{0};
    std::atomic<int64_t> maxBuffered{0};
    std::atomic<bool> complete{false};
    server.Body = [&](TTCPServerClient* client) {
        TSocketStream* stream = client->GetStream();
        for (size_t offset = 0; offset < kTotal; offset += kBlock) {
            if (stream->Writer().Write(data.data() + offset, kBlock) != static_cast<int>(kBlock))
                return;
            int64_t buffered = stream->Socket()->SendBufferSize();
            maxBuffered = std::max<int64_t>(maxBuffered, buffered);
            if (buffered >= kLimit && !atLimit) {
                writtenAtLimit = offset + kBlock;
                atLimit = true;
                WakeMain();
            }
        }
        complete = stream->Flush();
    };
    server.SetActive(true);
    TPeer peer(server.Port());
    ASSERT_TRUE(RunLoopUntil([&] { return atLimit.load(); }, 20000));
    std::string received = OffMain([&] { return RecvWithin(peer.H, kTotal, 60000); });
    ASSERT_TRUE(RunLoopUntil([&] { return server.Executed == 1; }));
    EXPECT_LT(writtenAtLimit, kTotal);
    EXPECT_TRUE(complete);
    EXPECT_EQ(received.size(), kTotal);
    EXPECT_TRUE(received == data);
    EXPECT_LE(maxBuffered, kLimit + static_cast<int64_t>(kBlock));
}

// --- the attached log ----------------------------------------------------------------------

namespace {
struct TLoggedEntry {
    TLogClass Class;
    std::string Text;
    bool OnMainThread;
};

// A TLog that writes no file and records what it is told.
struct TRecordingLog {
    TLog Log;
    std::vector<TLoggedEntry> Entries;
    TRecordingLog() {
        Log.Options = 0;
        Log.OnLog = [this](TLog*, TLogClass c, const std::string& text) {
            Entries.push_back({c, text, TMessageLoop::IsMainThread()});
        };
    }
};
} // namespace

// A client thread does not wait for its entries to be written: here the main thread serves
// nothing while the client logs and answers.
TEST(TCPServerLog, ClientThreadEntriesReachTheAttachedLogOnTheMainThreadInOrder) {
    TRecordingLog log;
    TTestServer server;
    server.SetLogTo(&log.Log);
    server.Body = [](TTCPServerClient* client) {
        client->Log(ltInfo, "first");
        client->Log(ltError, "second");
        client->Log(ltInfo, "third");
        client->GetStream()->Writer().WriteStr("logged");
        client->GetStream()->Flush();
    };
    server.SetActive(true);
    // The first makes the main thread start a thread to accept.
    EXPECT_EQ(OffMain([&] { return RecvWithin(TPeer(server.Port()).H, 6); }), "logged");
    {
        TPeer peer(server.Port());
        EXPECT_EQ(RecvWithin(peer.H, 6, 5000), "logged"); // the main loop is not run
    }
    ASSERT_TRUE(RunLoopPolling([&] { return server.ClientCount() == 0; }));
    server.SetActive(false);
    std::vector<std::pair<TLogClass, std::string>> expected = {
        {lcInfo, "Server active. Listening on port 0."},
        {lcInfo, "first"},
        {lcError, "second"},
        {lcInfo, "third"},
        {lcInfo, "first"},
        {lcError, "second"},
        {lcInfo, "third"},
        {lcInfo, "Server shutdown."},
    };
    ASSERT_EQ(log.Entries.size(), expected.size());
    for (size_t i = 0; i < expected.size(); ++i) {
        EXPECT_EQ(log.Entries[i].Class, expected[i].first) << i;
        EXPECT_EQ(log.Entries[i].Text, expected[i].second) << i;
        EXPECT_TRUE(log.Entries[i].OnMainThread) << i;
    }
    // OnLog saw the same entries.
    ASSERT_EQ(server.Entries.size(), expected.size());
}

TEST(TCPServerLog, ActivationFailureIsLoggedAsAnErrorAndADestroyedLogIsDetached) {
    TTestServer holder;
    holder.SetActive(true);
    auto log = std::make_unique<TRecordingLog>();
    TTestServer server;
    server.SetListenPort(std::to_string(holder.Port()));
    server.SetLogTo(&log->Log);
    EXPECT_THROW(server.SetActive(true), ETCPServer);
    ASSERT_EQ(log->Entries.size(), 1u);
    EXPECT_EQ(log->Entries[0].Class, lcError);
    EXPECT_EQ(log->Entries[0].Text,
              "Server activation failed: Socket bind failed: " + SocketErrorMessage(10048));
    log.reset();
    EXPECT_EQ(server.LogTo(), nullptr);
    EXPECT_THROW(server.SetActive(true), ETCPServer); // logs to OnLog only, no dangling log
}
