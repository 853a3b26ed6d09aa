#include "util/RollingLogFile.h"

#include <cerrno>
#include <cstring>
#include <stdexcept>
#include <unistd.h>
#include <utility>

namespace corvan {

namespace {
// rename and unlink that take a missing source as done; errno text on failure, else "".
std::string MoveAway(const std::string& from, const std::string* to) {
    int rc = to ? ::rename(from.c_str(), to->c_str()) : ::unlink(from.c_str());
    if (rc == 0 || errno == ENOENT)
        return {};
    return std::string(to ? "Cannot rename " : "Cannot remove ") + from + ": " +
           std::strerror(errno);
}
} // namespace

TRollingLogFile::TRollingLogFile(std::string fileName, std::FILE* err)
    : FFileName(std::move(fileName)), FErr(err) {}

void TRollingLogFile::SetLimits(int64_t maxSize, int keep) {
    std::lock_guard lock(FLock);
    FMaxSize = maxSize < 1 ? 1 : maxSize;
    FKeep = keep < 0 ? 0 : keep > kMaxKeep ? kMaxKeep : keep;
}

void TRollingLogFile::Reopen() {
    std::lock_guard lock(FLock);
    FFile.Close();
}

std::string TRollingLogFile::CopyName(int n) const {
    return FFileName + "." + std::to_string(n);
}

bool TRollingLogFile::OpenLocked() {
    if (FFile.IsAt(FFileName))
        return true;
    try {
        FFile.Open(FFileName);
        return true;
    } catch (const std::exception& e) {
        ReportLocked(e.what());
        return false;
    }
}

bool TRollingLogFile::RollOverLocked() {
    FFile.Close();
    std::string error;
    if (FKeep == 0) {
        error = MoveAway(FFileName, nullptr);
    } else {
        // Copies past the count (left by a larger LogKeep) go first, oldest last in line.
        for (int n = FKeep + 1; n <= kMaxKeep + 1 && error.empty(); ++n)
            error = MoveAway(CopyName(n), nullptr);
        for (int n = FKeep - 1; n >= 1 && error.empty(); --n) {
            std::string to = CopyName(n + 1);
            error = MoveAway(CopyName(n), &to);
        }
        if (error.empty()) {
            std::string to = CopyName(1);
            error = MoveAway(FFileName, &to);
        }
    }
    if (!error.empty()) {
        ReportLocked(error);
        return false;
    }
    return OpenLocked();
}

void TRollingLogFile::Append(const std::string& line) {
    std::lock_guard lock(FLock);
    if (!OpenLocked())
        return;
    try {
        int64_t size = FFile.Size(); // counted, not asked of the system per line
        if (size > 0 && size + int64_t(line.size()) > FMaxSize && !RollOverLocked())
            return;
        FFile.Write(line);
        FFailing = false;
    } catch (const std::exception& e) {
        ReportLocked(e.what());
    }
}

void TRollingLogFile::ReportLocked(const std::string& what) {
    if (FFailing)
        return;
    FFailing = true;
    std::fprintf(FErr,
                 "corvan-proxy: the log %s cannot be written (%s): its lines are dropped "
                 "until it can be again\n",
                 FFileName.c_str(), what.c_str());
    std::fflush(FErr);
}

} // namespace corvan
