// The data-folder lock: one holder at a time, a refused second holder is told who has it,
// and a child process never keeps the lock after its parent let it go.

#include "util/DataFolderLock.h"

#include "support/Process.h"
#include "support/TempDir.h"

#include <gtest/gtest.h>

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
