// TCP port mapping benchmark on loopback: single-stream throughput and the rate of short
// connections, directly to a sink server, through a TCP mapping of corvan-proxy (the built
// program, headless, with a settings file of its own) and through socat doing the same
// mapping. Prints each figure with its ratio to the direct one.
//
//   portmap_bench [megabytes per stream (256)] [short connections (2000)] [threads (4)]
//
// Wire protocol of the sink: the client sends an 8-byte little-endian length L and L bytes;
// the sink answers one byte once it has all of them; the client then closes.

#include "support/NetTestSupport.h"
#include "support/Process.h"
#include "support/TempDir.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <sys/stat.h>
#include <thread>
#include <vector>

using namespace corvan;
using namespace corvan::test;

namespace {

using Clock = std::chrono::steady_clock;

double Seconds(Clock::time_point since) {
    return std::chrono::duration<double>(Clock::now() - since).count();
}

bool RecvExactly(TSocketHandle h, void* buf, size_t size) {
    size_t got = 0;
    while (got < size) {
        long n = SocketRecv(h, static_cast<char*>(buf) + got, size - got);
        if (n <= 0)
            return false;
        got += static_cast<size_t>(n);
    }
    return true;
}

// Accepts on its own thread; one thread per connection.
class TSink {
public:
    TSink() : FThread([this] { Run(); }) {}
    ~TSink() {
        FStop = true;
        SocketShutdown(FListener.Handle, TShutdownHow::sdBoth);
        TSocketHandle wake = ConnectBlocking(FListener.Port);
        if (wake != INVALID_SOCKETHANDLE)
            SocketClose(wake);
        FThread.join();
        std::unique_lock<std::mutex> lock(FWorkersLock);
        FWorkersDone.wait(lock, [this] { return FWorkers == 0; });
    }
    uint16_t Port() const { return FListener.Port; }

private:
    void Run() {
        while (!FStop) {
            TSocketHandle h = FListener.Accept();
            if (h == INVALID_SOCKETHANDLE || FStop) {
                if (h != INVALID_SOCKETHANDLE)
                    SocketClose(h);
                if (FStop)
                    return;
                continue;
            }
            {
                std::lock_guard<std::mutex> lock(FWorkersLock);
                ++FWorkers;
            }
            std::thread([this, h] {
                Serve(h);
                std::lock_guard<std::mutex> lock(FWorkersLock);
                if (--FWorkers == 0)
                    FWorkersDone.notify_all();
            }).detach();
        }
    }
    static void Serve(TSocketHandle h) {
        uint64_t length = 0;
        if (RecvExactly(h, &length, sizeof length)) {
            std::vector<char> buf(256 * 1024);
            uint64_t left = length;
            while (left > 0) {
                long n = SocketRecv(h, buf.data(), std::min<uint64_t>(left, buf.size()));
                if (n <= 0)
                    break;
                left -= static_cast<uint64_t>(n);
            }
            if (left == 0)
                SocketSend(h, "k", 1);
            char c;
            SocketRecv(h, &c, 1); // until the client closes
        }
        SocketClose(h);
    }

    TTestListener FListener;
    std::atomic<bool> FStop{false};
    std::mutex FWorkersLock; // guards FWorkers
    std::condition_variable FWorkersDone;
    int FWorkers = 0; // connection threads still serving
    std::thread FThread;
};

// One exchange of length bytes; false on any failure.
bool Exchange(uint16_t port, uint64_t length, const std::vector<char>& block) {
    TSocketHandle h = ConnectBlocking(port);
    if (h == INVALID_SOCKETHANDLE)
        return false;
    bool ok = SocketSend(h, &length, sizeof length) == sizeof length;
    uint64_t left = length;
    while (ok && left > 0) {
        long n = SocketSend(h, block.data(), std::min<uint64_t>(left, block.size()));
        ok = n > 0;
        if (ok)
            left -= static_cast<uint64_t>(n);
    }
    char ack = 0;
    ok = ok && RecvExactly(h, &ack, 1) && ack == 'k';
    SocketClose(h);
    return ok;
}

struct TFigures {
    double MBps = 0;
    double ConnPerSec = 0;
    int Failures = 0;
};

TFigures Measure(uint16_t port, uint64_t megabytes, int connections, int threads) {
    TFigures f;
    std::vector<char> block(64 * 1024, 'x');
    auto start = Clock::now();
    if (!Exchange(port, megabytes << 20, block))
        ++f.Failures;
    f.MBps = static_cast<double>(megabytes) / Seconds(start);
    std::atomic<int> failures{0};
    std::vector<std::thread> workers;
    start = Clock::now();
    for (int t = 0; t < threads; ++t)
        workers.emplace_back([&, t] {
            for (int i = t; i < connections; i += threads)
                if (!Exchange(port, 1, block))
                    ++failures;
        });
    for (std::thread& w : workers)
        w.join();
    f.ConnPerSec = connections / Seconds(start);
    f.Failures += failures;
    return f;
}

// Polls until something accepts on the port (another process starting up), up to 10 s.
bool WaitListening(uint16_t port) {
    for (int i = 0; i < 500; ++i) {
        TSocketHandle h = ConnectBlocking(port);
        if (h != INVALID_SOCKETHANDLE) {
            uint64_t zero = 0;
            SocketSend(h, &zero, sizeof zero); // a complete (empty) exchange for the sink
            SocketClose(h);
            return true;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return false;
}

uint16_t FreePort() {
    TTestListener probe;
    return probe.Port;
}

void Print(const char* name, const TFigures& f, const TFigures& direct) {
    std::printf("%-10s %10.1f MB/s (%5.2fx)   %9.0f conn/s (%5.2fx)   failures %d\n", name, f.MBps,
                f.MBps / direct.MBps, f.ConnPerSec, f.ConnPerSec / direct.ConnPerSec, f.Failures);
}

} // namespace

int main(int argc, char** argv) {
    uint64_t megabytes = argc > 1 ? std::strtoull(argv[1], nullptr, 10) : 256;
    int connections = argc > 2 ? std::atoi(argv[2]) : 2000;
    int threads = argc > 3 ? std::atoi(argv[3]) : 4;
    TSink sink;
    std::string dest = std::to_string(sink.Port());

    TTempDir dir;
    uint16_t oursPort = FreePort();
    ::mkdir((dir / "data").c_str(), 0755);
    ::mkdir((dir / "data/Corvan").c_str(), 0755);
    WriteFileText(dir / "data/Corvan/CorvanProxy.ini",
                  "[Proxy-PortMapper]\nItemCount=1\n[Proxy-PortMapper.Items.0]\nEnabled=1\n"
                  "ServerProtocol=3\nServerIP=127.0.0.1\nServerPort=" +
                      std::to_string(oursPort) + "\nDestHost=127.0.0.1\nDestPort=" + dest + "\n");
    TChildProcess ours({CORVAN_PROXY_BIN, "--headless"},
                       {{"LOCALAPPDATA", dir / "data"},
                        {"XDG_CONFIG_HOME", dir / "config"},
                        {"HOME", dir / "home"}},
                       {"XDG_DATA_HOME"});
    uint16_t socatPort = FreePort();
    TChildProcess socat(
        {"/usr/bin/socat",
         "TCP-LISTEN:" + std::to_string(socatPort) + ",bind=127.0.0.1,fork,reuseaddr",
         "TCP:127.0.0.1:" + dest},
        {});
    if (!WaitListening(oursPort) || !WaitListening(socatPort)) {
        std::fprintf(stderr, "a mapping did not come up\n%s\n", ours.Output().c_str());
        return 1;
    }
    std::printf("loopback, %llu MB single stream, %d short connections on %d threads\n",
                static_cast<unsigned long long>(megabytes), connections, threads);
    TFigures direct = Measure(sink.Port(), megabytes, connections, threads);
    Print("direct", direct, direct);
    Print("corvan", Measure(oursPort, megabytes, connections, threads), direct);
    Print("socat", Measure(socatPort, megabytes, connections, threads), direct);
    ours.Signal(SIGTERM);
    ours.WaitForExit(10000);
    socat.Signal(SIGTERM);
    socat.WaitForExit(10000);
    return 0;
}
