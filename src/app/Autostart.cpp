#include "app/Autostart.h"

#include "util/FileSystem.h"
#include "util/IniFile.h"
#include "util/Strings.h"

#include <cstdio>

namespace corvan {

namespace {
// An autostart entry is a few hundred bytes; anything bigger is not ours.
constexpr size_t kMaxEntrySize = 64 * 1024;

// The value of "--data-dir X" or "--data-dir=X" among words; empty without one.
std::string DataDirOf(const std::vector<std::string>& words) {
    const std::string option = "--data-dir";
    for (size_t i = 0; i < words.size(); ++i) {
        if (words[i] == option && i + 1 < words.size())
            return words[i + 1];
        if (words[i].rfind(option + "=", 0) == 0)
            return words[i].substr(option.size() + 1);
    }
    return std::string();
}
} // namespace

TAutostartEntry::TAutostartEntry(std::string folder, std::string programPath,
                                 std::string productName, std::vector<std::string> arguments)
    : FFolder(std::move(folder)), FProgramPath(std::move(programPath)),
      FProductName(std::move(productName)), FArguments(std::move(arguments)) {}

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
        std::vector<std::string> words =
            DesktopExecWords(entry.ReadString("Desktop Entry", "Exec", ""));
        return !words.empty() && EqualNoCase(words[0], FProgramPath) &&
               DataDirOf(words) == DataDirOf(FArguments);
    } catch (const EFileError&) {
        return false;
    }
}

void TAutostartEntry::Write() const {
    if (FProgramPath.empty() || FFolder.empty())
        return;
    std::string exec = DesktopExecQuote(FProgramPath);
    for (const std::string& argument : FArguments)
        exec += " " + DesktopExecQuote(argument);
    std::string text = "[Desktop Entry]\n"
                       "Type=Application\n"
                       "Name=" +
                       FProductName +
                       "\n"
                       "Exec=" +
                       exec +
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

std::vector<std::string> DesktopExecWords(const std::string& exec) {
    // The value format's escapes come first; \s \n \t \r \\ are the ones it has.
    std::string value;
    std::string_view raw = TrimWhiteSpace(exec);
    for (size_t i = 0; i < raw.size(); ++i) {
        if (raw[i] != '\\' || i + 1 == raw.size()) {
            value += raw[i];
            continue;
        }
        char c = raw[++i];
        value += c == 's' ? ' ' : c == 'n' ? '\n' : c == 't' ? '\t' : c == 'r' ? '\r' : c;
        if (c != 's' && c != 'n' && c != 't' && c != 'r' && c != '\\')
            value.insert(value.size() - 1, 1, '\\'); // not an escape of the value format
    }
    std::vector<std::string> words;
    size_t i = 0;
    while (i < value.size()) {
        if (value[i] == ' ' || value[i] == '\t') {
            ++i;
            continue;
        }
        std::string word;
        bool quoted = value[i] == '"';
        if (quoted)
            ++i;
        for (; i < value.size(); ++i) {
            char c = value[i];
            if (quoted && c == '\\' && i + 1 < value.size()) {
                word += value[++i];
                continue;
            }
            if (quoted ? c == '"' : (c == ' ' || c == '\t'))
                break;
            if (c == '%' && i + 1 < value.size() && value[i + 1] == '%')
                ++i;
            word += c;
        }
        if (quoted && i < value.size())
            ++i; // the closing quote
        words.push_back(std::move(word));
    }
    return words;
}

std::string DesktopExecProgram(const std::string& exec) {
    std::vector<std::string> words = DesktopExecWords(exec);
    return words.empty() ? std::string() : words[0];
}

std::string DesktopExecQuote(const std::string& word) {
    const std::string_view reserved = " \t\n\"'\\><~|&;$*?#()`";
    std::string r;
    bool quote = word.empty() || word.find_first_of(reserved) != std::string::npos;
    if (quote)
        r += '"';
    for (char c : word) {
        if (quote && (c == '"' || c == '`' || c == '$' || c == '\\'))
            r += '\\';
        if (c == '%')
            r += '%';
        r += c;
    }
    if (quote)
        r += '"';
    // The value format reads "\\" as one backslash before the quoting rule sees it.
    std::string value;
    for (char c : r) {
        if (c == '\\')
            value += '\\';
        if (c == '\n') {
            value += "\\n";
            continue;
        }
        value += c;
    }
    return value;
}

} // namespace corvan
