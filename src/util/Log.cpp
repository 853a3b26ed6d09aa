#include "util/Log.h"

#include "util/Strings.h"
#include "util/Utils.h"

#include <algorithm>
#include <cstdio>

namespace corvan {

namespace {
bool IgnoresClass(TLogOptions options, TLogClass logClass) {
    switch (logClass) {
    case lcInfo:
        return options & loIgnoreClass0;
    case lcError:
        return options & loIgnoreClass1;
    case lcWarning:
        return options & loIgnoreClass2;
    case lcDebug:
        return options & loIgnoreClass3;
    default:
        return false;
    }
}
} // namespace

TLog::TLog() : Tick(GetTickCount32), FLastTick(GetTickCount32()) {}

TLog::~TLog() = default;

void TLog::LogEntry(const void* sender, int logClass, const std::string& message) {
    Log(sender, static_cast<TLogClass>(std::clamp(logClass, 0, static_cast<int>(lcCustom6))),
        message);
}

void TLog::Log(const void* sender, TLogClass logClass, const std::string& message) {
    if (TLog* target = LogTo()) {
        try {
            target->Log(sender, logClass, message);
        } catch (...) {
            if (!(Options & loSuppressErrors))
                throw;
        }
    }
    try {
        Handle(sender, logClass, message);
    } catch (...) {
        if (!(Options & loKeepFileOpen))
            FFile.Close();
        if (!(Options & loSuppressErrors))
            throw;
    }
}

void TLog::Handle(const void* sender, TLogClass logClass, const std::string& message) {
    if (IgnoresClass(Options, logClass))
        return;
    if (Options & loCollapseRepeats) {
        if (FHasLastMessage && message == FLastMessage) {
            ++FRepeatCount;
            return;
        }
        if (FRepeatCount > 0) {
            int times = FRepeatCount + 1;
            FRepeatCount = 0;
            Log(this, lcRepeat, std::to_string(times) + " times");
        }
        FLastMessage = message;
        FHasLastMessage = true;
    }
    std::string s = message;
    if (OnEditMessage)
        OnEditMessage(this, logClass, s);
    if (!(Options & loNoLogEvent) && OnLog)
        OnLog(this, logClass, s);
    if (Options & loPrefixElapsed) {
        uint32_t now = Tick();
        s = Format("%4u ", unsigned(now - FLastTick)) + s;
        FLastTick = now;
    }
    if (Options & (loPrefixTime | loPrefixDate)) {
        TDateTime now = Clock();
        if (Options & loPrefixTime)
            s = FormatTimeHHNNSS(now) + " " + s;
        if (Options & loPrefixDate)
            s = FormatDateYYMMDD(now) + " " + s;
    }
    TriggerLogMessage(sender, logClass, s);
    if (Options & loLogToDebugger)
        std::fprintf(stderr, "%s\n", s.c_str());
    if ((Options & loLogToFile) && !FileName.empty())
        WriteToFile(logClass, std::move(s));
}

void TLog::WriteToFile(TLogClass logClass, std::string line) {
    bool allow = true;
    if (OnLogFile)
        OnLogFile(this, logClass, allow, line);
    if (!allow)
        return;
    if (!FFile.IsOpen())
        FFile.Open(FileName);
    FFile.Write(line + "\r\n");
    if (!(Options & loKeepFileOpen))
        FFile.Close();
}

void TLog::TriggerLogMessage(const void*, TLogClass, const std::string&) {}

} // namespace corvan
