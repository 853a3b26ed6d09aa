// The TCP client component in blocking and threaded modes and the client collection.
#include "net/TCPClient.h"

#include "util/Log.h"

#include "support/EchoServer.h"
#include "support/NetTestSupport.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <tuple>

using namespace corvan;
using namespace corvan::test;

TEST(TCPClient, BlockingModeConnectsAtActivationAndRefusesSettingChanges) {
    TEchoServer echo;
    TkelTCPClient client;
    client.SetHost("127.0.0.1");
    client.SetPort(echo.PortStr());
    client.SetStreamMode(smBlockWaitMessage);
    client.TimeOut = 5000;
    std::vector<TTCPClientState> states;
    client.OnStateChange = [&](ATCPClient*, TTCPClientState, TTCPClientState s) {
        states.push_back(s);
    };
    client.SetActive(true);
    EXPECT_TRUE(client.Active());
    EXPECT_EQ(client.State(), csConnected);
    try {
        client.SetPort("1");
        FAIL() << "SetPort on an active client";
    } catch (const ETCPClient& e) {
        EXPECT_EQ(e.Message(), "Client active");
    }
    EXPECT_THROW(client.SetHost("elsewhere"), ETCPClient);
    client.GetStream()->WriteStr("echo me");
    EXPECT_EQ(client.GetStream()->Reader().ReadStr(7), "echo me");
    client.SetActive(false);
    EXPECT_FALSE(client.Active());
    EXPECT_EQ(client.State(), csClosed);
    EXPECT_EQ(states, (std::vector<TTCPClientState>{csConnecting, csConnected, csClosed}));
    EXPECT_NO_THROW(client.SetPort("1"));
}

TEST(TCPClient, BlockingConnectFailureIsRaisedRecordedAndLeavesTheClientInactive) {
    uint16_t closedPort = FreeLoopbackPort(); // nobody listens there
    TkelTCPClient client;
    client.SetHost("127.0.0.1");
    client.SetPort(std::to_string(closedPort));
    client.SetStreamMode(smBlockWaitMessage);
    client.TimeOut = 5000;
    int failed = 0;
    client.OnConnectFailed = [&](ATCPClient*) { ++failed; };
    EXPECT_THROW(client.SetActive(true), ESocketStream);
    EXPECT_EQ(failed, 1);
    EXPECT_EQ(client.ErrorCode(), WSAECONNREFUSED);
    EXPECT_FALSE(client.Active());
    EXPECT_EQ(client.State(), csClosed);
}

TEST(TCPClient, MissingHostOrPortIsTheClientsOwnError) {
    TkelTCPClient client;
    client.SetStreamMode(smBlockWaitMessage);
    client.SetPort("80");
    try {
        client.SetActive(true);
        FAIL() << "no host";
    } catch (const ETCPClient& e) {
        EXPECT_EQ(e.Message(), "Host not set");
    }
    EXPECT_FALSE(client.Active());
    EXPECT_EQ(client.Socket(), nullptr);
    client.SetHost("127.0.0.1");
    client.SetPort("");
    try {
        client.SetActive(true);
        FAIL() << "no port";
    } catch (const ETCPClient& e) {
        EXPECT_EQ(e.Message(), "Port not set");
    }
    EXPECT_EQ(client.State(), csClosed);
}

TEST(TCPClient, SetStreamAdoptsAConnectionAndActivationGoesOnWithIt) {
    TEchoServer echo;
    auto socket = std::make_unique<TTCPClientSocket>("127.0.0.1", echo.PortStr());
    socket->SetReadEventTrigger(512);
    auto stream = std::make_unique<TSocketStream>(socket.get(), -1, 5000, smBlockWaitMessage);
    stream->Connect();
    TTCPClientSocket* raw = socket.get();
    TkelTCPClient client;
    client.SetHost("elsewhere");
    int closes = 0;
    client.OnClose = [&](ATCPClient*) { ++closes; };
    client.SetStream(std::move(stream), std::move(socket));
    EXPECT_EQ(client.Socket(), raw);
    EXPECT_EQ(client.Host(), "127.0.0.1");
    EXPECT_EQ(client.Port(), echo.PortStr());
    EXPECT_EQ(client.ReadEventTrigger, 512);
    EXPECT_EQ(client.StreamMode(), smBlockWaitMessage);
    EXPECT_EQ(client.State(), csConnected);
    client.SetActive(true);
    EXPECT_EQ(client.Socket(), raw); // not replaced by a new connection
    EXPECT_EQ(client.State(), csConnected);
    client.GetStream()->WriteStr("adopted");
    EXPECT_EQ(client.GetStream()->Reader().ReadStr(7), "adopted");
    client.SetActive(false);
    EXPECT_EQ(client.State(), csClosed);
    EXPECT_EQ(closes, 1); // the socket's events reach the client
}

TEST(TCPClient, ReleaseStreamGivesAnAdoptedConnectionBackUnhooked) {
    TEchoServer echo;
    auto socket = std::make_unique<TTCPClientSocket>("127.0.0.1", echo.PortStr());
    auto stream = std::make_unique<TSocketStream>(socket.get(), -1, 5000, smBlockWaitMessage);
    stream->Connect();
    TTCPClientSocket* raw = socket.get();
    TkelTCPClient client;
    int closes = 0;
    client.OnClose = [&](ATCPClient*) { ++closes; };
    client.SetStream(std::move(stream), std::move(socket));
    client.SetActive(true);
    client.GetStream()->WriteStr("first");
    EXPECT_EQ(client.GetStream()->Reader().ReadStr(5), "first");
    client.ReleaseStream(stream, socket);
    ASSERT_EQ(socket.get(), raw);
    ASSERT_EQ(stream->Socket(), raw);
    EXPECT_EQ(client.Socket(), nullptr);
    EXPECT_FALSE(client.Active());
    EXPECT_EQ(client.State(), csClosed);
    // The same connection goes on for another user; its close no longer reaches the client.
    stream->WriteStr("again");
    EXPECT_EQ(stream->Reader().ReadStr(5), "again");
    socket->Close(false);
    stream.reset();
    socket.reset();
    EXPECT_EQ(closes, 0);
    // A client's own socket is not handed out.
    TkelTCPClient own;
    own.SetHost("127.0.0.1");
    own.SetPort(echo.PortStr());
    own.SetStreamMode(smBlockWaitMessage);
    own.TimeOut = 5000;
    own.SetActive(true);
    own.ReleaseStream(stream, socket);
    EXPECT_EQ(socket, nullptr);
    EXPECT_NE(own.Socket(), nullptr);
    own.SetActive(false);
}

TEST(TCPClient, SetStreamRefusesForeignSocketsAndMismatchedPairs) {
    auto [server, peer] = ConnectedPair();
    TkelTCPClient client;
    auto accepted = std::make_unique<ATCPClientSocket>(server);
    auto overAccepted = std::make_unique<TSocketStream>(accepted.get());
    try {
        client.SetStream(std::move(overAccepted), std::move(accepted));
        FAIL() << "an accepted socket is no client socket";
    } catch (const ETCPClient& e) {
        EXPECT_EQ(e.Message(), "Socket must be derived from TTCPClientSocket");
    }
    auto one = std::make_unique<TTCPClientSocket>("127.0.0.1", "1");
    auto other = std::make_unique<TTCPClientSocket>("127.0.0.1", "2");
    auto overOne = std::make_unique<TSocketStream>(one.get());
    try {
        client.SetStream(std::move(overOne), std::move(other));
        FAIL() << "the stream runs over another socket";
    } catch (const ETCPClient& e) {
        EXPECT_EQ(e.Message(), "Invalid stream");
    }
    EXPECT_EQ(client.Socket(), nullptr);
    SocketClose(peer);
}

TEST(TCPClientThread, AFailedConnectFiresConnectFailedOnBothThreadsAndLeavesActiveFalse) {
    TkelTCPClient client;
    client.SetHost("127.0.0.1");
    client.SetPort(std::to_string(FreeLoopbackPort())); // nobody listens: refused
    client.SetStreamMode(smBlockWaitMessage);
    client.RunInThread = true;
    client.TimeOut = 5000;
    std::atomic<int> failedOnThread{0};
    int failedOnMain = 0, completed = 0;
    client.OnConnectFailed = [&](ATCPClient*) {
        if (!TMessageLoop::IsMainThread())
            ++failedOnThread;
    };
    client.OnSyncConnectFailed = [&](ATCPClient*) {
        if (TMessageLoop::IsMainThread())
            ++failedOnMain;
    };
    client.OnThreadRunComplete = [&](ATCPClient*) { ++completed; };
    client.SetActive(true);
    EXPECT_TRUE(client.Active());
    ASSERT_TRUE(RunLoopUntil([&] { return completed > 0; }, 10000));
    EXPECT_EQ(failedOnThread.load(), 1);
    EXPECT_EQ(failedOnMain, 1);
    EXPECT_FALSE(client.Active());
    EXPECT_EQ(client.State(), csClosed);
    EXPECT_EQ(client.ErrorCode(), WSAECONNREFUSED);
    client.SetActive(false);
}

TEST(TCPClientThread, RunsStraightLineWorkOnItsThreadAndReportsOnTheMainThread) {
    TEchoServer echo;
    TkelTCPClient client;
    client.SetHost("127.0.0.1");
    client.SetPort(echo.PortStr());
    client.SetStreamMode(smBlockWaitMessage);
    client.RunInThread = true;
    client.TimeOut = 5000;
    std::string answer; // written on the thread, read after it ended
    bool syncConnectedOnMain = false, completed = false;
    client.OnSyncConnected = [&](ATCPClient*) {
        syncConnectedOnMain = TMessageLoop::IsMainThread();
    };
    client.OnThreadRun = [&](ATCPClient* c) {
        c->GetStream()->WriteStr("threaded hello");
        answer = c->GetStream()->Reader().ReadStr(14);
        c->GetStream()->Close();
    };
    std::vector<TSocketState> syncStates; // main thread only
    client.OnSyncSocketStateChange = [&](ATCPClient*, TSocketState, TSocketState state) {
        if (TMessageLoop::IsMainThread())
            syncStates.push_back(state);
    };
    client.OnThreadRunComplete = [&](ATCPClient*) { completed = true; };
    client.SetActive(true);
    ASSERT_TRUE(RunLoopUntil([&] { return completed; }, 20000));
    EXPECT_EQ(syncStates, (std::vector<TSocketState>{ssResolving, ssResolved, ssConnecting,
                                                     ssConnected, ssClosed}));
    client.SetActive(false); // joins the finished thread
    EXPECT_EQ(answer, "threaded hello");
    EXPECT_TRUE(syncConnectedOnMain);
    EXPECT_EQ(client.ErrorCode(), 0);
}

namespace {

// A threaded client that blocks in a read without time-out until it is stopped.
std::unique_ptr<TkelTCPClient> BlockedReader(const TEchoServer& echo, std::atomic<int>& reading) {
    auto client = std::make_unique<TkelTCPClient>();
    client->SetHost("127.0.0.1");
    client->SetPort(echo.PortStr());
    client->SetStreamMode(smBlockWaitMessage);
    client->RunInThread = true;
    client->TimeOut = 0;
    client->OnThreadRun = [&reading](ATCPClient* c) {
        c->Thread()->Synchronize([&] { ++reading; }); // wakes the main loop
        c->GetStream()->Reader().ReadByte();          // nothing ever comes
    };
    return client;
}

} // namespace

TEST(TCPClientThread, DeactivatingAClientInABlockingWaitReturnsAfterTheThreadEnded) {
    TEchoServer echo;
    std::atomic<int> reading{0};
    auto client = BlockedReader(echo, reading);
    client->SetActive(true);
    ASSERT_TRUE(RunLoopUntil([&] { return reading.load() == 1; }));
    client->SetActive(false);
    EXPECT_FALSE(client->Active());
    EXPECT_EQ(client->Thread(), nullptr);
    EXPECT_EQ(client->Socket(), nullptr);
}

TEST(TCPClientCollection, TerminateAllEndsEveryBlockedClientAndFreesThem) {
    TEchoServer echo;
    std::atomic<int> reading{0};
    std::vector<int> removedErrors;
    {
        TTCPClientCollection collection;
        collection.OnRemove = [&](TTCPClientCollection*, ATCPClient* c) {
            removedErrors.push_back(c->ErrorCode());
        };
        ATCPClient* first = collection.AddClient(BlockedReader(echo, reading));
        collection.AddClient(BlockedReader(echo, reading));
        EXPECT_EQ(first->Collection(), &collection);
        EXPECT_EQ(collection.Count(), 2u);
        ASSERT_TRUE(RunLoopUntil([&] { return reading.load() == 2; }));
        collection.TerminateAll();
        EXPECT_EQ(collection.Count(), 0u);
    }
    EXPECT_EQ(removedErrors,
              (std::vector<int>{kTCPClientErrorTerminated, kTCPClientErrorTerminated}));
}

TEST(TCPClientLog, EntriesGoToOnLogThenToTheAttachedLogOnTheMainThread) {
    TLog log;
    log.Options = 0; // no file
    std::vector<std::tuple<TLogClass, std::string, bool>> entries;
    log.OnLog = [&](TLog*, TLogClass c, const std::string& text) {
        entries.emplace_back(c, text, TMessageLoop::IsMainThread());
    };
    TkelTCPClient client;
    std::atomic<int> direct{0};
    client.OnLog = [&](ATCPClient*, const std::string&) { ++direct; };
    client.SetLogTo(&log);
    client.Log("here");
    std::atomic<bool> done{false};
    std::thread other([&] {
        client.Log("there");
        done = true;
        TMessageLoop::Main().Post(TMessage{0, MSG_USER, 0, 0}); // wakes the loop below
    });
    bool finished = RunLoopUntil([&] { return done.load(); });
    other.join();
    ASSERT_TRUE(finished);
    EXPECT_EQ(direct, 2);
    ASSERT_EQ(entries.size(), 2u);
    EXPECT_EQ(entries[0], std::make_tuple(lcInfo, std::string("here"), true));
    EXPECT_EQ(entries[1], std::make_tuple(lcInfo, std::string("there"), true));

    TkelTCPClient copy;
    copy.Assign(&client);
    EXPECT_EQ(copy.LogTo(), &log);
}

TEST(TCPClientLog, ADestroyedLogIsDetached) {
    TkelTCPClient client;
    {
        TLog log;
        client.SetLogTo(&log);
        EXPECT_EQ(client.LogTo(), &log);
    }
    EXPECT_EQ(client.LogTo(), nullptr);
    client.Log("nobody listens"); // no log to write to, and nothing dangling
}
