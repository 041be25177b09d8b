// The window front end of the program, and whether it can run here. Builds without the window
// (the sanitizer trees) link a stand-in that never finds a display, so the program runs headless.
#pragma once

#include <optional>
#include <string>

#include "tls/nbTcpServerTls.h"

namespace nb {

// Values given on the command line; each one given replaces the window's stored value.
struct TnbWindowSettings {
    std::optional<std::string> Port;
    std::optional<std::string> RootDir;
    std::optional<TnbServerTlsMode> Mode;
};

// True when this build has the window and a display (X11 or Wayland, or a Qt platform named in
// QT_QPA_PLATFORM) is there to show it on.
bool WindowAvailable();

// Shows the main window and runs it until it closes, or until SIGINT or SIGTERM closes it;
// the exit code of the program.
int RunWindow(int argc, char** argv, const TnbWindowSettings& ASettings);

}  // namespace nb
