#include "util/FileSystem.h"

#include "util/Strings.h"

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace corvan {

namespace {

[[noreturn]] void ThrowFileError(const std::string& action, const std::string& path, int err) {
    throw EFileError(JoinMessage(action + " " + path, std::strerror(err)), err);
}

// Writes all bytes, resuming after partial writes and EINTR; errno on failure, else 0.
int WriteAll(int fd, const char* data, size_t size) {
    while (size > 0) {
        ssize_t n = ::write(fd, data, size);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            return errno;
        }
        data += n;
        size -= size_t(n);
    }
    return 0;
}

std::string FolderOf(const std::string& path) {
    size_t p = path.rfind('/');
    if (p == std::string::npos)
        return ".";
    return p == 0 ? "/" : path.substr(0, p);
}

} // namespace

std::string GetEnvironment(const char* name) {
    const char* v = std::getenv(name);
    return v ? std::string(v) : std::string();
}

std::string IncludeTrailingSlash(const std::string& path) {
    if (path.empty() || path.back() == '/')
        return path;
    return path + "/";
}

bool ForceDirectories(const std::string& path) {
    if (path.empty())
        return false;
    struct stat st;
    if (::stat(path.c_str(), &st) == 0)
        return S_ISDIR(st.st_mode);
    std::string trimmed = path;
    while (trimmed.size() > 1 && trimmed.back() == '/')
        trimmed.pop_back();
    size_t p = trimmed.rfind('/');
    if (p != std::string::npos && p > 0)
        ForceDirectories(trimmed.substr(0, p));
    if (::mkdir(trimmed.c_str(), 0755) == 0 || errno == EEXIST)
        return ::stat(trimmed.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
    return false;
}

bool FileExists(const std::string& path) {
    struct stat st;
    return ::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

std::string ProgramPath() {
    char buffer[PATH_MAX];
    ssize_t n = ::readlink("/proc/self/exe", buffer, sizeof(buffer) - 1);
    if (n <= 0)
        return std::string();
    return std::string(buffer, size_t(n));
}

std::optional<std::string> ReadWholeFile(const std::string& path, size_t maxBytes) {
    // O_NONBLOCK so that a FIFO at the path cannot hang the reader.
    int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0) {
        if (errno == ENOENT || errno == ENOTDIR)
            return std::nullopt;
        ThrowFileError("Cannot open", path, errno);
    }
    struct stat st;
    if (::fstat(fd, &st) != 0) {
        int err = errno;
        ::close(fd);
        ThrowFileError("Cannot inspect", path, err);
    }
    if (!S_ISREG(st.st_mode)) {
        ::close(fd);
        throw EFileError("Cannot read " + path + ": not a regular file", 0);
    }
    if (uint64_t(st.st_size) > maxBytes) {
        ::close(fd);
        throw EFileError(Format("Cannot read %s: larger than %zu bytes", path.c_str(), maxBytes),
                         0);
    }
    std::string content;
    char buffer[65536];
    for (;;) {
        ssize_t n = ::read(fd, buffer, sizeof(buffer));
        if (n < 0) {
            if (errno == EINTR)
                continue;
            int err = errno;
            ::close(fd);
            ThrowFileError("Cannot read", path, err);
        }
        if (n == 0)
            break;
        if (content.size() + size_t(n) > maxBytes) {
            ::close(fd);
            throw EFileError(
                Format("Cannot read %s: larger than %zu bytes", path.c_str(), maxBytes), 0);
        }
        content.append(buffer, size_t(n));
    }
    ::close(fd);
    return content;
}

void WriteFileAtomic(const std::string& path, const std::string& content) {
    std::string target = path;
    struct stat st;
    bool exists = ::lstat(path.c_str(), &st) == 0;
    if (exists && S_ISLNK(st.st_mode)) {
        char* real = ::realpath(path.c_str(), nullptr);
        if (real) {
            target = real;
            std::free(real);
        }
        exists = ::stat(target.c_str(), &st) == 0;
    }
    std::string temp = target + ".tmp-XXXXXX";
    int fd = ::mkostemp(temp.data(), O_CLOEXEC);
    if (fd < 0)
        ThrowFileError("Cannot create a temporary file for", target, errno);
    auto fail = [&](const char* action, int err) {
        ::close(fd);
        ::unlink(temp.c_str());
        ThrowFileError(action, target, err);
    };
    if (exists && S_ISREG(st.st_mode) && ::fchmod(fd, st.st_mode & 07777) != 0)
        fail("Cannot set the mode of the new", errno);
    if (int err = WriteAll(fd, content.data(), content.size()))
        fail("Cannot write", err);
    if (::fsync(fd) != 0)
        fail("Cannot flush", errno);
    if (::close(fd) != 0) {
        int err = errno;
        ::unlink(temp.c_str());
        ThrowFileError("Cannot close", target, err);
    }
    if (::rename(temp.c_str(), target.c_str()) != 0) {
        int err = errno;
        ::unlink(temp.c_str());
        ThrowFileError("Cannot replace", target, err);
    }
    // Make the rename itself durable; a failure here no longer endangers either version.
    int dir = ::open(FolderOf(target).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dir >= 0) {
        ::fsync(dir);
        ::close(dir);
    }
}

TAppendFile::~TAppendFile() {
    Close();
}

void TAppendFile::Open(const std::string& fileName) {
    Close();
    int fd = ::open(fileName.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
    if (fd < 0)
        ThrowFileError("Cannot open", fileName, errno);
    FHandle = fd;
    FFileName = fileName;
    if (int err = ReadStatus()) {
        Close();
        ThrowFileError("Cannot read the size of", fileName, err);
    }
}

int TAppendFile::ReadStatus() {
    struct stat st = {};
    if (::fstat(FHandle, &st) != 0)
        return errno;
    FSize = int64_t(st.st_size);
    FDevice = uint64_t(st.st_dev);
    FInode = uint64_t(st.st_ino);
    return 0;
}

void TAppendFile::Write(const std::string& text) {
    if (FHandle < 0)
        throw EFileError("File not open", 0);
    if (int err = WriteAll(FHandle, text.data(), text.size())) {
        ReadStatus(); // part of it may have gone out: the count is taken from the file again
        ThrowFileError("Cannot write", FFileName, err);
    }
    FSize += int64_t(text.size());
}

bool TAppendFile::IsAt(const std::string& path) const {
    struct stat named = {};
    return FHandle >= 0 && ::stat(path.c_str(), &named) == 0 && uint64_t(named.st_dev) == FDevice &&
           uint64_t(named.st_ino) == FInode;
}

void TAppendFile::Close() {
    if (FHandle >= 0) {
        ::close(FHandle);
        FHandle = -1;
    }
    FSize = 0;
}

} // namespace corvan
