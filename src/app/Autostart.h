#pragma once
// Run at logon: an XDG autostart entry "corvan-proxy.desktop" in the autostart folder
// ($XDG_CONFIG_HOME/autostart, else ~/.config/autostart) whose Exec is the program's path,
// followed by the arguments the run needs again (its --data-dir).

#include <string>
#include <vector>

namespace corvan {

class TAutostartEntry {
public:
    static constexpr const char* kEntryFileName = "corvan-proxy.desktop";

    // folder: the autostart folder (may be empty: then the entry is never present and
    // writing does nothing). programPath: the running program. arguments: what follows
    // the program in Exec.
    TAutostartEntry(std::string folder, std::string programPath, std::string productName,
                    std::vector<std::string> arguments = {});

    // Folder + "/corvan-proxy.desktop"; empty without a folder.
    std::string FileName() const;
    // True when the program path and the folder are known, the entry can be read, its
    // Exec program (first word, quotes removed) equals the program path ignoring ASCII case
    // and it names the same --data-dir as the arguments (or neither names one); other words
    // a user added are left to the user.
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
    std::vector<std::string> FArguments;
};

// The words of a desktop entry's Exec value as the entry format reads them: the value's
// backslash escapes first, then double quotes (with \" \` \$ \\ inside) and "%%".
std::vector<std::string> DesktopExecWords(const std::string& exec);
// The first of DesktopExecWords; empty for an empty value.
std::string DesktopExecProgram(const std::string& exec);
// A word as written in Exec: quoted (and escaped) when it holds characters that need it,
// "%" doubled, and a backslash written as the value format's "\\".
std::string DesktopExecQuote(const std::string& word);

} // namespace corvan
