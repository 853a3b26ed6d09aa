#include "util/Streams.h"

#include "support/ScriptedReader.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>

using namespace corvan;
using corvan::test::TScriptedReader;

namespace {
std::string ReadFile(const std::string& name) {
    std::ifstream in(name, std::ios::binary);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

std::string TempName(const char* tag) {
    return (std::filesystem::temp_directory_path() /
            ("corvan-streams-" + std::string(tag) + "-" + std::to_string(::getpid())))
        .string();
}
} // namespace

TEST(ExtractLine, RequestLineEndsAtCrLfAndConsumesIt) {
    TStringReader r("GET / HTTP/1.1\r\nHost: a\r\n");
    EXPECT_EQ(r.ExtractLine(4096, ltCRLF), "GET / HTTP/1.1");
    EXPECT_EQ(r.GetPosition(), 16);
    EXPECT_EQ(r.ExtractLine(4096, ltCRLF), "Host: a");
}

TEST(ExtractLine, LoneCrAndLfStayInTheLine) {
    TStringReader r(std::string("a\rb\nc\r\n"));
    EXPECT_EQ(r.ExtractLine(-1, ltCRLF), "a\rb\nc");
    EXPECT_TRUE(r.IsEOF());
}

TEST(ExtractLine, EndOfStreamWithoutTerminatorFails) {
    TStringReader r("no end");
    EXPECT_THROW(r.ExtractLine(4096, ltCRLF), EReader);
    TStringReader cr("text\r"); // a CR at the very end is not a terminator either
    EXPECT_THROW(cr.ExtractLine(4096, ltCRLF), EReader);
    TStringReader withEof("last");
    EXPECT_EQ(withEof.ExtractLine(-1, ltCRLF | ltEOF), "last");
}

TEST(ExtractLine, StopsAtMaxLengthWithoutConsumingMore) {
    TStringReader r("abcdefgh\r\n");
    EXPECT_EQ(r.ExtractLine(5, ltCRLF), "abcde");
    EXPECT_EQ(r.ExtractLine(5, ltCRLF), "fgh");
    TStringReader exact("abcde\r\nx\r\n");
    EXPECT_EQ(exact.ExtractLine(5, ltCRLF), "abcde");
    EXPECT_EQ(exact.ExtractLine(5, ltCRLF), ""); // the terminator was left for the next call
}

TEST(ExtractLine, OtherTerminatorSets) {
    TStringReader r("a\nb\rc\r\nd\n\re");
    EXPECT_EQ(r.ExtractLine(-1, ltLF), "a");
    EXPECT_EQ(r.ExtractLine(-1, ltCR | ltCRLF), "b");
    EXPECT_EQ(r.ExtractLine(-1, ltCR | ltCRLF), "c"); // CR LF taken as one terminator
    EXPECT_EQ(r.ExtractLine(-1, ltLFCR), "d");
    EXPECT_EQ(r.ExtractLine(-1, 0), "");
    EXPECT_EQ(r.ExtractLine(-1, ltEOF), "e");
}

TEST(ExtractLine, ReadsSplitAcrossCallsGiveTheSameLines) {
    const std::string text = "first line\r\nsecond\rline\r\n\r\nrest";
    for (int step = 1; step <= 7; ++step) {
        TScriptedReader r(text, step);
        EXPECT_EQ(r.ExtractLine(4096, ltCRLF), "first line") << step;
        EXPECT_EQ(r.ExtractLine(4096, ltCRLF), "second\rline") << step;
        EXPECT_EQ(r.ExtractLine(4096, ltCRLF), "") << step;
        EXPECT_EQ(r.GetToEnd(), "rest") << step;
    }
}

TEST(ReaderEx, LocateLeavesThePositionUnchanged) {
    std::string text = "GET / HTTP/1.1\r\nA: b\r\n\r\nbody";
    TStringReader r(text);
    r.Skip(4);
    EXPECT_EQ(r.LocateStr("\r\n\r\n", -1, true), 16);
    EXPECT_EQ(r.GetPosition(), 4);
    EXPECT_EQ(r.LocateStr("\r\n\r\n", 15, true), -1);
    EXPECT_EQ(r.LocateStr("http", -1, false), 2);
    EXPECT_EQ(r.LocateStr("http", -1, true), -1);
    // The generic search over a reader that cannot tell its size, across block borders.
    std::string big(5000, 'x');
    big += "\r\n\r\n";
    TScriptedReader s(big, 3);
    EXPECT_EQ(s.LocateStr("\r\n\r\n", -1, true), 5000);
    EXPECT_EQ(s.LocateStr("\r\n\r\n", 4999, true), -1);
    EXPECT_EQ(s.LocateByte('\n', -1), 5001);
    EXPECT_EQ(s.GetPosition(), 0);
}

TEST(ReaderEx, ReadOperationsAtTheEndRaise) {
    TStringReader r("ab");
    EXPECT_EQ(r.PeekByte(), 'a');
    EXPECT_TRUE(r.MatchStr("AB", false));
    EXPECT_FALSE(r.MatchStr("AB", true));
    EXPECT_EQ(r.Match("ab", 2, true), 2);
    EXPECT_THROW(r.MatchStr("abc", true), EReader);
    EXPECT_EQ(r.ReadStr(10), "ab");
    EXPECT_THROW(r.ReadByte(), EReader);
    EXPECT_THROW(r.Skip(-1), EReader);
    EXPECT_THROW(r.SetPosition(3), EReader);
    EXPECT_EQ(r.GetAsString(), "ab");
    TStringReader w(std::string("h\0i\0", 4));
    EXPECT_EQ(w.ReadWideStr(2), u"hi");
    EXPECT_THROW(w.ReadWideStr(1), EReader);
}

TEST(ReaderProxy, StopsAtItsSize) {
    std::string hundred(100, 'z');
    for (int i = 0; i < 100; ++i)
        hundred[size_t(i)] = char('0' + i % 10);
    TStringReader base(hundred);
    base.Skip(5);
    TReaderProxy p(&base, false, 10);
    EXPECT_EQ(p.GetSize(), 10);
    EXPECT_EQ(p.GetToEnd(), hundred.substr(5, 10));
    EXPECT_TRUE(p.IsEOF());
    char c;
    EXPECT_EQ(p.Read(&c, 1), 0);
    EXPECT_EQ(base.GetPosition(), 15);
    EXPECT_THROW(p.SetPosition(11), EReader);
    p.SetPosition(2);
    EXPECT_EQ(p.ReadStr(3), hundred.substr(7, 3));

    // Over a reader that cannot tell its size the size is the limit.
    TScriptedReader s(hundred, 7);
    TReaderProxy q(&s, false, 10);
    EXPECT_EQ(q.GetSize(), 10);
    EXPECT_EQ(q.ReadStr(100), hundred.substr(0, 10));
    EXPECT_TRUE(q.IsEOF());

    // Unbounded, owning.
    TReaderProxy all(new TStringReader("abc"), true, -1);
    EXPECT_EQ(all.GetSize(), 3);
    EXPECT_EQ(all.GetToEnd(), "abc");
}

TEST(CopyReaderToWriter, CopiesEverythingInBlocks) {
    std::string data(5000, 'q');
    TScriptedReader r(data, 1000);
    TStringWriter w;
    std::vector<int64_t> seen;
    int64_t n =
        CopyReaderToWriter(&r, &w, 2048, [&](int64_t copied, bool&) { seen.push_back(copied); });
    EXPECT_EQ(n, 5000);
    EXPECT_EQ(w.Data(), data);
    EXPECT_EQ(seen, (std::vector<int64_t>{1000, 2000, 3000, 4000, 5000}));
}

TEST(CopyReaderToWriter, AbortRaisesStreamOperationAborted) {
    TStringReader r(std::string(10000, 'a'));
    TStringWriter w;
    try {
        CopyReaderToWriter(&r, &w, 2048,
                           [](int64_t copied, bool& abort) { abort = copied >= 4096; });
        FAIL() << "no abort";
    } catch (const EStreamOperationAborted& e) {
        EXPECT_STREQ(e.what(), "Stream operation aborted");
    }
    EXPECT_EQ(w.Data().size(), 4096u);
    EXPECT_THROW(CopyReaderToWriter(nullptr, &w), EStream);
    EXPECT_THROW(CopyReaderToWriter(&r, nullptr), EStream);
    EXPECT_THROW(CopyReaderToWriter(&r, &w, 0), EStream);
}

namespace {
// A source that stalls: it delivers nothing but is not at its end.
class TStalledReader : public AReaderEx {
public:
    int64_t GetPosition() override { return 0; }
    void SetPosition(int64_t) override {}
    int64_t GetSize() override { return -1; }
    int Read(void*, int) override { return 0; }
    bool IsEOF() override { return false; }
};

// Takes at most three bytes per Write.
class TSlowWriter : public TStringWriter {
public:
    int Write(const void* buffer, int count) override {
        return TStringWriter::Write(buffer, count < 3 ? count : 3);
    }
};
} // namespace

TEST(CopyReaderToWriter, StalledSourceFailsInsteadOfSpinning) {
    TStalledReader r;
    TStringWriter w;
    EXPECT_THROW(CopyReaderToWriter(&r, &w), EReader);
    EXPECT_THROW(r.GetToEnd(), EReader);
}

TEST(Writers, ShortWritesAreResumed) {
    TStringReader r("hello world");
    TSlowWriter w;
    EXPECT_EQ(CopyReaderToWriter(&r, &w), 11);
    EXPECT_EQ(w.Data(), "hello world");
    w.WriteWideStr(u"A");
    w.WriteByte('!');
    EXPECT_EQ(w.Data(), std::string("hello worldA\0!", 14));
}

TEST(FileWriter, CreateReplacesAndAppendKeeps) {
    std::string name = TempName("fw");
    {
        TFileWriter f(name, fwomCreate);
        f.WriteStr("first");
    }
    AppendStrToFile(name, " second");
    AppendStrToFile(name, " third");
    EXPECT_EQ(ReadFile(name), "first second third");
    {
        TFileWriter f(name, fwomCreateIfNotExist);
        EXPECT_EQ(f.GetSize(), 18);
        f.WriteStr("FIRST"); // overwrites from the start
    }
    EXPECT_EQ(ReadFile(name), "FIRST second third");
    {
        TFileWriter f(name, fwomCreate);
        f.WriteStr("x");
        f.DeleteFile();
    }
    EXPECT_FALSE(std::filesystem::exists(name));
    AppendStrToFile(name, "new"); // created when missing
    EXPECT_EQ(ReadFile(name), "new");
    std::remove(name.c_str());
}

TEST(FileWriter, ErrorsCarryTheSystemText) {
    EXPECT_THROW(TFileWriter("", fwomCreate), EFileWriter);
    try {
        TFileWriter f("/nonexistent-dir-corvan/x", fwomCreate);
        FAIL();
    } catch (const EFileWriter& e) {
        EXPECT_EQ(std::string(e.what()), "File error: No such file or directory");
    }
}

namespace {
class TPairStream : public AStream {
public:
    TStringReader Reader{"in"};
    TStringWriter Writer;
    AReaderEx* GetReader() override { return &Reader; }
    AWriterEx* GetWriter() override { return &Writer; }
};
} // namespace

TEST(Stream, ForwardsToItsReaderAndWriter) {
    TPairStream s;
    char buf[4];
    EXPECT_EQ(s.Read(buf, 4), 2);
    EXPECT_TRUE(s.IsEOF());
    s.WriteStr("out");
    EXPECT_EQ(s.Writer.Data(), "out");
    EXPECT_THROW(s.SetSize(1), EStream);
    EXPECT_FALSE(s.TriggerCopyProgress(nullptr, &s, 3));
    s.OnCopyProgress = [](AStream&, AStream*, AStream*, int64_t n, bool& abort) { abort = n > 2; };
    EXPECT_TRUE(s.TriggerCopyProgress(nullptr, &s, 3));
}
