#include "app/Autostart.h"

#include "util/FileSystem.h"
#include "util/IniFile.h"
#include "util/Strings.h"

#include <cstdio>

namespace corvan {

namespace {
// An autostart entry is a few hundred bytes; anything bigger is not ours.
constexpr size_t kMaxEntrySize = 64 * 1024;
} // namespace

TAutostartEntry::TAutostartEntry(std::string folder, std::string programPath,
                                 std::string productName)
    : FFolder(std::move(folder)), FProgramPath(std::move(programPath)),
      FProductName(std::move(productName)) {}

std::string TAutostartEntry::FileName() const {
    if (FFolder.empty())
        return std::string();
    return IncludeTrailingSlash(FFolder) + kEntryFileName;
}

bool TAutostartEntry::IsPresent() const {
    if (FProgramPath.empty() || FFolder.empty())
        return false;
    try {
        auto content = ReadWholeFile(FileName(), kMaxEntrySize);
        if (!content)
            return false;
        TIniFile entry("");
        entry.SetText(*content);
        std::string exec = entry.ReadString("Desktop Entry", "Exec", "");
        return EqualNoCase(DesktopExecProgram(exec), FProgramPath);
    } catch (const EFileError&) {
        return false;
    }
}

void TAutostartEntry::Write() const {
    if (FProgramPath.empty() || FFolder.empty())
        return;
    std::string text = "[Desktop Entry]\n"
                       "Type=Application\n"
                       "Name=" +
                       FProductName +
                       "\n"
                       "Exec=" +
                       DesktopExecQuote(FProgramPath) +
                       "\n"
                       "Terminal=false\n"
                       "X-GNOME-Autostart-enabled=true\n";
    try {
        ForceDirectories(FFolder);
        WriteFileAtomic(FileName(), text);
    } catch (const EFileError&) {
    }
}

void TAutostartEntry::Remove() const {
    if (!FFolder.empty())
        std::remove(FileName().c_str());
}

std::string DesktopExecProgram(const std::string& exec) {
    std::string_view s = TrimWhiteSpace(exec);
    std::string word;
    if (!s.empty() && s[0] == '"') {
        for (size_t i = 1; i < s.size(); ++i) {
            if (s[i] == '\\' && i + 1 < s.size()) {
                word += s[++i];
                continue;
            }
            if (s[i] == '"')
                break;
            word += s[i];
        }
        return word;
    }
    size_t end = s.find_first_of(" \t");
    return std::string(s.substr(0, end));
}

std::string DesktopExecQuote(const std::string& path) {
    const std::string_view reserved = " \t\n\"'\\><~|&;$*?#()`";
    if (path.find_first_of(reserved) == std::string::npos)
        return path;
    std::string r = "\"";
    for (char c : path) {
        if (c == '"' || c == '`' || c == '$' || c == '\\')
            r += '\\';
        r += c;
    }
    return r + "\"";
}

} // namespace corvan
