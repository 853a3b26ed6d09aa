#include "util/LineProcess.h"

#include "util/Ticks.h"

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <poll.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

namespace corvan {

namespace {
// How long Stop waits after SIGTERM before SIGKILL.
constexpr int kStopGraceMs = 500;

std::string SysError(const char* call, int error) {
    return std::string(call) + " failed: " + std::strerror(error);
}

enum class THelperState { Running, Ended, Gone };

// Whether the helper has ended, without reaping it: while it is a zombie its pid, which is
// also its process group's id, cannot be given to another process, so the group may still be
// signalled safely. Gone: no such child (already reaped).
THelperState HelperState(pid_t pid) {
    siginfo_t info{};
    if (::waitid(P_PID, id_t(pid), &info, WEXITED | WNOHANG | WNOWAIT) != 0)
        return errno == ECHILD ? THelperState::Gone : THelperState::Running;
    return info.si_pid == pid ? THelperState::Ended : THelperState::Running;
}

enum class TRead { Data, Quiet, Failed };

// Waits for the helper's output until the moment until (MonotonicMillis; no wait when it has
// passed) and reads what is there. Data: appended to into; Quiet: nothing came; Failed: the
// helper ended or the socket failed (error says which).
TRead ReadSome(int socket, int64_t until, std::string& into, std::string& error) {
    for (;;) {
        int64_t left = std::max<int64_t>(until - MonotonicMillis(), 0);
        pollfd p{socket, POLLIN, 0};
        int r = ::poll(&p, 1, int(left));
        if (r < 0 && errno == EINTR)
            continue;
        if (r < 0) {
            error = SysError("poll", errno);
            return TRead::Failed;
        }
        if (r == 0)
            return TRead::Quiet;
        char buf[512];
        long n = ::recv(socket, buf, sizeof buf, 0);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            error = n < 0 ? SysError("read from the program", errno) : "the program ended";
            return TRead::Failed;
        }
        into.append(buf, size_t(n));
        return TRead::Data;
    }
}

// Writes all of text before deadline (MonotonicMillis) without ever blocking: a helper that
// does not read its input fills the socket, and the login waiting on it must still end in
// time. False with error set when the write failed or could not finish by then.
bool WriteAll(int socket, const std::string& text, int64_t deadline, std::string& error) {
    size_t sent = 0;
    while (sent < text.size()) {
        long n =
            ::send(socket, text.data() + sent, text.size() - sent, MSG_NOSIGNAL | MSG_DONTWAIT);
        if (n > 0) {
            sent += size_t(n);
            continue;
        }
        if (n < 0 && errno == EINTR)
            continue;
        if (n == 0 || (errno != EAGAIN && errno != EWOULDBLOCK)) {
            error = n < 0 ? SysError("write to the program", errno) : "write to the program failed";
            return false;
        }
        int64_t left = deadline - MonotonicMillis();
        if (left <= 0) {
            error = "the program did not read the question in time (" + std::to_string(sent) +
                    " of " + std::to_string(text.size()) + " bytes written)";
            return false;
        }
        pollfd p{socket, POLLOUT, 0};
        if (::poll(&p, 1, int(left)) < 0 && errno != EINTR) {
            error = SysError("poll", errno);
            return false;
        }
    }
    return true;
}

// Ends what is left of an ended helper's process group (what the script started and left
// running would otherwise outlive it, one set per restart), then reaps the helper.
void EndGroupAndReap(pid_t pid) {
    ::kill(-pid, SIGKILL);
    int status = 0;
    ::waitpid(pid, &status, 0);
}
} // namespace

TLineProcess::~TLineProcess() {
    Stop();
}

bool TLineProcess::Running() {
    if (FPid <= 0)
        return false;
    THelperState state = HelperState(FPid);
    if (state != THelperState::Running) {
        if (state == THelperState::Ended)
            EndGroupAndReap(FPid);
        FPid = -1;
        if (FSocket >= 0)
            ::close(FSocket);
        FSocket = -1;
        return false;
    }
    return true;
}

bool TLineProcess::Start(std::string& error) {
    Stop();
    int pair[2];
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair) != 0) {
        error = SysError("socketpair", errno);
        return false;
    }
    posix_spawn_file_actions_t actions;
    posix_spawnattr_t attr;
    posix_spawn_file_actions_init(&actions);
    posix_spawnattr_init(&attr);
    // dup2 clears close-on-exec on the copies; the originals close at exec.
    posix_spawn_file_actions_adddup2(&actions, pair[1], 0);
    posix_spawn_file_actions_adddup2(&actions, pair[1], 1);
    // The program blocks its control signals and ignores SIGPIPE in every thread; a helper
    // must get the defaults, or it could neither be stopped nor notice a closed output.
    sigset_t none, defaults;
    sigemptyset(&none);
    sigemptyset(&defaults);
    sigaddset(&defaults, SIGPIPE);
    sigaddset(&defaults, SIGTERM);
    sigaddset(&defaults, SIGINT);
    sigaddset(&defaults, SIGHUP);
    posix_spawnattr_setsigmask(&attr, &none);
    posix_spawnattr_setsigdefault(&attr, &defaults);
    // A process group of its own: Stop ends the commands the script started with it.
    posix_spawnattr_setpgroup(&attr, 0);
    posix_spawnattr_setflags(&attr,
                             POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETPGROUP);
    const char* argv[] = {"/bin/sh", "-c", FCommandLine.c_str(), nullptr};
    pid_t pid = -1;
    int rc = ::posix_spawn(&pid, "/bin/sh", &actions, &attr, const_cast<char* const*>(argv),
                           environ);
    posix_spawn_file_actions_destroy(&actions);
    posix_spawnattr_destroy(&attr);
    ::close(pair[1]);
    if (rc != 0) {
        ::close(pair[0]);
        error = SysError("posix_spawn", rc);
        return false;
    }
    FPid = pid;
    FSocket = pair[0];
    FQuietUntil = MonotonicMillis() + kLineProcessGreetingMs;
    return true;
}

bool TLineProcess::DiscardOutput(int64_t until, int64_t deadline, std::string& error) {
    for (;;) {
        std::string dropped;
        switch (ReadSome(FSocket, std::min(until, deadline), dropped, error)) {
        case TRead::Quiet:
            return true;
        case TRead::Failed:
            return false;
        case TRead::Data:
            if (MonotonicMillis() >= deadline) {
                error = "the program does not stop printing";
                return false;
            }
            break;
        }
    }
}

bool TLineProcess::Ask(const std::string& line, int timeoutMs, std::string& answer,
                       std::string& error) {
    if (!Running()) {
        error = "the program is not running";
        return false;
    }
    auto fail = [&](std::string why) {
        error = std::move(why);
        Stop();
        return false;
    };
    int64_t deadline = MonotonicMillis() + timeoutMs;
    std::string why;
    if (!DiscardOutput(FQuietUntil, deadline, why))
        return fail(why);
    if (!WriteAll(FSocket, line + "\n", deadline, why))
        return fail(why);
    std::string received;
    for (;;) {
        size_t end = received.find('\n');
        if (end != std::string::npos) {
            answer = received.substr(0, end);
            if (!answer.empty() && answer.back() == '\r')
                answer.pop_back();
            FQuietUntil = MonotonicMillis() + kLineProcessSettleMs;
            return true;
        }
        if (received.size() > kLineProcessMaxLine)
            return fail("the program's answer is too long");
        if (MonotonicMillis() >= deadline)
            return fail("no answer within " + std::to_string(timeoutMs) + " ms");
        if (ReadSome(FSocket, deadline, received, why) == TRead::Failed)
            return fail(why);
    }
}

void TLineProcess::Stop() {
    if (FSocket >= 0)
        ::close(FSocket);
    FSocket = -1;
    if (FPid <= 0)
        return;
    ::kill(-FPid, SIGTERM);
    int64_t deadline = MonotonicMillis() + kStopGraceMs;
    THelperState state;
    while ((state = HelperState(FPid)) == THelperState::Running &&
           MonotonicMillis() < deadline)
        ::usleep(5000);
    // Also when the helper ended at SIGTERM: a command of its group may have ignored it.
    if (state != THelperState::Gone)
        EndGroupAndReap(FPid);
    FPid = -1;
}

} // namespace corvan
