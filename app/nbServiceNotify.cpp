#include "app/nbServiceNotify.h"

#include <systemd/sd-daemon.h>

#include <ctime>

namespace nb {

void NotifyServiceReady() { ::sd_notify(0, "READY=1"); }

void NotifyServiceReloading() {
    timespec now{};
    ::clock_gettime(CLOCK_MONOTONIC, &now);
    const unsigned long long usec =
        static_cast<unsigned long long>(now.tv_sec) * 1000000ULL + now.tv_nsec / 1000;
    ::sd_notifyf(0, "RELOADING=1\nMONOTONIC_USEC=%llu", usec);
}

void NotifyServiceStopping() { ::sd_notify(0, "STOPPING=1"); }

void NotifyServiceStatus(const std::string& AText) {
    ::sd_notifyf(0, "STATUS=%s", AText.c_str());
}

}  // namespace nb
