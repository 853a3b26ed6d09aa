#include "http/HTTP.h"

#include "util/Strings.h"

#include <charconv>
#include <chrono>
#include <cmath>

namespace corvan {

// ---- line helpers ---------------------------------------------------------------------------

std::string ComposeHeaderLine(std::string_view name, std::string_view body) {
    std::string r(TrimControlsAndSpace(name));
    r += ": ";
    r += TrimControlsAndSpace(body);
    return r;
}

bool SplitHeaderLine(std::string_view line, std::string& name, std::string& body) {
    size_t colon = line.find(':');
    if (colon == std::string_view::npos) {
        name = line;
        body.clear();
        return false;
    }
    name = TrimControlsAndSpace(line.substr(0, colon));
    body = TrimControlsAndSpace(line.substr(colon + 1));
    return true;
}

void SplitHostPort(std::string_view hostPort, std::string& host, std::string& port,
                   std::string_view defaultPort) {
    std::string_view text = TrimControlsAndSpace(hostPort);
    size_t colon = text.find(':');
    // An IPv6 literal is written in brackets, its colons inside them (RFC 3986 section 3.2.2).
    if (size_t close = text.find(']'); !text.empty() && text[0] == '[' && close != text.npos &&
                                       (close + 1 == text.size() || text[close + 1] == ':')) {
        host = text.substr(1, close - 1);
        colon = close + 1 < text.size() ? close + 1 : std::string_view::npos;
    } else {
        host = TrimControlsAndSpace(text.substr(0, colon));
    }
    port = colon == std::string_view::npos
               ? std::string()
               : std::string(TrimControlsAndSpace(text.substr(colon + 1)));
    if (port.empty())
        port = defaultPort;
}

std::string JoinHostPort(std::string_view host, std::string_view port) {
    std::string text = host.find(':') != std::string_view::npos
                           ? "[" + std::string(host) + "]"
                           : std::string(host);
    if (!port.empty())
        text += ":" + std::string(port);
    return text;
}

std::string ReadLimitedLine(AReaderEx& reader, int64_t maxLength) {
    std::string line = reader.ExtractLine(maxLength, ltCRLF);
    if (int64_t(line.size()) >= maxLength) {
        // ExtractLine stopped at the limit without consuming: only a CR LF may follow.
        if (!reader.MatchStr("\r\n", true))
            throw EhttpHeaderLimit("Header line too long");
        reader.Skip(2);
    }
    return line;
}

std::string ReplaceBareLineBreaks(std::string_view line) {
    std::string r(line);
    for (char& c : r)
        if (c == '\r' || c == '\n' || c == '\0')
            c = ' ';
    return r;
}

bool IsFramingFieldName(std::string_view name) {
    return EqualNoCase(name, "Content-Length") || EqualNoCase(name, "Transfer-Encoding");
}

bool IsAmbiguousFramingLine(std::string_view line) {
    size_t colon = line.find(':');
    if (colon == std::string_view::npos)
        return false;
    std::string_view raw = line.substr(0, colon);
    std::string_view name = TrimControlsAndSpace(raw);
    return name.size() != raw.size() && IsFramingFieldName(name);
}

namespace {

// ---- dates ----------------------------------------------------------------------------------

using namespace std::chrono;

const char* const kDayNames[7] = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};
const char* const kMonthNames[12] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                     "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
// 30 December 1899, the day 0 of the date-time encoding.
constexpr sys_days kEpoch = sys_days(year(1899) / December / 30);

bool ParseFixedDigits(std::string_view s, int& value) {
    auto v = ParseDigits(s);
    if (!v || *v > 99999)
        return false;
    value = int(*v);
    return true;
}

} // namespace

double NowAsGMTDateTime() {
    auto now = system_clock::now();
    return duration<double, days::period>(now - kEpoch).count();
}

std::string FormatRFC1123Date(double dateTime) {
    if (!std::isfinite(dateTime) || dateTime < -693593 || dateTime > 2958465)
        dateTime = 0; // outside years 1 to 9999: print the epoch rather than nonsense
    int64_t seconds = std::llround(dateTime * 86400.0);
    // Every answer's Date is of the current second: a thread formats it once per second.
    thread_local int64_t lastSeconds = INT64_MIN;
    thread_local std::string last;
    if (seconds == lastSeconds)
        return last;
    int64_t dayCount = seconds >= 0 ? seconds / 86400 : -((-seconds + 86399) / 86400);
    int64_t secondOfDay = seconds - dayCount * 86400;
    sys_days day = kEpoch + days(dayCount);
    year_month_day ymd(day);
    weekday wd(day);
    last = Format("%s, %02u %s %d %02d:%02d:%02d GMT", kDayNames[wd.c_encoding()],
                  unsigned(ymd.day()), kMonthNames[unsigned(ymd.month()) - 1], int(ymd.year()),
                  int(secondOfDay / 3600), int(secondOfDay / 60 % 60), int(secondOfDay % 60));
    lastSeconds = seconds;
    return last;
}

bool ParseRFC1123Date(std::string_view text, double& dateTime) {
    text = TrimControlsAndSpace(text);
    size_t comma = text.find(',');
    if (comma != std::string_view::npos)
        text = TrimControlsAndSpace(text.substr(comma + 1));
    std::vector<std::string> parts;
    for (const std::string& p : Split(text, ' '))
        if (!p.empty())
            parts.push_back(p);
    if (parts.size() != 5 || !EqualNoCase(parts[4], "GMT"))
        return false;
    int d, y, hh, mm, ss;
    if (!ParseFixedDigits(parts[0], d) || !ParseFixedDigits(parts[2], y))
        return false;
    int m = 0;
    while (m < 12 && !EqualNoCase(parts[1], kMonthNames[m]))
        ++m;
    std::vector<std::string> t = Split(parts[3], ':');
    if (m == 12 || t.size() != 3 || !ParseFixedDigits(t[0], hh) || !ParseFixedDigits(t[1], mm) ||
        !ParseFixedDigits(t[2], ss) || hh > 23 || mm > 59 || ss > 60)
        return false;
    year_month_day ymd(year(y), month(unsigned(m + 1)), day(unsigned(d)));
    if (!ymd.ok())
        return false;
    int64_t dayCount = (sys_days(ymd) - kEpoch).count();
    dateTime = double(dayCount) + (hh * 3600 + mm * 60 + ss) / 86400.0;
    return true;
}

// ---- fields ---------------------------------------------------------------------------------

int64_t AHeaderField::GetBodyAsInteger() const {
    auto v = ParseInt64(TrimControlsAndSpace(GetBody()));
    return v ? *v : -1;
}

void AHeaderField::SetBodyAsInteger(int64_t value) {
    SetBody(std::to_string(value));
}

double AHeaderField::GetBodyAsFloat() const {
    std::string body(TrimControlsAndSpace(GetBody()));
    double value = 0.0;
    auto [end, ec] = std::from_chars(body.data(), body.data() + body.size(), value);
    if (ec != std::errc() || end != body.data() + body.size() || body.empty())
        return 0.0;
    return value;
}

void AHeaderField::SetBodyAsFloat(double value) {
    char buffer[64];
    auto [end, ec] = std::to_chars(buffer, buffer + sizeof buffer, value);
    SetBody(std::string_view(buffer, ec == std::errc() ? size_t(end - buffer) : 0));
}

std::string AHeaderField::GetAsString() const {
    return ComposeHeaderLine(GetName(), GetBody());
}

void AHeaderField::SetAsString(std::string_view line) {
    std::string name, body;
    SplitHeaderLine(line, name, body);
    SetName(name);
    SetBody(body);
}

std::unique_ptr<AHeaderField> THeaderField::Duplicate() const {
    return std::make_unique<THeaderField>(FName, FBody);
}

std::unique_ptr<AHeaderField> TInvalidField::Duplicate() const {
    return std::make_unique<TInvalidField>(FRawLine);
}

TDateField::TDateField() : DateTime(NowAsGMTDateTime()) {}

std::string TDateField::GetBody() const {
    return FormatRFC1123Date(DateTime);
}

void TDateField::SetBody(std::string_view body) {
    ParseRFC1123Date(body, DateTime);
}

std::unique_ptr<AHeaderField> TDateField::Duplicate() const {
    return std::make_unique<TDateField>(DateTime);
}

// ---- THeader --------------------------------------------------------------------------------

THeader::~THeader() {
    Clear();
}

std::string THeader::GetAsString() const {
    std::string r;
    for (const auto& f : FFields) {
        r += f->GetAsString();
        r += "\r\n";
    }
    r += "\r\n";
    return r;
}

void THeader::SetAsString(std::string_view text) {
    std::string name, body;
    auto flush = [&] {
        if (!name.empty())
            AddField(name, body);
    };
    size_t start = 0;
    while (start <= text.size()) {
        size_t end = text.find("\r\n", start);
        std::string line = ReplaceBareLineBreaks(text.substr(
            start, end == std::string_view::npos ? std::string_view::npos : end - start));
        start = end == std::string_view::npos ? text.size() + 1 : end + 2;
        if (line.find(':') != std::string_view::npos) {
            flush();
            if (IsAmbiguousFramingLine(line)) {
                name.clear();
                AddFieldObject(std::make_unique<TInvalidField>(line));
                continue;
            }
            SplitHeaderLine(line, name, body);
        } else if (!name.empty() && !line.empty() && (unsigned char)line[0] <= 32) {
            body += line; // a folded continuation, kept byte for byte
        } else {
            flush();
            name.clear();
            if (!line.empty())
                AddFieldObject(std::make_unique<TInvalidField>(line));
        }
    }
    flush();
}

std::unique_ptr<THeader> THeader::Duplicate() const {
    auto r = std::make_unique<THeader>();
    for (const auto& f : FFields)
        r->AddFieldObject(f->Duplicate());
    return r;
}

void THeader::ReadFromReader(AReaderEx& reader, bool lineMode, int64_t maxSize) {
    if (lineMode) {
        int64_t lineLimit =
            maxSize < 0 ? kMaxHeaderLineLength : std::min(maxSize, kMaxHeaderLineLength);
        int64_t total = 0;
        for (;;) {
            std::string line = ReadLimitedLine(reader, lineLimit);
            if (line.empty())
                return;
            total += int64_t(line.size()) + 2;
            if (total > kMaxHeaderSize)
                throw EhttpHeaderLimit("Header too large");
            AddFieldString(line);
        }
    }
    if (reader.MatchStr("\r\n", true)) {
        reader.Skip(2);
        return;
    }
    bool limited = maxSize >= 0 && maxSize <= kMaxHeaderSize;
    int64_t range = limited ? maxSize : kMaxHeaderSize;
    int64_t at = range < 4 ? -1 : reader.LocateStr("\r\n\r\n", range - 4, true);
    if (at < 0) {
        if (limited)
            return;
        throw EReader("Header incomplete or too large");
    }
    std::string text = reader.ReadStr(at);
    if (int64_t(text.size()) != at)
        throw EReader("Read error");
    reader.Skip(4);
    SetAsString(text);
}

void THeader::PrepareFields() {
    for (auto& f : FFields)
        f->Prepare();
}

std::vector<std::string> THeader::GetFieldNames() const {
    std::vector<std::string> r;
    for (const auto& f : FFields)
        r.push_back(f->GetName());
    return r;
}

void THeader::Clear() {
    while (!FFields.empty())
        FFields.pop_back();
}

void THeader::AddField(std::string_view name, std::string_view body) {
    AddFieldObject(std::make_unique<THeaderField>(name, body));
}

void THeader::AddFieldString(std::string_view rawLine) {
    std::string line = ReplaceBareLineBreaks(rawLine);
    std::string name, body;
    if (!IsAmbiguousFramingLine(line) && SplitHeaderLine(line, name, body))
        AddField(name, body);
    else
        AddFieldObject(std::make_unique<TInvalidField>(line));
}

void THeader::AddFieldObject(std::unique_ptr<AHeaderField> field) {
    if (field)
        FFields.push_back(std::move(field));
}

void THeader::DeleteField(int index) {
    FFields.erase(FFields.begin() + index);
}

void THeader::ReplaceField(int index, std::unique_ptr<AHeaderField> field) {
    if (!field)
        DeleteField(index);
    else
        FFields.at(size_t(index)) = std::move(field);
}

int THeader::IndexOfField(std::string_view name) const {
    for (size_t i = 0; i < FFields.size(); ++i)
        if (EqualNoCase(FFields[i]->GetName(), name))
            return int(i);
    return -1;
}

AHeaderField* THeader::GetField(std::string_view name) const {
    int i = IndexOfField(name);
    return i < 0 ? nullptr : FFields[size_t(i)].get();
}

std::string THeader::GetFieldBody(std::string_view name) const {
    AHeaderField* f = GetField(name);
    return f ? f->GetBody() : std::string();
}

void THeader::SetFieldBody(std::string_view name, std::string_view body) {
    if (AHeaderField* f = GetField(name))
        f->SetBody(body);
    else
        AddField(name, body);
}

void THeader::SetField(std::string_view name, std::unique_ptr<AHeaderField> field) {
    int i = IndexOfField(name);
    if (!field) {
        if (i >= 0)
            DeleteField(i);
        return;
    }
    if (!EqualNoCase(field->GetName(), name))
        field->SetName(name);
    if (i >= 0)
        ReplaceField(i, std::move(field));
    else
        AddFieldObject(std::move(field));
}

bool THeader::RemoveFields(std::string_view name) {
    bool any = false;
    for (size_t i = FFields.size(); i-- > 0;)
        if (EqualNoCase(FFields[i]->GetName(), name)) {
            FFields.erase(FFields.begin() + long(i));
            any = true;
        }
    return any;
}

} // namespace corvan
