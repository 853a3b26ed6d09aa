#include "proxy/SocksProxyLog.h"

#include <gtest/gtest.h>

#include <cstring>

using namespace corvan;

namespace {
// An address in network byte order, as the server holds it: the first byte on the wire
// first in memory.
uint32_t Addr(unsigned char a, unsigned char b, unsigned char c, unsigned char d) {
    const unsigned char bytes[4] = {a, b, c, d};
    uint32_t v;
    std::memcpy(&v, bytes, 4);
    return v;
}
} // namespace

TEST(SocksProxyLog, LineHoldsTimeClientBytesDestinationAndHost) {
    TSocksConnectionFacts f;
    f.RemoteIP = "192.168.1.20";
    f.BytesTransferred = 5120;
    f.DestAddr = Addr(93, 184, 216, 34);
    f.DestPort = 443;
    f.DestHost = "93.184.216.34";
    EXPECT_EQ(SocksLogLine(EncodeDateTime(2026, 12, 8, 14, 3, 59), f),
              "14:03:59 192.168.1.20 5120 93.184.216.34:443 93.184.216.34\r\n");

    f.DestAddr = 0; // a host name was requested
    f.DestHost = "www.example.com";
    f.BytesTransferred = 18446744073709551615ull;
    EXPECT_EQ(SocksLogLine(EncodeDateTime(2026, 12, 8, 9, 5, 7), f),
              "09:05:07 192.168.1.20 18446744073709551615 0.0.0.0:443 www.example.com\r\n");
}

TEST(SocksProxyLog, ClientThatSentNoRequestStillGetsItsLine) {
    TSocksConnectionFacts f;
    f.RemoteIP = "10.0.0.7";
    EXPECT_EQ(SocksLogLine(EncodeDateTime(2026, 1, 2, 0, 0, 0), f),
              "00:00:00 10.0.0.7 0 0.0.0.0:0 \r\n");
}

TEST(SocksProxyLog, HostNameFromTheClientCannotBreakTheLine) {
    TSocksConnectionFacts f;
    f.RemoteIP = "10.0.0.7";
    f.DestPort = 80;
    f.DestHost = "evil\r\n00:00:00 1.2.3.4 0 0.0.0.0:0 forged";
    f.DestHost += '\0';
    f.DestHost += '\x7f';
    std::string line = SocksLogLine(EncodeDateTime(2026, 1, 2, 3, 4, 5), f);
    EXPECT_EQ(line,
              "03:04:05 10.0.0.7 0 0.0.0.0:80 evil??00:00:00 1.2.3.4 0 0.0.0.0:0 forged??\r\n");
    EXPECT_EQ(line.find('\n'), line.size() - 1);
}

