#include "util/RollingLogFile.h"

#include "support/TempDir.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <thread>
#include <unistd.h>
#include <vector>

using namespace corvan;
using corvan::test::ReadFileText;
using corvan::test::TTempDir;

namespace {

// "line NNNN\n": ten bytes each.
std::string Line(int n) {
    char text[16];
    std::snprintf(text, sizeof text, "line %04d\n", n);
    return text;
}

// The copies from oldest to newest, then the file itself, as one text.
std::string AllInOrder(const std::string& log, int keep) {
    std::string text;
    for (int n = keep; n >= 1; --n)
        text += ReadFileText(log + "." + std::to_string(n));
    return text + ReadFileText(log);
}

// Names in the folder.
size_t FileCount(const TTempDir& dir) {
    size_t count = 0;
    for ([[maybe_unused]] auto& entry : std::filesystem::directory_iterator(dir.Path()))
        ++count;
    return count;
}

// Runs body with a log whose failure reports go to a file; returns the reports.
template <class Body> std::string Reports(const TTempDir& dir, Body body) {
    std::string name = dir / "reports.txt";
    std::FILE* err = std::fopen(name.c_str(), "w");
    body(err);
    std::fclose(err);
    return ReadFileText(name);
}

size_t CountOf(const std::string& text, const std::string& what) {
    size_t count = 0;
    for (size_t p = text.find(what); p != std::string::npos; p = text.find(what, p + 1))
        ++count;
    return count;
}

} // namespace

TEST(RollingLogFile, RollsOverAtTheLimitKeepingTheNewestLines) {
    TTempDir dir;
    std::string log = dir / "httpproxy.log";
    TRollingLogFile file(log);
    file.SetLimits(50, 3); // five lines per file
    for (int n = 0; n < 5; ++n)
        file.Append(Line(n));
    EXPECT_FALSE(std::filesystem::exists(log + ".1")) << "a file just at the limit stays";
    file.Append(Line(5));
    EXPECT_EQ(ReadFileText(log + ".1"), Line(0) + Line(1) + Line(2) + Line(3) + Line(4));
    EXPECT_EQ(ReadFileText(log), Line(5));
    for (int n = 6; n < 100; ++n)
        file.Append(Line(n));
    EXPECT_EQ(FileCount(dir), 4u);
    std::string tail;
    for (int n = 80; n < 100; ++n)
        tail += Line(n);
    EXPECT_EQ(AllInOrder(log, 3), tail);
}

TEST(RollingLogFile, KeepsNoneOneOrFewerCopies) {
    TTempDir dir;
    std::string log = dir / "socksproxy.log";
    TRollingLogFile file(log);
    file.SetLimits(20, 0);
    for (int n = 0; n < 5; ++n)
        file.Append(Line(n));
    EXPECT_EQ(FileCount(dir), 1u);
    EXPECT_EQ(ReadFileText(log), Line(4));

    file.SetLimits(20, 4);
    for (int n = 5; n < 20; ++n)
        file.Append(Line(n));
    EXPECT_EQ(FileCount(dir), 5u);
    // A smaller count removes the copies past it at the next roll-over.
    file.SetLimits(20, 1);
    for (int n = 20; n < 23; ++n)
        file.Append(Line(n));
    EXPECT_EQ(FileCount(dir), 2u);
    EXPECT_EQ(AllInOrder(log, 1), Line(20) + Line(21) + Line(22));
    // A line longer than the limit is written whole, alone in its file.
    file.Append(std::string(30, 'x') + "\n");
    EXPECT_EQ(ReadFileText(log).size(), 31u);
}

TEST(RollingLogFile, AFileMovedOrRemovedFromOutsideIsCreatedAfresh) {
    TTempDir dir;
    std::string log = dir / "httpproxy.log";
    TRollingLogFile file(log);
    file.Append(Line(0));
    std::filesystem::rename(log, dir / "rotated");
    file.Append(Line(1));
    ::unlink(log.c_str());
    file.Append(Line(2));
    EXPECT_EQ(ReadFileText(dir / "rotated"), Line(0));
    EXPECT_EQ(ReadFileText(log), Line(2));
    file.Reopen();
    file.Append(Line(3));
    EXPECT_EQ(ReadFileText(log), Line(2) + Line(3));
}

TEST(RollingLogFile, AFailureIsReportedOnceAndTheWritersGoOn) {
    TTempDir dir;
    // Disk full: every write fails.
    std::string full = dir / "full.log";
    std::filesystem::create_symlink("/dev/full", full);
    std::string reports = Reports(dir, [&](std::FILE* err) {
        TRollingLogFile file(full, err);
        for (int n = 0; n < 100; ++n)
            file.Append(Line(n));
    });
    EXPECT_EQ(CountOf(reports, "full.log cannot be written"), 1u) << reports;

    // A folder where the file cannot be moved away (a copy's name is taken by a folder,
    // which not even root can rename over) and then one where it cannot be created.
    std::string stuck = dir / "stuck.log";
    std::filesystem::create_directories(stuck + ".1/inside");
    reports = Reports(dir, [&](std::FILE* err) {
        TRollingLogFile file(stuck, err);
        file.SetLimits(20, 1);
        for (int n = 0; n < 50; ++n)
            file.Append(Line(n));
        EXPECT_EQ(ReadFileText(stuck), Line(0) + Line(1)) << "never past its limit";
        std::filesystem::remove_all(stuck + ".1");
        file.Append(Line(50));
        EXPECT_EQ(ReadFileText(stuck), Line(50));
        TRollingLogFile lost(dir / "missing/x.log", err);
        for (int n = 0; n < 50; ++n)
            lost.Append(Line(n));
    });
    EXPECT_EQ(CountOf(reports, "stuck.log cannot be written"), 1u) << reports;
    EXPECT_EQ(CountOf(reports, "x.log cannot be written"), 1u) << reports;
}

TEST(RollingLogFile, ConcurrentWritersLoseNoLineAcrossRollOvers) {
    TTempDir dir;
    std::string log = dir / "socksproxy.log";
    TRollingLogFile file(log);
    constexpr int kThreads = 4, kLines = 250;
    file.SetLimits(100, TRollingLogFile::kMaxKeep); // room for every line
    std::vector<std::thread> writers;
    for (int t = 0; t < kThreads; ++t)
        writers.emplace_back([&file, t] {
            for (int n = 0; n < kLines; ++n)
                file.Append(Line(t * kLines + n));
        });
    for (std::thread& w : writers)
        w.join();
    std::string all = AllInOrder(log, TRollingLogFile::kMaxKeep);
    ASSERT_EQ(all.size(), size_t(kThreads * kLines) * 10);
    for (int n = 0; n < kThreads * kLines; ++n)
        EXPECT_EQ(CountOf(all, Line(n)), 1u) << n;
    for (int n = 1; n <= TRollingLogFile::kMaxKeep; ++n)
        EXPECT_LE(ReadFileText(log + "." + std::to_string(n)).size(), 100u);
}
