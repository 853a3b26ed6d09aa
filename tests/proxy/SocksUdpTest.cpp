// The datagram header of SOCKS5 UDP associations and the filter of the datagrams' sources.
#include "proxy/SocksUDP.h"

#include "support/SocksPackets.h"

#include <gtest/gtest.h>

using namespace corvan;
using namespace corvan::test;

TEST(SocksDatagram, HeaderIsReadForAnAddressOrAName) {
    auto byAddress = ParseSocksDatagram(Bytes({0, 0, 0, 1, 10, 1, 2, 3, 0x00, 0x35}) + "data");
    ASSERT_TRUE(byAddress);
    EXPECT_EQ(byAddress->Destination.Addr, IPv4(10, 1, 2, 3));
    EXPECT_EQ(byAddress->Destination.Port, 53);
    EXPECT_EQ(byAddress->DataOffset, 10u);

    auto byName = ParseSocksDatagram(Bytes({0, 0, 0, 3, 9}) + "localhost" + Bytes({0x01, 0xBB}));
    ASSERT_TRUE(byName);
    EXPECT_EQ(byName->Destination.Addr, 0u);
    EXPECT_EQ(byName->Destination.Host, "localhost");
    EXPECT_EQ(byName->Destination.Port, 443);
    EXPECT_EQ(byName->DataOffset, 16u); // no data is data too

    EXPECT_EQ(SocksDatagramHeader(IPv4(192, 168, 1, 7), 5353),
              Bytes({0, 0, 0, 1, 192, 168, 1, 7, 0x14, 0xE9}));
}

TEST(SocksDatagram, MalformedFragmentedAndUnsupportedDatagramsAreDropped) {
    const std::string byAddress = Bytes({0, 0, 0, 1, 10, 1, 2, 3, 0x00, 0x35});
    const std::string byName = Bytes({0, 0, 0, 3, 4}) + "host" + Bytes({0, 53});
    // Every datagram cut inside its header.
    for (const std::string& whole : {byAddress, byName})
        for (size_t size = 0; size < whole.size(); ++size)
            EXPECT_FALSE(ParseSocksDatagram(whole.substr(0, size))) << size;
    // A fragment (no reassembly) and unknown address types.
    for (int frag : {1, 0x7F, 0x80}) {
        std::string fragment = byAddress + "data";
        fragment[2] = char(frag);
        EXPECT_FALSE(ParseSocksDatagram(fragment)) << frag;
    }
    for (int type : {0, 2, 0xFF})
        EXPECT_FALSE(ParseSocksDatagram(Bytes({0, 0, 0, type}) + std::string(18, '\x01')))
            << type;
    // No destination: an empty name, the address 0.0.0.0, port 0.
    EXPECT_FALSE(ParseSocksDatagram(Bytes({0, 0, 0, 3, 0, 0, 53}) + "data"));
    EXPECT_FALSE(ParseSocksDatagram(Bytes({0, 0, 0, 1, 0, 0, 0, 0, 0, 53}) + "data"));
    EXPECT_FALSE(ParseSocksDatagram(Bytes({0, 0, 0, 1, 10, 1, 2, 3, 0, 0}) + "data"));
}

TEST(SocksUdpSourceFilter, TakesTheClientsAddressAndItsPort) {
    const uint32_t client = IPv4(192, 168, 1, 20);
    TSocketAddr answerTo;
    // The request named the port: only it is taken.
    TSocksUdpSourceFilter named(client, 4000);
    EXPECT_TRUE(named.Client(answerTo));
    EXPECT_FALSE(named.Accept(TSocketAddr::IP4(client, 4001)));
    EXPECT_FALSE(named.Accept(TSocketAddr::IP4(IPv4(192, 168, 1, 21), 4000)));
    EXPECT_TRUE(named.Accept(TSocketAddr::IP4(client, 4000)));
    // Port 0: the first datagram from the address fixes it; nowhere to answer before that.
    TSocksUdpSourceFilter open(client, 0);
    EXPECT_FALSE(open.Client(answerTo));
    EXPECT_FALSE(open.Accept(TSocketAddr::IP4(IPv4(10, 0, 0, 1), 5000)));
    EXPECT_FALSE(open.Client(answerTo));
    EXPECT_TRUE(open.Accept(TSocketAddr::IP4(client, 5000)));
    EXPECT_FALSE(open.Accept(TSocketAddr::IP4(client, 5001)));
    ASSERT_TRUE(open.Client(answerTo));
    EXPECT_EQ(answerTo, TSocketAddr::IP4(client, 5000));
}

TEST(SocksDatagram, AnIPv6DestinationIsReadAndAnIPv6SendersHeaderIsTheSameBytes) {
    // 2001:db8::1, port 53.
    const std::string head =
        Bytes({0, 0, 0, 4, 0x20, 0x01, 0x0D, 0xB8, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1, 0x00, 0x35});
    auto parsed = ParseSocksDatagram(head + "data");
    ASSERT_TRUE(parsed);
    EXPECT_EQ(parsed->Destination.Addr, 0u);
    EXPECT_EQ(parsed->Destination.Host, "2001:db8::1");
    EXPECT_EQ(parsed->Destination.Port, 53);
    EXPECT_EQ(parsed->DataOffset, 22u);
    // A reply from that address and port carries the header the client addressed it with.
    TSocketAddr sender;
    ASSERT_TRUE(IsIPLiteral(parsed->Destination.Host, sender));
    sender.Port = 53;
    EXPECT_EQ(SocksDatagramHeader(sender), head);
    EXPECT_EQ(SocksDatagramHeader(TSocketAddr::IP4(IPv4(10, 1, 2, 3), 53)),
              Bytes({0, 0, 0, 1, 10, 1, 2, 3, 0x00, 0x35}));
    // Cut inside the header, or to the unspecified address ::, it is dropped.
    for (size_t size = 0; size < head.size(); ++size)
        EXPECT_FALSE(ParseSocksDatagram(head.substr(0, size))) << size;
    EXPECT_FALSE(ParseSocksDatagram(Bytes({0, 0, 0, 4}) + std::string(16, '\0') +
                                    Bytes({0x00, 0x35}) + "data"));
}

TEST(SocksUdpSourceFilter, TakesAnIPv6ClientsAddressAndItsPort) {
    auto at = [](const std::string& text, uint16_t port) {
        TSocketAddr a;
        EXPECT_TRUE(IsIPLiteral(text, a)) << text;
        a.Port = port;
        return a;
    };
    TSocksUdpSourceFilter filter(at("2001:db8::20", 0), 0);
    TSocketAddr answerTo;
    EXPECT_FALSE(filter.Client(answerTo));
    EXPECT_FALSE(filter.Accept(at("2001:db8::21", 5000)));
    EXPECT_FALSE(filter.Accept(at("127.0.0.1", 5000)));
    EXPECT_TRUE(filter.Accept(at("2001:db8::20", 5000)));
    EXPECT_FALSE(filter.Accept(at("2001:db8::20", 5001)));
    ASSERT_TRUE(filter.Client(answerTo));
    EXPECT_EQ(answerTo, at("2001:db8::20", 5000));
}
