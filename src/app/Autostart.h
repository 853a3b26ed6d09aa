#pragma once
// Run at logon: an XDG autostart entry "corvan-proxy.desktop" in the autostart folder
// ($XDG_CONFIG_HOME/autostart, else ~/.config/autostart) whose Exec is the program's path.

#include <string>

namespace corvan {

class TAutostartEntry {
public:
    static constexpr const char* kEntryFileName = "corvan-proxy.desktop";

    // folder: the autostart folder (may be empty: then the entry is never present and
    // writing does nothing). programPath: the running program.
    TAutostartEntry(std::string folder, std::string programPath, std::string productName);

    // Folder + "/corvan-proxy.desktop"; empty without a folder.
    std::string FileName() const;
    // True when the program path and the folder are known, the entry can be read, and its
    // Exec program (first word, quotes removed) equals the program path ignoring ASCII case.
    bool IsPresent() const;
    // Writes (atomically) or removes the entry; failures are ignored, as the setting
    // itself is what counts.
    void Write() const;
    void Remove() const;

    const std::string& ProgramPath() const { return FProgramPath; }

private:
    std::string FFolder;
    std::string FProgramPath;
    std::string FProductName;
};

// The program of a desktop entry's Exec value: its first word, with the entry format's
// double quotes and backslash escapes removed.
std::string DesktopExecProgram(const std::string& exec);
// A path as an Exec word: quoted (and escaped) when it holds characters that need it.
std::string DesktopExecQuote(const std::string& path);

} // namespace corvan
