#pragma once
// The settings file: a Windows-style INI file ("[Section]" header lines, "Key=Value" lines,
// ";" or "#" comment lines), with section and key names compared ignoring ASCII case.
//
// The whole file is held in memory as lines, so a rewrite keeps the order of sections and
// keys, keys this program does not know, comment lines and blank lines; only the values
// written change. Reads accept LF or CR LF; writes keep the line ending the file had (LF for
// a new file). UpdateFile replaces the file atomically (see WriteFileAtomic), so a crash or
// a full disk leaves the previous file whole. A UTF-8 byte order mark at the start is skipped
// when reading and kept when writing. When several sections (or keys in one section)
// share a name, the first one is read and written (DuplicateSections names the others).

#include "util/Exceptions.h"

#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

namespace corvan {

class EIniFile : public Exception {
public:
    using Exception::Exception;
};

class TIniFile {
public:
    // A settings file larger than this is not read (LoadError is set and it is never
    // overwritten): a real one is a few hundred kilobytes even with every list full.
    static constexpr size_t kMaxFileSize = 16 * 1024 * 1024;
    // Likewise for the number of lines, which bounds the memory the parsed file takes (a
    // full user list is under half of it).
    static constexpr size_t kMaxLines = 1000000;

    // Reads the file. A missing file reads as empty. A file that exists but cannot be read
    // (no permission, not a regular file, too large or too many lines, NUL bytes in it, I/O
    // error) also reads as empty, and LoadError says why; UpdateFile then refuses to write,
    // so the file is never replaced by defaults. An empty file name makes an in-memory file
    // that UpdateFile never writes.
    explicit TIniFile(std::string fileName);
    TIniFile(const TIniFile&) = delete;
    TIniFile& operator=(const TIniFile&) = delete;

    const std::string& FileName() const { return FFileName; }
    // Empty when the file was read (or did not exist); otherwise the reason it was not.
    const std::string& LoadError() const { return FLoadError; }

    // The stored value (trimmed of blanks), or def when the key is missing.
    std::string ReadString(const std::string& section, const std::string& key,
                           const std::string& def) const;
    // Stores the value, creating section and key as needed. CR and LF in the value (which
    // would break the line structure) are stored as blanks.
    void WriteString(const std::string& section, const std::string& key, const std::string& value);

    // Decimal, or hexadecimal after "0x"/"0X" (up to 8 digits, read as a 32-bit pattern);
    // def when the key is missing or the value is not a number in the 32-bit range.
    int ReadInteger(const std::string& section, const std::string& key, int def) const;
    void WriteInteger(const std::string& section, const std::string& key, int value);

    // A value as ReadInteger takes it; nothing when it is not one.
    static std::optional<int> ParseInteger(std::string_view value);
    // A switch as the program writes it: "0" or "1"; nothing for any other text.
    static std::optional<bool> ParseSwitch(std::string_view value);

    // ReadInteger with def as 0 or 1; true when the result is not 0 ("yes" reads as def).
    bool ReadBool(const std::string& section, const std::string& key, bool def) const;
    // "1" or "0".
    void WriteBool(const std::string& section, const std::string& key, bool value);

    // Decimal with "." (a lone "," is accepted as the separator too); def when the value is
    // missing, empty, not a number or not finite.
    double ReadFloat(const std::string& section, const std::string& key, double def) const;
    // Shortest decimal text with up to 15 significant digits, "." as separator.
    void WriteFloat(const std::string& section, const std::string& key, double value);

    bool SectionExists(const std::string& section) const;
    bool ValueExists(const std::string& section, const std::string& key) const;
    // Section names in file order (the first of each name).
    std::vector<std::string> ReadSections() const;
    // Names of sections that appear again after their first copy (which alone is read), in
    // file order, each once.
    const std::vector<std::string>& DuplicateSections() const { return FDuplicates; }
    // Key names of a section in file order.
    std::vector<std::string> ReadSection(const std::string& section) const;
    void DeleteKey(const std::string& section, const std::string& key);
    void EraseSection(const std::string& section);

    // True when values changed since the file was read or last written.
    bool Modified() const { return FModified; }
    // Takes the content as what the file holds (Modified false): after the file was read
    // again into it (SetText), so that no save writes back what was just read.
    void MarkUnmodified() { FModified = false; }
    // Writes the file when it was modified. Raises EIniFile when the file could not be read
    // at start (LoadError) or the write fails; the file on disk is then unchanged.
    void UpdateFile();

    // The file as UpdateFile would write it.
    std::string Text() const;
    // Replaces the content by parsing text (the file on disk is not touched).
    void SetText(const std::string& text);

private:
    struct TLine {
        std::string Text; // the line as written, without line ending
        bool IsValue = false;
        std::string Key;   // as written in the file, trimmed
        std::string Value; // trimmed
    };
    struct TSection {
        std::string Name;
        std::string Header; // "[Name]" line as written; empty for the preamble
        std::vector<TLine> Lines;
    };

    void RebuildIndex();
    const TSection* FindSection(const std::string& section) const;
    TSection* FindSection(const std::string& section);
    const TLine* FindValue(const std::string& section, const std::string& key) const;

    std::string FFileName;
    std::string FLoadError;
    std::string FLineBreak = "\n";
    std::string FBom; // a UTF-8 byte order mark the file began with, or empty
    bool FModified = false;
    std::vector<TSection> FSections;                // [0] holds lines before the first header
    std::unordered_map<std::string, size_t> FIndex; // lower-case name -> first section
    std::vector<std::string> FDuplicates;
};

} // namespace corvan
