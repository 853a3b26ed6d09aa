#include "http/HTTPMessage.h"

#include "support/ScriptedReader.h"

#include <gtest/gtest.h>

using namespace corvan;
using corvan::test::TScriptedReader;

namespace {
const std::string kChunked = "4;ext=\"x\"\r\nWiki\r\n"
                             "5\r\npedia\r\n"
                             "E\r\n in\r\n\r\nchunks.\r\n"
                             "0\r\n"
                             "Expires: never\r\n"
                             "X-Check: 1\r\n"
                             "\r\n";
const std::string kDecoded = "Wikipedia in\r\n\r\nchunks.";

std::string ReadAllInBlocks(AReaderEx& r, int block) {
    std::string out;
    std::string buf(size_t(block), '\0');
    while (!r.IsEOF()) {
        int n = r.Read(buf.data(), block);
        if (n == 0 && r.IsEOF())
            break;
        EXPECT_GT(n, 0);
        out.append(buf.data(), size_t(n));
    }
    return out;
}
} // namespace

TEST(ChunkedContent, RawModeDeliversEveryByteWithTrailers) {
    for (int step : {1, 2, 7, 4096})
        for (int block : {1, 3, 2048}) {
            TScriptedReader source(kChunked + "NEXT", step);
            ThttpChunkedContentReader r(&source, true);
            EXPECT_EQ(r.GetSize(), -1);
            EXPECT_EQ(ReadAllInBlocks(r, block), kChunked) << step << " " << block;
            EXPECT_EQ(r.GetSize(), int64_t(kChunked.size()));
            EXPECT_EQ(r.Trailer(), (std::vector<std::string>{"Expires: never", "X-Check: 1"}));
            EXPECT_EQ(source.GetToEnd(), "NEXT");
        }
}

TEST(ChunkedContent, DecodedModeDeliversTheDataOnly) {
    for (int step : {1, 5, 4096})
        for (int block : {1, 4, 2048}) {
            TScriptedReader source(kChunked + "NEXT", step);
            ThttpChunkedContentReader r(&source, false);
            EXPECT_EQ(ReadAllInBlocks(r, block), kDecoded) << step << " " << block;
            EXPECT_EQ(r.GetPosition(), int64_t(kDecoded.size()));
            EXPECT_EQ(r.Trailer().size(), 2u);
            EXPECT_EQ(source.GetToEnd(), "NEXT");
        }
}

TEST(ChunkedContent, ReadAnswersAfterEachChunkSoStreamingIsNotHeldBack) {
    TStringReader source("3\r\nabc\r\n2\r\nde\r\n0\r\n\r\n");
    ThttpChunkedContentReader r(&source, false);
    char buf[100];
    EXPECT_EQ(r.Read(buf, 100), 3);
    EXPECT_EQ(r.Read(buf, 100), 2);
    EXPECT_FALSE(r.IsEOF());
    EXPECT_EQ(r.Read(buf, 100), 0);
    EXPECT_TRUE(r.IsEOF());
}

TEST(ChunkedContent, TrailersMayEndWithTheStream) {
    TStringReader source("1\r\na\r\n0\r\n");
    ThttpChunkedContentReader r(&source, true);
    EXPECT_EQ(r.GetToEnd(), "1\r\na\r\n0\r\n");
    EXPECT_TRUE(r.IsEOF());
}

TEST(ChunkedContent, EveryTruncationIsAReaderError) {
    for (size_t n = 0; n + 1 < kChunked.size(); ++n) {
        // Cutting inside the trailer after its first line may legally end at the stream's end.
        if (n >= kChunked.find("0\r\n") + 3 && kChunked.compare(n - 2, 2, "\r\n") == 0)
            continue;
        for (bool raw : {false, true}) {
            TScriptedReader source(kChunked.substr(0, n), 3);
            ThttpChunkedContentReader r(&source, raw);
            EXPECT_THROW(r.GetToEnd(), EChunkedContentReader) << n << " raw " << raw;
        }
    }
}

TEST(ChunkedContent, LimitsRaiseTheReaderError) {
    std::string longSize = std::string(kMaxChunkLineLength, '0') + "1\r\nx\r\n0\r\n\r\n";
    TStringReader a(longSize);
    ThttpChunkedContentReader ra(&a, false);
    EXPECT_THROW(ra.GetToEnd(), EChunkedContentReader);
    // A size line of exactly the limit (padded with zeros) is still read.
    std::string atLimit = std::string(kMaxChunkLineLength - 1, '0') + "1\r\nx\r\n0\r\n\r\n";
    TStringReader b(atLimit);
    ThttpChunkedContentReader rb(&b, false);
    EXPECT_EQ(rb.GetToEnd(), "x");
    std::string trailers = "0\r\n";
    while (int64_t(trailers.size()) <= kMaxTrailerSize + 10)
        trailers += "X-Filler: 0123456789abcdef\r\n";
    trailers += "\r\n";
    TStringReader c(trailers);
    ThttpChunkedContentReader rc(&c, true);
    EXPECT_THROW(rc.GetToEnd(), EChunkedContentReader);
    TStringReader d("zz\r\n");
    ThttpChunkedContentReader rd(&d, false);
    try {
        rd.GetToEnd();
        FAIL();
    } catch (const EChunkedContentReader& e) {
        EXPECT_STREQ(e.what(), "Invalid hexadecimal string");
    }
}

TEST(ChunkedContent, LineBreakOrNulInsideAFramingLineIsAReaderError) {
    // Lines end at CR LF only; a bare CR or LF (or a NUL) left inside a size or trailer line
    // would travel on in raw mode, and a receiver that ends lines there reads other chunks.
    const std::string bodies[] = {
        std::string("5;a\nXX\r\nhello\r\n0\r\n\r\n"),
        std::string("5;a\rXX\r\nhello\r\n0\r\n\r\n"),
        std::string("5;a\0XX\r\nhello\r\n0\r\n\r\n", 20),
        std::string("5\r\nhello\r\n0;a\nb\r\n\r\n"),
        std::string("5\r\nhello\r\n0\r\nX-T: a\nX-U: b\r\n\r\n"),
        std::string("5\r\nhello\r\n0\r\nX-T: a\rb\r\n\r\n"),
    };
    for (const std::string& body : bodies)
        for (bool raw : {true, false}) {
            SCOPED_TRACE(::testing::Message() << body << " raw " << raw);
            TStringReader source(body);
            ThttpChunkedContentReader r(&source, raw);
            EXPECT_THROW(r.GetToEnd(), EChunkedContentReader);
        }
}

TEST(ChunkedContent, SeekingOnlyToTheCurrentPosition) {
    TStringReader source("1\r\na\r\n0\r\n\r\n");
    ThttpChunkedContentReader r(&source, false);
    r.SetPosition(0);
    EXPECT_THROW(r.SetPosition(1), EReader);
    EXPECT_EQ(r.ReadByte(), 'a');
    try {
        r.SetPosition(0);
        FAIL();
    } catch (const EReader& e) {
        EXPECT_STREQ(e.what(), "SetPosition failed");
    }
}

TEST(SizedContent, EndsAfterItsSizeAndACutBodyIsAnError) {
    TScriptedReader source("helloNEXT", 2);
    ThttpSizedContentReader r(&source, 5);
    EXPECT_EQ(r.GetSize(), 5);
    EXPECT_EQ(r.GetToEnd(), "hello");
    EXPECT_TRUE(r.IsEOF());
    EXPECT_EQ(source.GetToEnd(), "NEXT");
    TStringReader shortSource("hel");
    ThttpSizedContentReader cut(&shortSource, 5);
    TStringWriter w;
    EXPECT_THROW(CopyReaderToWriter(&cut, &w), EReader);
    EXPECT_EQ(w.Data(), "hel");
    // Its size is the declared one, also over a source that knows it has less: reading to the
    // end fails there too, instead of answering the short rest as the whole body.
    TStringReader knownShort("hel");
    ThttpSizedContentReader cutKnown(&knownShort, 5);
    EXPECT_EQ(cutKnown.GetSize(), 5);
    EXPECT_THROW(cutKnown.GetToEnd(), EReader);
}
