// The data-folder lock: one holder at a time, a refused second holder is told who has it,
// and a child process never keeps the lock after its parent let it go.

#include "util/DataFolderLock.h"

#include "support/Process.h"
#include "support/TempDir.h"

#include <gtest/gtest.h>

#include <fstream>
#include <sstream>
#include <sys/stat.h>
#include <unistd.h>

using namespace corvan;
using namespace corvan::test;

TEST(DataFolderLock, SecondHolderIsRefusedAndToldWhoHoldsIt) {
    TTempDir dir;
    std::string folder = dir / "new/Corvan/";
    TDataFolderLock first, second;
    std::string error;
    ASSERT_EQ(first.Acquire(folder, error), TDataFolderLock::TResult::Locked) << error;
    // flock locks belong to the open file, so a second open in this process conflicts as a
    // second program would.
    EXPECT_EQ(second.Acquire(folder, error), TDataFolderLock::TResult::InUse);
    EXPECT_FALSE(second.Held());
    EXPECT_NE(error.find("process " + std::to_string(::getpid()) + ";"), std::string::npos)
        << error;
    EXPECT_NE(error.find(folder), std::string::npos) << error;
    first.Release();
    EXPECT_EQ(second.Acquire(folder, error), TDataFolderLock::TResult::Locked) << error;
}

TEST(DataFolderLock, ChildProcessesDoNotInheritIt) {
    TTempDir dir;
    TDataFolderLock parent, next;
    std::string error;
    ASSERT_EQ(parent.Acquire(dir.Path(), error), TDataFolderLock::TResult::Locked) << error;
    // A child that outlives the lock's holder, as a helper started by the program would.
    // Its word comes after its exec, where close-on-exec has done its part.
    TChildProcess child({"/bin/sh", "-c", "echo started; exec sleep 30"}, {});
    ASSERT_TRUE(child.WaitForOutput("started", 10000));
    parent.Release();
    EXPECT_EQ(next.Acquire(dir.Path(), error), TDataFolderLock::TResult::Locked)
        << "the child kept the lock: " << error;
}

// In a folder others may write to, whatever is planted under the lock's name is never
// written through nor waited on: a second name of another file is locked but left as it is;
// a symbolic link or a pipe is not taken, and the program runs on.
TEST(DataFolderLock, PlantedLinksAndPipesAreNotWrittenThrough) {
    TTempDir dir;
    std::string victim = dir / "victim", lockPath = dir / TDataFolderLock::kFileName;
    std::ofstream(victim) << "precious\n";
    auto victimText = [&] {
        std::ostringstream text;
        text << std::ifstream(victim).rdbuf();
        return text.str();
    };
    TDataFolderLock lock;
    std::string error;
    ASSERT_EQ(::symlink(victim.c_str(), lockPath.c_str()), 0);
    EXPECT_EQ(lock.Acquire(dir.Path(), error), TDataFolderLock::TResult::Failed);
    EXPECT_NE(error.find(lockPath), std::string::npos) << error;
    ASSERT_EQ(::unlink(lockPath.c_str()), 0);
    ASSERT_EQ(::link(victim.c_str(), lockPath.c_str()), 0);
    EXPECT_EQ(lock.Acquire(dir.Path(), error), TDataFolderLock::TResult::Locked) << error;
    EXPECT_EQ(victimText(), "precious\n");
    lock.Release();
    ASSERT_EQ(::unlink(lockPath.c_str()), 0);
    ASSERT_EQ(::mkfifo(lockPath.c_str(), 0644), 0);
    EXPECT_EQ(lock.Acquire(dir.Path(), error), TDataFolderLock::TResult::Failed);
    EXPECT_FALSE(lock.Held());
}

// A holder that cannot write its id leaves the file as it was: a second start then names
// no process rather than one that has ended.
TEST(DataFolderLock, AnEndedProcessIsNeverNamedAsTheHolder) {
    TTempDir dir;
    pid_t ended = -1;
    {
        TChildProcess child({"/bin/true"}, {});
        ended = child.Pid();
        ASSERT_EQ(child.WaitForExit(10000), 0);
    }
    std::string other = dir / "other", lockPath = dir / TDataFolderLock::kFileName;
    std::ofstream(other) << ended << "\n";
    // A second name: the lock is taken but the file not written.
    ASSERT_EQ(::link(other.c_str(), lockPath.c_str()), 0);
    TDataFolderLock first, second;
    std::string error;
    ASSERT_EQ(first.Acquire(dir.Path(), error), TDataFolderLock::TResult::Locked) << error;
    ASSERT_EQ(second.Acquire(dir.Path(), error), TDataFolderLock::TResult::InUse);
    EXPECT_NE(error.find("its process id is not known"), std::string::npos) << error;
}
