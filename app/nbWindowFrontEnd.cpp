#include "app/nbWindowFrontEnd.h"

#include <signal.h>
#include <sys/signalfd.h>
#include <unistd.h>

#include <QApplication>
#include <QSocketNotifier>
#include <cstdlib>

#include "app/nbMainForm.h"

namespace nb {

namespace {

bool EnvironmentSet(const char* AName) {
    const char* value = std::getenv(AName);
    return value != nullptr && *value != '\0';
}

// SIGINT and SIGTERM end the program as closing the window does, so the server stops cleanly.
// The signals are blocked before Qt starts any thread and read from a descriptor that the
// window's event loop watches; the handle closes the descriptor.
class TStopSignals {
public:
    TStopSignals() {
        sigset_t stopSet;
        sigemptyset(&stopSet);
        sigaddset(&stopSet, SIGINT);
        sigaddset(&stopSet, SIGTERM);
        pthread_sigmask(SIG_BLOCK, &stopSet, nullptr);
        fd_ = ::signalfd(-1, &stopSet, SFD_CLOEXEC | SFD_NONBLOCK);
    }
    ~TStopSignals() {
        if (fd_ >= 0)
            ::close(fd_);
    }
    TStopSignals(const TStopSignals&) = delete;
    TStopSignals& operator=(const TStopSignals&) = delete;

    int Handle() const { return fd_; }

private:
    int fd_ = -1;
};

}  // namespace

bool WindowAvailable() {
    return EnvironmentSet("DISPLAY") || EnvironmentSet("WAYLAND_DISPLAY") ||
           EnvironmentSet("QT_QPA_PLATFORM");
}

int RunWindow(int argc, char** argv, const TnbWindowSettings& ASettings) {
    TStopSignals stopSignals;
    QApplication app(argc, argv);
    app.setApplicationName("NorbitFtpServerSSL");

    TMainForm form;
    if (ASettings.Port)
        form.edtPort()->setText(QString::fromStdString(*ASettings.Port));
    if (ASettings.RootDir)
        form.edtRootDir()->setText(QString::fromStdString(*ASettings.RootDir));
    if (ASettings.Mode)
        form.cbUseTls()->setCurrentIndex(static_cast<int>(*ASettings.Mode));

    std::unique_ptr<QSocketNotifier> stopNotifier;
    if (stopSignals.Handle() >= 0) {
        stopNotifier =
            std::make_unique<QSocketNotifier>(stopSignals.Handle(), QSocketNotifier::Read);
        QObject::connect(stopNotifier.get(), &QSocketNotifier::activated, &form, [&] {
            signalfd_siginfo info{};
            while (::read(stopSignals.Handle(), &info, sizeof info) == sizeof info) {
            }
            QCoreApplication::quit();  // ends an open message box's loop too
        });
    }
    form.show();
    return app.exec();
}

}  // namespace nb
