#pragma once
#include <string>

namespace corvan {

// "Corvan Internet Proxy"
const std::string& ProductName();
// The version of this build, e.g. "1.0.0".
const std::string& ProductVersion();

} // namespace corvan
