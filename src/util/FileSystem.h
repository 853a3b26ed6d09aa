#pragma once
// The file-system seam: every open, write, fsync, rename, flock and mkdir of the core goes
// through here. Paths are byte strings with "/" as separator. Failures raise EFileError whose
// message names the operation, the path and the system's error text.

#include "util/Exceptions.h"

#include <cstdint>
#include <optional>
#include <string>

namespace corvan {

class EFileError : public Exception {
public:
    EFileError(std::string message, int errorNumber)
        : Exception(std::move(message)), ErrorNumber(errorNumber) {}
    int ErrorNumber; // errno of the failing call, 0 when no system call failed
};

// The value of an environment variable; empty when unset.
std::string GetEnvironment(const char* name);

// Path with "/" appended unless it is empty or already ends in "/".
std::string IncludeTrailingSlash(const std::string& path);

// Creates the folder and every missing parent (mode 0755 before umask). True when the
// folder exists afterwards; never raises.
bool ForceDirectories(const std::string& path);

bool FileExists(const std::string& path);

// Full path of the running program (/proc/self/exe); empty when it cannot be told.
std::string ProgramPath();

// Reads a whole regular file. nullopt when the file does not exist (ENOENT or ENOTDIR);
// raises EFileError when it exists but cannot be read, is not a regular file, or is larger
// than maxBytes.
std::optional<std::string> ReadWholeFile(const std::string& path, size_t maxBytes);

// Replaces the file's content so that at every moment the path holds either the old
// content or the new one, whole: writes a fresh temporary file in the same folder, fsyncs
// it, renames it over the path and fsyncs the folder. A symbolic link at the path is
// followed (its target is replaced). A new file gets mode 0600, an existing one keeps its
// mode. On failure the temporary file is removed, the old file is untouched, and
// EFileError is raised.
void WriteFileAtomic(const std::string& path, const std::string& content);

// An append-only file held open between writes (for logs that keep their file open).
class TAppendFile {
public:
    TAppendFile() = default;
    ~TAppendFile();
    TAppendFile(const TAppendFile&) = delete;
    TAppendFile& operator=(const TAppendFile&) = delete;

    // Opens (creating when missing) for appending and takes its size and identity from the
    // system; raises EFileError.
    void Open(const std::string& fileName);
    // Writes all of text at the end of the file; raises EFileError.
    void Write(const std::string& text);
    void Close();
    bool IsOpen() const { return FHandle >= 0; }
    // Bytes in the open file: its size at Open and what Write added since (another writer's
    // lines are not counted); 0 when nothing is open.
    int64_t Size() const { return FSize; }
    // True when path names the open file still (false once it was removed or renamed
    // from outside, or when nothing is open). One stat of path.
    bool IsAt(const std::string& path) const;

private:
    // FSize, FDevice and FInode from the open file; the errno when the system cannot tell
    // (they are then unchanged), else 0.
    int ReadStatus();
    int FHandle = -1;
    std::string FFileName;
    int64_t FSize = 0;
    uint64_t FDevice = 0;
    uint64_t FInode = 0;
};

} // namespace corvan
