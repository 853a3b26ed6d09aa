#pragma once
// A real SOCKS5 server for tests: Debian's microsocks on 127.0.0.1 and a free port, optionally
// with a user and password; killed (and reaped) when the object goes.

#include "support/NetTestSupport.h"

#include <csignal>
#include <spawn.h>
#include <string>
#include <sys/wait.h>
#include <thread>
#include <vector>

extern char** environ;

namespace corvan::test {

class TMicrosocks {
public:
    TMicrosocks(const std::string& user = "", const std::string& password = "") {
        for (int attempt = 0; attempt < 3 && !Running(); ++attempt)
            Start(user, password);
    }
    ~TMicrosocks() { Stop(); }
    TMicrosocks(const TMicrosocks&) = delete;
    TMicrosocks& operator=(const TMicrosocks&) = delete;

    bool Running() const { return FPid > 0; }
    uint16_t Port() const { return FPort; }
    std::string PortStr() const { return std::to_string(FPort); }

private:
    void Start(const std::string& user, const std::string& password) {
        FPort = FreeLoopbackPort();
        std::vector<std::string> args = {"microsocks", "-i", "127.0.0.1", "-p", PortStr()};
        if (!user.empty())
            args.insert(args.end(), {"-u", user, "-P", password});
        std::vector<char*> argv;
        for (auto& a : args)
            argv.push_back(a.data());
        argv.push_back(nullptr);
        pid_t pid = 0;
        if (posix_spawnp(&pid, "microsocks", nullptr, nullptr, argv.data(), environ) != 0)
            return;
        FPid = pid;
        // Another process: no event to await, so poll its port for up to 5 s.
        for (int i = 0; i < 250; ++i) {
            TSocketHandle h = ConnectBlocking(FPort);
            if (h != INVALID_SOCKETHANDLE) {
                SocketClose(h);
                return;
            }
            int status;
            if (waitpid(FPid, &status, WNOHANG) == FPid) { // it died (port taken)
                FPid = 0;
                return;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
        Stop();
    }
    void Stop() {
        if (FPid <= 0)
            return;
        kill(FPid, SIGTERM);
        int status;
        waitpid(FPid, &status, 0);
        FPid = 0;
    }
    pid_t FPid = 0;
    uint16_t FPort = 0;
};

} // namespace corvan::test
