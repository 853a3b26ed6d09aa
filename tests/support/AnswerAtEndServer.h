#pragma once
// A loopback server for one connection whose request ends with the end of the client's data
// (the client shuts down its sending side): it reads to that end, then answers and closes.
// Also the matching client.

#include "support/NetTestSupport.h"

#include <future>
#include <thread>

namespace corvan::test {

struct TAnswerAtEndServer {
    TTestListener Listener;
    std::promise<std::string> Request; // everything read before the end
    std::thread Thread;
    explicit TAnswerAtEndServer(std::string answer) {
        Thread = std::thread([this, answer = std::move(answer)] {
            TSocketHandle h = Listener.Accept();
            if (h == INVALID_SOCKETHANDLE) {
                Request.set_value("no connection");
                return; // the listener was shut down
            }
            SetReceiveTimeout(h, 20);
            Request.set_value(RecvAll(h));
            SendAll(h, answer);
            SocketClose(h);
        });
    }
    ~TAnswerAtEndServer() {
        SocketShutdown(Listener.Handle, TShutdownHow::sdBoth); // wakes an accept still waiting
        Thread.join();
    }
    // What the server read, within ms ("timed out" otherwise).
    std::string RequestRead(int ms) {
        auto f = Request.get_future();
        return f.wait_for(std::chrono::milliseconds(ms)) == std::future_status::ready
                   ? f.get()
                   : "timed out";
    }
};

// On a connected blocking client: sends request, shuts down the sending side (as `nc -N`
// does) and answers everything read until the other side closes.
inline std::string SendHalfCloseAndReadAnswer(TSocketHandle h, const std::string& request) {
    SetReceiveTimeout(h, 20);
    SendAll(h, request);
    SocketShutdown(h, TShutdownHow::sdSend);
    return RecvAll(h);
}

} // namespace corvan::test
