// The stand-in for builds without the window: no display is ever used.
#include <cstdio>

#include "app/nbWindowFrontEnd.h"

namespace nb {

bool WindowAvailable() {
    return false;
}

int RunWindow(int, char**, const TnbWindowSettings&) {
    std::fprintf(stderr, "This build has no window; run with --headless.\n");
    return 2;
}

}  // namespace nb
