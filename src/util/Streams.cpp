#include "util/Streams.h"

#include "util/Strings.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <limits>

namespace corvan {

namespace {

[[noreturn]] void ReadError() {
    throw EReader("Read error");
}
[[noreturn]] void SeekError() {
    throw EReader("Seek error");
}

int ClampToInt(int64_t n) {
    return n > std::numeric_limits<int>::max() ? std::numeric_limits<int>::max() : int(n);
}

bool BytesEqual(std::string_view a, std::string_view b, bool caseSensitive) {
    return caseSensitive ? a == b : EqualNoCase(a, b);
}

size_t FindBytes(std::string_view haystack, std::string_view needle, bool caseSensitive) {
    if (caseSensitive)
        return haystack.find(needle);
    if (needle.size() > haystack.size())
        return std::string_view::npos;
    for (size_t i = 0; i + needle.size() <= haystack.size(); ++i)
        if (EqualNoCase(haystack.substr(i, needle.size()), needle))
            return i;
    return std::string_view::npos;
}

} // namespace

// ---- AReaderEx ------------------------------------------------------------------------------

std::string AReaderEx::ReadStr(int64_t count) {
    // Straight into the result, with no block on the stack: a blocking reader waits inside
    // Read, and every stack page a connection's thread has touched stays with that thread
    // while its tunnel idles.
    std::string result;
    while (count > 0) {
        size_t have = result.size();
        int step = ClampToInt(std::min<int64_t>(count, kStreamBlockSize));
        result.resize(have + size_t(step));
        int n = Read(result.data() + have, step);
        result.resize(have + size_t(std::max(n, 0)));
        if (n <= 0)
            break;
        count -= n;
    }
    return result;
}

std::u16string AReaderEx::ReadWideStr(int64_t count) {
    if (count < 0)
        ReadError();
    std::string bytes = ReadStr(count * 2);
    if (int64_t(bytes.size()) != count * 2)
        ReadError();
    std::u16string result(size_t(count), u'\0');
    for (size_t i = 0; i < result.size(); ++i)
        result[i] = char16_t(uint8_t(bytes[2 * i]) | (uint8_t(bytes[2 * i + 1]) << 8));
    return result;
}

std::string AReaderEx::GetToEnd() {
    int64_t size = GetSize();
    if (size >= 0)
        return ReadStr(size - GetPosition());
    std::string result;
    char block[kStreamBlockSize];
    while (!IsEOF()) {
        int n = Read(block, kStreamBlockSize);
        if (n <= 0) {
            if (IsEOF())
                break;
            ReadError();
        }
        // Doubling once past 4096 bytes keeps the number of reallocations logarithmic.
        if (result.size() + size_t(n) > result.capacity() && result.size() > 4096)
            result.reserve(result.capacity() * 2);
        result.append(block, size_t(n));
    }
    return result;
}

std::string AReaderEx::GetAsString() {
    SetPosition(0);
    return GetToEnd();
}

uint8_t AReaderEx::ReadByte() {
    uint8_t b;
    if (Read(&b, 1) != 1)
        ReadError();
    return b;
}

int AReaderEx::Peek(void* buffer, int count) {
    int64_t position = GetPosition();
    int n = Read(buffer, count);
    SetPosition(position);
    return n;
}

std::string AReaderEx::PeekStr(int64_t count) {
    int64_t position = GetPosition();
    std::string result = ReadStr(count);
    SetPosition(position);
    return result;
}

uint8_t AReaderEx::PeekByte() {
    uint8_t b;
    if (Peek(&b, 1) != 1)
        ReadError();
    return b;
}

int AReaderEx::Match(const void* buffer, int count, bool caseSensitive) {
    std::string next = PeekStr(count);
    if (int(next.size()) != count)
        return -1;
    return BytesEqual(next, std::string_view(static_cast<const char*>(buffer), size_t(count)),
                      caseSensitive)
               ? count
               : -1;
}

bool AReaderEx::MatchStr(std::string_view text, bool caseSensitive) {
    std::string next = PeekStr(int64_t(text.size()));
    if (next.size() != text.size())
        ReadError();
    return BytesEqual(next, text, caseSensitive);
}

void AReaderEx::Skip(int64_t count) {
    if (count < 0)
        SeekError();
    SetPosition(GetPosition() + count);
}

int64_t AReaderEx::LocateWith(size_t patternLength,
                              const std::function<size_t(std::string_view)>& find,
                              int64_t maxOffset) {
    if (patternLength == 0)
        return 0;
    int64_t position = GetPosition();
    std::string window; // bytes from offset windowStart on
    int64_t windowStart = 0;
    int64_t result = -1;
    char block[kStreamBlockSize];
    for (;;) {
        int n = Read(block, kStreamBlockSize);
        if (n <= 0)
            break;
        window.append(block, size_t(n));
        size_t at = find(window);
        if (at != std::string_view::npos) {
            int64_t offset = windowStart + int64_t(at);
            if (maxOffset < 0 || offset <= maxOffset)
                result = offset;
            break;
        }
        // Keep only a tail that a match could still start in.
        size_t keep = std::min(window.size(), patternLength - 1);
        windowStart += int64_t(window.size() - keep);
        window.erase(0, window.size() - keep);
        if (maxOffset >= 0 && windowStart > maxOffset)
            break;
    }
    SetPosition(position);
    return result;
}

int64_t AReaderEx::LocateByte(uint8_t value, int64_t maxOffset) {
    TCharSet set;
    set.set(value);
    return LocateChar(set, maxOffset);
}

int64_t AReaderEx::LocateChar(const TCharSet& set, int64_t maxOffset) {
    return LocateWith(
        1,
        [&set](std::string_view s) {
            for (size_t i = 0; i < s.size(); ++i)
                if (set.test(uint8_t(s[i])))
                    return i;
            return std::string_view::npos;
        },
        maxOffset);
}

int64_t AReaderEx::LocateBuffer(const void* buffer, int count, int64_t maxOffset,
                                bool caseSensitive) {
    return LocateStr(std::string_view(static_cast<const char*>(buffer), size_t(count)), maxOffset,
                     caseSensitive);
}

int64_t AReaderEx::LocateStr(std::string_view text, int64_t maxOffset, bool caseSensitive) {
    return LocateWith(
        text.size(), [&](std::string_view s) { return FindBytes(s, text, caseSensitive); },
        maxOffset);
}

std::string AReaderEx::ExtractLine(int64_t maxLength, TLineTerminators terminators) {
    if (terminators == 0)
        return std::string();
    if (terminators == ltEOF)
        return GetToEnd();
    TCharSet starts;
    if (terminators & (ltCR | ltCRLF))
        starts.set('\r');
    if (terminators & (ltLF | ltLFCR))
        starts.set('\n');
    std::string line;
    char block[kStreamBlockSize];
    for (;;) {
        int64_t room = maxLength < 0 ? -1 : maxLength - int64_t(line.size());
        if (room == 0)
            return line;
        int64_t at = LocateChar(starts, room);
        if (at < 0) {
            // No terminator within reach: take what there is, up to the room left.
            while (room != 0) {
                int want = room < 0 ? kStreamBlockSize
                                    : ClampToInt(std::min<int64_t>(room, kStreamBlockSize));
                int n = Read(block, want);
                if (n <= 0)
                    break;
                line.append(block, size_t(n));
                if (room > 0)
                    room -= n;
            }
            if (room == 0)
                return line;
            if (terminators & ltEOF)
                return line;
            ReadError();
        }
        if (at > 0) {
            int64_t take = room < 0 ? at : std::min(at, room);
            std::string part = ReadStr(take);
            if (int64_t(part.size()) != take)
                ReadError();
            line += part;
            if (maxLength >= 0 && int64_t(line.size()) >= maxLength)
                return line;
        }
        uint8_t c = ReadByte();
        if (c == '\r') {
            if ((terminators & ltCRLF) && !IsEOF() && PeekByte() == '\n') {
                ReadByte();
                return line;
            }
            if (terminators & ltCR)
                return line;
        } else {
            if ((terminators & ltLFCR) && !IsEOF() && PeekByte() == '\r') {
                ReadByte();
                return line;
            }
            if (terminators & ltLF)
                return line;
        }
        line += char(c);
    }
}

// ---- TMemoryReader, TStringReader -----------------------------------------------------------

TMemoryReader::TMemoryReader(const void* data, int64_t size)
    : FData(static_cast<const uint8_t*>(data)), FSize(size < 0 ? 0 : size) {}

void TMemoryReader::SetData(const void* data, int64_t size) {
    FData = static_cast<const uint8_t*>(data);
    FSize = size < 0 ? 0 : size;
    FPosition = 0;
}

void TMemoryReader::SetPosition(int64_t position) {
    if (position < 0 || position > FSize)
        SeekError();
    FPosition = position;
}

int TMemoryReader::Read(void* buffer, int count) {
    if (count <= 0 || FPosition >= FSize)
        return 0;
    int n = ClampToInt(std::min<int64_t>(count, FSize - FPosition));
    std::memcpy(buffer, FData + FPosition, size_t(n));
    FPosition += n;
    return n;
}

int64_t TMemoryReader::LocateStr(std::string_view text, int64_t maxOffset, bool caseSensitive) {
    std::string_view rest(reinterpret_cast<const char*>(FData) + FPosition,
                          size_t(FSize - FPosition));
    if (maxOffset >= 0 && uint64_t(maxOffset) + text.size() < rest.size())
        rest = rest.substr(0, size_t(maxOffset) + text.size());
    size_t at = FindBytes(rest, text, caseSensitive);
    return at == std::string_view::npos ? -1 : int64_t(at);
}

TStringReader::TStringReader(std::string data)
    : TMemoryReader(nullptr, 0), FString(std::move(data)) {
    SetData(FString.data(), int64_t(FString.size()));
}

// ---- AReaderProxy, TReaderProxy -------------------------------------------------------------

AReaderProxy::AReaderProxy(AReaderEx* reader, bool ownsReader)
    : FReader(reader), FOwnsReader(ownsReader) {
    if (!FReader)
        throw EReader("Invalid reader");
}

AReaderProxy::~AReaderProxy() {
    if (FOwnsReader)
        delete FReader;
}

TReaderProxy::TReaderProxy(AReaderEx* reader, bool ownsReader, int64_t size)
    : AReaderProxy(reader, ownsReader), FStart(reader->GetPosition()), FLimit(size) {}

int64_t TReaderProxy::GetPosition() {
    return FReader->GetPosition() - FStart;
}

void TReaderProxy::SetPosition(int64_t position) {
    if (position < 0 || (FLimit >= 0 && position > FLimit))
        SeekError();
    FReader->SetPosition(FStart + position);
}

int64_t TReaderProxy::GetSize() {
    int64_t size = FReader->GetSize();
    if (size < 0)
        return FLimit;
    size -= FStart;
    return FLimit >= 0 ? std::min(size, FLimit) : size;
}

int64_t TReaderProxy::Remaining() {
    return FLimit < 0 ? -1 : std::max<int64_t>(FLimit - GetPosition(), 0);
}

int TReaderProxy::Read(void* buffer, int count) {
    int64_t left = Remaining();
    if (left >= 0 && count > left)
        count = int(left);
    if (count <= 0)
        return 0;
    return FReader->Read(buffer, count);
}

bool TReaderProxy::IsEOF() {
    return Remaining() == 0 || FReader->IsEOF();
}

// ---- writers --------------------------------------------------------------------------------

void WriteAll(AWriter& writer, const void* buffer, int64_t count) {
    const char* p = static_cast<const char*>(buffer);
    while (count > 0) {
        int n = writer.Write(p, ClampToInt(count));
        if (n <= 0)
            throw EWriter("Write error");
        p += n;
        count -= n;
    }
}

void AWriterEx::WriteStr(std::string_view text) {
    WriteBuffer(text.data(), int64_t(text.size()));
}

void AWriterEx::WriteWideStr(std::u16string_view text) {
    std::string bytes;
    bytes.reserve(text.size() * 2);
    for (char16_t c : text) {
        bytes += char(c & 0xFF);
        bytes += char(c >> 8);
    }
    WriteStr(bytes);
}

void AWriterEx::WriteByte(uint8_t value) {
    WriteBuffer(&value, 1);
}

void TStringWriter::SetPosition(int64_t position) {
    if (position < 0 || position > int64_t(FData.size()))
        throw EWriter("SetPosition failed");
    FPosition = position;
}

void TStringWriter::SetSize(int64_t size) {
    if (size < 0)
        throw EWriter("SetSize failed");
    FData.resize(size_t(size));
    FPosition = std::min(FPosition, size);
}

int TStringWriter::Write(const void* buffer, int count) {
    if (count <= 0)
        return 0;
    size_t end = size_t(FPosition) + size_t(count);
    if (end > FData.size())
        FData.resize(end);
    std::memcpy(FData.data() + FPosition, buffer, size_t(count));
    FPosition = int64_t(end);
    return count;
}

// ---- TFileWriter ----------------------------------------------------------------------------

TFileWriter::TFileWriter(const std::string& fileName, TFileWriterOpenMode mode)
    : FFileName(fileName) {
    if (fileName.empty() || fileName.find('\0') != std::string::npos)
        throw EFileWriter("Invalid file name");
    if (mode == fwomCreate)
        FFile = std::fopen(fileName.c_str(), "wb");
    else {
        FFile = std::fopen(fileName.c_str(), "r+b");
        if (!FFile && errno == ENOENT)
            FFile = std::fopen(fileName.c_str(), "w+b");
    }
    if (!FFile)
        RaiseError();
}

TFileWriter::~TFileWriter() {
    Close();
}

void TFileWriter::RaiseError() {
    throw EFileWriter(Format("File error: %s", std::strerror(errno)));
}

void TFileWriter::Close() {
    if (FFile) {
        std::fclose(FFile);
        FFile = nullptr;
    }
}

int64_t TFileWriter::GetPosition() {
    if (!FFile)
        throw EFileWriter("File error: file closed");
    off_t p = ftello(FFile);
    if (p < 0)
        RaiseError();
    return p;
}

void TFileWriter::SetPosition(int64_t position) {
    if (!FFile || position < 0 || fseeko(FFile, off_t(position), SEEK_SET) != 0)
        throw EFileWriter("File error: seek failed");
}

int64_t TFileWriter::GetSize() {
    int64_t position = GetPosition();
    if (fseeko(FFile, 0, SEEK_END) != 0)
        RaiseError();
    int64_t size = GetPosition();
    SetPosition(position);
    return size;
}

void TFileWriter::SetSize(int64_t size) {
    throw EFileWriter("File error: resizing not supported");
}

int TFileWriter::Write(const void* buffer, int count) {
    if (!FFile)
        throw EFileWriter("File error: file closed");
    if (count <= 0)
        return 0;
    size_t n = std::fwrite(buffer, 1, size_t(count), FFile);
    if (n == 0 || std::fflush(FFile) != 0)
        RaiseError();
    return int(n);
}

void TFileWriter::Append() {
    if (!FFile || fseeko(FFile, 0, SEEK_END) != 0)
        throw EFileWriter("File error: seek failed");
}

void TFileWriter::DeleteFile() {
    Close();
    if (std::remove(FFileName.c_str()) != 0)
        RaiseError();
}

// ---- copy, append, AStream ------------------------------------------------------------------

int64_t CopyReaderToWriter(AReader* reader, AWriter* writer, int blockSize,
                           const TCopyProgress& progress) {
    if (!reader || !writer)
        throw EStream("Invalid stream");
    if (blockSize < 1)
        throw EStream("Invalid block size");
    std::string block(size_t(blockSize), '\0');
    int64_t total = 0;
    while (!reader->IsEOF()) {
        int n = reader->Read(block.data(), blockSize);
        if (n <= 0) {
            if (reader->IsEOF())
                break;
            ReadError();
        }
        WriteAll(*writer, block.data(), n);
        total += n;
        if (progress) {
            bool abort = false;
            progress(total, abort);
            if (abort)
                throw EStreamOperationAborted();
        }
    }
    return total;
}

void AppendStrToFile(const std::string& fileName, std::string_view text) {
    TFileWriter writer(fileName, fwomCreateIfNotExist);
    writer.Append();
    writer.WriteStr(text);
}

bool AStream::TriggerCopyProgress(AStream* source, AStream* destination, int64_t bytesCopied) {
    bool abort = false;
    if (OnCopyProgress)
        OnCopyProgress(*this, source, destination, bytesCopied, abort);
    return abort;
}

} // namespace corvan
