// Program entry of corvan-proxy.
#include "util/Version.h"

#include <cstdio>
#include <cstring>

int main(int argc, char** argv) {
    for (int i = 1; i < argc; ++i)
        if (std::strcmp(argv[i], "--version") == 0) {
            std::printf("%s %s\n", corvan::ProductName().c_str(), corvan::ProductVersion().c_str());
            return 0;
        }
    return 0;
}
