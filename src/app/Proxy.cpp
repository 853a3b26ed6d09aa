// Program entry of corvan-proxy built without a window (headless only).
#include "app/ProgramMain.h"

int main(int argc, char** argv) {
    return corvan::ProgramMain(argc, argv, nullptr);
}
