#pragma once
// An HTTP/1.1 origin on loopback that keeps its connections: a thread per connection reads
// requests one after the other (the head, and the body its Content-Length gives) and answers
// each as Answer says, until the peer closes or the connection has been idle IdleCloseMs, when
// the origin closes it. It counts the connections it accepted and closed and records every
// request, for tests of a proxy's kept next-hop connections.

#include "support/NetTestSupport.h"

#include <algorithm>
#include <atomic>
#include <cctype>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace corvan::test {

// One message read off a connection: the head with its blank line, and the body its
// Content-Length gives (none without one).
struct THttpMessageText {
    std::string Head;
    std::string Body;
};

// Reads the next message from h into message; bytes after it stay in pending. The first byte
// may take up to firstByteMs, later ones 10 s each. False when the peer closed or time ran out
// first.
inline bool ReadHttpMessage(TSocketHandle h, std::string& pending, THttpMessageText& message,
                            int firstByteMs = 10000) {
    size_t headEnd;
    while ((headEnd = pending.find("\r\n\r\n")) == std::string::npos) {
        std::string more = RecvWithin(h, 1, pending.empty() ? firstByteMs : 10000);
        if (more.empty())
            return false;
        pending += more;
    }
    message.Head = pending.substr(0, headEnd + 4);
    std::string lower = message.Head;
    std::transform(lower.begin(), lower.end(), lower.begin(),
                   [](unsigned char c) { return char(std::tolower(c)); });
    size_t length = 0;
    if (size_t p = lower.find("\r\ncontent-length:"); p != std::string::npos)
        length = std::stoul(lower.substr(p + 17));
    pending.erase(0, headEnd + 4);
    while (pending.size() < length) {
        std::string more = RecvWithin(h, length - pending.size(), 10000);
        if (more.empty())
            return false;
        pending += more;
    }
    message.Body = pending.substr(0, length);
    pending.erase(0, length);
    return true;
}

// The request line's method and target.
inline std::string RequestLineOf(const THttpMessageText& message) {
    return message.Head.substr(0, message.Head.find(" HTTP/"));
}

class TKeepAliveOrigin {
public:
    struct TRequest {
        THttpMessageText Message;
        int Connection = 0;   // the connection's number, from 1 in the order accepted
        int OnConnection = 0; // requests before it on the same connection
    };
    // The bytes to send for a request; empty: the connection is closed without an answer.
    // close: the connection is closed after the answer.
    using TAnswer = std::function<std::string(const TRequest& request, bool& close)>;

    static std::string Sized(const std::string& body) {
        return "HTTP/1.1 200 OK\r\nContent-Length: " + std::to_string(body.size()) + "\r\n\r\n" +
               body;
    }

    explicit TKeepAliveOrigin(int idleCloseMs = 10000, TAnswer answer = {})
        : FIdleCloseMs(idleCloseMs), FAnswer(std::move(answer)) {
        FThread = std::thread([this] {
            for (;;) {
                TSocketHandle h = FListener.Accept();
                if (h == INVALID_SOCKETHANDLE || FStopping)
                    break;
                std::lock_guard lock(FLock);
                int number = ++FAccepted;
                FOpen.push_back(h);
                FWorkers.emplace_back([this, h, number] { Serve(h, number); });
            }
        });
    }
    ~TKeepAliveOrigin() {
        FStopping = true;
        SocketShutdown(FListener.Handle, TShutdownHow::sdBoth);
        FThread.join();
        std::vector<std::thread> workers;
        {
            std::lock_guard lock(FLock);
            for (TSocketHandle h : FOpen)
                SocketShutdown(h, TShutdownHow::sdBoth); // their waits end
            workers.swap(FWorkers);
        }
        for (std::thread& t : workers)
            t.join();
    }
    uint16_t Port() const { return FListener.Port; }
    std::string Url(const std::string& path) const {
        return "http://127.0.0.1:" + std::to_string(Port()) + path;
    }
    int Accepted() {
        std::lock_guard lock(FLock);
        return FAccepted;
    }
    int Closed() const { return FClosed.load(); }
    std::vector<TRequest> Requests() {
        std::lock_guard lock(FLock);
        return FRequests;
    }
    // How many requests had this request line ("POST /p", say).
    int Count(const std::string& requestLine) {
        std::lock_guard lock(FLock);
        return int(std::count_if(FRequests.begin(), FRequests.end(), [&](const TRequest& r) {
            return RequestLineOf(r.Message) == requestLine;
        }));
    }

private:
    void Serve(TSocketHandle h, int number) {
        std::string pending;
        TRequest request;
        request.Connection = number;
        while (!FStopping && ReadHttpMessage(h, pending, request.Message, FIdleCloseMs)) {
            {
                std::lock_guard lock(FLock);
                FRequests.push_back(request);
            }
            bool close = false;
            std::string answer = FAnswer ? FAnswer(request, close) : Sized("ok");
            if (answer.empty() || !SendAll(h, answer) || close)
                break;
            ++request.OnConnection;
        }
        std::lock_guard lock(FLock);
        FOpen.erase(std::find(FOpen.begin(), FOpen.end(), h));
        SocketClose(h);
        ++FClosed;
    }

    const int FIdleCloseMs;
    const TAnswer FAnswer;
    TTestListener FListener;
    std::atomic<bool> FStopping{false};
    std::atomic<int> FClosed{0};
    // FLock: guards FAccepted, FOpen, FRequests, FWorkers. A leaf.
    std::mutex FLock;
    int FAccepted = 0;
    std::vector<TSocketHandle> FOpen;
    std::vector<TRequest> FRequests;
    std::vector<std::thread> FWorkers;
    std::thread FThread;
};

} // namespace corvan::test
