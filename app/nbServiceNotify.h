// Tells systemd what the program is doing (Type=notify): READY=1 once it listens,
// RELOADING=1 and READY=1 around a reload, STOPPING=1 at the end. Without NOTIFY_SOCKET (not
// started by systemd) every call does nothing.
//
// Threads: any; each call is one datagram.
#pragma once

#include <string>

namespace nb {

void NotifyServiceReady();
// RELOADING=1 with the monotonic time, as systemd's reload protocol asks.
void NotifyServiceReloading();
void NotifyServiceStopping();
// A free-text status line (shown by systemctl status).
void NotifyServiceStatus(const std::string& AText);

}  // namespace nb
