#pragma once
// One running program per data folder. Two programs on one folder would both load the
// settings and the last to stop would save its stale copy over the other's changes, so the
// program holds an exclusive lock (flock) on a file in the folder for as long as it runs.
// The file also holds the holder's process id, so that a second start can say who has it.
// The lock belongs to this process alone: the file is opened close-on-exec, so no helper or
// other child the program starts keeps the folder locked after the program ends.

#include <string>

namespace corvan {

class TDataFolderLock {
public:
    // The lock file's name in the data folder.
    static constexpr const char* kFileName = "CorvanProxy.lock";
    // The most of the lock file read to name the holder; a longer file names no holder.
    static constexpr size_t kMaxHolderText = 32;

    TDataFolderLock() = default;
    // Releases the lock (the file stays; its process id is then stale and never read).
    ~TDataFolderLock();
    TDataFolderLock(const TDataFolderLock&) = delete;
    TDataFolderLock& operator=(const TDataFolderLock&) = delete;

    enum class TResult {
        Locked, // held until Release or destruction
        InUse,  // another process holds it
        Failed, // the file cannot be created, opened or locked
    };
    // Creates the folder when missing, takes the lock on folder + kFileName without waiting
    // and writes this process's id into the file (a lock file that cannot be written, in a
    // read-only folder, is locked read-only without the id, and one with other names is
    // locked without it; one that is a symbolic link or no plain file is Failed, never
    // written). Not Locked: error says why;
    // for InUse it names the holder ("process <pid>") when its id is in the file.
    TResult Acquire(const std::string& folder, std::string& error);
    bool Held() const { return FHandle >= 0; }
    void Release();

private:
    int FHandle = -1;
};

} // namespace corvan
