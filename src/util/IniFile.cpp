#include "util/IniFile.h"

#include "util/FileSystem.h"
#include "util/Strings.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdint>
#include <limits>

namespace corvan {

namespace {

bool IsCommentLine(std::string_view trimmed) {
    return !trimmed.empty() && (trimmed[0] == ';' || trimmed[0] == '#');
}

std::string SanitizeValue(const std::string& value) {
    std::string r = value;
    for (char& c : r)
        if (c == '\r' || c == '\n')
            c = ' ';
    return r;
}

} // namespace

TIniFile::TIniFile(std::string fileName) : FFileName(std::move(fileName)) {
    FSections.push_back(TSection{});
    if (FFileName.empty())
        return;
    try {
        if (auto content = ReadWholeFile(FFileName, kMaxFileSize)) {
            if (size_t(std::count(content->begin(), content->end(), '\n')) >= kMaxLines)
                throw EFileError(
                    Format("Cannot read %s: more than %zu lines", FFileName.c_str(), kMaxLines), 0);
            // A text file never holds NUL bytes; this is some other file (or a damaged one),
            // and rewriting it as settings would destroy it.
            if (content->find('\0') != std::string::npos)
                throw EFileError(Format("Cannot read %s: it holds NUL bytes, so it is not a "
                                        "settings file",
                                        FFileName.c_str()),
                                 0);
            SetText(*content);
        }
    } catch (const EFileError& e) {
        FLoadError = e.Message();
    }
    FModified = false;
}

void TIniFile::SetText(const std::string& text) {
    FSections.clear();
    FSections.push_back(TSection{});
    // Editors on Windows often start the file with a UTF-8 byte order mark; it must not
    // hide the first section header. It is kept for the rewrite.
    static const std::string Bom = "\xEF\xBB\xBF";
    FBom = text.compare(0, Bom.size(), Bom) == 0 ? Bom : std::string();
    size_t firstBreak = text.find('\n');
    FLineBreak = (firstBreak != std::string::npos && firstBreak > 0 && text[firstBreak - 1] == '\r')
                     ? "\r\n"
                     : "\n";
    size_t pos = FBom.size();
    while (pos < text.size()) {
        size_t end = text.find('\n', pos);
        if (end == std::string::npos)
            end = text.size();
        std::string_view raw(text.data() + pos, end - pos);
        pos = end + 1;
        if (!raw.empty() && raw.back() == '\r')
            raw.remove_suffix(1);
        std::string_view trimmed = TrimWhiteSpace(raw);
        size_t close = trimmed.find(']');
        if (!trimmed.empty() && trimmed[0] == '[' && close != std::string_view::npos) {
            TSection section;
            section.Name = std::string(TrimBlanks(trimmed.substr(1, close - 1)));
            section.Header = std::string(raw);
            FSections.push_back(std::move(section));
            continue;
        }
        TLine line;
        line.Text = std::string(raw);
        size_t eq = trimmed.find('=');
        if (!IsCommentLine(trimmed) && eq != std::string_view::npos) {
            std::string_view key = TrimWhiteSpace(trimmed.substr(0, eq));
            if (!key.empty()) {
                line.IsValue = true;
                line.Key = std::string(key);
                line.Value = std::string(TrimWhiteSpace(trimmed.substr(eq + 1)));
            }
        }
        FSections.back().Lines.push_back(std::move(line));
    }
    RebuildIndex();
    FModified = true;
}

std::string TIniFile::Text() const {
    std::string r = FBom;
    for (const TSection& section : FSections) {
        if (!section.Header.empty())
            r += section.Header + FLineBreak;
        for (const TLine& line : section.Lines)
            r += line.Text + FLineBreak;
    }
    return r;
}

void TIniFile::RebuildIndex() {
    FIndex.clear();
    FDuplicates.clear();
    for (size_t i = 1; i < FSections.size(); ++i) {
        auto [first, added] = FIndex.emplace(AsciiLowerCase(FSections[i].Name), i);
        // A name, not the binding, goes into the lambda: clang 14 cannot capture bindings.
        const std::string& firstName = FSections[first->second].Name;
        if (!added && std::none_of(FDuplicates.begin(), FDuplicates.end(), [&](const auto& d) {
                return EqualNoCase(d, firstName);
            }))
            FDuplicates.push_back(firstName);
    }
}

const TIniFile::TSection* TIniFile::FindSection(const std::string& section) const {
    auto it = FIndex.find(AsciiLowerCase(section));
    return it == FIndex.end() ? nullptr : &FSections[it->second];
}

TIniFile::TSection* TIniFile::FindSection(const std::string& section) {
    auto it = FIndex.find(AsciiLowerCase(section));
    return it == FIndex.end() ? nullptr : &FSections[it->second];
}

const TIniFile::TLine* TIniFile::FindValue(const std::string& section,
                                           const std::string& key) const {
    const TSection* s = FindSection(section);
    if (!s)
        return nullptr;
    for (const TLine& line : s->Lines)
        if (line.IsValue && EqualNoCase(line.Key, key))
            return &line;
    return nullptr;
}

std::string TIniFile::ReadString(const std::string& section, const std::string& key,
                                 const std::string& def) const {
    const TLine* line = FindValue(section, key);
    return line ? line->Value : def;
}

void TIniFile::WriteString(const std::string& section, const std::string& key,
                           const std::string& value) {
    std::string v(TrimWhiteSpace(SanitizeValue(value)));
    TSection* s = FindSection(section);
    if (!s) {
        TSection& last = FSections.back();
        bool fileEmpty = FSections.size() == 1 && last.Lines.empty();
        if (!fileEmpty && (last.Lines.empty() || !TrimWhiteSpace(last.Lines.back().Text).empty()))
            last.Lines.push_back(TLine{});
        TSection added;
        added.Name = section;
        added.Header = "[" + section + "]";
        FSections.push_back(std::move(added));
        FIndex.emplace(AsciiLowerCase(section), FSections.size() - 1);
        s = &FSections.back();
    }
    size_t insertAt = 0;
    for (size_t i = 0; i < s->Lines.size(); ++i) {
        TLine& line = s->Lines[i];
        if (!line.IsValue)
            continue;
        if (EqualNoCase(line.Key, key)) {
            if (line.Value != v) {
                line.Value = v;
                line.Text = line.Key + "=" + v;
                FModified = true;
            }
            return;
        }
        insertAt = i + 1;
    }
    TLine line;
    line.IsValue = true;
    line.Key = key;
    line.Value = v;
    line.Text = key + "=" + v;
    s->Lines.insert(s->Lines.begin() + ptrdiff_t(insertAt), std::move(line));
    FModified = true;
}

std::optional<int> TIniFile::ParseInteger(std::string_view v) {
    if (StartsWithNoCase(v, "0x")) {
        auto hex = ParseHex(v.substr(2));
        if (!hex || *hex > 0xFFFFFFFFull)
            return std::nullopt;
        return int(int32_t(uint32_t(*hex)));
    }
    auto n = ParseInt64(v);
    if (!n || *n < std::numeric_limits<int32_t>::min() || *n > std::numeric_limits<int32_t>::max())
        return std::nullopt;
    return int(*n);
}

std::optional<bool> TIniFile::ParseSwitch(std::string_view value) {
    if (value == "0" || value == "1")
        return value == "1";
    return std::nullopt;
}

int TIniFile::ReadInteger(const std::string& section, const std::string& key, int def) const {
    const TLine* line = FindValue(section, key);
    if (!line)
        return def;
    return ParseInteger(line->Value).value_or(def);
}

void TIniFile::WriteInteger(const std::string& section, const std::string& key, int value) {
    WriteString(section, key, std::to_string(value));
}

bool TIniFile::ReadBool(const std::string& section, const std::string& key, bool def) const {
    return ReadInteger(section, key, def ? 1 : 0) != 0;
}

void TIniFile::WriteBool(const std::string& section, const std::string& key, bool value) {
    WriteString(section, key, value ? "1" : "0");
}

double TIniFile::ReadFloat(const std::string& section, const std::string& key, double def) const {
    const TLine* line = FindValue(section, key);
    if (!line || line->Value.empty())
        return def;
    std::string v = line->Value;
    if (v.find('.') == std::string::npos) {
        size_t comma = v.find(',');
        if (comma != std::string::npos && v.find(',', comma + 1) == std::string::npos)
            v[comma] = '.';
    }
    const char* first = v.data();
    const char* last = v.data() + v.size();
    if (*first == '+')
        ++first;
    double result = 0;
    auto [end, ec] = std::from_chars(first, last, result);
    if (ec != std::errc() || end != last || !std::isfinite(result))
        return def;
    return result;
}

void TIniFile::WriteFloat(const std::string& section, const std::string& key, double value) {
    WriteString(section, key, Format("%.15g", value));
}

bool TIniFile::SectionExists(const std::string& section) const {
    return FindSection(section) != nullptr;
}

bool TIniFile::ValueExists(const std::string& section, const std::string& key) const {
    return FindValue(section, key) != nullptr;
}

std::vector<std::string> TIniFile::ReadSections() const {
    std::vector<std::string> r;
    for (size_t i = 1; i < FSections.size(); ++i) {
        auto it = FIndex.find(AsciiLowerCase(FSections[i].Name));
        if (it != FIndex.end() && it->second == i)
            r.push_back(FSections[i].Name);
    }
    return r;
}

std::vector<std::string> TIniFile::ReadSection(const std::string& section) const {
    std::vector<std::string> r;
    if (const TSection* s = FindSection(section))
        for (const TLine& line : s->Lines)
            if (line.IsValue)
                r.push_back(line.Key);
    return r;
}

void TIniFile::DeleteKey(const std::string& section, const std::string& key) {
    TSection* s = FindSection(section);
    if (!s)
        return;
    for (size_t i = 0; i < s->Lines.size(); ++i)
        if (s->Lines[i].IsValue && EqualNoCase(s->Lines[i].Key, key)) {
            s->Lines.erase(s->Lines.begin() + ptrdiff_t(i));
            FModified = true;
            return;
        }
}

void TIniFile::EraseSection(const std::string& section) {
    auto it = FIndex.find(AsciiLowerCase(section));
    if (it == FIndex.end())
        return;
    FSections.erase(FSections.begin() + ptrdiff_t(it->second));
    RebuildIndex();
    FModified = true;
}

void TIniFile::UpdateFile() {
    if (!FLoadError.empty())
        throw EIniFile("The settings were not saved, to keep the settings file that could not "
                       "be read: " +
                       FLoadError);
    if (!FModified || FFileName.empty())
        return;
    try {
        WriteFileAtomic(FFileName, Text());
    } catch (const EFileError& e) {
        throw EIniFile(JoinMessage("The settings were not saved", e.Message()));
    }
    FModified = false;
}

} // namespace corvan
