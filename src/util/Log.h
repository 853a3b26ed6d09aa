#pragma once
// The general log component that a TCP server can have attached: filters messages by class,
// collapses repeats, prefixes date, time and elapsed milliseconds, forwards to another log,
// fires events and appends to its own file. One thread; not locked.
//
// (The services' own request logs are TRollingLogFile of util/RollingLogFile.h, one line per call.)

#include "util/DateTime.h"
#include "util/FileSystem.h"
#include "util/LogTarget.h"

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace corvan {

// Classes 0 to 3 can be dropped by options; 7 is the log's own repeat summary. A TCP
// server logs information as 0 and errors as 1.
enum TLogClass : uint8_t {
    lcInfo = 0,
    lcError = 1,
    lcWarning = 2,
    lcDebug = 3,
    lcCustom4 = 4,
    lcCustom5 = 5,
    lcCustom6 = 6,
    lcRepeat = 7,
};

enum TLogOption : uint32_t {
    loLogToFile = 1u << 0,       // append each message to FileName
    loKeepFileOpen = 1u << 1,    // keep the file open between messages
    loLogToDebugger = 1u << 2,   // also write each message to stderr
    loNoLogEvent = 1u << 3,      // do not fire OnLog
    loPrefixDate = 1u << 4,      // "yymmdd " in front
    loPrefixTime = 1u << 5,      // "hhnnss " in front
    loPrefixElapsed = 1u << 6,   // ms since the previous message, right-aligned in 4, then " "
    loSuppressErrors = 1u << 7,  // swallow exceptions of LogTo and of handling the message
    loCollapseRepeats = 1u << 8, // count identical messages; report "<n> times" (class 7)
    loIgnoreClass3 = 1u << 9,
    loIgnoreClass1 = 1u << 10,
    loIgnoreClass2 = 1u << 11,
    loIgnoreClass0 = 1u << 12,
};
using TLogOptions = uint32_t;

class TLog : public ALogTarget {
public:
    using TLogEvent = std::function<void(TLog* sender, TLogClass logClass, const std::string&)>;
    using TEditMessageEvent =
        std::function<void(TLog* sender, TLogClass logClass, std::string& message)>;
    using TLogFileEvent =
        std::function<void(TLog* sender, TLogClass logClass, bool& allow, std::string& message)>;

    TLog();
    // Closes a held file and clears LogTo of every log that forwards to this one.
    virtual ~TLog();
    TLog(const TLog&) = delete;
    TLog& operator=(const TLog&) = delete;

    TLogEvent OnLog;                  // every message after editing (unless loNoLogEvent)
    TEditMessageEvent OnEditMessage;  // may change the text before it is used
    TLogFileEvent OnLogFile;          // may veto or change the file line
    std::string FileName = "Log.log"; // class name without "T", ".log"; empty: no file
    TLogOptions Options = 0;

    // The millisecond tick and the local clock of the prefixes; tests replace them.
    std::function<uint32_t()> Tick;
    std::function<TDateTime()> Clock = Now;

    // Makes the next elapsed prefix count from now (by Tick); also done at creation.
    void ResetElapsed() { FLastTick = Tick(); }

    // Another log that receives every message first; null for none. Cleared automatically
    // when that log is destroyed.
    TLog* LogTo() const { return static_cast<TLog*>(FLogTo.Get()); } // only a TLog is set
    void SetLogTo(TLog* target) { FLogTo.Set(target); }

    // Logs one message; sender is any object (only passed on). Exceptions of LogTo and of
    // handling (e.g. a file that cannot be opened) pass to the caller unless
    // loSuppressErrors; a file that is not kept open is closed in any case.
    void Log(const void* sender, TLogClass logClass, const std::string& message);

    // An entry of a component this log is attached to (a TCP server or client): Log with that
    // class; a class outside 0 to 6 is logged as class 6 (7 is the log's own summary).
    void LogEntry(const void* sender, int logClass, const std::string& message) override;

protected:
    // Called with every finished line; nothing here.
    virtual void TriggerLogMessage(const void* sender, TLogClass logClass,
                                   const std::string& message);

private:
    void Handle(const void* sender, TLogClass logClass, const std::string& message);
    void WriteToFile(TLogClass logClass, std::string line);

    uint32_t FLastTick;
    std::string FLastMessage;
    bool FHasLastMessage = false;
    int FRepeatCount = 0;
    TLogLink FLogTo;
    TAppendFile FFile;
};

} // namespace corvan
