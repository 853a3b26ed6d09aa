#include "util/Log.h"

#include "support/TempDir.h"

#include <gtest/gtest.h>

#include <unistd.h>

using namespace corvan;
using corvan::test::ReadFileText;
using corvan::test::TTempDir;

namespace {

// A log that records every finished line with its class.
class TRecordingLog : public TLog {
public:
    TRecordingLog() {
        Tick = [this] { return FakeTick; };
        ResetElapsed();
        Clock = [] { return EncodeDateTime(2026, 12, 8, 21, 5, 9); };
    }
    std::vector<std::string> Lines;
    uint32_t FakeTick = 1000;

protected:
    void TriggerLogMessage(const void*, TLogClass logClass, const std::string& line) override {
        Lines.push_back(std::to_string(int(logClass)) + ":" + line);
    }
};

} // namespace

TEST(Log, CollapsesRepeatsIntoACountOfClass7) {
    TRecordingLog log;
    log.Options = loCollapseRepeats;
    std::vector<std::string> events;
    log.OnLog = [&](TLog* sender, TLogClass c, const std::string& m) {
        EXPECT_EQ(sender, &log);
        events.push_back(std::to_string(int(c)) + ":" + m);
    };
    for (const char* m : {"A", "A", "A", "B", "B", "C"})
        log.Log(nullptr, lcInfo, m);
    EXPECT_EQ(log.Lines, (std::vector<std::string>{"0:A", "7:3 times", "0:B", "7:2 times", "0:C"}));
    EXPECT_EQ(events, log.Lines);
    log.Log(nullptr, lcInfo, "C");
    log.Log(nullptr, lcInfo, "C"); // and then nothing: the repeat is never reported
    EXPECT_EQ(log.Lines.size(), 5u);
}

TEST(Log, FirstEmptyMessageIsNotTakenForARepeat) {
    TRecordingLog log;
    log.Options = loCollapseRepeats;
    log.Log(nullptr, lcInfo, "");
    log.Log(nullptr, lcInfo, "");
    log.Log(nullptr, lcInfo, "x");
    EXPECT_EQ(log.Lines, (std::vector<std::string>{"0:", "7:2 times", "0:x"}));
}

TEST(Log, PrefixesDateTimeAndElapsedInThatOrder) {
    TRecordingLog log;
    log.Options = loPrefixElapsed;
    log.FakeTick = 1005;
    log.Log(nullptr, lcInfo, "five");
    log.FakeTick = 13345;
    log.Log(nullptr, lcInfo, "long");
    log.Options = loPrefixElapsed | loPrefixTime | loPrefixDate;
    log.FakeTick = 13345 + 42;
    log.Log(nullptr, lcError, "all");
    log.Options = loPrefixTime;
    log.Log(nullptr, lcError, "time");
    EXPECT_EQ(log.Lines, (std::vector<std::string>{"0:   5 five", "0:12340 long",
                                                   "1:261208 210509   42 all", "1:210509 time"}));
    // The tick wraps at 2^32 without a jump.
    TRecordingLog wrap;
    wrap.Options = loPrefixElapsed;
    wrap.FakeTick = 0xFFFFFFF0u;
    wrap.Log(nullptr, lcInfo, "a");
    wrap.FakeTick = 0x10u;
    wrap.Log(nullptr, lcInfo, "b");
    EXPECT_EQ(wrap.Lines.back(), "0:  32 b");
}

TEST(Log, IgnoredClassesEditAndEvents) {
    TRecordingLog log;
    log.Options = loIgnoreClass1 | loIgnoreClass3 | loNoLogEvent;
    int events = 0;
    log.OnLog = [&](TLog*, TLogClass, const std::string&) { ++events; };
    log.OnEditMessage = [](TLog*, TLogClass, std::string& m) { m = "[" + m + "]"; };
    log.Log(nullptr, lcInfo, "i");
    log.Log(nullptr, lcError, "e");
    log.Log(nullptr, lcWarning, "w");
    log.Log(nullptr, lcDebug, "d");
    log.Log(nullptr, lcRepeat, "r");
    EXPECT_EQ(log.Lines, (std::vector<std::string>{"0:[i]", "2:[w]", "7:[r]"}));
    EXPECT_EQ(events, 0);
    log.Options = loIgnoreClass0 | loIgnoreClass2;
    log.Log(nullptr, lcInfo, "i");
    log.Log(nullptr, lcWarning, "w");
    log.Log(nullptr, lcError, "e");
    EXPECT_EQ(log.Lines.back(), "1:[e]");
    EXPECT_EQ(events, 1);
}

TEST(Log, ForwardsFirstAndForgetsADestroyedTarget) {
    TRecordingLog source;
    source.Options = loIgnoreClass0;
    {
        TRecordingLog target;
        source.SetLogTo(&target);
        source.Log(nullptr, lcInfo, "to both");
        EXPECT_EQ(target.Lines, (std::vector<std::string>{"0:to both"}));
        EXPECT_TRUE(source.Lines.empty()); // the source ignores class 0 itself
    }
    EXPECT_EQ(source.LogTo(), nullptr);
    source.Log(nullptr, lcError, "alone");
    EXPECT_EQ(source.Lines.size(), 1u);
    // A source destroyed before its target unregisters itself.
    TRecordingLog target;
    {
        TRecordingLog shortLived;
        shortLived.SetLogTo(&target);
    }
    target.Log(nullptr, lcInfo, "still fine");
}

TEST(Log, ErrorsPassUnlessSuppressed) {
    TTempDir dir;
    TRecordingLog target;
    target.OnLog = [](TLog*, TLogClass, const std::string&) { throw Exception("target broke"); };
    TRecordingLog log;
    log.SetLogTo(&target);
    EXPECT_THROW(log.Log(nullptr, lcInfo, "x"), Exception);
    EXPECT_TRUE(log.Lines.empty());
    log.Options = loSuppressErrors;
    log.Log(nullptr, lcInfo, "y"); // swallowed, and the message is still handled
    EXPECT_EQ(log.Lines, (std::vector<std::string>{"0:y"}));
    log.SetLogTo(nullptr);
    log.FileName = dir / "missing/x.log";
    log.Options = loLogToFile;
    EXPECT_THROW(log.Log(nullptr, lcInfo, "z"), EFileError);
    log.Options = loLogToFile | loSuppressErrors;
    log.Log(nullptr, lcInfo, "z");
}

TEST(Log, AppendsLinesToItsFileAndHoldsItOnlyWhenAsked) {
    TTempDir dir;
    TRecordingLog log;
    EXPECT_EQ(log.FileName, "Log.log");
    log.FileName = dir / "server.log";
    log.Options = loLogToFile;
    log.OnLogFile = [](TLog*, TLogClass c, bool& allow, std::string& m) {
        allow = c != lcDebug;
        m += "!";
    };
    log.Log(nullptr, lcInfo, "one");
    log.Log(nullptr, lcDebug, "vetoed");
    EXPECT_EQ(ReadFileText(log.FileName), "one!\r\n");
    // Closed after each line: a removed file is created again.
    ::unlink(log.FileName.c_str());
    log.Log(nullptr, lcInfo, "two");
    EXPECT_EQ(ReadFileText(log.FileName), "two!\r\n");
    // Kept open: lines go to the open file even after it was removed from the folder.
    log.Options = loLogToFile | loKeepFileOpen;
    log.Log(nullptr, lcInfo, "three");
    ::unlink(log.FileName.c_str());
    log.Log(nullptr, lcInfo, "four");
    EXPECT_NE(::access(log.FileName.c_str(), F_OK), 0);
    log.FileName = "";
    log.Log(nullptr, lcInfo, "no file");
}

TEST(Log, EntriesOfAttachedComponentsKeepTheirClassWithinTheUserRange) {
    TRecordingLog log;
    ALogTarget& target = log;
    target.LogEntry(nullptr, 0, "info");
    target.LogEntry(nullptr, 1, "error");
    target.LogEntry(nullptr, 7, "not a summary");
    target.LogEntry(nullptr, -3, "negative");
    EXPECT_EQ(log.Lines,
              (std::vector<std::string>{"0:info", "1:error", "6:not a summary", "0:negative"}));
}
