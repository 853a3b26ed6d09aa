#include "app/CommandLine.h"

#include "util/Strings.h"

#include <algorithm>

namespace corvan {

namespace {
const char* const ServiceNames[] = {"http", "socks", "dns", "mappings", "status"};

bool AddServices(TCommandLine& r, const std::string& list) {
    for (const std::string& piece : Split(list, ',')) {
        std::string name = AsciiLowerCase(TrimBlanks(piece));
        if (std::find(std::begin(ServiceNames), std::end(ServiceNames), name) ==
            std::end(ServiceNames)) {
            r.Error = "unknown service \"" + std::string(TrimBlanks(piece)) +
                      "\" in --enable (use http, socks, dns, mappings, status)";
            return false;
        }
        if (std::find(r.Enable.begin(), r.Enable.end(), name) == r.Enable.end())
            r.Enable.push_back(name);
    }
    return true;
}
} // namespace

TCommandLine ParseCommandLine(const std::vector<std::string>& args) {
    TCommandLine r;
    for (size_t i = 0; i < args.size(); ++i) {
        std::string arg = args[i];
        std::string value;
        bool hasValue = false;
        size_t eq = arg.find('=');
        if (arg.rfind("--", 0) == 0 && eq != std::string::npos) {
            value = arg.substr(eq + 1);
            arg.resize(eq);
            hasValue = true;
        }
        auto takeValue = [&]() -> bool {
            if (hasValue)
                return true;
            if (i + 1 >= args.size()) {
                r.Error = arg + " needs a value";
                return false;
            }
            value = args[++i];
            return true;
        };
        if (arg == "--headless" && !hasValue) {
            r.Headless = true;
        } else if ((arg == "--help" || arg == "-h") && !hasValue) {
            r.Help = true;
        } else if (arg == "--version" && !hasValue) {
            r.Version = true;
        } else if (arg == "--data-dir") {
            if (!takeValue())
                return r;
            if (value.empty()) {
                r.Error = "--data-dir needs a folder";
                return r;
            }
            r.DataDir = value;
        } else if (arg == "--enable") {
            if (!takeValue() || !AddServices(r, value))
                return r;
        } else {
            r.Error = "unknown option \"" + args[i] + "\"";
            return r;
        }
    }
    return r;
}

std::string UsageText() {
    return "Usage: corvan-proxy [options]\n"
           "\n"
           "Runs the Corvan Internet Proxy services (HTTP proxy, SOCKS proxy, DNS proxy,\n"
           "port mappings and the status page) as set in Corvan/CorvanProxy.ini under the\n"
           "data folder.\n"
           "\n"
           "Options:\n"
           "  --headless         run without a window; SIGINT or SIGTERM saves and stops,\n"
           "                     SIGHUP reopens the logs and reads the settings file again\n"
           "                     (without a window system this is also the default)\n"
           "  --data-dir DIR     keep settings and logs under DIR instead of $LOCALAPPDATA\n"
           "                     (default: $LOCALAPPDATA, else $XDG_DATA_HOME, else\n"
           "                     ~/.local/share)\n"
           "  --enable LIST      switch services on for this run, as if their Enabled\n"
           "                     setting were on; LIST is comma-separated from http, socks,\n"
           "                     dns, mappings, status\n"
           "  --version          print the product name and version\n"
           "  --help             print this text\n";
}

} // namespace corvan
