#pragma once
// The header block of one HTTP message (RFC 9112 section 5): an ordered list of fields that
// keeps the order received, duplicate names, and lines that are not valid fields (so they can
// be written out again unchanged). Names compare ignoring ASCII case everywhere.

#include "util/Streams.h"

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace corvan {

// Longest header line (without its CR LF) read from a reader; a longer one raises EReader
// "Header line too long" instead of growing memory.
inline constexpr int64_t kMaxHeaderLineLength = 16384;
// Most bytes of one header block (lines and their CR LFs) read from a reader; more raises
// EReader "Header too large".
inline constexpr int64_t kMaxHeaderSize = 65536;

// A header line or header block over the named limits above: a reader error of its own kind,
// so that a server can answer it (400 for a header, 414 for a request line) rather than treat
// it as a lost connection.
class EhttpHeaderLimit : public EReader {
public:
    using EReader::EReader;
};

// The trimmed name, ": ", the trimmed body. Trimming removes bytes 0 to 32 from both ends.
std::string ComposeHeaderLine(std::string_view name, std::string_view body);
// Splits at the first ':' and trims both parts; true on success. Without a ':' the whole
// line is the name (untrimmed), the body is empty and the answer is false.
bool SplitHeaderLine(std::string_view line, std::string& name, std::string& body);
// Splits at the first ':'; both parts trimmed; an empty port becomes defaultPort. A host in
// brackets ("[2001:db8::1]:8080") is an IPv6 literal: it comes without them.
void SplitHostPort(std::string_view hostPort, std::string& host, std::string& port,
                   std::string_view defaultPort);
// The other way: "host:port", an IPv6 literal in brackets; no ":port" when port is empty.
std::string JoinHostPort(std::string_view host, std::string_view port);

// The line with every CR, LF and NUL replaced by a space. Header and start lines are split at
// CR LF only, so a CR or LF left inside one is bare: forwarded unchanged, a recipient that
// ends lines at a bare LF would see lines this one did not (RFC 9112 section 2.2); one that
// stops at a NUL would see a shorter value (RFC 9110 section 5.5).
std::string ReplaceBareLineBreaks(std::string_view line);

// Whether a line names "Content-Length" or "Transfer-Encoding" with white space before its ':'
// ("Content-Length : 5"), which parsers disagree on (RFC 9112 section 5.1).
bool IsAmbiguousFramingLine(std::string_view line);
// "Content-Length" or "Transfer-Encoding", ignoring case.
bool IsFramingFieldName(std::string_view name);

// Reads one line ended by CR LF (which is consumed) of at most maxLength bytes; a longer line
// raises EhttpHeaderLimit "Header line too long"; the end of the data before CR LF raises EReader.
std::string ReadLimitedLine(AReaderEx& reader, int64_t maxLength);

// Dates: days since 30 December 1899 with the time of day as the fraction, in GMT.
double NowAsGMTDateTime();
// RFC 1123 (RFC 9110 section 5.6.7 IMF-fixdate): "Sun, 06 Nov 1994 08:49:37 GMT".
std::string FormatRFC1123Date(double dateTime);
// Parses an RFC 1123 date (the day name is optional); false when the text is not one.
bool ParseRFC1123Date(std::string_view text, double& dateTime);

class AHeaderField {
public:
    virtual ~AHeaderField() = default;
    virtual std::string GetName() const = 0;
    virtual void SetName(std::string_view name) = 0;
    virtual std::string GetBody() const = 0;
    virtual void SetBody(std::string_view body) = 0;
    // The body as a signed decimal (blanks around it ignored); -1 when it is not one.
    virtual int64_t GetBodyAsInteger() const;
    virtual void SetBodyAsInteger(int64_t value);
    // The body as a floating-point number; 0.0 when it is not one.
    virtual double GetBodyAsFloat() const;
    virtual void SetBodyAsFloat(double value);
    virtual std::string GetAsString() const;
    virtual void SetAsString(std::string_view line);
    virtual std::unique_ptr<AHeaderField> Duplicate() const = 0;
    // A hook with no effect here; THeader::PrepareFields calls it on every field.
    virtual void Prepare() {}
};

class THeaderField : public AHeaderField {
public:
    THeaderField() = default;
    THeaderField(std::string_view name, std::string_view body) : FName(name), FBody(body) {}
    std::string GetName() const override { return FName; }
    void SetName(std::string_view name) override { FName = name; }
    std::string GetBody() const override { return FBody; }
    void SetBody(std::string_view body) override { FBody = body; }
    std::unique_ptr<AHeaderField> Duplicate() const override;

private:
    std::string FName;
    std::string FBody;
};

// A line that is not a field: no name, no body, written back exactly as received.
class TInvalidField : public AHeaderField {
public:
    explicit TInvalidField(std::string_view rawLine) : FRawLine(rawLine) {}
    std::string GetName() const override { return std::string(); }
    void SetName(std::string_view) override {}
    std::string GetBody() const override { return std::string(); }
    void SetBody(std::string_view) override {}
    std::string GetAsString() const override { return FRawLine; }
    void SetAsString(std::string_view line) override { FRawLine = line; }
    std::unique_ptr<AHeaderField> Duplicate() const override;
    const std::string& RawLine() const { return FRawLine; }

private:
    std::string FRawLine;
};

// "Date", its body an RFC 1123 date of DateTime (GMT). A new field holds the current time.
class TDateField : public AHeaderField {
public:
    TDateField();
    explicit TDateField(double dateTime) : DateTime(dateTime) {}
    std::string GetName() const override { return "Date"; }
    void SetName(std::string_view) override {}
    std::string GetBody() const override;
    // A text that is not an RFC 1123 date leaves DateTime unchanged.
    void SetBody(std::string_view body) override;
    std::unique_ptr<AHeaderField> Duplicate() const override;
    double DateTime;
};

class THeader {
public:
    THeader() = default;
    virtual ~THeader();
    THeader(const THeader&) = delete;
    THeader& operator=(const THeader&) = delete;

    // Every field's line and CR LF, then one more CR LF (an empty header is CR LF alone).
    virtual std::string GetAsString() const;
    // Appends the fields parsed from text (lines split at CR LF, bare CR, LF and NUL replaced by
    // spaces; a line starting with a byte of 32 or lower continues the previous field's body;
    // a line that is no field becomes a TInvalidField). A line whose name has white space before
    // its ':' and names a framing field ("Content-Length", "Transfer-Encoding") is kept as a
    // TInvalidField, so that the message counts as malformed rather than guessing (RFC 9112
    // section 5.1).
    virtual void SetAsString(std::string_view text);
    virtual std::unique_ptr<THeader> Duplicate() const;
    // Appends fields read from the reader.
    //  Line mode: CR LF lines, each through AddFieldString, up to and including the first
    //  empty line; no folding. Block mode: CR LF alone ends an empty header; otherwise the
    //  block up to CR LF CR LF is parsed by SetAsString and the terminator skipped.
    // maxSize: line mode, the longest line; block mode, the block's search range (when the
    // terminator is not found within an explicit maxSize the header is left unchanged).
    // -1 (or anything above the named limits) means the limits kMaxHeaderLineLength and
    // kMaxHeaderSize, past which EReader is raised; a block not terminated within
    // kMaxHeaderSize (or not at all before the data ends) raises EReader "Header incomplete or
    // too large".
    virtual void ReadFromReader(AReaderEx& reader, bool lineMode, int64_t maxSize);
    virtual void PrepareFields();
    virtual std::vector<std::string> GetFieldNames() const;
    virtual void Clear();
    virtual void AddField(std::string_view name, std::string_view body);
    // AddField with the parts of the line, or a TInvalidField holding the line when it has
    // no ':' (or see SetAsString for framing fields); bare CR, LF and NUL become spaces.
    virtual void AddFieldString(std::string_view line);

    int FieldCount() const { return int(FFields.size()); }
    AHeaderField* Fields(int index) const { return FFields.at(size_t(index)).get(); }
    void AddFieldObject(std::unique_ptr<AHeaderField> field);
    void DeleteField(int index);
    void ReplaceField(int index, std::unique_ptr<AHeaderField> field);
    int IndexOfField(std::string_view name) const;
    AHeaderField* GetField(std::string_view name) const;
    bool HasField(std::string_view name) const { return IndexOfField(name) >= 0; }
    std::string GetFieldBody(std::string_view name) const;
    // Sets the first such field's body in place, or appends the field.
    void SetFieldBody(std::string_view name, std::string_view body);
    // Renames field to name, then replaces the first field of that name in place or appends;
    // a null field deletes the first field of that name.
    void SetField(std::string_view name, std::unique_ptr<AHeaderField> field);
    // Deletes every field of that name; whether any was deleted.
    bool RemoveFields(std::string_view name);

private:
    std::vector<std::unique_ptr<AHeaderField>> FFields;
};

} // namespace corvan
