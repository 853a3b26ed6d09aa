#include "status/StatusPages.h"

#include <cstdio>

namespace corvan {

namespace {

// One value of a row: its JSON key, its column heading on the page, and its text; absent
// values are left out of the JSON and shown as "-".
struct TField {
    const char* Key;
    std::optional<std::string> Text;
    bool Number = true;
};

template <class T> std::optional<std::string> NumberText(const std::optional<T>& v) {
    return v ? std::optional<std::string>(std::to_string(*v)) : std::nullopt;
}

// The page's columns, in order; StatusJson uses the same keys, so the page's script can
// fill the same cells.
struct TColumn {
    const char* Key;
    const char* Heading;
};
constexpr TColumn kColumns[] = {
    {"name", "Service"},
    {"state", "State"},
    {"port", "Port"},
    {"uptime", "Up-Time"},
    {"connections_open", "Open connections"},
    {"connections_total", "Connections"},
    {"bytes_from_clients", "Bytes from clients"},
    {"bytes_to_clients", "Bytes to clients"},
    {"transfer_rate", "Transfer rate (bytes/s)"},
    {"requests", "Requests"},
    {"reused_connections", "Reused connections"},
    {"refused_clients", "Refused clients"},
    {"cache_hits", "Cache hits"},
    {"cached_names", "Cached names"},
};

std::vector<TField> Fields(const TServiceStatus& s) {
    return {
        {"service", s.Service, false},
        {"mapping", s.Mapping.empty() ? std::nullopt : std::optional<std::string>(s.Mapping),
         false},
        {"name", s.Name, false},
        {"state", std::string(s.Running ? "running" : "stopped"), false},
        {"port", s.Port > 0 ? std::optional<std::string>(std::to_string(s.Port)) : std::nullopt},
        {"uptime", s.Uptime.empty() ? std::nullopt : std::optional<std::string>(s.Uptime), false},
        {"connections_open", NumberText(s.ConnectionsOpen)},
        {"connections_total", NumberText(s.ConnectionsTotal)},
        {"bytes_from_clients", NumberText(s.BytesFromClients)},
        {"bytes_to_clients", NumberText(s.BytesToClients)},
        {"transfer_rate", NumberText(s.TransferRate)},
        {"requests", NumberText(s.Requests)},
        {"reused_connections", NumberText(s.ReusedConnections)},
        {"refused_clients", NumberText(s.RefusedClients)},
        {"cache_hits", NumberText(s.CacheHits)},
        {"cached_names", NumberText(s.CachedNames)},
    };
}

// Bytes outside printable ASCII as \u00XX: the texts come from the settings file and need
// not be UTF-8, and the JSON must stay valid.
std::string JsonString(const std::string& text) {
    std::string r = "\"";
    for (unsigned char c : text) {
        if (c == '"' || c == '\\') {
            r += '\\';
            r += char(c);
        } else if (c < 0x20 || c >= 0x7f) {
            char buf[8];
            std::snprintf(buf, sizeof buf, "\\u%04x", c);
            r += buf;
        } else {
            r += char(c);
        }
    }
    return r + "\"";
}

std::string HtmlText(const std::string& text) {
    std::string r;
    for (char c : text) {
        switch (c) {
        case '&':
            r += "&amp;";
            break;
        case '<':
            r += "&lt;";
            break;
        case '>':
            r += "&gt;";
            break;
        case '"':
            r += "&quot;";
            break;
        default:
            r += c;
        }
    }
    return r;
}

// A label value: backslash, double quote and line feed escaped as the format asks; other
// bytes outside printable ASCII (a mapping's address as the file holds it) become "?".
std::string LabelValue(const std::string& text) {
    std::string r;
    for (unsigned char c : text) {
        if (c == '\\' || c == '"') {
            r += '\\';
            r += char(c);
        } else if (c == '\n') {
            r += "\\n";
        } else {
            r += c < 0x20 || c >= 0x7f ? '?' : char(c);
        }
    }
    return r;
}

std::string ServiceLabels(const TServiceStatus& s) {
    std::string r = "service=\"" + LabelValue(s.Service) + "\"";
    if (!s.Mapping.empty())
        r += ",mapping=\"" + LabelValue(s.Mapping) + "\"";
    return r;
}

void MetricHead(std::string& out, const char* name, const char* type, const char* help) {
    out += std::string("# HELP ") + name + " " + help + "\n# TYPE " + name + " " + type + "\n";
}

// One sample per running service that counts the value.
template <class T>
void ServiceMetric(std::string& out, const TStatusSnapshot& snapshot, const char* name,
                   const char* type, const char* help, std::optional<T> TServiceStatus::*value) {
    MetricHead(out, name, type, help);
    for (const TServiceStatus& s : snapshot.Services)
        if (s.Running && (s.*value))
            out += std::string(name) + "{" + ServiceLabels(s) + "} " + std::to_string(*(s.*value)) +
                   "\n";
}

} // namespace

std::string MetricsText(const TStatusSnapshot& snapshot) {
    std::string out;
    MetricHead(out, "corvan_build_info", "gauge", "The program's version, in the label.");
    out += "corvan_build_info{version=\"" + LabelValue(snapshot.Version) + "\"} 1\n";
    MetricHead(out, "corvan_service_up", "gauge", "1 while the service or mapping runs, else 0.");
    for (const TServiceStatus& s : snapshot.Services)
        out += "corvan_service_up{" + ServiceLabels(s) + "} " + (s.Running ? "1" : "0") + "\n";
    ServiceMetric(out, snapshot, "corvan_connections_open", "gauge", "Client connections open now.",
                  &TServiceStatus::ConnectionsOpen);
    ServiceMetric(out, snapshot, "corvan_connections_total", "counter",
                  "Client connections accepted since the service started.",
                  &TServiceStatus::ConnectionsTotal);
    MetricHead(out, "corvan_bytes_total", "counter",
               "Bytes relayed since the service started, by connections that have ended: "
               "from_client toward the destinations, to_client back.");
    for (const TServiceStatus& s : snapshot.Services) {
        if (!s.Running)
            continue;
        if (s.BytesFromClients)
            out += "corvan_bytes_total{" + ServiceLabels(s) + ",direction=\"from_client\"} " +
                   std::to_string(*s.BytesFromClients) + "\n";
        if (s.BytesToClients)
            out += "corvan_bytes_total{" + ServiceLabels(s) + ",direction=\"to_client\"} " +
                   std::to_string(*s.BytesToClients) + "\n";
    }
    ServiceMetric(out, snapshot, "corvan_requests_total", "counter",
                  "Requests (HTTP) or queries (DNS) since the service started.",
                  &TServiceStatus::Requests);
    ServiceMetric(out, snapshot, "corvan_reused_connections_total", "counter",
                  "HTTP requests answered over a next-hop connection kept from an earlier "
                  "request, since the service started.",
                  &TServiceStatus::ReusedConnections);
    ServiceMetric(out, snapshot, "corvan_refused_clients_total", "counter",
                  "Clients refused since the start for not being in AllowedClients (a UDP "
                  "mapping counts datagrams).",
                  &TServiceStatus::RefusedClients);
    ServiceMetric(out, snapshot, "corvan_dns_cache_hits_total", "counter",
                  "DNS queries answered from the cache since the start.",
                  &TServiceStatus::CacheHits);
    ServiceMetric(out, snapshot, "corvan_dns_cached_names", "gauge",
                  "Answers the DNS cache holds now.", &TServiceStatus::CachedNames);
    return out;
}

std::string StatusJson(const TStatusSnapshot& snapshot) {
    std::string out = "{\"version\":" + JsonString(snapshot.Version) + ",\"services\":[";
    for (size_t i = 0; i < snapshot.Services.size(); ++i) {
        out += i ? ",{" : "{";
        bool first = true;
        for (const TField& f : Fields(snapshot.Services[i])) {
            if (!f.Text)
                continue;
            out += std::string(first ? "" : ",") + "\"" + f.Key +
                   "\":" + (f.Number ? *f.Text : JsonString(*f.Text));
            first = false;
        }
        out += "}";
    }
    return out + "]}\n";
}

std::string StatusPage(const TStatusSnapshot& snapshot) {
    std::string keys, head;
    for (const TColumn& c : kColumns) {
        keys += std::string(keys.empty() ? "" : ",") + "\"" + c.Key + "\"";
        head += std::string("<th>") + c.Heading + "</th>";
    }
    std::string rows;
    for (const TServiceStatus& s : snapshot.Services) {
        std::vector<TField> fields = Fields(s);
        rows += "<tr>";
        for (const TColumn& c : kColumns)
            for (const TField& f : fields)
                if (std::string(f.Key) == c.Key)
                    rows += "<td>" + (f.Text ? HtmlText(*f.Text) : std::string("-")) + "</td>";
        rows += "</tr>\n";
    }
    // The script rebuilds the rows from the same keys, so that a mapping added by a reload
    // shows up too; where scripts do not run, the table is as served.
    return "<!DOCTYPE html>\n<html><head><meta charset=\"utf-8\"><title>Corvan Internet Proxy "
           "status</title>\n<style>table{border-collapse:collapse}td,th{border:1px solid #999;"
           "padding:2px 6px}td{text-align:right}</style></head><body>\n<h1>Corvan Internet "
           "Proxy " +
           HtmlText(snapshot.Version) + "</h1>\n<table><thead><tr>" + head +
           "</tr></thead>\n<tbody id=\"services\">\n" + rows +
           "</tbody></table>\n<p id=\"refreshed\"></p>\n<p>Also as <a "
           "href=\"/status.json\">JSON</a> and <a "
           "href=\"/metrics\">metrics</a>.</p>\n<script>\n(function () {\n  var keys = [" +
           keys +
           "];\n  function refresh() {\n    fetch('/status.json', {cache: 'no-store'})\n"
           "      .then(function (r) { return r.json(); })\n"
           "      .then(function (d) {\n"
           "        var body = document.getElementById('services');\n"
           "        while (body.firstChild) body.removeChild(body.firstChild);\n"
           "        d.services.forEach(function (s) {\n"
           "          var tr = document.createElement('tr');\n"
           "          keys.forEach(function (k) {\n"
           "            var td = document.createElement('td');\n"
           "            td.textContent = k in s ? String(s[k]) : '-';\n"
           "            tr.appendChild(td);\n"
           "          });\n"
           "          body.appendChild(tr);\n"
           "        });\n"
           "        document.getElementById('refreshed').textContent =\n"
           "          'Refreshed at ' + new Date().toLocaleTimeString();\n"
           "      })\n"
           "      .catch(function () {});\n"
           "  }\n"
           "  setInterval(refresh, " +
           std::to_string(kStatusRefreshMs) + ");\n})();\n</script>\n</body></html>\n";
}

} // namespace corvan
