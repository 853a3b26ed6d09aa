#pragma once
// Helpers for network tests: running the calling thread's loop until a condition holds (bounded
// in time), and blocking loopback peers on ports the system assigns.

#include "net/SocketLib.h"
#include "net/EventLoop.h"
#include "util/Ticks.h"

#include <algorithm>
#include <arpa/inet.h>
#include <cstdio>
#include <fcntl.h>
#include <functional>
#include <linux/tcp.h>
#include <netinet/in.h>
#include <poll.h>
#include <random>
#include <string>
#include <sys/file.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

namespace corvan::test {

// Serves the calling thread's loop until done() holds or timeoutMs passes; answers done().
inline bool RunLoopUntil(const std::function<bool()>& done, int timeoutMs = 10000) {
    int64_t deadline = MonotonicMillis() + timeoutMs;
    while (!done()) {
        if (MonotonicMillis() >= deadline)
            return done();
        TMessageLoop::Current().WaitMessage(deadline);
    }
    return true;
}

// As RunLoopUntil, for state that other threads change without posting to this loop: the
// loop is served in short slices and done is asked after each.
inline bool RunLoopPolling(const std::function<bool()>& done, int timeoutMs = 10000) {
    constexpr int kSliceMs = 5;
    int64_t deadline = MonotonicMillis() + timeoutMs;
    while (!done()) {
        int64_t now = MonotonicMillis();
        if (now >= deadline)
            return done();
        TMessageLoop::Current().WaitMessage(std::min(deadline, now + kSliceMs));
    }
    return true;
}

// Serves the loop for a fixed span (to observe that nothing happens).
inline void RunLoopFor(int ms) {
    int64_t deadline = MonotonicMillis() + ms;
    while (MonotonicMillis() < deadline)
        TMessageLoop::Current().WaitMessage(deadline);
}

inline uint32_t Loopback() {
    return htonl(0x7F000001u);
}

// Whether the system has IPv6 and ::1 on loopback (tests that need it skip otherwise).
inline bool HaveIPv6Loopback() {
    int fd = ::socket(AF_INET6, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return false;
    sockaddr_in6 a{};
    a.sin6_family = AF_INET6;
    a.sin6_addr = in6addr_loopback;
    bool bound = ::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
    ::close(fd);
    return bound;
}

// A blocking socket bound to 127.0.0.1 on a system-assigned port, which is stored in port.
inline TSocketHandle BindLoopback(TIPProtocol protocol, uint16_t& port) {
    TSocketHandle h = AllocateSocketHandle(TIPAddressFamily::iaIP4, protocol);
    SocketBind(h, TSocketAddr::IP4(Loopback(), 0));
    TSocketAddr local;
    SocketGetSockName(h, local);
    port = local.Port;
    return h;
}

// A blocking listening socket on 127.0.0.1 with a system-assigned port.
struct TTestListener {
    TSocketHandle Handle = INVALID_SOCKETHANDLE;
    uint16_t Port = 0;
    TTestListener() {
        Handle = BindLoopback(TIPProtocol::ipTCP, Port);
        SocketListen(Handle, 16);
    }
    ~TTestListener() {
        if (Handle != INVALID_SOCKETHANDLE)
            SocketClose(Handle);
    }
    TSocketHandle Accept() { return SocketAccept(Handle, nullptr); }
};

// Segments with data that arrived on h so far (TCP_INFO): one per send of a peer that sends
// without delay, each smaller than the loopback's segment size.
inline uint32_t DataSegmentsReceived(TSocketHandle h) {
    struct tcp_info info {};
    socklen_t length = sizeof info;
    if (getsockopt(h, IPPROTO_TCP, TCP_INFO, &info, &length) != 0)
        return 0;
    return info.tcpi_data_segs_in;
}

// Whether port can be bound on 127.0.0.1 now, for TCP and for UDP.
inline bool LoopbackPortFree(uint16_t port) {
    for (int type : {SOCK_STREAM, SOCK_DGRAM}) {
        int fd = ::socket(AF_INET, type | SOCK_CLOEXEC, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_port = htons(port);
        a.sin_addr.s_addr = Loopback();
        bool bound = fd >= 0 && ::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
        if (fd >= 0)
            ::close(fd);
        if (!bound)
            return false;
    }
    return true;
}

// Whether this test process now holds port against every other test process of the machine:
// a lock on a file named for it, kept until the process ends. Two tests running side by side
// that both found a port free would otherwise both hand it to a program, and the one that binds
// second talks to the other test's program without knowing. Where no lock file can be made,
// chance decides as before.
inline bool ReservePortForThisProcess(uint16_t port) {
    std::string dir = "/tmp/corvan-test-ports-" + std::to_string(::getuid());
    ::mkdir(dir.c_str(), 0700);
    int fd = ::open((dir + "/" + std::to_string(port)).c_str(), O_RDWR | O_CREAT | O_CLOEXEC,
                    0600);
    if (fd < 0)
        return true;
    // Per open file: a second reservation of the same port in this process fails too.
    if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
        ::close(fd);
        return false;
    }
    return true; // fd stays open: the lock ends with the process
}

// A port that was free on 127.0.0.1 a moment ago, for code under test that binds it itself.
// It is taken below the kernel's ephemeral range: one from inside it could be given to an
// outgoing connection of a test running beside this one (some make thousands) before the code
// under test gets to bind it. At random, and reserved for this process, so that tests running
// side by side never pick the same one; the system's choice when there is no such room.
inline uint16_t FreeLoopbackPort() {
    constexpr int kLowest = 10000;
    int ephemeralLow = 32768;
    if (std::FILE* f = std::fopen("/proc/sys/net/ipv4/ip_local_port_range", "r")) {
        if (std::fscanf(f, "%d", &ephemeralLow) != 1)
            ephemeralLow = 32768;
        std::fclose(f);
    }
    if (ephemeralLow - kLowest >= 1000) {
        thread_local std::mt19937 pick{std::random_device{}()};
        std::uniform_int_distribution<int> among(kLowest, ephemeralLow - 1);
        for (int tries = 0; tries < 100; ++tries) {
            auto port = static_cast<uint16_t>(among(pick));
            if (LoopbackPortFree(port) && ReservePortForThisProcess(port))
                return port;
        }
    }
    TTestListener probe;
    return probe.Port;
}

// A blocking client connection to addr, of either family; INVALID_SOCKETHANDLE when refused.
inline TSocketHandle ConnectTo(const TSocketAddr& addr) {
    TSocketHandle h = AllocateSocketHandle(addr.AddrFamily, TIPProtocol::ipTCP);
    if (SocketConnect(h, addr) != 0) {
        SocketClose(h);
        return INVALID_SOCKETHANDLE;
    }
    return h;
}

// A blocking client connection to 127.0.0.1:port.
inline TSocketHandle ConnectBlocking(uint16_t port) {
    return ConnectTo(TSocketAddr::IP4(Loopback(), port));
}

// Closes h with a reset (no orderly end): its peer's next read fails.
inline void ResetClose(TSocketHandle h) {
    linger reset{1, 0};
    ::setsockopt(h, SOL_SOCKET, SO_LINGER, &reset, sizeof reset);
    SocketClose(h);
}

// A connected pair: first the accepted end, second the client end (both blocking).
inline std::pair<TSocketHandle, TSocketHandle> ConnectedPair() {
    TTestListener listener;
    TSocketHandle client = ConnectBlocking(listener.Port);
    TSocketHandle server = listener.Accept();
    return {server, client};
}

inline bool SendAll(TSocketHandle h, const std::string& data) {
    size_t done = 0;
    while (done < data.size()) {
        long n = SocketSend(h, data.data() + done, data.size() - done);
        if (n <= 0)
            return false;
        done += static_cast<size_t>(n);
    }
    return true;
}

// Reads until the peer closes; answers everything read.
inline std::string RecvAll(TSocketHandle h) {
    std::string r;
    char buf[65536];
    for (;;) {
        long n = SocketRecv(h, buf, sizeof buf);
        if (n <= 0)
            return r;
        r.append(buf, static_cast<size_t>(n));
    }
}

// Reads exactly size bytes, or fewer when the peer closes first.
inline std::string ReceiveExactly(TSocketHandle h, size_t size) {
    std::string r(size, '\0');
    size_t done = 0;
    while (done < size) {
        long n = SocketRecv(h, r.data() + done, size - done);
        if (n <= 0)
            break;
        done += size_t(n);
    }
    r.resize(done);
    return r;
}

// Receives exactly size bytes within ms; fewer when the peer closes or time runs out.
inline std::string RecvWithin(TSocketHandle h, size_t size, int ms = 10000) {
    std::string r;
    int64_t deadline = MonotonicMillis() + ms;
    char buf[65536];
    while (r.size() < size) {
        pollfd p{h, POLLIN, 0};
        int left = static_cast<int>(deadline - MonotonicMillis());
        if (left <= 0 || ::poll(&p, 1, left) != 1)
            break;
        long n = SocketRecv(h, buf, std::min(sizeof buf, size - r.size()));
        if (n <= 0)
            break;
        r.append(buf, static_cast<size_t>(n));
    }
    return r;
}

// Every later receive on the blocking handle gives up after this many seconds, so a test
// whose peer never answers ends.
inline void SetReceiveTimeout(TSocketHandle h, int seconds = 10) {
    timeval tv{seconds, 0};
    ::setsockopt(h, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
}

// Sends request on a new blocking connection to 127.0.0.1:port and reads until the peer
// closes (each receive gives up after 10 s). For a peer in another thread or process.
inline std::string BlockingExchange(uint16_t port, const std::string& request) {
    TSocketHandle h = ConnectBlocking(port);
    if (h == INVALID_SOCKETHANDLE)
        return "no connection";
    SetReceiveTimeout(h);
    SendAll(h, request);
    std::string reply = RecvAll(h);
    SocketClose(h);
    return reply;
}

// Deterministic test payload.
inline std::string Pattern(size_t size) {
    std::string s(size, '\0');
    uint32_t x = 12345;
    for (size_t i = 0; i < size; ++i) {
        x = x * 1103515245u + 12345u;
        s[i] = static_cast<char>(x >> 24);
    }
    return s;
}

// While it lives, the process may open no descriptor beyond those it holds now (the lowest free
// number is the limit, so none is left below it); Restore gives the former limit back early.
struct TDescriptorLimit {
    rlimit Own{};
    TDescriptorLimit() {
        ::getrlimit(RLIMIT_NOFILE, &Own);
        int lowest = ::dup(0);
        ::close(lowest);
        rlimit none{static_cast<rlim_t>(lowest), Own.rlim_max};
        ::setrlimit(RLIMIT_NOFILE, &none);
    }
    void Restore() { ::setrlimit(RLIMIT_NOFILE, &Own); }
    ~TDescriptorLimit() { Restore(); }
    TDescriptorLimit(const TDescriptorLimit&) = delete;
    TDescriptorLimit& operator=(const TDescriptorLimit&) = delete;
};

} // namespace corvan::test
