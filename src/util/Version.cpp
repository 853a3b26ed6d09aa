#include "util/Version.h"

namespace corvan {

const std::string& ProductName() {
    static const std::string name = "Corvan Internet Proxy";
    return name;
}

const std::string& ProductVersion() {
    static const std::string version = CORVAN_VERSION;
    return version;
}

} // namespace corvan
