#pragma once
// The options of corvan-proxy.

#include <string>
#include <vector>

namespace corvan {

struct TCommandLine {
    bool Headless = false; // --headless given
    bool Help = false;
    bool Version = false;
    std::string DataDir; // --data-dir: used instead of $LOCALAPPDATA
    // --enable: services switched on for this run, each of "http", "socks", "dns",
    // "mappings", "status", in the order given, without repeats.
    std::vector<std::string> Enable;
    // Why the arguments are wrong; empty when they are fine.
    std::string Error;
};

// Parses argv[1..]. Accepts "--opt value" and "--opt=value"; never raises.
TCommandLine ParseCommandLine(const std::vector<std::string>& args);

// The --help text.
std::string UsageText();

} // namespace corvan
