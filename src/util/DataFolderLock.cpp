#include "util/DataFolderLock.h"

#include "util/FileSystem.h"

#include <cerrno>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace corvan {

namespace {

// A longer id in the lock file is no process id (they stay below 2^22 on Linux) and names no
// holder.
constexpr size_t kMaxPidDigits = 9;

std::string SysError(const char* call, const std::string& path, int error) {
    return std::string(call) + " " + path + " failed: " + std::strerror(error);
}

// The process id the holder wrote, or empty when the file holds none (the holder may have
// taken the lock a moment ago and not written it yet).
std::string HolderId(int handle) {
    char buf[TDataFolderLock::kMaxHolderText];
    ssize_t n = ::pread(handle, buf, sizeof buf, 0);
    if (n <= 0 || size_t(n) == sizeof buf)
        return {};
    std::string text(buf, size_t(n));
    while (!text.empty() && (text.back() == '\n' || text.back() == '\r'))
        text.pop_back();
    if (text.empty() || text.size() > kMaxPidDigits ||
        text.find_first_not_of("0123456789") != std::string::npos)
        return {};
    // A holder that could not write its id (a read-only lock file, one with other names)
    // leaves an earlier holder's: never name a process that does not run.
    pid_t pid = pid_t(std::stol(text));
    if (pid <= 0 || (::kill(pid, 0) != 0 && errno == ESRCH))
        return {};
    return text;
}

} // namespace

TDataFolderLock::~TDataFolderLock() {
    Release();
}

void TDataFolderLock::Release() {
    if (FHandle >= 0)
        ::close(FHandle);
    FHandle = -1;
}

TDataFolderLock::TResult TDataFolderLock::Acquire(const std::string& folder,
                                                  std::string& error) {
    Release();
    ForceDirectories(folder);
    std::string path = IncludeTrailingSlash(folder) + kFileName;
    // Never through a symbolic link nor on anything but a plain file: in a folder others may
    // write to, a link planted under the lock's name would have the id written over (and the
    // file cut to) whatever it points at, and opening a planted pipe would wait for ever.
    const int flags = O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK;
    int handle = ::open(path.c_str(), O_RDWR | O_CREAT | flags, 0644);
    bool writable = handle >= 0;
    if (!writable && (errno == EACCES || errno == EROFS))
        handle = ::open(path.c_str(), O_RDONLY | flags);
    if (handle < 0) {
        error = SysError("open", path, errno);
        return TResult::Failed;
    }
    struct stat info{};
    if (::fstat(handle, &info) != 0 || !S_ISREG(info.st_mode)) {
        error = "the lock file " + path + " is not a plain file";
        ::close(handle);
        return TResult::Failed;
    }
    int rc;
    while ((rc = ::flock(handle, LOCK_EX | LOCK_NB)) != 0 && errno == EINTR) {
    }
    if (rc != 0) {
        int code = errno;
        TResult result = code == EWOULDBLOCK ? TResult::InUse : TResult::Failed;
        if (result == TResult::InUse) {
            std::string holder = HolderId(handle);
            error = "the data folder " + folder + " is in use by another running program (" +
                    (holder.empty() ? std::string("its process id is not known")
                                    : "process " + holder) +
                    "; lock file " + path + ")";
        } else {
            error = SysError("flock", path, code);
        }
        ::close(handle);
        return result;
    }
    // Only a second start's message reads the id: a failed write costs that message the
    // id, never the lock. A file with other names (a hard link planted in a shared folder,
    // or a backup's) is locked but not written: its other names may be someone's file.
    std::string id = std::to_string(::getpid()) + "\n";
    bool written = writable && info.st_nlink == 1 && ::ftruncate(handle, 0) == 0 &&
                   ::pwrite(handle, id.data(), id.size(), 0) == ssize_t(id.size());
    static_cast<void>(written);
    FHandle = handle;
    return TResult::Locked;
}

} // namespace corvan
