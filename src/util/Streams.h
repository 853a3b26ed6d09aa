#pragma once
// The reader and writer contract of the HTTP layer, the few concrete readers and writers it
// uses, the reader-writer pair AStream and the copy between them. Nothing here touches a
// socket: the socket streams implement the same contract elsewhere.
//
// Positions and sizes are signed 64-bit byte counts; a size of -1 means "cannot tell".
// Reader failures raise EReader ("Read error" for a read past the end that an operation
// needs, "Seek error" for a bad position); writer failures raise EWriter.
//
// The end-of-data test is called IsEOF (EOF is a macro of the C library).

#include "util/EventSlot.h"
#include "util/Exceptions.h"

#include <bitset>
#include <cstdint>
#include <cstdio>
#include <functional>
#include <memory>
#include <string>
#include <string_view>

namespace corvan {

class EReader : public Exception {
public:
    using Exception::Exception;
};
class EWriter : public Exception {
public:
    using Exception::Exception;
};
class EFileWriter : public EWriter {
public:
    using EWriter::EWriter;
};
class EStream : public Exception {
public:
    using Exception::Exception;
};
class EStreamOperationAborted : public EStream {
public:
    EStreamOperationAborted() : EStream("Stream operation aborted") {}
};

// Block size of the copies (and of GetToEnd on readers that cannot tell their size).
inline constexpr int kStreamBlockSize = 2048;

using TCharSet = std::bitset<256>;

// Line terminator kinds for ExtractLine; combine with |. The HTTP layer uses ltCRLF alone.
enum TLineTerminator : uint8_t {
    ltEOF = 1,
    ltCR = 2,
    ltLF = 4,
    ltCRLF = 8,
    ltLFCR = 16,
};
using TLineTerminators = uint8_t;

class AReader {
public:
    virtual ~AReader() = default;
    virtual int64_t GetPosition() = 0;
    virtual void SetPosition(int64_t position) = 0;
    virtual int64_t GetSize() = 0;
    // Reads up to count bytes; answers how many (0 to count). 0 only at the end of the data
    // or when the source fails to deliver (a time-out of a socket reader, for example).
    virtual int Read(void* buffer, int count) = 0;
    virtual bool IsEOF() = 0;
};

// The extended reader: every operation is built on the five above, and each is virtual so
// that a reader which cannot seek back (a socket) can answer them from its own buffer. The
// defaults of Peek, PeekStr, PeekByte, Match, MatchStr and the Locate operations read ahead
// and then SetPosition back; such a reader overrides them. ExtractLine needs only LocateChar,
// ReadStr, ReadByte, PeekByte, Read and IsEOF.
// "Locate" operations answer the offset from the position of the first byte of the first
// match, searching no further than a match starting at MaxOffset (-1: no limit), or -1; they
// leave the position unchanged.
class AReaderEx : public AReader {
public:
    // Up to count bytes; shorter only at the end of the data.
    virtual std::string ReadStr(int64_t count);
    // count UTF-16 code units (two bytes each, little-endian); a short read raises.
    virtual std::u16string ReadWideStr(int64_t count);
    // From the position to the end. When the size cannot be told, reads blocks until IsEOF;
    // a read of 0 bytes before the end raises "Read error".
    virtual std::string GetToEnd();
    // SetPosition(0), then GetToEnd.
    virtual std::string GetAsString();
    virtual uint8_t ReadByte();
    // Reads, then restores the position; answers the count read.
    virtual int Peek(void* buffer, int count);
    virtual std::string PeekStr(int64_t count);
    virtual uint8_t PeekByte();
    // count when the next count bytes equal buffer, -1 otherwise.
    virtual int Match(const void* buffer, int count, bool caseSensitive);
    // Whether the next bytes equal text; fewer bytes than text left raises "Read error".
    virtual bool MatchStr(std::string_view text, bool caseSensitive);
    // Moves forward; a negative count raises "Seek error".
    virtual void Skip(int64_t count);
    virtual int64_t LocateByte(uint8_t value, int64_t maxOffset);
    virtual int64_t LocateChar(const TCharSet& set, int64_t maxOffset);
    virtual int64_t LocateBuffer(const void* buffer, int count, int64_t maxOffset,
                                 bool caseSensitive);
    virtual int64_t LocateStr(std::string_view text, int64_t maxOffset, bool caseSensitive);

    // Reads one line ended by one of the terminators, which is consumed and not returned.
    // With maxLength not -1 the line ends after maxLength bytes and nothing more is consumed.
    // A byte that starts no terminator of the set (a lone CR when only CR LF terminates)
    // stays in the line. At the end of the data without a terminator: the line so far when
    // ltEOF is in the set, else EReader "Read error".
    virtual std::string ExtractLine(int64_t maxLength, TLineTerminators terminators);

private:
    // Shared search of the Locate operations over a window of read-ahead bytes.
    int64_t LocateWith(size_t patternLength, const std::function<size_t(std::string_view)>& find,
                       int64_t maxOffset);
};

// A reader over a memory block it does not own.
class TMemoryReader : public AReaderEx {
public:
    TMemoryReader(const void* data, int64_t size);
    int64_t GetPosition() override { return FPosition; }
    // Outside 0..size raises "Seek error".
    void SetPosition(int64_t position) override;
    int64_t GetSize() override { return FSize; }
    int Read(void* buffer, int count) override;
    bool IsEOF() override { return FPosition >= FSize; }
    int64_t LocateStr(std::string_view text, int64_t maxOffset, bool caseSensitive) override;

protected:
    void SetData(const void* data, int64_t size);

private:
    const uint8_t* FData;
    int64_t FSize;
    int64_t FPosition = 0;
};

// A memory reader over its own copy of a string.
class TStringReader : public TMemoryReader {
public:
    explicit TStringReader(std::string data);
    TStringReader(const TStringReader&) = delete;
    TStringReader& operator=(const TStringReader&) = delete;

private:
    std::string FString;
};

// A pass-through over another reader, which it owns when asked to.
class AReaderProxy : public AReaderEx {
public:
    AReaderProxy(AReaderEx* reader, bool ownsReader);
    ~AReaderProxy() override;
    AReaderProxy(const AReaderProxy&) = delete;
    AReaderProxy& operator=(const AReaderProxy&) = delete;
    AReaderEx* GetReader() const { return FReader; }
    int64_t GetPosition() override { return FReader->GetPosition(); }
    void SetPosition(int64_t position) override { FReader->SetPosition(position); }
    int64_t GetSize() override { return FReader->GetSize(); }
    int Read(void* buffer, int count) override { return FReader->Read(buffer, count); }
    bool IsEOF() override { return FReader->IsEOF(); }

protected:
    AReaderEx* FReader;
    bool FOwnsReader;
};

// A window of at most size bytes (-1: unbounded) of another reader, starting at that
// reader's position when the proxy is made. Position and size are relative to the start;
// SetPosition outside 0..size raises "Seek error"; Read never passes more than is left.
class TReaderProxy : public AReaderProxy {
public:
    TReaderProxy(AReaderEx* reader, bool ownsReader, int64_t size);
    int64_t GetPosition() override;
    void SetPosition(int64_t position) override;
    int64_t GetSize() override;
    int Read(void* buffer, int count) override;
    bool IsEOF() override;

protected:
    int64_t Remaining(); // -1 when unbounded
    int64_t FStart;
    int64_t FLimit;
};

class AWriter {
public:
    virtual ~AWriter() = default;
    virtual int64_t GetPosition() = 0;
    virtual void SetPosition(int64_t position) = 0;
    virtual int64_t GetSize() = 0;
    virtual void SetSize(int64_t size) = 0;
    // Writes up to count bytes; answers how many were taken.
    virtual int Write(const void* buffer, int count) = 0;
};

// Writes all bytes or raises EWriter "Write error".
void WriteAll(AWriter& writer, const void* buffer, int64_t count);

class AWriterEx : public AWriter {
public:
    void WriteBuffer(const void* buffer, int64_t count) { WriteAll(*this, buffer, count); }
    virtual void WriteStr(std::string_view text);
    virtual void WriteWideStr(std::u16string_view text); // little-endian code units
    virtual void WriteByte(uint8_t value);
};

// A writer that collects into a string it owns; SetPosition and SetSize work within it.
class TStringWriter : public AWriterEx {
public:
    int64_t GetPosition() override { return FPosition; }
    void SetPosition(int64_t position) override;
    int64_t GetSize() override { return int64_t(FData.size()); }
    void SetSize(int64_t size) override;
    int Write(const void* buffer, int count) override;
    const std::string& Data() const { return FData; }

private:
    std::string FData;
    int64_t FPosition = 0;
};

enum TFileWriterOpenMode : uint8_t {
    fwomCreate,           // create, replacing an existing file
    fwomCreateIfNotExist, // open an existing file, creating it when missing
};

// A file writer. Errors raise EFileWriter "File error: <system text>" or "Invalid file name".
class TFileWriter : public AWriterEx {
public:
    TFileWriter(const std::string& fileName, TFileWriterOpenMode mode);
    ~TFileWriter() override;
    TFileWriter(const TFileWriter&) = delete;
    TFileWriter& operator=(const TFileWriter&) = delete;
    int64_t GetPosition() override;
    void SetPosition(int64_t position) override;
    int64_t GetSize() override;
    void SetSize(int64_t size) override;
    int Write(const void* buffer, int count) override;
    // Moves to the end of the file.
    void Append();
    // Closes the file and deletes it (used to drop a partly written download).
    void DeleteFile();
    void Close();
    const std::string& FileName() const { return FFileName; }

private:
    [[noreturn]] void RaiseError();
    std::string FFileName;
    std::FILE* FFile = nullptr;
};

// Progress of a copy: bytes copied so far; setting abort stops the copy with
// EStreamOperationAborted.
using TCopyProgress = std::function<void(int64_t bytesCopied, bool& abort)>;

// Copies from the reader's position to its end in blocks of blockSize bytes; answers the
// bytes copied. A missing reader or writer or a block size below 1 raises EStream; a read of
// 0 bytes before the reader's end raises EReader "Read error" (so a stalled source never
// spins); an abort raises EStreamOperationAborted.
int64_t CopyReaderToWriter(AReader* reader, AWriter* writer, int blockSize = kStreamBlockSize,
                           const TCopyProgress& progress = {});

// Opens (creating when missing) the file, moves to its end, writes text and closes it.
void AppendStrToFile(const std::string& fileName, std::string_view text);

// A reader and a writer for one channel (the socket stream is one).
class AStream {
public:
    using TCopyProgressEvent = std::function<void(
        AStream& sender, AStream* source, AStream* destination, int64_t bytesCopied, bool& abort)>;
    virtual ~AStream() = default;
    virtual int64_t GetPosition() { return GetReader()->GetPosition(); }
    virtual void SetPosition(int64_t position) { GetReader()->SetPosition(position); }
    virtual int64_t GetSize() { return -1; }
    virtual void SetSize(int64_t size) { throw EStream("SetSize failed"); }
    virtual AReaderEx* GetReader() = 0;
    virtual AWriterEx* GetWriter() = 0;
    virtual int Read(void* buffer, int count) { return GetReader()->Read(buffer, count); }
    virtual int Write(const void* buffer, int count) { return GetWriter()->Write(buffer, count); }
    virtual bool IsEOF() { return GetReader()->IsEOF(); }
    // Writes all bytes or raises EWriter.
    void WriteBuffer(const void* buffer, int64_t count) { WriteAll(*GetWriter(), buffer, count); }
    void WriteStr(std::string_view text) { WriteBuffer(text.data(), int64_t(text.size())); }

    // Called by copies and relays that move bytes through this stream.
    TEventSlot<void(AStream& sender, AStream* source, AStream* destination, int64_t bytesCopied,
                    bool& abort)>
        OnCopyProgress;
    // Fires OnCopyProgress when set; answers the abort flag.
    bool TriggerCopyProgress(AStream* source, AStream* destination, int64_t bytesCopied);
};

} // namespace corvan
