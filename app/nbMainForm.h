// The main window: port, root directory and TLS mode, Start and Stop, and the log pane, over the
// controller that holds the server, the file handler and the event wiring.
//
// Threads: everything runs on the window's thread except AppendLog, which the server's threads
// call (through the controller, under its log lock). AppendLog never waits for the window's
// thread: it queues the lines and posts one flush to the window's thread when none is pending,
// so Stop, which waits on the window's thread for the server's threads, cannot deadlock with it.
// Ownership: the form owns the controller; Qt's parent chain owns the controls, which the
// accessors hand out without ownership.
#pragma once

#include <QComboBox>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>
#include <deque>
#include <memory>
#include <mutex>
#include <string>

#include "app/nbDemoBaseForm.h"
#include "app/nbServerController.h"

namespace nb {

class TMainForm : public TnbDemoBaseForm {
public:
    explicit TMainForm(QWidget* AParent = nullptr);
    // Stops the server before the controls go, so that no server thread logs into them.
    ~TMainForm() override;

    // Start: TLS mode, port and root directory from the controls, then the server; an error is
    // shown in a critical message box and the window stays usable.
    void btnStartClick();
    // Stop: no "Close Connection" lines while it runs; an error is shown like Start's.
    void btnStopClick();

    // Any thread: appends one log entry (CR LF separated lines) to the log pane, in call order.
    void AppendLog(const std::string& AText);

    TnbServerController& Controller() { return *controller_; }
    QLineEdit* edtPort() const { return edtPort_; }
    QLineEdit* edtRootDir() const { return edtRootDir_; }
    QComboBox* cbUseTls() const { return cbUseTls_; }
    QPlainTextEdit* memLog() const { return memLog_; }

private:
    void BuildControls();
    // Window's thread: moves the queued lines into the log pane.
    void FlushLog();
    void ShowError(const std::string& AMessage);

    QLineEdit* edtPort_ = nullptr;
    QLineEdit* edtRootDir_ = nullptr;
    QComboBox* cbUseTls_ = nullptr;
    QPushButton* btnStart_ = nullptr;
    QPushButton* btnStop_ = nullptr;
    QPlainTextEdit* memLog_ = nullptr;

    std::mutex pendingLock_;           // leaf lock: guards pending_ and flushPosted_
    std::deque<std::string> pending_;  // lines not yet in the pane, at most kMaxLogPaneLines
    bool flushPosted_ = false;         // a FlushLog is queued on the window's thread

    // Last member: made after the queue it logs into, destroyed first.
    std::unique_ptr<TnbServerController> controller_;
};

}  // namespace nb
