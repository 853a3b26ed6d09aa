// The status page of the built corvan-proxy program, run headless: the Prometheus project's
// own parser reads /metrics, the SOCKS byte counter follows what a download moved, only GET
// and HEAD are answered and only to allowed clients, and a browser shows a row per service.

#include "support/BodyServer.h"
#include "support/HeadlessProgram.h"
#include "support/NetTestSupport.h"
#include "support/Process.h"
#include "support/TempDir.h"

#include <gtest/gtest.h>

#include <csignal>
#include <thread>

using namespace corvan;
using namespace corvan::test;

namespace {

constexpr int WaitMs = 30000; // generous for the sanitizer build

// The program with the SOCKS service, one TCP mapping (onto the body server) and the status
// page, each on a free port.
struct TStatusProgram {
    uint16_t SocksPort = FreeLoopbackPort();
    uint16_t MappingPort = FreeLoopbackPort();
    uint16_t StatusPort = FreeLoopbackPort();
    std::string Settings(uint16_t destPort, const std::string& statusExtra = "") const {
        return "[Proxy-SocksProxy]\nEnabled=1\nServerIP=127.0.0.1\nServerPort=" +
               std::to_string(SocksPort) +
               "\n[Proxy-PortMapper]\nItemCount=1\n[Proxy-PortMapper.Items.0]\nEnabled=1\n"
               "ServerProtocol=3\nServerIP=127.0.0.1\nServerPort=" +
               std::to_string(MappingPort) +
               "\nDestHost=127.0.0.1\nDestPort=" + std::to_string(destPort) +
               "\n[Proxy-Status]\nServerPort=" + std::to_string(StatusPort) + "\n" + statusExtra;
    }
    std::string Get(const std::string& path) const {
        return BlockingExchange(StatusPort, "GET " + path + " HTTP/1.0\r\n\r\n");
    }
};

// The status code of a response ("HTTP/1.x 200 ..."), or "" when there is none.
std::string Code(const std::string& response) {
    return response.rfind("HTTP/1.", 0) == 0 ? response.substr(9, 3) : std::string();
}

std::string Body(const std::string& response) {
    size_t end = response.find("\r\n\r\n");
    return end == std::string::npos ? std::string() : response.substr(end + 4);
}

// The value of one sample line of the metrics text ("name{labels} value"), or -1.
double Sample(const std::string& metrics, const std::string& series) {
    size_t at = metrics.find("\n" + series + " ");
    return at == std::string::npos ? -1 : std::stod(metrics.substr(at + series.size() + 2));
}

} // namespace

// The Prometheus client library's parser reads every family; after a 10 MB download
// through a SOCKS tunnel the SOCKS byte counter has grown by 10 MB within 1%, split by
// direction, and the mapping has a series of its own.
TEST(StatusE2E, MetricsParseAndCountSocksBytes) {
    constexpr size_t kDownload = 10 * 1024 * 1024;
    TBodyServer origin(std::string(kDownload, 'x'));
    TStatusProgram ports;
    THeadlessProgram program(ports.Settings(origin.Port()));
    ASSERT_TRUE(program.Ready) << program.Output();
    std::string page = "http://127.0.0.1:" + std::to_string(ports.StatusPort) + "/";
    EXPECT_NE(program.Output().find("status page at " + page), std::string::npos)
        << program.Output();

    std::string before = Body(ports.Get("/metrics"));
    EXPECT_EQ(Sample(before, "corvan_bytes_total{service=\"socks\",direction=\"to_client\"}"), 0)
        << before;
    TChildProcess curl({"/usr/bin/curl", "-sS", "-o", "/dev/null", "-w", "%{size_download}",
                        "--socks5", "127.0.0.1:" + std::to_string(ports.SocksPort),
                        "http://127.0.0.1:" + std::to_string(origin.Port()) + "/"},
                       {});
    ASSERT_EQ(curl.WaitForExit(WaitMs), 0) << curl.Output();
    ASSERT_EQ(curl.Output(), std::to_string(kDownload));

    // A connection's bytes are counted when it ends, which the program learns a moment
    // after curl has gone.
    std::string metrics;
    for (int i = 0; i < 300; ++i) {
        metrics = Body(ports.Get("/metrics"));
        if (Sample(metrics, "corvan_connections_total{service=\"socks\"}") >= 1 &&
            Sample(metrics, "corvan_connections_open{service=\"socks\"}") == 0)
            break;
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    double down = Sample(metrics, "corvan_bytes_total{service=\"socks\",direction=\"to_client\"}");
    double up = Sample(metrics, "corvan_bytes_total{service=\"socks\",direction=\"from_client\"}");
    EXPECT_NEAR(down, double(kDownload), kDownload * 0.01) << metrics;
    EXPECT_GT(up, 0) << metrics; // the request
    EXPECT_LT(up, kDownload * 0.01) << metrics;
    std::string mapping =
        "service=\"mapping\",mapping=\"" + std::to_string(ports.MappingPort) + "/tcp\"";
    EXPECT_EQ(Sample(metrics, "corvan_service_up{" + mapping + "}"), 1) << metrics;
    EXPECT_EQ(Sample(metrics, "corvan_service_up{service=\"http\"}"), 0) << metrics;

    TTempDir d;
    WriteFileText(d / "metrics.txt", metrics);
    WriteFileText(d / "parse.py", R"PY(
import sys
from prometheus_client.parser import text_string_to_metric_families
for family in text_string_to_metric_families(open(sys.argv[1]).read()):
    for s in family.samples:
        print(family.type, s.name, ",".join("%s=%s" % kv for kv in sorted(s.labels.items())), s.value)
print("parsed .")
)PY");
    TChildProcess parse({"/usr/bin/python3", d / "parse.py", d / "metrics.txt"}, {});
    int code = parse.WaitForExit(WaitMs);
    if (code != 0 &&
        parse.Output().find("No module named 'prometheus_client'") != std::string::npos)
        GTEST_SKIP() << "python3-prometheus-client is not installed (scripts/setup.sh --tests)";
    ASSERT_EQ(code, 0) << parse.Output();
    std::string parsed = parse.Output();
    EXPECT_NE(parsed.find("parsed ."), std::string::npos) << parsed;
    for (const char* line :
         {"gauge corvan_build_info version=", "gauge corvan_service_up service=socks 1.0",
          "counter corvan_connections_total service=socks 1.0",
          "gauge corvan_connections_open service=socks 0.0",
          "counter corvan_bytes_total direction=to_client,service=socks ",
          "counter corvan_refused_clients_total service=socks 0.0",
          "counter corvan_requests_total service=status "})
        EXPECT_NE(parsed.find(line), std::string::npos) << line << " not in\n" << parsed;
    EXPECT_EQ(program.Stop(), 0) << program.Output();
}

// GET and HEAD only (405 with Allow otherwise), 404 for other paths, and nothing at all for
// a client outside AllowedClients once a SIGHUP has read that list.
TEST(StatusE2E, AnswersOnlyReadsAndOnlyAllowedClients) {
    TStatusProgram ports;
    THeadlessProgram program(ports.Settings(9));
    ASSERT_TRUE(program.Ready) << program.Output();

    std::string post = BlockingExchange(
        ports.StatusPort, "POST /metrics HTTP/1.1\r\nHost: x\r\nContent-Length: 3\r\n\r\nabc");
    EXPECT_EQ(Code(post), "405") << post;
    EXPECT_NE(post.find("\r\nAllow: GET, HEAD\r\n"), std::string::npos) << post;
    std::string head = BlockingExchange(ports.StatusPort, "HEAD /status.json HTTP/1.0\r\n\r\n");
    EXPECT_EQ(Code(head), "200") << head;
    EXPECT_EQ(Body(head), "") << head;
    std::string json = Body(ports.Get("/status.json?x=1"));
    EXPECT_NE(json.find("{\"service\":\"socks\",\"name\":\"SOCKS proxy\",\"state\":\"running\","
                        "\"port\":" +
                        std::to_string(ports.SocksPort)),
              std::string::npos)
        << json;
    EXPECT_EQ(Code(ports.Get("/users")), "404");
    // Without a script the page is the table as served.
    std::string page = ports.Get("/");
    EXPECT_NE(page.find("<tr><td>SOCKS proxy</td><td>running</td><td>" +
                        std::to_string(ports.SocksPort) + "</td>"),
              std::string::npos)
        << page;

    WriteFileText(program.SettingsFile(), ports.Settings(9, "AllowedClients=10.0.0.1\n"));
    program.Process().Signal(SIGHUP);
    ASSERT_TRUE(program.Process().WaitForOutput(
        "Status page on port " + std::to_string(ports.StatusPort) + ": new settings, running",
        WaitMs))
        << program.Output();
    EXPECT_EQ(ports.Get("/metrics"), "");
    EXPECT_EQ(program.Stop(), 0) << program.Output();
}

// Headless Chromium loads the page and lets its script refresh the table from status.json: a
// row per running service and mapping, with its port.
TEST(StatusE2E, ChromiumShowsARowPerRunningService) {
    const std::string chromium = "/usr/bin/chromium";
    if (::access(chromium.c_str(), X_OK) != 0)
        GTEST_SKIP() << "Chromium is not installed at " << chromium
                     << " (scripts/setup.sh --tests)";
    TStatusProgram ports;
    THeadlessProgram program(ports.Settings(9));
    ASSERT_TRUE(program.Ready) << program.Output();
    TTempDir d;
    // timeout signals Chromium's whole process group, helpers included.
    TChildProcess browser({"/usr/bin/timeout", "-k", "2", "15", chromium, "--headless",
                           "--no-sandbox", "--disable-gpu", "--no-first-run",
                           "--user-data-dir=" + (d / "profile"),
                           // Runs the page's timers before the dump.
                           "--virtual-time-budget=5000", "--dump-dom",
                           "http://127.0.0.1:" + std::to_string(ports.StatusPort) + "/"},
                          {});
    int code = browser.WaitForExit(WaitMs);
    std::string dom = browser.Output();
    if (code != 0 && dom.find("<html") == std::string::npos)
        GTEST_SKIP() << "Chromium cannot run here (exit " << code << "): " << dom.substr(0, 600);
    auto row = [](const std::string& name, uint16_t port) {
        return "<tr><td>" + name + "</td><td>running</td><td>" + std::to_string(port) + "</td>";
    };
    EXPECT_NE(dom.find(row("SOCKS proxy", ports.SocksPort)), std::string::npos) << dom;
    EXPECT_NE(dom.find(row("TCP Port " + std::to_string(ports.MappingPort), ports.MappingPort)),
              std::string::npos)
        << dom;
    EXPECT_NE(dom.find(row("Status page", ports.StatusPort)), std::string::npos) << dom;
    EXPECT_NE(dom.find("<p id=\"refreshed\">Refreshed at "), std::string::npos) << dom;
    EXPECT_EQ(dom.find("<td>HTTP proxy</td><td>running"), std::string::npos) << dom;
}
