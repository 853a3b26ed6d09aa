// The line helper: each answer is the first line after its own question, whatever else the
// helper prints; and its process group: a helper stopped (by a missed answer, by Stop or by
// ending) leaves none of the commands its script started running.

#include "util/LineProcess.h"
#include "util/Ticks.h"

#include "support/TempDir.h"

#include <gtest/gtest.h>

#include <csignal>
#include <filesystem>
#include <fstream>
#include <string>
#include <unistd.h>

using namespace corvan;
using namespace corvan::test;

namespace {

// Whether the process is gone or a zombie (ended, not yet reaped by its new parent).
bool Ended(pid_t pid) {
    std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
    std::string pidField, name, state;
    if (!(stat >> pidField >> name >> state))
        return true;
    return state == "Z" || state == "X";
}

bool EndsWithin(pid_t pid, int ms) {
    int64_t deadline = MonotonicMillis() + ms;
    while (!Ended(pid)) {
        if (MonotonicMillis() >= deadline)
            return false;
        ::usleep(10000);
    }
    return true;
}

// The pid the script wrote to the file, once it is there.
pid_t WrittenPid(const std::string& file) {
    int64_t deadline = MonotonicMillis() + 10000;
    for (;;) {
        std::ifstream in(file);
        std::string line;
        if (std::getline(in, line) && !line.empty() && line.back() == '.')
            return pid_t(std::stol(line));
        if (MonotonicMillis() >= deadline)
            return -1;
        ::usleep(10000);
    }
}

} // namespace

TEST(LineProcess, CommandsTheScriptStartedEndWithTheHelper) {
    TTempDir dir;
    std::string pidFile = dir / "pid";
    // Each case starts a long sleep beside the helper and writes its pid ("N.").
    std::string startSleep = "sleep 60 & echo \"$!.\" > " + pidFile + "; ";
    struct TCase {
        const char* Name;
        std::string Script;
        int HowToStop; // 0: a missed answer, 1: Stop, 2: the helper ends by itself
    };
    for (const TCase& c : {TCase{"missed answer", "read q; " + startSleep + "wait", 0},
                           TCase{"Stop", startSleep + "wait", 1},
                           TCase{"ended", startSleep + "exit 0", 2}}) {
        std::filesystem::remove(pidFile);
        TLineProcess helper(c.Script);
        std::string error, answer;
        ASSERT_TRUE(helper.Start(error)) << error;
        if (c.HowToStop == 0) {
            EXPECT_FALSE(helper.Ask("q", 300, answer, error)) << c.Name;
        }
        pid_t sleeper = WrittenPid(pidFile);
        ASSERT_GT(sleeper, 0) << c.Name;
        if (c.HowToStop == 1)
            helper.Stop();
        if (c.HowToStop == 2) {
            int64_t deadline = MonotonicMillis() + 10000;
            while (helper.Running() && MonotonicMillis() < deadline)
                ::usleep(10000);
            EXPECT_FALSE(helper.Running()) << c.Name;
        }
        EXPECT_FALSE(helper.Running()) << c.Name;
        bool ended = EndsWithin(sleeper, 10000);
        EXPECT_TRUE(ended) << c.Name << ": the script's sleep outlived the helper";
        if (!ended)
            ::kill(sleeper, SIGKILL);
    }
}

TEST(LineProcess, EachAnswerIsTheFirstLineAfterItsQuestion) {
    TTempDir dir;
    // A greeting before the first question, and two lines for every question ("A<q>" first);
    // the file "done<q>" (done0: the greeting) tells the test it has printed them all.
    TLineProcess helper("echo hello; echo hello again; : > " + (dir / "done0") +
                        "; while read q; do echo \"A$q\"; echo \"extra $q\"; : > " +
                        (dir / "done") + "$q; done");
    std::string error, answer;
    ASSERT_TRUE(helper.Start(error)) << error;
    auto printed = [&](const std::string& question) {
        int64_t deadline = MonotonicMillis() + 10000;
        while (!std::filesystem::exists(dir / ("done" + question))) {
            if (MonotonicMillis() >= deadline)
                return false;
            ::usleep(10000);
        }
        return true;
    };
    std::string before = "0";
    for (const char* question : {"1", "2", "3"}) {
        ASSERT_TRUE(printed(before));
        ASSERT_TRUE(helper.Ask(question, 10000, answer, error)) << error;
        EXPECT_EQ(answer, std::string("A") + question);
        before = question;
    }
}
