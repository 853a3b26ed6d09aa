#pragma once
// Runs a program as a child process with a chosen environment and collects its stdout and
// stderr (merged) through a pipe. Every wait is bounded; a child still running when the
// object goes away is killed.

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <map>
#include <poll.h>
#include <spawn.h>
#include <string>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

extern char** environ;

namespace corvan::test {

// A child starts with the signals a fresh program has: this test process may have blocked its
// stop signals (a loop that watches them) and ignores SIGPIPE, and a child inheriting that
// would never end on SIGTERM.
inline void ResetSignalsInChild() {
    sigset_t none;
    sigemptyset(&none);
    ::sigprocmask(SIG_SETMASK, &none, nullptr);
    std::signal(SIGPIPE, SIG_DFL);
}

// The same for a child made with posix_spawn: attributes to pass to it (destroy after use).
inline void SpawnAttrWithFreshSignals(posix_spawnattr_t* attr) {
    posix_spawnattr_init(attr);
    sigset_t none, defaults;
    sigemptyset(&none);
    sigemptyset(&defaults);
    for (int signal : {SIGTERM, SIGINT, SIGHUP, SIGPIPE})
        sigaddset(&defaults, signal);
    posix_spawnattr_setsigmask(attr, &none);
    posix_spawnattr_setsigdefault(attr, &defaults);
    posix_spawnattr_setflags(attr, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);
}

class TChildProcess {
public:
    // env: variables to set; unset: variables removed from this process's environment.
    TChildProcess(const std::vector<std::string>& argv,
                  const std::map<std::string, std::string>& env,
                  const std::vector<std::string>& unset = {}) {
        std::vector<std::string> envStrings;
        for (char** e = environ; *e; ++e) {
            std::string entry = *e;
            std::string name = entry.substr(0, entry.find('='));
            bool drop = env.count(name) > 0;
            for (const std::string& u : unset)
                drop = drop || u == name;
            if (!drop)
                envStrings.push_back(entry);
        }
        for (const auto& [name, value] : env)
            envStrings.push_back(name + "=" + value);
        int fds[2];
        if (::pipe2(fds, O_CLOEXEC) != 0)
            return;
        FPid = ::fork();
        if (FPid == 0) {
            ResetSignalsInChild();
            ::dup2(fds[1], 1);
            ::dup2(fds[1], 2);
            std::vector<char*> args, envp;
            for (const std::string& a : argv)
                args.push_back(const_cast<char*>(a.c_str()));
            args.push_back(nullptr);
            for (const std::string& e : envStrings)
                envp.push_back(const_cast<char*>(e.c_str()));
            envp.push_back(nullptr);
            ::execve(args[0], args.data(), envp.data());
            ::_exit(127);
        }
        ::close(fds[1]);
        FOutput = fds[0];
    }

    ~TChildProcess() {
        if (FPid > 0 && !FExited) {
            ::kill(FPid, SIGKILL);
            ::waitpid(FPid, nullptr, 0);
        }
        if (FOutput >= 0)
            ::close(FOutput);
    }

    TChildProcess(const TChildProcess&) = delete;
    TChildProcess& operator=(const TChildProcess&) = delete;

    bool Started() const { return FPid > 0; }
    pid_t Pid() const { return FPid; }
    const std::string& Output() const { return FText; }

    // Reads output until it contains text; false when the time runs out or output ends.
    bool WaitForOutput(const std::string& text, int timeoutMs) {
        auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
        while (FText.find(text) == std::string::npos) {
            if (!ReadSome(deadline))
                return FText.find(text) != std::string::npos;
        }
        return true;
    }

    void Signal(int signal) { ::kill(FPid, signal); }

    // Reads output to its end, then reaps the child. The exit code, 128 + signal number
    // when it was killed, or -1 when it did not end in time (it is then killed).
    int WaitForExit(int timeoutMs) {
        auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
        while (ReadSome(deadline)) {
        }
        if (FOpen) {
            ::kill(FPid, SIGKILL);
            ::waitpid(FPid, nullptr, 0);
            FExited = true;
            return -1;
        }
        int status = 0;
        ::waitpid(FPid, &status, 0);
        FExited = true;
        if (WIFEXITED(status))
            return WEXITSTATUS(status);
        return 128 + WTERMSIG(status);
    }

private:
    // One read with the remaining time; false at end of output or when time ran out.
    bool ReadSome(std::chrono::steady_clock::time_point deadline) {
        if (!FOpen)
            return false;
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                        deadline - std::chrono::steady_clock::now())
                        .count();
        if (left <= 0)
            return false;
        pollfd p{FOutput, POLLIN, 0};
        int r = ::poll(&p, 1, int(left));
        if (r < 0 && errno == EINTR)
            return true;
        if (r <= 0)
            return false;
        char buffer[4096];
        ssize_t n = ::read(FOutput, buffer, sizeof(buffer));
        if (n <= 0) {
            FOpen = false;
            return false;
        }
        FText.append(buffer, size_t(n));
        return true;
    }

    pid_t FPid = -1;
    int FOutput = -1;
    bool FOpen = true;
    bool FExited = false;
    std::string FText;
};

} // namespace corvan::test
