#pragma once
// A request log that rolls over by size: before a line would take the file past MaxSize
// the file becomes ".1", ".1" becomes ".2" and so on; the copy past Keep is removed. So
// no file grows past MaxSize, except by a single line longer than MaxSize itself. The size
// is taken from the system as the file opens and counted from there (lines another program
// appends meanwhile are not seen until the file is opened again).
//
// Writing never raises and never waits on anything but the file's own lock: a line that
// cannot be written (disk full, read-only folder) is dropped, and the failure goes to
// the error stream once, not once per line, until a line is written again.

#include "util/FileSystem.h"

#include <cstdint>
#include <cstdio>
#include <mutex>
#include <string>

namespace corvan {

class TRollingLogFile {
public:
    // What a file holds before it rolls over when no limit is set.
    static constexpr int64_t kDefaultMaxSize = 10485760;
    // Rolled-over copies kept when no count is set.
    static constexpr int kDefaultKeep = 5;
    // Most rolled-over copies a log keeps; a larger count is a settings error.
    static constexpr int kMaxKeep = 99;

    // err (not owned) receives the failure reports.
    explicit TRollingLogFile(std::string fileName, std::FILE* err = stderr);
    TRollingLogFile(const TRollingLogFile&) = delete;
    TRollingLogFile& operator=(const TRollingLogFile&) = delete;

    const std::string& FileName() const { return FFileName; }
    // maxSize of at least 1; keep from 0 (the full file is simply started afresh) to
    // kMaxKeep. Applies from the next line.
    void SetLimits(int64_t maxSize, int keep);
    // Appends the line (with its line end) whole, rolling over first when it would not
    // fit. A file removed or renamed from outside is created afresh. Any thread.
    void Append(const std::string& line);
    // Closes the file, so that the next line opens the name afresh (after an outside
    // rotation; SIGHUP).
    void Reopen();

private:
    // The rolled-over copy number n ("name.n").
    std::string CopyName(int n) const;
    // Opens the file when it is not open at its name; false (reported) when it cannot be.
    bool OpenLocked();
    // Moves the copies up one and the file to ".1" (or removes it when Keep is 0), then
    // opens a fresh file; false (reported) when the file could not be moved away.
    bool RollOverLocked();
    // Reports what failed once per run of failures.
    void ReportLocked(const std::string& what);

    const std::string FFileName;
    std::FILE* const FErr;
    // FLock guards everything below; a leaf lock (nothing else is taken while holding it).
    std::mutex FLock;
    int64_t FMaxSize = kDefaultMaxSize;
    int FKeep = kDefaultKeep;
    TAppendFile FFile;
    bool FFailing = false;
};

} // namespace corvan
