#pragma once
// A real SOCKS5 server for tests: Debian's microsocks on 127.0.0.1 and a free port, optionally
// with a user and password; killed (and reaped) when the object goes.

#include "support/NetTestSupport.h"
#include "support/Process.h"

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
        posix_spawnattr_t attr;
        SpawnAttrWithFreshSignals(&attr);
        int spawned = posix_spawnp(&pid, "microsocks", nullptr, &attr, argv.data(), environ);
        posix_spawnattr_destroy(&attr);
        if (spawned != 0)
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
        // Bounded: a server that does not end on SIGTERM is killed.
        int status;
        for (int i = 0; i < kStopPolls && waitpid(FPid, &status, WNOHANG) == 0; ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        if (waitpid(FPid, &status, WNOHANG) == 0) {
            kill(FPid, SIGKILL);
            waitpid(FPid, &status, 0);
        }
        FPid = 0;
    }
    static constexpr int kStopPolls = 300; // 3 s for SIGTERM, then SIGKILL
    pid_t FPid = 0;
    uint16_t FPort = 0;
};

} // namespace corvan::test
