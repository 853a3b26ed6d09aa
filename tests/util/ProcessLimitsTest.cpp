// The open-descriptor limit: raised from soft to hard in a forked child (the limit is the
// process's own), and the tunnel count derived from it.
#include "util/ProcessLimits.h"

#include <gtest/gtest.h>

#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

using namespace corvan;

namespace {

// In a forked child: sets soft/hard, raises, and exits 0 when the soft limit is then
// expectSoft, 1 when it is not, 2 when the limits could not be set up.
int RaiseInChild(rlim_t soft, rlim_t hard, rlim_t expectSoft) {
    pid_t pid = ::fork();
    if (pid == 0) {
        rlimit start{soft, hard};
        if (::setrlimit(RLIMIT_NOFILE, &start) != 0)
            ::_exit(2);
        TDescriptorLimit result = RaiseDescriptorLimit();
        rlimit now{};
        bool ok = ::getrlimit(RLIMIT_NOFILE, &now) == 0 && now.rlim_cur == expectSoft &&
                  result.Soft == expectSoft && result.Before == soft && result.Error.empty();
        ::_exit(ok ? 0 : 1);
    }
    if (pid < 0)
        return -1;
    int status = 0;
    if (::waitpid(pid, &status, 0) != pid || !WIFEXITED(status))
        return -1;
    return WEXITSTATUS(status);
}

} // namespace

TEST(DescriptorLimit, SoftLimitIsRaisedToTheHardLimit) {
    EXPECT_EQ(RaiseInChild(1024, 8192, 8192), 0);
    EXPECT_EQ(RaiseInChild(8192, 8192, 8192), 0) << "already at the hard limit";
}

TEST(DescriptorLimit, TunnelCountLeavesTheReserveAndTakesTwoPerTunnel) {
    EXPECT_EQ(TunnelCapacity(8192), (8192 - kDescriptorReserve) / 2);
    EXPECT_EQ(TunnelCapacity(kDescriptorReserve), 0u);
    EXPECT_EQ(TunnelCapacity(0), 0u);
    TDescriptorLimit limit;
    limit.Before = 1024;
    limit.Soft = limit.Hard = 8192;
    EXPECT_EQ(DescriptorLimitText(limit),
              "open descriptor limit 8192 (raised from 1024): room for 4064 tunnels");
    limit.Soft = limit.Before;
    limit.Error = "setrlimit: Operation not permitted";
    EXPECT_EQ(DescriptorLimitText(limit), "open descriptor limit 1024: room for 480 tunnels "
                                          "(not raised: setrlimit: Operation not permitted)");
}
