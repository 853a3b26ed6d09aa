// The status service's answers from a snapshot: text from the settings file cannot break the
// metrics, the JSON or the page; every service and mapping gets a series of its own; no
// password reaches any of them.

#include "status/StatusPages.h"
#include "app/ProxySystem.h"
#include "http-proxy/HTTPProxySystem.h"
#include "status/StatusSystem.h"

#include "support/IniText.h"
#include "support/TempDir.h"

#include <gtest/gtest.h>

using namespace corvan;

namespace {

TStatusSnapshot HostileSnapshot() {
    TStatusSnapshot snap;
    snap.Version = "1.0.0";
    TServiceStatus running;
    running.Service = "mapping";
    running.Mapping = "80/tcp\"} 1\nx{a=\"\\\xff";
    running.Name = "<script>\"x\"</script>\n";
    running.Running = true;
    running.Port = 80;
    running.RefusedClients = 7;
    snap.Services.push_back(running);
    TServiceStatus stopped;
    stopped.Service = "socks";
    stopped.Name = "SOCKS proxy";
    stopped.Port = 1080;
    snap.Services.push_back(stopped);
    return snap;
}

} // namespace

TEST(StatusPages, TextFromTheSettingsFileCannotBreakAnAnswer) {
    TStatusSnapshot snap = HostileSnapshot();
    std::string metrics = MetricsText(snap);
    // One line per sample: the label value is escaped, its newline too.
    EXPECT_NE(metrics.find("corvan_refused_clients_total{service=\"mapping\",mapping=\"80/tcp\\\"} "
                           "1\\nx{a=\\\"\\\\?\"} 7\n"),
              std::string::npos)
        << metrics;
    // A stopped service has its up gauge and nothing else.
    EXPECT_NE(metrics.find("corvan_service_up{service=\"socks\"} 0\n"), std::string::npos);
    EXPECT_EQ(metrics.find("{service=\"socks\"} 0\n", metrics.find("corvan_connections_open")),
              std::string::npos)
        << metrics;

    std::string json = StatusJson(snap);
    EXPECT_NE(json.find("\"name\":\"<script>\\\"x\\\"</script>\\u000a\""), std::string::npos)
        << json;
    EXPECT_NE(json.find("\\\\\\u00ff\""), std::string::npos) << json;
    EXPECT_NE(json.find("{\"service\":\"socks\",\"name\":\"SOCKS proxy\",\"state\":\"stopped\","
                        "\"port\":1080}"),
              std::string::npos)
        << json;

    std::string page = StatusPage(snap);
    EXPECT_EQ(page.find("<script>\"x\""), std::string::npos);
    EXPECT_NE(page.find("<td>&lt;script&gt;&quot;x&quot;&lt;/script&gt;\n</td><td>running</td>"
                        "<td>80</td>"),
              std::string::npos)
        << page;
    // Every row has a cell per column, so the script's rows match the served ones.
    size_t head = page.find("<thead>");
    auto count = [&](const std::string& what, size_t from, size_t to) {
        size_t n = 0;
        for (size_t at = page.find(what, from); at < to; at = page.find(what, at + 1))
            ++n;
        return n;
    };
    size_t body = page.find("<tbody"), end = page.find("</tbody>");
    EXPECT_EQ(count("<td>", body, end), 2 * count("<th>", head, body));
}

TEST(StatusPages, EveryMappingHasASeriesOfItsOwnAndNoPasswordShows) {
    corvan::test::TTempDir dir;
    TProxySystem root(dir.Path() + "/");
    auto ini = corvan::test::IniFromText(
        "[Proxy-HTTP]\nLoginMode=1\nLoginPassword=s3cret-http\n"
        "[Proxy-HTTP-SocksProxy]\nUseAuth=1\nUserName=upuser\nPassword=s3cret-up\n"
        "[Proxy-ProxyUsers]\nItemCount=1\n[Proxy-ProxyUsers.Items.0]\n"
        "Name=zq-name\nLogin=zq-login\n"
        "Password=s3cret-user\n"
        "[Proxy-PortMapper]\nItemCount=3\n"
        "[Proxy-PortMapper.Items.0]\nServerProtocol=3\nServerPort=8080\nServerIP=10.0.0.1\n"
        "DestHost=a\nDestPort=80\n"
        "[Proxy-PortMapper.Items.1]\nServerProtocol=3\nServerPort=8080\nServerIP=10.0.0.2\n"
        "DestHost=b\nDestPort=80\n"
        "[Proxy-PortMapper.Items.2]\nServerProtocol=4\nServerPort=8080\nDestHost=c\nDestPort=53\n"
        "[Proxy-Status]\nEnabled=0\n");
    root.LoadSettings(*ini, "Proxy");
    TStatusSnapshot snap = root.Status().Snapshot();
    std::string metrics = MetricsText(snap);
    for (const char* series :
         {"mapping=\"8080/tcp\"} 0", "mapping=\"8080/tcp#2\"} 0", "mapping=\"8080/udp\"} 0",
          "{service=\"http\"} 0", "{service=\"status\"} 0"})
        EXPECT_NE(metrics.find(series), std::string::npos) << series << "\n" << metrics;
    for (const std::string& text : {metrics, StatusJson(snap), StatusPage(snap)}) {
        EXPECT_EQ(text.find("s3cret"), std::string::npos) << text;
        EXPECT_EQ(text.find("zq-"), std::string::npos) << text;
        EXPECT_EQ(text.find("upuser"), std::string::npos) << text;
    }
}
